// Start-up, the supervision loop and the relay's millisecond clock.
#pragma once

#include <cstdint>

constexpr int VERSION_MAJOR = 0;
constexpr int VERSION_MINOR = 2;
constexpr int VERSION_PATCH = 3;
constexpr unsigned SUPERVISOR_PERIOD_US = 3000000;

// Milliseconds of the realtime clock modulo 2^32; only differences are used.
int32_t nowMs();
// Converts a realtime clock reading to the nowMs form.
int32_t millisecondsOf(int64_t seconds, long nanoseconds);
// Prints the banner, brings up video and discovery, then supervises forever.
[[noreturn]] void runRelay();
