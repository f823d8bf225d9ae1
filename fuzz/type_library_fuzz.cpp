// The type library's byte form: any bytes either parse into a library that passes its own
// validation or are refused with TYPE_E_INVDATAREAD (or TYPE_E_UNSUPFORMAT for a newer
// format); a parsed library serializes to bytes that parse back to the same library and
// serialize to the same bytes, and every interface and class is found by its GUID and
// its name.
#include <cstdint>
#include <exception>
#include <span>
#include <vector>

#include "fuzz_input.h"
#include "platform/error.h"
#include "platform/type_library.h"

namespace {

using platform::TypeLibrary;

void checkLookups(const TypeLibrary& library) {
    for (const auto& i : library.interfaces()) {
        FUZZ_CHECK(library.findInterface(i.iid) == &i, "an interface is not found by its IID");
        const auto* byName = library.findInterface(i.name);
        FUZZ_CHECK(byName && platform::namesEqual(byName->name, i.name),
                   "an interface is not found by its name");
        for (size_t k = 0; k < i.members.size(); ++k) {
            const auto& m = i.members[k];
            FUZZ_CHECK(i.findMember(m.dispid, m.kind) == k,
                       "a member is not found by its DISPID and kind");
            FUZZ_CHECK(i.hasDispid(m.dispid), "a member's DISPID is not known");
            const auto dispid = i.findDispid(m.name);
            FUZZ_CHECK(dispid && i.hasDispid(*dispid), "a member is not found by its name");
        }
    }
    for (const auto& c : library.coclasses()) {
        FUZZ_CHECK(library.findCoclass(c.clsid) == &c, "a class is not found by its CLSID");
        const auto* byName = library.findCoclass(c.name);
        FUZZ_CHECK(byName && platform::namesEqual(byName->name, c.name),
                   "a class is not found by its name");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TypeLibrary library;
    try {
        library = platform::parseTypeLibrary(std::span<const uint8_t>(data, size));
    } catch (const platform::Error& error) {
        FUZZ_CHECK(error.number() == platform::TYPE_E_INVDATAREAD ||
                       error.number() == platform::TYPE_E_UNSUPFORMAT,
                   "refused with %08X", static_cast<unsigned>(error.number()));
        FUZZ_CHECK(!error.description().empty(), "refused without a description");
        return 0;
    } catch (const std::exception& e) {
        FUZZ_CHECK(false, "parseTypeLibrary threw %s", e.what());
    }
    try {
        library.validate();
    } catch (const platform::Error& error) {
        FUZZ_CHECK(false, "a parsed library fails validation: %s", error.what());
    }
    checkLookups(library);

    const std::vector<uint8_t> bytes = platform::serializeTypeLibrary(library);
    TypeLibrary again;
    try {
        again = platform::parseTypeLibrary(bytes);
    } catch (const platform::Error& error) {
        FUZZ_CHECK(false, "a serialized library does not parse: %s", error.what());
    }
    FUZZ_CHECK(again == library, "serialize -> parse changed the library");
    FUZZ_CHECK(platform::serializeTypeLibrary(again) == bytes,
               "serialize -> parse -> serialize changed the bytes");
    return 0;
}
