// The registry file's text form: any file content either parses into entries or is
// refused with the registry's "corrupt" error naming the file; what parses saves to a text
// that parses back to the same entries and saves to the same text again, and every entry
// is found by its own key.
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include "fuzz_input.h"
#include "platform/error.h"
#include "platform/registry.h"

namespace {

using platform::RegistryContents;

const std::string kFileName = "fuzz-registry";

void checkLookups(const RegistryContents& contents) {
    for (const auto& c : contents.classes) {
        const auto* found = contents.findClass(c.clsid);
        FUZZ_CHECK(found && *found == c, "a class is not found by its CLSID");
    }
    for (const auto& p : contents.progIds) {
        const auto* found = contents.findProgId(p.progId);
        FUZZ_CHECK(found && *found == p, "a ProgID is not found by its name");
    }
    for (const auto& t : contents.typeLibraries) {
        const auto* found = contents.findTypeLibrary(t.id, t.versionMajor, t.versionMinor);
        FUZZ_CHECK(found && *found == t, "a type library is not found by its GUID and version");
        const auto* highest = contents.findTypeLibrary(t.id);
        FUZZ_CHECK(highest && highest->id == t.id, "no highest version of a type library");
        FUZZ_CHECK(
            highest->versionMajor > t.versionMajor || (highest->versionMajor == t.versionMajor &&
                                                       highest->versionMinor >= t.versionMinor),
            "the highest version is lower than one present");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    RegistryContents contents;
    try {
        contents = RegistryContents::parse(text, kFileName);
    } catch (const platform::Error& error) {
        FUZZ_CHECK(error.number() == platform::kRegistryCorrupt, "refused with error %08X",
                   static_cast<unsigned>(error.number()));
        FUZZ_CHECK(std::string_view(error.what()).find(kFileName) != std::string_view::npos,
                   "the refusal does not name the file: %s", error.what());
        return 0;
    } catch (const std::exception& e) {
        FUZZ_CHECK(false, "parse threw %s", e.what());
    }
    checkLookups(contents);

    const std::string saved = contents.toText();
    RegistryContents again;
    try {
        again = RegistryContents::parse(saved, kFileName);
    } catch (const platform::Error& error) {
        FUZZ_CHECK(false, "saved contents do not parse: %s\n---\n%s---", error.what(),
                   saved.c_str());
    }
    FUZZ_CHECK(again == contents, "save -> parse changed the entries");
    FUZZ_CHECK(again.toText() == saved, "save -> parse -> save changed the text");
    return 0;
}
