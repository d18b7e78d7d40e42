// Whatever the network can throw at the real relay: datagrams of every length
// at both of its ports, a flood of registrations from a thousand sender ports,
// and datagrams forged to come from the relay's own loopback address. Each
// case runs the relay in a network namespace of its own; forged senders are
// written with a raw socket inside that namespace.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <sched.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "relay_harness.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint16_t DISCOVERY = 4242;
constexpr uint16_t VIDEO = 5000;
constexpr int LARGEST_UDP_PAYLOAD = 65507;
constexpr int VIDEO_RECEIVE_LIMIT = 65500;
constexpr int LARGEST_FORWARDED_PAYLOAD = LARGEST_UDP_PAYLOAD - 12;
constexpr int ARRIVES_MS = 10000;
// The relay's receive buffer may be as small as the kernel's default cap;
// between two barriers the test never queues more than this many bytes.
constexpr size_t QUEUED_BYTES_BETWEEN_BARRIERS = 128 * 1024;

std::string endpoint(uint16_t port) { return "127.0.0.1:" + std::to_string(port); }

// Every line of `text` that names 127.0.0.1:port, in order.
std::vector<std::string> linesAbout(const std::string& text, uint16_t port) {
    std::vector<std::string> found;
    std::istringstream lines(text);
    const std::string name = endpoint(port);
    for (std::string line; std::getline(lines, line);) {
        const size_t at = line.find(name);
        if (at == std::string::npos) continue;
        const char after = at + name.size() < line.size() ? line[at + name.size()] : '\0';
        if (after < '0' || after > '9') found.push_back(line);
    }
    return found;
}

// The console without the lines that name 127.0.0.1:port.
std::string consoleWithout(const std::string& text, uint16_t port) {
    std::string kept;
    std::istringstream lines(text);
    const std::vector<std::string> about = linesAbout(text, port);
    size_t next = 0;
    for (std::string line; std::getline(lines, line);) {
        if (next < about.size() && line == about[next]) {
            ++next;
            continue;
        }
        kept += line + "\n";
    }
    return kept;
}

// How many times `line` (with its newline) appears in `text`.
int timesIn(const std::string& text, const std::string& line) {
    int times = 0;
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + line.size())) ++times;
    return times;
}

// The console as a run at full speed prints it. A run slowed by a sanitizer on
// a busy machine can leave more than 2 s between two refreshes of a viewer as
// the relay sees them, or 1 s between two video datagrams: the relay then
// reports the viewer lost until its next registration, or the video stopped
// until the next datagram. Those lines, and the return they end in, are left out.
std::string withoutSlowRunLines(const std::string& text) {
    std::string kept;
    std::vector<std::string> away;  // viewers reported lost, and "video" once reported stopped
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const bool lost = line.rfind("Client ", 0) == 0 && line.size() > 12 && line.substr(line.size() - 5) == " lost";
        if (lost || line == "video disconnected") {
            away.push_back(lost ? line.substr(7, line.size() - 12) : "video");
            continue;
        }
        std::string back = line == "video connected" ? "video" : "";
        if (line.rfind("client connected from ", 0) == 0) back = line.substr(22, line.find(' ', 22) - 22);
        const auto returning = std::find(away.begin(), away.end(), back);
        if (!back.empty() && returning != away.end()) {
            away.erase(returning);
            continue;
        }
        kept += line + "\n";
    }
    return kept;
}

// Takes one queued datagram without waiting; false when none is queued.
bool takeQueued(int fd, Bytes* bytes) {
    bytes->resize(LARGEST_UDP_PAYLOAD + 1);
    const ssize_t n = recv(fd, bytes->data(), bytes->size(), MSG_DONTWAIT);
    if (n < 0) return false;
    bytes->resize(static_cast<size_t>(n));
    return true;
}

int boundViewerSocket(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// A buffer of the given size with a byte pattern that does not repeat every 256 bytes.
Bytes patterned(size_t size) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 13 + i / 251);
    return bytes;
}

