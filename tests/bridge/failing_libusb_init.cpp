// Linked into a copy of the bridge: the USB library cannot start, as on a
// board without usbfs, which the emulated bus cannot produce.
#include <libusb.h>

extern "C" int LIBUSB_CALL libusb_init(libusb_context**) { return LIBUSB_ERROR_OTHER; }
