// tm-bench-server: the console server of the benchmarks. It behaves like the sample
// server where the benchmarks need it (floods, a start hint, the quit command) and
// also stamps the moments the benchmarks measure, on the monotonic clock that the
// probe uses too:
//
//   start NS   first thing in main
//   hint NS    just before the hint is written
//   flooded NS the flood after the hint (--flood-after) is written
//   quit NS    the read that completed the quit command returned
//
// Usage: tm-bench-server [option]...
//   --stamps FILE        append the stamps to FILE (one line each)
//   --flood BYTES        print BYTES bytes of 64-byte lines before the hint
//   --hint-delay MS      pause between the flood and the hint (default 0)
//   --hint TEXT          hint line (default "Server STARTED"); a line feed is added
//   --after-rate BYTES   after the hint, keep printing BYTES bytes a second in pieces
//                        every 10 ms (0, the default: print nothing more)
//   --after-flood        after the hint, print as fast as the pipe takes it
//   --flood-after BYTES  after the hint, print BYTES bytes of 64-byte lines and then
//                        "DONE\n", stamping "flooded" once that is written
//   --end-after MS       end by itself (status 7) MS ms after the hint, stamping "end"
//                        just before
//   --max-life SECONDS   end on its own after this long (default 120)
//   --hello              send one status datagram to NOTIFY_SOCKET at start (the
//                        least a program can do before its first report)
//   --exit-now           end right after the start stamp (and the hello)
//
// It ends when its standard input has brought "quit", at the end of its input, or at
// --max-life. Output goes straight to write(2) in pieces of 64 KiB at most: the
// producer must never be what limits a copying benchmark.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "notify.h"

namespace {

int stampFile = -1;

std::int64_t MonotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void Stamp(const char* what, std::int64_t ns) {
    if (stampFile < 0) return;
    char line[64];
    int size = std::snprintf(line, sizeof line, "%s %lld\n", what, static_cast<long long>(ns));
    if (write(stampFile, line, static_cast<std::size_t>(size)) < 0) std::_Exit(124);
}

// False when the reader has gone; the server then has nobody left to print for.
bool WriteAll(const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t done = write(1, data, size);
        if (done < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += done;
        size -= static_cast<std::size_t>(done);
    }
    return true;
}

// 1,024 lines of the sample server's flood pattern: one 64 KiB piece, printed over and
// over. The bytes are the same for every consumer, and making them costs nothing.
constexpr std::size_t kPiece = 64 * 1024;
char piece[kPiece];

void MakePiece() {
    for (std::size_t line = 0; line < kPiece / 64; ++line) {
        char* at = piece + line * 64;
        std::snprintf(at, 16, "flood %08zu ", line);
        for (std::size_t k = 0; k < 48; ++k) at[15 + k] = static_cast<char>('a' + (line + k) % 26);
        at[63] = '\n';
    }
}

bool Flood(std::uint64_t bytes) {
    for (std::uint64_t done = 0; done < bytes;) {
        std::size_t size = static_cast<std::size_t>(bytes - done < kPiece ? bytes - done : kPiece);
        if (!WriteAll(piece, size)) return false;
        done += size;
    }
    return true;
}

void Hello() { SendNotify("X_SERVICE_STATUS=48 2 1 0 0 0 1000\nSTATUS=Starting"); }

std::uint64_t Number(const char* text) {
    char* end = nullptr;
    unsigned long long value = std::strtoull(text, &end, 0);
    if (*text == '\0' || *end != '\0') {
        std::fprintf(stderr, "tm-bench-server: not a number: %s\n", text);
        std::exit(125);
    }
    return value;
}

}  // namespace

int main(int argc, char** argv) {
    const std::int64_t started = MonotonicNs();
    std::uint64_t flood = 0, hintDelayMs = 0, afterRate = 0, maxLife = 120, endAfterMs = 0;
    std::uint64_t floodAfter = 0;
    bool endAfter = false;
    bool afterFlood = false, hello = false, exitNow = false;
    std::string hint = "Server STARTED";
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        if (name == "--after-flood" || name == "--hello" || name == "--exit-now") {
            (name == "--after-flood" ? afterFlood : name == "--hello" ? hello : exitNow) = true;
            continue;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "tm-bench-server: %s needs a value\n", name.c_str());
            return 125;
        }
        const char* value = argv[++i];
        if (name == "--stamps") {
            stampFile = open(value, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
            if (stampFile < 0) return 125;
        } else if (name == "--flood") flood = Number(value);
        else if (name == "--hint-delay") hintDelayMs = Number(value);
        else if (name == "--hint") hint = value;
        else if (name == "--after-rate") afterRate = Number(value);
        else if (name == "--flood-after") floodAfter = Number(value);
        else if (name == "--max-life") maxLife = Number(value);
        else if (name == "--end-after") {
            endAfterMs = Number(value);
            endAfter = true;
        }
        else {
            std::fprintf(stderr, "tm-bench-server: unknown option %s\n", name.c_str());
            return 125;
        }
    }
    Stamp("start", started);
    if (hello) Hello();
    if (exitNow) return 0;
    signal(SIGPIPE, SIG_IGN);
    alarm(static_cast<unsigned>(maxLife));  // no benchmark leaves a server behind for long
    MakePiece();

    if (!Flood(flood)) return 0;
    if (hintDelayMs > 0) {
        timespec pause{static_cast<time_t>(hintDelayMs / 1000),
                       static_cast<long>(hintDelayMs % 1000) * 1000000};
        while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
        }
    }
    hint += '\n';
    Stamp("hint", MonotonicNs());
    if (!WriteAll(hint.data(), hint.size())) return 0;
    if (floodAfter > 0) {
        if (!Flood(floodAfter) || !WriteAll("DONE\n", 5)) return 0;
        Stamp("flooded", MonotonicNs());
    }

    if (endAfter) {
        timespec pause{static_cast<time_t>(endAfterMs / 1000),
                       static_cast<long>(endAfterMs % 1000) * 1000000};
        while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
        }
        Stamp("end", MonotonicNs());
        return 7;
    }

    // Idle, or keep printing, until the quit command comes in.
    std::string received;
    const std::size_t tickBytes = static_cast<std::size_t>(afterRate / 100);
    std::int64_t nextTick = MonotonicNs();
    bool printing = afterRate > 0 || afterFlood;
    for (;;) {
        int timeoutMs = -1;
        if (afterFlood) timeoutMs = 0;
        else if (printing) {
            std::int64_t left = nextTick - MonotonicNs();
            timeoutMs = left > 0 ? static_cast<int>(left / 1000000) : 0;
        }
        pollfd input{0, POLLIN, 0};
        int ready = poll(&input, 1, timeoutMs);
        if (ready > 0) {
            char buffer[4096];
            ssize_t size = read(0, buffer, sizeof buffer);
            const std::int64_t arrived = MonotonicNs();
            if (size <= 0) return 0;
            received.append(buffer, static_cast<std::size_t>(size));
            if (received.find("quit") != std::string::npos) {
                Stamp("quit", arrived);
                return 0;
            }
            continue;
        }
        if (afterFlood) {
            if (!WriteAll(piece, kPiece)) printing = afterFlood = false;
        } else if (printing && MonotonicNs() >= nextTick) {
            for (std::size_t left = tickBytes; left > 0;) {
                std::size_t size = left < kPiece ? left : kPiece;
                if (!WriteAll(piece, size)) {
                    printing = false;
                    break;
                }
                left -= size;
            }
            nextTick += 10000000;
        }
    }
}
