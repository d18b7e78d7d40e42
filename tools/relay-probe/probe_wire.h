// The relay's datagrams as a viewer speaks them: the 12-byte header in front
// of every datagram (magic 0x42, kind, little-endian sequence number), the
// control datagrams sent to the relay and the one-byte acknowledgement.
#pragma once

#include <sys/types.h>

#include <cstdint>

constexpr uint16_t RELAY_PORT = 4242;
constexpr int HEADER_SIZE = 12;
constexpr uint8_t MAGIC = 0x42;
constexpr uint8_t COMMAND_REGISTER = 0;
constexpr uint8_t COMMAND_REMOVE = 1;
constexpr uint8_t OPTION_DATA_ONLY = 1;
constexpr int CONTROL_SIZE = HEADER_SIZE + 2;

enum DatagramKind { DATAGRAM_OTHER, DATAGRAM_ACK, DATAGRAM_STREAM };

// Writes a control datagram (header, command, option) into out; returns its length.
int buildControl(uint8_t* out, uint8_t command, uint8_t option);
// Tells what a received datagram is; for a stream datagram also its sequence number.
DatagramKind classifyDatagram(const uint8_t* data, ssize_t length, uint32_t* sequence);
