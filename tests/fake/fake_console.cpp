#include "fake/fake_console.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>

namespace {

using platform::BOOL;
using platform::DWORD;
using platform::HANDLE;

constexpr std::uintptr_t kConsoleBase = 0x50000;

struct Connection {
    std::uintptr_t peer = 0;
    // cppcheck-suppress unusedStructMember ; read through the map's iterator
    std::string incoming;  // what the peer wrote and this side has not read
    bool peerClosed = false;
};

struct ConsoleRecord {
    std::map<std::string, std::uintptr_t> addresses;     // address -> endpoint
    std::map<std::uintptr_t, std::deque<std::uintptr_t>> pending;  // endpoint -> connections
    std::map<std::uintptr_t, Connection> connections;
    std::uintptr_t next = kConsoleBase + 1;
};

std::mutex ConsoleLock;
std::condition_variable ConsoleChanged;
ConsoleRecord Console;

std::uintptr_t Id(HANDLE handle) { return reinterpret_cast<std::uintptr_t>(handle); }
HANDLE Handle(std::uintptr_t id) { return reinterpret_cast<HANDLE>(id); }  // NOLINT

BOOL Fail(DWORD error) {
    platform::SetLastError(error);
    return 0;
}

HANDLE FailHandle(DWORD error) {
    platform::SetLastError(error);
    return platform::kInvalidHandleValue;
}

// Waits under `lock` until `ready` or the time is up; false when it is up.
template <typename Ready>
bool Await(std::unique_lock<std::mutex>& lock, DWORD milliseconds, Ready ready) {
    if (milliseconds == platform::kInfinite) {
        ConsoleChanged.wait(lock, ready);
        return true;
    }
    return ConsoleChanged.wait_for(lock, std::chrono::milliseconds(milliseconds), ready);
}

}  // namespace

namespace fake {

void ResetConsole() {
    std::lock_guard lock(ConsoleLock);
    Console = ConsoleRecord{};
    ConsoleChanged.notify_all();
}

bool IsConsoleHandle(HANDLE handle) {
    std::lock_guard lock(ConsoleLock);
    return Console.pending.count(Id(handle)) != 0 || Console.connections.count(Id(handle)) != 0;
}

BOOL CloseConsoleHandle(HANDLE handle) {
    std::lock_guard lock(ConsoleLock);
    const std::uintptr_t id = Id(handle);
    if (Console.pending.erase(id) != 0) {
        for (auto it = Console.addresses.begin(); it != Console.addresses.end(); ++it) {
            if (it->second == id) {
                Console.addresses.erase(it);
                break;
            }
        }
    } else {
        const auto found = Console.connections.find(id);
        if (found == Console.connections.end()) return Fail(platform::kErrorInvalidHandle);
        const auto peer = Console.connections.find(found->second.peer);
        if (peer != Console.connections.end()) peer->second.peerClosed = true;
        Console.connections.erase(found);
    }
    ConsoleChanged.notify_all();
    return 1;
}

}  // namespace fake

namespace platform {

HANDLE GetStdHandle(DWORD) { return nullptr; }

HANDLE CreateConsoleEndpoint(const char* address) {
    std::lock_guard lock(ConsoleLock);
    if (address == nullptr || address[0] == '\0') return FailHandle(87);
    if (Console.addresses.count(address) != 0) return FailHandle(kErrorPipeBusy);
    const std::uintptr_t id = Console.next++;
    Console.addresses[address] = id;
    Console.pending[id];
    return Handle(id);
}

HANDLE AcceptConsoleClient(HANDLE endpoint, char* who, DWORD whoSize) {
    std::unique_lock lock(ConsoleLock);
    const std::uintptr_t id = Id(endpoint);
    if (Console.pending.count(id) == 0) return FailHandle(kErrorInvalidHandle);
    ConsoleChanged.wait(lock, [id] {
        const auto found = Console.pending.find(id);
        return found == Console.pending.end() || !found->second.empty();
    });
    const auto found = Console.pending.find(id);
    if (found == Console.pending.end()) return FailHandle(kErrorInvalidHandle);
    const std::uintptr_t connection = found->second.front();
    found->second.pop_front();
    if (who != nullptr && whoSize > 0) {
        const std::string name = "fake";
        const std::size_t length = name.size() < whoSize - 1 ? name.size() : whoSize - 1;
        name.copy(who, length);
        who[length] = '\0';
    }
    return Handle(connection);
}

HANDLE ConnectConsoleEndpoint(const char* address) {
    std::lock_guard lock(ConsoleLock);
    const auto endpoint = Console.addresses.find(address != nullptr ? address : "");
    if (endpoint == Console.addresses.end()) return FailHandle(kErrorFileNotFound);
    const std::uintptr_t ours = Console.next++;
    const std::uintptr_t theirs = Console.next++;
    Console.connections[ours].peer = theirs;
    Console.connections[theirs].peer = ours;
    Console.pending[endpoint->second].push_back(theirs);
    ConsoleChanged.notify_all();
    return Handle(ours);
}

BOOL ReadConnection(HANDLE connection, void* buffer, DWORD size, DWORD* bytesRead,
                    DWORD milliseconds) {
    std::unique_lock lock(ConsoleLock);
    if (bytesRead != nullptr) *bytesRead = 0;
    const std::uintptr_t id = Id(connection);
    if (Console.connections.count(id) == 0) return Fail(kErrorInvalidHandle);
    const bool ready = Await(lock, milliseconds, [id] {
        const auto found = Console.connections.find(id);
        return found == Console.connections.end() || !found->second.incoming.empty() ||
               found->second.peerClosed;
    });
    const auto found = Console.connections.find(id);
    if (found == Console.connections.end()) return Fail(kErrorInvalidHandle);
    if (!ready) return Fail(kErrorTimeout);
    std::string& incoming = found->second.incoming;
    if (incoming.empty()) return Fail(kErrorBrokenPipe);
    const std::size_t count = incoming.size() < size ? incoming.size() : size;
    incoming.copy(static_cast<char*>(buffer), count);
    incoming.erase(0, count);
    if (bytesRead != nullptr) *bytesRead = static_cast<DWORD>(count);
    return 1;
}

BOOL WriteConnection(HANDLE connection, const void* buffer, DWORD size, DWORD) {
    std::lock_guard lock(ConsoleLock);
    const auto found = Console.connections.find(Id(connection));
    if (found == Console.connections.end()) return Fail(kErrorInvalidHandle);
    const auto peer = Console.connections.find(found->second.peer);
    if (peer == Console.connections.end()) return Fail(kErrorNoData);
    peer->second.incoming.append(static_cast<const char*>(buffer), size);
    ConsoleChanged.notify_all();
    return 1;
}

}  // namespace platform
