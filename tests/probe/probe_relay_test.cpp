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
    std::string payloads;  // standard output, with payloadsApart
};

// With payloadsApart, standard output comes back on a pipe of its own.
ProbeRun startProbe(const std::vector<std::string>& args, bool payloadsApart = false) {
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
        close(payloadFds[1]);
        run.payloadFd = payloadFds[0];
    }
    return run;
}

// Takes what the probe has written to its payload pipe so far, so it never blocks on it.
void takePayloads(ProbeRun& run) {
    char chunk[65536];
    pollfd waiting{run.payloadFd, POLLIN, 0};
    while (run.payloadFd >= 0 && poll(&waiting, 1, 0) > 0) {
        ssize_t n = read(run.payloadFd, chunk, sizeof chunk);
        if (n <= 0) {
            close(run.payloadFd);
            run.payloadFd = -1;
            return;
        }
        run.payloads.append(chunk, static_cast<size_t>(n));
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

// Sends SIGINT as Ctrl-C would and waits for the exit status (-1: none).
int interruptProbe(ProbeRun& run) {
    kill(run.pid, SIGINT);
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
    return done != 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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

// The datagrams reported lost, summed over the per-second lines.
long long lostInSecondLines(const std::string& output) {
    long long lost = 0;
    for (size_t line = output.find(" datagrams/s"); line != std::string::npos;
         line = output.find(" datagrams/s", line + 1)) {
        size_t end = output.find('\n', line);
        lost += numberAfter(output.substr(line, end - line), "lost ");
    }
    return lost;
}

// Reads the probe's output until a per-second line shows `total` datagrams received.
bool waitForTotal(ProbeRun& run, long long total) {
    std::string wanted = "total " + std::to_string(total) + "\n";
    return waitForProbeOutput(run, wanted);
}

// The probe's own UDP port, from its first line.
int probePortOf(const std::string& output) { return static_cast<int>(numberAfter(output, "from UDP port ")); }

// The payload of video datagram i: size and bytes both depend on i.
std::vector<uint8_t> videoPayload(int i) {
    std::vector<uint8_t> payload(200 + (i * 37) % 1200);
    for (size_t k = 0; k < payload.size(); k++) payload[k] = static_cast<uint8_t>(i * 7 + k);
    return payload;
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
    while (lostInSecondLines(probe.output) < 60 && monotonicMs() < end) pumpProbe(probe, 100);
    ASSERT_TRUE(waitForTotal(probe, 540)) << probe.output;
    EXPECT_EQ(lostInSecondLines(probe.output), 60) << probe.output;
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
