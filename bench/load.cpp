// Load program for the relay benchmark. It plays the board's encoder (1,400-byte
// datagrams to 127.0.0.1:5000, paced or in closed loop) and ten viewers on
// 127.0.0.1:7001-7010 that re-register on port 4242 every 500 ms, starts the
// program under test itself, and prints one "result" line with what that
// program cost: CPU from /proc/PID/stat, peak RSS, latency, loss, reordering.
//
// Usage: bench-load --program NAME --load paced|closed [--rate N] [--seconds S]
//                   [--burst B] [--size BYTES] [--offset 12|0] [--round R]
//                   [--log FILE] -- COMMAND [ARGS...]
// Run it in a network namespace of its own: the ports are fixed.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/epoll.h>
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
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "load_payload.h"

namespace {

constexpr int VIEWER_COUNT = 10;
constexpr uint16_t FIRST_VIEWER_PORT = 7001;
constexpr uint16_t ENCODER_PORT = 5000;
constexpr uint16_t DISCOVERY_PORT = 4242;
constexpr int REGISTER_PERIOD_MS = 500;
constexpr int VIEWER_SOCKET_BUFFER = 16 * 1024 * 1024;
constexpr int RECEIVE_BATCH = 64;
constexpr int RECEIVE_SLOT = 66000;
constexpr int64_t HISTOGRAM_STEP_NS = 100;
constexpr int HISTOGRAM_BUCKETS = 1000000;  // 100 ns steps up to 100 ms
constexpr int READY_TIMEOUT_S = 60;
constexpr int CLOSED_LOOP_WAIT_MS = 200;
constexpr int DRAIN_QUIET_MS = 1000;

struct Options {
    std::string program = "?";
    std::string load = "paced";
    int rate = 2000;
    double seconds = 30;
    int burst = 32;
    int size = 1400;
    int offset = 12;
    int round = 0;
    std::string log = "/dev/null";
    char** command = nullptr;
};

// What one viewer saw; written by the receiving thread only.
struct ViewerStats {
    std::vector<uint64_t> seen;  // one bit per load sequence number
    uint64_t highest = 0;
    bool any = false;
    uint64_t reordered = 0;
    uint64_t duplicates = 0;
    uint64_t foreign = 0;
};

Options options;
int viewerSockets[VIEWER_COUNT];
int encoderSocket = -1;
pid_t target = -1;
uint64_t sequenceCapacity = 0;

ViewerStats viewers[VIEWER_COUNT];
std::atomic<uint64_t> received[VIEWER_COUNT];  // distinct load datagrams per viewer
std::atomic<bool> warmed[VIEWER_COUNT];
std::vector<uint32_t> latencyHistogram;  // receiving thread only
uint64_t latencyOverflow = 0;
std::atomic<bool> stopping{false};

// The closed loop waits here until every viewer has what was sent.
std::mutex progressLock;
std::condition_variable progressSignal;
std::atomic<uint64_t> waitingFor{0};

int64_t realtimeNs() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

int64_t monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "bench-load: %s\n", what);
    if (target > 0) kill(target, SIGKILL);
    std::exit(2);
}

void usage() {
    fail(
        "usage: bench-load --program NAME --load paced|closed [--rate N] [--seconds S] [--burst B] "
        "[--size BYTES] [--offset 12|0] [--round R] [--log FILE] -- COMMAND [ARGS...]");
}

void parseOptions(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--") {
            if (i + 1 >= argc) usage();
            options.command = argv + i + 1;
            break;
        }
        if (i + 1 >= argc) usage();
        const char* value = argv[++i];
        if (name == "--program")
            options.program = value;
        else if (name == "--load")
            options.load = value;
        else if (name == "--rate")
            options.rate = std::atoi(value);
        else if (name == "--seconds")
            options.seconds = std::atof(value);
        else if (name == "--burst")
            options.burst = std::atoi(value);
        else if (name == "--size")
            options.size = std::atoi(value);
        else if (name == "--offset")
            options.offset = std::atoi(value);
        else if (name == "--round")
            options.round = std::atoi(value);
        else if (name == "--log")
            options.log = value;
        else
            usage();
    }
    if (options.command == nullptr || (options.load != "paced" && options.load != "closed")) usage();
    if (options.size < LOAD_PAYLOAD_MIN || options.size > 65000 || options.rate <= 0 || options.burst <= 0 ||
        options.seconds <= 0)
        usage();
}

