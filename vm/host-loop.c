/* The benchmark's baseline: the least a host program can do to move data to the accessory. It opens
   18D1:2D01 or 18D1:2D00 with libusb, claims interface 0, and writes COUNT bulk transfers of SIZE bytes
   (the bytes of datagram 0 of pattern.h, as `send --repeat` gives the bridge) to the first bulk OUT endpoint, with the
   bridge's 5000 ms timeout.

   host-loop COUNT SIZE */
#include <libusb-1.0/libusb.h>
#include <stdio.h>
#include <stdlib.h>

#include "pattern.h"

#define MAX_SIZE 16384

static int firstBulkOut(libusb_device *dev)
{
    struct libusb_config_descriptor *config;
    if (libusb_get_active_config_descriptor(dev, &config) < 0) return -1;
    int found = -1;
    for (int i = 0; i < config->bNumInterfaces && found < 0; i++)
        for (int a = 0; a < config->interface[i].num_altsetting && found < 0; a++) {
            const struct libusb_interface_descriptor *s = &config->interface[i].altsetting[a];
            for (int e = 0; e < s->bNumEndpoints && found < 0; e++)
                if ((s->endpoint[e].bmAttributes & 3) == LIBUSB_TRANSFER_TYPE_BULK && !(s->endpoint[e].bEndpointAddress & 0x80))
                    found = s->endpoint[e].bEndpointAddress;
        }
    libusb_free_config_descriptor(config);
    return found;
}

int main(int argc, char **argv)
{
    if (argc != 3) { fprintf(stderr, "usage: host-loop COUNT SIZE\n"); return 2; }
    long count = atol(argv[1]);
    int size = atoi(argv[2]);
    if (size < 1 || size > MAX_SIZE) { fprintf(stderr, "host-loop: SIZE must be 1..%d\n", MAX_SIZE); return 2; }
    if (libusb_init(NULL) < 0) return 1;
    libusb_device_handle *h = libusb_open_device_with_vid_pid(NULL, 0x18d1, 0x2d01);
    if (!h) h = libusb_open_device_with_vid_pid(NULL, 0x18d1, 0x2d00);
    if (!h) { fprintf(stderr, "host-loop: no accessory on the bus\n"); return 1; }
    int rc = libusb_claim_interface(h, 0);
    int ep = firstBulkOut(libusb_get_device(h));
    if (rc < 0 || ep < 0) { fprintf(stderr, "host-loop: claim %s, endpoint %d\n", libusb_strerror(rc), ep); return 1; }
    static unsigned char buf[MAX_SIZE];
    pattern_fill(buf, 0, (unsigned)size);
    for (long i = 0; i < count; i++) {
        int done = 0;
        rc = libusb_bulk_transfer(h, (unsigned char)ep, buf, size, &done, 5000);
        if (rc < 0 || done != size) { fprintf(stderr, "host-loop: transfer %ld: %s, %d bytes\n", i, libusb_strerror(rc), done); return 1; }
    }
    printf("host-loop: %ld transfers of %d bytes written to %04X\n", count, size, ep);
    libusb_release_interface(h, 0);
    libusb_close(h);
    libusb_exit(NULL);
    return 0;
}
