// What the emulated bus cannot reach: the endpoint search and the listing over
// configuration trees set through the link-time fake, and a USB library that
// cannot start.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "fake_config_descriptor.h"
#include "read_all.h"

namespace {

// A configuration tree built from a compact description; it owns its arrays.
struct Tree {
    struct Setting {
        uint8_t number;
        std::vector<libusb_endpoint_descriptor> endpoints;
    };
    // settings[i] are the alternate settings of interface i.
    explicit Tree(const std::vector<std::vector<Setting>>& interfaces) : settings(interfaces) {
        for (auto& alternates : settings) {
            std::vector<libusb_interface_descriptor> described;
            for (Setting& setting : alternates) {
                libusb_interface_descriptor descriptor{};
                descriptor.bInterfaceNumber = setting.number;
                descriptor.bNumEndpoints = static_cast<uint8_t>(setting.endpoints.size());
                descriptor.endpoint = setting.endpoints.data();
                described.push_back(descriptor);
            }
            descriptors.push_back(described);
        }
        for (auto& described : descriptors)
            interfaceList.push_back(libusb_interface{described.data(), static_cast<int>(described.size())});
        config.bNumInterfaces = static_cast<uint8_t>(interfaceList.size());
        config.interface = interfaceList.data();
    }
    std::vector<std::vector<Setting>> settings;
    std::vector<std::vector<libusb_interface_descriptor>> descriptors;
    std::vector<libusb_interface> interfaceList;
    libusb_config_descriptor config{};
};

libusb_endpoint_descriptor endpoint(uint8_t address, uint8_t attributes, uint16_t maxPacket = 512) {
    libusb_endpoint_descriptor descriptor{};
    descriptor.bEndpointAddress = address;
    descriptor.bmAttributes = attributes;
    descriptor.wMaxPacketSize = maxPacket;
    return descriptor;
}

const std::vector<std::vector<Tree::Setting>> NO_INTERFACES;
const uint8_t CONTROL = 0, ISOCHRONOUS = 1, BULK = 2, INTERRUPT = 3;

int searchOver(const Tree& tree) {
    fakeConfigSet(&tree.config);
    return findBulkOut(nullptr);
}

std::string listingOf(const libusb_config_descriptor* config) {
    fakeConfigSet(config);
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    const int capture = memfd_create("listing", 0);
    dup2(capture, STDOUT_FILENO);
    printEnds(nullptr);
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    const std::string text = readAllOf(capture);
    close(capture);
    return text;
}

class Descriptors : public ::testing::Test {
protected:
    void SetUp() override { fakeConfigResetCounts(); }
    // Every tree taken was given back, once.
    void TearDown() override {
        EXPECT_EQ(fakeConfigFreed(), fakeConfigHandedOut());
        EXPECT_EQ(fakeConfigFreedWrongly(), 0);
    }
};

TEST_F(Descriptors, FirstBulkOutInArrayOrderWins) {
    // A bulk IN first, then interface 0's bulk OUTs 3 and 6, then interface 1's bulk OUT 1.
    const Tree tree(
        {{{0, {endpoint(0x81, BULK), endpoint(0x03, BULK), endpoint(0x06, BULK)}}}, {{1, {endpoint(0x01, BULK)}}}});
    EXPECT_EQ(searchOver(tree), 0x03);
    EXPECT_EQ(fakeConfigHandedOut(), 1);
}

TEST_F(Descriptors, AlternateSettingIsSearchedBeforeTheNextInterface) {
    const Tree tree({{{0, {endpoint(0x82, BULK)}}, {0, {endpoint(0x05, BULK)}}}, {{1, {endpoint(0x01, BULK)}}}});
    EXPECT_EQ(searchOver(tree), 0x05);
}

TEST_F(Descriptors, OnlyBulkOutCounts) {
    const Tree tree({{{0,
                       {endpoint(0x81, BULK), endpoint(0x02, INTERRUPT), endpoint(0x03, ISOCHRONOUS),
                        endpoint(0x04, CONTROL), endpoint(0x85, INTERRUPT)}}}});
    EXPECT_EQ(searchOver(tree), -1);
}

// The size is the chosen endpoint's, not that of an earlier one with the same
// address (a zero-bandwidth setting 0; a 64-byte interrupt OUT): the library's
// lookup by address would refuse the first phone and send the second zero-length
// packets after transfers of 64, 128... bytes that need none.
TEST_F(Descriptors, PacketSizeComesFromTheChosenEndpoint) {
    const Tree zeroFirst({{{0, {endpoint(0x01, ISOCHRONOUS, 0)}}, {0, {endpoint(0x81, BULK), endpoint(0x01, BULK)}}}});
    EXPECT_EQ(searchOver(zeroFirst), 0x01);
    EXPECT_EQ(findBulkOutPacketSize(nullptr), 512);
    const Tree interruptFirst({{{0, {endpoint(0x02, INTERRUPT, 64)}}}, {{1, {endpoint(0x02, BULK, 0x1A00)}}}});
    EXPECT_EQ(searchOver(interruptFirst), 0x02);
    EXPECT_EQ(findBulkOutPacketSize(nullptr), 0x200);  // bits 11 and 12 are not bytes
}

TEST_F(Descriptors, SearchOverNothing) {
    const Tree empty(NO_INTERFACES);
    EXPECT_EQ(searchOver(empty), -1);
    const Tree noEndpoints(std::vector<std::vector<Tree::Setting>>{{Tree::Setting{0, {}}}});
    EXPECT_EQ(searchOver(noEndpoints), -1);
    fakeConfigSet(nullptr);  // unreadable: nothing to free
    EXPECT_EQ(findBulkOut(nullptr), -1);
    EXPECT_EQ(fakeConfigHandedOut(), 2);
}

TEST_F(Descriptors, ListingNamesEveryTypeAndNumbersAlternateSettings) {
    const Tree tree({{{0, {endpoint(0x81, BULK), endpoint(0x01, BULK)}}},
                     {{1, {endpoint(0x8F, INTERRUPT)}}, {1, {endpoint(0x02, ISOCHRONOUS), endpoint(0x00, CONTROL)}}},
                     {{2, {}}}});
    EXPECT_EQ(listingOf(&tree.config),
              "Interface 0. altSetting 0. Num of endpoints: 2\n"
              "Endpoint type Bulk IN\nAddress 0081\n"
              "Endpoint type Bulk OUT\nAddress 0001\n"
              "Interface 1. altSetting 0. Num of endpoints: 1\n"
              "Endpoint type Interupt IN\nAddress 008F\n"
              "Interface 1. altSetting 1. Num of endpoints: 2\n"
              "Endpoint type Isochronus OUT\nAddress 0002\n"
              "Endpoint type Control OUT\nAddress 0000\n"
              "Interface 2. altSetting 0. Num of endpoints: 0\n"
              "\n");
    EXPECT_EQ(fakeConfigHandedOut(), 1);
}

TEST_F(Descriptors, ListingOverNothingIsOneEmptyLine) {
    EXPECT_EQ(listingOf(nullptr), "\n");
    const Tree empty(NO_INTERFACES);
    EXPECT_EQ(listingOf(&empty.config), "\n");
}

TEST(Startup, LibraryThatCannotStartEndsSilentlyWith255) {
    const int capture = memfd_create("console", 0);
    const pid_t child = fork();
    if (child == 0) {
        dup2(capture, STDOUT_FILENO);
        execl(BRIDGE_WITHOUT_USB_PATH, BRIDGE_WITHOUT_USB_PATH, static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(readAllOf(capture), "Init USB\n");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 255);
}

}  // namespace