sockaddr_in loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

void openSockets() {
    for (int i = 0; i < VIEWER_COUNT; ++i) {
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, IPPROTO_UDP);
        // FORCE needs root; the plain option is the fallback elsewhere.
        if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &VIEWER_SOCKET_BUFFER, sizeof VIEWER_SOCKET_BUFFER) != 0)
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &VIEWER_SOCKET_BUFFER, sizeof VIEWER_SOCKET_BUFFER);
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
        const sockaddr_in local = loopback(static_cast<uint16_t>(FIRST_VIEWER_PORT + i));
        if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
            fail("cannot bind a viewer port (run in a network namespace of its own)");
        viewerSockets[i] = fd;
    }
    encoderSocket = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    setsockopt(encoderSocket, SOL_SOCKET, SO_SNDBUFFORCE, &VIEWER_SOCKET_BUFFER, sizeof VIEWER_SOCKET_BUFFER);
    const sockaddr_in to = loopback(ENCODER_PORT);
    connect(encoderSocket, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

void startTarget() {
    target = fork();
    if (target < 0) fail("fork failed");
    if (target == 0) {
        const int log = open(options.log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (log >= 0) {
            dup2(log, STDOUT_FILENO);
            dup2(log, STDERR_FILENO);
        }
        execvp(options.command[0], options.command);
        _exit(127);
    }
}

bool targetAlive() {
    int status = 0;
    return waitpid(target, &status, WNOHANG) == 0;
}

void stopTarget() {
    kill(target, SIGTERM);
    for (int i = 0; i < 200; ++i) {
        if (!targetAlive()) return;
        sleepMs(10);
    }
    kill(target, SIGKILL);
    waitpid(target, nullptr, 0);
}

// utime + stime of the whole process (all threads), in seconds.
double targetCpuSeconds() {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(target));
    FILE* file = std::fopen(path, "r");
    if (file == nullptr) fail("cannot read the target's /proc/PID/stat");
    char text[4096] = {};
    const size_t length = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    text[length] = '\0';
    // Fields after the command name, which is in parentheses and may hold spaces.
    const char* rest = std::strrchr(text, ')');
    if (rest == nullptr) fail("unexpected /proc/PID/stat");
    unsigned long long utime = 0, stime = 0;
    if (std::sscanf(rest + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) != 2)
        fail("unexpected /proc/PID/stat");
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long targetPeakRssKib() {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(target));
    FILE* file = std::fopen(path, "r");
    if (file == nullptr) return -1;
    char line[256];
    long kib = -1;
    while (std::fgets(line, sizeof line, file) != nullptr)
        if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1) break;
    std::fclose(file);
    return kib;
}

void registerViewers() {
    uint8_t registration[14] = {0x42};  // header, command 0 (register), option 0
    const sockaddr_in relay = loopback(DISCOVERY_PORT);
    for (int fd : viewerSockets)
        sendto(fd, registration, sizeof registration, 0, reinterpret_cast<const sockaddr*>(&relay), sizeof relay);
}

void registrationLoop() {
    while (!stopping.load()) {
        registerViewers();
        for (int waited = 0; waited < REGISTER_PERIOD_MS && !stopping.load(); waited += 10) sleepMs(10);
    }
}

void recordLatency(int64_t ns) {
    if (ns < 0) ns = 0;
    const int64_t bucket = ns / HISTOGRAM_STEP_NS;
    if (bucket >= HISTOGRAM_BUCKETS)
        ++latencyOverflow;
    else
        ++latencyHistogram[static_cast<size_t>(bucket)];
}

