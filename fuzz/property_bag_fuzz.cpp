// The property bag's text form: any text either loads or is refused with error 321 (and a
// refused text leaves the bag as it was); a bag that loaded, or one filled through Write
// with values of every type, saves to a text that loads back to the same entries.
//
// Input: the first byte picks the mode: even, the rest is the text to load; odd, the rest
// is a series of writes (name, value, default).
#include <cmath>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "fuzz_variant.h"
#include "platform/error.h"
#include "platform/property_bag_file.h"

namespace {

using platform::TextPropertyBag;
using platform::Variant;

// A value no entry can hold, to tell "missing" from "present".
const Variant& absent() {
    static const Variant marker = Variant::fromString(u"\uFFFF absent \uFFFF");
    return marker;
}

std::u16string swappedAsciiCase(std::u16string name) {
    for (char16_t& c : name) {
        if (c >= u'a' && c <= u'z')
            c = static_cast<char16_t>(c - u'a' + u'A');
        else if (c >= u'A' && c <= u'Z')
            c = static_cast<char16_t>(c - u'A' + u'a');
    }
    return name;
}

void checkConsistent(TextPropertyBag& bag) {
    const std::vector<std::u16string> names = bag.names();
    FUZZ_CHECK(names.size() == bag.size(), "%zu names for %zu entries", names.size(), bag.size());
    for (const auto& name : names) {
        FUZZ_CHECK(bag.contains(name), "a listed name is not contained");
        // Names compare without regard to ASCII case.
        FUZZ_CHECK(
            fuzz::sameValue(bag.Read(swappedAsciiCase(name), absent()), bag.Read(name, absent())),
            "a name in the other ASCII case reads differently");
    }
}

void checkSavesAndLoadsBack(TextPropertyBag& bag) {
    checkConsistent(bag);
    const std::string text = bag.toText();
    TextPropertyBag again;
    try {
        again.loadText(text);
    } catch (const platform::Error& error) {
        FUZZ_CHECK(false, "a saved bag does not load: %s\n---\n%s---", error.what(), text.c_str());
    }
    FUZZ_CHECK(again.toText() == text, "save -> load -> save changed the text");
    FUZZ_CHECK(again.names() == bag.names(), "save -> load changed the names or their order");
    for (const auto& name : bag.names()) {
        const Variant before = bag.Read(name, absent());
        const Variant after = again.Read(name, absent());
        FUZZ_CHECK(!(before == absent()), "a listed name reads as missing");
        FUZZ_CHECK(fuzz::sameValue(before, after), "save -> load changed the value of an entry");
    }
}

void loadText(fuzz::FuzzInput& input) {
    TextPropertyBag bag;
    bag.Write(u"Before", Variant::fromString(u"kept"), Variant());
    const std::string before = bag.toText();
    try {
        bag.loadText(input.takeRemainingBytes());
    } catch (const platform::Error& error) {
        FUZZ_CHECK(error.number() == TextPropertyBag::kFormatError, "refused with error %d",
                   error.number());
        FUZZ_CHECK(!error.description().empty(), "refused without a description");
        FUZZ_CHECK(bag.toText() == before, "a refused text changed the bag");
        return;
    } catch (const std::exception& e) {
        FUZZ_CHECK(false, "loadText threw %s", e.what());
    }
    checkSavesAndLoadsBack(bag);
}

std::u16string takeName(fuzz::FuzzInput& input) {
    static const std::u16string kKnown[] = {u"Settings", u"SETTINGS", u"CommPort", u"a=b",
                                            u"",         u"\\u0041",  u"x\r\ny"};
    const uint8_t pick = input.takeByte();
    if (pick < 128)
        return kKnown[pick % std::size(kKnown)];
    return input.takeText(16);
}

void writeValues(fuzz::FuzzInput& input) {
    TextPropertyBag bag(input.takeBool());
    while (!input.empty()) {
        const std::u16string name = takeName(input);
        const Variant value = fuzz::takeVariant(input);
        const Variant defaultValue = fuzz::takeVariant(input);
        // The text form has no empty name, so Write refuses one (error 5) and nothing else.
        const std::string before = bag.toText();
        try {
            bag.Write(name, value, defaultValue);
        } catch (const platform::Error& error) {
            FUZZ_CHECK(name.empty() && error.number() == platform::errors::kInvalidProcedureCall,
                       "Write refused a value: %d %s", error.number(), error.what());
            FUZZ_CHECK(bag.toText() == before, "a refused Write changed the bag");
            continue;
        }
        const Variant read = bag.Read(name, absent());
        if (!(read == absent()))
            FUZZ_CHECK(fuzz::sameValue(read, value), "a written value reads back differently");
    }
    checkSavesAndLoadsBack(bag);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::FuzzInput input(data, size);
    if (input.takeBool())
        writeValues(input);
    else
        loadText(input);
    return 0;
}
