// The real accessory-bridge against emulated devices on an emulated USB bus.
// Each case checks the console lines in order, the exit status and everything
// each device saw. Each case runs in its own process and network namespace.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "phone_emulator.h"
#include "read_all.h"

namespace {

using Lines = std::vector<std::string>;

// ---- what the console should show ----

Lines operator+(Lines a, const Lines& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Lines START = {"Init USB", "Searching USB accessory..."};

Lines checking(int index, uint16_t vendor, uint16_t product) {
    char ids[32];
    std::snprintf(ids, sizeof ids, "VID: %04X. PID: %04X", vendor, product);
    return {"", "Checking device #" + std::to_string(index), ids};
}

Lines notAndroid() { return {"Sent getProtocol", "Pipe error"}; }
Lines versionOnly() { return {"Sent getProtocol", "Response "}; }
Lines identified(int version = 2) {
    return {"Sent getProtocol", "Response ", "Version Code Device: " + std::to_string(version),
            "Accessory Identification sent"};
}
const Lines STARTED = {"Attempted to put device into accessory mode"};
const Lines NOT_SET_UP = {"", "Error setting up accessory"};
// The root hub at `index`, the last device probed, and then the end of the search.
Lines rootHubThenGiveUp(int index) { return checking(index, 0x1D6B, 0x0002) + notAndroid() + NOT_SET_UP; }
const Lines FOUND = {"", "", "Android Found:"};
const Lines ACCESSORY_LISTING = {"Interface 0. altSetting 0. Num of endpoints: 2",
                                 "Endpoint type Bulk IN",
                                 "Address 0081",
                                 "Endpoint type Bulk OUT",
                                 "Address 0001",
                                 ""};
const Lines CLAIMED = {"Interface claimed, ready to transfer data"};
const Lines FORWARDING = {"Interface claimed, ready to transfer data", "Preparing to write to 0001", "Init UDP input",
                          "Run UDP loop"};
const Lines FINISHED = {"", "Finished"};
const Lines WRITE_FAILED = Lines{"Bulk write error -1"} + FINISHED;
const Lines NOT_BEGUN = {"", "Error in transfer begin"};

// Up to the listing: the phone, first on the bus, identified, restarted and reopened.
Lines phoneFound() { return START + checking(0, 0x04E8, 0x6860) + identified() + STARTED + FOUND; }

// ---- what a device should see ----

std::string getProtocol() { return "control C0 51 0000 0000 0002"; }

Lines identification() {
    const char* const strings[] = {
        "norquelle", "tessivar", "description", "0.0.1", "https://www.norquelle.com/tessivar", "0123456789"};
    Lines lines = {getProtocol()};
    for (int i = 0; i < 6; i++) {
        char setup[64];
        std::snprintf(setup, sizeof setup, "control 40 52 0000 %04X %04zX \"", i, std::strlen(strings[i]) + 1);
        lines.push_back(setup + std::string(strings[i]) + "\\0\"");
    }
    return lines;
}

std::string startAccessory() { return "control 40 53 0000 0000 0000"; }

std::vector<uint8_t> payload(size_t length) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; i++) bytes[i] = static_cast<uint8_t>(i * 31 + length + (i >> 8));
    return bytes;
}

std::string bulkOut(const std::vector<uint8_t>& bytes) { return describeBulk(0x01, bytes); }
// The zero-length packet that ends a transfer whose last packet was full.
const std::string END_OF_TRANSFER = describeBulk(0x01, {});

// ---- the network side ----

void enterNetworkNamespace() {
    ASSERT_EQ(unshare(CLONE_NEWNET), 0) << std::strerror(errno);
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    ASSERT_EQ(ioctl(fd, SIOCGIFFLAGS, &request), 0) << std::strerror(errno);
    request.ifr_flags |= IFF_UP;
    ASSERT_EQ(ioctl(fd, SIOCSIFFLAGS, &request), 0) << std::strerror(errno);
    close(fd);
}

