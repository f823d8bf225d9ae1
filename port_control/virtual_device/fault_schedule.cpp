#include "virtual_device/fault_schedule.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <utility>

#include "platform/error.h"
#include "platform/utf8.h"
#include "virtual_device/input_file.h"
#include "virtual_device/line_event.h"

namespace port_control::virtual_device {

namespace {

// Far more than kMostFaults lines of faults.
constexpr size_t kLargestScheduleFile = size_t{16} << 20;
// Longer than any run a device makes (about 31 years).
constexpr int64_t kLongestTimeMs = int64_t{1000000000000};

std::u16string u16(std::string_view text) {
    return platform::fromUtf8(text);
}

std::u16string number(uint64_t value) {
    return u16(std::to_string(value));
}

// A word of the schedule as a message quotes it: cut short, so a line of garbage stays
// readable.
std::u16string quoted(std::string_view word) {
    return u"\"" + u16(word.substr(0, 40)) + (word.size() > 40 ? u"...\"" : u"\"");
}

bool allDigits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::vector<std::string_view> wordsOf(std::string_view line) {
    std::vector<std::string_view> words;
    size_t i = 0;
    while (i < line.size()) {
        if (line[i] == ' ' || line[i] == '\t') {
            ++i;
            continue;
        }
        const size_t end = line.find_first_of(" \t", i);
        const size_t stop = end == std::string_view::npos ? line.size() : end;
        words.push_back(line.substr(i, stop - i));
        i = stop;
    }
    return words;
}

class ScheduleParser {
  public:
    ScheduleParser(const std::string& name, size_t lineNumber)
        : m_name(name), m_lineNumber(lineNumber) {}

    [[noreturn]] void fail(std::u16string_view detail) const {
        throw platform::Error(platform::errors::kInvalidPropertyValue,
                              u"障害スケジュール " + u16(m_name) + u" の " + number(m_lineNumber) +
                                  u" 行目が不正です: " + std::u16string(detail));
    }

    // "2.5s", "1000ms": a decimal number of seconds or milliseconds, in whole milliseconds.
    std::chrono::milliseconds time(std::string_view word) const {
        std::string_view digits = word;
        int64_t unitMs = 0;
        if (digits.size() > 2 && digits.substr(digits.size() - 2) == "ms") {
            digits.remove_suffix(2);
            unitMs = 1;
        } else if (digits.size() > 1 && digits.back() == 's') {
            digits.remove_suffix(1);
            unitMs = 1000;
        } else {
            fail(u"時間 " + quoted(word) + u" には単位 (ms か s) が必要です。");
        }
        const size_t point = digits.find('.');
        const std::string_view whole = digits.substr(0, point);
        const std::string_view fraction =
            point == std::string_view::npos ? std::string_view() : digits.substr(point + 1);
        if (!allDigits(whole) || (point != std::string_view::npos && !allDigits(fraction)))
            fail(u"時間 " + quoted(word) + u" は数ではありません。");
        if (whole.size() > 13)
            fail(u"時間 " + quoted(word) + u" は長すぎます。");
        int64_t ms = 0;
        for (char c : whole)
            ms = ms * 10 + (c - '0');
        ms *= unitMs;
        // The fraction's digits past the millisecond must be zeros.
        int64_t scale = unitMs;
        for (char c : fraction) {
            const int digit = c - '0';
            if (scale % 10 != 0) {
                if (digit != 0)
                    fail(u"時間 " + quoted(word) + u" はミリ秒より細かく指定できません。");
                continue;
            }
            scale /= 10;
            ms += digit * scale;
        }
        if (ms > kLongestTimeMs)
            fail(u"時間 " + quoted(word) + u" は長すぎます。");
        return std::chrono::milliseconds(ms);
    }

    uint64_t offset(std::string_view word) const {
        uint64_t value = 0;
        const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
        if (!allDigits(word) || error != std::errc() || end != word.data() + word.size())
            fail(u"バイト位置 " + quoted(word) +
                 u" は 0 から 2^64 - 1 までの整数でなければなりません。");
        return value;
    }

