// The probe's accounting of the relay's sequence numbers and its lines.
#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>

#include "probe_report.h"
#include "probe_wire.h"
#include "sequence_stats.h"

namespace {

// Feeds the numbers in order, one millisecond apart, 100 bytes each.
SequenceStats countAll(std::initializer_list<uint32_t> sequences) {
    SequenceStats stats;
    resetSequenceStats(stats);
    int64_t t = 1000000;
    for (uint32_t s : sequences) countDatagram(stats, s, 100, t += 1000);
    return stats;
}

TEST(SequenceStats, GapsAreLostUntilTheirDatagramsArriveLate) {
    SequenceStats inOrder = countAll({7, 8, 9, 10});
    EXPECT_EQ(inOrder.received, 4u);
    EXPECT_EQ(lostDatagrams(inOrder), 0);
    EXPECT_EQ(inOrder.reordered, 0u);

    SequenceStats gap = countAll({0, 1, 4, 5});
    EXPECT_EQ(lostDatagrams(gap), 2);
    EXPECT_EQ(gap.reordered, 0u);

    SequenceStats late = countAll({0, 1, 4, 2, 5});
    EXPECT_EQ(lostDatagrams(late), 1) << "2 came late, 3 never";
    EXPECT_EQ(late.reordered, 1u);
    EXPECT_EQ(late.duplicates, 0u);
}

TEST(SequenceStats, DuplicatesAreNeitherLostNorReordered) {
    SequenceStats stats = countAll({0, 1, 1, 3, 2, 2, 3});
    EXPECT_EQ(stats.received, 7u);
    EXPECT_EQ(stats.duplicates, 3u);
    EXPECT_EQ(stats.reordered, 1u);
    EXPECT_EQ(lostDatagrams(stats), 0);
}

TEST(SequenceStats, TheCounterWrapsWithoutLossOrReordering) {
    SequenceStats stats = countAll({0xFFFFFFFEu, 0xFFFFFFFFu, 0, 2, 1});
    EXPECT_EQ(lostDatagrams(stats), 0);
    EXPECT_EQ(stats.reordered, 1u);
    EXPECT_EQ(stats.restarts, 0u);
    EXPECT_EQ(stats.nextExpected, 3u);
}

TEST(SequenceStats, DatagramsFromBeforeTheFirstOneCountedDoNotMakeLossNegative) {
    SequenceStats stats = countAll({100, 101, 99, 98, 102});
    EXPECT_EQ(lostDatagrams(stats), 0);
    EXPECT_EQ(stats.reordered, 2u);
}

TEST(SequenceStats, AJumpBackBeyondTheWindowStartsTheCountAgain) {
    // A restarted relay numbers from 0 again.
    SequenceStats stats = countAll({50000, 50001, 0, 1, 3});
    EXPECT_EQ(stats.restarts, 1u);
    EXPECT_EQ(stats.firstSequence, 0u);
    EXPECT_EQ(lostDatagrams(stats), 1);
    EXPECT_EQ(stats.reordered, 0u);
}

TEST(SequenceStats, AfterANewAcknowledgementANumberBehindStartsTheCountAgain) {
    // A relay restarted after a short run: its counter is back near 0, within the window.
    SequenceStats restarted = countAll({300, 301, 302});
    noteNewAcknowledgement(restarted);
    countDatagram(restarted, 5, 100, 2000000);
    countDatagram(restarted, 6, 100, 2001000);
    EXPECT_EQ(restarted.restarts, 1u);
    EXPECT_EQ(restarted.reordered, 0u);
    EXPECT_EQ(lostDatagrams(restarted), 0);

    // The same relay had only dropped the viewer for a while: what it missed is lost.
    SequenceStats dropped = countAll({300, 301, 302});
    noteNewAcknowledgement(dropped);
    countDatagram(dropped, 400, 100, 2000000);
    countDatagram(dropped, 399, 100, 2001000);
    EXPECT_EQ(dropped.restarts, 0u);
    EXPECT_EQ(lostDatagrams(dropped), 96);
    EXPECT_EQ(dropped.reordered, 1u) << "only the first datagram after the acknowledgement may restart the count";
}

TEST(SequenceStats, ALongGapForgetsTheWindowButStillTellsLateFromDuplicate) {
    SequenceStats stats = countAll({0, 1, 10000, 9999, 9999, 10001});
    EXPECT_EQ(stats.gaps, 9998u);
    EXPECT_EQ(stats.late, 1u);
    EXPECT_EQ(stats.duplicates, 1u);
    EXPECT_EQ(lostDatagrams(stats), 9997);
}

TEST(SequenceStats, JitterIsZeroForEvenArrivalsAndGrowsWithUnevenOnes) {
    SequenceStats even;
    resetSequenceStats(even);
    for (uint32_t i = 0; i < 100; i++) countDatagram(even, i, 100, 1000000 + i * 2000);
    EXPECT_DOUBLE_EQ(even.jitterUs, 0.0);

    // Gaps alternating 1 ms and 3 ms change by 2 ms each time: the smoothed value approaches 2 ms.
    SequenceStats uneven;
    resetSequenceStats(uneven);
    int64_t t = 1000000;
    for (uint32_t i = 0; i < 400; i++) countDatagram(uneven, i, 100, t += (i % 2 == 0 ? 1000 : 3000));
    EXPECT_NEAR(uneven.jitterUs, 2000.0, 1.0);
}

TEST(ProbeWire, ControlDatagramsAndTheSequenceFieldAreLittleEndianBytes) {
    uint8_t control[CONTROL_SIZE];
    ASSERT_EQ(buildControl(control, COMMAND_REGISTER, OPTION_DATA_ONLY), 14);
    const uint8_t expected[14] = {0x42, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    EXPECT_EQ(std::memcmp(control, expected, sizeof expected), 0);

    const uint8_t stream[13] = {0x42, 1, 0, 0, 0x04, 0x03, 0x02, 0x01, 0, 0, 0, 0, 0xAA};
    uint32_t sequence = 0;
    EXPECT_EQ(classifyDatagram(stream, sizeof stream, &sequence), DATAGRAM_STREAM);
    EXPECT_EQ(sequence, 0x01020304u);

    const uint8_t ack[1] = {0x42};
    EXPECT_EQ(classifyDatagram(ack, 1, &sequence), DATAGRAM_ACK);
    const uint8_t wrongMagic[12] = {0x43};
    EXPECT_EQ(classifyDatagram(wrongMagic, sizeof wrongMagic, &sequence), DATAGRAM_OTHER);
    EXPECT_EQ(classifyDatagram(stream, 11, &sequence), DATAGRAM_OTHER) << "shorter than a header";
}

TEST(ProbeReport, ALineShowsOnlyItsOwnSecondAndTheSummaryNetLoss) {
    SequenceStats stats;
    resetSequenceStats(stats);
    OutputCounts output{2, 2476};  // dropped for the reader of --out before the mark
    for (uint32_t i = 0; i < 10; i++) countDatagram(stats, i, 1250, 1000000 + i * 1000);
    ReportMark mark = markOf(stats, &output);
    // Next second: 500 datagrams of 1250 bytes with 2 skipped numbers = 5 Mbit/s, 3 more dropped for the reader.
    for (uint32_t i = 0; i < 500; i++) countDatagram(stats, i < 100 ? 10 + i : 12 + i, 1250, 2000000 + i * 2000);
    output = OutputCounts{5, 6190};
    char line[256];
    formatSecondLine(line, sizeof line, 2.0, 1.0, stats, &output, mark);
    EXPECT_NE(std::strstr(line, "500.0 datagrams/s"), nullptr) << line;
    EXPECT_NE(std::strstr(line, "5.000 Mbit/s"), nullptr) << line;
    EXPECT_NE(std::strstr(line, "lost 2 "), nullptr) << line;
    EXPECT_NE(std::strstr(line, "total 510   output dropped 3"), nullptr) << line;
    formatSecondLine(line, sizeof line, 2.0, 1.0, stats, nullptr, mark);
    EXPECT_EQ(std::strstr(line, "dropped"), nullptr) << "without --out: " << line;

    countDatagram(stats, 110, 1250, 3000000);  // one of the two arrives late
    char summary[768];
    formatSummary(summary, sizeof summary, 3.0, stats, &output);
    EXPECT_NE(std::strstr(summary, "received 511 datagrams"), nullptr) << summary;
    EXPECT_NE(std::strstr(summary, "lost 1 "), nullptr) << summary;
    EXPECT_NE(std::strstr(summary, "reordered 1,"), nullptr) << summary;
    EXPECT_NE(std::strstr(summary, "sequence 0 to 511"), nullptr) << summary;
    EXPECT_NE(std::strstr(summary, "output dropped 5 datagrams, 6190 payload bytes"), nullptr) << summary;
}

}  // namespace
