#include "video.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "client_table.h"
#include "clock.h"
#include "discovery.h"

int videoSocket = -1;
uint32_t frameSequence = 0;
std::atomic<int32_t> lastVideoMs{0};
std::atomic<bool> videoConnected{false};

namespace {

constexpr char VIDEO_ADDRESS[] = "127.0.0.1";

uint8_t videoReceiveBuffer[VIDEO_MAX_DATAGRAM];

}  // namespace

void broadcastFrame(const uint8_t* payload, int32_t length, uint8_t kind) {
    uint8_t datagram[RELAY_HEADER_SIZE + VIDEO_MAX_DATAGRAM];
    if (length < 0 || length > VIDEO_MAX_DATAGRAM) return;
    encodeRelayHeader(datagram, kind, frameSequence);
    std::memcpy(datagram + RELAY_HEADER_SIZE, payload, static_cast<size_t>(length));
    ++frameSequence;

    // The sends go to a copy of the viewers taken under the table's lock,
    // not while holding it: a send may wait up to the socket's 100 ms send
    // timeout, and registrations and the sweep must not wait behind it.
    VideoTarget targets[MAX_CLIENTS];
    const int count = collectVideoTargets(kind, targets);
    sendToClients(datagram, length + RELAY_HEADER_SIZE, targets, count);
}

void* videoLoop(void*) {
    for (;;) {
        const ssize_t length = recv(videoSocket, videoReceiveBuffer, sizeof videoReceiveBuffer, 0);
        // The encoder ends the stream with an empty datagram; a supervisor
        // restarts the relay on status 1.
        if (length <= 0) std::exit(EXIT_VIDEO_FAILED);
        lastVideoMs.store(nowMs(), std::memory_order_relaxed);
        if (!videoConnected.load(std::memory_order_relaxed)) {
            videoConnected.store(true, std::memory_order_relaxed);
            std::fprintf(stderr, "video connected\n");
        }
        broadcastFrame(videoReceiveBuffer, static_cast<int32_t>(length), KIND_VIDEO);
    }
}

void initVideoSource() {
    std::fprintf(stderr, "Init video source\n");
    // None of these results is examined: with the port taken the relay runs
    // on without video.
    videoSocket = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    fcntl(videoSocket, F_SETFL, fcntl(videoSocket, F_GETFL) & ~O_NONBLOCK);
    const int bufferSize = VIDEO_SOCKET_BUFFER;
    setsockopt(videoSocket, SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof bufferSize);
    setsockopt(videoSocket, SOL_SOCKET, SO_SNDBUF, &bufferSize, sizeof bufferSize);

    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(VIDEO_PORT);
    inet_pton(AF_INET, VIDEO_ADDRESS, &local.sin_addr);
    bind(videoSocket, reinterpret_cast<const sockaddr*>(&local), sizeof local);

    lastVideoMs.store(0, std::memory_order_relaxed);
    pthread_t thread;
    pthread_create(&thread, nullptr, videoLoop, nullptr);
}

void checkVideoPresence() { checkVideoPresenceAt(nowMs()); }

void checkVideoPresenceAt(int32_t now) {
    const int32_t silentMs = static_cast<int32_t>(static_cast<uint32_t>(now) -
                                                  static_cast<uint32_t>(lastVideoMs.load(std::memory_order_relaxed)));
    if (silentMs > VIDEO_TIMEOUT_MS && videoConnected.load(std::memory_order_relaxed)) {
        videoConnected.store(false, std::memory_order_relaxed);
        std::fprintf(stderr, "video disconnected\n");
    }
}