// Sends the first `length` bytes of `bytes` to 127.0.0.1:port.
void sendPrefix(int fd, uint16_t port, const Bytes& bytes, int length) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(fd, bytes.data(), static_cast<size_t>(length), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

uint32_t sequenceOf(const Bytes& datagram) {
    return datagram[4] | (datagram[5] << 8) | (datagram[6] << 16) | (static_cast<uint32_t>(datagram[7]) << 24);
}

// Sends, through a raw socket, one UDP datagram to destinationIp:destination
// that claims to come from sourceIp:sourcePort. The kernel fills the IP
// checksum; a UDP checksum of 0 means none.
bool sendForgedTo(int raw, const char* sourceIp, uint16_t sourcePort, const char* destinationIp, uint16_t destination,
                  const Bytes& payload) {
    Bytes packet(sizeof(iphdr) + sizeof(udphdr) + payload.size());
    iphdr ip{};
    ip.ihl = 5;
    ip.version = 4;
    ip.ttl = 64;
    ip.protocol = IPPROTO_UDP;
    ip.tot_len = htons(static_cast<uint16_t>(packet.size()));
    inet_pton(AF_INET, sourceIp, &ip.saddr);
    inet_pton(AF_INET, destinationIp, &ip.daddr);
    udphdr udp{};
    udp.source = htons(sourcePort);
    udp.dest = htons(destination);
    udp.len = htons(static_cast<uint16_t>(sizeof(udphdr) + payload.size()));
    std::memcpy(packet.data(), &ip, sizeof ip);
    std::memcpy(packet.data() + sizeof ip, &udp, sizeof udp);
    std::memcpy(packet.data() + sizeof ip + sizeof udp, payload.data(), payload.size());
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = ip.daddr;
    return sendto(raw, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
           static_cast<ssize_t>(packet.size());
}

class HostileInput : public testing::Test {
protected:
    void SetUp() override {
        std::string why;
        if (!enterFreshNetworkNamespace(&why)) GTEST_SKIP() << "needs a network namespace: " << why;
        raw = socket(AF_INET, SOCK_RAW, IPPROTO_RAW);
        ASSERT_GE(raw, 0) << "raw socket: " << std::strerror(errno);
        sender = socket(AF_INET, SOCK_DGRAM, 0);
        relay = startRelay();
        ASSERT_GT(relay.pid, 0);
        ASSERT_TRUE(waitForStderr(relay, "Init device discovery\n", ARRIVES_MS)) << relay.err;
        probe = openViewerSocket(&probePort);
        ASSERT_TRUE(registerUntilAcknowledged(probe));
    }

    void TearDown() override {
        stopRelay(relay);
        EXPECT_EQ(std::string::npos, console().find("Sanitizer")) << console();
        EXPECT_EQ(std::string::npos, console().find("runtime error")) << console();
        for (int fd : {raw, sender, probe})
            if (fd >= 0) close(fd);
    }

    // Returns once the relay has handled every control datagram sent before:
    // the probe viewer leaves and joins again, and the discovery socket hands
    // datagrams over in arrival order, so its acknowledgement comes last.
    void barrier() {
        sendTo(probe, DISCOVERY, controlDatagram({1}));
        sendTo(probe, DISCOVERY, controlDatagram({0}));
        Bytes ack;
        ASSERT_TRUE(receiveWithin(probe, &ack, ARRIVES_MS)) << "the relay stopped answering";
        ASSERT_EQ(Bytes{0x42}, ack);
        // Reading the console also keeps the relay from blocking on a full pipe.
        ASSERT_TRUE(waitForStderr(relay, "client connected from " + endpoint(probePort) + "  \n", ARRIVES_MS));
        earlierConsole += relay.err;
        relay.err.clear();
    }

    // Everything the relay printed on standard error so far that was read.
    std::string console() const { return earlierConsole + relay.err; }

    // One UDP datagram to 127.0.0.1:destination that claims to come from
    // sourceIp:sourcePort.
    void sendForged(const char* sourceIp, uint16_t sourcePort, uint16_t destination, const Bytes& payload) {
        ASSERT_TRUE(sendForgedTo(raw, sourceIp, sourcePort, "127.0.0.1", destination, payload)) << std::strerror(errno);
    }

    // Takes the viewer's next video datagram, passing over (and counting in
    // rejoins) the acknowledgement of a registration made new again after a
    // slow run let the sweep drop the viewer (see withoutSlowRunLines).
    // When nothing comes, *swept tells whether the datagram went out while
    // the viewer was away, as a new "lost" line shows; it is then registered
    // again, and back once it has joined once more than it was swept.
    bool takeVideo(int viewer, uint16_t viewerPort, Bytes* got, bool* swept) {
        *swept = false;
        while (receiveWithin(viewer, got, ARRIVES_MS)) {
            if (*got != Bytes{0x42}) return true;
            ++rejoins;
        }
        readConsole(200);
        const int sweeps = timesIn(console(), "Client " + endpoint(viewerPort) + " lost\n");
        if (sweeps == sweepsSeen) return false;
        sweepsSeen = sweeps;
        sendTo(viewer, DISCOVERY, controlDatagram({0}));
        const std::string joined = "client connected from " + endpoint(viewerPort) + "  \n";
        const long long end = monotonicMs() + ARRIVES_MS;
        while (timesIn(console(), joined) <= sweeps && monotonicMs() < end) readConsole(100);
        *swept = timesIn(console(), joined) > sweeps;
        return false;
    }

    // Reads the relay's console for a while (it never prints an empty line).
    void readConsole(int ms) { waitForStderr(relay, "\n\n", ms); }

    // Refreshes a viewer and the probe twice a second, however slowly the
    // case runs (under a sanitizer), so both outlive the 2 s sweep.
    void keepAliveEvery500Ms(int viewer) {
        const long long ms = monotonicMs();
        if (ms - lastKeepAliveMs < 500) return;
        lastKeepAliveMs = ms;
        sendTo(viewer, DISCOVERY, controlDatagram({0}));
        sendTo(probe, DISCOVERY, controlDatagram({0}));
    }

    RelayRun relay;
    std::string earlierConsole;
    int raw = -1;
    int sender = -1;  // a plain socket for sending to the relay
    int probe = -1;
    uint16_t probePort = 0;
    long long lastKeepAliveMs = 0;
    int rejoins = 0;     // acknowledgements takeVideo passed over
    int sweepsSeen = 0;  // "lost" lines of the viewer takeVideo has accounted for
};

TEST_F(HostileInput, ControlDatagramsOfEveryLengthOnlyRegisterFromTwelveBytesOn) {
    uint16_t viewerPort = 0;
    const int viewer = openViewerSocket(&viewerPort);
    // 0 to 11 bytes, with and without the magic: none registers, none is answered.
    for (int length = 0; length < 12; ++length) {
        Bytes withMagic(static_cast<size_t>(length), 0);
        if (length > 0) withMagic[0] = 0x42;
        sendTo(viewer, DISCOVERY, withMagic);
        sendTo(viewer, DISCOVERY, Bytes(static_cast<size_t>(length), 0x41));
    }
    barrier();
    Bytes got;
    EXPECT_FALSE(takeQueued(viewer, &got)) << "a datagram shorter than the header was answered";

    // Every length from the bare header up to the largest UDP payload, each
    // a registration (command 0) with the option byte alternating; only the
    // first one is new. The same lengths without the magic change nothing.
    // One buffer, sent by prefixes: only the command bytes change.
    Bytes datagram = patterned(LARGEST_UDP_PAYLOAD);
    size_t queued = 0;
    for (int length = 12; length <= LARGEST_UDP_PAYLOAD; ++length) {
        datagram[0] = 0x41;
        datagram[12] = 1;  // would be a removal
        sendPrefix(viewer, DISCOVERY, datagram, length);
        datagram[0] = 0x42;
        datagram[12] = 0;
        datagram[13] = static_cast<uint8_t>(length & 1);
        sendPrefix(viewer, DISCOVERY, datagram, length);
        queued += 2 * static_cast<size_t>(length) + 1024;
        if (length == 12 || queued > QUEUED_BYTES_BETWEEN_BARRIERS) {
            ASSERT_NO_FATAL_FAILURE(barrier()) << "at length " << length;
            queued = 0;
        }
    }

    // A removal of the largest size takes the viewer out (refreshed right
    // before, so it is surely there); a registration of that size from a new
    // sender is a new viewer.
    Bytes removal(LARGEST_UDP_PAYLOAD, 0xEE);
    removal[0] = 0x42;
    removal[12] = 1;
    sendTo(viewer, DISCOVERY, controlDatagram({0}));
    sendTo(viewer, DISCOVERY, removal);
    uint16_t largePort = 0;
    const int large = openViewerSocket(&largePort);
    Bytes registration(LARGEST_UDP_PAYLOAD, 0);
    registration[0] = 0x42;
    registration[13] = 1;
    sendTo(large, DISCOVERY, registration);
    ASSERT_TRUE(receiveWithin(large, &got, ARRIVES_MS));
    EXPECT_EQ(Bytes{0x42}, got);
    EXPECT_TRUE(waitForStderr(relay, "client connected from " + endpoint(largePort) + " (only data)\n", ARRIVES_MS));
    EXPECT_TRUE(waitForStderr(relay, "client " + endpoint(viewerPort) + " removed\n", ARRIVES_MS)) << relay.err;
    // Only the first registration was new and answered, unless a slow run let
    // the sweep drop the viewer between two of them: then the next was new
    // again, and answered too (see withoutSlowRunLines).
    const int sweeps = timesIn(console(), "Client " + endpoint(viewerPort) + " lost\n");
    for (int i = 0; i <= sweeps; ++i) {
        ASSERT_TRUE(takeQueued(viewer, &got)) << "a new registration was not answered";
        EXPECT_EQ(Bytes{0x42}, got);
    }
    EXPECT_FALSE(takeQueued(viewer, &got)) << "a refresh was answered";
    const std::vector<std::string> once{"client connected from " + endpoint(viewerPort) + "  ",
                                        "client " + endpoint(viewerPort) + " removed"};
    EXPECT_EQ(once, linesAbout(withoutSlowRunLines(console()), viewerPort));
    close(viewer);
    close(large);
}

TEST_F(HostileInput, VideoDatagramsOfEveryLengthArriveWholeOrNotAtAll) {
    uint16_t viewerPort = 0;
    const int viewer = openRegisteredViewer(&viewerPort);
    ASSERT_GE(viewer, 0) << "no acknowledgement";
    // Sent one at a time, each waited for, so nothing overflows a buffer.
    // One that a slow run kept from the viewer is sent again (the relay
    // counts both).
    Bytes got;
    uint32_t sent = 0;
    Bytes payload = patterned(LARGEST_UDP_PAYLOAD);
    for (int length = 1; length <= LARGEST_FORWARDED_PAYLOAD; ++length) {
        keepAliveEvery500Ms(viewer);
        // The first bytes carry the length, so each payload is its own.
        std::memcpy(payload.data(), &length, std::min<size_t>(sizeof length, static_cast<size_t>(length)));
        sendPrefix(sender, VIDEO, payload, length);
        ++sent;
        bool swept = false;
        ASSERT_TRUE(takeVideo(viewer, viewerPort, &got, &swept) || swept) << "no datagram for a payload of " << length;
        if (swept) {
            --length;
            continue;
        }
        ASSERT_EQ(static_cast<size_t>(length) + 12, got.size());
        ASSERT_EQ(sent - 1, sequenceOf(got));
        ASSERT_EQ(0x42, got[0]);
        ASSERT_EQ(1, got[1]);
        ASSERT_EQ(0, std::memcmp(payload.data(), got.data() + 12, static_cast<size_t>(length)))
            << "payload of " << length;
    }
    // Larger payloads cannot travel behind the header: each is counted but
    // reaches nobody, and the relay goes on. Beyond 65,500 bytes the receive
    // cuts them first. Each is followed by a small one that must arrive, which
    // also paces them: a few of these fill a default-sized receive buffer.
    static_assert(VIDEO_RECEIVE_LIMIT > LARGEST_FORWARDED_PAYLOAD, "cut datagrams are still too big to forward");
    for (int length = LARGEST_FORWARDED_PAYLOAD + 1; length <= LARGEST_UDP_PAYLOAD; ++length) {
        keepAliveEvery500Ms(viewer);
        sendTo(sender, VIDEO, Bytes(static_cast<size_t>(length), 0x5A));
        sendTo(sender, VIDEO, Bytes{7, 7, 7});
        sent += 2;
        bool swept = false;
        ASSERT_TRUE(takeVideo(viewer, viewerPort, &got, &swept) || swept) << "nothing after a payload of " << length;
        if (swept) {
            --length;
            continue;
        }
        ASSERT_EQ(15u, got.size()) << "after a payload of " << length;
        EXPECT_EQ((Bytes{0x42, 1, 0, 0}), Bytes(got.begin(), got.begin() + 4));
        EXPECT_EQ((Bytes{0, 0, 0, 0, 7, 7, 7}), Bytes(got.begin() + 8, got.end()));
        ASSERT_EQ(sent - 1, sequenceOf(got)) << "a payload of " << length << " was not counted once";
    }
    for (; takeQueued(viewer, &got); ++rejoins) EXPECT_EQ(Bytes{0x42}, got) << "more than was sent";

    // The last edge of the video port: an empty datagram ends the relay with 1.
    sendTo(sender, VIDEO, Bytes{});
    EXPECT_EQ(1, waitForExit(relay, ARRIVES_MS)) << relay.err;
    EXPECT_EQ("Init video source\nInit device discovery\nclient connected from " + endpoint(probePort) +
                  "  \nclient connected from " + endpoint(viewerPort) + "  \nvideo connected\n",
              withoutSlowRunLines(console()));
    // Each acknowledgement passed over was a registration made new again.
    EXPECT_EQ(rejoins + 1, timesIn(console(), "client connected from " + endpoint(viewerPort) + "  \n")) << console();
    close(viewer);
}

TEST_F(HostileInput, AThousandSenderPortsNeverGrowTheTablePastTen) {
    // The probe holds slot 0; ports 30000 to 30008 fill the other nine.
    constexpr uint16_t FIRST = 30000;
    constexpr int SENDERS = 1000;
    constexpr int WATCHED = 20;
    int watched[WATCHED];
    for (int i = 0; i < WATCHED; ++i) ASSERT_GE(watched[i] = boundViewerSocket(FIRST + i), 0);

    // The members keep refreshing (silently), so a slow run never sees them
    // dropped for silence halfway through.
    const auto refreshMembers = [&](int count) {
        for (int i = 0; i < count; ++i) sendForged("127.0.0.1", FIRST + i, DISCOVERY, controlDatagram({0}));
    };
    // Sent in batches, each followed by a barrier, so none is lost to a
    // full receive buffer: the refused ones must be refused by the relay.
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < SENDERS; ++i) {
            sendForged("127.0.0.1", FIRST + i, DISCOVERY, controlDatagram({0}));
            if (i % 100 == 99) {
                ASSERT_NO_FATAL_FAILURE(barrier());
                refreshMembers(9);
            }
        }
    }
    // A removal from one of the nine marks the end of the flood on the console.
    sendForged("127.0.0.1", FIRST + 8, DISCOVERY, controlDatagram({1}));
    ASSERT_TRUE(waitForStderr(relay, "client " + endpoint(FIRST + 8) + " removed\n", ARRIVES_MS)) << relay.err;

    std::string expected = "Init video source\nInit device discovery\n";
    for (int i = 0; i < 9; ++i) expected += "client connected from " + endpoint(FIRST + i) + "  \n";
    expected += "client " + endpoint(FIRST + 8) + " removed\n";
    EXPECT_EQ(expected, consoleWithout(console(), probePort));

    Bytes got;
    for (int i = 0; i < WATCHED; ++i) {
        if (i < 9) {
            ASSERT_TRUE(takeQueued(watched[i], &got)) << "no acknowledgement for port " << FIRST + i;
            EXPECT_EQ(Bytes{0x42}, got);
        }
        EXPECT_FALSE(takeQueued(watched[i], &got)) << "port " << FIRST + i << " heard from the relay";
    }

    // The freed slot goes to the next newcomer; video reaches exactly the ten.
    refreshMembers(8);
    sendForged("127.0.0.1", FIRST + 19, DISCOVERY, controlDatagram({0}));
    ASSERT_TRUE(receiveWithin(watched[19], &got, ARRIVES_MS));
    EXPECT_EQ(Bytes{0x42}, got);
    sendTo(sender, VIDEO, Bytes{1, 2, 3});
    ASSERT_TRUE(receiveWithin(probe, &got, ARRIVES_MS));
    const Bytes frame = got;
    for (int i = 0; i < WATCHED; ++i) {
        const bool member = i < 8 || i == 19;
        if (member) {
            ASSERT_TRUE(receiveWithin(watched[i], &got, ARRIVES_MS)) << "port " << FIRST + i;
            EXPECT_EQ(frame, got);
        }
    }
    // The walk is over once its last slot (port FIRST + 19, the freed index) had its copy.
    for (int i = 0; i < WATCHED; ++i) {
        EXPECT_FALSE(takeQueued(watched[i], &got)) << "port " << FIRST + i << " got more than its share";
        close(watched[i]);
    }
    EXPECT_EQ(std::string::npos, console().find(endpoint(FIRST + 9))) << console();
}

