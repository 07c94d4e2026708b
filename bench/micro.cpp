// Micro-benchmarks of the pieces behind the figures of scripts/bench: one log message
// (the copying of the server's output is one message per chunk), one settings read
// (the start-up reads nine), and the start-hint search over one 4,096-byte chunk.
//
// Each works in a temporary folder of its own, removed at the end.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "config/log.h"
#include "config/settings.h"
#include "platform/platform.h"
#include "state/server.h"
#include "supervision/reader.h"

namespace {

namespace fs = std::filesystem;

// A temporary folder for the run, with the log file and the settings file in it.
struct Folder {
    std::string path;
    Folder() {
        char pattern[] = "/tmp/tm-bench-micro.XXXXXX";
        if (mkdtemp(pattern) == nullptr) std::abort();
        path = pattern;
    }
    ~Folder() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    std::string File(const char* name) const { return path + "/" + name; }
};

Folder& TheFolder() {
    static Folder folder;
    return folder;
}

// A chunk as the reader logs it during a flood: 64 lines of 64 bytes.
std::string FloodChunk() {
    std::string chunk;
    for (int line = 0; chunk.size() < 4096; ++line) {
        char text[80];
        std::snprintf(text, sizeof text, "flood %08d ", line);
        chunk += text;
        for (int k = 0; k < 48; ++k) chunk += static_cast<char>('a' + (line + k) % 26);
        chunk += '\n';
    }
    chunk.resize(4096);
    return chunk;
}

// Logging to a file that does not grow without end: it is emptied now and then, outside
// the timed part.
void UseLogFile(const std::string& path) {
    static std::string name;
    name = path;
    Settings.UseLog = 1;
    Settings.LogFileName = name.data();
}

void EmptyFileEvery(benchmark::State& state, const std::string& path, long& count) {
    if (++count % 16384 == 0) {
        state.PauseTiming();
        if (truncate(path.c_str(), 0) != 0) state.SkipWithError("cannot empty the log");
        state.ResumeTiming();
    }
}

void BM_LogText_Chunk4096(benchmark::State& state) {
    const std::string log = TheFolder().File("chunk.log");
    UseLogFile(log);
    const std::string chunk = FloodChunk();
    long count = 0;
    for (auto _ : state) {
        LogText(chunk.c_str());
        EmptyFileEvery(state, log, count);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 4096);
}
BENCHMARK(BM_LogText_Chunk4096);

// The same chunk through the least work the design allows: open for appending, one
// write with CR LF for each LF, close. The gap to the benchmark above is the log
// writer's own cost.
void BM_MinimalAppend_Chunk4096(benchmark::State& state) {
    const std::string log = TheFolder().File("minimal.log");
    const std::string chunk = FloodChunk();
    char out[8192];
    long count = 0;
    for (auto _ : state) {
        std::size_t used = 0;
        for (char c : chunk) {
            if (c == '\n') out[used++] = '\r';
            out[used++] = c;
        }
        int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0 || write(fd, out, used) != static_cast<ssize_t>(used)) {
            state.SkipWithError("cannot write the log");
            break;
        }
        close(fd);
        EmptyFileEvery(state, log, count);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 4096);
}
BENCHMARK(BM_MinimalAppend_Chunk4096);

void BM_LogText_ShortMessage(benchmark::State& state) {
    const std::string log = TheFolder().File("short.log");
    UseLogFile(log);
    long count = 0;
    for (auto _ : state) {
        LogText("stopped.\n");
        EmptyFileEvery(state, log, count);
    }
}
BENCHMARK(BM_LogText_ShortMessage);

void BM_LogFormatted_Text(benchmark::State& state) {
    const std::string log = TheFolder().File("formatted.log");
    UseLogFile(log);
    long count = 0;
    for (auto _ : state) {
        LogFormatted("Launching file %s\n", "/srv/quorin/quorinsv.bat");
        EmptyFileEvery(state, log, count);
    }
}
BENCHMARK(BM_LogFormatted_Text);

void BM_LogFormatted_Number(benchmark::State& state) {
    const std::string log = TheFolder().File("number.log");
    UseLogFile(log);
    long count = 0;
    for (auto _ : state) {
        LogFormatted("SetServiceStatus error %ld\n", 111);
        EmptyFileEvery(state, log, count);
    }
}
BENCHMARK(BM_LogFormatted_Number);

// A settings file as an administrator writes it: a comment, the nine keys, another
// section after it.
std::string SettingsFile() {
    const std::string path = TheFolder().File("Tallowmere.ini");
    static bool written = false;
    if (!written) {
        std::FILE* file = std::fopen(path.c_str(), "wb");
        if (file == nullptr) std::abort();
        std::fputs("; quorin game server\n[Tallowmere]\nUseLog=1\nAppendToExistingLog=0\n"
                   "ServiceName=quorin\nLogFileName=/var/log/quorin/service.log\n"
                   "CommandFile=/srv/quorin/start.cmd\nLaunchFolder=/srv/quorin\n"
                   "QuitCommand=quit\nStartHint=Server STARTED\n"
                   "ServerStartupTimeoutInSeconds=120\n\n[Other]\nKey=value\n",
                   file);
        std::fclose(file);
        written = true;
    }
    return path;
}

void BM_ReadSettingText(benchmark::State& state) {
    const std::string path = SettingsFile();
    for (auto _ : state) {
        char* value = ReadSettingText("StartHint", "STARTED", path.c_str());
        benchmark::DoNotOptimize(value);
        platform::Free(value);
    }
}
BENCHMARK(BM_ReadSettingText);

// A key that is not in the file: the whole section is searched before the default
// applies.
void BM_ReadSettingText_Missing(benchmark::State& state) {
    const std::string path = SettingsFile();
    for (auto _ : state) {
        char* value = ReadSettingText("NoSuchKey", "default", path.c_str());
        benchmark::DoNotOptimize(value);
        platform::Free(value);
    }
}
BENCHMARK(BM_ReadSettingText_Missing);

// The hint search over a 4,096-byte chunk that does not hold the hint (every chunk of a
// flood), with the tail of the chunk before it carried over.
void BM_FindHint_Chunk4096_NoHint(benchmark::State& state) {
    const std::string chunk = FloodChunk();
    char carry[kCarrySize];
    std::size_t carryLength = 0;
    for (auto _ : state) {
        bool found = FindHint("Server STARTED", chunk.c_str(), chunk.size(), carry,
                              carryLength);
        benchmark::DoNotOptimize(found);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 4096);
}
BENCHMARK(BM_FindHint_Chunk4096_NoHint);

// The same with the hint in the chunk's last line.
void BM_FindHint_Chunk4096_HintAtEnd(benchmark::State& state) {
    std::string chunk = FloodChunk();
    chunk.replace(chunk.size() - 16, 15, "Server STARTED\n");
    char carry[kCarrySize];
    for (auto _ : state) {
        std::size_t carryLength = 0;
        bool found = FindHint("Server STARTED", chunk.c_str(), chunk.size(), carry,
                              carryLength);
        benchmark::DoNotOptimize(found);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 4096);
}
BENCHMARK(BM_FindHint_Chunk4096_HintAtEnd);

}  // namespace

BENCHMARK_MAIN();
