// accessory-bridge: switches an Android phone on USB into accessory mode and
// writes every UDP datagram that arrives on port 3020 to it as one bulk transfer.
//
// Main thread: init, find the phone, claim interface 0, open the socket, start
// the forwarding thread, then wait for need_exit and shut down.
// Forwarding thread: receive a datagram, write it, stop at the first failure
// or once the phone has left. Where libusb reports hotplug events, it handles
// libusb's events while it waits for a datagram, so that it hears of the phone
// leaving the bus even while no datagram flows.
// A transfer that fills its last packet is ended with a zero-length packet, so
// that each datagram is one read on the phone.

#include <arpa/inet.h>
#include <fcntl.h>
#include <libusb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// Identity of a device in accessory mode.
static const uint16_t AOA_VID = 0x18D1;
static const uint16_t AOA_PID_ACCESSORY = 0x2D00;
static const uint16_t AOA_PID_ACCESSORY_ADB = 0x2D01;

// Vendor control requests of the accessory protocol.
static const uint8_t AOA_GET_PROTOCOL = 51;
static const uint8_t AOA_SEND_STRING = 52;
static const uint8_t AOA_START_ACCESSORY = 53;
static const uint8_t VENDOR_TO_DEVICE = 0x40;  // bmRequestType: host to device, vendor, device
static const uint8_t VENDOR_TO_HOST = 0xC0;    // bmRequestType: device to host, vendor, device
static const unsigned int GET_PROTOCOL_TIMEOUT_MS = 100;
static const int STRING_COUNT = 6;
static const int REOPEN_ATTEMPTS = 6;

static const int BRIDGE_UDP_PORT = 3020;
static const int UDP_BUFFER_SIZE = 10000;
static const unsigned int TIMEOUT = 5000;  // ms, every bulk transfer

// What the phone is told about us, sent as strings 0 to 5 in this order.
const char* manufacturer = "norquelle";
const char* modelName = "tessivar";
const char* description = "description";
const char* version = "0.0.1";
const char* uri = "https://www.norquelle.com/tessivar";
const char* serialNumber = "0123456789";

// Set only by the forwarding thread when it stops, at its first failure or once
// the phone has left (release); read by both threads (acquire): the thread's
// last USB call happens before shutdown closes.
std::atomic<bool> need_exit{false};

// Set by the hotplug callback when the phone leaves the bus. The callback runs
// where the forwarding thread handles libusb's events, inside its transfers
// too, so it only sets this flag.
static std::atomic<bool> phoneLeft{false};
static libusb_device* watchedDevice = nullptr;  // the phone; null: no callback registered
static const int MAX_WAIT_FDS = 8;              // the socket and libusb's few descriptors

// Where the devices that the search or the claim worked on are plugged in: the
// bus and the chain of hub ports down from its root. A start that fails once
// nothing is plugged in at any of those ports failed because the phone was
// unplugged, not because of a fault, and ends as an unplug while forwarding does.
static const int MAX_TRIED = 16;
static const int MAX_PORT_DEPTH = 7;  // the most tiers USB allows below a root hub
struct UsbPort {
    uint8_t bus;
    uint8_t depth;
    uint8_t numbers[MAX_PORT_DEPTH];
};
static UsbPort triedPorts[MAX_TRIED];
static int triedCount = 0;
static bool triedOverflow = false;  // more devices than places: presence cannot be told
// A phone took the start request and was not back as an accessory in time. Its
// port may well be empty then, as it is for a phone that fails to enumerate
// (a weak supply or cable): a fault, not an unplug.
static bool phoneNeverCameBack = false;
static const int SETTLE_STEPS = 10;
static const useconds_t SETTLE_STEP_US = 100000;  // ten steps: up to a second for an unplug to show

// Written once by transferBegin before the forwarding thread starts.
libusb_device_handle* deviceHandle = nullptr;
uint8_t deviceOutAddress = 0;
static int deviceOutPacketSize = 0;  // bytes, always > 0 once transferBegin succeeded

// The UDP input, filled by open_socket and afterwards used only by udp_loop.
static int udpsocket = -1;
static sockaddr_in si_other;
static socklen_t slen;

int findBulkOut(libusb_device* device);
int findBulkOutPacketSize(libusb_device* device);
void printEnds(libusb_device* device);
libusb_device_handle* getAndroidHandle();

static void error(int32_t code) { printf("%s\n", libusb_strerror(code)); }

