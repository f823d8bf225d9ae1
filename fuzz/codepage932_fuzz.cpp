// Code page 932 between bytes and text.
//
// Every byte sequence survives decode -> encode unchanged; text of any 16-bit units (the
// same input read as UTF-16) encodes, and its encoding decodes, without failing; each
// unit's character code is what encoding that unit alone writes, and a unit with its own
// encoding decodes back to itself.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_input.h"
#include "platform/codepage932.h"

namespace {

namespace cp932 = platform::cp932;

bool isEscape(char16_t c) {
    return c >= cp932::kEscapeBase && c <= cp932::kEscapeBase + 0xFF;
}

// The JIS readings written with the pair of their Windows twin; that pair decodes to the
// twin.
bool isJisReading(char16_t c) {
    return c == 0x301C || c == 0x00A2 || c == 0x00A3 || c == 0x00AC || c == 0x2016 || c == 0x2212;
}

void checkBytesSurvive(std::string_view bytes) {
    const std::u16string text = cp932::decode(bytes);
    FUZZ_CHECK(text.size() <= bytes.size(), "decoding gave more units than bytes");
    const std::string back = cp932::encode(text);
    FUZZ_CHECK(back == bytes, "decode -> encode changed %zu bytes into %zu", bytes.size(),
               back.size());

    // The appending forms add exactly what the plain ones return.
    std::u16string appended = u"x";
    cp932::decodeAppend(bytes, appended);
    FUZZ_CHECK(appended.substr(1) == text, "decodeAppend differs from decode");
    std::string encoded = "y";
    cp932::encodeAppend(text, encoded);
    FUZZ_CHECK(encoded.substr(1) == back, "encodeAppend differs from encode");
}

void checkUnit(char16_t c) {
    const std::string bytes = cp932::encode(std::u16string_view(&c, 1));
    const int16_t code = cp932::characterCode(c);
    if (bytes.size() == 1) {
        FUZZ_CHECK(code == static_cast<unsigned char>(bytes[0]),
                   "U+%04X: code %d but encoded as the byte %02X", unsigned(c), code,
                   unsigned(static_cast<unsigned char>(bytes[0])));
    } else {
        FUZZ_CHECK(bytes.size() == 2, "U+%04X encoded in %zu bytes", unsigned(c), bytes.size());
        const auto lead = static_cast<unsigned char>(bytes[0]);
        const auto trail = static_cast<unsigned char>(bytes[1]);
        FUZZ_CHECK(code == static_cast<int16_t>(lead << 8 | trail),
                   "U+%04X: code %d but encoded as %02X %02X", unsigned(c), code, lead, trail);
        FUZZ_CHECK(code < 0, "U+%04X: a double-byte code must be negative", unsigned(c));
    }
    if (!cp932::canEncode(c)) {
        FUZZ_CHECK(bytes == "?" && code == 63, "U+%04X cannot be encoded but is not '?'",
                   unsigned(c));
    } else if (!isEscape(c) && !isJisReading(c)) {
        const std::u16string back = cp932::decode(bytes);
        FUZZ_CHECK(back.size() == 1 && back[0] == c, "U+%04X does not decode back to itself",
                   unsigned(c));
    }
}

void checkText(std::u16string_view text) {
    const std::string bytes = cp932::encode(text);
    FUZZ_CHECK(bytes.size() <= 2 * text.size(), "encoding gave more than two bytes a unit");
    const std::u16string decoded = cp932::decode(bytes);
    // Once encoded, the bytes are stable: they decode and encode to themselves.
    FUZZ_CHECK(cp932::encode(decoded) == bytes, "re-encoding the decoded text differs");
    size_t expectedSize = 0;
    for (const char16_t c : text) {
        checkUnit(c);
        expectedSize += cp932::characterCode(c) < 0 ? 2 : 1;
    }
    FUZZ_CHECK(bytes.size() == expectedSize, "encoded length %zu, codes say %zu", bytes.size(),
               expectedSize);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    checkBytesSurvive(bytes);
    fuzz::FuzzInput input(data, size);
    checkText(input.takeRemainingText());
    return 0;
}