bool bridgeListening() {
    std::ifstream table("/proc/net/udp");
    std::string line;
    while (std::getline(table, line)) {
        unsigned port = 0;  // lines read "  sl: local-address:port remote-address:port ..."
        if (std::sscanf(line.c_str(), " %*d: %*x:%x", &port) == 1 && port == 3020) return true;
    }
    return false;
}

void sendDatagram(const std::vector<uint8_t>& bytes) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(3020);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
              static_cast<ssize_t>(bytes.size()));
    close(fd);
}

class Bridge : public ::testing::Test {
protected:
    void SetUp() override {
        enterNetworkNamespace();
        busStart();
    }

    // A failed case shows all the bridge printed; one still running is ended first.
    void TearDown() override {
        if (run.pid > 0 && status == -2) finish(0);
        if (!HasFailure()) return;
        std::printf("--- the bridge's console:\n");
        for (const std::string& line : console) std::printf("%s\n", line.c_str());
        std::printf("--- its standard error:\n%s--- (status %d)\n", log.c_str(), status);
    }

    // Runs the bridge to its end; fails the test if it never ends (killed at the deadline).
    void finish(int deadlineSeconds = 90) {
        status = waitForBridge(run, &console, deadlineSeconds);
        log = bridgeLog(run);
    }

    void expectEnd(const Lines& expectedConsole, int expectedStatus) {
        EXPECT_EQ(console, expectedConsole) << log;
        EXPECT_EQ(status, expectedStatus) << log;
    }

    void startAndWaitForForwarding() {
        run = bridgeStart();
        ASSERT_TRUE(pumpUntil(bridgeListening)) << "the bridge never listened on 3020";
    }

    // A phone that answers version 2 and comes back as `accessory`.
    int phoneBecoming(int accessory) {
        const int phone = deviceCreate(aPhone(2));
        devicePlugIn(phone);
        deviceComesBackAs(phone, accessory);
        return phone;
    }

    // A phone that comes back as an accessory of this model, the bridge run to
    // its end before forwarding; returns the accessory.
    int runAgainstAccessory(const DeviceModel& model) {
        const int accessory = deviceCreate(model);
        phoneBecoming(accessory);
        run = bridgeStart();
        finish();
        return accessory;
    }

    BridgeRun run;
    Lines console;
    int status = -2;
    std::string log;
};

// ---- finding the phone ----

// No phone, and a device that stays plugged in: a fault, whatever else the walk met.
// After it in the walk comes a hub whose node vanished; hubs never count, so its
// "no such device" says nothing of the device before it.
struct DeviceThatStays {
    const char* name;
    DeviceModel model;
    Lines answer;  // what the bridge prints for it after its VID line
    Lines seen;
};

DeviceModel unopenable(DeviceModel model) {
    model.openable = false;
    return model;
}

void PrintTo(const DeviceThatStays& stays, std::ostream* out) { *out << stays.name; }

const char* const NO_DEVICE = "No such device (it may have been disconnected)";

class BridgeWithoutPhone : public Bridge, public ::testing::WithParamInterface<DeviceThatStays> {};

TEST_P(BridgeWithoutPhone, DeviceStillPluggedInIsAFault) {
    DeviceModel hub;
    hub.vendor = 0x05E3;
    hub.product = 0x0608;
    hub.deviceClass = 9;
    devicePlugIn(deviceCreate(unopenable(hub)));
    const DeviceModel& model = GetParam().model;
    const int stays = deviceCreate(model);
    devicePlugIn(stays);
    run = bridgeStart();
    finish();
    expectEnd(START + checking(0, model.vendor, model.product) + GetParam().answer + checking(1, 0x05E3, 0x0608) +
                  Lines{NO_DEVICE} + rootHubThenGiveUp(2),
              255);
    EXPECT_EQ(seenTextBy(stays), GetParam().seen);
    EXPECT_EQ(seenTextBy(rootHub()), Lines{getProtocol()});
}