void recordArrival(int viewer, uint64_t sequence) {
    ViewerStats& stats = viewers[viewer];
    if (sequence >= sequenceCapacity) {
        ++stats.foreign;
        return;
    }
    uint64_t& word = stats.seen[sequence / 64];
    const uint64_t bit = uint64_t{1} << (sequence % 64);
    if ((word & bit) != 0) {
        ++stats.duplicates;
        return;
    }
    word |= bit;
    if (stats.any && sequence < stats.highest) ++stats.reordered;
    if (!stats.any || sequence > stats.highest) stats.highest = sequence;
    stats.any = true;
    received[viewer].fetch_add(1, std::memory_order_release);
}

void handleDatagram(int viewer, const uint8_t* data, size_t length, int64_t arrivalNs) {
    if (length < static_cast<size_t>(options.offset) + LOAD_PAYLOAD_MIN) return;  // an acknowledgement
    LoadStamp stamp;
    if (!readLoadStamp(data + options.offset, &stamp)) {
        ++viewers[viewer].foreign;
        return;
    }
    if (stamp.warmUp) {
        warmed[viewer].store(true);
        return;
    }
    recordLatency(arrivalNs - stamp.sentNs);
    recordArrival(viewer, stamp.sequence);
}

// The kernel's receive timestamp, so the load program's own wake-up is not
// counted against the program under test.
int64_t arrivalTime(const msghdr& message) {
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(const_cast<msghdr*>(&message), c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
            timespec stamp;
            std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
            return static_cast<int64_t>(stamp.tv_sec) * 1000000000 + stamp.tv_nsec;
        }
    }
    return realtimeNs();
}

void notifyProgress() {
    const uint64_t wanted = waitingFor.load();
    if (wanted == 0) return;
    for (const auto& count : received)
        if (count.load(std::memory_order_acquire) < wanted) return;
    std::lock_guard<std::mutex> hold(progressLock);
    progressSignal.notify_all();
}

void drainViewer(int viewer, std::vector<uint8_t>& buffers, std::vector<uint8_t>& controls) {
    mmsghdr messages[RECEIVE_BATCH];
    iovec vectors[RECEIVE_BATCH];
    for (;;) {
        for (int i = 0; i < RECEIVE_BATCH; ++i) {
            vectors[i] = {buffers.data() + static_cast<size_t>(i) * RECEIVE_SLOT, RECEIVE_SLOT};
            messages[i] = {};
            messages[i].msg_hdr.msg_iov = &vectors[i];
            messages[i].msg_hdr.msg_iovlen = 1;
            messages[i].msg_hdr.msg_control = controls.data() + static_cast<size_t>(i) * 64;
            messages[i].msg_hdr.msg_controllen = 64;
        }
        const int count = recvmmsg(viewerSockets[viewer], messages, RECEIVE_BATCH, MSG_DONTWAIT, nullptr);
        if (count <= 0) return;
        for (int i = 0; i < count; ++i)
            handleDatagram(viewer, static_cast<const uint8_t*>(vectors[i].iov_base), messages[i].msg_len,
                           arrivalTime(messages[i].msg_hdr));
        if (count < RECEIVE_BATCH) return;
    }
}

void viewerLoop() {
    std::vector<uint8_t> buffers(static_cast<size_t>(RECEIVE_BATCH) * RECEIVE_SLOT);
    std::vector<uint8_t> controls(static_cast<size_t>(RECEIVE_BATCH) * 64);
    const int poller = epoll_create1(0);
    for (int i = 0; i < VIEWER_COUNT; ++i) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u32 = static_cast<uint32_t>(i);
        epoll_ctl(poller, EPOLL_CTL_ADD, viewerSockets[i], &event);
    }
    epoll_event ready[VIEWER_COUNT];
    while (!stopping.load()) {
        const int count = epoll_wait(poller, ready, VIEWER_COUNT, 50);
        for (int i = 0; i < count; ++i) drainViewer(static_cast<int>(ready[i].data.u32), buffers, controls);
        if (count > 0) notifyProgress();
    }
    close(poller);
}

