#include "probe_wire.h"

#include <cstring>

int buildControl(uint8_t* out, uint8_t command, uint8_t option) {
    std::memset(out, 0, CONTROL_SIZE);
    out[0] = MAGIC;
    out[HEADER_SIZE] = command;
    out[HEADER_SIZE + 1] = option;
    return CONTROL_SIZE;
}

DatagramKind classifyDatagram(const uint8_t* data, ssize_t length, uint32_t* sequence) {
    if (length == 1 && data[0] == MAGIC) return DATAGRAM_ACK;
    if (length < HEADER_SIZE || data[0] != MAGIC) return DATAGRAM_OTHER;
    // Byte by byte: the field is little-endian whatever this machine is.
    *sequence = uint32_t{data[4]} | uint32_t{data[5]} << 8 | uint32_t{data[6]} << 16 | uint32_t{data[7]} << 24;
    return DATAGRAM_STREAM;
}
