// relay-probe: a viewer that shows whether a stream relay's datagrams reach
// this machine, and how well. Single-threaded: one poll loop that
// re-registers every 500 ms, reports every second, drains the socket and
// writes the payloads to --out as fast as its reader takes them, never waiting
// for it.
#include <arpa/inet.h>
#include <poll.h>

#include <csignal>
#include <cstdio>

#include "probe_net.h"
#include "probe_options.h"
#include "probe_output.h"
#include "probe_report.h"
#include "probe_wire.h"
#include "sequence_stats.h"

namespace {

constexpr int64_t REGISTER_EVERY_US = 500000;
constexpr int64_t REPORT_EVERY_US = 1000000;
constexpr int64_t SILENCE_WARNING_US = 2000000;
constexpr size_t RECEIVE_SIZE = 65536;
// The end (the last datagrams, the removal, what is still queued for --out)
// takes at most this long after the stop, however slowly the reader takes it.
constexpr int64_t END_BOUND_US = 2000000;

volatile sig_atomic_t stopRequested = 0;

ProbeOptions options;
sockaddr_in relayAddress;
char relayText[64];
int probeSocket = -1;
// Where the probe's own lines go: standard error when the payloads take standard output.
FILE* linesOut = stdout;
SequenceStats stats;
ReportMark lastMark;
uint64_t acknowledgements = 0;
uint8_t receiveBuffer[RECEIVE_SIZE];

// A second one ends the probe there and then, by that signal, once standard
// output has its flags back (the shell may share it).
void onStopSignal(int signalNumber) {
    if (stopRequested) {
        restoreStandardOutputFlags();
        std::signal(signalNumber, SIG_DFL);
        std::raise(signalNumber);
        return;
    }
    stopRequested = 1;
}

// Ctrl-C and SIGTERM end the loop; no SA_RESTART, so poll returns at once.
void installStopHandlers() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

void printLine(const char* line) {
    std::fputs(line, linesOut);
    std::fputc('\n', linesOut);
    std::fflush(linesOut);
}

// The counters of what the reader of --out did not take, or null without --out.
const OutputCounts* outputCounts() { return options.outPath != nullptr ? &payloadOutputCounts() : nullptr; }

void handleAcknowledgement() {
    acknowledgements++;
    char line[160];
    if (acknowledgements == 1) {
        std::snprintf(line, sizeof line, "registered: %s acknowledged this viewer", relayText);
    } else {
        std::snprintf(line, sizeof line, "registered again: %s had dropped this viewer (or restarted) and took it back",
                      relayText);
        noteNewAcknowledgement(stats);
    }
    printLine(line);
}

// Takes every datagram waiting on the socket.
void drainSocket() {
    for (;;) {
        sockaddr_in sender{};
        int64_t arrivalUs = 0;
        ssize_t length = receiveDatagram(probeSocket, receiveBuffer, sizeof receiveBuffer, sender, arrivalUs);
        if (length < 0) return;  // EAGAIN: nothing more for now (errors end up here too)
        uint32_t sequence = 0;
        DatagramKind kind = classifyDatagram(receiveBuffer, length, &sequence);
        if (kind == DATAGRAM_ACK) handleAcknowledgement();
        if (kind != DATAGRAM_STREAM) continue;
        countDatagram(stats, sequence, static_cast<uint32_t>(length), arrivalUs);
        queuePayload(receiveBuffer + HEADER_SIZE, static_cast<size_t>(length - HEADER_SIZE));
        writeQueuedPayloads();
    }
}

void reportSecond(double elapsedS, double intervalS) {
    char line[256];
    formatSecondLine(line, sizeof line, elapsedS, intervalS, stats, outputCounts(), lastMark);
    printLine(line);
    lastMark = markOf(stats, outputCounts());
}

void warnIfSilent() {
    char line[256];
    std::snprintf(line, sizeof line,
                  "no answer from %s yet: is the relay running, and does UDP port %u reach it "
                  "(and its replies reach this machine)?",
                  relayText, ntohs(relayAddress.sin_port));
    printLine(line);
}

// The next tick of a period after the one just taken; after a stall (a
// suspended laptop) the ticks missed are skipped, not caught up in a burst.
int64_t nextTick(int64_t tickUs, int64_t periodUs, int64_t nowUs) {
    tickUs += periodUs;
    return tickUs > nowUs ? tickUs : nowUs + periodUs;
}

// Registers, reports and receives until Ctrl-C or the end of --duration.
void runProbe() {
    uint8_t option = options.dataOnly ? OPTION_DATA_ONLY : 0;
    int64_t startUs = monotonicUs();
    int64_t nextRegisterUs = startUs;
    int64_t nextReportUs = startUs + REPORT_EVERY_US;
    int64_t lastReportUs = startUs;
    int64_t endUs = options.durationS > 0 ? startUs + static_cast<int64_t>(options.durationS * 1e6) : INT64_MAX;
    bool warned = false;
    while (!stopRequested) {
        int64_t nowUs = monotonicUs();
        if (nowUs >= endUs) break;
        if (nowUs >= nextRegisterUs) {
            sendControl(probeSocket, relayAddress, COMMAND_REGISTER, option);
            nextRegisterUs = nextTick(nextRegisterUs, REGISTER_EVERY_US, nowUs);
        }
        if (nowUs >= nextReportUs) {
            reportSecond((nowUs - startUs) / 1e6, (nowUs - lastReportUs) / 1e6);
            lastReportUs = nowUs;
            nextReportUs = nextTick(nextReportUs, REPORT_EVERY_US, nowUs);
        }
        if (!warned && nowUs - startUs >= SILENCE_WARNING_US && acknowledgements == 0 && stats.received == 0) {
            warnIfSilent();
            warned = true;
        }
        int64_t wakeUs = nextRegisterUs < nextReportUs ? nextRegisterUs : nextReportUs;
        if (endUs < wakeUs) wakeUs = endUs;
        int timeoutMs = wakeUs > nowUs ? static_cast<int>((wakeUs - nowUs + 999) / 1000) : 0;
        pollfd waiting[2] = {{probeSocket, POLLIN, 0}, {payloadOutputWaitingFd(), POLLOUT, 0}};
        if (poll(waiting, 2, timeoutMs) > 0) {
            drainSocket();
            writeQueuedPayloads();
        }
        // A reader that goes away (a player closed) ends the probe as Ctrl-C does.
        if (payloadOutputState() == OUTPUT_READER_GONE) break;
    }
    int64_t endByUs = monotonicUs() + END_BOUND_US;
    drainSocket();
    sendControl(probeSocket, relayAddress, COMMAND_REMOVE, 0);
    char line[160];
    std::snprintf(line, sizeof line, "removal sent to %s", relayText);
    printLine(line);
    flushPayloadOutput(endByUs);
    char summary[768];
    formatSummary(summary, sizeof summary, (monotonicUs() - startUs) / 1e6, stats, outputCounts());
    printLine(summary);
}

}  // namespace

