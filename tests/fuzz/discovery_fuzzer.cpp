// Feeds arbitrary control datagrams from arbitrary senders, clock-shifted
// sweeps and video payloads through the relay's real discovery handling and
// client table, and checks every step against a small model of what the
// relay must do: the table's contents and the exact console lines.
//
// Input: a sequence of records, each starting with an operation byte.
//   low two bits 0 or 1: one control datagram (sender, 2-byte length, bytes)
//   low two bits 2:      a sweep at a clock reading near a slot's last refresh
//   low two bits 3:      one video payload through the fan-out
#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "client_table.h"
#include "clock.h"
#include "discovery.h"
#include "harness.h"
#include "video.h"

namespace {

struct ModelSlot {
    std::string ip;  // empty: free
    int32_t port = 0;
    int32_t lastSeenMs = 0;
    uint8_t flags = 0;
};

ModelSlot model[MAX_CLIENTS];

// The relay's console streams are redirected into these buffers so each
// step's output can be compared with what the model expects. Sanitizer and
// fuzzer reports go to file descriptor 2 directly and are not affected.
char errBuffer[1 << 16];
char outBuffer[1 << 16];
FILE* errCapture = nullptr;
FILE* outCapture = nullptr;

[[noreturn]] void fail(const char* what, const std::string& detail) {
    failHarness("discovery_fuzzer", std::string(what) + ": " + detail);
}

void expectConsole(const std::string& wantErr, const std::string& wantOut, const char* step) {
    const std::string gotErr = takeCaptured(errCapture, errBuffer);
    const std::string gotOut = takeCaptured(outCapture, outBuffer);
    if (gotErr != wantErr) fail(step, "standard error was [" + gotErr + "], expected [" + wantErr + "]");
    if (gotOut != wantOut) fail(step, "standard output was [" + gotOut + "], expected [" + wantOut + "]");
}

void expectTableMatchesModel(const char* step) {
    for (int i = 0; i < MAX_CLIENTS; ++i) {
        const ClientSlot& slot = clients[i];
        const ModelSlot& want = model[i];
        if (std::memchr(slot.ip, '\0', sizeof slot.ip) == nullptr) fail(step, "slot address not terminated");
        const std::string ip(slot.ip);
        const bool same =
            ip == want.ip && slot.port == want.port && slot.flags == want.flags && slot.lastSeenMs == want.lastSeenMs;
        if (!same)
            fail(step, "slot " + std::to_string(i) + " holds " + ip + ":" + std::to_string(slot.port) + " flags " +
                           std::to_string(slot.flags) + ", expected " + want.ip + ":" + std::to_string(want.port) +
                           " flags " + std::to_string(want.flags));
        if (ip.empty()) {
            for (char c : slot.ip)
                if (c != '\0') fail(step, "a free slot keeps address bytes");
        }
    }
    VideoTarget targets[MAX_CLIENTS];
    const int count = collectVideoTargets(KIND_VIDEO, targets);
    int expected = 0;
    for (const ModelSlot& want : model) {
        if (want.port == 0 || (want.flags & CLIENT_DATA_ONLY) != 0) continue;
        if (expected >= count || want.ip != targets[expected].ip || want.port != targets[expected].port)
            fail(step, "video targets differ from the table");
        ++expected;
    }
    if (expected != count) fail(step, "video targets include a viewer that takes no video");
}

int modelFind(const std::string& ip, int32_t port) {
    for (int i = 0; i < MAX_CLIENTS; ++i)
        if (!model[i].ip.empty() && model[i].ip == ip && model[i].port == port) return i;
    return -1;
}

// Senders are drawn from small pools so that repeats, a full table and the
// relay's own loopback address come up often.
sockaddr_in pickSender(Reader& in) {
    sockaddr_in sender{};
    sender.sin_family = AF_INET;
    const uint8_t mode = in.byte();
    uint32_t address = 0;
    uint16_t port = 0;
    switch (mode & 3) {
        case 0:
            address = in.u32();
            port = in.u16();
            break;
        case 1:
            address = INADDR_LOOPBACK;
            port = DISCOVERY_PORT;
            break;
        case 2:
            address = (10u << 24) | (mode >> 6);
            port = static_cast<uint16_t>(4240 + ((mode >> 2) & 15));
            break;
        default:
            address = INADDR_LOOPBACK;
            port = in.u16();
            break;
    }
    sender.sin_addr.s_addr = htonl(address);
    sender.sin_port = htons(port);
    return sender;
}

void controlStep(Reader& in) {
    const sockaddr_in sender = pickSender(in);
    const size_t wanted = in.u16();
    const size_t length = wanted < in.size - in.at ? wanted : in.size - in.at;
    // A copy of exactly the datagram's bytes, so reading past its end is
    // caught by the address sanitizer.
    uint8_t* datagram = static_cast<uint8_t*>(std::malloc(length ? length : 1));
    if (length) std::memcpy(datagram, in.data + in.at, length);
    in.at += length;

    char ipText[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &sender.sin_addr, ipText, sizeof ipText);
    const std::string ip(ipText);
    const int32_t port = ntohs(sender.sin_port);

    std::string wantErr;
    // Not heard: no header, no magic, the relay's own loopback address, or
    // another relay's video (port 4242 with kind 1).
    const bool heard = length >= RELAY_HEADER_SIZE && datagram[0] == RELAY_MAGIC &&
                       !(ip == "127.0.0.1" && port == DISCOVERY_PORT) &&
                       !(port == DISCOVERY_PORT && datagram[1] == KIND_VIDEO);
    const uint8_t command = length > RELAY_HEADER_SIZE ? datagram[RELAY_HEADER_SIZE] : 0;
    const uint8_t option = length > RELAY_HEADER_SIZE + 1 ? datagram[RELAY_HEADER_SIZE + 1] : 0;
    const int32_t before = nowMs();

    handleDiscoveryDatagram(datagram, static_cast<ssize_t>(length), sender);
    const int32_t after = nowMs();
    std::free(datagram);

    if (heard && command == CMD_REGISTER) {
        const uint8_t flag = option == OPT_DATA_ONLY ? CLIENT_DATA_ONLY : 0;
        int at = modelFind(ip, port);
        if (at < 0) {
            for (int i = 0; i < MAX_CLIENTS && at < 0; ++i)
                if (model[i].ip.empty()) at = i;
            if (at >= 0) {
                model[at].ip = ip;
                model[at].port = port;
                wantErr = "client connected from " + ip + ":" + std::to_string(port) + " " +
                          (flag ? "(only data)" : " ") + "\n";
            }
        }
        if (at >= 0) {
            const int32_t seen = clients[at].lastSeenMs;
            if (static_cast<int32_t>(static_cast<uint32_t>(seen) - static_cast<uint32_t>(before)) < 0 ||
                static_cast<int32_t>(static_cast<uint32_t>(after) - static_cast<uint32_t>(seen)) < 0)
                fail("register", "registration time is not the clock at the registration");
            model[at].lastSeenMs = seen;
            model[at].flags = flag;
        }
    } else if (heard && command == CMD_REMOVE) {
        const int at = modelFind(ip, port);
        if (at >= 0) {
            model[at] = ModelSlot{};
            wantErr = "client " + ip + ":" + std::to_string(port) + " removed\n";
        }
    }
    expectConsole(wantErr, "", "control datagram");
    expectTableMatchesModel("control datagram");
}

void sweepStep(Reader& in) {
    // The clock reading is an offset from one slot's last refresh, so the
    // 2000 ms edge and the 32-bit wrap are both within easy reach.
    const int index = in.byte() % MAX_CLIENTS;
    const int32_t offset = static_cast<int32_t>(in.u32());
    const int32_t base = model[index].ip.empty() ? nowMs() : model[index].lastSeenMs;
    const int32_t now = static_cast<int32_t>(static_cast<uint32_t>(base) + static_cast<uint32_t>(offset));

    sweepClientsAt(now);

    std::string wantErr;
    int remaining = 0;
    for (ModelSlot& slot : model) {
        if (slot.ip.empty()) continue;
        const int32_t silent =
            static_cast<int32_t>(static_cast<uint32_t>(now) - static_cast<uint32_t>(slot.lastSeenMs));
        if (silent > CLIENT_TIMEOUT_MS) {
            wantErr += "Client " + slot.ip + ":" + std::to_string(slot.port) + " lost\n";
            slot = ModelSlot{};
        } else {
            ++remaining;
        }
    }
    expectConsole(wantErr, "client count = " + std::to_string(remaining) + "\n", "sweep");
    expectTableMatchesModel("sweep");
}

void videoStep(Reader& in) {
    // Any payload the video socket can hand over; the sends themselves go
    // to a closed socket, so only the framing and the walk are exercised.
    const size_t wanted = in.u16();
    const size_t length = wanted < in.size - in.at ? wanted : in.size - in.at;
    uint8_t* payload = static_cast<uint8_t*>(std::malloc(length ? length : 1));
    if (length) std::memcpy(payload, in.data + in.at, length);
    in.at += length;
    const uint32_t sequenceBefore = frameSequence;
    broadcastFrame(payload, static_cast<int32_t>(length), KIND_VIDEO);
    std::free(payload);
    if (frameSequence != sequenceBefore + 1) fail("video", "the sequence did not advance by one");
    expectConsole("", "", "video");
    expectTableMatchesModel("video");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    errCapture = fmemopen(errBuffer, sizeof errBuffer, "w");
    outCapture = fmemopen(outBuffer, sizeof outBuffer, "w");
    if (errCapture == nullptr || outCapture == nullptr) std::abort();
    stderr = errCapture;
    stdout = outCapture;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Every input starts from an empty table, as the relay does.
    for (int i = 0; i < MAX_CLIENTS; ++i) {
        std::memset(&clients[i], 0, sizeof clients[i]);
        model[i] = ModelSlot{};
    }
    Reader in{data, size, 0};
    while (!in.done()) {
        switch (in.byte() & 3) {
            case 0:
            case 1:
                controlStep(in);
                break;
            case 2:
                sweepStep(in);
                break;
            default:
                videoStep(in);
                break;
        }
    }
    return 0;
}