    Direction direction(std::string_view word) const {
        if (word == "sent")
            return Direction::Sent;
        if (word == "received")
            return Direction::Received;
        fail(u"方向 " + quoted(word) + u" は sent か received でなければなりません。");
    }

    // A probability in [0, 1] as a plain decimal ("0.001", "1").
    double rate(std::string_view word) const {
        const size_t point = word.find('.');
        const bool plain = allDigits(word.substr(0, point)) &&
                           (point == std::string_view::npos || allDigits(word.substr(point + 1)));
        double value = -1;
        if (plain)
            std::from_chars(word.data(), word.data() + word.size(), value);
        if (!(value >= 0 && value <= 1))
            fail(u"確率 " + quoted(word) + u" は 0 から 1 までの小数でなければなりません。");
        return value;
    }

    // The fault that the words from `first` name, all of them used.
    Fault fault(const std::vector<std::string_view>& words, size_t first) const {
        if (first >= words.size())
            fail(u"障害の種類がありません。");
        const std::string_view kind = words[first];
        Fault fault;
        size_t used = 1;
        if (kind == "corrupt") {
            fault.kind = Fault::Kind::Corrupt;
        } else if (kind == "drop") {
            fault.kind = Fault::Kind::Drop;
            fault.count = count(words, first + 1);
            used = 2;
        } else if (kind == "parity") {
            fault.kind = Fault::Kind::Parity;
        } else if (kind == "framing") {
            fault.kind = Fault::Kind::Framing;
        } else if (kind == "overrun") {
            fault.kind = Fault::Kind::Overrun;
        } else if (kind == "break") {
            fault.kind = Fault::Kind::Break;
        } else if (kind == "unplug") {
            fault.kind = Fault::Kind::Unplug;
            if (first + 1 >= words.size())
                fail(u"unplug には外しておく時間が必要です。");
            fault.pause = time(words[first + 1]);
            if (fault.pause.count() <= 0)
                fail(u"unplug の時間は 0 より長くなければなりません。");
            used = 2;
        } else if (const uint8_t line = lineBit(kind); line != 0) {
            fault.line = line;
            if (first + 1 >= words.size())
                fail(u"信号線 " + quoted(kind) + u" には down か up が必要です。");
            if (words[first + 1] == "down")
                fault.kind = Fault::Kind::LineDown;
            else if (words[first + 1] == "up")
                fault.kind = Fault::Kind::LineUp;
            else
                fail(u"信号線の状態 " + quoted(words[first + 1]) +
                     u" は down か up でなければなりません。");
            used = 2;
        } else {
            fail(u"不明な障害 " + quoted(kind) + u" です。");
        }
        if (first + used < words.size())
            fail(u"余分な語 " + quoted(words[first + used]) + u" があります。");
        return fault;
    }

  private:
    static uint8_t lineBit(std::string_view word) {
        if (word == "cts")
            return lines::kCts;
        if (word == "dsr")
            return lines::kDsr;
        if (word == "dcd")
            return lines::kDcd;
        if (word == "ring")
            return lines::kRing;
        return 0;
    }

    uint32_t count(const std::vector<std::string_view>& words, size_t at) const {
        if (at >= words.size())
            fail(u"drop には失うバイト数が必要です。");
        uint32_t value = 0;
        const std::string_view word = words[at];
        const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
        if (!allDigits(word) || error != std::errc() || end != word.data() + word.size() ||
            value < 1)
            fail(u"drop のバイト数 " + quoted(word) + u" は 1 以上の整数でなければなりません。");
        return value;
    }

