// Turns what the line discipline delivers into the bytes a host receives.
//
// A port that can see line errors runs with PARMRK, so the line discipline marks conditions
// in-band: 0xFF 0xFF is a received 0xFF, 0xFF 0x00 0x00 a break (or a NUL with a parity
// error: the two read alike and count as a break), 0xFF 0x00 X a byte X with a parity error
// (framing errors are marked the same way while parity is checked). A mark may be split
// across reads; the filter keeps its place between calls. On a line without marks (a
// pseudo-terminal) every byte is data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace port_control {

class SerialInputFilter {
  public:
    struct Options {
        bool marked = true;                        // the line discipline marks conditions
        bool nullDiscard = false;                  // drop received NUL bytes
        std::optional<uint8_t> parityReplacement;  // replaces a byte with a parity error
    };
    struct Report {
        size_t parityErrors = 0;
        size_t breaks = 0;
        bool eofReceived = false;  // byte 26 among the bytes delivered
    };

    // Appends the received bytes of `input` to `out`.
    Report filter(std::string_view input, const Options& options, std::string& out);

    // Forgets a mark begun in an earlier read (after a flush or on close).
    void reset() { m_state = State::Plain; }

  private:
    enum class State { Plain, AfterEscape, AfterMark };
    State m_state = State::Plain;
};

}  // namespace port_control
