// Accounting of the relay's sequence numbers as one viewer sees them:
// received, lost, reordered and duplicated datagrams, bytes, and the
// inter-arrival jitter. Fixed-size state, no allocation per datagram.
#pragma once

#include <cstdint>

// How many recent sequence numbers are remembered to tell a late datagram
// (it fills a gap counted as lost) from a duplicate.
constexpr uint32_t SEQUENCE_WINDOW = 4096;

struct SequenceStats {
    bool started;
    uint32_t firstSequence;  // where counting began (or began again)
    uint32_t nextExpected;   // one past the highest sequence seen
    uint64_t received;       // datagrams taken, duplicates included
    uint64_t bytes;          // whole datagrams as received, header included
    uint64_t gaps;           // sequence numbers skipped over, counted when skipped
    uint64_t late;           // skipped numbers that arrived afterwards
    uint64_t reordered;      // datagrams behind a higher number: the late ones, and any
                             // from before the first one counted
    uint64_t duplicates;
    uint64_t restarts;  // the counter started over (relay restarted)
    bool mayRestart;    // acknowledged anew: a restarted relay counts from 0 again
    int64_t lastArrivalUs;
    int64_t lastGapUs;  // previous inter-arrival gap, -1 before the second datagram
    double jitterUs;    // smoothed change between consecutive inter-arrival gaps
    uint64_t seen[SEQUENCE_WINDOW / 64];
};

// Clears everything; the next datagram starts the count.
void resetSequenceStats(SequenceStats& stats);
// Accounts one datagram with its relay sequence number, size and arrival time.
void countDatagram(SequenceStats& stats, uint32_t sequence, uint32_t size, int64_t arrivalUs);
// The relay acknowledged this viewer again, as after a restart: a next number
// behind the expected one starts the count again instead of counting as late.
void noteNewAcknowledgement(SequenceStats& stats);
// Datagrams missing now: skipped numbers that have not arrived late.
int64_t lostDatagrams(const SequenceStats& stats);