TEST_F(HostileInput, DatagramsClaimingTheRelaysOwnAddressAreIgnored) {
    // Registration, data-only registration, a lone acknowledgement byte and a
    // removal, all claiming 127.0.0.1:4242: a relay that took them would send
    // its acknowledgements and video to itself.
    sendForged("127.0.0.1", DISCOVERY, DISCOVERY, controlDatagram({0}));
    sendForged("127.0.0.1", DISCOVERY, DISCOVERY, controlDatagram({0, 1}));
    sendForged("127.0.0.1", DISCOVERY, DISCOVERY, Bytes{0x42});
    sendForged("127.0.0.1", DISCOVERY, DISCOVERY, controlDatagram({1}));
    sendForged("127.0.0.1", DISCOVERY, DISCOVERY, controlDatagram({0}));
    barrier();
    EXPECT_TRUE(linesAbout(console(), DISCOVERY).empty()) << console();

    // The same datagram from any other port of 127.0.0.1 is a viewer.
    uint16_t neighbourPort = 0;
    const int neighbour = openViewerSocket(&neighbourPort);
    sendForged("127.0.0.1", neighbourPort, DISCOVERY, controlDatagram({0}));
    Bytes got;
    ASSERT_TRUE(receiveWithin(neighbour, &got, ARRIVES_MS));
    EXPECT_EQ(Bytes{0x42}, got);

    // Video goes to the two viewers and nowhere else: had the relay taken
    // itself in, its own copies would come back as registrations.
    sendTo(sender, VIDEO, Bytes{0, 0, 0});
    ASSERT_TRUE(receiveWithin(neighbour, &got, ARRIVES_MS));
    ASSERT_TRUE(receiveWithin(probe, &got, ARRIVES_MS));
    barrier();
    EXPECT_TRUE(linesAbout(console(), DISCOVERY).empty()) << console();
    EXPECT_EQ(1u, linesAbout(console(), neighbourPort).size()) << console();
    close(neighbour);
}