static int init() {
    const int result = libusb_init(nullptr);
    if (result < 0) return result;
    libusb_set_option(nullptr, LIBUSB_OPTION_LOG_LEVEL, LIBUSB_LOG_LEVEL_INFO);
    return 0;
}

static int shutdown(libusb_device_handle* handle) {
    if (handle != nullptr) {
        libusb_release_interface(handle, 0);
        libusb_close(handle);
    }
    libusb_exit(nullptr);
    return 0;
}

static const char* endpointTypeName(uint8_t attributes) {
    static const char* const names[] = {"Control", "Isochronus", "Bulk", "Interupt"};
    return names[attributes & 3];
}

void printEnds(libusb_device* device) {
    libusb_config_descriptor* config = nullptr;
    // An unreadable configuration gives a listing over nothing.
    if (libusb_get_active_config_descriptor(device, &config) == 0) {
        for (int i = 0; i < config->bNumInterfaces; i++) {
            const libusb_interface& interface = config->interface[i];
            for (int j = 0; j < interface.num_altsetting; j++) {
                const libusb_interface_descriptor& setting = interface.altsetting[j];
                printf("Interface %d. altSetting %d. Num of endpoints: %d\n", setting.bInterfaceNumber, j,
                       setting.bNumEndpoints);
                for (int k = 0; k < setting.bNumEndpoints; k++) {
                    const libusb_endpoint_descriptor& endpoint = setting.endpoint[k];
                    printf("Endpoint type ");
                    printf("%s", endpointTypeName(endpoint.bmAttributes));
                    printf(" ");
                    printf("%s", (endpoint.bEndpointAddress & 0x80) ? "IN" : "OUT");
                    printf("\n");
                    printf("Address %04X\n", endpoint.bEndpointAddress);
                }
            }
        }
        libusb_free_config_descriptor(config);
    }
    printf("\n");
}

// The first bulk OUT endpoint in array order over every interface and
// alternate setting of the tree, or nullptr.
static const libusb_endpoint_descriptor* firstBulkOut(const libusb_config_descriptor* config) {
    for (int i = 0; i < config->bNumInterfaces; i++) {
        const libusb_interface& interface = config->interface[i];
        for (int j = 0; j < interface.num_altsetting; j++) {
            const libusb_interface_descriptor& setting = interface.altsetting[j];
            for (int k = 0; k < setting.bNumEndpoints; k++) {
                const libusb_endpoint_descriptor& endpoint = setting.endpoint[k];
                const bool bulk = (endpoint.bmAttributes & 3) == LIBUSB_TRANSFER_TYPE_BULK;
                if (bulk && (endpoint.bEndpointAddress & 0x80) == 0) return &endpoint;
            }
        }
    }
    return nullptr;
}

int findBulkOut(libusb_device* device) {
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(device, &config) != 0) return -1;
    const libusb_endpoint_descriptor* endpoint = firstBulkOut(config);
    const int found = endpoint != nullptr ? endpoint->bEndpointAddress : -1;
    libusb_free_config_descriptor(config);
    return found;
}

// Bytes per packet of the endpoint findBulkOut chooses, read from that same
// descriptor: the library's lookup by address would take the first endpoint with
// that address in any alternate setting. Bits 11 and 12 count extra transactions
// per microframe, not bytes. -1 when there is no such endpoint.
int findBulkOutPacketSize(libusb_device* device) {
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(device, &config) != 0) return -1;
    const libusb_endpoint_descriptor* endpoint = firstBulkOut(config);
    const int size = endpoint != nullptr ? endpoint->wMaxPacketSize & 0x7FF : -1;
    libusb_free_config_descriptor(config);
    return size;
}

static int sendString(libusb_device_handle* handle, uint16_t index, const char* text) {
    const uint16_t length = static_cast<uint16_t>(strlen(text) + 1);
    unsigned char* data = reinterpret_cast<unsigned char*>(const_cast<char*>(text));
    return libusb_control_transfer(handle, VENDOR_TO_DEVICE, AOA_SEND_STRING, 0, index, data, length, 0);
}

