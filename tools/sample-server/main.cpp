// sample-server: a console server that does what its command line tells it, for the
// demo, the integration and end-to-end tests and the benchmarks.
//
// Usage: sample-server [option | action]...
//
// Actions run once each, in the order given, on the main thread:
//   --print TEXT          write TEXT to standard output in one write
//   --eprint TEXT         the same on standard error
//   --sleep MS            pause MS milliseconds
//   --hint MS             pause MS ms, then write the hint text and "\n" in one write
//   --split-hint MS       write the hint text's first half (rounded up: "STAR" of
//                         "STARTED"), pause MS ms, then the rest and "\n"
//   --flood BYTES         write the first BYTES bytes of the flood pattern (below)
//   --print-padded N:TEXT one write of N bytes: the flood pattern's first N - len(TEXT)
//                         bytes, then TEXT (a read of exactly N bytes that ends in it)
//   --handle-state N      write "handle N open" or "handle N closed" and "\n": whether
//                         the handle (POSIX: descriptor) N is open in this process,
//                         for tests of what a server inherits
//   --wait-for PATH       wait until PATH exists: a test says when the server goes on
//   --mark FILE           create FILE (empty): tells a test that the actions before
//                         it are done, e.g. that a flood did not block
//   --close-stdin         close standard input now (see --stdin for "at once")
//   --exit CODE           end now with CODE, whatever stdin brings
//   --crash               end as a crashing program does: SIGSEGV on POSIX (no core
//                         file); on Windows the process ends with 0xC0000005 without
//                         the crash dialog (which would hang a test under Wine)
//   --spawn-child FILE    start a copy of this program that never reads its input,
//                         writes its process id into FILE and lives up to 60 s: a
//                         process of the server's own, for tests of its whole tree
//   --spawn-session FILE  the same, the copy in a session of its own (Windows: a new
//                         process group, detached), as a daemon's worker runs
//   --leave-group FILE    the same, the copy in a process group of its own, which this
//                         process then joins: the group it was started in is left empty
//                         (Windows: a copy in a new process group; nothing moves)
//   --orphans N:RATE      start N orphans, RATE a second (0: at once), that end at once
//                         (POSIX only): each is re-parented to the nearest subreaper
// Once the actions are done the server idles until it ends (quit command, end of
// input, --max-life).
//
// Options (anywhere on the line):
//   --hint-text TEXT      the start hint (default "STARTED")
//   --quit TEXT           the server ends once the bytes it received on standard
//                         input hold TEXT (default "quit", so "quit\r\n" matches too)
//   --quit-match MODE     anywhere (default): the quit text anywhere in the input; line:
//                         only as a whole line, ended by LF (CR LF) or by the end of
//                         input, as a server that reads lines (fgets, readLine) sees it
//   --at-eof MODE         end (default): end of input ends the server ("eof"); ignore:
//                         it idles on, as a server that does not care
//   --on-quit TEXT        write TEXT to standard output when the quit command came,
//                         before ending (a start hint that comes too late, say)
//   --quit-delay MS       once the quit command came, take MS milliseconds (a save)
//                         before ending
//   --saved TEXT          write TEXT to standard output once that pause is over, then
//                         end (a server that reports its save, perhaps after we are gone)
//   --exit-code N         status on the quit command or at end of input (default 0);
//                         decimal or 0x hex, up to 32 bits
//   --stdin MODE          read (default): a thread reads standard input from the
//                         start, records it and watches for the quit command;
//                         close: close standard input at once; never: leave it open
//                         and never read it
//   --stdin-file FILE     record every byte received on standard input into FILE,
//                         created empty at start, flushed after each read
//   --exit-file FILE      at the end write how the server ended: "quit", "eof",
//                         "exit" or "max-life", and a line feed
//   --cwd-file FILE       write the current folder and a line feed at start
//   --start-time-file FILE  write, as the first thing, "<wall> <mono>\n": wall-clock
//                         microseconds since 1970 and monotonic-clock nanoseconds
//                         (std::steady_clock: CLOCK_MONOTONIC on Linux, the
//                         performance counter on Windows)
//   --quit-time-file FILE once the quit command came, write its arrival on the monotonic
//                         clock in nanoseconds and a line feed (as --start-time-file's)
//   --pid-file FILE       write the process id and a line feed at start
//   --argv-file FILE      write each argument after the program's name, each
//                         followed by a line feed
//   --max-life SECONDS    end on its own after this long, status 3 (default 300), so
//                         no test leaves a server behind for long
//   --help                this text
//
// TEXT takes the escapes \n \r \t \\ \0 and \xHH, so percent signs, zero bytes and
// line ends can be printed from a command file, where a backslash is an ordinary
// character.
//
// The flood pattern: 64-byte lines "flood NNNNNNNN " (the line's number from 0, eight
// digits), 48 letters from the alphabet starting at letter (N mod 26) and wrapping,
// and "\n". A flood of BYTES bytes is the first BYTES bytes of that endless stream,
// written in pieces of 64 KiB at most.
//
// SIGPIPE stays as the server was started with it, as most servers leave it: what a
// broken output pipe does to a server is the wrapper's to decide.
//
// Output goes straight to the operating system (os.cpp) without buffering or text-mode
// translation, so what a test asks for is byte for byte what the pipe carries.

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "os.h"