INSTANTIATE_TEST_SUITE_P(Stays, BridgeWithoutPhone,
                         ::testing::Values(DeviceThatStays{"Mouse", aMouse(), notAndroid(), {getProtocol()}},
                                           DeviceThatStays{"UnopenablePhone", unopenable(aPhone(2)), {NO_DEVICE}, {}}),
                         [](const ::testing::TestParamInfo<DeviceThatStays>& info) { return info.param.name; });

TEST_F(Bridge, UnsupportedProtocolVersionsAreGivenUpSilently) {
    const int version0 = deviceCreate(aPhone(0));
    DeviceModel emptyReply = aPhone(2);
    emptyReply.versionReplyLength = 0;  // the reply must read as version 0, not as stale bytes
    const int empty = deviceCreate(emptyReply);
    const int version3 = deviceCreate(aPhone(3));
    for (int id : {version0, empty, version3}) devicePlugIn(id);
    run = bridgeStart();
    finish();
    expectEnd(START + checking(0, 0x04E8, 0x6860) + versionOnly() + checking(1, 0x04E8, 0x6860) + versionOnly() +
                  checking(2, 0x04E8, 0x6860) + versionOnly() + rootHubThenGiveUp(3),
              255);
    for (int id : {version0, empty, version3}) EXPECT_EQ(seenTextBy(id), Lines{getProtocol()}) << id;
}

TEST_F(Bridge, StalledStringEndsTheIdentification) {
    DeviceModel model = aPhone(2);
    model.stallString = 3;
    const int phone = deviceCreate(model);
    devicePlugIn(phone);
    run = bridgeStart();
    finish();
    expectEnd(START + checking(0, 0x04E8, 0x6860) +
                  Lines{"Sent getProtocol", "Response ", "Version Code Device: 2", "Pipe error"} + rootHubThenGiveUp(1),
              255);
    const Lines all = identification();
    EXPECT_EQ(seenTextBy(phone), Lines(all.begin(), all.begin() + 5));  // strings 0 to 3, nothing after
}

// After the start request the phone leaves the bus and nothing comes back in the six
// attempts. Its empty port is no unplug: a phone that fails to enumerate leaves it so.
TEST_F(Bridge, PhoneThatNeverComesBackIsGivenUp) {
    const int phone = deviceCreate(aPhone(2));
    devicePlugIn(phone);
    deviceComesBackAs(phone, -1);
    run = bridgeStart();
    finish();
    expectEnd(
        START + checking(0, 0x04E8, 0x6860) + identified() + STARTED + Lines{"Could not..."} + rootHubThenGiveUp(1),
        255);
    EXPECT_EQ(seenTextBy(phone), identification() + Lines{startAccessory()});
}

// Back at its port, but not as an accessory: a phone that refuses, still plugged in.
TEST_F(Bridge, PhoneThatComesBackAsSomethingElseIsAFault) {
    const int phone = deviceCreate(aPhone(2));
    devicePlugIn(phone);
    deviceComesBackAs(phone, deviceCreate(aMouse()));
    run = bridgeStart();
    finish();
    expectEnd(
        START + checking(0, 0x04E8, 0x6860) + identified() + STARTED + Lines{"Could not..."} + rootHubThenGiveUp(1),
        255);
}

// ---- the handshake through to forwarding ----

