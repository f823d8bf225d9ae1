// The two ways code page 932 conversion can take, for the tests that hold them equal: the
// fast one, which the public functions take (runs of ASCII in vector blocks where the
// processor has SSE2, otherwise the plain one), and the plain one, every unit through the
// tables. Each writes into room for one unit per byte (decoding) or two bytes per unit
// (encoding) and returns how many it wrote.
#pragma once

#include <cstddef>
#include <string_view>

namespace platform::cp932::paths {

size_t decodeFast(std::string_view bytes, char16_t* out);
size_t decodePlain(std::string_view bytes, char16_t* out);
size_t encodeFast(std::u16string_view text, char* out);
size_t encodePlain(std::u16string_view text, char* out);

}  // namespace platform::cp932::paths
