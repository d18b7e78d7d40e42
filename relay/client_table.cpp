#include "client_table.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "clock.h"

ClientSlot clients[MAX_CLIENTS];
std::mutex viewerLinesLock;

namespace {

// Guards every read and write of clients. It is held only for the short
// linear passes over the ten slots, never across a send or a console write,
// so a viewer whose socket is slow or a blocked console cannot stall the
// other threads.
std::mutex tableLock;

bool matches(const ClientSlot& slot, const char* ip, int32_t port) {
    return slot.ip[0] != '\0' && slot.port == port && std::strcmp(slot.ip, ip) == 0;
}

void freeSlot(ClientSlot& slot) {
    std::memset(slot.ip, 0, sizeof slot.ip);
    slot.port = 0;
    slot.lastSeenMs = 0;
    slot.flags = 0;
}

int countOccupiedLocked() {
    int count = 0;
    for (const ClientSlot& slot : clients)
        if (slot.ip[0] != '\0') ++count;
    return count;
}

// Frees the slots silent for more than CLIENT_TIMEOUT_MS at `now`, copying
// them into lost; returns how many, and the number left in *remaining.
int freeSilentSlots(int32_t now, VideoTarget (&lost)[MAX_CLIENTS], int* remaining) {
    int lostCount = 0;
    std::lock_guard<std::mutex> hold(tableLock);
    for (ClientSlot& slot : clients) {
        if (slot.ip[0] == '\0') continue;
        // Signed difference with wrap-around: a clock step backwards
        // makes it negative and drops nobody.
        const int32_t silentMs =
            static_cast<int32_t>(static_cast<uint32_t>(now) - static_cast<uint32_t>(slot.lastSeenMs));
        if (silentMs > CLIENT_TIMEOUT_MS) {
            std::memcpy(lost[lostCount].ip, slot.ip, sizeof slot.ip);
            lost[lostCount].port = slot.port;
            ++lostCount;
            freeSlot(slot);
        }
    }
    *remaining = countOccupiedLocked();
    return lostCount;
}

}  // namespace

int registerClient(const char* ip, int32_t port, uint8_t flag) {
    const int32_t now = nowMs();
    std::lock_guard<std::mutex> hold(tableLock);
    for (ClientSlot& slot : clients) {
        if (matches(slot, ip, port)) {
            slot.lastSeenMs = now;
            slot.flags = flag;
            return 0;
        }
    }
    for (ClientSlot& slot : clients) {
        if (slot.ip[0] == '\0') {
            // The text comes from the address-to-text conversion (at most 15
            // characters); cut anything longer so the slot stays terminated.
            std::strncpy(slot.ip, ip, sizeof slot.ip - 1);
            slot.ip[sizeof slot.ip - 1] = '\0';
            slot.port = port;
            slot.lastSeenMs = now;
            slot.flags = flag;
            return 1;
        }
    }
    return 0;
}

int removeClient(const char* ip, int32_t port) {
    std::lock_guard<std::mutex> hold(tableLock);
    for (ClientSlot& slot : clients) {
        if (matches(slot, ip, port)) {
            freeSlot(slot);
            return 1;
        }
    }
    return 0;
}

void sweepClientsAt(int32_t now) {
    VideoTarget lost[MAX_CLIENTS];
    int remaining;
    {
        // A viewer that comes back just as it is swept is reported lost
        // before it is reported connected again.
        std::lock_guard<std::mutex> inOrder(viewerLinesLock);
        const int lostCount = freeSilentSlots(now, lost, &remaining);
        for (int i = 0; i < lostCount; ++i) std::fprintf(stderr, "Client %s:%d lost\n", lost[i].ip, lost[i].port);
    }
    std::printf("client count = %d\n", remaining);
}

void sweepClients() { sweepClientsAt(nowMs()); }

int countClients() {
    std::lock_guard<std::mutex> hold(tableLock);
    return countOccupiedLocked();
}

int collectVideoTargets(uint8_t kind, VideoTarget (&targets)[MAX_CLIENTS]) {
    int count = 0;
    std::lock_guard<std::mutex> hold(tableLock);
    for (const ClientSlot& slot : clients) {
        if (slot.port == 0) continue;
        if (kind != 0 && (slot.flags & CLIENT_DATA_ONLY) != 0) continue;
        std::memcpy(targets[count].ip, slot.ip, sizeof slot.ip);
        targets[count].port = slot.port;
        ++count;
    }
    return count;
}
