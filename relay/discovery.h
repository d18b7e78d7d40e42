// The viewer protocol on UDP port 4242: the discovery socket, the thread
// that takes registrations and removals, the send primitive every relay
// datagram leaves through, and the 12-byte relay header.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <cstdint>

#include "client_table.h"

constexpr uint16_t DISCOVERY_PORT = 4242;
constexpr int RELAY_HEADER_SIZE = 12;
constexpr uint8_t RELAY_MAGIC = 0x42;
constexpr uint8_t KIND_VIDEO = 1;
constexpr uint8_t CMD_REGISTER = 0;
constexpr uint8_t CMD_REMOVE = 1;
constexpr uint8_t OPT_DATA_ONLY = 1;
constexpr int DISCOVERY_BUFFER_SIZE = 131200;
constexpr int DISCOVERY_SOCKET_BUFFER = 10000000;
constexpr int DISCOVERY_TIMEOUT_US = 100000;
constexpr unsigned DISCOVERY_IDLE_US = 5000;
constexpr int EXIT_DISCOVERY_BIND = 100;

// The header at the start of every relay datagram in either direction.
// Multi-byte fields travel little-endian; encodeRelayHeader writes them
// byte by byte so the wire format does not depend on the host.
struct RelayHeader {
    uint8_t magic;
    uint8_t kind;
    uint16_t reserved1;
    uint32_t sequence;
    uint32_t reserved2;
};
static_assert(sizeof(RelayHeader) == RELAY_HEADER_SIZE, "the header is 12 bytes on the wire");

extern int discoverySocket;

// Writes the 12 header bytes for a relay-to-viewer datagram.
void encodeRelayHeader(uint8_t* out, uint8_t kind, uint32_t sequence);
// Opens port 4242 (exit status 100 if it cannot be bound) and starts the thread.
void initDiscovery();
// The discovery thread: receives and handles control datagrams forever.
void* discoveryLoop(void*);
// Acts on one received control datagram from the given sender.
void handleDiscoveryDatagram(const uint8_t* datagram, ssize_t length, const sockaddr_in& sender);
// Sends one datagram from the discovery socket to ip:port (port in host order).
ssize_t sendToClient(const void* data, int32_t length, const char* ip, int32_t port);
// Sends one datagram from the discovery socket to each target in order, in
// one system call where all succeed; a failed send skips only that target.
void sendToClients(const void* data, int32_t length, const VideoTarget* targets, int count);
