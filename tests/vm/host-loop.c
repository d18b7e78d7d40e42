/* The benchmark's baselines: the least a host program can do to move data to the accessory. It opens
   18D1:2D01 or 18D1:2D00 with libusb, claims interface 0, and writes COUNT bulk transfers of SIZE bytes
   to the first bulk OUT endpoint, with the bridge's 5000 ms timeout.

   host-loop COUNT SIZE                  the same bytes every time (datagram 0 of pattern.h, as
                                         `send --repeat` gives the bridge), no receive at all
   host-loop --udp COUNT SIZE            each transfer first received from UDP port 3020 into a
                                         10,000-byte buffer, as the bridge does, with nothing else around it
   --zerocopy (before COUNT)             the buffer is usbfs memory from libusb_dev_mem_alloc, so the kernel
                                         does not copy it in for the transfer (where the kernel allows) */
#include <arpa/inet.h>
#include <libusb-1.0/libusb.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include "pattern.h"

#define MAX_SIZE 10000

static int firstBulkOut(libusb_device *dev)
{
    struct libusb_config_descriptor *config;
    if (libusb_get_active_config_descriptor(dev, &config) < 0) return -1;
    int found = -1;
    for (int i = 0; i < config->bNumInterfaces && found < 0; i++)
        for (int a = 0; a < config->interface[i].num_altsetting && found < 0; a++) {
            const struct libusb_interface_descriptor *s = &config->interface[i].altsetting[a];
            for (int e = 0; e < s->bNumEndpoints && found < 0; e++)
                if ((s->endpoint[e].bmAttributes & 3) == LIBUSB_TRANSFER_TYPE_BULK &&
                    !(s->endpoint[e].bEndpointAddress & 0x80))
                    found = s->endpoint[e].bEndpointAddress;
        }
    libusb_free_config_descriptor(config);
    return found;
}

static int udpSocket(void)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in at = {.sin_family = AF_INET, .sin_port = htons(3020)};
    if (fd < 0 || bind(fd, (struct sockaddr *)&at, sizeof at) < 0) {
        perror("host-loop: UDP port 3020");
        exit(1);
    }
    return fd;
}

int main(int argc, char **argv)
{
    int udp = 0, zerocopy = 0, a = 1;
    for (; a < argc && argv[a][0] == '-'; a++) {
        if (strcmp(argv[a], "--udp") == 0)
            udp = 1;
        else if (strcmp(argv[a], "--zerocopy") == 0)
            zerocopy = 1;
        else
            break;
    }
    if (argc - a != 2) {
        fprintf(stderr, "usage: host-loop [--udp] [--zerocopy] COUNT SIZE\n");
        return 2;
    }
    long count = atol(argv[a]);
    int size = atoi(argv[a + 1]);
    if (size < 1 || size > MAX_SIZE) {
        fprintf(stderr, "host-loop: SIZE must be 1..%d\n", MAX_SIZE);
        return 2;
    }
    int fd = udp ? udpSocket() : -1;
    if (libusb_init(NULL) < 0) return 1;
    libusb_device_handle *h = libusb_open_device_with_vid_pid(NULL, 0x18d1, 0x2d01);
    if (!h) h = libusb_open_device_with_vid_pid(NULL, 0x18d1, 0x2d00);
    if (!h) {
        fprintf(stderr, "host-loop: no accessory on the bus\n");
        return 1;
    }
    int rc = libusb_claim_interface(h, 0);
    int ep = firstBulkOut(libusb_get_device(h));
    if (rc < 0 || ep < 0) {
        fprintf(stderr, "host-loop: claim %s, endpoint %d\n", libusb_strerror(rc), ep);
        return 1;
    }
    static unsigned char staticBuf[MAX_SIZE];
    unsigned char *buf = zerocopy ? libusb_dev_mem_alloc(h, MAX_SIZE) : staticBuf;
    if (!buf) {
        fprintf(stderr, "host-loop: no usbfs memory\n");
        return 1;
    }
    if (!udp) pattern_fill(buf, 0, (unsigned)size);
    for (long i = 0; i < count; i++) {
        int len = size, done = 0;
        if (udp && (len = (int)recv(fd, buf, MAX_SIZE, 0)) <= 0) {
            perror("host-loop: receive");
            return 1;
        }
        rc = libusb_bulk_transfer(h, (unsigned char)ep, buf, len, &done, 5000);
        if (rc < 0 || done != len) {
            fprintf(stderr, "host-loop: transfer %ld: %s, %d bytes\n", i, libusb_strerror(rc), done);
            return 1;
        }
    }
    printf("host-loop: %ld transfers of %d bytes written to %02X\n", count, size, ep);
    if (zerocopy) libusb_dev_mem_free(h, buf, MAX_SIZE);
    libusb_release_interface(h, 0);
    libusb_close(h);
    libusb_exit(NULL);
    return 0;
}
