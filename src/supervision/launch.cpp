#include "supervision/launch.h"

#include <cstring>
#include <mutex>

#include "config/log.h"
#include "config/settings.h"
#include "service/status.h"
#include "supervision/command_file.h"
#include "supervision/reader.h"
#include "supervision/startup_wait.h"

platform::HANDLE OutputPipeRead = nullptr;
platform::HANDLE OutputPipeWrite = nullptr;
platform::HANDLE InputPipeRead = nullptr;
platform::HANDLE InputPipeWrite = nullptr;
platform::PROCESS_INFORMATION ServerProcess = {};
platform::HANDLE ReaderThread = nullptr;
bool QuitCommandWritten = false;

namespace {

// The four ends, in the order in which every failure path closes them.
void CloseServerPipes() {
    std::lock_guard<std::mutex> lock(ServiceLock);
    CloseHandleLocked(OutputPipeRead);
    CloseHandleLocked(OutputPipeWrite);
    CloseHandleLocked(InputPipeRead);
    CloseHandleLocked(InputPipeWrite);
}

// A server without a reader could never be seen to start, and nothing would end it.
void EndServerWithoutReader(platform::DWORD code) {
    std::lock_guard<std::mutex> lock(ServiceLock);
    if (ServerProcess.hProcess != nullptr) platform::TerminateProcess(ServerProcess.hProcess, code);
    CloseHandleLocked(ServerProcess.hProcess);
    CloseHandleLocked(ServerProcess.hThread);
    ServerProcess = platform::PROCESS_INFORMATION{};
}

}  // namespace

void CloseHandleLocked(platform::HANDLE& handle) {
    if (handle == nullptr) return;
    platform::CloseHandle(handle);
    handle = nullptr;
}

platform::BOOL WriteQuitCommandLocked() {
    // Once only: a stop during the grace after the timeout would add a second command
    // that may not fit the pipe beside the first (4,094 bytes each, a 4,096-byte buffer on
    // Windows), and a server that does not read would then block the stop for good.
    if (QuitCommandWritten) return 1;
    const char* command = Settings.QuitCommand != nullptr ? Settings.QuitCommand : "";
    platform::DWORD written = 0;
    const platform::BOOL result =
        platform::WriteFile(InputPipeWrite, command,
                            static_cast<platform::DWORD>(std::strlen(command)), &written, nullptr);
    if (result != 0) QuitCommandWritten = true;
    return result;
}

platform::DWORD LaunchServer() {
    // Lives until process creation has returned, which may keep a pointer to it.
    char commandLine[kCommandLineSize];
    const platform::DWORD fileResult =
        ReadCommandLine(Settings.CommandFile, commandLine, sizeof commandLine);
    if (fileResult != 0) return fileResult;

    // Inheritable, so that the server receives its ends.
    const platform::SECURITY_ATTRIBUTES attributes = {
        static_cast<platform::DWORD>(sizeof(platform::SECURITY_ATTRIBUTES)), nullptr, 1};

    // Each pipe is created into locals and published under the lock: the control handler
    // is registered already and may read the input pipe's write end at any moment.
    // Error codes are read straight after the failing call, before the clean-up's own
    // calls can touch the last error.
    platform::HANDLE readEnd = nullptr;
    platform::HANDLE writeEnd = nullptr;
    if (platform::CreatePipe(&readEnd, &writeEnd, &attributes, 0) == 0) {
        return platform::GetLastError();
    }
    {
        std::lock_guard<std::mutex> lock(ServiceLock);
        OutputPipeRead = readEnd;
        OutputPipeWrite = writeEnd;
    }
    readEnd = nullptr;
    writeEnd = nullptr;
    if (platform::CreatePipe(&readEnd, &writeEnd, &attributes, 0) == 0) {
        const platform::DWORD code = platform::GetLastError();
        CloseServerPipes();
        return code;
    }
    platform::STARTUPINFOA startup = {};
    {
        std::lock_guard<std::mutex> lock(ServiceLock);
        InputPipeRead = readEnd;
        InputPipeWrite = writeEnd;
        startup.cb = static_cast<platform::DWORD>(sizeof startup);
        startup.dwFlags = platform::kStartfUseShowWindow | platform::kStartfUseStdHandles;
        startup.wShowWindow = platform::kSwHide;
        startup.hStdInput = InputPipeRead;
        startup.hStdOutput = OutputPipeWrite;
        startup.hStdError = OutputPipeWrite;
    }

    // Logged before creation, so that a server that cannot be started is in the log too.
    LogText(commandLine);
    LogText("\n");

    platform::PROCESS_INFORMATION information = {};
    if (platform::CreateProcessA(nullptr, commandLine, nullptr, nullptr, 1, 0, nullptr,
                                 Settings.LaunchFolder, &startup, &information) != 1) {
        const platform::DWORD code = platform::GetLastError();
        CloseServerPipes();
        return code;
    }
    {
        std::lock_guard<std::mutex> lock(ServiceLock);
        ServerProcess = information;
    }

    platform::DWORD threadId = 0;
    ReaderThread = platform::CreateThread(nullptr, 0, OutputReader, nullptr, 0, &threadId);
    if (ReaderThread == nullptr) {
        const platform::DWORD code = platform::GetLastError();
        CloseServerPipes();
        EndServerWithoutReader(code);
        return code;
    }

    return WaitForStartHint();
}