namespace {

constexpr const char* kHelp =
    "Usage: sample-server [option | action]...\n"
    "Actions, run in the order given:\n"
    "  --print TEXT        write TEXT to standard output in one write\n"
    "  --eprint TEXT       write TEXT to standard error\n"
    "  --sleep MS          pause\n"
    "  --hint MS           pause, then write the hint text and \"\\n\"\n"
    "  --split-hint MS     hint's first half, pause, the rest and \"\\n\"\n"
    "  --flood BYTES       first BYTES bytes of the pattern of 64-byte lines\n"
    "                      \"flood NNNNNNNN \" + 48 letters from (N mod 26) + \"\\n\"\n"
    "  --print-padded N:TEXT  one write of N bytes: flood bytes, then TEXT\n"
    "  --handle-state N    write whether handle (descriptor) N is open\n"
    "  --wait-for PATH     wait until PATH exists\n"
    "  --mark FILE         create FILE\n"
    "  --close-stdin       close standard input\n"
    "  --exit CODE         end now with CODE\n"
    "  --crash             crash (SIGSEGV; Windows: exit 0xC0000005, no dialog)\n"
    "Options:\n"
    "  --hint-text TEXT    start hint (default STARTED)\n"
    "  --quit TEXT         end when standard input has brought TEXT (default quit)\n"
    "  --quit-match MODE   anywhere (default) or line: the quit text as a whole line\n"
    "  --at-eof MODE       end (default) or ignore: what end of input does\n"
    "  --on-quit TEXT      write TEXT when the quit command came, then end\n"
    "  --quit-delay MS     take MS ms after the quit command before ending\n"
    "  --saved TEXT        write TEXT after that pause, then end\n"
    "  --spawn-child FILE  start a copy that writes its process id into FILE\n"
    "  --spawn-session FILE  the same in a session of its own\n"
    "  --leave-group FILE  the same in a group of its own, which this one joins\n"
    "  --orphans N:RATE    start N orphans, RATE a second, that end at once\n"
    "  --exit-code N       status on quit or end of input (default 0)\n"
    "  --stdin MODE        read (default), close (at once) or never\n"
    "  --stdin-file FILE   record standard input into FILE, flushed per read\n"
    "  --exit-file FILE    write quit, eof, exit or max-life at the end\n"
    "  --cwd-file FILE     write the current folder\n"
    "  --start-time-file FILE  write \"<wall us since 1970> <steady ns>\"\n"
    "  --quit-time-file FILE  write the quit command's arrival (steady ns)\n"
    "  --pid-file FILE     write the process id\n"
    "  --argv-file FILE    write each argument on a line\n"
    "  --max-life SECONDS  end with status 3 after this long (default 300)\n"
    "TEXT escapes: \\n \\r \\t \\\\ \\0 \\xHH\n";

struct Action {
    std::string name;
    std::string value;
};

// What the options set; read-only once the threads run.
struct Options {
    std::string hintText = "STARTED";
    std::string quit = "quit";
    std::string onQuit;
    std::string quitDelay = "0";
    std::string saved;
    std::string quitMatch = "anywhere";
    std::string atEof = "end";
    std::uint32_t exitCode = 0;
    std::string stdinMode = "read";
    std::string stdinFile;
    std::string exitFile;
    std::string cwdFile;
    std::string startTimeFile;
    std::string quitTimeFile;
    std::string pidFile;
    std::string argvFile;
    long maxLifeSeconds = 300;
};

// The defaults fit std::string's own buffer: building them allocates nothing, cannot throw.
Options options;  // NOLINT(cert-err58-cpp)
std::atomic<bool> ending{false};  // the first way out wins; the others are ignored

[[noreturn]] void Fail(const std::string& message) {
    (void)std::fprintf(stderr, "sample-server: %s\n", message.c_str());
    // Not std::exit: it may run on the stdin thread, and the other threads still use the
    // process-wide records that std::exit would destroy.
    (void)std::fflush(nullptr);
    std::_Exit(125);
}

// \n \r \t \0 \\ and \xHH; any other escape stays as written.
std::string Unescape(const std::string& text) {
    static const std::string_view kLetters("nrt0\\", 5);
    static const std::string_view kBytes("\n\r\t\0\\", 5);
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char next = i + 1 < text.size() ? text[i + 1] : '\0';
        if (text[i] == '\\' && kLetters.find(next) != std::string_view::npos) {
            out += kBytes[kLetters.find(next)];
            ++i;
        } else if (text[i] == '\\' && next == 'x') {
            const std::string hex = text.substr(i + 2, 2);
            if (hex.size() != 2 || std::isxdigit(static_cast<unsigned char>(hex[0])) == 0 ||
                std::isxdigit(static_cast<unsigned char>(hex[1])) == 0) {
                Fail("bad \\x escape in " + text);
            }
            out += static_cast<char>(std::strtoul(hex.c_str(), nullptr, 16));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

unsigned long long Number(const std::string& text) {
    char* end = nullptr;
    unsigned long long value = std::strtoull(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0') Fail("not a number: " + text);
    return value;
}

// --- Files and endings -------------------------------------------------------------

// Written under another name and renamed, so a test that polls for the file never
// reads it half written.
void WriteFileText(const std::string& path, const std::string& text) {
    std::string part = path + ".part";
    std::FILE* file = std::fopen(part.c_str(), "wb");
    if (file == nullptr) Fail("cannot write " + path);
    // A file cut short must not be renamed into place as if it were whole.
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    if (std::fclose(file) != 0 || !written) Fail("cannot write " + path);
    std::error_code error;
    std::filesystem::rename(part, path, error);
    if (error) Fail("cannot write " + path);
}

// Ends the whole process, whichever thread gets here first.
[[noreturn]] void End(const char* how, std::uint32_t code) {
    if (ending.exchange(true)) {
        for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    if (!options.exitFile.empty()) WriteFileText(options.exitFile, std::string(how) + "\n");
    ExitNow(code);
}

// --- The work ----------------------------------------------------------------------

std::string FloodPiece(std::uint64_t offset, std::size_t size) {
    std::string piece;
    piece.reserve(size + 64);
    std::uint64_t line = offset / 64;
    std::size_t skip = static_cast<std::size_t>(offset % 64);
    while (piece.size() < size + skip) {
        char text[80];
        (void)std::snprintf(text, sizeof text, "flood %08llu ", static_cast<unsigned long long>(line));
        std::string l = text;
        for (int k = 0; k < 48; ++k) l += static_cast<char>('a' + (line + static_cast<std::uint64_t>(k)) % 26);
        l += '\n';
        piece += l;
        ++line;
    }
    return piece.substr(skip, size);
}

void Flood(std::uint64_t bytes) {
    constexpr std::size_t kPiece = std::size_t{64} * 1024;  // a multiple of the line length
    for (std::uint64_t done = 0; done < bytes;) {
        std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, bytes - done));
        std::string piece = FloodPiece(done, size);
        WriteAll(1, piece.data(), piece.size());
        done += size;
    }
}

void Pause(const std::string& ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(Number(ms)));
}

// Whether the input so far holds the quit command: anywhere in it, or (--quit-match line)
// as a whole line, as a server that reads lines (fgets, readLine) sees one: ended by a
// line feed (a carriage return before it dropped), or by the end of the input.
bool QuitCommandIn(const std::string& received, bool ended) {
    if (options.quit.empty()) return false;
    if (options.quitMatch != "line") return received.find(options.quit) != std::string::npos;
    std::size_t start = 0;
    for (;;) {
        const std::size_t lineFeed = received.find('\n', start);
        if (lineFeed == std::string::npos && !ended) return false;
        std::string line = received.substr(start, lineFeed == std::string::npos
                                                      ? std::string::npos
                                                      : lineFeed - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line == options.quit) return true;
        if (lineFeed == std::string::npos) return false;
        start = lineFeed + 1;
    }
}

[[noreturn]] void Quit() {
    if (!options.quitTimeFile.empty()) {
        const auto arrived = std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::chrono::steady_clock::now().time_since_epoch());
        WriteFileText(options.quitTimeFile, std::to_string(arrived.count()) + "\n");
    }
    WriteAll(1, options.onQuit.data(), options.onQuit.size());
    Pause(options.quitDelay);
    WriteAll(1, options.saved.data(), options.saved.size());
    End("quit", options.exitCode);
}

void StdinReader() {
    std::FILE* record = nullptr;
    if (!options.stdinFile.empty()) {
        record = std::fopen(options.stdinFile.c_str(), "ab");
        if (record == nullptr) Fail("cannot write " + options.stdinFile);
    }
    std::string received;
    char buffer[4096];
    for (;;) {
        std::size_t size = ReadStdin(buffer, sizeof buffer);
        if (size == 0) {
            if (QuitCommandIn(received, true)) Quit();
            if (options.atEof == "ignore") return;  // it idles on
            End("eof", options.exitCode);
        }
        if (record != nullptr &&
            (std::fwrite(buffer, 1, size, record) != size || std::fflush(record) != 0)) {
            Fail("cannot write " + options.stdinFile);
        }
        received.append(buffer, size);
        if (QuitCommandIn(received, false)) Quit();
    }
}

void RunAction(const Action& action) {
    const std::string& v = action.value;
    if (action.name == "--print") {
        std::string text = Unescape(v);
        WriteAll(1, text.data(), text.size());
    } else if (action.name == "--wait-for") {
        std::error_code ignored;
        while (!std::filesystem::exists(v, ignored)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    } else if (action.name == "--handle-state") {
        const std::string state = "handle " + v + (HandleIsOpen(Number(v)) ? " open\n" : " closed\n");
        WriteAll(1, state.data(), state.size());
    } else if (action.name == "--eprint") {
        std::string text = Unescape(v);
        WriteAll(2, text.data(), text.size());
    } else if (action.name == "--sleep") {
        Pause(v);
    } else if (action.name == "--hint") {
        Pause(v);
        std::string text = options.hintText + "\n";
        WriteAll(1, text.data(), text.size());
    } else if (action.name == "--split-hint") {
        std::size_t half = (options.hintText.size() + 1) / 2;
        WriteAll(1, options.hintText.data(), half);
        Pause(v);
        std::string rest = options.hintText.substr(half) + "\n";
        WriteAll(1, rest.data(), rest.size());
    } else if (action.name == "--flood") {
        Flood(Number(v));
    } else if (action.name == "--print-padded") {
        std::size_t colon = v.find(':');
        if (colon == std::string::npos) Fail("--print-padded takes N:TEXT");
        std::size_t total = static_cast<std::size_t>(Number(v.substr(0, colon)));
        std::string text = Unescape(v.substr(colon + 1));
        if (text.size() > total) Fail("--print-padded: TEXT is longer than N");
        std::string piece = FloodPiece(0, total - text.size()) + text;
        WriteAll(1, piece.data(), piece.size());
    } else if (action.name == "--mark") {
        WriteFileText(v, "");
    } else if (action.name == "--close-stdin") {
        CloseStdin();
    } else if (action.name == "--exit") {
        End("exit", static_cast<std::uint32_t>(Number(v)));
    } else if (action.name == "--crash") {
        Crash();
    } else if (action.name == "--spawn-child" || action.name == "--spawn-session" ||
               action.name == "--leave-group") {
        const CopyPlace place = action.name == "--spawn-child"     ? CopyPlace::kSameGroup
                                : action.name == "--spawn-session" ? CopyPlace::kOwnSession
                                                                   : CopyPlace::kOwnGroup;
        unsigned long pid = 0;
        if (!SpawnCopy({"--stdin", "never", "--pid-file", v, "--max-life", "60"}, place, &pid)) {
            Fail("cannot start a child");
        }
        if (action.name == "--leave-group" && !JoinGroup(pid)) Fail("cannot join the group");
    } else if (action.name == "--orphans") {
        const std::size_t colon = v.find(':');
        if (colon == std::string::npos) Fail("--orphans: N:RATE");
        if (!StartOrphans(Number(v.substr(0, colon)), Number(v.substr(colon + 1)))) {
            Fail("cannot start orphans");
        }
    }
}

bool IsAction(const std::string& name) {
    static const char* const kWithValue[] = {"--print", "--eprint", "--sleep", "--hint",
                                             "--split-hint", "--flood", "--print-padded",
                                             "--mark", "--exit", "--spawn-child",
                                             "--spawn-session", "--leave-group", "--orphans",
                                             "--handle-state", "--wait-for"};
    return std::any_of(std::begin(kWithValue), std::end(kWithValue),
                       [&](const char* known) { return name == known; });
}

}  // namespace

int main(int argc, char** argv) {
    auto now = std::chrono::system_clock::now();
    auto steady = std::chrono::steady_clock::now();

    std::vector<Action> actions;
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        if (name == "--help") {
            (void)std::fputs(kHelp, stdout);
            return 0;
        }
        if (name == "--close-stdin" || name == "--crash") {
            actions.push_back({name, ""});
            continue;
        }
        if (i + 1 >= argc) Fail("missing value after " + name + " (see --help)");
        std::string value = argv[++i];
        if (IsAction(name)) actions.push_back({name, value});
        else if (name == "--hint-text") options.hintText = Unescape(value);
        else if (name == "--quit") options.quit = Unescape(value);
        else if (name == "--on-quit") options.onQuit = Unescape(value);
        else if (name == "--quit-delay") options.quitDelay = value;
        else if (name == "--saved") options.saved = Unescape(value);
        else if (name == "--quit-match") options.quitMatch = value;
        else if (name == "--at-eof") options.atEof = value;
        else if (name == "--exit-code") options.exitCode = static_cast<std::uint32_t>(Number(value));
        else if (name == "--stdin") options.stdinMode = value;
        else if (name == "--stdin-file") options.stdinFile = value;
        else if (name == "--exit-file") options.exitFile = value;
        else if (name == "--cwd-file") options.cwdFile = value;
        else if (name == "--start-time-file") options.startTimeFile = value;
        else if (name == "--quit-time-file") options.quitTimeFile = value;
        else if (name == "--pid-file") options.pidFile = value;
        else if (name == "--argv-file") options.argvFile = value;
        else if (name == "--max-life") options.maxLifeSeconds = static_cast<long>(Number(value));
        else Fail("unknown option " + name + " (see --help)");
    }
    if (options.stdinMode != "read" && options.stdinMode != "close" && options.stdinMode != "never")
        Fail("--stdin takes read, close or never");
    if (options.quitMatch != "anywhere" && options.quitMatch != "line")
        Fail("--quit-match takes anywhere or line");
    if (options.atEof != "end" && options.atEof != "ignore") Fail("--at-eof takes end or ignore");

    if (!options.startTimeFile.empty()) {
        auto wall = std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch());
        auto mono = std::chrono::duration_cast<std::chrono::nanoseconds>(steady.time_since_epoch());
        WriteFileText(options.startTimeFile, std::to_string(wall.count()) + " " +
                                                 std::to_string(mono.count()) + "\n");
    }
    if (!options.pidFile.empty()) WriteFileText(options.pidFile, std::to_string(ProcessId()) + "\n");
    if (!options.cwdFile.empty())
        WriteFileText(options.cwdFile, std::filesystem::current_path().string() + "\n");
    if (!options.argvFile.empty()) {
        std::string text;
        for (int i = 1; i < argc; ++i) text += std::string(argv[i]) + "\n";
        WriteFileText(options.argvFile, text);
    }
    if (!options.stdinFile.empty()) WriteFileText(options.stdinFile, "");

    if (options.stdinMode == "read") std::thread(StdinReader).detach();
    if (options.stdinMode == "close") CloseStdin();
    std::thread([] {
        std::this_thread::sleep_for(std::chrono::seconds(options.maxLifeSeconds));
        End("max-life", 3);
    }).detach();

    for (const Action& action : actions) RunAction(action);
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
}
