// Readings of this process and of the kernel that fault and load tests compare before and
// after: open descriptors, resident memory, CPU time, and the UDP, ICMP and backlog counters
// the kernel keeps in /proc. Header-only, so that only the tests that use it compile it.
#pragma once

#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>

namespace port_control::testing {

inline int openDescriptorCount() {
    int count = 0;
    DIR* folder = ::opendir("/proc/self/fd");
    if (!folder)
        return -1;
    while (const dirent* entry = ::readdir(folder))
        count += entry->d_name[0] != '.';
    ::closedir(folder);
    return count - 1;  // the folder's own descriptor
}

// Resident set size, from /proc/self/statm.
inline size_t residentBytes() {
    std::ifstream statm("/proc/self/statm");
    size_t totalPages = 0, residentPages = 0;
    statm >> totalPages >> residentPages;
    return residentPages * static_cast<size_t>(::sysconf(_SC_PAGESIZE));
}

// User plus system time this process has used.
inline std::chrono::microseconds cpuTime() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return std::chrono::seconds(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           std::chrono::microseconds(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

// The row of /proc/self/net/udp or udp6 that lists the UDP socket `fd`.
struct UdpSocketRow {
    uint64_t receiveQueue = 0;  // bytes the kernel holds for the socket, bookkeeping included
    uint64_t drops = 0;         // datagrams dropped on the way in: its receive buffer was full
};

// nullopt when the socket is not listed.
inline std::optional<UdpSocketRow> udpSocketRow(int fd) {
    struct stat info = {};
    if (::fstat(fd, &info) != 0)
        return std::nullopt;
    for (const char* table : {"/proc/self/net/udp6", "/proc/self/net/udp"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line);  // the header
        while (std::getline(in, line)) {
            // sl local remote st tx:rx tr:when retrnsmt uid timeout inode ref pointer drops
            std::istringstream fields(line);
            std::string sl, local, remote, state, queues, timer, retransmits, pointer;
            uint64_t uid = 0, timeout = 0, inode = 0, references = 0, drops = 0;
            fields >> sl >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
                timeout >> inode >> references >> pointer >> drops;
            if (fields && inode == info.st_ino) {
                const size_t colon = queues.find(':');
                return UdpSocketRow{std::stoull(queues.substr(colon + 1), nullptr, 16), drops};
            }
        }
    }
    return std::nullopt;
}

inline std::optional<uint64_t> udpSocketDrops(int fd) {
    const auto row = udpSocketRow(fd);
    return row ? std::optional<uint64_t>(row->drops) : std::nullopt;
}

// The counters of one protocol line of /proc/self/net/snmp ("Udp", "Icmp" ...) by name.
inline std::map<std::string, int64_t> snmpCounters(std::string_view protocol) {
    std::ifstream in("/proc/self/net/snmp");
    const std::string prefix = std::string(protocol) + ":";
    std::string names, values, line;
    while (std::getline(in, line)) {
        if (line.rfind(prefix, 0) != 0)
            continue;
        if (names.empty()) {
            names = line.substr(prefix.size());
        } else {
            values = line.substr(prefix.size());
            break;
        }
    }
    std::map<std::string, int64_t> counters;
    std::istringstream nameFields(names), valueFields(values);
    std::string name;
    int64_t value = 0;
    while (nameFields >> name && valueFields >> value)
        counters[name] = value;
    return counters;
}

// Packets every processor's input backlog dropped because it was full (the second column
// of /proc/self/net/softnet_stat, summed): loopback traffic lost before any socket saw it.
inline uint64_t backlogDrops() {
    std::ifstream in("/proc/self/net/softnet_stat");
    uint64_t total = 0;
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string processed, dropped;
        if (fields >> processed >> dropped)
            total += std::stoull(dropped, nullptr, 16);
    }
    return total;
}

}  // namespace port_control::testing
