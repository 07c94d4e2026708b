// The platform contract's backend in platform_tests: the POSIX or the Win32 layer, with the
// sample server as the child.
#include "contract/backend.h"
#include "support/support.h"

#include <cstdint>
#include <string>

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

std::string ConsoleAddress(const std::string& tag) {
#ifdef _WIN32
    static int count = 0;
    return "\\\\.\\pipe\\tallowmere-contract-" + tag + "-" +
           std::to_string(platform::GetTickCount64()) + "-" + std::to_string(++count);
#else
    return support::Join(support::MakeFreshFolder("console-" + tag), "console");
#endif
}

}  // namespace contract
