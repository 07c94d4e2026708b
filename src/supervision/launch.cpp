#include "supervision/launch.h"

#include <mutex>

#include "config/log.h"
#include "config/settings.h"
#include "state/input.h"
#include "state/lifecycle.h"
#include "state/server.h"
#include "state/status.h"
#include "supervision/command_file.h"
#include "supervision/reader.h"
#include "supervision/supervise.h"
#include "supervision/writer.h"

namespace {

// The four ends, in the order in which every failure path closes them, then the job.
void CloseServerPipes() {
    std::lock_guard lock(ServiceLock);
    CloseHandleLocked(OutputPipeRead);
    CloseHandleLocked(OutputPipeWrite);
    CloseHandleLocked(InputPipeRead);
    CloseServerInputLocked();
    CloseHandleLocked(ServerJob);
}

// A server that cannot be supervised (not in its job, not resumed, no reader) could
// never be seen to start, and nothing would end it.
void EndUnsupervisedServer(platform::DWORD code) {
    EndServerTree(code);
    std::lock_guard lock(ServiceLock);
    CloseHandleLocked(ServerProcess.hProcess);
    CloseHandleLocked(ServerProcess.hThread);
    ServerProcess = platform::PROCESS_INFORMATION{};
}

// A step of the launch failed with `code` (read by the caller straight after the failing
// call, before the clean-up's own calls can touch it): ends the server when one was created,
// closes everything, and gives the code.
platform::DWORD FailLaunch(platform::DWORD code, bool serverCreated) {
    if (serverCreated) EndUnsupervisedServer(code);
    CloseServerPipes();
    return code;
}

// The service's own ends stay out of the server: a server that held the input pipe's
// write end would never read end of file on its standard input, even after we are gone.
bool KeepOwnEndsUninherited() {
    std::lock_guard lock(ServiceLock);
    return platform::SetHandleInformation(OutputPipeRead, platform::kHandleFlagInherit, 0) != 0 &&
           platform::SetHandleInformation(InputPipeWrite, platform::kHandleFlagInherit, 0) != 0;
}

}  // namespace

platform::DWORD LaunchServer() {
    // Lives until process creation has returned, which may keep a pointer to it.
    char commandLine[kCommandLineSize];
    const platform::DWORD fileResult =
        ReadServerCommandLine(Settings.CommandFile, commandLine, sizeof commandLine);
    if (fileResult != 0) return fileResult;

    // Not inheritable: nothing of the service's own reaches the server but its ends.
    const platform::HANDLE event = platform::CreateEventA(nullptr, 0, 0, nullptr);
    if (event == nullptr) return platform::GetLastError();
    {
        std::lock_guard lock(ServiceLock);
        LifecycleEvent = event;
    }
    const platform::HANDLE inputEvent = platform::CreateEventA(nullptr, 0, 0, nullptr);
    if (inputEvent == nullptr) return platform::GetLastError();
    {
        std::lock_guard lock(ServiceLock);
        InputEvent = inputEvent;
    }
    // A stop that came while the command file was read has been answered: no server.
    if (!BeginLaunch()) return kStopReportedAlready;

    // Inheritable, so that the server receives its ends.
    const platform::SECURITY_ATTRIBUTES attributes = {
        static_cast<platform::DWORD>(sizeof(platform::SECURITY_ATTRIBUTES)), nullptr, 1};

    // Each pipe is created into locals and published under the lock. Error codes are read
    // straight after the failing call, before the clean-up's own calls can touch them.
    platform::HANDLE readEnd = nullptr;
    platform::HANDLE writeEnd = nullptr;
    if (platform::CreatePipe(&readEnd, &writeEnd, &attributes, 0) == 0) {
        return platform::GetLastError();
    }
    {
        std::lock_guard lock(ServiceLock);
        OutputPipeRead = readEnd;
        OutputPipeWrite = writeEnd;
    }
    readEnd = nullptr;
    writeEnd = nullptr;
    if (platform::CreatePipe(&readEnd, &writeEnd, &attributes, 0) == 0) {
        return FailLaunch(platform::GetLastError(), false);
    }
    platform::STARTUPINFOA startup = {};
    {
        std::lock_guard lock(ServiceLock);
        InputPipeRead = readEnd;
        InputPipeWrite = writeEnd;
        startup.cb = static_cast<platform::DWORD>(sizeof startup);
        startup.dwFlags = platform::kStartfUseShowWindow | platform::kStartfUseStdHandles;
        startup.wShowWindow = platform::kSwHide;
        startup.hStdInput = InputPipeRead;
        startup.hStdOutput = OutputPipeWrite;
        startup.hStdError = OutputPipeWrite;
    }
    if (!KeepOwnEndsUninherited()) return FailLaunch(platform::GetLastError(), false);
    const platform::HANDLE job = platform::CreateJobObjectA(nullptr, nullptr);
    if (job == nullptr) return FailLaunch(platform::GetLastError(), false);
    {
        std::lock_guard lock(ServiceLock);
        ServerJob = job;
    }

    // Logged before creation, so that a server that cannot be started is in the log too.
    LogText(commandLine);
    LogText("\n");

    // Created suspended and put into its job before it runs any code of its own, so that
    // everything it starts is in the job too.
    platform::PROCESS_INFORMATION information = {};
    if (platform::CreateProcessA(nullptr, commandLine, nullptr, nullptr, 1,
                                 platform::kCreateSuspended, nullptr, Settings.LaunchFolder,
                                 &startup, &information) != 1) {
        return FailLaunch(platform::GetLastError(), false);
    }
    {
        std::lock_guard lock(ServiceLock);
        ServerProcess = information;
    }
    if (platform::AssignProcessToJobObject(job, information.hProcess) == 0) {
        const platform::DWORD code = platform::GetLastError();
        // The job does not hold the server, so ending the job would not reach it: let go
        // of the job, and the server itself is ended.
        {
            std::lock_guard lock(ServiceLock);
            CloseHandleLocked(ServerJob);
        }
        return FailLaunch(code, true);
    }
    if (platform::ResumeThread(information.hThread) == platform::kResumeFailed) {
        return FailLaunch(platform::GetLastError(), true);
    }

    platform::DWORD threadId = 0;
    ReaderThread = platform::CreateThread(nullptr, 0, OutputReader, nullptr, 0, &threadId);
    if (ReaderThread == nullptr) return FailLaunch(platform::GetLastError(), true);
    // Without its writer the server could never be sent its quit command.
    WriterThread = platform::CreateThread(nullptr, 0, InputWriter, nullptr, 0, &threadId);
    if (WriterThread == nullptr) return FailLaunch(platform::GetLastError(), true);

    return Supervise();
}