// The phone is unplugged while the last transfer waits for it: a failed transfer.
TEST_F(Bridge, HappyPathForwardsEachDatagramAsOneTransferUntilUnplugged) {
    DeviceModel model = anAccessory(0x2D01);
    model.interfaces.push_back({1, 0, {{0x83, 3}, {0x04, 1}}});
    model.interfaces.push_back({1, 1, {{0x02, 2}}});  // a later bulk OUT: not the one chosen
    model.bulkReplies.assign(9, BulkReply::Accept);
    model.bulkReplies.push_back(BulkReply::Hold);
    const int accessory = deviceCreate(model);
    const int phone = phoneBecoming(accessory);
    startAndWaitForForwarding();

    // 12,000 bytes arrive cut to 10,000; the empty datagram makes no transfer. 512 and 1024 fill
    // their last 512-byte packet: each is ended by a zero-length packet, the last one too.
    const std::vector<std::vector<uint8_t>> sent = {payload(1),     payload(512), payload(4097), payload(10000),
                                                    payload(12000), payload(0),   payload(3),    payload(1024)};
    for (const auto& datagram : sent) sendDatagram(datagram);
    EXPECT_TRUE(pumpUntil([&] { return bulkCount(accessory) == 9; }));
    sendDatagram(payload(5));
    EXPECT_TRUE(pumpUntil([&] { return bulkCount(accessory) == 10; }));
    deviceUnplug(accessory);
    finish();

    const Lines listing = {"Interface 0. altSetting 0. Num of endpoints: 2",
                           "Endpoint type Bulk IN",
                           "Address 0081",
                           "Endpoint type Bulk OUT",
                           "Address 0001",
                           "Interface 1. altSetting 0. Num of endpoints: 2",
                           "Endpoint type Interupt IN",
                           "Address 0083",
                           "Endpoint type Isochronus OUT",
                           "Address 0004",
                           "Interface 1. altSetting 1. Num of endpoints: 1",
                           "Endpoint type Bulk OUT",
                           "Address 0002",
                           ""};
    expectEnd(phoneFound() + listing + FORWARDING + WRITE_FAILED, 0);
    EXPECT_EQ(seenTextBy(phone), identification() + Lines{startAccessory()});
    const std::vector<uint8_t> cut(sent[4].begin(), sent[4].begin() + 10000);
    EXPECT_EQ(seenTextBy(accessory), (Lines{"claim 0", bulkOut(sent[0]), bulkOut(sent[1]), END_OF_TRANSFER,
                                            bulkOut(sent[2]), bulkOut(sent[3]), bulkOut(cut), bulkOut(sent[6]),
                                            bulkOut(sent[7]), END_OF_TRANSFER, bulkOut(payload(5)), "release 0"}));
}

// With no datagram to write, the bridge hears of the phone leaving from libusb's
// hotplug events and ends as after a failed transfer, without one.
TEST_F(Bridge, UnplugWithNoTrafficEndsForwarding) {
    const int accessory = deviceCreate(anAccessory(0x2D00));
    phoneBecoming(accessory);
    startAndWaitForForwarding();
    deviceUnplug(accessory);
    finish();

    expectEnd(phoneFound() + ACCESSORY_LISTING + FORWARDING + FINISHED, 0);
    EXPECT_EQ(seenTextBy(accessory), (Lines{"claim 0", "release 0"}));
}

// A wait for a datagram that cannot be made ends forwarding as a failed receive
// does, rather than being retried without end: here poll is refused because it
// watches more descriptors than the process may now hold. libusb's own wait in a
// transfer watches three (its event and timer descriptors and the phone's), the
// bridge's wait one more, its socket.
TEST_F(Bridge, FailedWaitEndsForwarding) {
    // A leak check at the bridge's exit would need descriptors this case takes away.
    if (const char* asan = std::getenv("ASAN_OPTIONS"))
        setenv("ASAN_OPTIONS", (std::string(asan) + " detect_leaks=0").c_str(), 1);
    const int accessory = deviceCreate(anAccessory(0x2D00));
    phoneBecoming(accessory);
    startAndWaitForForwarding();
    const rlimit few = {3, 3};
    ASSERT_EQ(prlimit(run.pid, RLIMIT_NOFILE, &few, nullptr), 0) << std::strerror(errno);
    sendDatagram(payload(10));  // wakes a wait begun before the limit
    finish();

    expectEnd(phoneFound() + ACCESSORY_LISTING + FORWARDING + FINISHED, 0);
    const Lines seen = seenTextBy(accessory);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.front(), "claim 0");
    EXPECT_EQ(seen.back(), "release 0");
}

