#include "supervisor.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <ctime>

#include "client_table.h"
#include "clock.h"
#include "discovery.h"
#include "video.h"

int32_t millisecondsOf(int64_t seconds, long nanoseconds) {
    // Rounded to the nearest millisecond (halves away from zero, so the
    // fraction can reach 1000); the sum wraps in 32 bits on purpose.
    const long fraction = std::lround(static_cast<double>(nanoseconds) * 1e-6);
    const uint32_t total = static_cast<uint32_t>(seconds) * 1000u + static_cast<uint32_t>(fraction);
    return static_cast<int32_t>(total);
}

int32_t nowMs() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return millisecondsOf(now.tv_sec, now.tv_nsec);
}

void runRelay() {
    std::printf("\033[1;37mTessivar v.%d.%d.%d\033[0m\n", VERSION_MAJOR, VERSION_MINOR, VERSION_PATCH);
    initVideoSource();
    initDiscovery();
    for (;;) {
        checkVideoPresence();
        sweepClients();
        usleep(SUPERVISOR_PERIOD_US);
    }
}
