// The log file: whole appends, the line that the server's output leaves open, rotation.
#include "config/log_file.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "config/log.h"
#include "config/settings.h"
#include "config/settings_for_tests.h"
#include "platform/platform.h"

namespace {

// A kept file's name: the log's name, ".", and a number of at most three digits.
constexpr std::size_t kNumberedNameSize = 4096 + 8;

// Guards each append and the records below: the start routine, the output reader and the
// control handler log at the same moments, and each append must land whole.
std::mutex LogLock;

// The log's last line, wherever the last append went: whether it is still open (no line
// feed yet), whether the server's output left it so, and how many bytes it holds so far
// in the current file.
struct OpenLine {
    bool open = false;
    bool byOutput = false;
    std::uint64_t length = 0;
};
OpenLine Line;                     // guarded by LogLock
bool RotationFailureTold = false;  // guarded by LogLock: told once until one succeeds
std::int64_t KnownSize = -1;       // guarded by LogLock: the file's size after our last
                                   // append (with a size limit), or -1 when unknown

// The log is only ever a regular file: a FIFO or a device could block a write for good
// (a FIFO with no reader blocks even the open), and every thread that logs waits behind
// that write, the stop's included. The handle is never inherited: no server gets a copy.
platform::HANDLE OpenLogFile(const char* fileName, platform::DWORD access,
                             platform::DWORD disposition) {
    const platform::HANDLE file = platform::CreateFileA(
        fileName, access | platform::kFileReadAttributes,
        platform::kFileShareRead | platform::kFileShareWrite | platform::kFileShareDelete,
        nullptr, disposition, platform::kFileAttributeNormal, nullptr);
    if (file == platform::kInvalidHandleValue) return file;
    if (platform::GetFileType(file) != platform::kFileTypeDisk) {
        platform::CloseHandle(file);
        return platform::kInvalidHandleValue;
    }
    return file;
}

// The largest text that is converted whole before it is written: a chunk of the server's
// output; every message is shorter. A longer text goes in pieces of this size.
constexpr std::size_t kWholeText = 4096;

// The text as it is stored, each line feed as CR LF, after a CR LF of its own when asked:
// converted once, so that its stored size is known before the rotation decides, and so
// that a chunk (4,096 bytes, 4,160 or so once converted) leaves in one write.
struct StoredText {
    char bytes[2 * kWholeText + 2];  // a whole chunk, every byte of it a line feed
    std::size_t used;
};
StoredText Stored;  // guarded by LogLock

// Converts up to kWholeText bytes of text into Stored; returns how many it took.
std::size_t ConvertLocked(const char* text, std::size_t length, bool breakLine) {
    Stored.used = 0;
    if (breakLine) {
        Stored.bytes[Stored.used++] = '\r';
        Stored.bytes[Stored.used++] = '\n';
    }
    const std::size_t take = std::min(length, kWholeText);
    for (std::size_t at = 0; at < take;) {
        const char* lineFeed = static_cast<const char*>(std::memchr(text + at, '\n', take - at));
        const std::size_t stop = lineFeed != nullptr ? static_cast<std::size_t>(lineFeed - text) : take;
        std::memcpy(Stored.bytes + Stored.used, text + at, stop - at);
        Stored.used += stop - at;
        if (lineFeed == nullptr) break;
        Stored.bytes[Stored.used++] = '\r';
        Stored.bytes[Stored.used++] = '\n';
        at = stop + 1;
    }
    return take;
}

bool WriteStored(platform::HANDLE file, std::size_t from) {
    platform::DWORD done = 0;
    return Stored.used <= from ||
           platform::WriteFile(file, Stored.bytes + from,
                               static_cast<platform::DWORD>(Stored.used - from), &done,
                               nullptr) != 0;
}

// NAME.number; number 0 is NAME itself.
void NumberedName(const char* fileName, int number, char (&name)[kNumberedNameSize]) {
    if (number == 0) {
        (void)std::snprintf(name, sizeof name, "%s", fileName);
    } else {
        (void)std::snprintf(name, sizeof name, "%s.%d", fileName, number);
    }
}

bool IsMissing(platform::DWORD error) {
    return error == platform::kErrorFileNotFound || error == platform::kErrorPathNotFound;
}

// NAME.K goes, NAME.i becomes NAME.(i+1) from the oldest down, NAME becomes NAME.1. Each
// name taken over was emptied by the step before, so a step that fails stops the whole
// rotation before anything kept is overwritten: 0, or that step's error.
platform::DWORD RotateLocked(const char* fileName, int kept) {
    char from[kNumberedNameSize];
    char to[kNumberedNameSize];
    NumberedName(fileName, kept, to);
    if (platform::DeleteFileA(to) == 0 && !IsMissing(platform::GetLastError())) {
        return platform::GetLastError();
    }
    for (int number = kept - 1; number >= 0; --number) {
        NumberedName(fileName, number, from);
        NumberedName(fileName, number + 1, to);
        if (platform::MoveFileExA(from, to, platform::kMovefileReplaceExisting) == 0 &&
            !IsMissing(platform::GetLastError())) {
            return platform::GetLastError();
        }
    }
    return 0;
}

// Whether the append would take a file of `size` bytes past the limit and may be put into
// a new one: not while it goes on with an open line of the server's that fits the limit
// whole, which the rotation would cut.
bool RotationDueLocked(std::int64_t size, std::uint64_t adding, std::uint64_t limit,
                       const char* text, std::size_t length, LogSource source) {
    if (size <= 0 || static_cast<std::uint64_t>(size) + adding <= limit) return false;
    if (source != LogSource::kOutput || !Line.open || !Line.byOutput) return true;
    const char* lineFeed = static_cast<const char*>(std::memchr(text, '\n', length));
    const std::size_t rest = lineFeed != nullptr ? static_cast<std::size_t>(lineFeed - text) + 2
                                                 : length;
    return Line.length + rest > limit;
}

// Appends to the log file, rotating it first when the append would take it past its
// limit. False when the file cannot be opened or written. `*rotationError` is set when
// a rotation failed and that has not been told yet.
bool AppendToFileLocked(const char* fileName, const char* text, std::size_t length,
                        LogSource source, bool& breakLine, platform::DWORD* rotationError) {
    platform::HANDLE file = OpenLogFile(fileName, platform::kFileAppendData,
                                        platform::kOpenAlways);
    if (file == platform::kInvalidHandleValue) return false;
    const std::int32_t kibibytes = Settings.LogFileMaxSizeInKilobytes;
    const std::uint64_t limit = static_cast<std::uint64_t>(kibibytes > 0 ? kibibytes : 0) * 1024u;
    std::size_t taken = ConvertLocked(text, length, breakLine);
    // A text longer than a chunk (none of ours is) is sized by what it would take.
    std::uint64_t adding = Stored.used;
    for (std::size_t at = taken; at < length; ++at) adding += text[at] == '\n' ? 2 : 1;
    const auto due = [&](std::int64_t size) {
        return RotationDueLocked(size, adding, limit, text, length, source);
    };
    // Our own count of the file's size decides while it says the append fits (a status
    // call for every chunk of output would cost more than the rest of the append); the
    // file itself is asked when the count is unknown and before every rotation, so that a
    // log that someone else emptied meanwhile is not rotated for nothing.
    std::int64_t size = KnownSize;
    if (limit > 0 && (size < 0 || due(size)) && platform::GetFileSizeEx(file, &size) == 0) {
        size = -1;
    }
    std::size_t from = 0;
    if (limit > 0 && size >= 0 && due(size)) {
        // Closed first: Windows renames no file that is open without sharing its deletion.
        platform::CloseHandle(file);
        const platform::DWORD error = RotateLocked(fileName, Settings.LogFilesKept);
        if (error == 0) {
            RotationFailureTold = false;
            Line = OpenLine{};  // a new file: the append begins a line
            if (breakLine) {
                breakLine = false;
                from = 2;
                adding -= 2;
            }
        } else if (!RotationFailureTold) {
            // Nothing is lost: the append goes into the file as it is.
            RotationFailureTold = true;
            *rotationError = error;
        }
        file = OpenLogFile(fileName, platform::kFileAppendData, platform::kOpenAlways);
        if (file == platform::kInvalidHandleValue || platform::GetFileSizeEx(file, &size) == 0) {
            size = -1;
        }
        if (file == platform::kInvalidHandleValue) {
            KnownSize = -1;
            return false;
        }
    }
    bool written = WriteStored(file, from);
    while (written && taken < length) {
        const std::size_t more = ConvertLocked(text + taken, length - taken, false);
        written = WriteStored(file, 0);
        taken += more;
    }
    platform::CloseHandle(file);
    KnownSize = written && size >= 0 ? size + static_cast<std::int64_t>(adding) : -1;
    return written;
}

// The log's last line after the append.
void FollowLineLocked(const char* text, std::size_t length, LogSource source, bool breakLine) {
    if (length == 0) return;
    Line.byOutput = source == LogSource::kOutput;
    const char* last = text + length;
    while (last > text && last[-1] != '\n') --last;
    const std::uint64_t after = static_cast<std::uint64_t>(text + length - last);
    if (last > text || breakLine) {
        Line.length = after;
    } else {
        Line.length += after;
    }
    Line.open = after > 0;
}

}  // namespace