// Two relays on one network, A at 10.9.0.1 and B at 10.9.0.2, each in a
// network namespace of its own joined by a veth pair, each fed video that
// begins with a zero byte as H.264 does. The namespaces belong to this
// process alone, so their names and the veth's collide with nothing and
// vanish with it, even when it is killed.
class TwoRelays : public testing::Test {
protected:
    void SetUp() override {
        std::string why;
        if (!enterFreshNetworkNamespace(&why)) GTEST_SKIP() << "needs network namespaces: " << why;
        namespaceA = open("/proc/self/ns/net", O_RDONLY);  // inherited by ip, as /proc/self/fd/N
        ASSERT_TRUE(enterFreshNetworkNamespace(&why)) << why;
        namespaceB = open("/proc/self/ns/net", O_RDONLY);
        const std::string veth =
            "ip link add relay-b type veth peer name relay-a netns /proc/self/fd/" + std::to_string(namespaceA);
        std::string output;
        if (!run(veth, &output)) {
            if (output.find("Operation not permitted") != std::string::npos ||
                output.find("Unknown device type") != std::string::npos)
                GTEST_SKIP() << "cannot make a veth pair here: " << output;
            FAIL() << veth << ": " << output;
        }
        ASSERT_TRUE(run("ip addr add 10.9.0.2/24 dev relay-b && ip link set relay-b up", &output)) << output;
        relayB = startRelay();
        encoderB = socket(AF_INET, SOCK_DGRAM, 0);
        raw = socket(AF_INET, SOCK_RAW, IPPROTO_RAW);
        ASSERT_GE(raw, 0) << "raw socket: " << std::strerror(errno);
        ASSERT_TRUE(waitUntilListening(relayB)) << relayB.err;

        ASSERT_EQ(0, setns(namespaceA, CLONE_NEWNET)) << std::strerror(errno);
        ASSERT_TRUE(run("ip addr add 10.9.0.1/24 dev relay-a && ip link set relay-a up", &output)) << output;
        relayA = startRelay();
        encoderA = socket(AF_INET, SOCK_DGRAM, 0);
        ASSERT_TRUE(waitUntilListening(relayA)) << relayA.err;
    }

