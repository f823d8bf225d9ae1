// The private-profile functions on a file whose content is fuzz data.
//
// Reading never fails and never writes outside the caller's buffer (a buffer of 1 to 2048
// bytes followed by guard bytes): the value, or the list of names, is cut to fit and
// closed by its zeros. Writing a key and value that a file can hold (no line break, no
// zero, no blanks around them, no "=" in the key, no "[" or ";" starting it) reads back
// as written, and the file changes only where that key's line is, or gains lines at one
// place when the key is new. Deleting a key or section removes one stretch of whole lines.
//
// Input: buffer size, operation, section, key, value, then the file's initial content.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "fuzz_input.h"
#include "platform/private_profile.h"
#include "work_folder.h"

namespace {

using platform::GetPrivateProfileStringA;
using platform::WritePrivateProfileStringA;

constexpr size_t kGuardSize = 32;
constexpr unsigned char kGuardByte = 0xA5;

// One folder for the whole run, removed at exit.
const std::string& workFolder() {
    // Every write syncs the file: in memory, where the system offers it, that is cheap.
    static const fuzz::WorkFolder folder("profile-fuzz", {std::filesystem::path("/dev/shm"),
                                                          std::filesystem::temp_directory_path()});
    return folder.path();
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const std::string& path, std::string_view content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    FUZZ_CHECK(out.good(), "cannot write %s", path.c_str());
}

// A caller's buffer with guard bytes behind it; the heap block ends at the guard, so a
// sanitizer also sees any write beyond.
class GuardedBuffer {
  public:
    explicit GuardedBuffer(uint32_t size) : m_size(size), m_bytes(size + kGuardSize) {
        std::memset(m_bytes.data(), 0x5A, size);
        std::memset(m_bytes.data() + size, kGuardByte, kGuardSize);
    }
    char* data() { return m_bytes.data(); }
    uint32_t size() const { return m_size; }
    void checkGuard(const char* what) const {
        for (size_t i = 0; i < kGuardSize; ++i) {
            FUZZ_CHECK(static_cast<unsigned char>(m_bytes[m_size + i]) == kGuardByte,
                       "%s wrote past a buffer of %u bytes", what, m_size);
        }
    }

  private:
    uint32_t m_size;
    std::vector<char> m_bytes;
};

std::string readValue(const char* section, const char* key, const char* defaultValue, uint32_t size,
                      const std::string& path) {
    GuardedBuffer buffer(size);
    const uint32_t n = GetPrivateProfileStringA(section, key, defaultValue, buffer.data(),
                                                buffer.size(), path.c_str());
    buffer.checkGuard("GetPrivateProfileStringA");
    FUZZ_CHECK(n < size, "returned %u for a buffer of %u", n, size);
    FUZZ_CHECK(buffer.data()[n] == '\0', "no terminating zero");
    return std::string(buffer.data(), n);
}

void readList(const char* section, uint32_t size, const std::string& path) {
    GuardedBuffer buffer(size);
    const uint32_t n =
        GetPrivateProfileStringA(section, nullptr, "", buffer.data(), buffer.size(), path.c_str());
    buffer.checkGuard("GetPrivateProfileStringA (names)");
    FUZZ_CHECK(n < size, "a list of %u bytes for a buffer of %u", n, size);
    FUZZ_CHECK(buffer.data()[n] == '\0', "the list is not closed");
    // A whole list ends in a name's zero and one more; a cut one in two zeros at the end.
    const bool whole = n == 0 || buffer.data()[n - 1] == '\0';
    const bool cut = n + 2 == size && buffer.data()[n + 1] == '\0';
    FUZZ_CHECK(whole || cut, "a list of %u bytes in a buffer of %u is not closed", n, size);
}

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string withoutBytes(std::string text, std::string_view bytes) {
    std::string out;
    for (char c : text) {
        if (bytes.find(c) == std::string_view::npos)
            out += c;
    }
    return out;
}

std::string trimmed(std::string text) {
    while (!text.empty() && isBlank(text.front()))
        text.erase(text.begin());
    while (!text.empty() && isBlank(text.back()))
        text.pop_back();
    return text;
}

bool isLeadByte(unsigned char b) {
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}
bool isTrailByte(unsigned char b) {
    return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFC);
}

// True when the text ends in a lead byte that starts no double-byte character.
bool endsInLoneLeadByte(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        const bool pair = i + 1 < text.size() && isLeadByte(static_cast<unsigned char>(text[i])) &&
                          isTrailByte(static_cast<unsigned char>(text[i + 1]));
        if (!pair && i + 1 == text.size())
            return isLeadByte(static_cast<unsigned char>(text[i]));
        i += pair ? 2 : 1;
    }
    return false;
}

// A section name is code page 932 text: a lead byte at its very end would pair with the
// closing "]" of its header, so such a name is no text the file can hold.
std::string sectionName(std::string raw) {
    std::string name = trimmed(withoutBytes(std::move(raw), std::string_view("\r\n\0]", 4)));
    while (endsInLoneLeadByte(name))
        name = trimmed(name.substr(0, name.size() - 1));
    return name;
}