void AppendToLog(const char* text, std::size_t length, LogSource source) {
    platform::DWORD rotationError = 0;
    {
        std::lock_guard<std::mutex> hold(LogLock);
        bool breakLine = source == LogSource::kMessage && Line.open && Line.byOutput &&
                         length > 0 && text[0] != '\n';
        // No file name yet (memory ran out for it) or a file that cannot be opened: the
        // text goes to the debugger output, and the next append tries the file again.
        if (Settings.UseLog == 0 || Settings.LogFileName == nullptr ||
            !AppendToFileLocked(Settings.LogFileName, text, length, source, breakLine,
                                &rotationError)) {
            if (breakLine) platform::OutputDebugStringA("\n");
            platform::OutputDebugStringA(text);
        }
        FollowLineLocked(text, length, source, breakLine);
    }
    // Outside the lock, as every message is written; told once until a rotation succeeds.
    if (rotationError != 0) {
        LogFormatted("Log rotation failed with error %ld\n",
                     static_cast<std::int32_t>(rotationError));
    }
}

void EmptyLogFile(const char* fileName) {
    std::lock_guard<std::mutex> hold(LogLock);
    const platform::HANDLE file =
        OpenLogFile(fileName, platform::kGenericWrite, platform::kCreateAlways);
    if (file != platform::kInvalidHandleValue) platform::CloseHandle(file);
    Line = OpenLine{};
    KnownSize = -1;
}

void ResetLogFileForTest() {
    std::lock_guard<std::mutex> hold(LogLock);
    Line = OpenLine{};
    RotationFailureTold = false;
    KnownSize = -1;
}
