// The relay's millisecond clock, used by the client table and the video watchdog.
// Defined with the supervisor, whose loop paces every check it times.
#pragma once

#include <cstdint>

// Milliseconds of the realtime clock modulo 2^32; only differences are used.
int32_t nowMs();
// Converts a realtime clock reading to the nowMs form.
int32_t millisecondsOf(int64_t seconds, long nanoseconds);
