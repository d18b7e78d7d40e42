// The first bytes of every datagram the load program sends as the encoder:
// a marker, whether it is a warm-up datagram, the load's own sequence number
// and the send time (CLOCK_REALTIME, ns). The rest of the payload is filler.
#pragma once

#include <cstdint>
#include <cstring>

constexpr int LOAD_PAYLOAD_MIN = 24;
constexpr uint8_t LOAD_MARKER[4] = {'L', 'O', 'A', 'D'};

struct LoadStamp {
    uint64_t sequence;
    int64_t sentNs;
    bool warmUp;
};

inline void writeLoadStamp(uint8_t* payload, const LoadStamp& stamp) {
    std::memcpy(payload, LOAD_MARKER, sizeof LOAD_MARKER);
    payload[4] = stamp.warmUp ? 1 : 0;
    std::memcpy(payload + 8, &stamp.sequence, sizeof stamp.sequence);
    std::memcpy(payload + 16, &stamp.sentNs, sizeof stamp.sentNs);
}

inline bool readLoadStamp(const uint8_t* payload, LoadStamp* stamp) {
    if (std::memcmp(payload, LOAD_MARKER, sizeof LOAD_MARKER) != 0) return false;
    stamp->warmUp = payload[4] == 1;
    std::memcpy(&stamp->sequence, payload + 8, sizeof stamp->sequence);
    std::memcpy(&stamp->sentNs, payload + 16, sizeof stamp->sentNs);
    return true;
}
