// Helpers shared by the fuzz targets: a reader that carves typed values out of the fuzzer's
// bytes, and a check that stops the run with a message when a property does not hold.
//
// The reader never fails: once the bytes run out every value it hands out is zero or empty,
// so a target can take what it needs without counting. Checks abort instead of asserting,
// so they also hold in the release builds that replay the corpora.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

#define FUZZ_CHECK(condition, ...)                                                               \
    do {                                                                                         \
        if (!(condition)) {                                                                      \
            std::fprintf(stderr, "%s:%d: check failed: %s\n  ", __FILE__, __LINE__, #condition); \
            std::fprintf(stderr, __VA_ARGS__);                                                   \
            std::fprintf(stderr, "\n");                                                          \
            std::abort();                                                                        \
        }                                                                                        \
    } while (false)

namespace fuzz {

class FuzzInput {
  public:
    FuzzInput(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}

    bool empty() const { return m_position >= m_size; }
    size_t remaining() const { return m_size - m_position; }

    uint8_t takeByte() { return empty() ? 0 : m_data[m_position++]; }

    bool takeBool() { return (takeByte() & 1) != 0; }

    // Little-endian bytes of an integer (or the raw bits of a floating-point number).
    template <class T>
    T take() {
        static_assert(std::is_trivially_copyable_v<T>);
        unsigned char bytes[sizeof(T)] = {};
        for (auto& b : bytes)
            b = takeByte();
        T value;
        std::memcpy(&value, bytes, sizeof(T));
        return value;
    }

    // A number in [low, high] (inclusive), from as few bytes as the range needs.
    uint32_t takeInRange(uint32_t low, uint32_t high) {
        const uint64_t span = static_cast<uint64_t>(high) - low + 1;
        uint64_t value = 0;
        for (uint64_t reach = 1; reach < span; reach <<= 8)
            value = (value << 8) | takeByte();
        return static_cast<uint32_t>(low + value % span);
    }

    // A byte string of up to `maxLength` bytes: one length byte (scaled), then the bytes.
    std::string takeBytes(size_t maxLength) {
        const size_t wanted = std::min<size_t>(takeInRange(0, 255), maxLength);
        const size_t n = std::min(wanted, remaining());
        std::string out(reinterpret_cast<const char*>(m_data + m_position), n);
        m_position += n;
        return out;
    }

    // A text of up to `maxLength` 16-bit units, two bytes each.
    std::u16string takeText(size_t maxLength) {
        const size_t wanted = std::min<size_t>(takeInRange(0, 255), maxLength);
        std::u16string out;
        for (size_t i = 0; i < wanted && remaining() >= 2; ++i)
            out += static_cast<char16_t>(take<uint16_t>());
        return out;
    }

    std::string_view takeRemainingBytes() {
        std::string_view rest(reinterpret_cast<const char*>(m_data + m_position), remaining());
        m_position = m_size;
        return rest;
    }

    std::u16string takeRemainingText() {
        std::u16string out;
        while (remaining() >= 2)
            out += static_cast<char16_t>(take<uint16_t>());
        m_position = m_size;
        return out;
    }

  private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_position = 0;
};

}  // namespace fuzz
