// Plain descriptor I/O for the reference side of the byte-stream benchmarks (a
// pseudo-terminal, a TCP connection to a serial server): no platform code, an epoll loop
// of its own. Failures throw.
#pragma once

#include <cstddef>
#include <string_view>

namespace bench {

// Throws std::system_error for errno, naming `what`.
[[noreturn]] void failWithErrno(const char* what);

// Writes what the descriptor takes now; 0 when it would block.
size_t writeSome(int fd, std::string_view bytes);
// Reads what is there; 0 when nothing is. The far end closing throws.
size_t readSome(int fd, char* buffer, size_t size);

// Writes `bytes` to `writer` while reading `reader` until as many bytes have arrived;
// returns the seconds that took. Five seconds without progress throw.
double rawStreamTransfer(int writer, int reader, std::string_view bytes);

}  // namespace bench
