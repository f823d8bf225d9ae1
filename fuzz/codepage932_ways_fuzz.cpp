// Code page 932's two ways: the fast one (runs of ASCII in vector blocks) writes exactly what
// the plain one writes, decoding the input's bytes and encoding the input read as 16-bit
// text, at every alignment, and nothing past its room.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_input.h"
#include "platform/support/codepage932_ways.h"

namespace {

namespace paths = platform::cp932::paths;
using platform::testing::writtenBy;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::FuzzInput input(data, size);
    const size_t offset = input.takeByte() % 16;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    FUZZ_CHECK(
        writtenBy(paths::decodeFast, bytes, offset) == writtenBy(paths::decodePlain, bytes, offset),
        "decoding %zu bytes at offset %zu: the ways differ", bytes.size(), offset);
    const std::u16string text = input.takeRemainingText();
    FUZZ_CHECK(writtenBy(paths::encodeFast, std::u16string_view(text), offset) ==
                   writtenBy(paths::encodePlain, std::u16string_view(text), offset),
               "encoding %zu units at offset %zu: the ways differ", text.size(), offset);
    return 0;
}
