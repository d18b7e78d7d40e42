#include "discovery.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "client_table.h"

int discoverySocket = -1;

namespace {

constexpr uint8_t ACKNOWLEDGEMENT = 0x42;
constexpr char LOOPBACK_TEXT[] = "127.0.0.1";

void setSocketOption(int fd, int option, const void* value, socklen_t size) {
    // Results are not examined: a smaller buffer or a missing timeout still
    // leaves a working endpoint.
    setsockopt(fd, SOL_SOCKET, option, value, size);
}

bool fillAddress(sockaddr_in* to, const char* ip, int32_t port) {
    *to = sockaddr_in{};
    to->sin_family = AF_INET;
    to->sin_port = htons(static_cast<uint16_t>(port));
    return inet_pton(AF_INET, ip, &to->sin_addr) == 1;
}

// Registers or refreshes a viewer and reports a new one; true when it is new.
// The caller acknowledges it after the lock is released: a send may wait.
bool registerAndReport(const char* ip, int32_t port, uint8_t flag) {
    std::lock_guard<std::mutex> inOrder(viewerLinesLock);
    if (registerClient(ip, port, flag) != 1) return false;
    std::fprintf(stderr, "client connected from %s:%d %s\n", ip, port, flag == CLIENT_DATA_ONLY ? "(only data)" : " ");
    return true;
}

}  // namespace

void encodeRelayHeader(uint8_t* out, uint8_t kind, uint32_t sequence) {
    out[0] = RELAY_MAGIC;
    out[1] = kind;
    out[2] = 0;
    out[3] = 0;
    out[4] = static_cast<uint8_t>(sequence);
    out[5] = static_cast<uint8_t>(sequence >> 8);
    out[6] = static_cast<uint8_t>(sequence >> 16);
    out[7] = static_cast<uint8_t>(sequence >> 24);
    out[8] = 0;
    out[9] = 0;
    out[10] = 0;
    out[11] = 0;
}

ssize_t sendToClient(const void* data, int32_t length, const char* ip, int32_t port) {
    // The destination lives on this caller's stack: the video and discovery
    // threads send on the same socket at the same time.
    sockaddr_in to;
    if (!fillAddress(&to, ip, port)) return -1;
    return sendto(discoverySocket, data, static_cast<size_t>(length), 0, reinterpret_cast<const sockaddr*>(&to),
                  sizeof to);
}

void sendToClients(const void* data, int32_t length, const VideoTarget* targets, int count) {
    // One system call for the whole walk: on loopback the kernel's entry and
    // exit cost per call is a large share of a send, and one sendto per
    // viewer pays it ten times per video datagram. Addresses stay on this
    // caller's stack, as in sendToClient.
    sockaddr_in to[MAX_CLIENTS];
    mmsghdr messages[MAX_CLIENTS];
    iovec whole{const_cast<void*>(data), static_cast<size_t>(length)};
    int ready = 0;
    for (int i = 0; i < count && ready < MAX_CLIENTS; ++i) {
        if (!fillAddress(&to[ready], targets[i].ip, targets[i].port)) continue;
        messages[ready] = mmsghdr{};
        messages[ready].msg_hdr.msg_name = &to[ready];
        messages[ready].msg_hdr.msg_namelen = sizeof to[ready];
        messages[ready].msg_hdr.msg_iov = &whole;
        messages[ready].msg_hdr.msg_iovlen = 1;
        ++ready;
    }
    // sendmmsg stops at the first datagram that fails and reports how many
    // went before it: that viewer is skipped and the walk goes on after it.
    for (int next = 0; next < ready;) {
        const int remaining = ready - next;
        const int sent = sendmmsg(discoverySocket, messages + next, static_cast<unsigned>(remaining), 0);
        next += (sent > 0 ? sent : 0) + (sent < remaining ? 1 : 0);
    }
}

void handleDiscoveryDatagram(const uint8_t* datagram, ssize_t length, const sockaddr_in& sender) {
    // A datagram shorter than the header carries no command. It is ignored
    // rather than read as a registration: the relay's own acknowledgement is
    // a lone 0x42, and two relays must never register each other by
    // reflecting acknowledgements (a forged sender address would start a
    // video flood between them).
    if (length < RELAY_HEADER_SIZE || datagram[0] != RELAY_MAGIC) return;

    char ip[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &sender.sin_addr, ip, sizeof ip);
    const int32_t port = ntohs(sender.sin_port);
    if (port == DISCOVERY_PORT && std::strcmp(ip, LOOPBACK_TEXT) == 0) return;
    // Another relay's video is no command, though its payload often begins
    // with 0 (an H.264 start code) and would read as a registration: a single
    // forged registration would then make two relays stream to each other for
    // good, each one's video refreshing the other's slot. A relay's video has
    // two marks, port 4242 and kind 1; a datagram with both is ignored.
    // Viewers register from ports of their own and send kind 0.
    if (port == DISCOVERY_PORT && datagram[1] == KIND_VIDEO) return;

    // Payload bytes the datagram does not carry read as 0, so a bare header
    // registers a full viewer. Only the command and option bytes are used.
    const ssize_t payloadLength = length - RELAY_HEADER_SIZE;
    const uint8_t command = payloadLength > 0 ? datagram[RELAY_HEADER_SIZE] : 0;
    const uint8_t option = payloadLength > 1 ? datagram[RELAY_HEADER_SIZE + 1] : 0;

    if (command == CMD_REGISTER) {
        if (registerAndReport(ip, port, option == OPT_DATA_ONLY ? CLIENT_DATA_ONLY : 0))
            sendToClient(&ACKNOWLEDGEMENT, 1, ip, port);
    } else if (command == CMD_REMOVE) {
        std::lock_guard<std::mutex> inOrder(viewerLinesLock);
        if (removeClient(ip, port) == 1) std::fprintf(stderr, "client %s:%d removed\n", ip, port);
    }
}

void* discoveryLoop(void*) {
    // Large enough for any UDP datagram; only the received bytes are read.
    uint8_t datagram[DISCOVERY_BUFFER_SIZE];
    for (;;) {
        sockaddr_in sender{};
        socklen_t senderLength = sizeof sender;
        const ssize_t length = recvfrom(discoverySocket, datagram, sizeof datagram, 0,
                                        reinterpret_cast<sockaddr*>(&sender), &senderLength);
        if (length <= 0) {
            usleep(DISCOVERY_IDLE_US);
            continue;
        }
        handleDiscoveryDatagram(datagram, length, sender);
    }
}

void initDiscovery() {
    std::fprintf(stderr, "Init device discovery\n");
    discoverySocket = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    fcntl(discoverySocket, F_SETFL, fcntl(discoverySocket, F_GETFL) & ~O_NONBLOCK);

    const int bufferSize = DISCOVERY_SOCKET_BUFFER;
    const timeval timeout{0, DISCOVERY_TIMEOUT_US};
    setSocketOption(discoverySocket, SO_RCVBUF, &bufferSize, sizeof bufferSize);
    setSocketOption(discoverySocket, SO_SNDBUF, &bufferSize, sizeof bufferSize);
    setSocketOption(discoverySocket, SO_RCVTIMEO, &timeout, sizeof timeout);
    setSocketOption(discoverySocket, SO_SNDTIMEO, &timeout, sizeof timeout);

    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(DISCOVERY_PORT);
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(discoverySocket, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        std::fprintf(stderr, "discovery bind failed\n");
        std::exit(EXIT_DISCOVERY_BIND);
    }

    pthread_t thread;
    pthread_create(&thread, nullptr, discoveryLoop, nullptr);
}
