// The relay must not touch the heap once it is up: the real stream-relay runs
// with a malloc counter preloaded, in a network namespace of its own, and the
// count may not move while it fans video out to viewers that keep
// re-registering, come and go, and while video stops and starts again.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "alloc_counts.h"
#include "relay_harness.h"

namespace {

constexpr uint16_t VIDEO_PORT = 5000;
constexpr uint16_t DISCOVERY_PORT = 4242;
constexpr int GENEROUS_MS = 15000;

// The counter file, mapped here as well as in the relay.
AllocCounts* mapCounterFile(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR);
    if (fd < 0 || ftruncate(fd, sizeof(AllocCounts)) != 0) return nullptr;
    void* shared = mmap(nullptr, sizeof(AllocCounts), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    return shared == MAP_FAILED ? nullptr : static_cast<AllocCounts*>(shared);
}

uint64_t allocationsSoFar(const AllocCounts* counts) { return __atomic_load_n(&counts->calls, __ATOMIC_ACQUIRE); }

void sendVideo(int encoder, size_t size, uint8_t fill) {
    sendTo(encoder, VIDEO_PORT, std::vector<uint8_t>(size, fill));
}

// Counts the video datagrams (header plus payload) waiting for this viewer.
int drainVideo(int viewer) {
    int count = 0;
    std::vector<uint8_t> datagram;
    while (receiveWithin(viewer, &datagram, 0))
        if (datagram.size() > 12 && datagram[0] == 0x42) ++count;
    return count;
}

// Sends video until the viewer has some, so the relay's first-datagram path
// ("video connected") has run.
bool videoReaches(int encoder, int viewer) {
    std::vector<uint8_t> datagram;
    for (int waited = 0; waited < GENEROUS_MS; waited += 100) {
        sendVideo(encoder, 1000, 0x11);
        if (receiveWithin(viewer, &datagram, 100) && datagram.size() == 1012) return true;
    }
    return false;
}

class RelayAllocations : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        if (!enterFreshNetworkNamespace(&why)) GTEST_SKIP() << "needs a network namespace: " << why;
        char path[] = "/tmp/relay-alloc-XXXXXX";
        const int fd = mkstemp(path);
        ASSERT_GE(fd, 0);
        close(fd);
        counterPath = path;
        counts = mapCounterFile(counterPath);
        ASSERT_NE(counts, nullptr);
        setenv(ALLOC_COUNTER_ENV, counterPath.c_str(), 1);
        setenv("LD_PRELOAD", ALLOC_COUNTER_LIBRARY, 1);
        relay = startRelay();
        unsetenv("LD_PRELOAD");
        ASSERT_GT(relay.pid, 0);
        encoder = openViewerSocket();
    }

    void TearDown() override {
        stopRelay(relay);
        for (int fd : sockets) close(fd);
        if (encoder >= 0) close(encoder);
        if (counts != nullptr) munmap(counts, sizeof(AllocCounts));
        if (!counterPath.empty()) unlink(counterPath.c_str());
    }

    int viewer() {
        sockets.push_back(openViewerSocket());
        return sockets.back();
    }

    bool relayRunning() { return waitpid(relay.pid, nullptr, WNOHANG) == 0; }

    std::string counterPath;
    AllocCounts* counts = nullptr;
    RelayRun relay;
    int encoder = -1;
    std::vector<int> sockets;
};

TEST_F(RelayAllocations, NoneAfterStartUpWhileFanningOut) {
    const int steady = viewer();
    const int leaving = viewer();
    const int dataOnly = viewer();
    ASSERT_TRUE(registerUntilAcknowledged(steady));
    ASSERT_TRUE(registerUntilAcknowledged(leaving));
    sendTo(dataOnly, DISCOVERY_PORT, controlDatagram({0, 1}));
    ASSERT_TRUE(videoReaches(encoder, steady)) << relay.err;
    ASSERT_TRUE(waitForStderr(relay, "(only data)", GENEROUS_MS)) << relay.err;

    // The counter is live: start-up itself allocates (stdio buffers, threads).
    const uint64_t atStartUp = allocationsSoFar(counts);
    ASSERT_GT(atStartUp, 0u) << "the preloaded counter saw nothing; is it loaded?";

    // Fan-out: sizes from 1 byte to the largest that still fits behind the
    // header, viewers refreshing, one joining and one leaving half way.
    const int joining = viewer();
    int steadyGot = drainVideo(steady);
    int joinerGot = 0;
    for (int i = 0; i < 3000; ++i) {
        const size_t size = i % 500 == 499 ? 65000 : 1 + static_cast<size_t>(i) * 37 % 1400;
        sendVideo(encoder, size, static_cast<uint8_t>(i));
        // Refreshed as viewers do, so none is dropped however long this takes.
        if (i % 250 == 0) {
            sendTo(steady, DISCOVERY_PORT, controlDatagram({0, 0}));
            sendTo(dataOnly, DISCOVERY_PORT, controlDatagram({0, 1}));
            if (i < 2000) sendTo(leaving, DISCOVERY_PORT, controlDatagram({0, 0}));
        }
        if (i == 1000) {
            ASSERT_TRUE(registerUntilAcknowledged(joining));
        }
        if (i == 2000) sendTo(leaving, DISCOVERY_PORT, controlDatagram({1}));
        // Every 50 the relay takes in all that was sent before more comes,
        // so neither its buffer nor the viewers' overflows on a slow machine.
        if (i % 50 == 0) {
            ASSERT_TRUE(waitForQueuesBelow({VIDEO_PORT}, 1, GENEROUS_MS));
            steadyGot += drainVideo(steady);
            joinerGot += drainVideo(joining);
        }
    }
    ASSERT_TRUE(waitForStderr(relay, "removed", GENEROUS_MS)) << relay.err;

    // Video stops until the supervisor reports it, then comes back.
    ASSERT_TRUE(waitForStderr(relay, "video disconnected", GENEROUS_MS)) << relay.err;
    sendTo(steady, DISCOVERY_PORT, controlDatagram({0, 0}));
    ASSERT_TRUE(videoReaches(encoder, steady)) << relay.err;
    steadyGot += 1 + drainVideo(steady);
    joinerGot += drainVideo(joining);

    ASSERT_TRUE(relayRunning()) << relay.err;
    const uint64_t afterwards = allocationsSoFar(counts);
    EXPECT_EQ(afterwards, atStartUp) << "latest allocation: " << __atomic_load_n(&counts->lastSize, __ATOMIC_RELAXED)
                                     << " bytes on thread " << __atomic_load_n(&counts->lastThread, __ATOMIC_RELAXED);
    // The window really carried video to the viewers.
    EXPECT_GT(steadyGot, 1000);
    EXPECT_GT(joinerGot, 0);
}

}  // namespace