    void TearDown() override {
        stopRelay(relayA);
        stopRelay(relayB);
        for (int fd : {raw, encoderA, encoderB, namespaceA, namespaceB})
            if (fd >= 0) close(fd);
    }

    // Runs a shell command in this process's network namespace; true when it
    // succeeded, with what it printed.
    static bool run(const std::string& command, std::string* output) {
        FILE* shell = popen((command + " 2>&1").c_str(), "r");
        if (shell == nullptr) return false;
        output->clear();
        char chunk[256];
        while (std::fgets(chunk, sizeof chunk, shell) != nullptr) *output += chunk;
        return pclose(shell) == 0;
    }

    RelayRun relayA;
    RelayRun relayB;
    int namespaceA = -1;
    int namespaceB = -1;
    int encoderA = -1;
    int encoderB = -1;
    int raw = -1;  // in B's namespace: forged datagrams travel the veth to A
};

TEST_F(TwoRelays, AForgedRegistrationOfOneWithTheOtherDiesOutAsAnyOther) {
    // A registers B's port 4242 and streams to it. B must not read that video
    // as a registration of A: had it done so, it would stream back, and each
    // relay's video would keep the other's registration fresh for good.
    ASSERT_TRUE(sendForgedTo(raw, "10.9.0.2", DISCOVERY, "10.9.0.1", DISCOVERY, controlDatagram({0})))
        << std::strerror(errno);
    const std::string bRegisteredAtA = "client connected from 10.9.0.2:4242  \n";
    const std::string bLostAtA = "Client 10.9.0.2:4242 lost\n";
    const std::string aRegisteredAtB = "client connected from 10.9.0.1:4242";
    const Bytes video{0, 0, 0, 1, 0x65, 0x88, 0x84};
    const long long end = monotonicMs() + 60000;
    while (monotonicMs() < end && relayA.err.find(bLostAtA) == std::string::npos &&
           relayB.err.find(aRegisteredAtB) == std::string::npos) {
        sendTo(encoderA, VIDEO, video);
        sendTo(encoderB, VIDEO, video);
        waitForStderr(relayA, bLostAtA, 50);
        waitForStderr(relayB, aRegisteredAtB, 50);
    }
    stopRelay(relayA);
    stopRelay(relayB);
    EXPECT_NE(std::string::npos, relayA.err.find(bRegisteredAtA)) << "the forged registration did not reach A:\n"
                                                                  << relayA.err;
    EXPECT_NE(std::string::npos, relayA.err.find(bLostAtA)) << "A never dropped B:\n" << relayA.err;
    EXPECT_EQ(std::string::npos, relayB.err.find(aRegisteredAtB)) << "B took A's video for a registration:\n"
                                                                  << relayB.err;
    EXPECT_NE(std::string::npos, relayB.err.find("video connected\n")) << relayB.err;
}

}  // namespace
