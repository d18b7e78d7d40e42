// The viewer table: registration, refresh, removal, the sweep's boundary
// and the copy the fan-out takes.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "client_table.h"
#include "clock.h"

namespace {

struct SweepOutput {
    std::string out;
    std::string err;
};

SweepOutput sweepAt(int32_t now) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    sweepClientsAt(now);
    std::fflush(stdout);
    SweepOutput result;
    result.out = testing::internal::GetCapturedStdout();
    result.err = testing::internal::GetCapturedStderr();
    return result;
}

void expectFree(const ClientSlot& slot) {
    const char zeros[CLIENT_IP_SIZE] = {};
    EXPECT_EQ(0, std::memcmp(slot.ip, zeros, sizeof zeros));
    EXPECT_EQ(0, slot.port);
    EXPECT_EQ(0, slot.lastSeenMs);
    EXPECT_EQ(0, slot.flags);
}

class ClientTable : public testing::Test {
protected:
    void SetUp() override { std::memset(clients, 0, sizeof clients); }
};

TEST_F(ClientTable, SweepKeepsTwoSecondsOfSilenceAndDropsOneMillisecondMore) {
    const int32_t now = 5000000;
    ASSERT_EQ(1, registerClient("192.168.1.20", 6000, 0));
    ASSERT_EQ(1, registerClient("192.168.1.21", 6001, CLIENT_DATA_ONLY));
    clients[0].lastSeenMs = now - 2000;
    clients[1].lastSeenMs = now - 2001;

    const SweepOutput first = sweepAt(now);
    EXPECT_EQ("Client 192.168.1.21:6001 lost\n", first.err);
    EXPECT_EQ("client count = 1\n", first.out);
    EXPECT_STREQ("192.168.1.20", clients[0].ip);
    expectFree(clients[1]);

    const SweepOutput second = sweepAt(now + 1);
    EXPECT_EQ("Client 192.168.1.20:6000 lost\n", second.err);
    EXPECT_EQ("client count = 0\n", second.out);
    expectFree(clients[0]);

    EXPECT_EQ("client count = 0\n", sweepAt(now + 2).out);
}

TEST_F(ClientTable, SweepMeasuresSilenceAcrossTheClockWrapAndIgnoresStepsBack) {
    ASSERT_EQ(1, registerClient("10.0.0.1", 1000, 0));
    ASSERT_EQ(1, registerClient("10.0.0.2", 1000, 0));
    clients[0].lastSeenMs = INT32_MAX - 500;   // 1501 ms before INT32_MIN + 1000
    clients[1].lastSeenMs = INT32_MIN + 9000;  // in the future: the clock stepped back

    SweepOutput kept = sweepAt(INT32_MIN + 1000);
    EXPECT_EQ("", kept.err);
    EXPECT_EQ("client count = 2\n", kept.out);

    SweepOutput dropped = sweepAt(INT32_MIN + 1600);  // now 2101 ms of silence
    EXPECT_EQ("Client 10.0.0.1:1000 lost\n", dropped.err);
    EXPECT_EQ("client count = 1\n", dropped.out);
}

TEST_F(ClientTable, RefreshKeepsOneSlotAndSwitchesDataOnlyEitherWay) {
    EXPECT_EQ(1, registerClient("10.0.0.7", 7000, CLIENT_DATA_ONLY));
    EXPECT_EQ(CLIENT_DATA_ONLY, clients[0].flags);
    clients[0].lastSeenMs = 1;

    EXPECT_EQ(0, registerClient("10.0.0.7", 7000, 0));
    EXPECT_EQ(0, clients[0].flags);
    EXPECT_NE(1, clients[0].lastSeenMs);
    EXPECT_EQ(0, registerClient("10.0.0.7", 7000, CLIENT_DATA_ONLY));
    EXPECT_EQ(CLIENT_DATA_ONLY, clients[0].flags);
    EXPECT_EQ(1, countClients());
    expectFree(clients[1]);
}

