#include "phone_emulator.h"

#include <linux/usbdevice_fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <umockdev.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <sstream>

#include "read_all.h"

namespace {

// Capabilities a current kernel reports for usbfs.
const uint32_t USBFS_CAPS = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                            USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;

// A submitted URB waiting to be reaped.
struct PendingUrb {
    UMockdevIoctlData* urb = nullptr;  // our reference to the client's usbdevfs_urb
    int status = 0;                    // written into the URB when reaped
    int actualLength = 0;
    std::vector<uint8_t> reply;  // control IN: the data phase
    bool ready = true;           // false: held until discarded, unplugged or, for request 53, re-enumerated
    bool startsAccessory = false;
};

struct Device {
    DeviceModel model;
    std::string sysPath;
    std::string devNode;
    int devNum = 0;
    UMockdevIoctlBase* handler = nullptr;
    // Below: shared with the handler thread, under busLock.
    bool gone = false;
    std::vector<Seen> seen;
    std::deque<PendingUrb> pending;
    int bulkIndex = 0;
    int comeback = -1;  // the device it re-enumerates as; -1: none
    bool comebackDue = false;
};

UMockdevTestbed* testbed = nullptr;
std::vector<std::unique_ptr<Device>> devices;
int nextDevNum = 1;
int nextPort = 1;
std::mutex busLock;
std::condition_variable busChanged;  // the handler thread has news for the controller
pid_t bridgePid = -1;

bool bridgeEnded() {
    siginfo_t info{};
    return bridgePid > 0 && waitid(P_PID, static_cast<id_t>(bridgePid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == bridgePid;
}

std::string hex(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (uint8_t byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

void put16(std::vector<uint8_t>& bytes, uint16_t value) {
    bytes.push_back(static_cast<uint8_t>(value & 0xFF));
    bytes.push_back(static_cast<uint8_t>(value >> 8));
}

// The sysfs `descriptors` file: device descriptor, then the one configuration.
std::vector<uint8_t> descriptors(const DeviceModel& model) {
    std::vector<uint8_t> bytes = {18, 1, 0x00, 0x02, model.deviceClass, 0, 0, 64};
    put16(bytes, model.vendor);
    put16(bytes, model.product);
    put16(bytes, 0x0100);
    bytes.insert(bytes.end(), {0, 0, 0, 1});

    std::vector<uint8_t> body;
    uint8_t interfaceCount = 0;
    for (const Interface& interface : model.interfaces) {
        if (interface.alternate == 0) interfaceCount++;
        body.insert(body.end(), {9, 4, interface.number, interface.alternate,
                                 static_cast<uint8_t>(interface.endpoints.size()), 0xFF, 0, 0, 0});
        for (const Endpoint& endpoint : interface.endpoints) {
            body.insert(body.end(), {7, 5, endpoint.address, endpoint.attributes});
            const int standard = (endpoint.attributes & 3) == 2 ? 512 : 64;
            put16(body, static_cast<uint16_t>(endpoint.maxPacket >= 0 ? endpoint.maxPacket : standard));
            body.push_back((endpoint.attributes & 3) == 2 ? 0 : 1);
        }
    }
    bytes.insert(bytes.end(), {9, 2});
    put16(bytes, static_cast<uint16_t>(9 + body.size()));
    bytes.insert(bytes.end(), {interfaceCount, 1, 0, 0x80, 50});
    bytes.insert(bytes.end(), body.begin(), body.end());
    return bytes;
}

// ---- the handler side (umockdev's worker thread) ----

UMockdevIoctlData* resolveArg(UMockdevIoctlClient* client, size_t length) {
    return umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, length, nullptr);
}

// Decides the answer to a control request and records it.
void submitControl(Device& device, PendingUrb& urb, const uint8_t* buffer, int length) {
    Seen seen{Seen::Control, std::vector<uint8_t>(buffer, buffer + 8), {}, 0};
    const uint8_t requestType = buffer[0];
    const uint8_t request = buffer[1];
    const uint16_t index = static_cast<uint16_t>(buffer[4] | buffer[5] << 8);
    const int dataLength = length - 8;
    if ((requestType & 0x80) == 0) seen.data.assign(buffer + 8, buffer + length);
    device.seen.push_back(seen);

    const DeviceModel& model = device.model;
    if (requestType == 0xC0 && request == 51 && model.protocolVersion >= 0) {
        const uint8_t version[2] = {static_cast<uint8_t>(model.protocolVersion & 0xFF),
                                    static_cast<uint8_t>(model.protocolVersion >> 8)};
        const int replyLength = std::min(model.versionReplyLength, std::min(dataLength, 2));
        urb.reply.assign(version, version + replyLength);
        urb.actualLength = replyLength;
    } else if (requestType == 0x40 && request == 52 && index != model.stallString && model.protocolVersion >= 0) {
        urb.actualLength = dataLength;
    } else if (requestType == 0x40 && request == 53 && model.protocolVersion >= 0) {
        // Answered only once the phone is back under its new identity, so that
        // the bridge's first reopen already finds it (see serveBus).
        urb.startsAccessory = true;
        urb.ready = false;
        device.comebackDue = true;
        busChanged.notify_all();
    } else {
        urb.status = -EPIPE;
    }
}

void submitBulk(Device& device, PendingUrb& urb, uint8_t endpoint, const uint8_t* buffer, int length) {
    device.seen.push_back(Seen{Seen::Bulk, {}, std::vector<uint8_t>(buffer, buffer + length), endpoint});
    const std::vector<BulkReply>& replies = device.model.bulkReplies;
    const size_t index = static_cast<size_t>(device.bulkIndex++);
    const BulkReply reply = index < replies.size() ? replies[index] : BulkReply::Accept;
    if (reply == BulkReply::Stall) urb.status = -EPIPE;
    if (reply == BulkReply::Hold) urb.ready = false;
    if (reply == BulkReply::Accept) urb.actualLength = length;
}

long submitUrb(Device& device, UMockdevIoctlClient* client, int* error) {
    UMockdevIoctlData* data = resolveArg(client, sizeof(usbdevfs_urb));
    if (data == nullptr) return *error = EFAULT, -1;
    const usbdevfs_urb* urb = reinterpret_cast<usbdevfs_urb*>(data->data);
    UMockdevIoctlData* buffer = nullptr;
    if (urb->buffer_length > 0)
        buffer = umockdev_ioctl_data_resolve(data, offsetof(usbdevfs_urb, buffer), urb->buffer_length, nullptr);
    const uint8_t* bytes = buffer != nullptr ? buffer->data : nullptr;

    long result = 0;
    if (device.gone) {
        *error = ENODEV, result = -1;
    } else if (urb->type == USBDEVFS_URB_TYPE_CONTROL && urb->buffer_length >= 8 && bytes != nullptr) {
        PendingUrb pending;
        pending.urb = data;
        submitControl(device, pending, bytes, urb->buffer_length);
        device.pending.push_back(pending);
        // umockdev writes back only bytes that changed: fill the data phase of
        // a read now, so that a reply equal to stale heap bytes still arrives.
        if (bytes[0] & 0x80) std::memset(buffer->data + 8, 0xA5, static_cast<size_t>(urb->buffer_length - 8));
    } else if (urb->type == USBDEVFS_URB_TYPE_BULK && (urb->endpoint & 0x80) == 0) {
        PendingUrb pending;
        pending.urb = data;
        submitBulk(device, pending, urb->endpoint, bytes, urb->buffer_length);
        device.pending.push_back(pending);
    } else {
        *error = EINVAL, result = -1;
    }
    if (buffer != nullptr) g_object_unref(buffer);
    if (result < 0) g_object_unref(data);
    return result;
}

// Hands the oldest finished URB back, writing its results only now.
long reapUrb(Device& device, UMockdevIoctlClient* client, int* error) {
    auto found = device.pending.begin();
    while (found != device.pending.end() && !found->ready) ++found;
    if (found == device.pending.end()) return *error = device.gone ? ENODEV : EAGAIN, -1;
    PendingUrb urb = *found;
    device.pending.erase(found);

    usbdevfs_urb* fields = reinterpret_cast<usbdevfs_urb*>(urb.urb->data);
    fields->status = urb.status;
    fields->actual_length = urb.actualLength;
    if (!urb.reply.empty()) {
        UMockdevIoctlData* buffer =
            umockdev_ioctl_data_resolve(urb.urb, offsetof(usbdevfs_urb, buffer), fields->buffer_length, nullptr);
        if (buffer != nullptr) {
            std::memcpy(buffer->data + 8, urb.reply.data(), urb.reply.size());
            g_object_unref(buffer);
        }
    }
    UMockdevIoctlData* place = resolveArg(client, sizeof(void*));
    if (place == nullptr) return g_object_unref(urb.urb), *error = EFAULT, -1;
    umockdev_ioctl_data_set_ptr(place, 0, urb.urb);
    g_object_unref(place);
    g_object_unref(urb.urb);
    return 0;
}

long discardUrb(Device& device, UMockdevIoctlClient* client, int* error) {
    const gulong address = *reinterpret_cast<gulong*>(umockdev_ioctl_client_get_arg(client)->data);
    for (PendingUrb& urb : device.pending) {
        if (urb.urb->client_addr != address || urb.ready) continue;
        urb.ready = true;
        urb.status = -ENOENT;  // how the kernel hands back a cancelled URB
        device.seen.push_back(Seen{Seen::Discard, {}, {}, 0});
        return 0;
    }
    return *error = EINVAL, -1;
}

// The interface number an ioctl's argument points at (~0 when unreadable).
unsigned interfaceArg(UMockdevIoctlClient* client) {
    UMockdevIoctlData* number = resolveArg(client, sizeof(unsigned));
    if (number == nullptr) return ~0u;
    const unsigned interface = *reinterpret_cast<unsigned*>(number->data);
    g_object_unref(number);
    return interface;
}

long claimInterface(Device& device, Seen::Kind kind, unsigned interface, int* error) {
    device.seen.push_back(Seen{kind, {}, {}, interface});
    if (device.model.claimUnplugs) device.gone = true;  // nothing is in flight at a claim
    if (device.gone) return *error = ENODEV, -1;
    if (device.model.claimBusy) return *error = EBUSY, -1;
    return 0;
}

gboolean handleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
    Device& device = *static_cast<Device*>(user);
    const gulong request = umockdev_ioctl_client_get_request(client);
    std::lock_guard<std::mutex> hold(busLock);
    long result = 0;
    int error = 0;
    if (request == USBDEVFS_GET_CAPABILITIES) {
        UMockdevIoctlData* caps = resolveArg(client, sizeof(uint32_t));
        if (caps != nullptr) {
            *reinterpret_cast<uint32_t*>(caps->data) = USBFS_CAPS;
            g_object_unref(caps);
        }
    } else if (request == USBDEVFS_SUBMITURB) {
        result = submitUrb(device, client, &error);
    } else if (request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY) {
        result = reapUrb(device, client, &error);
    } else if (request == USBDEVFS_DISCARDURB) {
        result = discardUrb(device, client, &error);
    } else if (request == USBDEVFS_CLAIMINTERFACE || request == USBDEVFS_DISCONNECT_CLAIM) {
        // Both start with the interface number; the second detaches a kernel driver first.
        const Seen::Kind kind = request == USBDEVFS_CLAIMINTERFACE ? Seen::Claim : Seen::ClaimDetaching;
        result = claimInterface(device, kind, interfaceArg(client), &error);
    } else if (request == USBDEVFS_RELEASEINTERFACE) {
        device.seen.push_back(Seen{Seen::Release, {}, {}, interfaceArg(client)});
    } else {
        result = -1, error = ENOTTY;  // no kernel driver to talk to, nothing else emulated
    }
    umockdev_ioctl_client_complete(client, result, error);
    return TRUE;
}

// ---- the controller side (the test's thread) ----

std::string busPath(int devNum) {
    char text[32];
    std::snprintf(text, sizeof text, "/dev/bus/usb/001/%03d", devNum);
    return text;
}

void addToTestbed(Device& device) {
    device.devNum = ++nextDevNum - 1;
    device.devNode = busPath(device.devNum);
    device.handler = umockdev_ioctl_base_new();
    g_signal_connect(device.handler, "handle-ioctl", G_CALLBACK(handleIoctl), &device);
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed, device.devNode.c_str(), device.handler, &error)) {
        std::fprintf(stderr, "attach_ioctl %s: %s\n", device.devNode.c_str(), error->message);
        std::abort();
    }
    std::ostringstream record;
    record << "P: " << device.sysPath.substr(4) << "\n";
    if (device.model.openable) record << "N: " << device.devNode.substr(5) << "\n";
    record << "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n"
           << "E: DEVNAME=" << device.devNode << "\n"
           << "E: BUSNUM=001\nE: DEVNUM=" << device.devNode.substr(device.devNode.size() - 3)
           << "\n"
           // sysfs attributes end with a newline, written escaped in this format
           << "A: busnum=1\\n\nA: devnum=" << device.devNum << "\\n\nA: speed=480\\n\n"
           << "A: bConfigurationValue=" << (device.model.configured ? "1" : "") << "\\n\n"
           << "A: dev=189:" << device.devNum - 1 << "\n"
           << "H: descriptors=" << hex(descriptors(device.model)) << "\n";
    if (!umockdev_testbed_add_from_string(testbed, record.str().c_str(), &error)) {
        std::fprintf(stderr, "add_from_string: %s\n", error->message);
        std::abort();
    }
    umockdev_testbed_uevent(testbed, device.sysPath.c_str(), "add");
}

void removeFromTestbed(Device& device) {
    umockdev_testbed_uevent(testbed, device.sysPath.c_str(), "remove");
    umockdev_testbed_remove_device(testbed, device.sysPath.c_str());
}

// Carries out what the handlers asked for; called with busLock held. The
// testbed sends each uevent before it returns, and libusb reads every uevent
// sent before it lists the devices: once request 53 is answered, the bridge's
// reopen finds the accessory whatever the scheduling.
void serveBus(std::unique_lock<std::mutex>& hold) {
    for (size_t i = 0; i < devices.size(); i++) {
        Device& phone = *devices[i];
        if (!phone.comebackDue) continue;
        phone.comebackDue = false;
        phone.gone = true;
        const int comeback = phone.comeback;
        hold.unlock();
        removeFromTestbed(phone);
        if (comeback >= 0) {
            Device& accessory = *devices[static_cast<size_t>(comeback)];
            accessory.sysPath = phone.sysPath;  // the same port, a new address
            addToTestbed(accessory);
        }
        hold.lock();
        for (PendingUrb& urb : phone.pending) urb.ready = urb.ready || urb.startsAccessory;
    }
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    std::istringstream stream(text);
    while (std::getline(stream, line)) lines.push_back(line);
    return lines;
}

}  // namespace

