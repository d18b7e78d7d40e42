// The probe's command line.
#pragma once

#include <getopt.h>

#include <cstddef>
#include <cstdint>

struct ProbeOptions {
    char host[256];       // relay address or host name
    uint16_t port;        // relay port, 4242 unless given as HOST:PORT
    bool dataOnly;        // register as a data-only viewer (no video)
    const char* outPath;  // where to write the payloads, or null
    double durationS;     // stop by itself after this long; 0 runs until Ctrl-C
    uint16_t localPort;   // our own UDP port; 0 lets the system choose
};

enum ParseResult { PARSE_RUN, PARSE_HELP, PARSE_ERROR };

// Fills options from argv; on PARSE_ERROR, error holds a one-line reason.
ParseResult parseProbeOptions(int argc, char** argv, ProbeOptions& options, char* error, size_t errorSize);
// The --help text.
extern const char PROBE_USAGE[];
// The long options, each with its one-letter form; the manual, relay-probe.1 beside this file, describes them.
extern const option PROBE_LONG_OPTIONS[];
