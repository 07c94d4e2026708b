// The platform contract's backend in unit_tests: the fake platform.
#include "contract/backend.h"
#include "fake/fake_env.h"
#include "fake/fake_platform.h"

namespace contract {

void BeginCase() {
    fake::Reset();
    fake::ResetEnv();
}

void EndCase() { fake::Reset(); }

std::string ChildCommandLine(platform::DWORD exitCode) {
    return "sample-server --exit-code " + std::to_string(exitCode);
}

void EndChildInput(platform::HANDLE& input, platform::DWORD exitCode) {
    platform::CloseHandle(input);
    input = nullptr;
    fake::SetExitCode(exitCode);
}

std::string ConsoleAddress(const std::string& tag) { return "fake-console-" + tag; }

}  // namespace contract
