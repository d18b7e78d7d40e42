// The table of registered viewers: ten fixed slots, shared by the discovery
// thread (register, remove), the supervisor (sweep) and the video thread
// (fan-out walk). Every operation runs under one mutex.
#pragma once

#include <cstdint>
#include <mutex>

constexpr int MAX_CLIENTS = 10;
constexpr int CLIENT_TIMEOUT_MS = 2000;
constexpr uint8_t CLIENT_DATA_ONLY = 0x01;
constexpr int CLIENT_IP_SIZE = 20;

struct ClientSlot {
    char ip[CLIENT_IP_SIZE];  // dotted quad; empty means the slot is free
    int32_t port;             // host byte order; 0 when free
    int32_t lastSeenMs;       // nowMs() at the last registration or refresh
    uint8_t flags;            // CLIENT_DATA_ONLY or 0
};

// One viewer the fan-out sends to, copied out of the table under its lock.
struct VideoTarget {
    char ip[CLIENT_IP_SIZE];
    int32_t port;
};

extern ClientSlot clients[MAX_CLIENTS];
// Held by the discovery thread and the supervisor across a change of the
// table and the console line that reports it, so the lines keep the order of
// the changes. The video thread never takes it: no fan-out waits on a console.
extern std::mutex viewerLinesLock;

// 1 when the viewer took a new slot; 0 for a refresh or a full table.
int registerClient(const char* ip, int32_t port, uint8_t flag);
// 1 when a matching slot was freed; 0 otherwise.
int removeClient(const char* ip, int32_t port);
// Drops viewers silent for more than CLIENT_TIMEOUT_MS and prints the count.
void sweepClients();
// The sweep against a given clock reading.
void sweepClientsAt(int32_t now);
// Number of occupied slots.
int countClients();
// Copies, in slot order, the viewers that a datagram of this kind goes to
// (non-zero port; data-only viewers skipped unless kind is 0); returns how many.
int collectVideoTargets(uint8_t kind, VideoTarget (&targets)[MAX_CLIENTS]);
