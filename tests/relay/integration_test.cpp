// The real stream-relay binary, each case in a network namespace of its
// own, spoken to over loopback UDP as an encoder and viewers would.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "relay_harness.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint16_t DISCOVERY = 4242;
constexpr uint16_t VIDEO = 5000;
// Deadlines leave room for a loaded machine and a relay under qemu-user.
constexpr int ARRIVES_MS = 30000;
constexpr int ABSENT_MS = 300;
// A silent viewer goes after 2 s, noticed on a 3 s tick; video silence is
// noticed likewise.
constexpr int SUPERVISOR_NOTICES_MS = 30000;
const std::string BANNER = "\033[1;37mTessivar v.0.2.3\033[0m\n";

std::string portText(uint16_t port) { return std::to_string(port); }

class RelayProcess : public testing::Test {
protected:
    void SetUp() override {
        std::string why;
        if (!enterFreshNetworkNamespace(&why)) GTEST_SKIP() << "needs a network namespace: " << why;
        encoder = socket(AF_INET, SOCK_DGRAM, 0);
    }
    void TearDown() override {
        stopRelay(relay);
        if (encoder >= 0) close(encoder);
    }
    // Starts the relay and waits until it listens for viewers.
    void start() {
        relay = startRelay();
        ASSERT_GT(relay.pid, 0);
        ASSERT_TRUE(waitUntilListening(relay)) << relay.err;
    }
    // Registers a viewer and waits for its acknowledgement.
    int registerViewer(uint16_t* port, uint8_t option = 0) {
        const int fd = openRegisteredViewer(port, option);
        EXPECT_GE(fd, 0) << "no acknowledgement";
        return fd;
    }
    // Ends the relay the way the encoder does, returning the exit status.
    int endWithEmptyDatagram() {
        sendTo(encoder, VIDEO, {});
        return waitForExit(relay, ARRIVES_MS);
    }

    RelayRun relay;
    int encoder = -1;
};

TEST_F(RelayProcess, BannerThenStartupOrderAndAnEmptyDatagramEndsWithStatusOne) {
    start();
    EXPECT_EQ(1, endWithEmptyDatagram()) << relay.err;
    EXPECT_EQ(0u, relay.err.find("Init video source\nInit device discovery\n")) << relay.err;
    // Standard output is written out at the exit, the banner first. (The
    // count printed on start-up may not be there yet: the relay can take the
    // empty datagram before its main thread prints it; see the video case.)
    EXPECT_EQ(0u, relay.out.rfind(BANNER, 0)) << relay.out;
}

TEST_F(RelayProcess, TakenDiscoveryPortEndsWithStatusOneHundred) {
    const int holder = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(DISCOVERY);
    ASSERT_EQ(0, bind(holder, reinterpret_cast<const sockaddr*>(&any), sizeof any));
    relay = startRelay();
    EXPECT_EQ(100, waitForExit(relay, ARRIVES_MS));
    EXPECT_EQ("Init video source\nInit device discovery\ndiscovery bind failed\n", relay.err);
    EXPECT_EQ(BANNER, relay.out);
    close(holder);
}

TEST_F(RelayProcess, ViewersGetNumberedVideoFromPort4242AndDataOnlyViewersNone) {
    start();
    uint16_t fullPort = 0, secondPort = 0, dataPort = 0;
    const int full = registerViewer(&fullPort);
    const int second = registerViewer(&secondPort);
    const int dataOnly = registerViewer(&dataPort, 1);
    EXPECT_TRUE(
        waitForStderr(relay, "client connected from 127.0.0.1:" + portText(dataPort) + " (only data)\n", ARRIVES_MS));
    EXPECT_NE(std::string::npos, relay.err.find("client connected from 127.0.0.1:" + portText(fullPort) + "  \n"));

    // A keep-alive is not acknowledged again.
    sendTo(full, DISCOVERY, controlDatagram({0}));
    const Bytes payloads[] = {{0x00}, {1, 2, 3, 4, 5}, Bytes(1400, 0xA5), Bytes(65495, 0x5A)};
    for (const Bytes& payload : payloads) sendTo(encoder, VIDEO, payload);

    for (int fd : {full, second}) {
        uint32_t sequence = 0;
        for (const Bytes& payload : payloads) {
            Bytes got;
            sockaddr_in from{};
            ASSERT_TRUE(receiveWithin(fd, &got, ARRIVES_MS, &from)) << "datagram " << sequence;
            EXPECT_EQ(DISCOVERY, ntohs(from.sin_port));
            Bytes expected(12 + payload.size(), 0);
            const uint8_t header[] = {0x42, 1, 0, 0, static_cast<uint8_t>(sequence)};
            std::copy(std::begin(header), std::end(header), expected.begin());
            std::copy(payload.begin(), payload.end(), expected.begin() + 12);
            EXPECT_EQ(expected, got) << "datagram " << sequence;
            ++sequence;
        }
    }
    Bytes none;
    EXPECT_FALSE(receiveWithin(dataOnly, &none, ABSENT_MS));
    EXPECT_TRUE(waitForStderr(relay, "video connected\n", ARRIVES_MS));

    // A removed viewer gets nothing more; the other one goes on.
    sendTo(second, DISCOVERY, controlDatagram({1}));
    EXPECT_TRUE(waitForStderr(relay, "client 127.0.0.1:" + portText(secondPort) + " removed\n", ARRIVES_MS));
    sendTo(encoder, VIDEO, {9});
    Bytes got;
    ASSERT_TRUE(receiveWithin(full, &got, ARRIVES_MS));
    EXPECT_EQ((Bytes{0x42, 1, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 9}), got);
    EXPECT_FALSE(receiveWithin(second, &none, ABSENT_MS));

    EXPECT_EQ(1, endWithEmptyDatagram());
    // Each viewer was reported new exactly once, keep-alives not at all.
    const std::string fullConnected = "client connected from 127.0.0.1:" + portText(fullPort) + " ";
    EXPECT_EQ(relay.err.find(fullConnected), relay.err.rfind(fullConnected)) << relay.err;
    for (int fd : {full, second, dataOnly}) close(fd);
}

