// Test support: starts the real stream-relay in a network namespace of its
// own and speaks to it over loopback UDP as viewers and an encoder would.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

// Moves this process into a fresh network namespace with loopback up, so
// the relay's fixed ports never meet anything else on the machine.
// Returns false (with a reason) where that is not permitted.
bool enterFreshNetworkNamespace(std::string* why);

struct RelayRun {
    pid_t pid = -1;
    int stdoutFd = -1;
    int stderrFd = -1;
    std::string out;  // everything read from standard output so far
    std::string err;  // everything read from standard error so far
};

// Path of the relay under test: $STREAM_RELAY_BINARY, else the built one.
std::string relayBinary();
// Starts the relay with both console streams on pipes.
RelayRun startRelay();
// Reads the console until standard error holds `text` (true) or the deadline passes.
bool waitForStderr(RelayRun& run, const std::string& text, int deadlineMs);
// Waits for the relay to end, collecting the rest of its output; returns
// the exit status, or -1 if it was still running at the deadline (then killed)
// or died by a signal.
int waitForExit(RelayRun& run, int deadlineMs);
// Kills a relay that is still running and collects its output.
void stopRelay(RelayRun& run);

// Milliseconds on the monotonic clock, for the tests' deadlines.
long long monotonicMs();

// A UDP socket bound to 127.0.0.1 on a port of the kernel's choosing.
int openViewerSocket(uint16_t* port = nullptr);
// Sends bytes to 127.0.0.1:port.
void sendTo(int fd, uint16_t port, const std::vector<uint8_t>& bytes);
// Receives one datagram within the deadline; false when none came.
bool receiveWithin(int fd, std::vector<uint8_t>* bytes, int deadlineMs, sockaddr_in* from = nullptr);
// A control datagram: 0x42, eleven header bytes, then the given payload.
std::vector<uint8_t> controlDatagram(std::vector<uint8_t> payload, uint8_t headerFill = 0);
// Registers the viewer socket (option 1: data only), again and again until the
// one-byte acknowledgement comes back: a just-started relay binds port 4242
// only after "Init device discovery", so nothing else proves it listens.
// False when no acknowledgement came within 10 s.
bool registerUntilAcknowledged(int viewer, uint8_t option = 0);
// A new viewer socket, registered as above; -1 when it was not acknowledged.
int openRegisteredViewer(uint16_t* port, uint8_t option = 0);
// Waits until a just-started relay in this namespace has printed its start-up
// lines and answers on port 4242: a viewer registers until acknowledged and
// leaves again. False when that did not happen within a generous deadline.
bool waitUntilListening(RelayRun& run);

// Bytes queued for reading on the UDP socket bound to localPort in this
// network namespace, as the kernel counts them (/proc/net/udp); 0 for none.
long queuedBytes(uint16_t localPort);
// Waits until the sockets on these ports each hold fewer than `bytes`, so a
// sender never outruns a slow reader into a full buffer; false at the deadline.
bool waitForQueuesBelow(const std::vector<uint16_t>& ports, long bytes, int deadlineMs);
