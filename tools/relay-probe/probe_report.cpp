#include "probe_report.h"

#include <cstdio>

namespace {

double perSecond(uint64_t count, double seconds) { return seconds > 0 ? static_cast<double>(count) / seconds : 0; }

double megabitsPerSecond(uint64_t bytes, double seconds) { return perSecond(bytes, seconds) * 8 / 1e6; }

}  // namespace

ReportMark markOf(const SequenceStats& stats, const OutputCounts* output) {
    return ReportMark{stats.received, stats.bytes, stats.gaps, stats.reordered,
                      output != nullptr ? output->droppedDatagrams : 0};
}

void formatSecondLine(char* out, size_t size, double elapsedS, double intervalS, const SequenceStats& stats,
                      const OutputCounts* output, const ReportMark& mark) {
    int written = std::snprintf(
        out, size, "%7.1f s %9.1f datagrams/s %9.3f Mbit/s   lost %llu   reordered %llu   jitter %.3f ms   total %llu",
        elapsedS, perSecond(stats.received - mark.received, intervalS),
        megabitsPerSecond(stats.bytes - mark.bytes, intervalS), static_cast<unsigned long long>(stats.gaps - mark.gaps),
        static_cast<unsigned long long>(stats.reordered - mark.reordered), stats.jitterUs / 1000,
        static_cast<unsigned long long>(stats.received));
    // Last, so the fields before it stay where readers of the line find them.
    if (output != nullptr && written > 0 && static_cast<size_t>(written) < size) {
        std::snprintf(out + written, size - written, "   output dropped %llu",
                      static_cast<unsigned long long>(output->droppedDatagrams - mark.outputDropped));
    }
}

void formatSummary(char* out, size_t size, double elapsedS, const SequenceStats& stats, const OutputCounts* output) {
    int64_t lost = lostDatagrams(stats);
    uint64_t expected = stats.received - stats.duplicates + static_cast<uint64_t>(lost > 0 ? lost : 0);
    double lostPercent = expected > 0 ? 100.0 * static_cast<double>(lost) / static_cast<double>(expected) : 0;
    int written =
        std::snprintf(out, size,
                      "summary: received %llu datagrams, %llu bytes in %.1f s (%.1f datagrams/s, %.3f Mbit/s)\n"
                      "         lost %lld (%.3f %%), reordered %llu, duplicates %llu, jitter %.3f ms",
                      static_cast<unsigned long long>(stats.received), static_cast<unsigned long long>(stats.bytes),
                      elapsedS, perSecond(stats.received, elapsedS), megabitsPerSecond(stats.bytes, elapsedS),
                      static_cast<long long>(lost), lostPercent, static_cast<unsigned long long>(stats.reordered),
                      static_cast<unsigned long long>(stats.duplicates), stats.jitterUs / 1000);
    if (stats.started && written > 0 && static_cast<size_t>(written) < size) {
        written += std::snprintf(out + written, size - written, "\n         sequence %u to %u", stats.firstSequence,
                                 stats.nextExpected - 1);
    }
    if (output != nullptr && written > 0 && static_cast<size_t>(written) < size) {
        written += std::snprintf(out + written, size - written,
                                 "\n         output dropped %llu datagrams, %llu payload bytes (received, but not "
                                 "taken in time by the reader of --out: not network loss)",
                                 static_cast<unsigned long long>(output->droppedDatagrams),
                                 static_cast<unsigned long long>(output->droppedBytes));
    }
    if (stats.restarts > 0 && written > 0 && static_cast<size_t>(written) < size) {
        std::snprintf(out + written, size - written,
                      "\n         the relay's counter started over %llu time(s) (relay restarted?)",
                      static_cast<unsigned long long>(stats.restarts));
    }
}
