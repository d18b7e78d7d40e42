// The viewer protocol in one process: control datagrams handed to the
// discovery handler with real loopback senders, and the fan-out sending
// through a real socket to real viewer sockets.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "client_table.h"
#include "discovery.h"
#include "relay_harness.h"
#include "video.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int ARRIVES_MS = 2000;  // generous: something must arrive
constexpr int ABSENT_MS = 200;    // how long we listen for nothing

sockaddr_in senderAt(uint16_t port, uint32_t address) {
    sockaddr_in sender{};
    sender.sin_family = AF_INET;
    sender.sin_port = htons(port);
    sender.sin_addr.s_addr = htonl(address);
    return sender;
}

class Endpoint : public testing::Test {
protected:
    void SetUp() override {
        std::memset(clients, 0, sizeof clients);
        frameSequence = 0;
        discoverySocket = openViewerSocket(&relayPort);
        viewer = openViewerSocket(&viewerPort);
        viewer2 = openViewerSocket(&viewer2Port);
    }
    void TearDown() override {
        close(discoverySocket);
        close(viewer);
        close(viewer2);
        discoverySocket = -1;
    }
    // Hands a datagram (in a buffer exactly its size) to the handler and
    // returns what it printed on standard error.
    std::string handle(const Bytes& datagram, uint16_t fromPort, uint32_t fromAddress = INADDR_LOOPBACK) {
        const sockaddr_in sender = senderAt(fromPort, fromAddress);
        testing::internal::CaptureStderr();
        handleDiscoveryDatagram(datagram.data(), static_cast<ssize_t>(datagram.size()), sender);
        return testing::internal::GetCapturedStderr();
    }
    std::string connectedLine(uint16_t port, bool dataOnly) {
        return "client connected from 127.0.0.1:" + std::to_string(port) + (dataOnly ? " (only data)\n" : "  \n");
    }

    uint16_t relayPort = 0;
    int viewer = -1;
    uint16_t viewerPort = 0;
    int viewer2 = -1;
    uint16_t viewer2Port = 0;
};

TEST_F(Endpoint, RegistrationIsAcknowledgedOnceWithOneByteFromTheRelaySocket) {
    const Bytes anyHeader = controlDatagram({}, 0xFF);  // 0x42 then eleven 0xFF: a full viewer
    EXPECT_EQ(connectedLine(viewerPort, false), handle(anyHeader, viewerPort));

    Bytes reply;
    sockaddr_in from{};
    ASSERT_TRUE(receiveWithin(viewer, &reply, ARRIVES_MS, &from));
    EXPECT_EQ(Bytes{0x42}, reply);
    EXPECT_EQ(relayPort, ntohs(from.sin_port));

    // Keep-alives refresh silently.
    EXPECT_EQ("", handle(controlDatagram({CMD_REGISTER, 0}), viewerPort));
    EXPECT_FALSE(receiveWithin(viewer, &reply, ABSENT_MS));
    EXPECT_EQ(1, countClients());
    EXPECT_EQ(0, clients[0].flags);
}

TEST_F(Endpoint, OptionOneMakesADataOnlyViewerAndOtherOptionsAFullOne) {
    EXPECT_EQ(connectedLine(viewerPort, true),
              handle(controlDatagram({CMD_REGISTER, OPT_DATA_ONLY, 9, 9}), viewerPort));
    EXPECT_EQ(CLIENT_DATA_ONLY, clients[0].flags);
    // 3, not 2: an option read as a bit mask would make it data-only.
    EXPECT_EQ(connectedLine(viewer2Port, false), handle(controlDatagram({CMD_REGISTER, 3}), viewer2Port));
    EXPECT_EQ(0, clients[1].flags);
    Bytes reply;
    EXPECT_TRUE(receiveWithin(viewer, &reply, ARRIVES_MS));
    EXPECT_TRUE(receiveWithin(viewer2, &reply, ARRIVES_MS));
}

TEST_F(Endpoint, RemovalReportsOnlyAViewerThatWasThere) {
    handle(controlDatagram({}), viewerPort);
    EXPECT_EQ("", handle(controlDatagram({CMD_REMOVE}), viewer2Port));
    EXPECT_EQ("client 127.0.0.1:" + std::to_string(viewerPort) + " removed\n",
              handle(controlDatagram({CMD_REMOVE}), viewerPort));
    EXPECT_EQ("", handle(controlDatagram({CMD_REMOVE}), viewerPort));
    EXPECT_EQ(0, countClients());
}