static int androidIntroduction(libusb_device_handle* handle) {
    // Zeroed first: a reply shorter than two bytes must not read as a version.
    unsigned char reply[2] = {0, 0};
    const int result = libusb_control_transfer(handle, VENDOR_TO_HOST, AOA_GET_PROTOCOL, 0, 0, reply, sizeof reply,
                                               GET_PROTOCOL_TIMEOUT_MS);
    printf("Sent getProtocol\n");
    if (result < 0) {
        error(result);
        return -1;
    }
    printf("Response \n");
    const int versionCode = reply[0] | (reply[1] << 8);
    if (versionCode != 1 && versionCode != 2) return -1;
    printf("Version Code Device: %d\n", versionCode);
    usleep(1000);

    const char* const strings[STRING_COUNT] = {manufacturer, modelName, description, version, uri, serialNumber};
    for (int i = 0; i < STRING_COUNT; i++) {
        const int sent = sendString(handle, static_cast<uint16_t>(i), strings[i]);
        if (sent < 0) {
            error(sent);
            return -1;
        }
    }
    printf("Accessory Identification sent\n");
    return 1;
}

static libusb_device_handle* reopenAsAccessory() {
    libusb_device_handle* handle = libusb_open_device_with_vid_pid(nullptr, AOA_VID, AOA_PID_ACCESSORY_ADB);
    if (handle == nullptr) handle = libusb_open_device_with_vid_pid(nullptr, AOA_VID, AOA_PID_ACCESSORY);
    return handle;
}

static libusb_device_handle* setupAccessory(libusb_device_handle* handle) {
    if (androidIntroduction(handle) < 0) return nullptr;
    const int result = libusb_control_transfer(handle, VENDOR_TO_DEVICE, AOA_START_ACCESSORY, 0, 0, nullptr, 0, 0);
    if (result < 0) {
        error(result);
        return nullptr;
    }
    printf("Attempted to put device into accessory mode\n");

    // The phone leaves the bus and comes back under the accessory identity.
    for (int attempt = 0; attempt < REOPEN_ATTEMPTS; attempt++) {
        if (attempt > 0) usleep(1000000);
        libusb_device_handle* accessory = reopenAsAccessory();
        if (accessory != nullptr) return accessory;
    }
    printf("Could not...\n");
    phoneNeverCameBack = true;
    return nullptr;
}

static UsbPort portOf(libusb_device* device) {
    UsbPort port = {};
    port.bus = libusb_get_bus_number(device);
    const int depth = libusb_get_port_numbers(device, port.numbers, MAX_PORT_DEPTH);
    port.depth = static_cast<uint8_t>(depth > 0 ? depth : 0);
    return port;
}

// Remembers where a device the bridge is about to work on is plugged in. Hubs
// are never phones, and a hub's port stays filled, so they are left out.
static void rememberTried(libusb_device* device, const libusb_device_descriptor& descriptor) {
    if (descriptor.bDeviceClass == LIBUSB_CLASS_HUB) return;
    if (triedCount == MAX_TRIED) {
        triedOverflow = true;
        return;
    }
    triedPorts[triedCount] = portOf(device);
    triedCount++;
}

// Whether a device is plugged in at that port, as the kernel sees it: sysfs names
// a USB device after its bus and its chain of ports, e.g. 1-1.4. A port that
// cannot be told counts as taken.
static bool somethingPluggedInAt(const UsbPort& port) {
    if (port.depth == 0) return true;
    char path[64];
    int used = snprintf(path, sizeof path, "/sys/bus/usb/devices/%u-%u", port.bus, port.numbers[0]);
    for (int i = 1; i < port.depth; i++)
        used += snprintf(path + used, sizeof path - static_cast<size_t>(used), ".%u", port.numbers[i]);
    return access(path, F_OK) == 0;
}

static bool everyTriedPortEmpty() {
    for (int t = 0; t < triedCount; t++)
        if (somethingPluggedInAt(triedPorts[t])) return false;
    return true;
}

// True when the bridge worked on at least one device and nothing is plugged in
// at any of their ports. The port decides, not the error a USB call gave: a phone
// pulled out during a request may answer with any error, and a device whose node
// is gone may still be plugged in. It also fails its request before the kernel
// has taken it off the bus, so the bus gets a moment to settle before the answer
// is no.
static bool phoneUnplugged() {
    if (phoneNeverCameBack || triedCount == 0 || triedOverflow) return false;
    for (int step = 0; step < SETTLE_STEPS; step++) {
        if (everyTriedPortEmpty()) return true;
        usleep(SETTLE_STEP_US);
    }
    return everyTriedPortEmpty();
}

static bool isAccessory(const libusb_device_descriptor& descriptor) {
    return descriptor.idVendor == AOA_VID &&
           (descriptor.idProduct == AOA_PID_ACCESSORY || descriptor.idProduct == AOA_PID_ACCESSORY_ADB);
}

