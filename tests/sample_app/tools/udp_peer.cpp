// A raw UDP peer on 127.0.0.1 for the shell checks of the sample program.
//
//   sample_app_udp_peer free-port           prints a UDP port that is free right now
//   sample_app_udp_peer receive <seconds>   binds a free port, prints it on the first line,
//                                           then prints the first datagram that arrives as
//                                           lower-case hex on the second line
//
// Exit status 0 on success, 1 on a system failure or when nothing arrived in time, 2 for
// a wrong command line.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int boundSocket(unsigned short* port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        return -1;
    }
    *port = ntohs(address.sin_port);
    return fd;
}

int freePort() {
    unsigned short port = 0;
    const int fd = boundSocket(&port);
    if (fd < 0) {
        std::perror("udp_peer");
        return 1;
    }
    ::close(fd);
    std::printf("%u\n", port);
    return 0;
}

int receiveOne(int timeoutSeconds) {
    unsigned short port = 0;
    const int fd = boundSocket(&port);
    if (fd < 0) {
        std::perror("udp_peer");
        return 1;
    }
    std::printf("%u\n", port);
    std::fflush(stdout);
    pollfd waiting = {fd, POLLIN, 0};
    if (::poll(&waiting, 1, timeoutSeconds * 1000) != 1) {
        std::fprintf(stderr, "udp_peer: nothing arrived within %d s\n", timeoutSeconds);
        return 1;
    }
    unsigned char datagram[65536];
    const ssize_t size = ::recv(fd, datagram, sizeof datagram, 0);
    if (size < 0) {
        std::perror("udp_peer");
        return 1;
    }
    for (ssize_t i = 0; i < size; ++i)
        std::printf("%02x", datagram[i]);
    std::printf("\n");
    ::close(fd);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "free-port") == 0)
        return freePort();
    if (argc == 3 && std::strcmp(argv[1], "receive") == 0)
        return receiveOne(std::atoi(argv[2]));
    std::fprintf(stderr, "usage: %s free-port | receive <seconds>\n", argv[0]);
    return 2;
}
