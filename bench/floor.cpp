// The floor for the relay benchmark: the least any program can do to fan one
// loopback datagram out to the viewers. One socket on 127.0.0.1:5000, one
// thread, no table and no locks: receive, write a 12-byte header in front,
// one sendto per viewer from the same socket.
//
// Usage: bench-floor [first-viewer-port [viewer-count]]  (default 7001 10)

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr uint16_t INPUT_PORT = 5000;
constexpr int HEADER_SIZE = 12;
constexpr int MAX_PAYLOAD = 65500;
constexpr int MAX_VIEWERS = 10;
constexpr int SOCKET_BUFFER = 600000;  // as the relay's video socket

uint8_t datagram[HEADER_SIZE + MAX_PAYLOAD];
sockaddr_in viewers[MAX_VIEWERS];

void writeHeader(uint32_t sequence) {
    datagram[0] = 0x42;
    datagram[1] = 1;
    datagram[4] = static_cast<uint8_t>(sequence);
    datagram[5] = static_cast<uint8_t>(sequence >> 8);
    datagram[6] = static_cast<uint8_t>(sequence >> 16);
    datagram[7] = static_cast<uint8_t>(sequence >> 24);
}

}  // namespace

int main(int argc, char** argv) {
    const int firstPort = argc > 1 ? std::atoi(argv[1]) : 7001;
    int viewerCount = argc > 2 ? std::atoi(argv[2]) : MAX_VIEWERS;
    if (viewerCount < 0 || viewerCount > MAX_VIEWERS) viewerCount = MAX_VIEWERS;
    for (int i = 0; i < viewerCount; ++i) {
        viewers[i].sin_family = AF_INET;
        viewers[i].sin_port = htons(static_cast<uint16_t>(firstPort + i));
        viewers[i].sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }

    const int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &SOCKET_BUFFER, sizeof SOCKET_BUFFER);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &SOCKET_BUFFER, sizeof SOCKET_BUFFER);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(INPUT_PORT);
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        std::perror("bench-floor: bind 127.0.0.1:5000");
        return 1;
    }

    for (uint32_t sequence = 0;; ++sequence) {
        const ssize_t length = recv(fd, datagram + HEADER_SIZE, MAX_PAYLOAD, 0);
        if (length <= 0) return 1;
        writeHeader(sequence);
        for (int i = 0; i < viewerCount; ++i)
            sendto(fd, datagram, static_cast<size_t>(length) + HEADER_SIZE, 0,
                   reinterpret_cast<const sockaddr*>(&viewers[i]), sizeof viewers[i]);
    }
}
