#include "port_control/support/rfc2217_servers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

extern char** environ;

namespace port_control::testing {
namespace {

sockaddr_in loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

bool accepts(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(port);
    bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

}  // namespace

uint16_t freeTcpPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        throw std::system_error(errno, std::generic_category(), "bind");
    }
    ::close(fd);
    return ntohs(address.sin_port);
}

Rfc2217Server::Rfc2217Server(Kind kind, std::string device, bool speaksOption)
    : m_kind(kind),
      m_device(std::move(device)),
      m_speaksOption(speaksOption),
      m_port(freeTcpPort()),
      m_rawPort(freeTcpPort()) {
    while (m_rawPort == m_port)
        m_rawPort = freeTcpPort();
    char pattern[] = "/tmp/corvane-rfc2217.XXXXXX";
    if (!::mkdtemp(pattern))
        throw std::system_error(errno, std::generic_category(), "mkdtemp");
    m_folder = pattern;
    start();
}

Rfc2217Server::~Rfc2217Server() {
    stop();
    std::error_code ignored;
    std::filesystem::remove_all(m_folder, ignored);
}

std::string Rfc2217Server::address() const {
    return "rfc2217://127.0.0.1:" + std::to_string(m_port);
}

void Rfc2217Server::start() {
    std::vector<std::string> arguments;
    const std::string port = std::to_string(m_port);
    if (m_kind == Kind::Ser2net) {
        const std::filesystem::path config = m_folder / "ser2net.yaml";
        std::ofstream(config) << "connection: &port\n"
                              << "  accepter: "
                              << (m_speaksOption ? "telnet(rfc2217),tcp," : "tcp,") << "127.0.0.1,"
                              << port << "\n"
                              << "  connector: serialdev," << m_device << ",9600n81,local\n"
                              << "  options:\n"
                              << "    kickolduser: true\n"
                              << "connection: &raw\n"
                              << "  accepter: tcp,127.0.0.1," << m_rawPort << "\n"
                              << "  connector: serialdev," << m_device << ",9600n81,local\n";
        arguments = {"/usr/sbin/ser2net",        "-n", "-u", "-c", config.string(), "-P",
                     (m_folder / "pid").string()};
    } else {
        arguments = {"/usr/bin/python3", CORVANE_RFC2217_SERVER_SCRIPT, m_device, port};
        if (!m_speaksOption)
            arguments.push_back("--silent");
    }
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    // A test that dies (an abort, a crash) must not leave the server behind, holding its
    // port and the output pipe of whoever runs the test: the server gets SIGTERM when the
    // thread that started it ends. ser2net reports on stderr that it finds no mDNS service;
    // nothing for a test log. Only async-signal-safe calls between fork and exec.
    const pid_t parent = ::getpid();
    m_pid = ::fork();
    if (m_pid < 0)
        throw std::system_error(errno, std::generic_category(), "fork");
    if (m_pid == 0) {
        if (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || ::getppid() != parent)
            ::_exit(127);
        if (m_kind == Kind::Ser2net) {
            const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
            if (null < 0 || ::dup2(null, 2) < 0)
                ::_exit(127);
        }
        ::execve(argv[0], argv.data(), environ);
        ::_exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!accepts(m_port)) {
        if (std::chrono::steady_clock::now() > deadline ||
            ::waitpid(m_pid, nullptr, WNOHANG) != 0) {
            stop();
            throw std::runtime_error("the RFC 2217 server did not start: " + arguments[0]);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // The probe's connection ends at the server before the test's own one comes.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

void Rfc2217Server::stop() {
    if (m_pid <= 0)
        return;
    ::kill(m_pid, SIGTERM);
    while (::waitpid(m_pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    m_pid = -1;
}

}  // namespace port_control::testing
