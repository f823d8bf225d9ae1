// A property bag held in memory with a plain text form, so that a host can save a
// configured control with its document and load it again.
//
// Text form: UTF-8, one key per line, `Name=T:value` with a type tag T:
//   E: Empty   N: Null   I: Integer   L: Long   F: Single   D: Double   U: Byte
//   B: Boolean (-1 or 0)   S: String   H: byte array in hex (two digits per byte)
// e.g. `Settings=S:9600,n,8,1`, `CommPort=I:1`, `DTREnable=B:-1`. Names and strings
// escape `\` `\\`, CR `\r`, LF `\n`, TAB `\t`, other control characters and lone
// surrogates as `\uXXXX`, and a `=` in a name as `\u003D`, so any 16-bit text round-trips.
// Lines end in LF (a CR before it is accepted); empty lines are ignored. Keys keep the
// order of their first write.
//
// Names compare without regard to ASCII case. A malformed text (no `=`, unknown tag, bad
// number, bad escape, invalid UTF-8, a key twice) throws platform::Error 321 whose
// description gives the line number; nothing is half-loaded.
#pragma once

#include "platform/language_standard.h"
#include "platform/platform_export.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/error.h"
#include "platform/property_bag.h"
#include "platform/variant.h"

namespace platform {

class CORVANE_PLATFORM_EXPORT TextPropertyBag : public PropertyBag {
  public:
    // Error number of a malformed text ("invalid file format").
    static constexpr int32_t kFormatError = 321;

    // omitDefaults: Write leaves out (and removes) a value equal to its default. Values
    // are equal when they have the same type and value, or are numbers (Integer, Long,
    // Single, Double, Byte) of the same value.
    explicit TextPropertyBag(bool omitDefaults = true);
    ~TextPropertyBag() override;
    TextPropertyBag(const TextPropertyBag& other);
    TextPropertyBag& operator=(const TextPropertyBag& other);

    Variant Read(std::u16string_view name, const Variant& defaultValue) override;
    void Write(std::u16string_view name, const Variant& value,
               const Variant& defaultValue) override;

    bool contains(std::u16string_view name) const;
    // Names in the order they were first written (as spelled then).
    std::vector<std::u16string> names() const;
    size_t size() const;
    void clear();

    std::string toText() const;
    // Replaces the contents with those of `text`; on a malformed text they stay as they were.
    void loadText(std::string_view text);

    // File forms. Saving writes a temporary file beside `path` and renames it over. File
    // failures throw platform::Error (53 file not found, 70 permission denied, 76 path not
    // found, 61 disk full, 75 for other failures) naming the file.
    void saveToFile(const std::filesystem::path& path) const;
    void loadFromFile(const std::filesystem::path& path);

  private:
    // The values, in the library so that they can grow.
    struct Contents;
    std::unique_ptr<Contents> m_contents;
};

}  // namespace platform
