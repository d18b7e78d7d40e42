// An emulated USB bus for accessory-bridge tests, built on umockdev: the real
// bridge executable and the real libusb run unchanged as a child process under
// the umockdev preload, and the devices below answer the usbfs ioctls here.
//
// One bus per test process (umockdev allows one testbed). The test's own thread
// is the controller: it changes the bus (re-enumeration, unplugging) while it
// waits in pumpUntil or waitForBridge; the ioctl handlers run on umockdev's
// worker thread and only record what they see and queue replies.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct Endpoint {
    uint8_t address;     // bit 7 set: IN
    uint8_t attributes;  // & 3: 0 control, 1 isochronous, 2 bulk, 3 interrupt
    int maxPacket = -1;  // wMaxPacketSize; -1: 512 for bulk (high speed), 64 for the others
};

struct Interface {
    uint8_t number;
    uint8_t alternate;
    std::vector<Endpoint> endpoints;
};

// The device's answer to each bulk transfer, in order; Accept after the list.
enum class BulkReply { Accept, Stall, Hold };  // Hold: completes only when the host cancels it or the device goes

struct DeviceModel {
    uint16_t vendor = 0;
    uint16_t product = 0;
    uint8_t deviceClass = 0;
    std::vector<Interface> interfaces;
    bool configured = true;      // false: no active configuration to read
    bool openable = true;        // false: its /dev/bus/usb node is missing
    int protocolVersion = -1;    // reply to request 51; -1: the request stalls
    int versionReplyLength = 2;  // bytes of that reply actually sent
    int stallString = -1;        // index of the identification string that stalls
    bool claimBusy = false;      // claiming an interface fails with EBUSY
    bool claimUnplugs = false;   // pulled out at the claim: it and all after fail with ENODEV; sysfs
                                 // still shows it, as the kernel's does for a moment, until deviceUnplug
    std::vector<BulkReply> bulkReplies;
};

// One thing a device saw, in the order seen.
struct Seen {
    enum Kind { Control, Bulk, Claim, ClaimDetaching, Release, Discard } kind;
    std::vector<uint8_t> setup;  // Control: the 8 setup bytes
    std::vector<uint8_t>
        data;            // Control: data sent to the device; Bulk: the bytes written (none: a zero-length packet)
    unsigned value = 0;  // Bulk: endpoint; Claim, Release: interface
};
// One line per thing seen, e.g. `control 40 52 0000 0003 0006 "0.0.1\0"` or
// `bulk 01 len 4097 fnv 1A2B3C4D` (a hash of every byte).
std::string describe(const Seen& seen);
std::string describeBulk(unsigned endpoint, const std::vector<uint8_t>& bytes);

// Ready-made devices.
DeviceModel aPhone(int protocolVersion);    // a phone not yet in accessory mode
DeviceModel anAccessory(uint16_t product);  // 18D1:product, bulk IN 0x81 then bulk OUT 0x01
DeviceModel aMouse();                       // not Android: stalls request 51

// Re-executes the test program under the umockdev preload unless it already
// runs under it: the testbed's uevents resolve devices through its sysfs.
void runUnderPreload(char** argv);
// Creates the testbed with its root hub (bus 1, device 1). Call once, before anything else.
void busStart();
// A device known to the bus but not yet on it; returns its id.
int deviceCreate(const DeviceModel& model);
// Puts a created device on the bus.
void devicePlugIn(int id);
// When `phone` has accepted request 53 it leaves the bus and `comeback` (created,
// not plugged in) appears in its place, before the request is answered; with -1
// it never comes back.
void deviceComesBackAs(int phone, int comeback);
// Takes a device off the bus: a transfer in flight ends with ESHUTDOWN, every later one fails with ENODEV.
void deviceUnplug(int id);
std::vector<Seen> seenBy(int id);
std::vector<std::string> seenTextBy(int id);
int bulkCount(int id);  // zero-length ones included
int rootHub();

struct BridgeRun {
    pid_t pid = -1;
    int outFd = -1;  // the child's standard output
    int errFd = -1;  // its standard error (libusb's own log)
};

// Starts accessory-bridge under the umockdev preload, its standard output
// line-buffered. With BRIDGE_TEST_LEAK_CHECK=1 it runs under valgrind, and a
// leak or memory error makes its exit status 99.
BridgeRun bridgeStart();
// Serves the bus until done() is true; false if the bridge ended first or the
// generous deadline passed.
bool pumpUntil(const std::function<bool()>& done, int deadlineSeconds = 60);
// Serves the bus until the bridge exits; returns its exit status (-1 if killed
// at the deadline) and its standard output split into lines.
int waitForBridge(BridgeRun& run, std::vector<std::string>* lines, int deadlineSeconds = 90);
// The bridge's standard error so far, for failure messages.
std::string bridgeLog(const BridgeRun& run);