// At full speed (64-byte packets) a 64-byte datagram fills its packet; a stalled one gets no end.
TEST_F(Bridge, PhoneAlreadyInAccessoryModeIsIdentifiedNotRestarted) {
    DeviceModel model = anAccessory(0x2D01);
    model.interfaces = {{0, 0, {{0x81, 2, 64}, {0x01, 2, 64}}}};
    model.bulkReplies = {BulkReply::Accept, BulkReply::Accept, BulkReply::Accept, BulkReply::Stall};
    const int accessory = deviceCreate(model);
    devicePlugIn(accessory);
    startAndWaitForForwarding();
    sendDatagram(payload(64));
    sendDatagram(payload(100));
    sendDatagram(payload(128));
    finish();

    expectEnd(
        START + checking(0, 0x18D1, 0x2D01) + identified() + FOUND + ACCESSORY_LISTING + FORWARDING + WRITE_FAILED, 0);
    // The handle of the walk asked for kernel drivers to be detached on claim.
    EXPECT_EQ(seenTextBy(accessory),
              (identification() + Lines{"claim 0 detaching", bulkOut(payload(64)), END_OF_TRANSFER,
                                        bulkOut(payload(100)), bulkOut(payload(128)), "release 0"}));
}

// Both accessories are on the bus before the bridge starts, so its first reopen
// sees both whatever the scheduling; the phone itself never comes back. The bus
// lists the phone first (the walk starts there), then 2D00: a bridge taking the
// first accessory it meets would take the wrong one.
TEST_F(Bridge, ReopenPrefers2D01To2D00) {
    DeviceModel model = anAccessory(0x2D01);
    model.bulkReplies = {BulkReply::Stall};
    const int withAdb = deviceCreate(model);
    const int plain = deviceCreate(anAccessory(0x2D00));
    const int phone = deviceCreate(aPhone(1));
    for (int id : {withAdb, plain, phone}) devicePlugIn(id);
    deviceComesBackAs(phone, -1);
    startAndWaitForForwarding();
    sendDatagram(payload(64));
    finish();

    expectEnd(START + checking(0, 0x04E8, 0x6860) + identified(1) + STARTED + FOUND + ACCESSORY_LISTING + FORWARDING +
                  WRITE_FAILED,
              0);
    EXPECT_EQ(seenTextBy(phone), identification() + Lines{startAccessory()});
    EXPECT_EQ(seenTextBy(withAdb), (Lines{"claim 0", bulkOut(payload(64)), "release 0"}));
    EXPECT_EQ(seenTextBy(plain), Lines{});
}

// The stall hits the zero-length packet after 1024 bytes: a write error like any other.
TEST_F(Bridge, BulkStallEndsForwarding) {
    DeviceModel model = anAccessory(0x2D00);
    model.bulkReplies = {BulkReply::Accept, BulkReply::Accept, BulkReply::Stall};
    const int accessory = deviceCreate(model);
    const int phone = phoneBecoming(accessory);
    startAndWaitForForwarding();
    sendDatagram(payload(10));
    sendDatagram(payload(1024));
    sendDatagram(payload(20));
    finish();

    expectEnd(phoneFound() + ACCESSORY_LISTING + FORWARDING + WRITE_FAILED, 0);
    EXPECT_EQ(seenTextBy(phone), identification() + Lines{startAccessory()});
    EXPECT_EQ(seenTextBy(accessory),
              (Lines{"claim 0", bulkOut(payload(10)), bulkOut(payload(1024)), END_OF_TRANSFER, "release 0"}));
}

TEST_F(Bridge, BulkTimeoutEndsForwarding) {
    DeviceModel model = anAccessory(0x2D00);
    model.bulkReplies = {BulkReply::Hold};
    const int accessory = deviceCreate(model);
    phoneBecoming(accessory);
    startAndWaitForForwarding();
    sendDatagram(payload(300));
    finish();

    expectEnd(phoneFound() + ACCESSORY_LISTING + FORWARDING + WRITE_FAILED, 0);
    // libusb cancels the transfer at the end of its 5000 ms.
    EXPECT_EQ(seenTextBy(accessory), (Lines{"claim 0", bulkOut(payload(300)), "discard", "release 0"}));
}