std::string describeBulk(unsigned endpoint, const std::vector<uint8_t>& bytes) {
    uint32_t hash = 2166136261u;  // FNV-1a
    for (uint8_t byte : bytes) hash = (hash ^ byte) * 16777619u;
    char text[64];
    std::snprintf(text, sizeof text, "bulk %02X len %zu fnv %08X", endpoint, bytes.size(), hash);
    return text;
}

std::string describe(const Seen& seen) {
    char text[64];
    switch (seen.kind) {
        case Seen::Control: {
            const std::vector<uint8_t>& s = seen.setup;
            std::snprintf(text, sizeof text, "control %02X %d %04X %04X %04X", s[0], s[1], s[2] | s[3] << 8,
                          s[4] | s[5] << 8, s[6] | s[7] << 8);
            std::string line = text;
            if (seen.data.empty()) return line;
            line += " \"";
            for (uint8_t byte : seen.data) {
                if (byte >= 0x20 && byte < 0x7F) {
                    line += static_cast<char>(byte);
                } else {
                    std::snprintf(text, sizeof text, byte == 0 ? "\\0" : "\\x%02X", byte);
                    line += text;
                }
            }
            return line + "\"";
        }
        case Seen::Bulk:
            return describeBulk(seen.value, seen.data);
        case Seen::Claim:
            return "claim " + std::to_string(seen.value);
        case Seen::ClaimDetaching:
            return "claim " + std::to_string(seen.value) + " detaching";
        case Seen::Release:
            return "release " + std::to_string(seen.value);
        case Seen::Discard:
            return "discard";
    }
    return "?";
}

