// Capture files: any bytes either read into events that hold to the format's limits (known
// types, data events with 1 to kLongestData bytes, valid settings, times never going back,
// at most kMostEvents) or are refused with error 380 and a description; and what reads
// writes back into a file that reads the same.
//
// Input: the capture file's bytes.
#include <cstdint>
#include <exception>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_input.h"
#include "platform/error.h"
#include "virtual_device/capture_file.h"
#include "work_folder.h"

namespace {

using port_control::virtual_device::LineEvent;
using port_control::virtual_device::LineEventType;
namespace virtual_device = port_control::virtual_device;

const std::filesystem::path& rewrittenFile() {
    static const fuzz::WorkFolder folder("capture-fuzz", {std::filesystem::path("/dev/shm"),
                                                          std::filesystem::temp_directory_path()});
    static const std::filesystem::path file = std::filesystem::path(folder.path()) / "again.pcap";
    return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::vector<LineEvent> events;
    try {
        events = virtual_device::parseCapture(bytes, "fuzz.pcap");
    } catch (const platform::Error& error) {
        FUZZ_CHECK(error.number() == 380, "refused with error %d", error.number());
        FUZZ_CHECK(!error.description().empty(), "error 380 without a description");
        return 0;
    } catch (const std::exception& e) {
        FUZZ_CHECK(false, "parseCapture threw %s", e.what());
    }
    FUZZ_CHECK(events.size() <= virtual_device::kMostEvents, "%zu events", events.size());
    for (size_t i = 0; i < events.size(); ++i) {
        const LineEvent& event = events[i];
        FUZZ_CHECK(event.bytes.size() <= virtual_device::kLongestData, "%zu bytes",
                   event.bytes.size());
        if (event.type == LineEventType::Sent || event.type == LineEventType::Received)
            FUZZ_CHECK(!event.bytes.empty(), "an empty data event");
        FUZZ_CHECK(i == 0 || events[i - 1].time <= event.time, "time went back at %zu", i);
    }

    {
        virtual_device::CaptureWriter writer(rewrittenFile());
        for (const LineEvent& event : events)
            writer.write(event);
    }
    FUZZ_CHECK(virtual_device::readCapture(rewrittenFile()) == events,
               "the events written back read differently");
    return 0;
}
