// Video intake on 127.0.0.1:5000 and the fan-out to the viewers.
#pragma once

#include <atomic>
#include <cstdint>

constexpr uint16_t VIDEO_PORT = 5000;
constexpr int VIDEO_MAX_DATAGRAM = 65500;
constexpr int VIDEO_SOCKET_BUFFER = 600000;
constexpr int VIDEO_TIMEOUT_MS = 1000;
constexpr int EXIT_VIDEO_FAILED = 1;

extern int videoSocket;
extern uint32_t frameSequence;            // owned by the video thread
extern std::atomic<int32_t> lastVideoMs;  // video thread writes, supervisor reads
extern std::atomic<bool> videoConnected;  // set by the video thread, cleared by the supervisor

// Opens the loopback video socket and starts the video thread.
void initVideoSource();
// The video thread: receives and fans out forever; ends the process with
// status 1 on a receive error or an empty datagram.
void* videoLoop(void*);
// Sends one payload behind a relay header to every viewer that takes this kind.
void broadcastFrame(const uint8_t* payload, int32_t length, uint8_t kind);
// Reports "video disconnected" once when no datagram came for over a second.
void checkVideoPresence();
// The same check against a given clock reading (what checkVideoPresence
// passes is nowMs()).
void checkVideoPresenceAt(int32_t now);
