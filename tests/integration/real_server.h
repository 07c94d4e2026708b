// The logic on the real platform with the sample server: settings for one launch, and
// an end to it that leaves no thread of the logic running, so that the next test of the
// same process (the Windows build runs them all in one) starts from a clean state.
#pragma once

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "support/support.h"

class RealServerTest : public ::testing::Test {
protected:
    RealServerTest();
    ~RealServerTest() override;

    // Settings as the settings file would give them, with the log in this test's folder
    // and the command file holding `commandLine`. Resets the service's state first.
    void Configure(const std::string& commandLine, int timeoutSeconds = 60);

    // The sample server's command line with these arguments.
    std::string Server(const std::string& arguments) const;

    // A file in this test's folder.
    std::string File(const std::string& name) const { return folder_.File(name); }

    // The log as written, less the lines of failed status reports: no service control
    // manager is attached here, so every report fails and is logged, at moments that
    // depend on timing. Each is a whole message, never inside a piece of output.
    std::string Log() const;

    // The log once it equals `expected`, or as it is when a generous bound has passed:
    // the reader writes its last line after it has set ServerStarted, so the start can
    // return before that line is in the file.
    std::string SettledLog(const std::string& expected);
    std::string SettledLog(const std::function<bool(const std::string&)>& complete);

    // Ends the server and lets the output reader finish: kills the server if it still
    // runs and closes the service's own copies of the pipe ends, so the reader's read
    // fails (and it takes its end-of-output path) or, after the hint, its draining ends.
    // Waits for the reader's last log line in the first case. Idempotent.
    void FinishServer();

    // The command line as the log shows it: the line and its line end.
    std::string LoggedCommandLine() const;

    support::TempFolder folder_;
    std::string commandLine_;
    bool finished_ = true;
};
