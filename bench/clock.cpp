// The clock for the browser delay benchmark. With --write it is the encoder's camera: raw 640x360 yuv420p
// frames on standard output at 25 frames/s, each carrying the wall clock (ms since 1970) at the moment it was
// made, as 64 blocks of 40x40 pixels in the top rows, white for 1: 48 bits of time, then 16 bits of check
// (the sum of the three 16-bit words). The viewer pages read the same blocks back from a canvas.
// With --read it is the baseline viewer: it reads such frames (decoded by ffmpeg) from standard input and
// prints, once a second, "delay MS": how long ago the frame it just got was made.
//
// Usage: bench-clock --write | ffmpeg -f rawvideo -pix_fmt yuv420p -s 640x360 -r 25 -i - ...
//        ffmpeg ... -f rawvideo -pix_fmt yuv420p - | bench-clock --read

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

constexpr int WIDTH = 640;
constexpr int HEIGHT = 360;
constexpr int FRAME_SIZE = WIDTH * HEIGHT * 3 / 2;
constexpr int FRAMES_PER_SECOND = 25;
constexpr int BLOCK = 40;
constexpr int BLOCKS_PER_ROW = WIDTH / BLOCK;
constexpr int BITS = 64;

uint8_t frame[FRAME_SIZE];

int64_t wallMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

uint64_t withCheck(uint64_t milliseconds) {
    const uint64_t time = milliseconds & 0xffffffffffffULL;
    const uint64_t sum = (time & 0xffff) + ((time >> 16) & 0xffff) + (time >> 32);
    return time | ((sum & 0xffff) << 48);
}

void fillBlock(int bit, uint8_t luma) {
    const int x0 = (bit % BLOCKS_PER_ROW) * BLOCK, y0 = (bit / BLOCKS_PER_ROW) * BLOCK;
    for (int y = y0; y < y0 + BLOCK; y++) memset(frame + y * WIDTH + x0, luma, BLOCK);
}

// Grey below the clock with a bar that moves, so that the encoder has motion to code as a camera's would.
void drawFrame(uint64_t word, long number) {
    memset(frame, 110, WIDTH * HEIGHT);
    memset(frame + WIDTH * HEIGHT, 128, FRAME_SIZE - WIDTH * HEIGHT);
    const int bar = static_cast<int>(number * 8 % (WIDTH - BLOCK));
    for (int y = BITS / BLOCKS_PER_ROW * BLOCK; y < HEIGHT; y++) memset(frame + y * WIDTH + bar, 200, BLOCK);
    for (int bit = 0; bit < BITS; bit++) fillBlock(bit, (word >> bit) & 1 ? 235 : 16);
}

bool writeAll(const uint8_t* data, size_t size) {
    while (size > 0) {
        const ssize_t written = write(STDOUT_FILENO, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

bool readAll(uint8_t* data, size_t size) {
    while (size > 0) {
        const ssize_t got = read(STDIN_FILENO, data, size);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        data += got;
        size -= static_cast<size_t>(got);
    }
    return true;
}

// Frames at a steady pace on the monotonic clock; the time drawn is the wall clock's when each is made.
int writeFrames() {
    timespec next{};
    clock_gettime(CLOCK_MONOTONIC, &next);
    for (long number = 0;; number++) {
        drawFrame(withCheck(static_cast<uint64_t>(wallMilliseconds())), number);
        if (!writeAll(frame, FRAME_SIZE)) return 0;  // the encoder went away
        next.tv_nsec += 1000000000L / FRAMES_PER_SECOND;
        if (next.tv_nsec >= 1000000000L) {
            next.tv_nsec -= 1000000000L;
            next.tv_sec++;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
    }
}

// The bit of a block, from the mean of its middle 16x16 pixels (coding blurs the edges).
int readBit(int bit) {
    const int x0 = (bit % BLOCKS_PER_ROW) * BLOCK + 12, y0 = (bit / BLOCKS_PER_ROW) * BLOCK + 12;
    int sum = 0;
    for (int y = y0; y < y0 + 16; y++)
        for (int x = x0; x < x0 + 16; x++) sum += frame[y * WIDTH + x];
    return sum / 256 > 128 ? 1 : 0;
}

int readFrames() {
    long good = 0, bad = 0;
    int64_t nextLine = 0;
    while (readAll(frame, FRAME_SIZE)) {
        uint64_t word = 0;
        for (int bit = 0; bit < BITS; bit++) word |= static_cast<uint64_t>(readBit(bit)) << bit;
        if (withCheck(word) != word) {
            bad++;
            continue;
        }
        good++;
        const int64_t now = wallMilliseconds();
        if (now < nextLine) continue;
        nextLine = now + 1000;
        printf("delay %lld\n", static_cast<long long>(now - static_cast<int64_t>(word & 0xffffffffffffULL)));
        fflush(stdout);
    }
    fprintf(stderr, "bench-clock: %ld frames read, %ld unreadable\n", good, bad);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && strcmp(argv[1], "--write") == 0) return writeFrames();
    if (argc == 2 && strcmp(argv[1], "--read") == 0) return readFrames();
    fprintf(stderr, "usage: bench-clock --write | --read\n");
    return 2;
}
