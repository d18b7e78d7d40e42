#include "probe_output.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "probe_net.h"

namespace {

const char* outPath = nullptr;
int outFd = -1;
// Standard output's flags before it was made non-blocking here, or -1; read
// by the stop signal's handler.
volatile sig_atomic_t standardOutputFlags = -1;
OutputState state = OUTPUT_NONE;
OutputCounts counts{};

// The queue: byte counts since the start, so that (count % size) is a
// position and (queued - written) what waits.
uint8_t queue[OUTPUT_QUEUE_BYTES];
uint64_t queuedBytes = 0;
uint64_t writtenBytes = 0;
// Where each waiting datagram ends, as a count of queued bytes.
uint64_t datagramEnds[OUTPUT_QUEUE_DATAGRAMS];
uint64_t datagramsQueued = 0;
uint64_t datagramsWritten = 0;
uint64_t writtenWholeBytes = 0;  // the end of the last datagram written whole

void noteWritten(size_t length) {
    writtenBytes += length;
    while (datagramsWritten < datagramsQueued &&
           datagramEnds[datagramsWritten % OUTPUT_QUEUE_DATAGRAMS] <= writtenBytes) {
        writtenWholeBytes = datagramEnds[datagramsWritten % OUTPUT_QUEUE_DATAGRAMS];
        datagramsWritten++;
    }
}

// What is still queued will never reach the reader whole: count it dropped.
void dropWhatIsQueued() {
    counts.droppedDatagrams += datagramsQueued - datagramsWritten;
    counts.droppedBytes += queuedBytes - writtenWholeBytes;
    datagramsWritten = datagramsQueued;
    writtenBytes = writtenWholeBytes = queuedBytes;
}

void stopOnWriteError() {
    std::fprintf(stderr, "relay-probe: writing %s failed (%s); no more payloads are written\n", outPath,
                 std::strerror(errno));
    state = OUTPUT_FAILED;
    dropWhatIsQueued();
}

}  // namespace

bool openPayloadOutput(const char* path) {
    outPath = path;
    if (path == nullptr) return true;
    if (payloadsOnStandardOutput()) {
        outFd = STDOUT_FILENO;
        // A reader that goes away (a player closed) ends the probe as Ctrl-C
        // does, with the removal sent, rather than killing it with SIGPIPE.
        std::signal(SIGPIPE, SIG_IGN);
    } else {
        // Opened blocking, so a named pipe waits for its reader as before.
        outFd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (outFd < 0) {
            std::fprintf(stderr, "relay-probe: cannot write %s: %s\n", path, std::strerror(errno));
            return false;
        }
    }
    // Without it a write waits for the reader, and the registrations with it.
    // (A regular file takes every write at once anyway.)
    int flags = fcntl(outFd, F_GETFL);
    bool madeNonBlocking = flags >= 0 && fcntl(outFd, F_SETFL, flags | O_NONBLOCK) == 0;
    if (madeNonBlocking && payloadsOnStandardOutput()) standardOutputFlags = flags;
    state = OUTPUT_OPEN;
    return true;
}

bool payloadsOnStandardOutput() { return outPath != nullptr && std::strcmp(outPath, "-") == 0; }

void queuePayload(const uint8_t* payload, size_t length) {
    if (state == OUTPUT_NONE || length == 0) return;
    if (state != OUTPUT_OPEN || length > OUTPUT_QUEUE_BYTES - (queuedBytes - writtenBytes) ||
        datagramsQueued - datagramsWritten == OUTPUT_QUEUE_DATAGRAMS) {
        counts.droppedDatagrams++;
        counts.droppedBytes += length;
        return;
    }
    size_t at = queuedBytes % OUTPUT_QUEUE_BYTES;
    size_t first = length < OUTPUT_QUEUE_BYTES - at ? length : OUTPUT_QUEUE_BYTES - at;
    std::memcpy(queue + at, payload, first);
    std::memcpy(queue, payload + first, length - first);
    queuedBytes += length;
    datagramEnds[datagramsQueued % OUTPUT_QUEUE_DATAGRAMS] = queuedBytes;
    datagramsQueued++;
}

void writeQueuedPayloads() {
    while (state == OUTPUT_OPEN && writtenBytes < queuedBytes) {
        size_t at = writtenBytes % OUTPUT_QUEUE_BYTES;
        uint64_t waiting = queuedBytes - writtenBytes;
        size_t length = waiting < OUTPUT_QUEUE_BYTES - at ? waiting : OUTPUT_QUEUE_BYTES - at;
        ssize_t written = write(outFd, queue + at, length);
        if (written < 0 && errno == EINTR) continue;
        if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (written < 0 && errno == EPIPE && payloadsOnStandardOutput()) {
            state = OUTPUT_READER_GONE;
            dropWhatIsQueued();
            return;
        }
        if (written <= 0) {
            stopOnWriteError();
            return;
        }
        noteWritten(static_cast<size_t>(written));
    }
}

int payloadOutputWaitingFd() { return state == OUTPUT_OPEN && writtenBytes < queuedBytes ? outFd : -1; }

void flushPayloadOutput(int64_t deadlineUs) {
    for (;;) {
        writeQueuedPayloads();
        pollfd room{payloadOutputWaitingFd(), POLLOUT, 0};
        if (room.fd < 0) break;
        int64_t leftUs = deadlineUs - monotonicUs();
        if (leftUs <= 0) break;
        poll(&room, 1, static_cast<int>((leftUs + 999) / 1000));
    }
    if (state == OUTPUT_OPEN) dropWhatIsQueued();
}

bool closePayloadOutput() {
    if (outFd < 0) return true;
    if (payloadsOnStandardOutput()) {
        restoreStandardOutputFlags();
        return true;
    }
    // After a failed write its message has been printed already.
    if (close(outFd) != 0 && state != OUTPUT_FAILED) {
        std::fprintf(stderr, "relay-probe: writing %s failed: %s\n", outPath, std::strerror(errno));
        return false;
    }
    return true;
}

void restoreStandardOutputFlags() {
    if (standardOutputFlags >= 0) fcntl(STDOUT_FILENO, F_SETFL, standardOutputFlags);
}

OutputState payloadOutputState() { return state; }

const OutputCounts& payloadOutputCounts() { return counts; }
