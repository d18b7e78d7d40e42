#include "relay_harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

long long monotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

namespace {

// Reads whatever is available on the two pipes for up to waitMs; returns
// false once both have reached end of file.
bool pumpOutput(RelayRun& run, int waitMs) {
    pollfd fds[2] = {{run.stdoutFd, POLLIN, 0}, {run.stderrFd, POLLIN, 0}};
    std::string* sinks[2] = {&run.out, &run.err};
    if (run.stdoutFd < 0 && run.stderrFd < 0) return false;
    if (poll(fds, 2, waitMs) <= 0) return true;
    for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP)) == 0) continue;
        char chunk[4096];
        const ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
        if (n > 0) {
            sinks[i]->append(chunk, static_cast<size_t>(n));
        } else {
            close(fds[i].fd);
            (i == 0 ? run.stdoutFd : run.stderrFd) = -1;
        }
    }
    return run.stdoutFd >= 0 || run.stderrFd >= 0;
}

}  // namespace

bool enterFreshNetworkNamespace(std::string* why) {
    if (unshare(CLONE_NEWNET) != 0) {
        *why = std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno);
        return false;
    }
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP;
    up = up && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    if (!up) *why = std::string("bringing lo up: ") + std::strerror(errno);
    if (fd >= 0) close(fd);
    return up;
}

std::string relayBinary() {
    const char* chosen = std::getenv("STREAM_RELAY_BINARY");
    return chosen != nullptr && *chosen != '\0' ? chosen : STREAM_RELAY_PATH;
}

RelayRun startRelay() {
    RelayRun run;
    int outPipe[2];
    int errPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0) return run;
    const std::string binary = relayBinary();
    run.pid = fork();
    if (run.pid == 0) {
        dup2(outPipe[1], STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        close(outPipe[0]);
        close(errPipe[0]);
        close(outPipe[1]);
        close(errPipe[1]);
        execl(binary.c_str(), binary.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    run.stdoutFd = outPipe[0];
    run.stderrFd = errPipe[0];
    return run;
}

bool waitForStderr(RelayRun& run, const std::string& text, int deadlineMs) {
    const long long end = monotonicMs() + deadlineMs;
    while (run.err.find(text) == std::string::npos) {
        const long long left = end - monotonicMs();
        if (left <= 0 || !pumpOutput(run, static_cast<int>(left < 100 ? left : 100)))
            return run.err.find(text) != std::string::npos;
    }
    return true;
}

int waitForExit(RelayRun& run, int deadlineMs) {
    const long long end = monotonicMs() + deadlineMs;
    int status = 0;
    pid_t done = 0;
    while ((done = waitpid(run.pid, &status, WNOHANG)) == 0 && monotonicMs() < end) pumpOutput(run, 50);
    if (done == 0) {
        stopRelay(run);
        return -1;
    }
    while (pumpOutput(run, 1000)) {
    }
    run.pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void stopRelay(RelayRun& run) {
    if (run.pid > 0) {
        kill(run.pid, SIGKILL);
        waitpid(run.pid, nullptr, 0);
        run.pid = -1;
    }
    while (pumpOutput(run, 1000)) {
    }
}

int openViewerSocket(uint16_t* port) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local);
    socklen_t length = sizeof local;
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    if (port != nullptr) *port = ntohs(local.sin_port);
    return fd;
}

void sendTo(int fd, uint16_t port, const std::vector<uint8_t>& bytes) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

bool receiveWithin(int fd, std::vector<uint8_t>* bytes, int deadlineMs, sockaddr_in* from) {
    pollfd waitFor{fd, POLLIN, 0};
    if (poll(&waitFor, 1, deadlineMs) <= 0) return false;
    bytes->resize(65536);
    sockaddr_in sender{};
    socklen_t length = sizeof sender;
    const ssize_t n = recvfrom(fd, bytes->data(), bytes->size(), 0, reinterpret_cast<sockaddr*>(&sender), &length);
    if (n < 0) return false;
    bytes->resize(static_cast<size_t>(n));
    if (from != nullptr) *from = sender;
    return true;
}

std::vector<uint8_t> controlDatagram(std::vector<uint8_t> payload, uint8_t headerFill) {
    std::vector<uint8_t> datagram(12 + payload.size(), headerFill);
    datagram[0] = 0x42;
    for (size_t i = 0; i < payload.size(); ++i) datagram[12 + i] = payload[i];
    return datagram;
}

bool registerUntilAcknowledged(int viewer, uint8_t option) {
    std::vector<uint8_t> answer;
    for (int tries = 0; tries < 100; ++tries) {
        sendTo(viewer, 4242, controlDatagram({0, option}));
        // Video still on its way to a viewer that registers again is passed over.
        while (receiveWithin(viewer, &answer, 100))
            if (answer == std::vector<uint8_t>{0x42}) return true;
    }
    return false;
}

int openRegisteredViewer(uint16_t* port, uint8_t option) {
    const int viewer = openViewerSocket(port);
    return registerUntilAcknowledged(viewer, option) ? viewer : (close(viewer), -1);
}

bool waitUntilListening(RelayRun& run) {
    constexpr int GENEROUS_MS = 60000;
    if (!waitForStderr(run, "Init device discovery\n", GENEROUS_MS)) return false;
    uint16_t port = 0;
    const int viewer = openViewerSocket(&port);
    bool answered = registerUntilAcknowledged(viewer);
    if (answered) {
        sendTo(viewer, 4242, controlDatagram({1}));
        answered = waitForStderr(run, "client 127.0.0.1:" + std::to_string(port) + " removed\n", GENEROUS_MS);
    }
    close(viewer);
    return answered;
}

long queuedBytes(uint16_t localPort) {
    FILE* table = std::fopen("/proc/net/udp", "r");
    if (table == nullptr) return 0;
    char line[512];
    long queued = 0;
    while (std::fgets(line, sizeof line, table) != nullptr) {
        unsigned port = 0;
        unsigned long received = 0;
        if (std::sscanf(line, " %*d: %*x:%x %*x:%*x %*x %*x:%lx", &port, &received) == 2 && port == localPort)
            queued += static_cast<long>(received);
    }
    std::fclose(table);
    return queued;
}

bool waitForQueuesBelow(const std::vector<uint16_t>& ports, long bytes, int deadlineMs) {
    const long long end = monotonicMs() + deadlineMs;
    for (;;) {
        bool below = true;
        for (uint16_t port : ports) below = below && queuedBytes(port) < bytes;
        if (below) return true;
        if (monotonicMs() >= end) return false;
        usleep(1000);
    }
}