std::vector<std::string> seenTextBy(int id) {
    std::vector<std::string> lines;
    for (const Seen& seen : seenBy(id)) lines.push_back(describe(seen));
    return lines;
}

DeviceModel aPhone(int protocolVersion) {
    DeviceModel model;
    model.vendor = 0x04E8;
    model.product = 0x6860;
    model.interfaces = {{0, 0, {{0x81, 2}, {0x02, 2}, {0x83, 3}}}};
    model.protocolVersion = protocolVersion;
    return model;
}

DeviceModel anAccessory(uint16_t product) {
    DeviceModel model;
    model.vendor = 0x18D1;
    model.product = product;
    model.interfaces = {{0, 0, {{0x81, 2}, {0x01, 2}}}};
    model.protocolVersion = 2;
    return model;
}

DeviceModel aMouse() {
    DeviceModel model;
    model.vendor = 0x046D;
    model.product = 0xC077;
    model.interfaces = {{0, 0, {{0x81, 3}}}};
    return model;
}

void runUnderPreload(char** argv) {
    const char* preload = std::getenv("LD_PRELOAD");
    if (preload != nullptr && std::strstr(preload, "libumockdev-preload") != nullptr) return;
    std::string wanted = "libumockdev-preload.so.0";
#ifdef ASAN_RUNTIME
    wanted = std::string(ASAN_RUNTIME) + ":" + wanted;  // the sanitizer's runtime must come first
#endif
    setenv("LD_PRELOAD", wanted.c_str(), 1);
#ifdef TSAN_SUPPRESSIONS
    const char* options = std::getenv("TSAN_OPTIONS");
    setenv("TSAN_OPTIONS", (std::string(options ? options : "") + " suppressions=" TSAN_SUPPRESSIONS).c_str(), 1);
#endif
    execv("/proc/self/exe", argv);
    std::perror("re-executing under the umockdev preload");
    std::exit(2);
}