std::string keyName(std::string raw) {
    std::string key = trimmed(withoutBytes(std::move(raw), std::string_view("\r\n\0=", 4)));
    while (!key.empty() && (key.front() == '[' || key.front() == ';' || isBlank(key.front())))
        key.erase(key.begin());
    return key;
}

std::string valueText(std::string raw) {
    return trimmed(withoutBytes(std::move(raw), std::string_view("\r\n\0", 3)));
}

// What reading `value` gives: the value without the quotes around it, if it has them.
std::string unquoted(const std::string& value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
        return value.substr(1, value.size() - 2);
    return value;
}

size_t lineBreaks(std::string_view text) {
    size_t n = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' || (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')))
            ++n;
    }
    return n;
}

// Lines with at least one byte before their break (LF, CR LF or a lone CR).
size_t linesWithText(std::string_view text) {
    size_t n = 0;
    bool inText = false;
    for (char c : text) {
        if (c == '\r' || c == '\n') {
            n += inText ? 1 : 0;
            inText = false;
        } else {
            inText = true;
        }
    }
    return n + (inText ? 1 : 0);
}

// Splits `before` -> `after` into a common prefix and suffix and the changed middles.
struct Change {
    size_t prefix = 0;
    std::string_view removed;
    std::string_view inserted;
};
Change changeBetween(std::string_view before, std::string_view after) {
    size_t prefix = 0;
    while (prefix < before.size() && prefix < after.size() && before[prefix] == after[prefix])
        ++prefix;
    size_t suffix = 0;
    while (suffix < before.size() - prefix && suffix < after.size() - prefix &&
           before[before.size() - 1 - suffix] == after[after.size() - 1 - suffix])
        ++suffix;
    return {prefix, before.substr(prefix, before.size() - prefix - suffix),
            after.substr(prefix, after.size() - prefix - suffix)};
}

bool keyPresent(const std::string& section, const std::string& key, const std::string& path) {
    return readValue(section.c_str(), key.c_str(),
                     "\x01"
                     "a",
                     16, path) !=
               "\x01"
               "a" ||
           readValue(section.c_str(), key.c_str(),
                     "\x01"
                     "b",
                     16, path) !=
               "\x01"
               "b";
}

void checkWrite(const std::string& section, const std::string& key, const std::string& value,
                uint32_t size, const std::string& path) {
    const std::string before = readFile(path);
    const bool existed = keyPresent(section, key, path);
    FUZZ_CHECK(
        WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(), path.c_str()),
        "the write failed");
    const std::string after = readFile(path);

    const std::string expected = unquoted(value);
    const std::string read = readValue(section.c_str(), key.c_str(), "default", size, path);
    FUZZ_CHECK(read == expected.substr(0, size - 1), "[%s] %s=%s reads back as \"%s\" (buffer %u)",
               section.c_str(), key.c_str(), value.c_str(), read.c_str(), size);

    const Change change = changeBetween(before, after);
    if (existed) {
        // Only the key's own line changed (its terminator may now be CR LF).
        FUZZ_CHECK(lineBreaks(change.removed) <= 1, "replacing a key touched %zu lines",
                   lineBreaks(change.removed));
    } else {
        FUZZ_CHECK(change.removed.empty(), "adding a key removed %zu bytes", change.removed.size());
    }
}

void checkDelete(const std::string& section, const std::string* key, const std::string& path) {
    const std::string before = readFile(path);
    FUZZ_CHECK(WritePrivateProfileStringA(section.c_str(), key ? key->c_str() : nullptr, nullptr,
                                          path.c_str()),
               "the deletion failed");
    const std::string after = readFile(path);
    const Change change = changeBetween(before, after);
    FUZZ_CHECK(change.inserted.empty(), "a deletion added %zu bytes", change.inserted.size());
    // Counted over the whole files, as lines with text: the span the two differ in may cut a
    // CR LF in two, and a lone CR left before the next line's LF becomes one CR LF, which
    // takes an empty line with it.
    if (key)
        FUZZ_CHECK(linesWithText(before) - linesWithText(after) <= 1,
                   "deleting a key removed %zu lines",
                   linesWithText(before) - linesWithText(after));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::FuzzInput input(data, size);
    const uint32_t bufferSize = input.takeInRange(1, 2048);
    const uint8_t operation = input.takeByte();
    const std::string rawSection = input.takeBytes(24);
    const std::string rawKey = input.takeBytes(24);
    const std::string rawValue = input.takeBytes(64);
    const std::string path = workFolder() + "/fuzz.ini";
    writeFile(path, input.takeRemainingBytes());

    // Reading with the raw names: anything goes, nothing overruns.
    const std::string section(rawSection.c_str());  // up to the first zero, as C sees it
    const std::string key(rawKey.c_str());
    readValue(section.c_str(), key.c_str(), rawValue.c_str(), bufferSize, path);
    readList(section.c_str(), bufferSize, path);
    readList(nullptr, bufferSize, path);

    switch (operation % 4) {
        case 0:
        case 1:
            checkWrite(sectionName(rawSection), keyName(rawKey), valueText(rawValue), bufferSize,
                       path);
            break;
        case 2: {
            const std::string name = keyName(rawKey);
            checkDelete(sectionName(rawSection), &name, path);
            break;
        }
        default:
            checkDelete(sectionName(rawSection), nullptr, path);
            break;
    }
    return 0;
}
