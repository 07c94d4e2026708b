#include "platform/platform.h"
#include "service/entry.h"

int main() {
    // The threads that may still run (the output reader, a start routine in its wait)
    // use process-wide records, so the process ends without running their destructors.
    platform::ExitProcess(ProgramEntry());
}
