// Registration, removal, the sweep and the fan-out walk racing each other.
// Run under ThreadSanitizer by the test command; in any build it checks
// that no walk ever sees a half-written slot or a viewer twice.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <thread>
#include <vector>

#include "client_table.h"
#include "clock.h"
#include "discovery.h"
#include "relay_harness.h"
#include "video.h"

namespace {

constexpr int VIEWERS = 16;  // more than the table holds, so it fills and refuses
constexpr int ROUNDS = 200000;
constexpr int SWEEPS = 600;
constexpr int WALKS_WITH_VIEWERS = 1000;
constexpr int DROPS = 300;

// Viewer k is 127.0.0.<k+1> on port 20000 + k: a walk can check that the
// address and port it copied belong together.
void viewerAddress(int k, char (&ip)[CLIENT_IP_SIZE]) { std::snprintf(ip, sizeof ip, "127.0.0.%d", k + 1); }

bool targetIsWhole(const VideoTarget& target) {
    int octet = 0;
    if (std::sscanf(target.ip, "127.0.0.%d", &octet) != 1) return false;
    return target.port == 20000 + octet - 1;
}

TEST(TableUnderConcurrency, WalksSeeWholeSlotsWhileViewersComeAndGo) {
    std::string why;
    if (!enterFreshNetworkNamespace(&why)) GTEST_SKIP() << "needs a network namespace: " << why;
    std::memset(clients, 0, sizeof clients);
    discoverySocket = socket(AF_INET, SOCK_DGRAM, 0);

    std::atomic<bool> running{true};
    std::atomic<int> tornWalks{0};
    std::atomic<int> duplicateWalks{0};
    std::atomic<int> walksWithViewers{0};  // the checks above are worth something only on these
    // Viewers come and go until the walker has met them often enough, however
    // a busy machine schedules the four threads (within a generous bound).
    const long long giveUpMs = monotonicMs() + 60000;
    const auto churning = [&](int i) {
        return i < ROUNDS || (walksWithViewers.load() < WALKS_WITH_VIEWERS && monotonicMs() < giveUpMs);
    };

    std::thread registrar([&] {
        char ip[CLIENT_IP_SIZE];
        for (int i = 0; churning(i); ++i) {
            const int k = (i % VIEWERS) * 7 % VIEWERS;
            viewerAddress(k, ip);
            registerClient(ip, 20000 + k, static_cast<uint8_t>(i & 1));
        }
    });
    std::thread remover([&] {
        char ip[CLIENT_IP_SIZE];
        for (int i = 0; churning(i); ++i) {
            const int k = (i % VIEWERS) * 5 % VIEWERS;
            viewerAddress(k, ip);
            removeClient(ip, 20000 + k);
        }
    });
    std::thread sweeper([&] {
        // Alternately a clock far ahead (drops everyone) and the present.
        // Each pass prints, so there are only a few hundred of them.
        for (int i = 0; i < SWEEPS; ++i) sweepClientsAt(nowMs() + ((i & 1) ? 100000 : 0));
    });
    std::thread walker([&] {
        uint8_t payload[64] = {};
        while (running.load()) {
            broadcastFrame(payload, sizeof payload, KIND_VIDEO);
            VideoTarget targets[MAX_CLIENTS];
            const int count = collectVideoTargets(0, targets);
            if (count > 0) walksWithViewers.fetch_add(1);
            for (int i = 0; i < count; ++i) {
                if (!targetIsWhole(targets[i])) tornWalks.fetch_add(1);
                for (int j = 0; j < i; ++j)
                    if (targets[j].port == targets[i].port) duplicateWalks.fetch_add(1);
            }
        }
    });
    registrar.join();
    remover.join();
    sweeper.join();
    running.store(false);
    walker.join();

    close(discoverySocket);

    EXPECT_EQ(0, tornWalks.load());
    EXPECT_EQ(0, duplicateWalks.load());
    EXPECT_GE(walksWithViewers.load(), WALKS_WITH_VIEWERS);
    // What is left is consistent too.
    for (const ClientSlot& slot : clients) {
        if (slot.ip[0] == '\0') {
            EXPECT_EQ(0, slot.port);
            continue;
        }
        VideoTarget copy{};
        std::memcpy(copy.ip, slot.ip, sizeof slot.ip);
        copy.port = slot.port;
        EXPECT_TRUE(targetIsWhole(copy)) << slot.ip << ":" << slot.port;
    }
}

}  // namespace

// A viewer that keeps coming back while every sweep drops it: its lines on
// the console must alternate, connected then lost, in the order of the
// table's changes, and the last one must tell whether it is still there.
TEST(TableUnderConcurrency, AViewerSweptAsItComesBackIsReportedInTheOrderOfEvents) {
    std::string why;
    if (!enterFreshNetworkNamespace(&why)) GTEST_SKIP() << "needs a network namespace: " << why;
    std::memset(clients, 0, sizeof clients);
    discoverySocket = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in viewer{};
    viewer.sin_family = AF_INET;
    viewer.sin_port = htons(20000);
    viewer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::vector<uint8_t> registration = controlDatagram({CMD_REGISTER});

    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    // Each sweep is made while the viewer is there (only sweeps take it
    // out), so each drops it: the count of drops does not hang on how the
    // two threads happen to share a busy machine.
    std::atomic<bool> sweeping{true};
    std::thread sweeper([&] {
        for (int drops = 0; drops < DROPS;) {
            if (countClients() == 0) {
                std::this_thread::yield();
                continue;
            }
            sweepClientsAt(nowMs() + 100000);
            ++drops;
        }
        sweeping.store(false);
    });
    while (sweeping.load()) handleDiscoveryDatagram(registration.data(), RELAY_HEADER_SIZE, viewer);
    sweeper.join();
    std::fflush(stdout);
    testing::internal::GetCapturedStdout();
    const std::string console = testing::internal::GetCapturedStderr();
    close(discoverySocket);

    bool present = false;
    int lines = 0;
    int outOfOrder = 0;
    std::istringstream read(console);
    for (std::string line; std::getline(read, line); ++lines) {
        const bool connected = line == "client connected from 127.0.0.1:20000  ";
        ASSERT_TRUE(connected || line == "Client 127.0.0.1:20000 lost") << line;
        if (connected == present) ++outOfOrder;
        present = connected;
    }
    EXPECT_EQ(0, outOfOrder) << "of " << lines << " lines";
    EXPECT_EQ(present ? 1 : 0, countClients());
    EXPECT_GE(lines, 2 * DROPS);
}