TEST_F(Endpoint, DatagramsThatAreNotCommandsChangeNothing) {
    // Shorter than the header, with the magic: ignored, never read past the end.
    for (size_t length = 1; length < RELAY_HEADER_SIZE; ++length) {
        Bytes shortOne(length, 0);
        shortOne[0] = 0x42;
        EXPECT_EQ("", handle(shortOne, viewerPort)) << length;
    }
    Bytes wrongMagic = controlDatagram({CMD_REGISTER});
    wrongMagic[0] = 0x43;
    EXPECT_EQ("", handle(wrongMagic, viewerPort));
    // The relay's own address on loopback.
    EXPECT_EQ("", handle(controlDatagram({CMD_REGISTER}), DISCOVERY_PORT));
    EXPECT_EQ(0, countClients());
    Bytes reply;
    EXPECT_FALSE(receiveWithin(viewer, &reply, ABSENT_MS));

    // Unknown commands neither register nor remove a viewer that is there.
    EXPECT_EQ(connectedLine(viewerPort, false), handle(controlDatagram({}), viewerPort));
    EXPECT_TRUE(receiveWithin(viewer, &reply, ARRIVES_MS));
    EXPECT_EQ("", handle(controlDatagram({2}), viewerPort));
    EXPECT_EQ("", handle(controlDatagram({0xFF, OPT_DATA_ONLY}), viewerPort));
    EXPECT_EQ("", handle(controlDatagram({2}), viewer2Port));
    EXPECT_EQ(1, countClients());
    EXPECT_EQ(0, clients[0].flags);

    // The same address on any other port, and port 4242 of any other address,
    // are viewers like any other.
    EXPECT_EQ(connectedLine(DISCOVERY_PORT + 1, false), handle(controlDatagram({}), DISCOVERY_PORT + 1));
    EXPECT_EQ("client connected from 10.1.2.3:4242  \n", handle(controlDatagram({}), DISCOVERY_PORT, 0x0A010203));

    // Another relay's video (port 4242 and kind 1) neither removes nor
    // registers, whatever its payload; kind 1 from any other port is a viewer.
    Bytes relayVideo = controlDatagram({CMD_REMOVE, 0, 0, 1});
    relayVideo[1] = KIND_VIDEO;
    EXPECT_EQ("", handle(relayVideo, DISCOVERY_PORT, 0x0A010203));
    relayVideo[RELAY_HEADER_SIZE] = CMD_REGISTER;
    EXPECT_EQ("", handle(relayVideo, DISCOVERY_PORT, 0x0A010204));
    EXPECT_EQ(3, countClients());
    EXPECT_EQ(connectedLine(DISCOVERY_PORT + 2, false), handle(relayVideo, DISCOVERY_PORT + 2));
}

// One second of silence is allowed; the next millisecond is a stop, reported
// once, and the clock wrapping in between changes nothing.
TEST(VideoPresence, StopReportedOnceAfterMoreThanOneSecondOfSilence) {
    for (const int32_t last : {1000, INT32_MAX - 500}) {
        lastVideoMs.store(last);
        videoConnected.store(true);
        const auto checkAt = [](int64_t now) {
            testing::internal::CaptureStderr();
            checkVideoPresenceAt(static_cast<int32_t>(static_cast<uint32_t>(now)));
            return testing::internal::GetCapturedStderr();
        };
        EXPECT_EQ("", checkAt(int64_t{last} + 1000)) << last;
        EXPECT_TRUE(videoConnected.load());
        EXPECT_EQ("video disconnected\n", checkAt(int64_t{last} + 1001)) << last;
        EXPECT_FALSE(videoConnected.load());
        EXPECT_EQ("", checkAt(int64_t{last} + 5000)) << last;
    }
}

TEST_F(Endpoint, HeaderBytesAreExactAndTheSequenceLittleEndian) {
    uint8_t header[RELAY_HEADER_SIZE];
    encodeRelayHeader(header, KIND_VIDEO, 3);
    const uint8_t fourth[] = {0x42, 0x01, 0, 0, 0x03, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(fourth, header, sizeof header));
    encodeRelayHeader(header, 7, 0x12345678);
    const uint8_t mixed[] = {0x42, 0x07, 0, 0, 0x78, 0x56, 0x34, 0x12, 0, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(mixed, header, sizeof header));
    encodeRelayHeader(header, 0, 0xFFFFFFFF);
    const uint8_t last[] = {0x42, 0x00, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(last, header, sizeof header));
}

