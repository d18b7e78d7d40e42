// A link-time stand-in for libusb's active-configuration calls.
//
// Linked into a program together with bridge/accessory-bridge.cpp, it replaces
// libusb_get_active_config_descriptor and libusb_free_config_descriptor, so the
// bridge's readers of a configuration tree, findBulkOut, findBulkOutPacketSize and printEnds, walk
// whatever tree the caller sets here: a tree no emulated device could describe,
// or none at all (an unreadable configuration). Tests and fuzzing use this seam.
#pragma once

#include <libusb.h>

// The bridge's readers of the active configuration (defined in the bridge).
int findBulkOut(libusb_device* device);
int findBulkOutPacketSize(libusb_device* device);
void printEnds(libusb_device* device);

// The tree every later libusb_get_active_config_descriptor hands out, for any
// device; nullptr makes the call fail with LIBUSB_ERROR_NOT_FOUND. The tree
// stays the caller's: the fake never frees it.
void fakeConfigSet(const libusb_config_descriptor* config);
// How many trees were handed out, and how many handed back through
// libusb_free_config_descriptor (a pointer that was not handed out counts in
// fakeConfigFreedWrongly instead).
int fakeConfigHandedOut();
int fakeConfigFreed();
int fakeConfigFreedWrongly();
// Sets the three counters back to 0.
void fakeConfigResetCounts();
