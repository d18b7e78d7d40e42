/* A phone on a cable, played by a USB gadget inside the test machine: configfs + FunctionFS on the dummy
   device controller. It answers the accessory handshake (requests 51/52/53) the way a phone does, drops off
   the bus and comes back as 18D1:2D00 with one interface (bulk IN, bulk OUT), and reads what arrives on bulk
   OUT the way an accessory app does: 16 KiB reads.

   phone [--accessory] [--debugging] [--camera] [--unplug-at MOMENT] [--expect LEN,LEN,...]
         [--then stop|unplug] [--bench N]
     --accessory  start already in accessory mode
     --debugging  its interface is ff/42/01, as a phone's with debugging on shows, instead of ff/ff/00
     --camera     no phone: interface 06/01/01, as a camera or media player shows, and every vendor request stalls
     --unplug-at  leave the bus at a moment of the handshake: 51 or 52 (that request arrives, unanswered), 53
                  (the start request arrives, unanswered) or reopen (53 answered, then gone instead of coming
                  back)
     --expect     check the reads against these datagram lengths and the bytes of pattern.h, then do --then
     --then stop  stop reading (the host's next transfer times out); unplug: unbind from the controller
     --bench N    after every N reads print their rate (no byte checks)
   Every line it prints starts with "phone: "; faults start with "phone: FAULT". The plug-in line gives the
   time of CLOCK_MONOTONIC (the journal's monotonic clock), the first read how long after plugging in it came. */
#include <dirent.h>
#include <endian.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "pattern.h"

#define GADGET "/sys/kernel/config/usb_gadget/phone"
#define FFS_DIR "/dev/ffs-phone"
#define MAX_PACKET 512 /* the dummy controller runs at high speed */
#define READ_SIZE 16384
#define MAX_EXPECT 64

static int ep0 = -1;
static int unplugRequest[2]; /* the reader thread asks the control thread to unplug through this pipe */
static int accessoryMode;
static int debugging;
static int camera;
static const char *unplugAt = "";
static double pluggedAt; /* CLOCK_MONOTONIC seconds */
static char udcName[256];

static unsigned expectLen[MAX_EXPECT];
static int expectCount;
static const char *thenAction = "";
static long benchEvery;

static int faults;

static void vsay(const char *prefix, const char *fmt, va_list ap)
{
    fputs(prefix, stdout);
    vprintf(fmt, ap);
    fputc('\n', stdout);
}

