#include "fake_config_descriptor.h"

namespace {

const libusb_config_descriptor* current = nullptr;
int handedOut = 0;
int freed = 0;
int freedWrongly = 0;

}  // namespace

void fakeConfigSet(const libusb_config_descriptor* config) { current = config; }
int fakeConfigHandedOut() { return handedOut; }
int fakeConfigFreed() { return freed; }
int fakeConfigFreedWrongly() { return freedWrongly; }
void fakeConfigResetCounts() { handedOut = freed = freedWrongly = 0; }

extern "C" int LIBUSB_CALL libusb_get_active_config_descriptor(libusb_device*, libusb_config_descriptor** config) {
    if (current == nullptr) return LIBUSB_ERROR_NOT_FOUND;
    *config = const_cast<libusb_config_descriptor*>(current);
    handedOut++;
    return LIBUSB_SUCCESS;
}

extern "C" void LIBUSB_CALL libusb_free_config_descriptor(libusb_config_descriptor* config) {
    if (config == nullptr) return;  // as libusb: freeing nothing is allowed
    if (config == current && freed < handedOut)
        freed++;
    else
        freedWrongly++;
}