libusb_device_handle* getAndroidHandle() {
    printf("Searching USB accessory...\n");
    libusb_device** devices = nullptr;
    const ssize_t count = libusb_get_device_list(nullptr, &devices);
    if (count < 0) {
        error(static_cast<int32_t>(count));
        return nullptr;
    }
    for (ssize_t i = 0; i < count; i++) {
        printf("\nChecking device #%d\n", static_cast<int>(i));
        libusb_device_descriptor descriptor;
        const int read = libusb_get_device_descriptor(devices[i], &descriptor);
        if (read < 0) {  // nothing to identify it by: skip it
            error(read);
            continue;
        }
        printf("VID: %04X. PID: %04X\n", descriptor.idVendor, descriptor.idProduct);

        // A device the bridge may not open is not one the board gave it to serve.
        libusb_device_handle* handle = nullptr;
        const int opened = libusb_open(devices[i], &handle);
        if (opened != LIBUSB_ERROR_ACCESS) rememberTried(devices[i], descriptor);
        if (opened < 0) {
            error(opened);
            continue;
        }
        libusb_set_auto_detach_kernel_driver(handle, 1);

        libusb_device_handle* result = nullptr;
        if (isAccessory(descriptor)) {
            if (androidIntroduction(handle) != 1) {
                libusb_close(handle);
                continue;
            }
            result = handle;
        } else {
            result = setupAccessory(handle);
            libusb_close(handle);
        }
        if (result != nullptr) {
            libusb_free_device_list(devices, 1);
            printf("\n\nAndroid Found:\n");
            printEnds(libusb_get_device(result));
            return result;
        }
    }
    libusb_free_device_list(devices, 1);
    return nullptr;
}

static int transferBegin(libusb_device_handle* handle) {
    deviceHandle = handle;
    usleep(1000000);
    const int claimed = libusb_claim_interface(handle, 0);
    if (claimed < 0) {
        error(claimed);
        return -1;
    }
    printf("Interface claimed, ready to transfer data\n");
    usleep(100000);
    const int address = findBulkOut(libusb_get_device(handle));
    if (address < 0) return -1;  // nothing to write to
    deviceOutAddress = static_cast<uint8_t>(address);
    // Without a packet size the bridge cannot tell which transfers need a zero-length
    // end, and guessing one would merge datagrams on the phone or send it empty
    // reads: such an endpoint fails like a missing one.
    const int packetSize = findBulkOutPacketSize(libusb_get_device(handle));
    if (packetSize <= 0) return -1;
    deviceOutPacketSize = packetSize;
    printf("Preparing to write to %04X\n", deviceOutAddress);
    return 0;
}

// The phone's read ends only at a short packet: after a transfer whose last
// packet was full, a zero-length one marks where the datagram ends.
static int endWithZeroLengthPacket(unsigned char* data) {
    int transferred = 0;
    return libusb_bulk_transfer(deviceHandle, deviceOutAddress, data, 0, &transferred, TIMEOUT);
}

static int transferSend(unsigned char* data, int32_t length) {
    int transferred = 0;
    const int result = libusb_bulk_transfer(deviceHandle, deviceOutAddress, data, length, &transferred, TIMEOUT);
    if (result < 0) return -1;
    if (transferred > 0 && transferred % deviceOutPacketSize == 0 && endWithZeroLengthPacket(data) < 0) return -1;
    return transferred;
}

static void open_socket(int32_t port) {
    printf("Init UDP input\n");
    udpsocket = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    const int flags = fcntl(udpsocket, F_GETFL);
    fcntl(udpsocket, F_SETFL, flags & ~O_NONBLOCK);

    slen = sizeof si_other;
    memset(&si_other, 0, sizeof si_other);
    si_other.sin_family = AF_INET;
    si_other.sin_port = htons(static_cast<uint16_t>(port));
    si_other.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(udpsocket, reinterpret_cast<sockaddr*>(&si_other), sizeof si_other) < 0) {
        printf("UDP bind failed\n");
        exit(1);
    }
}

// What the forwarding thread waits on for a datagram: the socket, then libusb's
// descriptors (taken once: no device is opened or closed from here on). The
// phone's descriptor is watched for errors only: it reports transfers, and
// none is in flight while the thread waits. 0 where they do not fit.
static nfds_t waitSet(pollfd* fds) {
    const libusb_pollfd** usb = libusb_get_pollfds(nullptr);
    if (usb == nullptr) return 0;
    fds[0] = {udpsocket, POLLIN, 0};
    nfds_t count = 1;
    for (int i = 0; usb[i] != nullptr; i++) {
        if (count == MAX_WAIT_FDS) {
            count = 0;
            break;
        }
        fds[count++] = {usb[i]->fd, static_cast<short>(usb[i]->events & POLLIN), 0};
    }
    libusb_free_pollfds(usb);
    return count;
}