void busStart() {
    testbed = umockdev_testbed_new();
    if (!umockdev_in_mock_environment()) {
        std::fprintf(stderr, "the tests must run under the umockdev preload (see runUnderPreload)\n");
        std::abort();
    }
    DeviceModel hub;
    hub.vendor = 0x1D6B;
    hub.product = 0x0002;
    hub.deviceClass = 9;
    hub.interfaces = {{0, 0, {{0x81, 3}}}};
    const int id = deviceCreate(hub);
    devices[static_cast<size_t>(id)]->sysPath = "/sys/devices/usb1";
    devicePlugIn(id);
}

int rootHub() { return 0; }

int deviceCreate(const DeviceModel& model) {
    auto device = std::make_unique<Device>();
    device->model = model;
    devices.push_back(std::move(device));
    return static_cast<int>(devices.size() - 1);
}

void devicePlugIn(int id) {
    Device& device = *devices[static_cast<size_t>(id)];
    if (device.sysPath.empty()) device.sysPath = "/sys/devices/usb1/1-" + std::to_string(nextPort++);
    addToTestbed(device);
}

void deviceComesBackAs(int phone, int comeback) {
    std::lock_guard<std::mutex> hold(busLock);
    devices[static_cast<size_t>(phone)]->comeback = comeback;
}