TEST_F(Endpoint, FanOutSendsIdenticalNumberedDatagramsToFullViewersOnly) {
    int dataOnly = openViewerSocket();
    sockaddr_in dataOnlyAddress{};
    socklen_t length = sizeof dataOnlyAddress;
    getsockname(dataOnly, reinterpret_cast<sockaddr*>(&dataOnlyAddress), &length);
    ASSERT_EQ(1, registerClient("127.0.0.1", viewerPort, 0));
    ASSERT_EQ(1, registerClient("127.0.0.1", ntohs(dataOnlyAddress.sin_port), CLIENT_DATA_ONLY));
    ASSERT_EQ(1, registerClient("127.0.0.1", 0, 0));
    ASSERT_EQ(1, registerClient("127.0.0.1", viewer2Port, 0));

    const uint8_t first[] = {'I', 0, 'P', 0xFF};
    frameSequence = 0xFFFFFFFE;
    broadcastFrame(first, sizeof first, KIND_VIDEO);
    broadcastFrame(first, 0, KIND_VIDEO);
    EXPECT_EQ(0u, frameSequence);

    const Bytes expectFirst = {0x42, 1, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 'I', 0, 'P', 0xFF};
    const Bytes expectSecond = {0x42, 1, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0};
    for (int fd : {viewer, viewer2}) {
        Bytes got;
        sockaddr_in from{};
        ASSERT_TRUE(receiveWithin(fd, &got, ARRIVES_MS, &from));
        EXPECT_EQ(expectFirst, got);
        EXPECT_EQ(relayPort, ntohs(from.sin_port));
        ASSERT_TRUE(receiveWithin(fd, &got, ARRIVES_MS));
        EXPECT_EQ(expectSecond, got);
    }
    Bytes none;
    EXPECT_FALSE(receiveWithin(dataOnly, &none, ABSENT_MS));
    close(dataOnly);
}

TEST_F(Endpoint, FanOutCountsWithoutViewersAndSurvivesAnOversizedPayload) {
    static uint8_t payload[VIDEO_MAX_DATAGRAM];
    for (int i = 0; i < VIDEO_MAX_DATAGRAM; ++i) payload[i] = static_cast<uint8_t>(i * 7);
    broadcastFrame(payload, 100, KIND_VIDEO);
    broadcastFrame(payload, 100, KIND_VIDEO);
    EXPECT_EQ(2u, frameSequence);

    ASSERT_EQ(1, registerClient("127.0.0.1", viewerPort, 0));
    // 65,496 bytes and more cannot travel behind the header; the send fails
    // quietly and the next datagram still goes out.
    broadcastFrame(payload, VIDEO_MAX_DATAGRAM, KIND_VIDEO);
    broadcastFrame(payload, 65495, KIND_VIDEO);
    Bytes got;
    ASSERT_TRUE(receiveWithin(viewer, &got, ARRIVES_MS));
    ASSERT_EQ(65495u + RELAY_HEADER_SIZE, got.size());
    EXPECT_EQ(3, got[4]);
    EXPECT_EQ(0, std::memcmp(payload, got.data() + RELAY_HEADER_SIZE, 65495));
}

TEST_F(Endpoint, FanOutSkipsViewersWhoseSendFailsAndReachesTheRest) {
    // Broadcast without SO_BROADCAST is refused by the kernel; the text is
    // no address at all. They sit before and between the real viewers, so
    // one batch of sends stops after a viewer that was reached.
    ASSERT_EQ(1, registerClient("255.255.255.255", 4000, 0));
    ASSERT_EQ(1, registerClient("127.0.0.1", viewerPort, 0));
    ASSERT_EQ(1, registerClient("255.255.255.255", 4002, 0));
    ASSERT_EQ(1, registerClient("no.such.address", 4001, 0));
    ASSERT_EQ(1, registerClient("127.0.0.1", viewer2Port, 0));

    const uint8_t payload[] = {'P', 'Q'};
    broadcastFrame(payload, sizeof payload, KIND_VIDEO);
    broadcastFrame(payload, sizeof payload, KIND_VIDEO);
    for (int fd : {viewer, viewer2}) {
        for (uint8_t sequence : {0, 1}) {
            Bytes got;
            ASSERT_TRUE(receiveWithin(fd, &got, ARRIVES_MS));
            EXPECT_EQ((Bytes{0x42, 1, 0, 0, sequence, 0, 0, 0, 0, 0, 0, 0, 'P', 'Q'}), got);
        }
    }
}

}  // namespace
