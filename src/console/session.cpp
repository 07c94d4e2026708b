// One console client: its request, its answer, and for an attach the output and its lines.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "config/log.h"
#include "console/endpoint.h"
#include "console/protocol.h"
#include "state/input.h"
#include "state/kept_output.h"
#include "state/lifecycle.h"
#include "state/server.h"
#include "state/status.h"

namespace {

std::atomic<int> Clients{0};

struct Session {
    platform::HANDLE connection;
    char from[kLongestSender + 1];  // "console " and who the client is
    // Bytes received and not yet taken as lines; room for one line, its CR and its LF.
    char received[kLongestConsoleLine + 2];
    std::size_t receivedLength = 0;
    // An attach: the output's slot and its event, the writes' order, and the two threads'
    // shares of the session (the last one ends it).
    int slot = -1;
    platform::HANDLE event = nullptr;
    std::mutex writes;
    std::atomic<bool> over{false};
    std::atomic<int> users{1};
};

void EndSession(Session* session) {
    if (session->users.fetch_sub(1) != 1) return;
    if (session->slot >= 0) DetachOutput(session->slot);
    (void)platform::CloseHandle(session->connection);
    if (session->event != nullptr) (void)platform::CloseHandle(session->event);
    session->~Session();
    platform::Free(session);
    Clients.fetch_sub(1);
}

bool Say(Session* session, const char* text, std::size_t length) {
    std::lock_guard lock(session->writes);
    return platform::WriteConnection(session->connection, text,
                                     static_cast<platform::DWORD>(length),
                                     kClientWriteMilliseconds) != 0;
}

bool SayLine(Session* session, const char* line) {
    char text[kLongestConsoleLine + 2];
    const int length = std::snprintf(text, sizeof text, "%s\n", line);
    return Say(session, text, static_cast<std::size_t>(length));
}

// The next line of the client into `line` (terminated, its LF and a CR before it
// dropped), waiting at most `milliseconds` in each read. False when the client is gone,
// said nothing in time, or sent a line that is not good: then `refusal` says why, or is
// null when there is nobody to tell.
bool NextLine(Session* session, char* line, std::size_t& length, platform::DWORD milliseconds,
              const char*& refusal) {
    refusal = nullptr;
    for (;;) {
        bool complete = false;
        length = LineIn(session->received, session->receivedLength, complete);
        if (!complete && session->receivedLength == sizeof session->received) {
            refusal = LineRefusal(LineCheck::kTooLong);  // no LF within any good line's room
            return false;
        }
        if (complete) {
            // A complete line fits `received`, so at most a good line, its CR and its LF.
            std::memcpy(line, session->received, length);
            const std::size_t taken = length + 1;
            const LineCheck check = CheckLine(line, length);
            if (check != LineCheck::kGood) {
                refusal = LineRefusal(check);
                return false;
            }
            line[length] = '\0';
            std::memmove(session->received, session->received + taken,
                         session->receivedLength - taken);
            session->receivedLength -= taken;
            return true;
        }
        platform::DWORD got = 0;
        if (platform::ReadConnection(session->connection, session->received + session->receivedLength,
                                     static_cast<platform::DWORD>(sizeof session->received -
                                                                  session->receivedLength),
                                     &got, milliseconds) == 0) {
            if (platform::GetLastError() == platform::kErrorTimeout) {
                refusal = "refused no request within 10 s";
            }
            return false;
        }
        session->receivedLength += got;
    }
}

// What the client is told of a command that the queue did not take; null when it did.
const char* Refusal(CommandAnswer answer) {
    switch (answer) {
        case CommandAnswer::kTaken:
            break;
        case CommandAnswer::kStopping:
            return "refused the service is stopping";
        case CommandAnswer::kNotReading:
            return "refused the server is not reading its input";
        case CommandAnswer::kBadCommand:
            return "refused the command is empty or longer than 4094 bytes";
    }
    return nullptr;
}

// A command for the server; the answer to give the client. A refusal is logged.
const char* Command(Session* session, const char* text, std::size_t length) {
    const Phase phase = CurrentPhase();
    bool serverRuns = false;
    {
        std::lock_guard lock(ServiceLock);
        serverRuns = ServerProcess.hProcess != nullptr;
    }
    const char* refusal = nullptr;
    if (phase != Phase::kStarting && phase != Phase::kRunning) {
        refusal = "refused the service is stopping";
    } else if (!serverRuns) {
        refusal = "refused the server is not running";  // not launched yet, or ended
    } else {
        refusal = Refusal(QueueCommand(text, length, session->from));
    }
    if (refusal == nullptr) return "ok";
    char message[kLongestSender + 128];
    (void)std::snprintf(message, sizeof message, "Command from %s refused: %s\n", session->from,
                        refusal + std::strlen("refused "));
    LogText(message);
    return refusal;
}

void Status(Session* session) {
    const char* state = "stopped";
    switch (CurrentPhase()) {
        case Phase::kStarting:
            state = "starting";
            break;
        case Phase::kRunning:
            state = "running";
            break;
        case Phase::kStopping:
            state = "stopping";
            break;
        case Phase::kStopped:
            break;
    }
    platform::DWORD id = 0;
    {
        std::lock_guard lock(ServiceLock);
        id = ServerProcess.dwProcessId;
    }
    char line[64];
    (void)std::snprintf(line, sizeof line, "status %s %u", state, static_cast<unsigned>(id));
    (void)SayLine(session, line);
}

// The attached client's lines, each a command, until it detaches.
platform::DWORD AttachedLines(void* parameter) {
    auto* session = static_cast<Session*>(parameter);
    static thread_local char line[kLongestConsoleLine + 2];
    std::size_t length = 0;
    const char* refusal = nullptr;
    while (NextLine(session, line, length, platform::kInfinite, refusal)) {
        if (length == 0) continue;  // an empty line sends nothing
        const char* answer = Command(session, line, length);
        if (std::strcmp(answer, "ok") == 0) continue;
        char notice[160];
        (void)std::snprintf(notice, sizeof notice, "[tallowmere-console] %s", answer);
        (void)SayLine(session, notice);
    }
    if (refusal != nullptr) {
        char notice[160];
        (void)std::snprintf(notice, sizeof notice, "[tallowmere-console] %s; detached", refusal);
        (void)SayLine(session, notice);
    }
    session->over.store(true);
    (void)platform::SetEvent(session->event);
    EndSession(session);
    return 1;
}

// The server's output to the attached client, as it comes; what it did not take in time
// was dropped from its share, and it is told how much.
void Attach(Session* session) {
    session->event = platform::CreateEventA(nullptr, 0, 0, nullptr);
    if (session->event == nullptr) {
        (void)SayLine(session, "refused the service is out of resources");
        return;
    }
    session->slot = AttachOutput(session->event);
    if (session->slot < 0) {
        (void)SayLine(session, "refused too many attached clients");
        return;
    }
    if (!SayLine(session, "ok")) return;
    session->users.fetch_add(1);
    if (platform::CreateThread(nullptr, 0, AttachedLines, session, 0, nullptr) == nullptr) {
        session->users.fetch_sub(1);
        return;
    }
    static thread_local char chunk[16 * 1024];
    while (!session->over.load()) {
        if (platform::WaitForMultipleObjects(1, &session->event, 0, platform::kInfinite) !=
            platform::kWaitObject0) {
            break;
        }
        std::size_t dropped = 0;
        std::size_t taken = 0;
        while ((taken = TakeAttachedOutput(session->slot, chunk, sizeof chunk, dropped)) > 0 ||
               dropped > 0) {
            if (dropped > 0) {
                char notice[96];
                (void)std::snprintf(notice, sizeof notice,
                                    "\n[tallowmere-console] %zu bytes of output dropped\n", dropped);
                if (!Say(session, notice, std::strlen(notice))) return;
            }
            if (taken > 0 && !Say(session, chunk, taken)) return;
        }
    }
}

platform::DWORD Serve(void* parameter) {
    auto* session = static_cast<Session*>(parameter);
    static thread_local char line[kLongestConsoleLine + 2];
    std::size_t length = 0;
    const char* refusal = nullptr;
    if (!NextLine(session, line, length, kRequestMilliseconds, refusal)) {
        if (refusal != nullptr) (void)SayLine(session, refusal);
    } else if (std::strcmp(line, "status") == 0) {
        Status(session);
    } else if (std::strncmp(line, "send ", 5) == 0) {
        (void)SayLine(session, Command(session, line + 5, length - 5));
    } else if (std::strcmp(line, "attach") == 0) {
        Attach(session);
    } else {
        (void)SayLine(session, "refused unknown request");
    }
    EndSession(session);
    return 1;
}

}  // namespace

int ConsoleClientsNow() { return Clients.load(); }

void ServeClient(platform::HANDLE connection, const char* who) {
    if (Clients.fetch_add(1) >= kMostConsoleClients) {
        static const char kBusy[] = "refused too many clients\n";
        (void)platform::WriteConnection(connection, kBusy, sizeof kBusy - 1, 1000);
        (void)platform::CloseHandle(connection);
        Clients.fetch_sub(1);
        return;
    }
    void* memory = platform::Allocate(sizeof(Session));
    if (memory == nullptr) {
        (void)platform::CloseHandle(connection);
        Clients.fetch_sub(1);
        return;
    }
    auto* session = new (memory) Session();
    session->connection = connection;
    (void)std::snprintf(session->from, sizeof session->from, "console %s", who);
    if (platform::CreateThread(nullptr, 0, Serve, session, 0, nullptr) == nullptr) {
        EndSession(session);
    }
}
