// Soak benchmark for stream-relay: runs the real relay in a network namespace
// of its own for a number of minutes with video at 1,000 datagrams per second
// (with short and long pauses) and ten viewers that join, refresh, leave and
// fall silent at random, some of them data-only. It checks that
//   - every viewer gets every datagram, in order, while it is steadily
//     registered, and a data-only viewer gets none;
//   - every console line on standard error is one that happened, and every
//     line that should have happened is there;
//   - the relay's resident memory stays flat after a baseline phase;
// and prints the figures, the churn phase set against the baseline phase.
//
//   soak RELAY_BINARY [minutes] [seed]     (default 10 minutes)
// The encoder never lets more than 64 KiB wait in the relay's video socket, so
// 1,000 datagrams per second is the most it sends, not a pace the relay must
// keep. With SOAK_UNDER_TOOL set (the relay runs under valgrind) the memory
// figure is printed but not held to the limit, and all pauses are long ones.
// Exit status 0 when every check held, 1 otherwise, 2 on a usage error.
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "relay_harness.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr uint16_t DISCOVERY = 4242;
constexpr uint16_t VIDEO = 5000;
constexpr int VIEWERS = 10;
constexpr int RATE = 1000;                // video datagrams per second while running
constexpr int DRAIN_DEADLINE_MS = 30000;  // for the last datagrams to reach a viewer
constexpr int LINE_DEADLINE_MS = 30000;   // for a console line the relay owes
// The encoder waits while the relay's video socket holds this much, so a
// relay slowed by load or a memory checker never loses a datagram on the way in.
constexpr long VIDEO_QUEUE_LIMIT = 64 * 1024;
constexpr long RSS_GROWTH_LIMIT_KIB = 64;

long long nowMs() { return std::chrono::duration_cast<milliseconds>(Clock::now().time_since_epoch()).count(); }

// ---- what the relay printed on standard error -------------------------------

std::mutex consoleLock;
std::condition_variable consoleChanged;
std::vector<std::string> consoleLines;
std::map<std::string, int> consoleCounts;

void readConsole(int fd) {
    std::string pending;
    char chunk[4096];
    for (;;) {
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n <= 0) break;
        pending.append(chunk, static_cast<size_t>(n));
        size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
            std::lock_guard<std::mutex> hold(consoleLock);
            consoleLines.push_back(pending.substr(0, end));
            ++consoleCounts[consoleLines.back()];
            pending.erase(0, end + 1);
            consoleChanged.notify_all();
        }
    }
}

// Waits until `line` has been printed at least `times` times; false at the deadline.
bool awaitLine(const std::string& line, int times, int deadlineMs) {
    std::unique_lock<std::mutex> hold(consoleLock);
    return consoleChanged.wait_for(hold, milliseconds(deadlineMs), [&] { return consoleCounts[line] >= times; });
}

// ---- the encoder --------------------------------------------------------------

// Datagrams whose sending has begun, and those whose sending has ended; the
// next one carries the number videoBegun. A viewer is owed every datagram
// begun after its acknowledgement came, and at the end every one sent before.
std::atomic<uint64_t> videoBegun{0};
std::atomic<uint64_t> videoSent{0};
std::atomic<bool> stopping{false};
std::atomic<bool> churning{false};  // false during the baseline phase
bool underTool = false;             // the relay runs under a memory checker
int longPauses = 0;
int heldBack = 0;  // datagrams that waited for the relay to take in what was queued
int shortPauses = 0;

void sleepUntil(Clock::time_point when) { std::this_thread::sleep_until(when); }

