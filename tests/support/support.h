// Helpers that the test programs share: where the sample server is, a fresh folder per
// test, whole files, waiting on a condition, and the sample server's flood pattern.
// The only place in the tests that asks which system it runs on.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace support {

// The folder that holds the running test program, with no separator at its end.
std::string ProgramFolder();

// The sample server's program, next to the running test program (both land in the
// build folder).
std::string SampleServerPath();

// `path` made safe as the first item of a command line on this system: enclosed in
// double quotation marks when it holds a blank or a tab.
std::string QuoteForCommandLine(const std::string& path);

// The folder and file name joined with this system's separator.
std::string Join(const std::string& folder, const std::string& name);

// A fresh, empty folder of its own under the system's temporary folder, for a test that
// removes it itself. Its name holds `tag`, the process id and a counter, so tests can run
// in parallel.
std::string MakeFreshFolder(const std::string& tag);

// The same folder, removed with everything in it when the object goes. Its name holds `tag`, the
// process id and a counter, so tests can run in parallel.
// The null device's file name: a character device, no regular file.
#ifdef _WIN32
constexpr const char* kNullDevice = "NUL";
#else
constexpr const char* kNullDevice = "/dev/null";
#endif

struct TempFolder {
    explicit TempFolder(const std::string& tag);
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    std::string File(const std::string& name) const { return Join(path, name); }

    std::string path;
};

// The whole file, byte for byte; `found` (when given) tells whether it could be opened.
std::string ReadWholeFile(const std::string& path, bool* found = nullptr);
bool FileExists(const std::string& path);
void WriteWholeFile(const std::string& path, const std::string& bytes);

// Slow hosts (Wine) stretch every bound by TALLOWMERE_TIMEOUT_MULTIPLIER (default 1; 3
// on the Windows build).
double TimeoutMultiplier();

// Polls `condition` every 10 ms until it holds (true) or `bound`, stretched by the
// multiplier, has passed (false). Bounds are generous: they catch a hang, not slowness.
bool WaitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds bound = std::chrono::milliseconds(30000));

// The first `bytes` bytes of the sample server's flood: 64-byte lines
// "flood NNNNNNNN " + 48 letters starting at letter (N mod 26) + "\n".
std::string FloodPattern(std::uint64_t bytes);

// `text` as the log file stores it: each line feed as a carriage return and a line feed.
// Inline, so that the fuzz targets, which have no test library, share it.
inline std::string WithCrLf(const std::string& text) {
    std::string out;
    out.reserve(text.size() + text.size() / 32);
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

// The exit code of a process ended the hard way (TerminateProcess, TerminateJobObject):
// Windows gives it the code asked for, POSIX's SIGKILL gives 128 + 9. Inline, so that the
// fake platform, which has no test library, plays it alike.
inline std::uint32_t KilledExitCode(std::uint32_t asked) {
#ifdef _WIN32
    return asked;
#else
    (void)asked;
    return 128 + 9;
#endif
}

// Error codes of this platform that the tests expect from process creation.
extern const std::uint32_t kErrorProgramNotFound;   // ENOENT 2 / ERROR_FILE_NOT_FOUND 2
extern const std::uint32_t kErrorNotExecutable;     // EACCES 13 / ERROR_BAD_EXE_FORMAT 193
extern const std::uint32_t kErrorFolderNotFound;    // ENOENT 2 / ERROR_DIRECTORY 267

// A program path that does not exist, absolute on this system.
std::string MissingProgramPath();

}  // namespace support
