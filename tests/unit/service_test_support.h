// What the tests of the supervision and the service host share: a fresh start for the
// fake platform, the settings and the logic's process-wide state before and after each
// test; settings of their own; a command file in a folder of the test's own; and the log,
// which these tests send to the fake debugger output.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "config/settings.h"
#include "config/settings_for_tests.h"
#include "fake/fake_env.h"
#include "fake/fake_platform.h"
#include "platform/platform.h"
#include "state/state_for_tests.h"
#include "state/status.h"
#include "support/support.h"

namespace service_test {

// An owned text for a field of Settings, released by ResetSettingsForTest.
inline char* Text(const std::string& value) {
    char* copy = static_cast<char*>(platform::Allocate(value.size() + 1));
    std::memcpy(copy, value.c_str(), value.size() + 1);
    return copy;
}

inline void SetText(char*& field, const std::string& value) {
    if (field != nullptr) platform::Free(field);
    field = Text(value);
}

inline void ClearText(char*& field) {
    if (field != nullptr) platform::Free(field);
    field = nullptr;
}

inline void WriteBytes(const std::filesystem::path& file, const std::string& bytes) {
    support::WriteWholeFile(file.string(), bytes);
}

// The report as a line that failure messages can show.
inline std::string Show(const platform::SERVICE_STATUS& s) {
    return "{type " + std::to_string(s.ServiceType) + ", state " +
           std::to_string(s.CurrentState) + ", accepted " + std::to_string(s.ControlsAccepted) +
           ", exit " + std::to_string(s.Win32ExitCode) + ", specific " +
           std::to_string(s.ServiceSpecificExitCode) + ", check point " +
           std::to_string(s.CheckPoint) + ", wait hint " + std::to_string(s.WaitHint) + "}";
}

// The states of the reports, in order.
inline std::vector<platform::DWORD> States(const std::vector<platform::SERVICE_STATUS>& reports) {
    std::vector<platform::DWORD> states;
    for (const auto& report : reports) states.push_back(report.CurrentState);
    return states;
}

// The calls whose text begins with one of the prefixes, in order.
inline std::vector<std::string> CallsOf(const std::vector<std::string>& prefixes) {
    std::vector<std::string> found;
    for (const std::string& call : fake::Calls()) {
        for (const std::string& prefix : prefixes) {
            if (call.compare(0, prefix.size(), prefix) == 0) {
                found.push_back(call);
                break;
            }
        }
    }
    return found;
}

// The ends of the server's job while the server's process was still open: the hard end.
// Ending what a server that had ended left behind (after its handle was closed) is none.
inline std::vector<std::string> HardEnds() {
    std::vector<std::string> found;
    std::string process;  // "CloseHandle h5" once the server's handle is known
    bool closed = false;
    for (const std::string& call : fake::Calls()) {
        if (call.rfind("CreateProcessA h", 0) == 0) {
            process = "CloseHandle " + call.substr(15, call.find(' ', 15) - 15);
        }
        if (!process.empty() && call == process) closed = true;
        if (call.rfind("TerminateJobObject", 0) == 0 && !closed) found.push_back(call);
    }
    return found;
}

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake::Reset();
        ResetServiceStateForTest();
        ResetSettingsForTest();
        fake::ResetEnv();
        folder_ = support::MakeFreshFolder("service");
        commandFile_ = folder_ / "server.cmd";
        // The settings as LoadSettings would give them by default, but with every message
        // sent to the debugger output, where the test reads it.
        Settings.UseLog = 0;
        Settings.AppendToExistingLog = 1;
        SetText(Settings.ServiceName, "");
        SetText(Settings.LogFileName, (folder_ / "unused.log").string());
        SetText(Settings.CommandFile, commandFile_.string());
        SetText(Settings.LaunchFolder, "");
        SetText(Settings.QuitCommand, "quit\r\n");
        SetText(Settings.StartHint, "STARTED");
        Settings.ServerStartupTimeoutInSeconds = 300;
        WriteBytes(commandFile_, "server.exe --port 7777\r\n");
    }

    void TearDown() override {
        fake::Reset();  // ends the reader threads, which use the settings
        ResetServiceStateForTest();
        ResetSettingsForTest();
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }

    // As ServiceStart leaves the record and the handle before the launch.
    static void PrepareStatus() {
        std::lock_guard lock(ServiceLock);
        ServiceStatus.ServiceType = 0x30;
        ServiceStatus.CurrentState = platform::kServiceStartPending;
        ServiceStatus.ControlsAccepted = platform::kServiceAcceptStop;
        StatusHandle = fake::StatusHandleGiven();
    }

    static platform::SERVICE_STATUS Record() {
        std::lock_guard lock(ServiceLock);
        return ServiceStatus;
    }

    static std::string Log() { return fake::DebugOutput(); }

    // For a start that loads its settings: a file named on the command line that names the
    // command file and the launch folder, then holds `lines`. Sets commandLine_.
    void UseSettingsFile(const std::string& lines) {
        ResetSettingsForTest();  // LoadSettings fills them from the file
        iniPath_ = (folder_ / "Tallowmere.ini").string();
        commandLine_ = "C:\\svc\\tallowmere-service.exe -" + iniPath_;
        fake::SetCommandLine(commandLine_);
        fake::SetThreadMode(fake::ThreadMode::RunUntilIdle);
        WriteBytes(iniPath_, "[Tallowmere]\r\nCommandFile=" + commandFile_.string() +
                                 "\r\nLaunchFolder=" + folder_.string() + "\r\n" + lines);
    }

    std::filesystem::path folder_;
    std::filesystem::path commandFile_;
    std::string iniPath_;
    std::string commandLine_;
};

}  // namespace service_test
