// Runs one way of code page 932 conversion (codepage932_paths.h) the way the tests and the
// fuzz target compare them: the input lies `offset` units into its buffer, so vector blocks
// meet it at every alignment, and is followed by ASCII that a read past its end would take
// for more; the output room is followed by guard units, so a write past the room shows.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "codepage932_paths.h"

namespace platform::testing {

// What `way` wrote into its room, then the guard units after the room (unchanged unless it
// wrote past it).
template <typename In, typename Out>
std::basic_string<Out> writtenBy(size_t (*way)(std::basic_string_view<In>, Out*),
                                 std::basic_string_view<In> input, size_t offset) {
    constexpr size_t kPadding = 64;
    std::vector<In> source(offset + input.size() + kPadding, In{'Z'});
    std::copy(input.begin(), input.end(), source.begin() + static_cast<ptrdiff_t>(offset));
    // One unit per byte, two bytes per unit: what the public functions provide.
    const size_t room = input.size() * sizeof(In);
    std::vector<Out> out(room + kPadding, Out{'#'});
    const size_t written = way({source.data() + offset, input.size()}, out.data());
    std::basic_string<Out> result(out.data(), std::min(written, room));
    result.append(out.begin() + static_cast<ptrdiff_t>(room), out.end());
    return result;
}

}  // namespace platform::testing
