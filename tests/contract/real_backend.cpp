// The platform contract's backend in platform_tests: the POSIX or the Win32 layer, with the
// sample server as the child.
#include "contract/backend.h"
#include "support/support.h"

namespace contract {

void BeginCase() {}

void EndCase() {}

std::string ChildCommandLine(platform::DWORD exitCode) {
    return support::QuoteForCommandLine(support::SampleServerPath()) + " --max-life 120" +
           " --exit-code " + std::to_string(exitCode);
}

void EndChildInput(platform::HANDLE& input, platform::DWORD /*exitCode*/) {
    platform::CloseHandle(input);
    input = nullptr;
}

}  // namespace contract