    const std::string& m_name;
    size_t m_lineNumber;
};

bool needsByte(Fault::Kind kind) {
    return kind == Fault::Kind::Corrupt || kind == Fault::Kind::Drop ||
           kind == Fault::Kind::Parity || kind == Fault::Kind::Framing;
}

// splitmix64: spreads one seed over the generator's whole state.
uint64_t splitMix64(uint64_t& state) {
    uint64_t z = (state += 0x9e3779b97f4a7c15);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
    z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
    return z ^ (z >> 31);
}

uint64_t rotateLeft(uint64_t x, int k) {
    return (x << k) | (x >> (64 - k));
}

}  // namespace

FaultSchedule FaultSchedule::parse(std::string_view text, const std::string& name) {
    FaultSchedule schedule;
    bool noiseGiven[2] = {false, false};
    size_t faultLines = 0;
    size_t lineNumber = 0;
    while (!text.empty()) {
        ++lineNumber;
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        line = line.substr(0, line.find('#'));
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        const std::vector<std::string_view> words = wordsOf(line);
        if (words.empty())
            continue;
        const ScheduleParser parser(name, lineNumber);
        if (++faultLines > kMostFaults)
            parser.fail(u"障害が多すぎます (最大 " + number(kMostFaults) + u" 行)。");

        if (words[0] == "noise") {
            if (words.size() < 2)
                parser.fail(u"noise には確率が必要です。");
            const double rate = parser.rate(words[1]);
            if (words.size() > 3)
                parser.fail(u"余分な語 " + quoted(words[3]) + u" があります。");
            std::vector<Direction> directions{Direction::Sent, Direction::Received};
            if (words.size() == 3)
                directions = {parser.direction(words[2])};
            for (Direction direction : directions) {
                const auto index = static_cast<size_t>(direction);
                if (noiseGiven[index])
                    parser.fail(u"この方向の noise はすでに指定されています。");
                noiseGiven[index] = true;
                schedule.noise[index] = rate;
            }
            continue;
        }
        if (words[0] != "at")
            parser.fail(u"行が at でも noise でも始まっていません: " + quoted(words[0]));
        if (words.size() < 2)
            parser.fail(u"at には時間かバイト位置が必要です。");

        ScheduledFault scheduled;
        scheduled.lineNumber = static_cast<int>(lineNumber);
        if (allDigits(words[1])) {
            scheduled.offset = parser.offset(words[1]);
            if (words.size() < 3)
                parser.fail(u"バイト位置の後に方向 (sent か received) が必要です。");
            scheduled.direction = parser.direction(words[2]);
            scheduled.fault = parser.fault(words, 3);
        } else {
            scheduled.time = parser.time(words[1]);
            scheduled.fault = parser.fault(words, 2);
            if (needsByte(scheduled.fault.kind))
                parser.fail(u"障害 " + quoted(words[2]) + u" はバイト位置で指定してください。");
        }
        schedule.faults.push_back(scheduled);
    }
    return schedule;
}

FaultSchedule FaultSchedule::read(const std::filesystem::path& file) {
    const std::string text = readInputFile(file, kLargestScheduleFile, u"障害スケジュール");
    return parse(text, file.string());
}

FaultInjector::FaultInjector(FaultSchedule schedule, uint64_t seed)
    : m_schedule(std::move(schedule)) {
    uint64_t state = seed;
    for (uint64_t& word : m_random)
        word = splitMix64(state);

    for (size_t i = 0; i < m_schedule.faults.size(); ++i) {
        const ScheduledFault& fault = m_schedule.faults[i];
        if (fault.time)
            m_timed.push_back(i);
        else
            m_byOffset[static_cast<size_t>(fault.direction)].push_back(i);
    }
    const auto& faults = m_schedule.faults;
    std::stable_sort(m_timed.begin(), m_timed.end(),
                     [&](size_t a, size_t b) { return *faults[a].time < *faults[b].time; });
    for (auto& byOffset : m_byOffset) {
        std::stable_sort(byOffset.begin(), byOffset.end(),
                         [&](size_t a, size_t b) { return faults[a].offset < faults[b].offset; });
    }
    // A byte is hit when a draw falls below rate * 2^64, an exact integer computed once.
    for (size_t d = 0; d < 2; ++d) {
        const double rate = m_schedule.noise[d];
        m_noiseEveryByte[d] = rate >= 1;
        m_noiseThreshold[d] =
            rate > 0 && rate < 1 ? static_cast<uint64_t>(std::ldexp(rate, 64)) : 0;
    }
}

uint64_t FaultInjector::nextRandom() {
    // xoshiro256**
    uint64_t* s = m_random;
    const uint64_t result = rotateLeft(s[1] * 5, 7) * 9;
    const uint64_t t = s[1] << 17;
    s[2] ^= s[0];
    s[3] ^= s[1];
    s[1] ^= s[2];
    s[0] ^= s[3];
    s[2] ^= t;
    s[3] = rotateLeft(s[3], 45);
    return result;
}

uint8_t FaultInjector::corruptionMask() {
    for (;;) {
        const auto mask = static_cast<uint8_t>(nextRandom() >> 56);
        if (mask != 0)
            return mask;
    }
}

void FaultInjector::pass(Direction direction, std::string_view bytes,
                         std::vector<FaultPiece>& out) {
    const auto d = static_cast<size_t>(direction);
    const std::vector<size_t>& byOffset = m_byOffset[d];
    const bool noisy = m_noiseEveryByte[d] || m_noiseThreshold[d] != 0;
    FaultPiece piece;
    for (const char original : bytes) {
        const uint64_t offset = m_passed[d]++;
        auto byte = static_cast<uint8_t>(original);
        for (; m_nextByOffset[d] < byOffset.size(); ++m_nextByOffset[d]) {
            const ScheduledFault& scheduled = m_schedule.faults[byOffset[m_nextByOffset[d]]];
            if (scheduled.offset > offset)
                break;
            AppliedFault applied{scheduled.fault, direction, offset, 0};
            switch (scheduled.fault.kind) {
                case Fault::Kind::Corrupt:
                    byte ^= corruptionMask();
                    applied.value = byte;
                    break;
                case Fault::Kind::Drop:
                    m_dropping[d] = std::max<uint64_t>(m_dropping[d], scheduled.fault.count);
                    break;
                default:
                    // The device acts on the fault before this byte goes on.
                    piece.fault = scheduled.fault;
                    out.push_back(std::move(piece));
                    piece = FaultPiece();
                    break;
            }
            m_applied.push_back(applied);
        }
        // One draw per byte, dropped or not, so that a drop does not move noise elsewhere.
        const bool noiseHit = noisy && (m_noiseEveryByte[d] || nextRandom() < m_noiseThreshold[d]);
        if (m_dropping[d] > 0) {
            --m_dropping[d];
            continue;
        }
        if (noiseHit) {
            byte ^= corruptionMask();
            m_applied.push_back(AppliedFault{Fault{}, direction, offset, byte});
        }
        piece.data += static_cast<char>(byte);
    }
    if (!piece.data.empty())
        out.push_back(std::move(piece));
}

std::vector<Fault> FaultInjector::dueAt(std::chrono::milliseconds elapsed) {
    std::vector<Fault> due;
    for (; m_nextTimed < m_timed.size(); ++m_nextTimed) {
        const ScheduledFault& scheduled = m_schedule.faults[m_timed[m_nextTimed]];
        if (*scheduled.time > elapsed)
            break;
        due.push_back(scheduled.fault);
        m_applied.push_back(AppliedFault{scheduled.fault, std::nullopt, 0, 0});
    }
    return due;
}

std::optional<std::chrono::milliseconds> FaultInjector::nextDue() const {
    if (m_nextTimed == m_timed.size())
        return std::nullopt;
    return m_schedule.faults[m_timed[m_nextTimed]].time;
}

void FaultInjector::noteInjected(const Fault& fault) {
    m_applied.push_back(AppliedFault{fault, std::nullopt, 0, 0});
}

}  // namespace port_control::virtual_device
