#include "probe_net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "probe_wire.h"

namespace {

// Large enough to ride out a burst of big video datagrams between two polls.
constexpr int PROBE_RECEIVE_BUFFER = 8 * 1024 * 1024;

int64_t clockUs(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

}  // namespace

int64_t monotonicUs() { return clockUs(CLOCK_MONOTONIC); }
int64_t wallClockUs() { return clockUs(CLOCK_REALTIME); }

bool resolveRelay(const char* host, uint16_t port, sockaddr_in& relay, char* error, size_t errorSize) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    int result = getaddrinfo(host, nullptr, &hints, &found);
    if (result != 0 || found == nullptr) {
        std::snprintf(error, errorSize, "cannot find the relay \"%s\": %s", host, gai_strerror(result));
        return false;
    }
    std::memcpy(&relay, found->ai_addr, sizeof relay);
    relay.sin_port = htons(port);
    freeaddrinfo(found);
    return true;
}

int openProbeSocket(uint16_t localPort, char* error, size_t errorSize) {
    int socketFd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, IPPROTO_UDP);
    if (socketFd < 0) {
        std::snprintf(error, errorSize, "cannot open a UDP socket: %s", std::strerror(errno));
        return -1;
    }
    int size = PROBE_RECEIVE_BUFFER;
    setsockopt(socketFd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);  // the system may cap it; fine
    int on = 1;
    setsockopt(socketFd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(localPort);
    if (bind(socketFd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        std::snprintf(error, errorSize, "cannot use local UDP port %u: %s", localPort, std::strerror(errno));
        close(socketFd);
        return -1;
    }
    return socketFd;
}

void sendControl(int socketFd, const sockaddr_in& relay, uint8_t command, uint8_t option) {
    uint8_t datagram[CONTROL_SIZE];
    int length = buildControl(datagram, command, option);
    // A lost registration is repeated 500 ms later; nothing to do on failure.
    sendto(socketFd, datagram, length, 0, reinterpret_cast<const sockaddr*>(&relay), sizeof relay);
}

ssize_t receiveDatagram(int socketFd, uint8_t* buffer, size_t size, sockaddr_in& sender, int64_t& arrivalUs) {
    iovec part{buffer, size};
    alignas(cmsghdr) uint8_t control[CMSG_SPACE(sizeof(timespec))];
    msghdr message{};
    message.msg_name = &sender;
    message.msg_namelen = sizeof sender;
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t length = recvmsg(socketFd, &message, 0);
    if (length < 0) return length;
    arrivalUs = 0;
    for (cmsghdr* item = CMSG_FIRSTHDR(&message); item != nullptr; item = CMSG_NXTHDR(&message, item)) {
        if (item->cmsg_level == SOL_SOCKET && item->cmsg_type == SCM_TIMESTAMPNS) {
            timespec stamp;
            std::memcpy(&stamp, CMSG_DATA(item), sizeof stamp);
            arrivalUs = static_cast<int64_t>(stamp.tv_sec) * 1000000 + stamp.tv_nsec / 1000;
        }
    }
    if (arrivalUs == 0) arrivalUs = wallClockUs();
    return length;
}

uint16_t localPortOf(int socketFd) {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    getsockname(socketFd, reinterpret_cast<sockaddr*>(&local), &length);
    return ntohs(local.sin_port);
}
