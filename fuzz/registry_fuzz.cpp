// The registry file's text form and its in-memory changes.
//
// Any file content either parses into entries or is refused with the registry's "corrupt"
// error naming the file. What parses, after a few puts and removes, still finds every
// entry by its own key and holds each key once; it saves to a text that parses back to
// the same entries and saves to the same text again.
//
// Input: the number of changes (first byte, 0-3), the changes, then the file content.
#include <algorithm>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include "fuzz_input.h"
#include "platform/error.h"
#include "platform/registry.h"

namespace {

using platform::Guid;
using platform::RegistryContents;

const std::string kFileName = "fuzz-registry";

bool sameProgId(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b, [](char x, char y) {
        auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
        return upper(x) == upper(y);
    });
}

void checkLookups(const RegistryContents& contents) {
    for (const auto& c : contents.classes) {
        const auto* found = contents.findClass(c.clsid);
        FUZZ_CHECK(found == &c, "a class is not found by its CLSID, or is there twice");
    }
    for (const auto& p : contents.progIds) {
        const auto* found = contents.findProgId(p.progId);
        FUZZ_CHECK(found == &p, "a ProgID is not found by its name, or is there twice");
    }
    for (const auto& t : contents.typeLibraries) {
        const auto* found = contents.findTypeLibrary(t.id, t.versionMajor, t.versionMinor);
        FUZZ_CHECK(found == &t, "a type library is not found by its version, or is there twice");
        const auto* highest = contents.findTypeLibrary(t.id);
        FUZZ_CHECK(highest && highest->id == t.id, "no highest version of a type library");
        FUZZ_CHECK(
            highest->versionMajor > t.versionMajor || (highest->versionMajor == t.versionMajor &&
                                                       highest->versionMinor >= t.versionMinor),
            "the highest version is lower than one present");
    }
}

// A GUID that often meets one already there: one of the file's own, or one of four.
Guid takeGuid(fuzz::FuzzInput& input, const RegistryContents& contents) {
    const uint8_t pick = input.takeByte();
    if (pick < 128 && !contents.classes.empty())
        return contents.classes[pick % contents.classes.size()].clsid;
    if (pick < 192 && !contents.typeLibraries.empty())
        return contents.typeLibraries[pick % contents.typeLibraries.size()].id;
    return Guid{pick % 4u, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};
}

// Text as the registry keeps it: UTF-8 (what the file can hold).
std::string takeText(fuzz::FuzzInput& input, size_t maxLength) {
    return platform::toUtf8(platform::fromUtf8(input.takeBytes(maxLength)));
}

void applyChange(fuzz::FuzzInput& input, RegistryContents& contents) {
    const uint8_t kind = input.takeByte();
    switch (kind % 6) {
        case 0: {
            platform::ClassRegistration entry;
            entry.clsid = takeGuid(input, contents);
            entry.libraryPath = "/lib/" + takeText(input, 16);
            entry.threadingModel = takeText(input, 12);
            entry.className = takeText(input, 12);
            entry.progId = takeText(input, 12);
            entry.typeLibId = takeGuid(input, contents);
            entry.miscStatus = input.take<uint32_t>();
            entry.toolboxBitmapId = input.take<uint16_t>();
            entry.raisesEvents = input.takeBool();
            entry.isDesigner = input.takeBool();
            contents.putClass(entry);
            const auto* found = contents.findClass(entry.clsid);
            FUZZ_CHECK(found && *found == entry, "a class put is not found as put");
            break;
        }
        case 1: {
            std::string progId = takeText(input, 16);
            if (progId.empty())
                progId = "P";
            const platform::ProgIdRegistration entry{progId, takeGuid(input, contents)};
            contents.putProgId(entry);
            const auto* found = contents.findProgId(progId);
            FUZZ_CHECK(found && *found == entry, "a ProgID put is not found as put");
            break;
        }
        case 2: {
            platform::TypeLibraryRegistration entry;
            entry.id = takeGuid(input, contents);
            entry.versionMajor = input.takeByte() % 3;
            entry.versionMinor = input.takeByte() % 3;
            entry.lcid = input.take<uint32_t>();
            entry.path = "/typelib/" + takeText(input, 16);
            entry.name = takeText(input, 12);
            entry.description = takeText(input, 12);
            entry.helpDir = takeText(input, 12);
            contents.putTypeLibrary(entry);
            const auto* found =
                contents.findTypeLibrary(entry.id, entry.versionMajor, entry.versionMinor);
            FUZZ_CHECK(found && *found == entry, "a type library put is not found as put");
            break;
        }
        case 3: {
            const Guid clsid = takeGuid(input, contents);
            const bool present = contents.findClass(clsid) != nullptr;
            FUZZ_CHECK(contents.removeClass(clsid) == present, "removeClass misreports");
            FUZZ_CHECK(!contents.findClass(clsid), "a removed class is still found");
            break;
        }
        case 4: {
            std::string progId = takeText(input, 16);
            if (input.takeBool() && !contents.progIds.empty()) {
                // An existing ProgID in another letter case.
                progId = contents.progIds[kind % contents.progIds.size()].progId;
                for (char& c : progId)
                    c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
            }
            const bool present = contents.findProgId(progId) != nullptr;
            FUZZ_CHECK(contents.removeProgId(progId) == present, "removeProgId misreports");
            FUZZ_CHECK(!contents.findProgId(progId), "a removed ProgID is still found");
            for (const auto& p : contents.progIds)
                FUZZ_CHECK(!sameProgId(p.progId, progId), "a removed ProgID is still there");
            break;
        }
        default: {
            const Guid id = takeGuid(input, contents);
            const uint16_t major = input.takeByte() % 3;
            const uint16_t minor = input.takeByte() % 3;
            const bool present = contents.findTypeLibrary(id, major, minor) != nullptr;
            FUZZ_CHECK(contents.removeTypeLibrary(id, major, minor) == present,
                       "removeTypeLibrary misreports");
            FUZZ_CHECK(!contents.findTypeLibrary(id, major, minor),
                       "a removed type library is still found");
            break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::FuzzInput input(data, size);
    const size_t changeCount = input.takeByte() % 4;
    // The changes come first in the input but apply to what the file holds, so they are
    // read from a copy of their bytes once the file has parsed.
    const size_t changesStart = size - input.remaining();
    fuzz::FuzzInput skip(data + changesStart, input.remaining());
    for (size_t i = 0; i < changeCount; ++i) {
        RegistryContents none;
        applyChange(skip, none);
    }
    const size_t changesLength = input.remaining() - skip.remaining();
    fuzz::FuzzInput changes(data + changesStart, changesLength);
    const std::string_view text(reinterpret_cast<const char*>(data + changesStart + changesLength),
                                skip.remaining());

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
    for (size_t i = 0; i < changeCount; ++i) {
        applyChange(changes, contents);
        checkLookups(contents);
    }

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
