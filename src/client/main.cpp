#include "client/client.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
    // An attach ends the process from its input's thread: no destructors run.
    platform::ExitProcess(static_cast<platform::DWORD>(ConsoleClient(argc, argv)));
}