void sendLoad(uint64_t sequence, bool warmUp, std::vector<uint8_t>& payload) {
    LoadStamp stamp{sequence, realtimeNs(), warmUp};
    writeLoadStamp(payload.data(), stamp);
    send(encoderSocket, payload.data(), payload.size(), 0);
}

bool allWarmed() {
    for (const auto& flag : warmed)
        if (!flag.load()) return false;
    return true;
}

void warmUp(std::vector<uint8_t>& payload) {
    const int64_t deadline = monotonicNs() + int64_t{READY_TIMEOUT_S} * 1000000000;
    while (!allWarmed()) {
        if (!targetAlive()) fail("the program under test ended during start-up");
        if (monotonicNs() > deadline) fail("the viewers got nothing from the program under test");
        sendLoad(0, true, payload);
        sleepMs(10);
    }
    sleepMs(300);  // let the last warm-up datagrams pass before measuring
}

uint64_t runPaced(std::vector<uint8_t>& payload) {
    const uint64_t total = static_cast<uint64_t>(options.rate * options.seconds);
    const int64_t periodNs = 1000000000 / options.rate;
    const int64_t start = monotonicNs();
    for (uint64_t sequence = 0; sequence < total; ++sequence) {
        const int64_t due = start + static_cast<int64_t>(sequence) * periodNs;
        const timespec when{static_cast<time_t>(due / 1000000000), static_cast<long>(due % 1000000000)};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &when, nullptr);
        sendLoad(sequence, false, payload);
    }
    return total;
}

// A burst, then wait until every viewer has all of it (or give up on the
// missing ones after a while; they count as lost).
uint64_t runClosed(std::vector<uint8_t>& payload) {
    const int64_t end = monotonicNs() + static_cast<int64_t>(options.seconds * 1e9);
    uint64_t sent = 0;
    while (monotonicNs() < end && sent + static_cast<uint64_t>(options.burst) <= sequenceCapacity) {
        for (int i = 0; i < options.burst; ++i) sendLoad(sent++, false, payload);
        waitingFor.store(sent);
        std::unique_lock<std::mutex> hold(progressLock);
        progressSignal.wait_for(hold, std::chrono::milliseconds(CLOSED_LOOP_WAIT_MS), [&] {
            for (const auto& count : received)
                if (count.load(std::memory_order_acquire) < sent) return false;
            return true;
        });
    }
    waitingFor.store(0);
    return sent;
}

uint64_t totalReceived() {
    uint64_t sum = 0;
    for (const auto& count : received) sum += count.load();
    return sum;
}

// Waits until every viewer has everything or nothing came for a second.
void drainAfterLoad(uint64_t sent) {
    uint64_t last = totalReceived();
    int64_t lastChange = monotonicNs();
    while (last < sent * VIEWER_COUNT && monotonicNs() - lastChange < int64_t{DRAIN_QUIET_MS} * 1000000) {
        sleepMs(5);
        const uint64_t now = totalReceived();
        if (now != last) {
            last = now;
            lastChange = monotonicNs();
        }
    }
}

double percentileUs(double fraction) {
    uint64_t total = latencyOverflow;
    for (uint32_t count : latencyHistogram) total += count;
    if (total == 0) return -1;
    const uint64_t rank = static_cast<uint64_t>(fraction * static_cast<double>(total) + 0.999999);
    uint64_t cumulative = 0;
    for (size_t i = 0; i < latencyHistogram.size(); ++i) {
        cumulative += latencyHistogram[i];
        if (cumulative >= rank) return static_cast<double>((i + 1) * HISTOGRAM_STEP_NS) / 1000.0;
    }
    return static_cast<double>(HISTOGRAM_BUCKETS * HISTOGRAM_STEP_NS) / 1000.0;  // beyond the histogram
}