TEST_F(ClientTable, ViewerIsAddressAndPortTogether) {
    EXPECT_EQ(1, registerClient("10.0.0.7", 7000, 0));
    EXPECT_EQ(1, registerClient("10.0.0.7", 7001, 0));
    EXPECT_EQ(1, registerClient("10.0.0.70", 7000, 0));
    EXPECT_EQ(3, countClients());

    EXPECT_EQ(0, removeClient("10.0.0.7", 7002));
    EXPECT_EQ(0, removeClient("10.0.0.8", 7000));
    EXPECT_EQ(1, removeClient("10.0.0.7", 7001));
    EXPECT_EQ(0, removeClient("10.0.0.7", 7001));
    expectFree(clients[1]);
    EXPECT_STREQ("10.0.0.7", clients[0].ip);
    EXPECT_STREQ("10.0.0.70", clients[2].ip);
}

TEST_F(ClientTable, FullTableRefusesTheEleventhAndRefillsTheLowestFreeSlot) {
    char ip[CLIENT_IP_SIZE];
    for (int i = 0; i < MAX_CLIENTS; ++i) {
        std::snprintf(ip, sizeof ip, "10.0.0.%d", i);
        ASSERT_EQ(1, registerClient(ip, 5000 + i, 0));
    }
    ClientSlot before[MAX_CLIENTS];
    std::memcpy(before, clients, sizeof clients);
    EXPECT_EQ(0, registerClient("10.0.0.99", 5099, 0));
    EXPECT_EQ(0, std::memcmp(before, clients, sizeof clients));
    EXPECT_EQ(MAX_CLIENTS, countClients());

    ASSERT_EQ(1, removeClient("10.0.0.7", 5007));
    ASSERT_EQ(1, removeClient("10.0.0.3", 5003));
    EXPECT_EQ(1, registerClient("10.0.0.99", 5099, 0));
    EXPECT_STREQ("10.0.0.99", clients[3].ip);
    EXPECT_EQ(1, registerClient("10.0.0.98", 5098, 0));
    EXPECT_STREQ("10.0.0.98", clients[7].ip);
    EXPECT_EQ(5098, clients[7].port);
}

TEST_F(ClientTable, PortZeroViewerIsCountedAndSweptButSentNothing) {
    ASSERT_EQ(1, registerClient("10.0.0.5", 0, 0));
    ASSERT_EQ(1, registerClient("10.0.0.6", 6000, 0));
    EXPECT_EQ(2, countClients());

    VideoTarget targets[MAX_CLIENTS];
    ASSERT_EQ(1, collectVideoTargets(1, targets));
    EXPECT_STREQ("10.0.0.6", targets[0].ip);

    // Swept at 10.0.0.6's own last refresh, so no clock runs out for it.
    clients[0].lastSeenMs = clients[1].lastSeenMs - 3000;
    const SweepOutput swept = sweepAt(clients[1].lastSeenMs);
    EXPECT_EQ("Client 10.0.0.5:0 lost\n", swept.err);
    EXPECT_EQ("client count = 1\n", swept.out);
}

TEST_F(ClientTable, FanOutCopySkipsDataOnlyViewersOnlyForVideo) {
    ASSERT_EQ(1, registerClient("10.0.0.1", 1001, CLIENT_DATA_ONLY));
    ASSERT_EQ(1, registerClient("10.0.0.2", 1002, 0));
    ASSERT_EQ(1, registerClient("10.0.0.3", 1003, 0));
    ASSERT_EQ(1, removeClient("10.0.0.2", 1002));

    VideoTarget targets[MAX_CLIENTS];
    ASSERT_EQ(1, collectVideoTargets(1, targets));
    EXPECT_STREQ("10.0.0.3", targets[0].ip);
    EXPECT_EQ(1003, targets[0].port);

    ASSERT_EQ(2, collectVideoTargets(0, targets));
    EXPECT_STREQ("10.0.0.1", targets[0].ip);
    EXPECT_STREQ("10.0.0.3", targets[1].ip);
}

TEST(Clock, MillisecondsRoundHalvesUpAndWrapInThirtyTwoBits) {
    EXPECT_EQ(1000, millisecondsOf(1, 0));
    EXPECT_EQ(1000, millisecondsOf(1, 499999));
    EXPECT_EQ(1001, millisecondsOf(1, 500000));
    EXPECT_EQ(2000, millisecondsOf(1, 999500000));  // the fraction can reach 1000
    // 4294968 s is 4294968000 ms, which is 704 past 2^32.
    EXPECT_EQ(704, millisecondsOf(4294968, 0));
    EXPECT_EQ(INT32_MIN, millisecondsOf(2147483, 648000000));
}

}  // namespace
