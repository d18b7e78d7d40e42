// The payloads on their way to --out: a fixed queue of whole datagrams,
// written without blocking whenever the output takes more, so that a reader
// that stalls never holds up the registrations. A datagram that does not fit
// is dropped whole and counted; one written in part is finished first, so the
// reader never gets half a datagram followed by another. Only the end, which
// has a deadline, may leave the last one cut short.
#pragma once

#include <cstddef>
#include <cstdint>

// About a second of 8 Mbit/s video: short stalls of the reader lose nothing.
constexpr size_t OUTPUT_QUEUE_BYTES = 1 << 20;
// At most this many datagrams wait (small ones would fill the bytes slowly).
constexpr size_t OUTPUT_QUEUE_DATAGRAMS = 8192;

enum OutputState { OUTPUT_NONE, OUTPUT_OPEN, OUTPUT_READER_GONE, OUTPUT_FAILED };

// Datagrams received but never handed to the output whole (no room, a reader
// gone, a failed write, cut at the end), and their payload bytes.
struct OutputCounts {
    uint64_t droppedDatagrams;
    uint64_t droppedBytes;
};

// Opens --out FILE (null: no output), or takes standard output for "-"; false
// (with the reason printed) when the file cannot be created.
bool openPayloadOutput(const char* path);
// True when the payloads go to standard output, so the probe's lines do not.
bool payloadsOnStandardOutput();
// Queues one payload whole, or counts it dropped when the queue has no room
// or the output takes no more.
void queuePayload(const uint8_t* payload, size_t length);
// Writes as much of the queue as the output takes now, without waiting.
void writeQueuedPayloads();
// The output's descriptor while something waits to be written (to poll for
// room), else -1, which poll passes over.
int payloadOutputWaitingFd();
// At the end: writes the queue while the reader takes it, until deadlineUs
// (monotonicUs); what is left then counts as dropped, a datagram written in
// part included.
void flushPayloadOutput(int64_t deadlineUs);
// Closes the file, or gives standard output its flags back (it may be shared
// with the shell or other programs); false when closing the file failed.
bool closePayloadOutput();
// Gives standard output the flags it had before the probe made it
// non-blocking; safe in a signal handler.
void restoreStandardOutputFlags();
OutputState payloadOutputState();
const OutputCounts& payloadOutputCounts();
