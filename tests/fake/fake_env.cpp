// The fake platform's environment calls: settable command line and current folder, real
// settings files read by the portable INI reader, counted heap memory, captured debugger
// output.
#include "fake/fake_env.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/ini_reader.h"

namespace {

struct EnvRecord {
    std::string commandLine;
    std::string currentDirectory;
    platform::DWORD currentDirectoryError;  // nonzero: GetCurrentDirectoryA fails with it
    int failNth;                            // 0: no allocation is refused
    bool failFromThenOn;
    int allocationCalls;
    int liveAllocations;
    std::vector<std::size_t> allocationSizes;
    std::string debugOutput;
    int debugOutputCalls;
};

// Allocation and debugger output are reached from several threads at once.
std::mutex EnvLock;
EnvRecord Env;
thread_local platform::DWORD LastError = 0;

bool ReadWholeFile(const char* fileName, std::string& data) {
    if (fileName == nullptr) return false;
    std::FILE* file = std::fopen(fileName, "rb");
    if (file == nullptr) return false;
    char chunk[4096];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) data.append(chunk, got);
    std::fclose(file);
    return true;
}

// The value of a present key, as the Windows reader finds it.
bool FindValue(const char* section, const char* key, const char* fileName, std::string& value) {
    std::string data;
    if (section == nullptr || key == nullptr || !ReadWholeFile(fileName, data)) return false;
    return platform::IniFindValue(data.data(), data.size(), section, key, value);
}

}  // namespace

namespace fake {

void ResetEnv() {
    std::lock_guard<std::mutex> hold(EnvLock);
    Env = EnvRecord{};
    Env.commandLine = "tallowmere-service";
    Env.currentDirectory = "fake-cwd";
    LastError = 0;
}

void SetCommandLine(const std::string& commandLine) {
    std::lock_guard<std::mutex> hold(EnvLock);
    Env.commandLine = commandLine;
}

void SetCurrentDirectory(const std::string& directory) {
    std::lock_guard<std::mutex> hold(EnvLock);
    Env.currentDirectory = directory;
    Env.currentDirectoryError = 0;
}

void FailCurrentDirectory(platform::DWORD error) {
    std::lock_guard<std::mutex> hold(EnvLock);
    Env.currentDirectoryError = error;
}

void FailAllocation(int nth, bool fromThenOn) {
    std::lock_guard<std::mutex> hold(EnvLock);
    Env.failNth = nth == 0 ? 0 : Env.allocationCalls + nth;
    Env.failFromThenOn = fromThenOn;
}

int AllocationCalls() {
    std::lock_guard<std::mutex> hold(EnvLock);
    return Env.allocationCalls;
}

std::vector<std::size_t> AllocationSizes() {
    std::lock_guard<std::mutex> hold(EnvLock);
    return Env.allocationSizes;
}

int LiveAllocations() {
    std::lock_guard<std::mutex> hold(EnvLock);
    return Env.liveAllocations;
}

std::string DebugOutput() {
    std::lock_guard<std::mutex> hold(EnvLock);
    return Env.debugOutput;
}

int DebugOutputCalls() {
    std::lock_guard<std::mutex> hold(EnvLock);
    return Env.debugOutputCalls;
}

}  // namespace fake

namespace platform {

const char* GetCommandLineA() {
    // The text stays put until a test sets another one.
    std::lock_guard<std::mutex> hold(EnvLock);
    return Env.commandLine.c_str();
}

DWORD GetCurrentDirectoryA(DWORD bufferSize, char* buffer) {
    std::lock_guard<std::mutex> hold(EnvLock);
    if (Env.currentDirectoryError != 0) {
        LastError = Env.currentDirectoryError;
        return 0;
    }
    const DWORD length = static_cast<DWORD>(Env.currentDirectory.size());
    // Too small: the size needed, terminator included, and the buffer left untouched.
    if (buffer == nullptr || length + 1 > bufferSize) return length + 1;
    std::memcpy(buffer, Env.currentDirectory.c_str(), length + 1);
    return length;
}

DWORD GetPrivateProfileIntA(const char* section, const char* key, std::int32_t defaultValue,
                            const char* fileName) {
    std::string value;
    std::uint32_t number = 0;
    if (FindValue(section, key, fileName, value) && IniParseInt(value, number)) return number;
    return static_cast<DWORD>(defaultValue);
}

DWORD GetPrivateProfileStringA(const char* section, const char* key, const char* defaultText,
                               char* buffer, DWORD bufferSize, const char* fileName) {
    if (buffer == nullptr || bufferSize == 0) return 0;
    std::string value;
    if (!FindValue(section, key, fileName, value)) {
        // The Windows reader drops blanks at the end of a default.
        value = defaultText != nullptr ? defaultText : "";
        while (!value.empty() && value.back() == ' ') value.pop_back();
    }
    const std::size_t length = std::min<std::size_t>(value.size(), bufferSize - 1);
    std::memcpy(buffer, value.data(), length);
    buffer[length] = '\0';
    return static_cast<DWORD>(length);
}

void* Allocate(std::size_t bytes) {
    std::lock_guard<std::mutex> hold(EnvLock);
    ++Env.allocationCalls;
    const bool refused = Env.failNth != 0 && (Env.allocationCalls == Env.failNth ||
                                              (Env.failFromThenOn && Env.allocationCalls > Env.failNth));
    if (refused) return nullptr;
    void* memory = std::malloc(bytes == 0 ? 1 : bytes);
    if (memory == nullptr) return nullptr;
    ++Env.liveAllocations;
    Env.allocationSizes.push_back(bytes);
    return memory;
}

void Free(void* memory) {
    if (memory == nullptr) return;
    std::free(memory);
    std::lock_guard<std::mutex> hold(EnvLock);
    --Env.liveAllocations;
}

void OutputDebugStringA(const char* text) {
    std::lock_guard<std::mutex> hold(EnvLock);
    ++Env.debugOutputCalls;
    if (text != nullptr) Env.debugOutput += text;
}

DWORD GetLastError() { return LastError; }

void SetLastError(DWORD code) { LastError = code; }

}  // namespace platform
