// tallowmere-console ADDRESS send TEXT... | status | attach
#pragma once

// Runs the client with the program's arguments; returns its exit code: 0 done (status:
// running), 1 bad use, 2 nothing answers at the address, 3 the service refused (status:
// not running).
int ConsoleClient(int argc, char** argv);