// ---- claim and endpoint failures ----

TEST_F(Bridge, ClaimBusyEndsTheProgram) {
    DeviceModel model = anAccessory(0x2D00);
    model.claimBusy = true;
    const int accessory = runAgainstAccessory(model);

    expectEnd(phoneFound() + ACCESSORY_LISTING + Lines{"Resource busy"} + NOT_BEGUN, 255);
    EXPECT_EQ(seenTextBy(accessory), Lines{"claim 0"});  // libusb releases only what it claimed
}

// Pulled out at the claim: no fault, the end of an unplug. The kernel takes the
// device off the bus only after the claim failed, so its port empties late.
TEST_F(Bridge, PhoneGoneAtTheClaimEndsAsAnUnplug) {
    DeviceModel model = anAccessory(0x2D00);
    model.claimUnplugs = true;
    const int accessory = deviceCreate(model);
    phoneBecoming(accessory);
    run = bridgeStart();
    ASSERT_TRUE(
        pumpUntil([&] { return readAllOf(run.outFd).find("\nError in transfer begin\n") != std::string::npos; }));
    deviceUnplug(accessory);
    finish();

    expectEnd(phoneFound() + ACCESSORY_LISTING + Lines{NO_DEVICE} + NOT_BEGUN, 0);
    EXPECT_EQ(seenTextBy(accessory), Lines{"claim 0"});
}

TEST_F(Bridge, AccessoryWithoutBulkOutEndsTheProgram) {
    DeviceModel model = anAccessory(0x2D00);
    model.interfaces = {{0, 0, {{0x81, 2}, {0x02, 3}}}};  // an interrupt OUT is not a bulk OUT
    const int accessory = runAgainstAccessory(model);

    expectEnd(phoneFound() +
                  Lines{"Interface 0. altSetting 0. Num of endpoints: 2", "Endpoint type Bulk IN", "Address 0081",
                        "Endpoint type Interupt OUT", "Address 0002", ""} +
                  CLAIMED + NOT_BEGUN,
              255);
    EXPECT_EQ(seenTextBy(accessory), (Lines{"claim 0", "release 0"}));
}

// Without a packet size no transfer could be told to need a zero-length end.
TEST_F(Bridge, BulkOutWithoutPacketSizeEndsTheProgram) {
    DeviceModel model = anAccessory(0x2D00);
    model.interfaces = {{0, 0, {{0x81, 2}, {0x01, 2, 0x1800}}}};  // only the bits above the size are set
    const int accessory = runAgainstAccessory(model);

    expectEnd(phoneFound() + ACCESSORY_LISTING + CLAIMED + NOT_BEGUN, 255);
    EXPECT_EQ(seenTextBy(accessory), (Lines{"claim 0", "release 0"}));
}

TEST_F(Bridge, UnreadableConfigurationListsNothingAndEndsTheProgram) {
    DeviceModel model = anAccessory(0x2D01);
    model.configured = false;
    const int accessory = runAgainstAccessory(model);

    expectEnd(phoneFound() + Lines{""} + CLAIMED + NOT_BEGUN, 255);
    EXPECT_EQ(seenTextBy(accessory), (Lines{"claim 0", "release 0"}));
}

TEST_F(Bridge, TakenUdpPortEndsWithStatus1AndNoShutdown) {
    const int taken = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(3020);
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const int accessory = runAgainstAccessory(anAccessory(0x2D01));
    close(taken);

    expectEnd(phoneFound() + ACCESSORY_LISTING +
                  Lines{"Interface claimed, ready to transfer data", "Preparing to write to 0001", "Init UDP input",
                        "UDP bind failed"},
              1);
    EXPECT_EQ(seenTextBy(accessory), Lines{"claim 0"});  // the interface is left to process exit
}

}  // namespace

int main(int argc, char** argv) {
    runUnderPreload(argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
