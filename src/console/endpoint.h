// The console endpoint: where admins' clients (tallowmere-console) send the running
// server commands, ask the service's state, and attach to the server's output.
#pragma once

#include "platform/platform.h"

// Clients served at once; one more is refused.
constexpr int kMostConsoleClients = 8;
// A client that has not sent its request within this time is dropped.
constexpr platform::DWORD kRequestMilliseconds = 10000;
// A client that takes nothing of what is written to it for this long is dropped.
constexpr platform::DWORD kClientWriteMilliseconds = 30000;

// Opens the endpoint at Settings.ConsolePath, when there is one, and serves it on a thread
// of its own for the rest of the process. A failure is logged and leaves the service
// without a console; nothing else changes.
void OpenConsole();

// Clients being served now (the tests wait for their sessions to end).
int ConsoleClientsNow();

// One client, from its request to its end, on a thread of its own (session.cpp). Takes the
// connection and `who`, a copy of which it keeps.
void ServeClient(platform::HANDLE connection, const char* who);
