#include "state/input.h"

#include <cassert>
#include <cstring>
#include <mutex>

#include "config/settings.h"
#include "state/server.h"
#include "state/status.h"

platform::HANDLE InputEvent = nullptr;

namespace {

struct QueuedCommand {
    std::size_t length;                 // the command, without its line end
    char text[kLongestCommand + 1];
    char from[kLongestSender + 1];
};

struct InputRecord {
    QueuedCommand commands[kQueuedCommandsLimit];  // a ring
    std::size_t first = 0;
    std::size_t count = 0;
    bool anyCommand = false;    // a command has been queued: the pipe carries more than quit
    bool quitQueued = false;    // no command is taken any more
    bool quitTaken = false;     // the writer has the quit command: nothing follows it
    bool writing = false;       // the writer is inside a write into `end`
    bool closeAsked = false;    // close our end once that write returns
};

InputRecord Input;  // guarded by ServiceLock

void Wake() {
    assert(ServiceLock.HeldHere());
    if (InputEvent != nullptr) (void)platform::SetEvent(InputEvent);
}

// The quit command's bytes; a null one (no memory) is written as an empty one.
const char* QuitCommand(std::size_t& length) {
    const char* quit = SettingText(Settings.QuitCommand);
    length = std::strlen(quit);
    return quit;
}

void CopyText(char* to, std::size_t room, const char* text, std::size_t length) {
    const std::size_t copied = length < room - 1 ? length : room - 1;
    std::memcpy(to, text, copied);
    to[copied] = '\0';
}

}  // namespace

CommandAnswer QueueCommand(const char* text, std::size_t length, const char* from) {
    // A line end or a zero byte inside would make two commands of one, or cut it short.
    if (text == nullptr || length == 0 || length > kLongestCommand ||
        std::memchr(text, '\0', length) != nullptr || std::memchr(text, '\r', length) != nullptr ||
        std::memchr(text, '\n', length) != nullptr) {
        return CommandAnswer::kBadCommand;
    }
    std::lock_guard lock(ServiceLock);
    if (Input.quitQueued) return CommandAnswer::kStopping;
    if (Input.count == kQueuedCommandsLimit) return CommandAnswer::kNotReading;
    QueuedCommand& slot = Input.commands[(Input.first + Input.count) % kQueuedCommandsLimit];
    slot.length = length;
    CopyText(slot.text, sizeof slot.text, text, length);
    CopyText(slot.from, sizeof slot.from, from, from != nullptr ? std::strlen(from) : 0);
    ++Input.count;
    Input.anyCommand = true;
    Wake();
    return CommandAnswer::kTaken;
}

bool QueueQuitCommandLocked(platform::DWORD* error) {
    assert(ServiceLock.HeldHere());
    if (Input.quitQueued) return false;
    Input.quitQueued = true;
    if (!Input.anyCommand) {
        Input.quitTaken = true;
        *error = 0;
        std::size_t length = 0;
        const char* quit = QuitCommand(length);
        platform::DWORD written = 0;
        if (platform::WriteFile(InputPipeWrite, quit, static_cast<platform::DWORD>(length),
                                &written, nullptr) == 0) {
            *error = platform::GetLastError();
        }
        // The server reads the command, then end of file.
        CloseHandleLocked(InputPipeWrite);
        Wake();  // nothing is left for the writer: it ends
        return true;
    }
    Wake();
    return false;
}

bool InputOverLocked() {
    assert(ServiceLock.HeldHere());
    return Input.quitTaken && Input.count == 0 && !Input.writing;
}

void CloseServerInputLocked() {
    assert(ServiceLock.HeldHere());
    if (Input.writing) {
        Input.closeAsked = true;
        return;
    }
    CloseHandleLocked(InputPipeWrite);
}

bool TakeInputLocked(InputItem& item, platform::HANDLE& end) {
    assert(ServiceLock.HeldHere());
    if (Input.count > 0) {
        const QueuedCommand& command = Input.commands[Input.first];
        item.quit = false;
        std::memcpy(item.bytes, command.text, command.length);
        std::memcpy(item.bytes + command.length, "\r\n", 2);
        item.length = command.length + 2;
        std::memcpy(item.from, command.from, sizeof item.from);
        Input.first = (Input.first + 1) % kQueuedCommandsLimit;
        --Input.count;
    } else if (Input.quitQueued && !Input.quitTaken) {
        Input.quitTaken = true;
        item.quit = true;
        const char* quit = QuitCommand(item.length);
        if (item.length > sizeof item.bytes) item.length = sizeof item.bytes;
        std::memcpy(item.bytes, quit, item.length);
        item.from[0] = '\0';
    } else {
        return false;
    }
    Input.writing = true;
    end = InputPipeWrite;
    return true;
}

void InputWrittenLocked(bool quit) {
    assert(ServiceLock.HeldHere());
    Input.writing = false;
    // After the quit command the server reads end of file: one that reads lines gets its
    // last line now, not once the program has ended.
    if (Input.closeAsked || quit) {
        Input.closeAsked = false;
        CloseHandleLocked(InputPipeWrite);
    }
}

void ResetInputForTest() {
    std::lock_guard lock(ServiceLock);
    Input = InputRecord{};
    InputEvent = nullptr;
}
