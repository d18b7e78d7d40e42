#include "sequence_stats.h"

#include <cstring>

namespace {

bool wasSeen(const SequenceStats& stats, uint32_t sequence) {
    uint32_t bit = sequence % SEQUENCE_WINDOW;
    return (stats.seen[bit / 64] >> (bit % 64)) & 1u;
}

void markSeen(SequenceStats& stats, uint32_t sequence, bool seen) {
    uint32_t bit = sequence % SEQUENCE_WINDOW;
    uint64_t mask = uint64_t{1} << (bit % 64);
    stats.seen[bit / 64] = seen ? (stats.seen[bit / 64] | mask) : (stats.seen[bit / 64] & ~mask);
}

// Forgets the window and starts counting again at this sequence number.
void startAt(SequenceStats& stats, uint32_t sequence) {
    std::memset(stats.seen, 0, sizeof stats.seen);
    stats.started = true;
    stats.firstSequence = sequence;
    stats.nextExpected = sequence + 1;
    markSeen(stats, sequence, true);
}

// The RFC 3550 smoothing (1/16) applied to the change between consecutive
// inter-arrival gaps: the relay's datagrams carry no send time.
void updateJitter(SequenceStats& stats, int64_t arrivalUs) {
    if (stats.received > 0) {
        int64_t gap = arrivalUs - stats.lastArrivalUs;
        if (stats.lastGapUs >= 0) {
            int64_t change = gap > stats.lastGapUs ? gap - stats.lastGapUs : stats.lastGapUs - gap;
            stats.jitterUs += (static_cast<double>(change) - stats.jitterUs) / 16.0;
        }
        stats.lastGapUs = gap;
    }
    stats.lastArrivalUs = arrivalUs;
}

}  // namespace

void resetSequenceStats(SequenceStats& stats) {
    std::memset(&stats, 0, sizeof stats);
    stats.lastGapUs = -1;
}

void countDatagram(SequenceStats& stats, uint32_t sequence, uint32_t size, int64_t arrivalUs) {
    updateJitter(stats, arrivalUs);
    stats.received++;
    stats.bytes += size;
    if (!stats.started) {
        startAt(stats, sequence);
        return;
    }
    // Signed distance from the expected number, so the 32-bit wrap is just a step.
    int32_t ahead = static_cast<int32_t>(sequence - stats.nextExpected);
    bool mayRestart = stats.mayRestart;
    stats.mayRestart = false;
    if (ahead >= 0) {
        uint32_t skipped = static_cast<uint32_t>(ahead);
        stats.gaps += skipped;
        if (skipped >= SEQUENCE_WINDOW) {
            std::memset(stats.seen, 0, sizeof stats.seen);
        } else {
            for (uint32_t i = 0; i < skipped; i++) markSeen(stats, stats.nextExpected + i, false);
        }
        markSeen(stats, sequence, true);
        stats.nextExpected = sequence + 1;
        return;
    }
    if (mayRestart || -static_cast<int64_t>(ahead) > SEQUENCE_WINDOW) {
        stats.restarts++;
        startAt(stats, sequence);
        return;
    }
    if (wasSeen(stats, sequence)) {
        stats.duplicates++;
        return;
    }
    markSeen(stats, sequence, true);
    stats.reordered++;
    // Only numbers at or after the first one counted were ever counted as skipped.
    if (static_cast<int32_t>(sequence - stats.firstSequence) > 0) stats.late++;
}

void noteNewAcknowledgement(SequenceStats& stats) { stats.mayRestart = stats.started; }

int64_t lostDatagrams(const SequenceStats& stats) {
    return static_cast<int64_t>(stats.gaps) - static_cast<int64_t>(stats.late);
}