void sendVideo(int fd, std::mt19937& random) {
    uint8_t payload[1400];
    const uint64_t number = videoSent.load();
    videoBegun.store(number + 1);
    const size_t length = 16 + random() % (sizeof payload - 16);
    std::memcpy(payload, &number, sizeof number);
    for (size_t i = sizeof number; i < length; ++i) payload[i] = static_cast<uint8_t>(number + i);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(VIDEO);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // A failed send is not retried: the number is simply not used, and the
    // relay's sequence shows whether it ever got a datagram.
    if (queuedBytes(VIDEO) >= VIDEO_QUEUE_LIMIT) {
        ++heldBack;
        waitForQueuesBelow({VIDEO}, VIDEO_QUEUE_LIMIT, DRAIN_DEADLINE_MS);
    }
    sendto(fd, payload, length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    videoSent.store(number + 1);
}

// Bursts of 2 to 20 s at RATE, each followed by a pause: a short one
// (100-500 ms, which the relay never reports) or a long one (5-7 s, which it
// always reports). No pauses during the baseline phase. When told to stop it
// ends a pause with one more datagram, so every pause has its restart.
void runEncoder(unsigned seed) {
    std::mt19937 random(seed);
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    Clock::time_point next = Clock::now();
    Clock::time_point burstEnd = Clock::time_point::max();
    bool inBurst = false;
    while (!stopping) {
        if (churning && !inBurst) {
            burstEnd = Clock::now() + milliseconds(2000 + random() % 18000);
            inBurst = true;
        }
        sendVideo(fd, random);
        next += std::chrono::microseconds(1000000 / RATE);
        sleepUntil(next);
        if (!inBurst || Clock::now() < burstEnd || stopping) continue;
        // Under a memory checker a pause the relay must never report (up to
        // 500 ms) is too close to its 1000 ms limit: only long pauses then.
        const bool longPause = random() % 3 == 0 || underTool;
        (longPause ? longPauses : shortPauses)++;
        sleepUntil(Clock::now() + milliseconds(longPause ? 5000 + random() % 2000 : 100 + random() % 400));
        if (stopping) sendVideo(fd, random);
        next = Clock::now();
        inBurst = false;
    }
    close(fd);
}

// ---- the viewers --------------------------------------------------------------

struct ViewerReport {
    uint16_t port = 0;
    std::vector<std::string> expectedLines;  // the relay's lines about this viewer, in order
    uint64_t owed = 0;                       // datagrams it had to receive while steady
    uint64_t received = 0;                   // of those, received in order
    uint64_t lost = 0;
    uint64_t outOfOrder = 0;
    uint64_t toDataOnly = 0;  // video datagrams that reached it while data-only
    uint64_t badHeaders = 0;
    int joins = 0, leaves = 0, silences = 0, dataOnlySessions = 0;
    long long shortestDropMs = 1 << 30, longestDropMs = 0;
    std::vector<std::string> failures;
};

std::vector<uint8_t> controlDatagram(uint8_t command, uint8_t option) {
    std::vector<uint8_t> datagram(14, 0);
    datagram[0] = 0x42;
    datagram[12] = command;
    datagram[13] = option;
    return datagram;
}

void sendControl(int fd, uint8_t command, uint8_t option) {
    const std::vector<uint8_t> datagram = controlDatagram(command, option);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(DISCOVERY);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

struct Session {
    bool dataOnly = false;
    bool acknowledged = false;
    uint64_t firstOwed = 0;  // video number sent next when the acknowledgement came
    uint64_t nextOwed = 0;   // next number expected in order
};

// Takes every datagram queued on the viewer's socket, waiting up to waitMs
// for the first. Checks the video ones against the session.
void receiveFor(int fd, Session& session, ViewerReport& report, int waitMs) {
    uint8_t datagram[2048];
    pollfd wanted{fd, POLLIN, 0};
    if (poll(&wanted, 1, waitMs) <= 0) return;
    for (;;) {
        const ssize_t n = recv(fd, datagram, sizeof datagram, MSG_DONTWAIT);
        if (n < 0) return;
        if (n == 1 && datagram[0] == 0x42) {
            if (!session.acknowledged) {
                session.acknowledged = true;
                session.firstOwed = session.nextOwed = videoBegun.load();
            }
            continue;
        }
        if (n < 12 + 8 || datagram[0] != 0x42 || datagram[1] != 1) {
            ++report.badHeaders;
            continue;
        }
        uint64_t number = 0;
        std::memcpy(&number, datagram + 12, sizeof number);
        const uint32_t sequence =
            datagram[4] | (datagram[5] << 8) | (datagram[6] << 16) | (static_cast<uint32_t>(datagram[7]) << 24);
        // The relay counts every datagram it takes in: its sequence equals
        // the encoder's number unless it lost one on the way in.
        if (sequence != static_cast<uint32_t>(number)) ++report.badHeaders;
        if (!session.acknowledged || number < session.firstOwed) continue;  // sent before it joined
        if (session.dataOnly) {
            ++report.toDataOnly;
        } else if (number == session.nextOwed) {
            ++report.received;
            ++session.nextOwed;
        } else if (number > session.nextOwed) {
            report.lost += number - session.nextOwed;
            if (report.failures.size() < 5)
                report.failures.push_back("datagrams " + std::to_string(session.nextOwed) + " to " +
                                          std::to_string(number - 1) + " missing (owed from " +
                                          std::to_string(session.firstOwed) + ")");
            session.nextOwed = number + 1;
        } else {
            ++report.outOfOrder;
        }
    }
}

std::string endpoint(uint16_t port) { return "127.0.0.1:" + std::to_string(port); }

void runViewer(int index, unsigned seed, long long baselineEndMs, long long endMs, ViewerReport* report) {
    std::mt19937 random(seed);
    const int fd = openViewerSocket(&report->port);
    // Room for seconds of video, so a busy machine does not drop it here.
    const int bufferSize = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bufferSize, sizeof bufferSize);
    const std::string me = endpoint(report->port);
    std::map<std::string, int> owedLines;
    auto expectLine = [&](const std::string& line) {
        report->expectedLines.push_back(line);
        return ++owedLines[line];
    };
    auto fail = [&](const std::string& what) { report->failures.push_back("viewer " + me + ": " + what); };

    while (nowMs() < endMs) {
        Session session;
        const bool baseline = nowMs() < baselineEndMs;
        session.dataOnly = !baseline && random() % 10 < 3;
        const uint8_t option = session.dataOnly ? 1 : 0;
        ++report->joins;
        report->dataOnlySessions += session.dataOnly;
        const int connected =
            expectLine("client connected from " + me + " " + (session.dataOnly ? "(only data)" : " "));
        // Registers every 500 ms until acknowledged, as viewers do: at the
        // start the relay may not listen yet when the first one goes out.
        long long joinSentMs = 0;
        const long long ackDeadline = nowMs() + LINE_DEADLINE_MS;
        while (!session.acknowledged && nowMs() < ackDeadline) {
            if (nowMs() - joinSentMs >= 500) {
                sendControl(fd, 0, option);
                joinSentMs = nowMs();
            }
            receiveFor(fd, session, *report, 100);
        }
        if (!session.acknowledged) {
            fail("no acknowledgement");
            break;
        }
        if (!awaitLine(report->expectedLines.back(), connected, LINE_DEADLINE_MS)) fail("no line for its joining");

        // Steady: refresh every 200-600 ms, take the video.
        const long long steadyEnd = baseline ? baselineEndMs + index * 300 : nowMs() + 1000 + random() % 29000;
        long long nextRefresh = nowMs() + 200 + random() % 400;
        long long lastRefreshMs = joinSentMs;
        auto steadyUntil = [&](auto done) {
            while (!done()) {
                const long long now = nowMs();
                if (now >= nextRefresh) {
                    sendControl(fd, 0, option);
                    lastRefreshMs = now;
                    nextRefresh = now + 200 + random() % 400;
                }
                receiveFor(fd, session, *report, static_cast<int>(std::max(1LL, std::min(50LL, nextRefresh - now))));
            }
        };
        steadyUntil([&] { return nowMs() >= std::min(steadyEnd, endMs); });
        // Everything sent so far must arrive before the viewer stops refreshing.
        const uint64_t sentBeforeEnd = videoSent.load();
        const long long drainDeadline = nowMs() + DRAIN_DEADLINE_MS;
        if (!session.dataOnly)
            steadyUntil([&] { return session.nextOwed >= sentBeforeEnd || nowMs() >= drainDeadline; });
        if (!session.dataOnly) {
            report->owed += std::max(sentBeforeEnd, session.nextOwed) - session.firstOwed;
            if (session.nextOwed < sentBeforeEnd) {
                report->lost += sentBeforeEnd - session.nextOwed;
                fail("datagrams " + std::to_string(session.nextOwed) + " to " + std::to_string(sentBeforeEnd - 1) +
                     " never arrived");
            }
        }

        if (random() % 2 == 0 || nowMs() >= endMs) {
            ++report->leaves;
            sendControl(fd, 1, 0);
            const std::string line = "client " + me + " removed";
            if (!awaitLine(line, expectLine(line), LINE_DEADLINE_MS)) fail("no line for its leaving");
        } else {
            ++report->silences;
            const long long silentFrom = lastRefreshMs;
            const std::string line = "Client " + me + " lost";
            const int times = expectLine(line);
            Session ignored;
            while (!awaitLine(line, times, 0) && nowMs() - silentFrom < LINE_DEADLINE_MS)
                receiveFor(fd, ignored, *report, 50);
            const long long droppedAfter = nowMs() - silentFrom;
            if (droppedAfter >= LINE_DEADLINE_MS) fail("never dropped after falling silent");
            report->shortestDropMs = std::min(report->shortestDropMs, droppedAfter);
            report->longestDropMs = std::max(report->longestDropMs, droppedAfter);
        }
        Session away;
        const long long idleEnd = nowMs() + random() % 2000;
        while (nowMs() < idleEnd) receiveFor(fd, away, *report, 50);
    }
    close(fd);
}

// ---- the relay process ----------------------------------------------------------

long rssKib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

// User plus system CPU time of the process, in milliseconds.
long long cpuMs(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i == 14 || i == 15) ticks += std::stoll(field);
    return ticks * 1000 / sysconf(_SC_CLK_TCK);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: soak RELAY_BINARY [minutes] [seed]\n");
        return 2;
    }
    const double minutes = argc > 2 ? std::atof(argv[2]) : 10.0;
    const unsigned seed = argc > 3 ? static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10)) : 1;
    if (minutes <= 0) return 2;
    std::string why;
    if (!enterFreshNetworkNamespace(&why)) {
        std::fprintf(stderr, "a network namespace of its own (run as root): %s\n", why.c_str());
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    underTool = std::getenv("SOAK_UNDER_TOOL") != nullptr;

    setenv("STREAM_RELAY_BINARY", argv[1], 1);
    const RelayRun run = startRelay();
    const pid_t relay = run.pid;
    if (relay <= 0) return 2;
    std::thread console(readConsole, run.stderrFd);
    std::string standardOutput;
    std::thread output([&] {
        char chunk[4096];
        ssize_t n;
        while ((n = read(run.stdoutFd, chunk, sizeof chunk)) > 0) standardOutput.append(chunk, static_cast<size_t>(n));
    });
    if (!awaitLine("Init device discovery", 1, LINE_DEADLINE_MS)) {
        std::fprintf(stderr, "the relay did not start\n");
        kill(relay, SIGKILL);
        return 1;
    }

    const long long totalMs = static_cast<long long>(minutes * 60000);
    const long long baselineMs = std::min(60000LL, totalMs / 10);
    const long long startMs = nowMs();
    const long long baselineEndMs = startMs + baselineMs;
    const long long endMs = startMs + totalMs;

    std::thread encoder(runEncoder, seed);
    std::vector<ViewerReport> reports(VIEWERS);
    std::vector<std::thread> viewers;
    for (int i = 0; i < VIEWERS; ++i)
        viewers.emplace_back(runViewer, i, seed * 100 + i + 1, baselineEndMs, endMs, &reports[i]);

    // The baseline phase: ten steady full viewers, video without pauses.
    // Memory and CPU are measured from its middle (warm) to its end.
    usleep(static_cast<useconds_t>(baselineMs / 2 * 1000));
    const long rssBaselineStart = rssKib(relay);
    const long long cpuBaselineStart = cpuMs(relay);
    const uint64_t sentBaselineStart = videoSent.load();
    usleep(static_cast<useconds_t>((baselineEndMs - nowMs()) * 1000));
    const long rssChurnStart = rssKib(relay);
    const long long cpuChurnStart = cpuMs(relay);
    const uint64_t sentChurnStart = videoSent.load();
    churning = true;

    long rssMax = rssChurnStart;
    while (nowMs() < endMs) {
        usleep(1000000);
        rssMax = std::max(rssMax, rssKib(relay));
    }
    for (std::thread& viewer : viewers) viewer.join();
    const long rssEnd = rssKib(relay);
    const long long cpuEnd = cpuMs(relay);
    const double churnSeconds = static_cast<double>(nowMs() - baselineEndMs) / 1000.0;
    const uint64_t sentEnd = videoSent.load();
    stopping = true;
    encoder.join();

    // A last datagram with no bytes ends the relay with status 1, which
    // writes out its buffered standard output.
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(VIDEO);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(fd, "", 0, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    int status = 0;
    waitpid(relay, &status, 0);
    console.join();
    output.join();

    // ---- checks and figures ----
    std::vector<std::string> failures;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 1)
        failures.push_back("the relay did not end with status 1 but with " +
                           (WIFEXITED(status) ? "status " + std::to_string(WEXITSTATUS(status))
                                              : "signal " + std::to_string(WTERMSIG(status))));
    ViewerReport total;
    std::map<uint16_t, const ViewerReport*> byPort;
    for (const ViewerReport& r : reports) {
        byPort[r.port] = &r;
        failures.insert(failures.end(), r.failures.begin(), r.failures.end());
        total.owed += r.owed;
        total.received += r.received;
        total.lost += r.lost;
        total.outOfOrder += r.outOfOrder;
        total.toDataOnly += r.toDataOnly;
        total.badHeaders += r.badHeaders;
        total.joins += r.joins;
        total.leaves += r.leaves;
        total.silences += r.silences;
        total.dataOnlySessions += r.dataOnlySessions;
        if (r.silences) {
            total.shortestDropMs = std::min(total.shortestDropMs, r.shortestDropMs);
            total.longestDropMs = std::max(total.longestDropMs, r.longestDropMs);
        }
    }

    // Every line must belong to a viewer's story, to the video's, or to start-up.
    std::map<uint16_t, std::vector<std::string>> seenAbout;
    int videoConnected = 0, videoDisconnected = 0, unexpected = 0;
    for (const std::string& line : consoleLines) {
        if (line == "Init video source" || line == "Init device discovery") continue;
        if (line == "video connected") {
            ++videoConnected;
            continue;
        }
        if (line == "video disconnected") {
            ++videoDisconnected;
            continue;
        }
        bool placed = false;
        const size_t at = line.find("127.0.0.1:");
        if (at != std::string::npos) {
            const uint16_t port = static_cast<uint16_t>(std::atoi(line.c_str() + at + 10));
            if (byPort.count(port)) {
                seenAbout[port].push_back(line);
                placed = true;
            }
        }
        if (!placed) {
            ++unexpected;
            failures.push_back("unexpected console line: " + line);
        }
    }
    for (const ViewerReport& r : reports)
        if (seenAbout[r.port] != r.expectedLines)
            failures.push_back("the console's story of viewer " + endpoint(r.port) + " differs from what it did");
    // Every long pause is reported once and followed by a new start; short ones never.
    if (videoDisconnected != longPauses) failures.push_back("video disconnected lines do not match the long pauses");
    if (videoConnected != longPauses + 1) failures.push_back("video connected lines do not match the starts");
    if (total.lost || total.outOfOrder || total.toDataOnly || total.badHeaders)
        failures.push_back("datagrams lost, reordered, misaddressed or with a wrong header");
    if (total.silences && total.shortestDropMs < 2000) failures.push_back("a silent viewer was dropped within 2 s");
    const long rssGrowth = rssEnd - rssChurnStart;
    // Under a memory checker the figure is the checker's own, not the relay's.
    if (rssGrowth > RSS_GROWTH_LIMIT_KIB && !underTool) failures.push_back("resident memory grew by more than 64 KiB");
    int countLines = 0, countAboveTen = 0;
    std::istringstream out(standardOutput);
    for (std::string line; std::getline(out, line);) {
        if (line.rfind("client count = ", 0) != 0) continue;
        ++countLines;
        if (std::atoi(line.c_str() + 15) > VIEWERS) ++countAboveTen;
    }
    if (countAboveTen) failures.push_back("a viewer count above ten");

    const double baselineSeconds = static_cast<double>(baselineMs) / 2000.0;
    const double cpuPerThousandBaseline = 1000.0 * static_cast<double>(cpuChurnStart - cpuBaselineStart) /
                                          static_cast<double>(sentChurnStart - sentBaselineStart);
    const double cpuPerThousandChurn = 1000.0 * static_cast<double>(cpuEnd - cpuChurnStart) /
                                       static_cast<double>(std::max<uint64_t>(1, sentEnd - sentChurnStart));
    std::printf("soak: %.1f min, seed %u; baseline phase %.0f s measured (ten steady viewers), churn phase %.0f s\n",
                minutes, seed, baselineSeconds, churnSeconds);
    std::printf(
        "video: %llu datagrams sent (%.0f/s over the churn phase, pauses included), %d long pauses, %d short pauses, "
        "%d held back for the relay\n",
        static_cast<unsigned long long>(sentEnd), static_cast<double>(sentEnd - sentChurnStart) / churnSeconds,
        longPauses, shortPauses, heldBack);
    std::printf("viewers: %d sessions (%d data-only), %d leaves, %d silences dropped after %lld-%lld ms\n", total.joins,
                total.dataOnlySessions, total.leaves, total.silences, total.silences ? total.shortestDropMs : 0,
                total.longestDropMs);
    std::printf(
        "delivery to steady viewers: %llu owed, %llu received in order, %llu lost, %llu out of order, "
        "%llu to data-only viewers, %llu bad headers\n",
        static_cast<unsigned long long>(total.owed), static_cast<unsigned long long>(total.received),
        static_cast<unsigned long long>(total.lost), static_cast<unsigned long long>(total.outOfOrder),
        static_cast<unsigned long long>(total.toDataOnly), static_cast<unsigned long long>(total.badHeaders));
    std::printf(
        "console: %zu lines, %d video connected, %d video disconnected, %d unexpected; %d viewer counts on "
        "standard output\n",
        consoleLines.size(), videoConnected, videoDisconnected, unexpected, countLines);
    std::printf(
        "relay RSS: %ld KiB at baseline middle, %ld KiB at churn start, %ld KiB at end, max %ld KiB; "
        "growth over churn %+ld KiB (limit %ld)\n",
        rssBaselineStart, rssChurnStart, rssEnd, rssMax, rssGrowth, RSS_GROWTH_LIMIT_KIB);
    std::printf("relay CPU per 1000 datagrams: baseline %.1f ms, churn %.1f ms, ratio %.2f\n", cpuPerThousandBaseline,
                cpuPerThousandChurn, cpuPerThousandChurn / cpuPerThousandBaseline);
    for (const std::string& failure : failures) std::printf("FAIL: %s\n", failure.c_str());
    std::printf("soak: %s\n", failures.empty() ? "PASS" : "FAIL");
    return failures.empty() ? 0 : 1;
}
