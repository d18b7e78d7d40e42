/* Sends test datagrams to the bridge on 127.0.0.1:3020.
     send SIZE[,SIZE...]    each size once, the bytes of pattern.h numbered over the non-empty datagrams,
                            so the phone can check them (it is told the lengths the bridge cuts them to)
     send --first N SIZE[,SIZE...]
                            the same, numbered from N: the next ones for a phone that has datagrams 0 to N-1
     send --repeat N SIZE   N copies of datagram 0 of that size, filled once (benchmark load)
     send --receive-cost N SIZE
                            what one receive of a SIZE-byte datagram costs here: N datagrams sent to a socket
                            of its own first, then the N receives timed (the benchmark runs it in the test
                            machine and on the host, to show what the emulation does to that cost) */
#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "pattern.h"

#define MAX_SIZE 65000

static int fd;
static struct sockaddr_in to;

static int sendOne(const unsigned char *buf, unsigned len)
{
    if (sendto(fd, buf, len, 0, (struct sockaddr *)&to, sizeof to) == (ssize_t)len) return 0;
    perror("send");
    return -1;
}

static unsigned sizeAt(const char *p)
{
    unsigned long len = strtoul(p, NULL, 10);
    return len > MAX_SIZE ? MAX_SIZE : (unsigned)len;
}

static double seconds(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

static int receiveCost(long count, unsigned len)
{
    static unsigned char buf[MAX_SIZE];
    int space = 128 * 1024 * 1024;
    socklen_t tolen = sizeof to;
    to.sin_port = 0;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &space, sizeof space) < 0) perror("send: receive buffer");
    if (bind(fd, (struct sockaddr *)&to, sizeof to) < 0 || getsockname(fd, (struct sockaddr *)&to, &tolen) < 0) {
        perror("send: bind");
        return 1;
    }
    for (long i = 0; i < count; i++)
        if (sendOne(buf, len) < 0) return 1;
    double start = seconds();
    for (long i = 0; i < count; i++)
        if (recv(fd, buf, 10000, MSG_DONTWAIT) != (ssize_t)(len < 10000 ? len : 10000)) {
            fprintf(stderr, "send: receive %ld of %ld failed or was short (receive buffer too small?)\n", i, count);
            return 1;
        }
    printf("send: receive cost: %.2f us per %u-byte datagram (%ld received)\n", (seconds() - start) / count * 1e6, len,
           count);
    return 0;
}

int main(int argc, char **argv)
{
    static unsigned char buf[MAX_SIZE];
    fd = socket(AF_INET, SOCK_DGRAM, 0);
    to.sin_family = AF_INET;
    to.sin_port = htons(3020);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    long sent = 0;
    if (argc == 4 && strcmp(argv[1], "--repeat") == 0) {
        long repeat = atol(argv[2]);
        unsigned len = sizeAt(argv[3]);
        pattern_fill(buf, 0, len);
        for (; sent < repeat; sent++)
            if (sendOne(buf, len) < 0) return 1;
    } else if (argc == 4 && strcmp(argv[1], "--receive-cost") == 0) {
        return receiveCost(atol(argv[2]), sizeAt(argv[3]));
    } else if (argc == 2 || (argc == 4 && strcmp(argv[1], "--first") == 0)) {
        unsigned seq = argc == 4 ? (unsigned)atol(argv[2]) : 0;
        for (const char *p = argv[argc - 1]; *p; p = strchr(p, ',') ? strchr(p, ',') + 1 : "", sent++) {
            unsigned len = sizeAt(p);
            pattern_fill(buf, seq, len);
            if (sendOne(buf, len) < 0) return 1;
            if (len) seq++;
        }
    } else {
        fprintf(stderr, "usage: send [--first N] SIZE[,SIZE...] | send --repeat N SIZE | send --receive-cost N SIZE\n");
        return 2;
    }
    printf("send: %ld datagrams sent\n", sent);
    return 0;
}