// Receives like recvfrom, handling libusb's events while no datagram is there,
// so that the hotplug callback runs with no traffic; -1 once the phone has left.
static ssize_t receiveWatching(unsigned char* buffer, pollfd* fds, nfds_t count) {
    for (;;) {
        if (phoneLeft.load(std::memory_order_relaxed)) return -1;
        const ssize_t received =
            recvfrom(udpsocket, buffer, UDP_BUFFER_SIZE, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&si_other), &slen);
        if (received >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return received;
        const int ready = poll(fds, count, -1);
        if (ready < 0 && errno != EINTR) return -1;  // a wait that cannot be made is a failed receive
        if (ready <= 0) continue;
        bool usbEvent = false;
        for (nfds_t i = 1; i < count; i++) usbEvent = usbEvent || fds[i].revents != 0;
        timeval now = {0, 0};
        if (usbEvent) libusb_handle_events_timeout_completed(nullptr, &now, nullptr);
    }
}

static void* udp_loop(void*) {
    printf("Run UDP loop\n");
    unsigned char buffer[UDP_BUFFER_SIZE];
    pollfd fds[MAX_WAIT_FDS];
    const nfds_t watched = watchedDevice != nullptr ? waitSet(fds) : 0;
    while (!need_exit.load(std::memory_order_acquire)) {
        const ssize_t received =
            watched > 0 ? receiveWatching(buffer, fds, watched)
                        : recvfrom(udpsocket, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&si_other), &slen);
        if (received < 0) need_exit.store(true, std::memory_order_release);
        if (received <= 0) continue;
        const int sent = transferSend(buffer, static_cast<int32_t>(received));
        if (sent < 0) {
            printf("Bulk write error %d\n", sent);
            need_exit.store(true, std::memory_order_release);
        }
    }
    return nullptr;
}

static int LIBUSB_CALL phoneLeaving(libusb_context*, libusb_device* device, libusb_hotplug_event, void*) {
    if (device == watchedDevice) phoneLeft.store(true, std::memory_order_relaxed);
    return 0;
}

// Asks libusb to report the phone leaving the bus; leaves watchedDevice null where it cannot.
static void watchPhone(libusb_device_handle* handle) {
    if (!libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) return;
    watchedDevice = libusb_get_device(handle);
    if (libusb_hotplug_register_callback(nullptr, LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT, 0, LIBUSB_HOTPLUG_MATCH_ANY,
                                         LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, phoneLeaving, nullptr,
                                         nullptr) != LIBUSB_SUCCESS)
        watchedDevice = nullptr;
}

int main() {
    printf("Init USB\n");
    if (init() < 0) return -1;

    // A phone unplugged before it was set up is not a fault: that ends as an
    // unplug while forwarding does, with status 0.
    libusb_device_handle* handle = getAndroidHandle();
    if (handle == nullptr) {
        printf("\nError setting up accessory\n");
        const bool unplugged = phoneUnplugged();
        shutdown(nullptr);
        return unplugged ? 0 : -1;
    }
    // Before the claim: a phone gone before this fails the claim, one gone after is reported.
    watchPhone(handle);
    // From here on only the phone counts, not the other devices the search met.
    triedCount = 0;
    triedOverflow = false;
    phoneNeverCameBack = false;
    libusb_device_descriptor descriptor;
    if (libusb_get_device_descriptor(libusb_get_device(handle), &descriptor) == 0)
        rememberTried(libusb_get_device(handle), descriptor);
    if (transferBegin(handle) < 0) {
        printf("\nError in transfer begin\n");
        const bool unplugged = phoneUnplugged();
        shutdown(handle);
        return unplugged ? 0 : -1;
    }

    open_socket(BRIDGE_UDP_PORT);
    pthread_t forwarder;
    // Never joined: detached, so that its resources go back when it ends.
    if (pthread_create(&forwarder, nullptr, udp_loop, nullptr) == 0) pthread_detach(forwarder);
    // The forwarding thread may now stop with no failure at all: look every second.
    const useconds_t step = watchedDevice != nullptr ? 1000000 : 10000000;
    while (!need_exit.load(std::memory_order_acquire)) usleep(step);

    shutdown(handle);
    printf("\nFinished\n");
    return 0;
}
