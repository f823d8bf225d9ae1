#include "virtual_device/uart_reception.h"

#include <cmath>
#include <cstdlib>

#include "components/rfc2217_protocol.h"

namespace port_control::virtual_device {
namespace {

double stopBits(StopBits stopBits) {
    switch (stopBits) {
        case StopBits::One:
            return 1;
        case StopBits::OnePointFive:
            return 1.5;
        case StopBits::Two:
            return 2;
    }
    return 1;
}

// The parity bit that goes with `data` (its `bits` lowest bits).
bool parityBit(Parity parity, uint32_t data, int bits) {
    int ones = 0;
    for (int i = 0; i < bits; ++i)
        ones += (data >> i) & 1;
    switch (parity) {
        case Parity::Odd:
            return ones % 2 == 0;
        case Parity::Even:
            return ones % 2 == 1;
        case Parity::Mark:
            return true;
        case Parity::Space:
        case Parity::None:
            return false;
    }
    return false;
}

// The sender's line: characters back to back, idle (1) before and after. Times in the
// sender's bit times.
class SentLine {
  public:
    SentLine(const SerialSettings& settings, std::string_view sent)
        : m_settings(settings), m_sent(sent), m_frame(bitsPerCharacter(settings)) {}

    double end() const { return m_frame * static_cast<double>(m_sent.size()); }

    bool level(double t) const {
        if (t < 0 || t >= end())
            return true;
        const size_t index = static_cast<size_t>(t / m_frame);
        if (index >= m_sent.size())
            return true;
        const double within = t - m_frame * static_cast<double>(index);
        const int bit = static_cast<int>(within);
        return bitLevel(index, bit);
    }

    // The first time at or after `t` where the line falls from 1 to 0; end() if none.
    double nextFallingEdge(double t) const {
        if (t < 0)
            t = 0;
        size_t index = static_cast<size_t>(t / m_frame);
        while (index < m_sent.size()) {
            const double frameStart = m_frame * static_cast<double>(index);
            const int bits = 1 + m_settings.dataBits + (hasParity() ? 1 : 0);
            for (int bit = 0; bit < bits; ++bit) {
                const double at = frameStart + bit;
                if (at < t)
                    continue;
                const bool before = bit == 0 ? true : bitLevel(index, bit - 1);
                if (before && !bitLevel(index, bit))
                    return at;
            }
            ++index;
        }
        return end();
    }

  private:
    bool hasParity() const { return m_settings.parity != Parity::None; }
    bool bitLevel(size_t index, int bit) const {
        const uint8_t value = static_cast<uint8_t>(m_sent[index]);
        if (bit == 0)
            return false;  // start bit
        if (bit <= m_settings.dataBits)
            return (value >> (bit - 1)) & 1;
        if (hasParity() && bit == m_settings.dataBits + 1)
            return parityBit(m_settings.parity, value, m_settings.dataBits);
        return true;  // stop bits
    }

    const SerialSettings& m_settings;
    std::string_view m_sent;
    double m_frame;
};

}  // namespace

double bitsPerCharacter(const SerialSettings& settings) {
    return 1 + settings.dataBits + (settings.parity == Parity::None ? 0 : 1) +
           stopBits(settings.stopBits);
}

bool receivesUnchanged(const SerialSettings& sender, const SerialSettings& receiver) {
    const double ratio =
        static_cast<double>(receiver.baudRate) / static_cast<double>(sender.baudRate);
    return std::fabs(ratio - 1.0) <= 0.02 && sender.dataBits == receiver.dataBits &&
           sender.parity == receiver.parity;
}

void receiveCharacters(const SerialSettings& sender, const SerialSettings& receiver,
                       std::string_view sent, std::vector<ReceivedCharacter>& received) {
    if (receivesUnchanged(sender, receiver)) {
        const uint8_t mask = static_cast<uint8_t>((1u << receiver.dataBits) - 1);
        for (char c : sent)
            received.push_back({static_cast<uint8_t>(static_cast<uint8_t>(c) & mask), 0});
        return;
    }
    const SentLine line(sender, sent);
    // The receiver's bit time in the sender's bit times.
    const double bit =
        static_cast<double>(sender.baudRate) / static_cast<double>(receiver.baudRate);
    const bool checksParity = receiver.parity != Parity::None;
    double t = 0;
    for (;;) {
        const double start = line.nextFallingEdge(t);
        if (start >= line.end())
            return;
        if (line.level(start + bit / 2)) {  // a glitch, not a start bit
            t = start + bit / 2;
            continue;
        }
        uint32_t data = 0;
        for (int i = 0; i < receiver.dataBits; ++i)
            data |= static_cast<uint32_t>(line.level(start + bit * (1.5 + i))) << i;
        double sample = start + bit * (1.5 + receiver.dataBits);
        uint8_t state = 0;
        bool parityLevel = false;
        if (checksParity) {
            parityLevel = line.level(sample);
            if (parityLevel != parityBit(receiver.parity, data, receiver.dataBits))
                state |= rfc2217::line_state::kParity;
            sample += bit;
        }
        if (!line.level(sample)) {
            state |= rfc2217::line_state::kFraming;
            if (data == 0 && !parityLevel)
                state = rfc2217::line_state::kBreak;  // low all through the character
        }
        received.push_back({static_cast<uint8_t>(data), state});
        // The receiver hunts for the next start bit from the middle of the stop bit.
        t = sample;
    }
}

}  // namespace port_control::virtual_device