static void say(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
static void say(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vsay("phone: ", fmt, ap);
    va_end(ap);
}

static void fault(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
static void fault(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vsay("phone: FAULT ", fmt, ap);
    va_end(ap);
    faults++;
}

static void die(const char *what)
{
    fault("%s: %s", what, strerror(errno));
    exit(2);
}

static int writeFile(const char *path, const char *text)
{
    int fd = open(path, O_WRONLY);
    if (fd < 0) return -1;
    ssize_t n = write(fd, text, strlen(text));
    close(fd);
    return n < 0 ? -1 : 0;
}

static void mustWrite(const char *path, const char *text)
{
    if (writeFile(path, text) < 0) die(path);
}

/* Removes what an earlier phone left in configfs; every step may fail when there is nothing to remove. */
static void removeGadget(void)
{
    writeFile(GADGET "/UDC", "\n");
    unlink(GADGET "/configs/c.1/ffs.phone");
    umount(FFS_DIR);
    rmdir(GADGET "/functions/ffs.phone");
    rmdir(GADGET "/configs/c.1/strings/0x409");
    rmdir(GADGET "/configs/c.1");
    rmdir(GADGET "/strings/0x409");
    rmdir(GADGET);
}

static void setIdentity(int accessory)
{
    mustWrite(GADGET "/idVendor", accessory ? "0x18d1" : "0x1d6b");
    mustWrite(GADGET "/idProduct", accessory ? "0x2d00" : "0x0104");
}

static void createGadget(void)
{
    if (mkdir(GADGET, 0755) < 0) die("mkdir gadget");
    setIdentity(accessoryMode);
    mustWrite(GADGET "/bcdUSB", "0x0200");
    mkdir(GADGET "/strings/0x409", 0755);
    mustWrite(GADGET "/strings/0x409/manufacturer", "Test Phone Maker");
    mustWrite(GADGET "/strings/0x409/product", "Test Phone");
    mustWrite(GADGET "/strings/0x409/serialnumber", "PHONE0001");
    if (mkdir(GADGET "/configs/c.1", 0755) < 0) die("mkdir config");
    if (mkdir(GADGET "/functions/ffs.phone", 0755) < 0) die("mkdir function");
    if (symlink(GADGET "/functions/ffs.phone", GADGET "/configs/c.1/ffs.phone") < 0) die("link function");
    mkdir(FFS_DIR, 0755);
    if (mount("phone", FFS_DIR, "functionfs", 0, NULL) < 0) die("mount functionfs");
}

struct interfaceDescs {
    struct usb_interface_descriptor intf;
    struct usb_endpoint_descriptor_no_audio in, out;
} __attribute__((packed));

static struct interfaceDescs interfaceFor(unsigned maxPacket)
{
    struct interfaceDescs d = {
        .intf = {.bLength = sizeof d.intf,
                 .bDescriptorType = USB_DT_INTERFACE,
                 .bNumEndpoints = 2,
                 .bInterfaceClass = camera ? USB_CLASS_STILL_IMAGE : USB_CLASS_VENDOR_SPEC,
                 .bInterfaceSubClass = camera      ? 1
                                       : debugging ? 0x42
                                                   : 0xff,
                 .bInterfaceProtocol = camera || debugging ? 1 : 0,
                 .iInterface = 1},
        .in = {.bLength = sizeof d.in,
               .bDescriptorType = USB_DT_ENDPOINT,
               .bEndpointAddress = 1 | USB_DIR_IN,
               .bmAttributes = USB_ENDPOINT_XFER_BULK,
               .wMaxPacketSize = htole16(maxPacket)},
        .out = {.bLength = sizeof d.out,
                .bDescriptorType = USB_DT_ENDPOINT,
                .bEndpointAddress = 2 | USB_DIR_OUT,
                .bmAttributes = USB_ENDPOINT_XFER_BULK,
                .wMaxPacketSize = htole16(maxPacket)},
    };
    return d;
}

/* FUNCTIONFS_ALL_CTRL_RECIP and FUNCTIONFS_CONFIG0_SETUP hand us the vendor requests addressed to the
   device, which is where the accessory handshake goes. */
static void writeDescriptors(void)
{
    struct {
        struct usb_functionfs_descs_head_v2 head;
        __le32 fsCount, hsCount;
        struct interfaceDescs fs, hs;
    } __attribute__((packed)) descs = {
        .head = {.magic = htole32(FUNCTIONFS_DESCRIPTORS_MAGIC_V2),
                 .length = htole32(sizeof descs),
                 .flags = htole32(FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC | FUNCTIONFS_ALL_CTRL_RECIP |
                                  FUNCTIONFS_CONFIG0_SETUP)},
        .fsCount = htole32(3),
        .hsCount = htole32(3),
        .fs = interfaceFor(64),
        .hs = interfaceFor(MAX_PACKET),
    };
    static const char name[] = "accessory";
    struct {
        struct usb_functionfs_strings_head head;
        __le16 lang;
        char text[sizeof name];
    } __attribute__((packed)) strs = {
        .head = {.magic = htole32(FUNCTIONFS_STRINGS_MAGIC),
                 .length = htole32(sizeof strs),
                 .str_count = htole32(1),
                 .lang_count = htole32(1)},
        .lang = htole16(0x0409),
    };
    memcpy(strs.text, name, sizeof name);
    ep0 = open(FFS_DIR "/ep0", O_RDWR);
    if (ep0 < 0) die("open ep0");
    if (write(ep0, &descs, sizeof descs) < 0) die("write descriptors");
    if (write(ep0, &strs, sizeof strs) < 0) die("write strings");
}

static void findUdc(void)
{
    DIR *d = opendir("/sys/class/udc");
    struct dirent *e;
    while (d && (e = readdir(d)))
        if (e->d_name[0] != '.') snprintf(udcName, sizeof udcName, "%s", e->d_name);
    if (!udcName[0]) die("no device controller in /sys/class/udc");
    closedir(d);
}

static double seconds(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

static void plugIn(void) { mustWrite(GADGET "/UDC", udcName); }

static void unplug(void) { mustWrite(GADGET "/UDC", "\n"); }

/* --unplug-at: leaves the bus for good at the moment named */
static int leavesAt(const char *moment)
{
    if (strcmp(unplugAt, moment) != 0) return 0;
    unplug();
    say("unplugged at %s", moment);
    return 1;
}

/* Switches identity the way a phone does after request 53: off the bus, back as the accessory. */
static void becomeAccessory(void)
{
    unplug();
    usleep(200000);
    setIdentity(1);
    accessoryMode = 1;
    plugIn();
    say("re-enumerating as 18D1:2D00");
}

static void answerSetup(const struct usb_ctrlrequest *r)
{
    unsigned len = le16toh(r->wLength), index = le16toh(r->wIndex);
    int accessoryRequest = (r->bRequestType & ~USB_DIR_IN) == 0x40 && r->bRequest >= 51 && r->bRequest <= 53;
    if (accessoryRequest && !camera) {
        char moment[4];
        snprintf(moment, sizeof moment, "%u", r->bRequest);
        if (leavesAt(moment)) return;
    }
    if (r->bRequestType == 0xC0 && r->bRequest == 51 && !camera) {
        unsigned char version[2] = {2, 0};
        if (write(ep0, version, len < 2 ? len : 2) < 0) fault("reply to 51: %s", strerror(errno));
        say("request 51: answered version 2");
    } else if (r->bRequestType == 0x40 && r->bRequest == 52 && !camera) {
        char text[512];
        ssize_t n = read(ep0, text, len < sizeof text ? len : sizeof text);
        if (n < 0) {
            fault("reading string %u: %s", index, strerror(errno));
            return;
        }
        int terminated = n > 0 && text[n - 1] == '\0' && strlen(text) == (size_t)n - 1;
        if (n > 0) text[n - 1] = '\0';
        say("request 52: string %u \"%s\" %zd bytes%s", index, text, n,
            terminated ? " with NUL" : " NOT NUL-terminated");
    } else if (r->bRequestType == 0x40 && r->bRequest == 53 && !camera) {
        if (read(ep0, NULL, 0) < 0) fault("ack of 53: %s", strerror(errno));
        say("request 53: start accessory");
        if (leavesAt("reopen")) return;
        if (!accessoryMode) becomeAccessory();
    } else {
        say("stalling request type %02X number %u", r->bRequestType, r->bRequest);
        if (r->bRequestType & USB_DIR_IN)
            read(ep0, NULL, 0);
        else
            write(ep0, NULL, 0);
    }
}

/* A read of ep0 keeps FunctionFS's lock while it waits for an event, and unbinding from the controller waits
   for that lock: so the control thread polls and reads only pending events, and does the unplugging itself. */
static void serveControl(void)
{
    struct usb_functionfs_event events[4];
    for (;;) {
        struct pollfd fds[2] = {{.fd = ep0, .events = POLLIN}, {.fd = unplugRequest[0], .events = POLLIN}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            die("poll ep0");
        }
        if (fds[1].revents) {
            char c;
            if (read(unplugRequest[0], &c, 1) == 1) {
                unplug();
                say("unplugged");
            }
        }
        if (!(fds[0].revents & POLLIN)) continue;
        ssize_t n = read(ep0, events, sizeof events);
        if (n < 0) {
            if (errno == EINTR) continue;
            /* a setup cancelled by a later event (or the next request's, racing the last answer's end):
               the events stay queued */
            if (errno == EIDRM) {
                say("ep0: a setup was cancelled, reading on");
                continue;
            }
            die("read ep0");
        }
        for (size_t i = 0; i < (size_t)n / sizeof events[0]; i++) {
            if (events[i].type == FUNCTIONFS_SETUP)
                answerSetup(&events[i].u.setup);
            else if (events[i].type == FUNCTIONFS_ENABLE)
                say("configured as %s", accessoryMode ? "18D1:2D00" : "1D6B:0104");
        }
    }
}

/* Checking reads against the expected datagrams. */
static int dgram;       /* datagram the next byte belongs to */
static unsigned offset; /* its offset inside that datagram */
/* A read ends at a short packet, a zero-length one included: the bridge ends a datagram whose length is a
   multiple of the packet size with one. So each read is exactly one datagram; a boundary inside a read (two
   datagrams joined) or a read ending inside a datagram is a fault, and so is an empty read: the zero-length
   packet belongs only after a full one, where it ends the same read. */
static void checkRead(const unsigned char *buf, size_t n)
{
    if (n == 0) {
        fault("an empty read: a zero-length packet that did not follow a full one");
        return;
    }
    for (size_t k = 0; k < n; k++) {
        if (dgram >= expectCount) {
            fault("%zu bytes beyond the last expected datagram", n - k);
            return;
        }
        if (buf[k] != pattern_byte((unsigned)dgram, offset)) {
            fault("datagram %d byte %u is %u, expected %u", dgram, offset, buf[k],
                  pattern_byte((unsigned)dgram, offset));
            return;
        }
        if (++offset < expectLen[dgram]) continue;
        if (k + 1 < n) {
            fault("datagram %d (%u bytes) and the next arrived in one read", dgram, expectLen[dgram]);
            return;
        }
        say("datagram %d: %u bytes ok", dgram, expectLen[dgram]);
        dgram++;
        offset = 0;
    }
    if (offset) fault("a read of %zu bytes ended inside datagram %d at byte %u", n, dgram, offset);
}

static void benchRead(size_t n)
{
    static long count;
    static double bytes, first;
    if (count == 0)
        first = seconds();
    else
        bytes += n; /* the window runs from the end of the first read to the end of the last */
    if (++count < benchEvery) return;
    double t = seconds() - first;
    say("bench: %ld transfers, %.0f bytes after the first in %.3f s: %.1f transfers/s, %.2f MB/s", count, bytes, t,
        (count - 1) / t, bytes / t / 1e6);
    count = 0;
    bytes = 0;
}

static void afterExpected(void)
{
    say("all %d datagrams received%s", expectCount, faults ? " WITH FAULTS" : " and correct");
    if (strcmp(thenAction, "unplug") == 0 && write(unplugRequest[1], "u", 1) != 1) die("ask for unplugging");
    if (strcmp(thenAction, "stop") == 0 || strcmp(thenAction, "unplug") == 0) {
        say("stopped reading");
        for (;;) pause();
    }
}

static void *readBulk(void *arg)
{
    (void)arg;
    static unsigned char buf[READ_SIZE];
    int ep = open(FFS_DIR "/ep2", O_RDWR);
    if (ep < 0) die("open bulk OUT");
    for (;;) {
        ssize_t n = read(ep, buf, sizeof buf);
        if (n < 0) {
            /* not configured yet, or just unplugged for the switch: wait until enabled again */
            usleep(20000);
            continue;
        }
        static int first = 1;
        if (first && n > 0) say("first datagram %.3f s after plugging in", seconds() - pluggedAt);
        first = first && n == 0;
        if (benchEvery) benchRead((size_t)n);
        if (expectCount) {
            int before = dgram;
            checkRead(buf, (size_t)n);
            if (before < expectCount && dgram >= expectCount) afterExpected();
        }
    }
    return NULL;
}

static void parseExpect(const char *list)
{
    for (const char *p = list; *p && expectCount < MAX_EXPECT; p = strchr(p, ',') ? strchr(p, ',') + 1 : "")
        expectLen[expectCount++] = (unsigned)strtoul(p, NULL, 10);
}

int main(int argc, char **argv)
{
    setvbuf(stdout, NULL, _IOLBF, 0);
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--accessory") == 0)
            accessoryMode = 1;
        else if (strcmp(argv[i], "--debugging") == 0)
            debugging = 1;
        else if (strcmp(argv[i], "--camera") == 0)
            camera = 1;
        else if (strcmp(argv[i], "--unplug-at") == 0 && i + 1 < argc)
            unplugAt = argv[++i];
        else if (strcmp(argv[i], "--expect") == 0 && i + 1 < argc)
            parseExpect(argv[++i]);
        else if (strcmp(argv[i], "--then") == 0 && i + 1 < argc)
            thenAction = argv[++i];
        else if (strcmp(argv[i], "--bench") == 0 && i + 1 < argc)
            benchEvery = atol(argv[++i]);
        else {
            fprintf(stderr,
                    "usage: phone [--accessory] [--debugging] [--camera] [--unplug-at 51|52|53|reopen]\n"
                    "             [--expect LEN,...] [--then stop|unplug] [--bench N]\n");
            return 2;
        }
    }
    removeGadget();
    findUdc();
    createGadget();
    writeDescriptors();
    /* The host gives request 51 only 100 ms. A phone answers it in its kernel; this one answers from user
       space, so it must not wait behind other programs in a slow emulated machine. */
    struct sched_param realtime = {.sched_priority = 50};
    if (sched_setscheduler(0, SCHED_FIFO, &realtime) < 0) say("runs without real-time priority: %s", strerror(errno));
    if (pipe(unplugRequest) < 0) die("pipe");
    pthread_t reader;
    if (pthread_create(&reader, NULL, readBulk, NULL) != 0) die("start reader");
    pluggedAt = seconds();
    plugIn();
    say("plugged in as %s at %.3f s",
        camera          ? "a camera, 1D6B:0104"
        : accessoryMode ? "18D1:2D00"
                        : "1D6B:0104",
        pluggedAt);
    serveControl();
    return 0;
}