int main(int argc, char** argv) {
    char error[512];
    ParseResult parsed = parseProbeOptions(argc, argv, options, error, sizeof error);
    if (parsed == PARSE_HELP) {
        std::fputs(PROBE_USAGE, stdout);
        return 0;
    }
    if (parsed == PARSE_ERROR) {
        std::fprintf(stderr, "relay-probe: %s\n(relay-probe --help shows the options)\n", error);
        return 2;
    }
    if (!resolveRelay(options.host, options.port, relayAddress, error, sizeof error)) {
        std::fprintf(stderr, "relay-probe: %s\n", error);
        return 2;
    }
    char address[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &relayAddress.sin_addr, address, sizeof address);
    std::snprintf(relayText, sizeof relayText, "%s:%u", address, options.port);
    probeSocket = openProbeSocket(options.localPort, error, sizeof error);
    if (probeSocket < 0) {
        std::fprintf(stderr, "relay-probe: %s\n", error);
        return 1;
    }
    if (!openPayloadOutput(options.outPath)) return 1;
    if (payloadsOnStandardOutput()) linesOut = stderr;
    resetSequenceStats(stats);
    lastMark = markOf(stats, outputCounts());
    installStopHandlers();
    char line[256];
    std::snprintf(line, sizeof line, "relay-probe: registering with %s every 500 ms from UDP port %u as a %s",
                  relayText, localPortOf(probeSocket),
                  options.dataOnly ? "data-only viewer (no video)" : "full viewer (video)");
    printLine(line);
    runProbe();
    bool closed = closePayloadOutput();
    return closed && payloadOutputState() != OUTPUT_FAILED ? 0 : 1;
}
