// tm-bench-relay SERVER [ARGUMENT]...: the least a wrapper can be, as the reference
// for stop latency and footprint. It starts the server with its standard input and
// output on two pipes, reads the output until it holds "STARTED", sends READY=1 to
// NOTIFY_SOCKET, and from then on drains the output on a second thread while the main
// thread waits for SIGTERM, on which it writes "quit\r\n" to the server and ends.

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "notify.h"

extern char** environ;

namespace {

int output = -1;

void* Drain(void*) {
    char buffer[4096];
    for (;;) {
        ssize_t size = read(output, buffer, sizeof buffer);
        if (size == 0 || (size < 0 && errno != EINTR)) break;
    }
    return nullptr;
}

void Ready() { SendNotify("READY=1"); }

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    signal(SIGPIPE, SIG_IGN);

    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return 1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    pid_t server = 0;
    if (posix_spawn(&server, argv[1], &actions, &attributes, argv + 1, environ) != 0) return 1;
    close(in[0]);
    close(out[1]);
    output = out[0];

    std::string seen;
    char buffer[4096];
    for (;;) {
        ssize_t size = read(output, buffer, sizeof buffer);
        if (size <= 0) return 1;
        seen.append(buffer, static_cast<std::size_t>(size));
        if (seen.find("STARTED") != std::string::npos) break;
        if (seen.size() > 64) seen.erase(0, seen.size() - 64);  // a hint split over reads
    }
    pthread_t drainer;
    pthread_create(&drainer, nullptr, Drain, nullptr);
    Ready();

    int signal = 0;
    while (sigwait(&stop, &signal) != 0) {
    }
    static const char kQuit[] = "quit\r\n";
    if (write(in[1], kQuit, sizeof kQuit - 1) < 0) return 1;
    _exit(0);
}
