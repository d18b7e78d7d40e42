// The probe's UDP socket: resolving the relay, sending control datagrams,
// and receiving with the kernel's arrival time.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// Finds the relay's IPv4 address; false (with a reason) when it cannot.
bool resolveRelay(const char* host, uint16_t port, sockaddr_in& relay, char* error, size_t errorSize);
// Opens the non-blocking UDP socket on localPort (0: any); -1 with a reason on failure.
int openProbeSocket(uint16_t localPort, char* error, size_t errorSize);
// Sends a control datagram (register or remove) to the relay.
void sendControl(int socketFd, const sockaddr_in& relay, uint8_t command, uint8_t option);
// Receives one datagram if there is one: its length (or -1), sender and arrival time in µs.
ssize_t receiveDatagram(int socketFd, uint8_t* buffer, size_t size, sockaddr_in& sender, int64_t& arrivalUs);
// The local port the socket ended up on.
uint16_t localPortOf(int socketFd);
// Monotonic microseconds, for the probe's own timing.
int64_t monotonicUs();
// Wall-clock microseconds, the clock of the kernel's arrival stamps.
int64_t wallClockUs();
