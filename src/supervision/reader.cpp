#include "supervision/reader.h"

#include <cstring>
#include <mutex>

#include "config/log.h"
#include "config/settings.h"
#include "state/input.h"
#include "state/kept_output.h"
#include "state/lifecycle.h"
#include "state/server.h"
#include "state/status.h"

namespace {

// The server's output broke: keep its exit code for the next report and let go of the
// pipes (our input end as soon as the writer is out of its write). The process handle
// stays: the supervising thread waits on it.
void EndOfOutput() {
    std::lock_guard lock(ServiceLock);
    if (ServerProcess.hProcess != nullptr) {
        platform::GetExitCodeProcess(ServerProcess.hProcess, &ServiceStatus.Win32ExitCode);
    }
    CloseHandleLocked(OutputPipeRead);
    CloseHandleLocked(OutputPipeWrite);
    CloseHandleLocked(InputPipeRead);
    CloseServerInputLocked();
}

// The `read` bytes of a chunk without their zero bytes, terminated, kept for the console;
// returns their length.
std::size_t KeepChunk(char* chunk, platform::DWORD read) {
    const std::size_t textLength = DropZeroBytes(chunk, read < kChunkSize ? read : kChunkSize);
    chunk[textLength] = '\0';
    KeepOutput(chunk, textLength);
    return textLength;
}

// The same, logged too.
std::size_t LogChunk(char* chunk, platform::DWORD read) {
    const std::size_t textLength = KeepChunk(chunk, read);
    LogOutput(chunk, textLength);
    return textLength;
}

// After the hint the pipe is still emptied, so that a server whose output nobody reads
// never blocks in its own writes once the pipe is full; with LogOutputAfterStart what is
// read is logged as before the hint, without its zero bytes, until the output ends.
void ReadOutputAfterStart(platform::HANDLE pipe, char* chunk) {
    platform::DWORD read = 0;
    if (Settings.LogOutputAfterStart == 0) {
        while (platform::ReadFile(pipe, chunk, kChunkSize, &read, nullptr) != 0) {
            (void)KeepChunk(chunk, read);
        }
        return;
    }
    while (platform::ReadFile(pipe, chunk, kChunkSize, &read, nullptr) != 0) {
        (void)LogChunk(chunk, read);
    }
    PostOutputEnded();
}

}  // namespace

std::size_t DropZeroBytes(char* bytes, std::size_t length) {
    char* zero = static_cast<char*>(std::memchr(bytes, '\0', length));
    if (zero == nullptr) return length;
    char* out = zero;
    for (const char* in = zero + 1; in < bytes + length; ++in) {
        if (*in != '\0') *out++ = *in;
    }
    return static_cast<std::size_t>(out - bytes);
}

bool FindHint(const char* hint, const char* text, std::size_t textLength, char* carry,
              std::size_t& carryLength) {
    if (hint == nullptr) return false;
    const std::size_t hintLength = std::strlen(hint);
    if (hintLength == 0) return true;

    bool found = std::strstr(text, hint) != nullptr;
    // A hint too long for the carry (settings cut texts well below it) is searched within
    // each chunk only.
    if (hintLength >= kCarrySize) return found;
    if (!found && carryLength > 0) {
        // Only the seam needs a second look: the carried tail and the hint's length - 1
        // first bytes of this chunk.
        char seam[2 * kCarrySize];
        const std::size_t head = textLength < hintLength - 1 ? textLength : hintLength - 1;
        std::memcpy(seam, carry, carryLength);
        std::memcpy(seam + carryLength, text, head);
        seam[carryLength + head] = '\0';
        found = std::strstr(seam, hint) != nullptr;
    }

    if (textLength >= hintLength - 1) {
        carryLength = hintLength - 1;
        std::memcpy(carry, text + textLength - carryLength, carryLength);
    } else {
        // A short chunk: keep the end of the older tail in front of it.
        const std::size_t keep =
            carryLength + textLength > hintLength - 1 ? hintLength - 1 - textLength : carryLength;
        std::memmove(carry, carry + carryLength - keep, keep);
        std::memcpy(carry + keep, text, textLength);
        carryLength = keep + textLength;
    }
    return found;
}

platform::DWORD OutputReader(void* /*parameter*/) {
    platform::HANDLE pipe = nullptr;
    {
        std::lock_guard lock(ServiceLock);
        pipe = OutputPipeRead;
    }
    // One chunk and its terminator, and the tail of the chunks before it.
    char chunk[kChunkSize + 1];
    char carry[kCarrySize];
    std::size_t carryLength = 0;

    for (;;) {
        platform::DWORD read = 0;
        if (platform::ReadFile(pipe, chunk, kChunkSize, &read, nullptr) == 0) {
            EndOfOutput();
            LogText("\n");
            PostOutputEnded();
            return 1;
        }
        const std::size_t textLength = LogChunk(chunk, read);
        if (FindHint(Settings.StartHint, chunk, textLength, carry, carryLength)) {
            // The "\n" goes first, so that it is in the log before anything the woken
            // supervising thread writes ("Returning the Main Thread").
            LogText("\n");
            PostHintSeen();
            ReadOutputAfterStart(pipe, chunk);
            return 1;
        }
    }
}
