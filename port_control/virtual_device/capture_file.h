// Capture files: the events of a serial line in a pcap file of link type 250
// (LINKTYPE_RTAC_SERIAL), which tshark and Wireshark decode, and which a replay reads.
//
// Each record is one LineEvent: a 12-byte header (seconds and microseconds of the time,
// big-endian; the event type; the modem lines; a 2-byte footer) and then the bytes. Settings
// changes have no type of their own in the format: they are written as a status change
// (type 0) whose footer is kSettingsFooter and whose bytes are the settings text. A BREAK
// the host sent is a BREAK (type 9) whose footer is kSentFooter.
//
// A capture is untrusted input: reading checks every record (lengths, types, order of
// times) and refuses the first that is wrong with error 380 naming the record's number and
// what is wrong with it; nothing of a refused file is returned. A file may hold at most
// kMostEvents events of at most kLongestData bytes each.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "virtual_device/line_event.h"

namespace port_control::virtual_device {

constexpr uint32_t kLinkTypeRtacSerial = 250;
constexpr uint16_t kSettingsFooter = 0x5345;  // "SE"
// A BREAK the host sent (the format's BREAK is one the host received) has this footer.
constexpr uint16_t kSentFooter = 0x5458;  // "TX"
constexpr size_t kLongestData = 65536;
constexpr size_t kMostEvents = 1u << 22;

// Writes events as they happen. The file is created new (an existing file is replaced, a
// link in its place is not followed) and every event is written through, so that a
// recorder killed at any point leaves a file that reads up to its last whole record.
// Data longer than kLongestData is written as several records. Errors (the file cannot be
// created, the disk is full) are platform::Error with the number and the file's name.
class CaptureWriter {
  public:
    explicit CaptureWriter(const std::filesystem::path& file);
    ~CaptureWriter();
    CaptureWriter(const CaptureWriter&) = delete;
    CaptureWriter& operator=(const CaptureWriter&) = delete;

    void write(const LineEvent& event);

  private:
    void writeRecord(std::string_view record);

    std::filesystem::path m_file;
    int m_fd = -1;
    uint64_t m_written = 0;  // bytes of whole records (and the file's header)
    int64_t m_lastTime = 0;  // microseconds of the last event written
};

// The events of a capture file, in order.
std::vector<LineEvent> readCapture(const std::filesystem::path& file);
// The same from the file's bytes; `name` is the file's name in messages.
std::vector<LineEvent> parseCapture(std::string_view bytes, const std::string& name);

}  // namespace port_control::virtual_device