std::string perViewer(uint64_t (*figure)(int, uint64_t), uint64_t sent) {
    std::string text;
    for (int i = 0; i < VIEWER_COUNT; ++i) {
        if (i > 0) text += ',';
        text += std::to_string(figure(i, sent));
    }
    return text;
}

uint64_t lostBy(int viewer, uint64_t sent) { return sent - received[viewer].load(); }

uint64_t reorderedBy(int viewer, uint64_t) { return viewers[viewer].reordered; }

uint64_t worst(uint64_t (*figure)(int, uint64_t), uint64_t sent, bool sum) {
    uint64_t result = 0;
    for (int i = 0; i < VIEWER_COUNT; ++i) result = sum ? result + figure(i, sent) : std::max(result, figure(i, sent));
    return result;
}

std::string loadName() {
    if (options.load == "closed") return "closed-burst" + std::to_string(options.burst);
    return "paced-" + std::to_string(options.rate);
}

void printResult(uint64_t sent, double seconds, double cpuSeconds, long peakKib) {
    uint64_t duplicates = 0, foreign = 0;
    for (const ViewerStats& stats : viewers) {
        duplicates += stats.duplicates;
        foreign += stats.foreign;
    }
    std::printf(
        "result program=%s load=%s round=%d sent=%llu seconds=%.3f rate=%.1f cpu_s=%.3f "
        "cpu_ms_per_k=%.4f p50_us=%.1f p99_us=%.1f p999_us=%.1f lost=%llu lost_worst=%llu "
        "reordered=%llu reordered_worst=%llu duplicates=%llu foreign=%llu hwm_kib=%ld "
        "lost_per_viewer=%s reordered_per_viewer=%s\n",
        options.program.c_str(), loadName().c_str(), options.round, static_cast<unsigned long long>(sent), seconds,
        static_cast<double>(sent) / seconds, cpuSeconds,
        sent > 0 ? cpuSeconds * 1000.0 / static_cast<double>(sent) * 1000.0 : 0.0, percentileUs(0.50),
        percentileUs(0.99), percentileUs(0.999), static_cast<unsigned long long>(worst(lostBy, sent, true)),
        static_cast<unsigned long long>(worst(lostBy, sent, false)),
        static_cast<unsigned long long>(worst(reorderedBy, sent, true)),
        static_cast<unsigned long long>(worst(reorderedBy, sent, false)), static_cast<unsigned long long>(duplicates),
        static_cast<unsigned long long>(foreign), peakKib, perViewer(lostBy, sent).c_str(),
        perViewer(reorderedBy, sent).c_str());
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    parseOptions(argc, argv);
    sequenceCapacity = options.load == "paced" ? static_cast<uint64_t>(options.rate * options.seconds)
                                               : static_cast<uint64_t>(500000 * options.seconds);
    for (ViewerStats& stats : viewers) stats.seen.assign(sequenceCapacity / 64 + 1, 0);
    latencyHistogram.assign(HISTOGRAM_BUCKETS, 0);
    std::vector<uint8_t> payload(static_cast<size_t>(options.size), 0x5a);

    openSockets();
    startTarget();
    std::thread receiving(viewerLoop);
    std::thread registering(registrationLoop);
    warmUp(payload);

    const double cpuBefore = targetCpuSeconds();
    const int64_t started = monotonicNs();
    const uint64_t sent = options.load == "paced" ? runPaced(payload) : runClosed(payload);
    const double seconds = static_cast<double>(monotonicNs() - started) / 1e9;
    drainAfterLoad(sent);
    if (!targetAlive()) fail("the program under test ended during the load");
    const double cpuSeconds = targetCpuSeconds() - cpuBefore;
    const long peakKib = targetPeakRssKib();

    stopTarget();
    stopping.store(true);
    receiving.join();
    registering.join();
    printResult(sent, seconds, cpuSeconds, peakKib);
    return 0;
}
