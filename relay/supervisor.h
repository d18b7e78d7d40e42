// Start-up and the supervision loop. supervisor.cpp also defines the millisecond clock of clock.h.
#pragma once

constexpr int VERSION_MAJOR = 0;
constexpr int VERSION_MINOR = 2;
constexpr int VERSION_PATCH = 3;
constexpr unsigned SUPERVISOR_PERIOD_US = 3000000;

// Prints the banner, brings up video and discovery, then supervises forever.
[[noreturn]] void runRelay();
