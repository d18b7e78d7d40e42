// What the fuzz harnesses share: the input read as a stream of bytes, the
// console captured into a buffer, and a mismatch reported past that capture.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

// Reads bytes from the input one record at a time; past the end reads 0.
struct Reader {
    const uint8_t* data;
    size_t size;
    size_t at;
    uint8_t byte() { return at < size ? data[at++] : 0; }
    uint16_t u16() { return static_cast<uint16_t>(byte() | (byte() << 8)); }
    uint32_t u32() { return u16() | (static_cast<uint32_t>(u16()) << 16); }
    bool done() const { return at >= size; }
};

// Written straight to file descriptor 2, so the report survives the
// redirection of the console, then a crash the fuzzer records.
[[noreturn]] inline void failHarness(const char* harness, const std::string& what) {
    const std::string text = std::string(harness) + ": " + what + "\n";
    (void)!write(2, text.data(), text.size());
    std::abort();
}

// What the stream (opened over buffer) received since the last call; then
// empties it.
inline std::string takeCaptured(FILE* stream, const char* buffer) {
    std::fflush(stream);
    const long length = std::ftell(stream);
    std::string text(buffer, static_cast<size_t>(length > 0 ? length : 0));
    std::rewind(stream);
    return text;
}
