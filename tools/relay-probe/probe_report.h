// The probe's console lines: one per second and the summary at the end.
#pragma once

#include <cstddef>
#include <cstdint>

#include "probe_output.h"
#include "sequence_stats.h"

// The counters at the previous report, so a line shows that second alone.
struct ReportMark {
    uint64_t received;
    uint64_t bytes;
    uint64_t gaps;
    uint64_t reordered;
    uint64_t outputDropped;
};

// Remembers the counters as they are now; output is null without --out.
ReportMark markOf(const SequenceStats& stats, const OutputCounts* output);
// The line for the interval since mark: rates, numbers skipped (lost), reordered, jitter,
// the datagrams received so far and, with --out, those the reader did not take in time.
void formatSecondLine(char* out, size_t size, double elapsedS, double intervalS, const SequenceStats& stats,
                      const OutputCounts* output, const ReportMark& mark);
// The summary over the whole run.
void formatSummary(char* out, size_t size, double elapsedS, const SequenceStats& stats, const OutputCounts* output);