void deviceUnplug(int id) {
    Device& device = *devices[static_cast<size_t>(id)];
    {
        std::lock_guard<std::mutex> hold(busLock);
        device.gone = true;
        for (PendingUrb& urb : device.pending) {
            if (urb.ready) continue;
            urb.ready = true;
            urb.status = -ESHUTDOWN;  // how the kernel ends a transfer when its device goes
        }
    }
    removeFromTestbed(device);
}

std::vector<Seen> seenBy(int id) {
    std::lock_guard<std::mutex> hold(busLock);
    return devices[static_cast<size_t>(id)]->seen;
}

int bulkCount(int id) {
    int count = 0;
    for (const Seen& seen : seenBy(id)) count += seen.kind == Seen::Bulk;
    return count;
}

BridgeRun bridgeStart() {
    BridgeRun run;
    run.outFd = memfd_create("bridge-stdout", 0);
    run.errFd = memfd_create("bridge-stderr", 0);
    // Line-buffered, so that a bridge killed at the deadline leaves every whole line it printed.
    std::string command = std::string("exec stdbuf -oL ") + ACCESSORY_BRIDGE_PATH;
    const char* leakCheck = std::getenv("BRIDGE_TEST_LEAK_CHECK");
    if (leakCheck != nullptr && *leakCheck == '1')
        command =
            "exec stdbuf -oL valgrind -q --leak-check=full --show-leak-kinds=definite,indirect "
            "--errors-for-leak-kinds=definite,indirect --error-exitcode=99 --suppressions=" VALGRIND_SUPPRESSIONS
            " " ACCESSORY_BRIDGE_PATH;
    run.pid = fork();
    bridgePid = run.pid;
    if (run.pid == 0) {
        dup2(run.outFd, STDOUT_FILENO);
        dup2(run.errFd, STDERR_FILENO);
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    return run;
}

bool pumpUntil(const std::function<bool()>& done, int deadlineSeconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(deadlineSeconds);
    std::unique_lock<std::mutex> hold(busLock);
    while (std::chrono::steady_clock::now() < deadline) {
        serveBus(hold);
        hold.unlock();
        const bool finished = done();
        hold.lock();
        if (finished) return true;
        if (bridgeEnded()) return false;
        busChanged.wait_for(hold, std::chrono::milliseconds(20));
    }
    return false;
}

int waitForBridge(BridgeRun& run, std::vector<std::string>* lines, int deadlineSeconds) {
    const bool ended = pumpUntil(bridgeEnded, deadlineSeconds);
    if (!ended) kill(run.pid, SIGKILL);
    int status = 0;
    waitpid(run.pid, &status, 0);
    bridgePid = -1;
    if (lines != nullptr) *lines = splitLines(readAllOf(run.outFd));
    return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string bridgeLog(const BridgeRun& run) { return readAllOf(run.errFd); }
