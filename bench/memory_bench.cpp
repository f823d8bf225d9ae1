// Memory: the peak resident size (getrusage ru_maxrss) of the UDP throughput workload,
// control against raw sockets, and of a control holding 16 MiB of unread received data;
// and the bytes the receive buffer holds per waiting character after a compacting read.
//
// Each measurement runs in a fresh child process (this program again, with
// --memory-child=NAME), since a peak once reached never goes down; the child prints its
// figures as key=value lines.
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>

#include "receive_buffer.h"
#include "support/comparison.h"
#include "support/quiet_udp.h"
#include "support/udp_endpoints.h"

namespace {

constexpr size_t kHeldCharacters = 16 * 1024 * 1024;
constexpr size_t kDatagram = 1024;
constexpr size_t kLargestInputLen = 32767;
// What "a small constant" allows on top of two bytes per waiting character.
constexpr double kSmallConstantBytes = 64 * 1024;

// ---- Children -----------------------------------------------------------------------

long peakKiB() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

long currentKiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return 0;
}

void print(const char* key, double value) {
    std::printf("%s=%.0f\n", key, value);
}

int udpChild(bool control, size_t datagrams) {
    print("start_kib", static_cast<double>(currentKiB()));
    const std::string bytes(kDatagram, 'x');
    if (control) {
        bench::ControlStream stream;
        stream.run(platform::Variant::fromString(std::u16string(kDatagram, u'x')), datagrams);
    } else {
        bench::RawStream stream;
        stream.run(bytes, datagrams);
    }
    print("peak_kib", static_cast<double>(peakKiB()));
    return 0;
}

// A control whose receiver got `characters` characters that nobody read.
int holdChild(size_t characters) {
    print("start_kib", static_cast<double>(currentKiB()));
    bench::QuietControl quiet;
    const std::u16string datagram(kDatagram, u'x');
    for (size_t n = 0; n < characters; n += kDatagram)
        quiet.receiver->deliver(datagram);
    print("peak_kib", static_cast<double>(peakKiB()));
    print("held_kib", static_cast<double>(currentKiB()));
    return 0;
}

// The receive buffer itself, filled the same way, then read in pieces of the largest
// InputLen until its storage has been compacted once.
int bufferChild(size_t characters) {
    port_control::ReceiveBuffer buffer;
    const std::u16string datagram(kDatagram, u'x');
    for (size_t n = 0; n < characters; n += kDatagram)
        buffer.append(datagram);
    print("filled_chars", static_cast<double>(buffer.size()));
    print("filled_bytes", static_cast<double>(buffer.capacityBytes()));
    const size_t before = buffer.capacityBytes();
    while (buffer.capacityBytes() == before && !buffer.empty())
        buffer.take(kLargestInputLen);
    print("compacted_chars", static_cast<double>(buffer.size()));
    print("compacted_bytes", static_cast<double>(buffer.capacityBytes()));
    return 0;
}

int runChild(const std::string& name) {
    const bool smoke = bench::smokeRun();
    if (name == "udp-control")
        return udpChild(true, smoke ? 100 : 20000);
    if (name == "udp-raw")
        return udpChild(false, smoke ? 100 : 20000);
    if (name == "hold")
        return holdChild(smoke ? 1024 * 1024 : kHeldCharacters);
    if (name == "buffer")
        return bufferChild(smoke ? 1024 * 1024 : kHeldCharacters);
    std::fprintf(stderr, "unknown child %s\n", name.c_str());
    return 2;
}

// ---- Parent ---------------------------------------------------------------------------

std::string g_self;

std::map<std::string, double> child(const std::string& name) {
    const std::string command =
        "'" + g_self + "' --memory-child=" + name + (bench::smokeRun() ? " --smoke" : "");
    return bench::childFigures(command, "memory child " + name);
}

std::string mib(double kib) {
    return bench::formatBytes(kib * 1024);
}

void BM_UdpWorkloadPeak(benchmark::State& state) {
    std::map<std::string, double> ours, raw;
    for (auto _ : state) {
        ours = child("udp-control");
        raw = child("udp-raw");
    }
    bench::recordRow(state, {"M. Peak RSS, UDP throughput 1 KiB x 20,000", mib(ours["peak_kib"]),
                             mib(raw["peak_kib"]) + " raw", ours["peak_kib"] / raw["peak_kib"],
                             bench::reportOnly()});
}
BENCHMARK(BM_UdpWorkloadPeak)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_HoldingUnreadData(benchmark::State& state) {
    std::map<std::string, double> held, buffer;
    for (auto _ : state) {
        held = child("hold");
        buffer = child("buffer");
    }
    const double received = buffer["filled_chars"];  // one byte per character on the wire
    const double growthKiB = held["peak_kib"] - held["start_kib"];
    bench::recordRow(state, {"M. Peak RSS growth, 16 MiB unread in a control", mib(growthKiB),
                             mib(received / 1024) + " received", growthKiB * 1024 / received,
                             bench::reportOnly()});
    bench::recordRow(
        state,
        {"M. Receive buffer bytes/char, while filling", bench::formatBytes(buffer["filled_bytes"]),
         bench::formatFixed(buffer["filled_chars"] / (1024 * 1024), 1) + " Mi chars",
         buffer["filled_bytes"] / buffer["filled_chars"], bench::reportOnly()});
    const double chars = buffer["compacted_chars"], bytes = buffer["compacted_bytes"];
    bench::recordRow(
        state, {"M. Receive buffer bytes/char, after a compacting read", bench::formatBytes(bytes),
                bench::formatFixed(chars / (1024 * 1024), 1) + " Mi chars", bytes / chars,
                bench::atMost(kSmallConstantBytes, "<= 2 B/char + 64 KiB").on(bytes - 2 * chars)});
}
BENCHMARK(BM_HoldingUnreadData)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    g_self = bench::ownExecutable();
    if (g_self.empty())
        return 2;
    argc = bench::takeOwnFlags(argc, argv);
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--memory-child=", 15) == 0)
            return runChild(argv[i] + 15);
    return bench::runBenchmarks(argc, argv);
}
