#include "probe_options.h"

#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "probe_wire.h"

const char PROBE_USAGE[] =
    "Usage: relay-probe [OPTIONS] RELAY[:PORT]\n"
    "\n"
    "Registers as a viewer with the stream relay at RELAY (address or host name, port 4242\n"
    "unless given), registers again every 500 ms, and prints once a second the datagrams\n"
    "per second, Mbit/s, datagrams lost and reordered (from the relay's sequence numbers)\n"
    "and the inter-arrival jitter. Ctrl-C sends the relay the removal command and prints a\n"
    "summary.\n"
    "\n"
    "Options:\n"
    "  -d, --data-only        register as a data-only viewer: the relay sends no video\n"
    "  -o, --out FILE         write the payloads (without the 12-byte header) to FILE,\n"
    "                         one after another as they came; with FILE -, to standard\n"
    "                         output, and the probe's own lines go to standard error\n"
    "  -t, --duration SECS    stop by itself after SECS seconds, as if Ctrl-C were pressed\n"
    "  -l, --local-port PORT  receive on this UDP port (for a firewall rule); default: any\n"
    "  -h, --help             show this text\n"
    "\n"
    "Exit status: 0 after a normal stop, 1 when the socket or the output file fails,\n"
    "2 for a wrong command line or an unknown relay address.\n";

const option PROBE_LONG_OPTIONS[] = {
    {"data-only", no_argument, nullptr, 'd'},      {"out", required_argument, nullptr, 'o'},
    {"duration", required_argument, nullptr, 't'}, {"local-port", required_argument, nullptr, 'l'},
    {"help", no_argument, nullptr, 'h'},           {nullptr, 0, nullptr, 0},
};

namespace {

// Reads a port number 1..65535 (0 too when allowZero).
bool parsePort(const char* text, bool allowZero, uint16_t* port) {
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < (allowZero ? 0 : 1) || value > 65535) return false;
    *port = static_cast<uint16_t>(value);
    return true;
}

// Splits RELAY[:PORT] into the options' host and port.
bool parseRelayAddress(const char* text, ProbeOptions& options, char* error, size_t errorSize) {
    const char* colon = std::strrchr(text, ':');
    size_t hostLength = colon != nullptr ? static_cast<size_t>(colon - text) : std::strlen(text);
    if (hostLength == 0 || hostLength >= sizeof options.host) {
        std::snprintf(error, errorSize, "relay address \"%s\" is not usable", text);
        return false;
    }
    std::memcpy(options.host, text, hostLength);
    options.host[hostLength] = '\0';
    if (colon != nullptr && !parsePort(colon + 1, false, &options.port)) {
        std::snprintf(error, errorSize, "relay port \"%s\" is not a number from 1 to 65535", colon + 1);
        return false;
    }
    return true;
}

}  // namespace

ParseResult parseProbeOptions(int argc, char** argv, ProbeOptions& options, char* error, size_t errorSize) {
    std::memset(&options, 0, sizeof options);
    options.port = RELAY_PORT;
    error[0] = '\0';
    optind = 0;  // 0 makes glibc start over completely, so parsing can run again
    opterr = 0;
    int choice;
    while ((choice = getopt_long(argc, argv, ":do:t:l:h", PROBE_LONG_OPTIONS, nullptr)) != -1) {
        char* end = nullptr;
        switch (choice) {
            case 'd':
                options.dataOnly = true;
                break;
            case 'o':
                options.outPath = optarg;
                break;
            case 't':
                options.durationS = std::strtod(optarg, &end);
                if (end == optarg || *end != '\0' || !(options.durationS > 0)) {
                    std::snprintf(error, errorSize, "--duration wants a number of seconds above 0, not \"%s\"", optarg);
                    return PARSE_ERROR;
                }
                break;
            case 'l':
                if (!parsePort(optarg, true, &options.localPort)) {
                    std::snprintf(error, errorSize, "--local-port wants a number from 0 to 65535, not \"%s\"", optarg);
                    return PARSE_ERROR;
                }
                break;
            case 'h':
                return PARSE_HELP;
            case ':':
                std::snprintf(error, errorSize, "option %s needs a value", argv[optind - 1]);
                return PARSE_ERROR;
            default:
                std::snprintf(error, errorSize, "unknown option %s", argv[optind - 1]);
                return PARSE_ERROR;
        }
    }
    if (argc - optind != 1) {
        std::snprintf(error, errorSize,
                      argc - optind == 0 ? "the relay's address is missing" : "only one relay address, please");
        return PARSE_ERROR;
    }
    return parseRelayAddress(argv[optind], options, error, errorSize) ? PARSE_RUN : PARSE_ERROR;
}
