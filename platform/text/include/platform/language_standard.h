// Corvane's headers are C++20 (concepts, char8_t, designated initializers, <span> ...): a
// program compiled as C++17 or older is told so here, by the first of them it includes,
// rather than by errors deep inside them.
#pragma once

#if __cplusplus < 202002L
#error "Corvane needs C++20 or later: compile with -std=c++20 (with CMake, cxx_std_20)"
#endif
