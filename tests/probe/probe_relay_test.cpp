// The real relay-probe against the real relay in a network namespace of the
// test's own: counts, payloads, the removal on Ctrl-C, data-only, and loss
// made on purpose with a packet filter rule; and against a scripted relay
// that sends out-of-order and repeated sequence numbers.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "relay_harness.h"

namespace {

// Generous: under qemu-user everything is many times slower.
constexpr int DEADLINE_MS = 30000;

std::string probeBinary() {
    const char* chosen = std::getenv("RELAY_PROBE_BINARY");
    return chosen != nullptr && *chosen != '\0' ? chosen : RELAY_PROBE_PATH;
}

struct ProbeRun {
    pid_t pid = -1;
    int outputFd = -1;
    std::string output;  // standard output and error together, or only error with payloadsApart
    int payloadFd = -1;
    std::string payloads;        // standard output, with payloadsApart
    bool readerStalled = false;  // the payloads are left in the pipe, as by a reader that stops
    bool readerSlow = false;     // 4 KiB taken every half second, as by a reader that barely keeps going
    long long nextSlowReadMs = 0;
    int sharedStdoutFd = -1;  // the probe's standard output as a shell sharing it holds it
};

// With payloadsApart, standard output comes back on a pipe of its own; with
// shareStdout the test keeps that pipe's writing end too, as a shell would.
ProbeRun startProbe(const std::vector<std::string>& args, bool payloadsApart = false, bool shareStdout = false) {
    ProbeRun run;
    int pipeFds[2];
    int payloadFds[2] = {-1, -1};
    if (pipe(pipeFds) != 0 || (payloadsApart && pipe(payloadFds) != 0)) return run;
    std::string binary = probeBinary();
    std::vector<char*> argv{binary.data()};
    std::vector<std::string> copies = args;
    for (std::string& arg : copies) argv.push_back(arg.data());
    argv.push_back(nullptr);
    run.pid = fork();
    if (run.pid == 0) {
        dup2(payloadsApart ? payloadFds[1] : pipeFds[1], STDOUT_FILENO);
        dup2(pipeFds[1], STDERR_FILENO);
        close(pipeFds[0]);
        close(pipeFds[1]);
        if (payloadsApart) {
            close(payloadFds[0]);
            close(payloadFds[1]);
        }
        execv(binary.c_str(), argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    run.outputFd = pipeFds[0];
    if (payloadsApart) {
        if (shareStdout) {
            run.sharedStdoutFd = payloadFds[1];
        } else {
            close(payloadFds[1]);
        }
        run.payloadFd = payloadFds[0];
    }
    return run;
}

// Takes what the probe has written to its payload pipe so far, so it never
// blocks on it (or, for a slow reader, 4 KiB when its half second has come).
void takePayloads(ProbeRun& run) {
    if (run.readerStalled || (run.readerSlow && monotonicMs() < run.nextSlowReadMs)) return;
    char chunk[65536];
    pollfd waiting{run.payloadFd, POLLIN, 0};
    while (run.payloadFd >= 0 && poll(&waiting, 1, 0) > 0) {
        ssize_t n = read(run.payloadFd, chunk, run.readerSlow ? 4096 : sizeof chunk);
        if (n <= 0) {
            close(run.payloadFd);
            run.payloadFd = -1;
            return;
        }
        run.payloads.append(chunk, static_cast<size_t>(n));
        if (run.readerSlow) {
            run.nextSlowReadMs = monotonicMs() + 500;
            return;
        }
    }
}

// Reads the probe's output for up to waitMs; false at end of file.
bool pumpProbe(ProbeRun& run, int waitMs) {
    takePayloads(run);
    if (run.outputFd < 0) return false;
    pollfd waiting{run.outputFd, POLLIN, 0};
    if (poll(&waiting, 1, waitMs) <= 0) return true;
    char chunk[4096];
    ssize_t n = read(run.outputFd, chunk, sizeof chunk);
    if (n > 0) {
        run.output.append(chunk, static_cast<size_t>(n));
        return true;
    }
    close(run.outputFd);
    run.outputFd = -1;
    return false;
}

bool waitForProbeOutput(ProbeRun& run, const std::string& text) {
    long long end = monotonicMs() + DEADLINE_MS;
    while (run.output.find(text) == std::string::npos && monotonicMs() < end) {
        if (!pumpProbe(run, 100)) break;
    }
    return run.output.find(text) != std::string::npos;
}

// Waits for the probe to end, reading its output meanwhile, and returns its
// wait status; -1 when it had to be killed at the deadline.
int waitForProbeEnd(ProbeRun& run) {
    long long end = monotonicMs() + DEADLINE_MS;
    int status = 0;
    pid_t done = 0;
    while ((done = waitpid(run.pid, &status, WNOHANG)) == 0 && monotonicMs() < end) pumpProbe(run, 50);
    if (done == 0) {
        kill(run.pid, SIGKILL);
        waitpid(run.pid, nullptr, 0);
    }
    while (pumpProbe(run, 1000)) {
    }
    run.pid = -1;
    return done != 0 ? status : -1;
}

// Sends SIGINT as Ctrl-C would and waits for the exit status (-1: none).
int interruptProbe(ProbeRun& run) {
    kill(run.pid, SIGINT);
    int status = waitForProbeEnd(run);
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The number after `label` in the probe's output, or -1.
long long numberAfter(const std::string& output, const std::string& label) {
    size_t at = output.find(label);
    if (at == std::string::npos) return -1;
    return std::atoll(output.c_str() + at + label.size());
}

// The summary the probe prints at the end, or an empty text.
std::string summaryOf(const std::string& output) {
    size_t at = output.find("summary: ");
    return at == std::string::npos ? std::string() : output.substr(at);
}

// The number after `label` (lost, output dropped), summed over the per-second lines.
long long sumInSecondLines(const std::string& output, const std::string& label) {
    long long sum = 0;
    for (size_t line = output.find(" datagrams/s"); line != std::string::npos;
         line = output.find(" datagrams/s", line + 1)) {
        size_t end = output.find('\n', line);
        sum += std::max(0LL, numberAfter(output.substr(line, end - line), label));
    }
    return sum;
}

// Reads the probe's output until a per-second line shows `total` datagrams received.
bool waitForTotal(ProbeRun& run, long long total) {
    std::string wanted = "total " + std::to_string(total);
    long long end = monotonicMs() + DEADLINE_MS;
    for (;;) {
        for (size_t at = run.output.find(wanted); at != std::string::npos; at = run.output.find(wanted, at + 1)) {
            char next = at + wanted.size() < run.output.size() ? run.output[at + wanted.size()] : '\0';
            if (next == '\n' || next == ' ') return true;
        }
        if (monotonicMs() >= end || !pumpProbe(run, 100)) return false;
    }
}

// The probe's own UDP port, from its first line.
int probePortOf(const std::string& output) { return static_cast<int>(numberAfter(output, "from UDP port ")); }

// The payload of video datagram i: size and bytes both depend on i, and the
// first two bytes are i itself, so no two of the first 65,536 begin alike.
std::vector<uint8_t> videoPayload(int i) {
    std::vector<uint8_t> payload(200 + (i * 37) % 1200);
    for (size_t k = 0; k < payload.size(); k++) payload[k] = static_cast<uint8_t>(i * 7 + k);
    payload[0] = static_cast<uint8_t>(i);
    payload[1] = static_cast<uint8_t>(i >> 8);
    return payload;
}

// What a reader found on the probe's standard output, taken apart into the
// payloads sent (0 to sent - 1) in order.
struct Delivered {
    std::vector<int> whole;    // the payloads found whole
    long long bytes = 0;       // their bytes
    bool cutAtEnd = false;     // the stream ends inside one more payload
    bool unexplained = false;  // bytes that are no payload sent, or a payload cut off before the end
};

Delivered takeApart(const std::string& stream, int sent) {
    Delivered found;
    size_t at = 0;
    for (int i = 0; i < sent && at < stream.size(); i++) {
        std::vector<uint8_t> payload = videoPayload(i);
        size_t compared = std::min(payload.size(), stream.size() - at);
        if (std::memcmp(stream.data() + at, payload.data(), compared) != 0) continue;
        at += compared;
        found.cutAtEnd = compared < payload.size();
        if (found.cutAtEnd) break;
        found.whole.push_back(i);
        found.bytes += static_cast<long long>(payload.size());
    }
    found.unexplained = at != stream.size();
    return found;
}

// The payload bytes of video datagrams 0 to count - 1.
long long payloadBytesOf(int count) {
    long long bytes = 0;
    for (int i = 0; i < count; i++) bytes += static_cast<long long>(videoPayload(i).size());
    return bytes;
}

// Plays the encoder: count datagrams to 127.0.0.1:5000, each sent only once
// the relay's video socket and the probe's hold less than 64 KiB, so no
// buffer on the way overflows however slowly the relay or the probe runs.
void sendVideo(int count, uint16_t probePort) {
    int encoder = socket(AF_INET, SOCK_DGRAM, 0);
    for (int i = 0; i < count; i++) {
        ASSERT_TRUE(waitForQueuesBelow({5000, probePort}, 64 * 1024, DEADLINE_MS)) << "datagram " << i;
        sendTo(encoder, 5000, videoPayload(i));
    }
    close(encoder);
}

class ProbeAgainstRelay : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        ASSERT_TRUE(enterFreshNetworkNamespace(&why)) << why;
        relay = startRelay();
        ASSERT_GT(relay.pid, 0);
        ASSERT_TRUE(waitForStderr(relay, "Init device discovery\n", DEADLINE_MS)) << relay.err;
    }
    void TearDown() override {
        if (probe.pid > 0) interruptProbe(probe);
        stopRelay(relay);
    }
    RelayRun relay;
    ProbeRun probe;
};

TEST_F(ProbeAgainstRelay, CountsEveryDatagramWritesThePayloadsAndLeavesOnCtrlC) {
    std::string outPath = ::testing::TempDir() + "probe-payloads.bin";
    probe = startProbe({"127.0.0.1", "--out", outPath});
    ASSERT_TRUE(waitForProbeOutput(probe, "registered: 127.0.0.1:4242 acknowledged")) << probe.output;
    int port = probePortOf(probe.output);
    ASSERT_GT(port, 0) << probe.output;
    ASSERT_TRUE(waitForStderr(relay, "client connected from 127.0.0.1:" + std::to_string(port) + "  \n", DEADLINE_MS))
        << relay.err;

    const int count = 600;
    std::string expectedPayloads;
    long long expectedBytes = 0;
    for (int i = 0; i < count; i++) {
        std::vector<uint8_t> payload = videoPayload(i);
        expectedPayloads.append(payload.begin(), payload.end());
        expectedBytes += static_cast<long long>(payload.size()) + 12;
    }
    sendVideo(count, static_cast<uint16_t>(port));
    ASSERT_TRUE(waitForTotal(probe, count)) << probe.output;
    ASSERT_EQ(interruptProbe(probe), 0) << probe.output;
    EXPECT_NE(probe.output.find("removal sent to 127.0.0.1:4242"), std::string::npos) << probe.output;
    EXPECT_EQ(numberAfter(summaryOf(probe.output), "summary: received "), count) << probe.output;
    EXPECT_EQ(numberAfter(summaryOf(probe.output), "datagrams, "), expectedBytes) << probe.output;
    EXPECT_EQ(numberAfter(summaryOf(probe.output), "lost "), 0) << probe.output;
    EXPECT_EQ(numberAfter(summaryOf(probe.output), "reordered "), 0) << probe.output;
    EXPECT_NE(summaryOf(probe.output).find("sequence 0 to 599"), std::string::npos) << probe.output;

    std::ifstream written(outPath, std::ios::binary);
    std::stringstream content;
    content << written.rdbuf();
    EXPECT_TRUE(content.str() == expectedPayloads)
        << "payload file of " << content.str().size() << " bytes, " << expectedPayloads.size() << " expected";
    std::remove(outPath.c_str());

    EXPECT_TRUE(waitForStderr(relay, "client 127.0.0.1:" + std::to_string(port) + " removed\n", DEADLINE_MS))
        << relay.err;
}

// As a player reads it: `relay-probe --out - RELAY | ffplay -`.
TEST_F(ProbeAgainstRelay, OutDashGivesStandardOutputThePayloadsAloneAndAReaderThatGoesEndsTheProbe) {
    probe = startProbe({"--out", "-", "127.0.0.1"}, true);
    ASSERT_TRUE(waitForProbeOutput(probe, "registered: 127.0.0.1:4242 acknowledged")) << probe.output;
    int port = probePortOf(probe.output);
    ASSERT_GT(port, 0) << probe.output;
    ASSERT_TRUE(waitForStderr(relay, "client connected from 127.0.0.1:" + std::to_string(port) + "  \n", DEADLINE_MS))
        << relay.err;

    const int count = 200;
    std::string expected;
    int encoder = socket(AF_INET, SOCK_DGRAM, 0);
    for (int i = 0; i < count; i++) {
        std::vector<uint8_t> payload = videoPayload(i);
        expected.append(payload.begin(), payload.end());
        ASSERT_TRUE(waitForQueuesBelow({5000, static_cast<uint16_t>(port)}, 64 * 1024, DEADLINE_MS)) << i;
        sendTo(encoder, 5000, payload);
        takePayloads(probe);
    }
    long long end = monotonicMs() + DEADLINE_MS;
    while (probe.payloads.size() < expected.size() && monotonicMs() < end) pumpProbe(probe, 50);
    EXPECT_TRUE(probe.payloads == expected)
        << "standard output had " << probe.payloads.size() << " bytes, " << expected.size() << " expected";
    ASSERT_TRUE(waitForTotal(probe, count)) << "the probe's own lines, on standard error:\n" << probe.output;

    close(probe.payloadFd);
    probe.payloadFd = -1;
    sendTo(encoder, 5000, videoPayload(count));
    close(encoder);
    EXPECT_TRUE(waitForProbeOutput(probe, "removal sent to 127.0.0.1:4242")) << probe.output;
    EXPECT_EQ(interruptProbe(probe), 0) << probe.output;
    EXPECT_NE(summaryOf(probe.output).find("summary: received "), std::string::npos) << probe.output;
    EXPECT_TRUE(waitForStderr(relay, "client 127.0.0.1:" + std::to_string(port) + " removed\n", DEADLINE_MS))
        << relay.err;
}

// A reader of --out - that stops (a paused player, a stalled remuxer) for
// longer than the relay waits for a silent viewer, takes up again, then stops
// for good while the probe is stopped.
TEST_F(ProbeAgainstRelay, AStalledReaderCostsWholeDatagramsCountedAsSuchButNeverTheRegistration) {
    probe = startProbe({"--out", "-", "127.0.0.1"}, true);
    ASSERT_TRUE(waitForProbeOutput(probe, "registered: 127.0.0.1:4242 acknowledged")) << probe.output;
    std::string port = std::to_string(probePortOf(probe.output));
    ASSERT_TRUE(waitForStderr(relay, "client connected from 127.0.0.1:" + port + "  \n", DEADLINE_MS)) << relay.err;

    // More than the pipe and the probe's queue hold together.
    probe.readerStalled = true;
    int encoder = socket(AF_INET, SOCK_DGRAM, 0);
    int sent = 0;
    auto send = [&](int count) {
        for (int i = 0; i < count; i++, sent++) {
            if (!waitForQueuesBelow({5000, static_cast<uint16_t>(std::stoi(port))}, 64 * 1024, DEADLINE_MS)) return;
            sendTo(encoder, 5000, videoPayload(sent));
            takePayloads(probe);
        }
    };
    send(2000);
    EXPECT_EQ(sent, 2000) << "the probe stopped receiving behind its reader\n" << probe.output;
    long long end = monotonicMs() + DEADLINE_MS;
    while (sumInSecondLines(probe.output, "output dropped ") == 0 && monotonicMs() < end) pumpProbe(probe, 100);
    EXPECT_GT(sumInSecondLines(probe.output, "output dropped "), 0) << probe.output;

    // A viewer that registers now and falls silent: once the relay has dropped
    // it, a sweep has found the silence that drops a viewer, while the reader stalled.
    uint16_t silentPort = 0;
    int silent = openRegisteredViewer(&silentPort, 1);
    ASSERT_GE(silent, 0);
    EXPECT_TRUE(waitForStderr(relay, "Client 127.0.0.1:" + std::to_string(silentPort) + " lost\n", DEADLINE_MS))
        << relay.err;
    close(silent);
    EXPECT_EQ(relay.err.find("Client 127.0.0.1:" + port + " lost"), std::string::npos) << relay.err;

    // The reader takes up again: the probe's backlog first (new datagrams may
    // find no room until it is written), then every new datagram.
    probe.readerStalled = false;
    int firstAfterStall = sent;
    auto newOneArrived = [&] {
        Delivered sofar = takeApart(probe.payloads, sent);
        return !sofar.whole.empty() && sofar.whole.back() >= firstAfterStall;
    };
    end = monotonicMs() + DEADLINE_MS;
    while (!newOneArrived() && monotonicMs() < end) send(1);
    ASSERT_TRUE(newOneArrived()) << "nothing new reached the reader after it took up again\n" << probe.output;
    int resumedAt = sent;
    send(100);
    ASSERT_TRUE(waitForTotal(probe, sent)) << probe.output;

    // The reader stops for good, and the probe is stopped.
    probe.readerStalled = true;
    send(200);
    ASSERT_TRUE(waitForTotal(probe, sent)) << probe.output;
    close(encoder);
    ASSERT_EQ(interruptProbe(probe), 0) << "a stalled reader must not hold the probe\n" << probe.output;
    EXPECT_EQ(probe.output.find("registered again"), std::string::npos) << probe.output;

    probe.readerStalled = false;
    while (probe.payloadFd >= 0) takePayloads(probe);
    Delivered delivered = takeApart(probe.payloads, sent);
    EXPECT_FALSE(delivered.unexplained) << "bytes on standard output that are no whole payload";
    for (int i = resumedAt; i < resumedAt + 100; i++)
        EXPECT_TRUE(std::count(delivered.whole.begin(), delivered.whole.end(), i)) << "payload " << i << " missing";
    long long sentBytes = payloadBytesOf(sent);
    std::string summary = summaryOf(probe.output);
    EXPECT_EQ(numberAfter(summary, "summary: received "), sent) << summary;
    EXPECT_EQ(numberAfter(summary, "lost "), 0) << summary;
    size_t droppedAt = summary.find("output dropped ");
    ASSERT_NE(droppedAt, std::string::npos) << summary;
    EXPECT_EQ(numberAfter(summary.substr(droppedAt), "output dropped "),
              sent - static_cast<long long>(delivered.whole.size()))
        << summary;
    EXPECT_EQ(numberAfter(summary.substr(droppedAt), "datagrams, "), sentBytes - delivered.bytes) << summary;
}

// The payload whose write failed and every one received after it count as not written.
TEST_F(ProbeAgainstRelay, AnOutputThatCannotBeWrittenIsSaidCountsEveryPayloadDroppedAndEndsInStatusOne) {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full here, the device that is always full";
    probe = startProbe({"--out", "/dev/full", "127.0.0.1"});
    ASSERT_TRUE(waitForProbeOutput(probe, "registered: 127.0.0.1:4242 acknowledged")) << probe.output;
    int port = probePortOf(probe.output);
    ASSERT_TRUE(waitForStderr(relay, "client connected from 127.0.0.1:" + std::to_string(port) + "  \n", DEADLINE_MS))
        << relay.err;
    const int count = 50;
    sendVideo(count, static_cast<uint16_t>(port));
    EXPECT_TRUE(waitForProbeOutput(probe, "relay-probe: writing /dev/full failed (" + std::string(strerror(ENOSPC))))
        << probe.output;
    ASSERT_TRUE(waitForTotal(probe, count)) << probe.output;
    EXPECT_EQ(interruptProbe(probe), 1) << probe.output;
    std::string summary = summaryOf(probe.output);
    size_t droppedAt = summary.find("output dropped ");
    ASSERT_NE(droppedAt, std::string::npos) << summary;
    EXPECT_EQ(numberAfter(summary.substr(droppedAt), "output dropped "), count) << summary;
    EXPECT_EQ(numberAfter(summary.substr(droppedAt), "datagrams, "), payloadBytesOf(count)) << summary;
}

// A reader of --out - that keeps taking, but slowly (what is queued would take
// it minutes): the end still gives up on it at its bound, and a second Ctrl-C
// ends the probe without waiting even for that. Either way the standard
// output it shares with the test, as with a shell, is blocking again.
TEST_F(ProbeAgainstRelay, ASlowReaderHoldsTheEndOnlyBrieflyAndASecondCtrlCEndsItAtOnce) {
    for (bool secondCtrlC : {false, true}) {
        SCOPED_TRACE(secondCtrlC ? "Ctrl-C twice" : "Ctrl-C once");
        probe = startProbe({"--out", "-", "127.0.0.1"}, true, true);
        ASSERT_TRUE(waitForProbeOutput(probe, "registered: 127.0.0.1:4242 acknowledged")) << probe.output;
        int port = probePortOf(probe.output);
        ASSERT_TRUE(
            waitForStderr(relay, "client connected from 127.0.0.1:" + std::to_string(port) + "  \n", DEADLINE_MS))
            << relay.err;
        // About a megabyte behind a stalled reader: the pipe full, the queue mostly.
        probe.readerStalled = true;
        const int count = 1200;
        sendVideo(count, static_cast<uint16_t>(port));
        ASSERT_TRUE(waitForTotal(probe, count)) << probe.output;
        probe.readerStalled = false;
        probe.readerSlow = true;
        kill(probe.pid, SIGINT);
        if (secondCtrlC) {
            ASSERT_TRUE(waitForProbeOutput(probe, "removal sent to 127.0.0.1:4242")) << probe.output;
            kill(probe.pid, SIGINT);
        }
        int status = waitForProbeEnd(probe);
        if (secondCtrlC) {
            EXPECT_TRUE(status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == SIGINT)
                << "wait status " << status << "\n"
                << probe.output;
            EXPECT_EQ(summaryOf(probe.output), "") << probe.output;
        } else {
            EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0)
                << "wait status " << status << " (-1: still writing to the slow reader at the deadline)\n"
                << probe.output;
            EXPECT_NE(summaryOf(probe.output), "") << probe.output;
        }
        EXPECT_EQ(fcntl(probe.sharedStdoutFd, F_GETFL) & O_NONBLOCK, 0);
        close(probe.sharedStdoutFd);
        close(probe.payloadFd);
        probe = ProbeRun();
    }
}

TEST_F(ProbeAgainstRelay, ADataOnlyViewerIsAcknowledgedAndGetsNoVideo) {
    probe = startProbe({"127.0.0.1", "--data-only"});
    ASSERT_TRUE(waitForProbeOutput(probe, "registered:")) << probe.output;
    ASSERT_TRUE(waitForStderr(relay, "(only data)\n", DEADLINE_MS)) << relay.err;
    // A full viewer beside it, to know when the relay has sent everything.
    uint16_t viewerPort = 0;
    int viewer = openViewerSocket(&viewerPort);
    sendTo(viewer, 4242, controlDatagram({0, 0}));
    std::vector<uint8_t> datagram;
    ASSERT_TRUE(receiveWithin(viewer, &datagram, DEADLINE_MS));
    ASSERT_EQ(datagram.size(), 1u) << "the acknowledgement";
    // One at a time, each waited for, so the viewer's buffer never fills.
    int fullViewerGot = 0;
    for (int i = 0; i < 100; i++) {
        sendVideo(1, viewerPort);
        fullViewerGot += receiveWithin(viewer, &datagram, DEADLINE_MS) ? 1 : 0;
    }
    EXPECT_EQ(fullViewerGot, 100);
    close(viewer);
    ASSERT_EQ(interruptProbe(probe), 0) << probe.output;
    EXPECT_NE(probe.output.find("data-only viewer"), std::string::npos) << probe.output;
    EXPECT_EQ(numberAfter(summaryOf(probe.output), "summary: received "), 0) << probe.output;
}

TEST_F(ProbeAgainstRelay, DatagramsDroppedOnTheWayAreCountedLost) {
    // Every tenth video datagram to the probe's port is dropped as it leaves
    // the relay; the one-byte acknowledgement is too short to match.
    const int port = 40400;
    std::string rule = "iptables-legacy -A OUTPUT -p udp --sport 4242 --dport " + std::to_string(port) +
                       " -m length --length 100:65535 -m statistic --mode nth --every 10 --packet 5 -j DROP";
    ASSERT_EQ(std::system(rule.c_str()), 0) << "needs iptables (iptables-legacy) and the statistic match: " << rule;

    probe = startProbe({"127.0.0.1", "--local-port", std::to_string(port)});
    ASSERT_TRUE(waitForProbeOutput(probe, "registered:")) << probe.output;
    sendVideo(600, port);
    // The per-second lines show the loss as it happens.
    long long end = monotonicMs() + DEADLINE_MS;
    while (sumInSecondLines(probe.output, "lost ") < 60 && monotonicMs() < end) pumpProbe(probe, 100);
    ASSERT_TRUE(waitForTotal(probe, 540)) << probe.output;
    EXPECT_EQ(sumInSecondLines(probe.output, "lost "), 60) << probe.output;
    ASSERT_EQ(interruptProbe(probe), 0) << probe.output;
    EXPECT_EQ(numberAfter(summaryOf(probe.output), "summary: received "), 540) << probe.output;
    EXPECT_EQ(numberAfter(summaryOf(probe.output), "lost "), 60) << probe.output;
    EXPECT_EQ(numberAfter(summaryOf(probe.output), "reordered "), 0) << probe.output;
}

// The test plays the relay itself, so it can send any sequence numbers.
class ProbeAgainstScriptedRelay : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        ASSERT_TRUE(enterFreshNetworkNamespace(&why)) << why;
        relaySocket = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(4242);
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(relaySocket, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    }
    void TearDown() override {
        if (probe.pid > 0) interruptProbe(probe);
        close(relaySocket);
    }
    // Receives one control datagram from the probe; its command and option bytes.
    bool receiveControl(std::vector<uint8_t>* datagram, sockaddr_in* from) {
        return receiveWithin(relaySocket, datagram, DEADLINE_MS, from);
    }
    void sendStream(const sockaddr_in& to, uint32_t sequence) {
        uint8_t datagram[112] = {0x42,
                                 1,
                                 0,
                                 0,
                                 static_cast<uint8_t>(sequence),
                                 static_cast<uint8_t>(sequence >> 8),
                                 static_cast<uint8_t>(sequence >> 16),
                                 static_cast<uint8_t>(sequence >> 24)};
        sendto(relaySocket, datagram, sizeof datagram, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }
    int relaySocket = -1;
    ProbeRun probe;
};

TEST_F(ProbeAgainstScriptedRelay, RegistersEveryHalfSecondAndTellsLateFromRepeatedAndMissing) {
    probe = startProbe({"127.0.0.1", "--data-only"});
    std::vector<uint8_t> control;
    sockaddr_in probeAddress{};
    ASSERT_TRUE(receiveControl(&control, &probeAddress));
    ASSERT_EQ(control.size(), 14u);
    EXPECT_EQ(control[0], 0x42);
    EXPECT_EQ(control[12], 0) << "register";
    EXPECT_EQ(control[13], 1) << "data-only";
    uint8_t ack = 0x42;
    sendto(relaySocket, &ack, 1, 0, reinterpret_cast<sockaddr*>(&probeAddress), sizeof probeAddress);
    ASSERT_TRUE(waitForProbeOutput(probe, "registered: 127.0.0.1:4242 acknowledged")) << probe.output;

    // Keep-alives keep coming (one every 500 ms): three more, with a deadline far
    // beyond that pace so a slow machine does not fail it.
    int registrations = 0;
    const long long end = monotonicMs() + 30000;
    while (registrations < 3 && monotonicMs() < end) {
        if (receiveWithin(relaySocket, &control, 200) && control.size() == 14 && control[12] == 0) registrations++;
    }
    EXPECT_EQ(registrations, 3);

    // Counter values straddling a byte boundary: a wrong byte order would show as huge gaps.
    for (uint32_t sequence : {0x1FEu, 0x1FFu, 0x201u, 0x200u, 0x200u, 0x204u}) sendStream(probeAddress, sequence);
    usleep(300000);
    ASSERT_EQ(interruptProbe(probe), 0) << probe.output;
    EXPECT_EQ(numberAfter(summaryOf(probe.output), "summary: received "), 6) << probe.output;
    EXPECT_EQ(numberAfter(summaryOf(probe.output), "lost "), 2) << "0x202 and 0x203 never came\n" << probe.output;
    EXPECT_EQ(numberAfter(summaryOf(probe.output), "reordered "), 1) << probe.output;
    EXPECT_EQ(numberAfter(summaryOf(probe.output), "duplicates "), 1) << probe.output;

    // The removal command is the last thing the probe sends.
    bool removed = false;
    while (receiveWithin(relaySocket, &control, 1000)) removed = control.size() == 14 && control[12] == 1;
    EXPECT_TRUE(removed);
}

TEST(ProbeCommandLine, HelpAndMistakesGiveTheirExitStatus) {
    ProbeRun help = startProbe({"--help"});
    while (pumpProbe(help, 1000)) {
    }
    int status = 0;
    waitpid(help.pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
    EXPECT_NE(help.output.find("Usage: relay-probe"), std::string::npos) << help.output;

    ProbeRun wrong = startProbe({"--duration"});
    while (pumpProbe(wrong, 1000)) {
    }
    waitpid(wrong.pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << "wait status " << status;
    EXPECT_NE(wrong.output.find("--help"), std::string::npos) << wrong.output;
}

}  // namespace
