// The real accessory-bridge against emulated phones on an emulated USB bus.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "phone_emulator.h"

namespace {

// Port 3020 is fixed: every test runs in a network namespace of its own.
void enterNetworkNamespace() {
    ASSERT_EQ(unshare(CLONE_NEWNET), 0) << std::strerror(errno);
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    ASSERT_EQ(ioctl(fd, SIOCGIFFLAGS, &request), 0);
    request.ifr_flags |= IFF_UP;
    ASSERT_EQ(ioctl(fd, SIOCSIFFLAGS, &request), 0);
    close(fd);
}

bool udpPortBound(int port) {
    std::ifstream table("/proc/net/udp");
    char wanted[16];
    std::snprintf(wanted, sizeof wanted, ":%04X ", port);
    std::string line;
    while (std::getline(table, line))
        if (line.find(wanted) != std::string::npos && line.find(wanted) < 20) return true;
    return false;
}

void sendDatagram(const std::vector<uint8_t>& bytes) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(3020);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    close(fd);
}

class Bridge : public ::testing::Test {
protected:
    void SetUp() override {
        enterNetworkNamespace();
        busStart();
    }
};

TEST_F(Bridge, HappyPath) {
    const int phone = deviceCreate(aPhone(2));
    devicePlugIn(phone);
    const int accessory = deviceCreate(anAccessory(0x2D01));
    deviceComesBackAs(phone, {accessory});
    BridgeRun run = bridgeStart();
    if (!pumpUntil([] { return udpPortBound(3020); })) { std::vector<std::string> l; waitForBridge(run,&l,1); for (auto& x : l) printf("OUT| %s\n", x.c_str()); printf("%s\n", bridgeLog(run).c_str()); FAIL(); }
    sendDatagram(std::vector<uint8_t>(1, 7));
    ASSERT_TRUE(pumpUntil([&] { return bulkCount(accessory) == 1; })) << bridgeLog(run);
    deviceUnplug(accessory);
    sendDatagram(std::vector<uint8_t>(5, 7));
    std::vector<std::string> lines;
    const int status = waitForBridge(run, &lines);
    for (auto& l : lines) printf("OUT| %s\n", l.c_str());
    printf("%s\n", bridgeLog(run).c_str());
    EXPECT_EQ(status, 0);
}

}  // namespace

int main(int argc, char** argv) {
    runUnderPreload(argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