TEST_F(RelayProcess, SilentViewerIsDroppedAndTheCountFollows) {
    start();
    uint16_t silentPort = 0, steadyPort = 0;
    const int silent = registerViewer(&silentPort);
    const int steady = registerViewer(&steadyPort);
    // The steady viewer re-registers every 500 ms, as viewers do.
    const std::string lost = "Client 127.0.0.1:" + portText(silentPort) + " lost\n";
    bool dropped = false;
    for (int i = 0; i < SUPERVISOR_NOTICES_MS / 500 && !dropped; ++i) {
        sendTo(steady, DISCOVERY, controlDatagram({0}));
        dropped = waitForStderr(relay, lost, 500);
    }
    EXPECT_TRUE(dropped) << relay.err;
    EXPECT_EQ(std::string::npos, relay.err.find("Client 127.0.0.1:" + portText(steadyPort) + " lost"));

    // The count goes to buffered standard output right after the lost line;
    // wait for the next pass (its video report) so it has surely been printed.
    sendTo(encoder, VIDEO, {7});
    bool nextPass = false;
    for (int i = 0; i < SUPERVISOR_NOTICES_MS / 500 && !nextPass; ++i) {
        sendTo(steady, DISCOVERY, controlDatagram({0}));
        nextPass = waitForStderr(relay, "video disconnected\n", 500);
    }
    EXPECT_TRUE(nextPass) << relay.err;

    EXPECT_EQ(1, endWithEmptyDatagram());
    // Every pass since the drop counted the steady viewer alone.
    const std::string last = "client count = 1\n";
    ASSERT_GE(relay.out.size(), last.size());
    EXPECT_EQ(last, relay.out.substr(relay.out.size() - last.size())) << relay.out;
    close(silent);
    close(steady);
}

TEST_F(RelayProcess, VideoStartAndStopAreReportedEachTimeAndTheStartUpCountFollowsTheBanner) {
    start();
    sendTo(encoder, VIDEO, {1});
    ASSERT_TRUE(waitForStderr(relay, "video connected\n", ARRIVES_MS));
    ASSERT_TRUE(waitForStderr(relay, "video disconnected\n", SUPERVISOR_NOTICES_MS)) << relay.err;
    sendTo(encoder, VIDEO, {2});
    const std::string cycle = "video connected\nvideo disconnected\nvideo connected\n";
    ASSERT_TRUE(waitForStderr(relay, cycle, ARRIVES_MS)) << relay.err;
    // A second stop is reported by a later pass of the supervisor than the
    // first, so the first pass, with its count, is surely over.
    ASSERT_TRUE(waitForStderr(relay, cycle + "video disconnected\n", SUPERVISOR_NOTICES_MS)) << relay.err;
    EXPECT_EQ(1, endWithEmptyDatagram()) << relay.err;
    // The count printed at once on start-up: 0, or 1 when the registration
    // that showed the relay listening got in first.
    EXPECT_TRUE(relay.out.rfind(BANNER + "client count = 0\n", 0) == 0 ||
                relay.out.rfind(BANNER + "client count = 1\n", 0) == 0)
        << relay.out;
}

}  // namespace
