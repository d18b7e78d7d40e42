// Hands the bridge's readers of a phone's active configuration, the bulk OUT
// search (findBulkOut, findBulkOutPacketSize) and the listing (printEnds), arbitrary descriptor
// trees of the shapes the USB library can produce, through the link-time fake
// of libusb_get_active_config_descriptor that the bridge's tests use. Every
// array is allocated to its exact length, so a read past one is caught; the
// chosen endpoint, its packet size and the listing's text are checked against
// the tree, and every tree handed out must be handed back exactly once.
//
// Input bytes, read in order (0 past the end): a flags byte (bit 0: the
// configuration cannot be read), the interface count, then per interface the
// alternate-setting count, per setting its interface number and endpoint
// count, per endpoint its address and attributes. Each endpoint gets a packet
// size of its own (bits 11 and 12 from bits 4 and 5 of its attributes), so a
// size taken from another endpoint with the same address shows.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fake_config_descriptor.h"
#include "harness.h"

namespace {

constexpr int MAX_INTERFACES = 32;  // the library's limits for one configuration
constexpr int MAX_ALTSETTINGS = 8;
constexpr int MAX_ENDPOINTS = 32;

char outBuffer[1 << 20];
FILE* outCapture = nullptr;

[[noreturn]] void fail(const std::string& what) { failHarness("descriptor_fuzzer", what); }

const char* typeName(uint8_t attributes) {
    static const char* const names[] = {"Control", "Isochronus", "Bulk", "Interupt"};
    return names[attributes & 3];
}

std::string hex4(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", value);
    return text;
}

// Builds the tree in exactly sized heap arrays and works out, on the way,
// what the search must return and what the listing must print.
libusb_config_descriptor* buildTree(Reader& in, int* expectedAddress, int* expectedSize, std::string* expectedListing) {
    auto* config = static_cast<libusb_config_descriptor*>(std::calloc(1, sizeof(libusb_config_descriptor)));
    config->bNumInterfaces = static_cast<uint8_t>(in.byte() % (MAX_INTERFACES + 1));
    config->interface = static_cast<libusb_interface*>(
        std::calloc(config->bNumInterfaces ? config->bNumInterfaces : 1, sizeof(libusb_interface)));
    *expectedAddress = *expectedSize = -1;
    int endpointCount = 0;
    for (int i = 0; i < config->bNumInterfaces; ++i) {
        libusb_interface& interface = const_cast<libusb_interface&>(config->interface[i]);
        interface.num_altsetting = in.byte() % (MAX_ALTSETTINGS + 1);
        auto* settings = static_cast<libusb_interface_descriptor*>(
            std::calloc(interface.num_altsetting ? interface.num_altsetting : 1, sizeof(libusb_interface_descriptor)));
        interface.altsetting = settings;
        for (int j = 0; j < interface.num_altsetting; ++j) {
            libusb_interface_descriptor& setting = settings[j];
            setting.bInterfaceNumber = in.byte();
            setting.bNumEndpoints = static_cast<uint8_t>(in.byte() % (MAX_ENDPOINTS + 1));
            auto* endpoints = static_cast<libusb_endpoint_descriptor*>(
                std::malloc(sizeof(libusb_endpoint_descriptor) * (setting.bNumEndpoints ? setting.bNumEndpoints : 1)));
            setting.endpoint = endpoints;
            *expectedListing += "Interface " + std::to_string(setting.bInterfaceNumber) + ". altSetting " +
                                std::to_string(j) + ". Num of endpoints: " + std::to_string(setting.bNumEndpoints) +
                                "\n";
            for (int k = 0; k < setting.bNumEndpoints; ++k) {
                libusb_endpoint_descriptor& endpoint = endpoints[k];
                std::memset(&endpoint, 0, sizeof endpoint);
                endpoint.bEndpointAddress = in.byte();
                endpoint.bmAttributes = in.byte();
                endpoint.wMaxPacketSize =
                    static_cast<uint16_t>((endpointCount++ % 0x7FF + 1) | ((endpoint.bmAttributes & 0x30) << 7));
                const bool towardHost = (endpoint.bEndpointAddress & 0x80) != 0;
                *expectedListing += std::string("Endpoint type ") + typeName(endpoint.bmAttributes) + " " +
                                    (towardHost ? "IN" : "OUT") + "\nAddress " + hex4(endpoint.bEndpointAddress) + "\n";
                if (*expectedAddress < 0 && (endpoint.bmAttributes & 3) == 2 && !towardHost) {
                    *expectedAddress = endpoint.bEndpointAddress;
                    *expectedSize = endpoint.wMaxPacketSize & 0x7FF;
                }
            }
        }
    }
    *expectedListing += "\n";
    return config;
}

void freeTree(libusb_config_descriptor* config) {
    for (int i = 0; i < config->bNumInterfaces; ++i) {
        const libusb_interface& interface = config->interface[i];
        for (int j = 0; j < interface.num_altsetting; ++j)
            std::free(const_cast<libusb_endpoint_descriptor*>(interface.altsetting[j].endpoint));
        std::free(const_cast<libusb_interface_descriptor*>(interface.altsetting));
    }
    std::free(const_cast<libusb_interface*>(config->interface));
    std::free(config);
}

std::string takeListing() { return takeCaptured(outCapture, outBuffer); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The listing goes to standard output; it is captured here. Fuzzer and
    // sanitizer reports use file descriptor 2 and are not affected.
    outCapture = fmemopen(outBuffer, sizeof outBuffer, "w");
    if (outCapture == nullptr) std::abort();
    stdout = outCapture;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader in{data, size, 0};
    const bool unreadable = (in.byte() & 1) != 0;
    int expectedAddress = -1;
    int expectedSize = -1;
    std::string expectedListing;
    libusb_config_descriptor* config = buildTree(in, &expectedAddress, &expectedSize, &expectedListing);
    if (unreadable) {
        expectedAddress = expectedSize = -1;
        expectedListing = "\n";
    }
    fakeConfigSet(unreadable ? nullptr : config);
    fakeConfigResetCounts();

    const int address = findBulkOut(nullptr);
    if (address != expectedAddress)
        fail("findBulkOut chose " + std::to_string(address) + ", expected " + std::to_string(expectedAddress));
    const int packetSize = findBulkOutPacketSize(nullptr);
    if (packetSize != expectedSize)
        fail("findBulkOutPacketSize gave " + std::to_string(packetSize) + ", expected " + std::to_string(expectedSize));
    takeListing();
    printEnds(nullptr);
    const std::string listing = takeListing();
    if (listing != expectedListing) fail("the listing was [" + listing + "], expected [" + expectedListing + "]");
    if (fakeConfigFreed() != fakeConfigHandedOut() || fakeConfigFreedWrongly() != 0)
        fail("configuration trees handed out " + std::to_string(fakeConfigHandedOut()) + ", handed back " +
             std::to_string(fakeConfigFreed()) + ", wrongly " + std::to_string(fakeConfigFreedWrongly()));

    fakeConfigSet(nullptr);
    freeTree(config);
    return 0;
}
