#include "service/entry.h"

// Placeholder until the service host is built.
platform::DWORD ProgramEntry() { return 0; }
