// tm-bench-probe: runs one program once and stamps what happens to it on the
// monotonic clock, for scripts/bench, which repeats the runs and does the statistics.
//
// Usage: tm-bench-probe [option]... -- PROGRAM [ARGUMENT]...
//   --notify PATH        bind a Unix datagram socket at PATH, hand the program
//                        NOTIFY_SOCKET=PATH and stamp every datagram that arrives
//   --watch FILE         poll FILE every --poll-us microseconds (default 500) until it
//   --tail TEXT          holds at least --min-size bytes and its last 4 KiB hold TEXT
//   --min-size BYTES     (escapes \r \n); stamp "done"
//   --stop-when-done     send SIGTERM once the watched file is done
//   --stop-on-running    send SIGTERM once a running report came (after the window)
//   --settle-ms MS       wait MS milliseconds after the running report before the
//                        window and before the stop, so that both meet a program
//                        that has settled into running (default 0)
//   --window-ms MS       after the running report, sample the program's threads,
//                        memory, processor time and wake-ups, wait MS, sample again
//   --timeout-ms MS      SIGKILL the program after this long (default 60000)
//
// Output, one line each: "spawn NS", "report NS <the datagram, newlines as |>",
// "done NS", "sigterm NS", "window threads=.. rss_kb=.. hwm_kb=.. cpu_ns=..
// voluntary=.. involuntary=..", "exit NS STATUS", "rusage maxrss_kb=.. user_us=..
// system_us=.. voluntary=.. involuntary=..", and "timeout" when it had to kill.

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace {

long long MonotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

[[noreturn]] void Fail(const std::string& message) {
    std::fprintf(stderr, "tm-bench-probe: %s (%s)\n", message.c_str(), std::strerror(errno));
    std::exit(2);
}

std::string Unescape(const char* text) {
    std::string out;
    for (const char* at = text; *at; ++at) {
        if (*at == '\\' && at[1] == 'n') out += '\n', ++at;
        else if (*at == '\\' && at[1] == 'r') out += '\r', ++at;
        else out += *at;
    }
    return out;
}

std::string ReadSmallFile(const std::string& path) {
    std::string text;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return text;
    char buffer[4096];
    for (ssize_t size; (size = read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(size));
    close(fd);
    return text;
}

long long Field(const std::string& status, const char* name) {
    std::size_t at = status.find(name);
    if (at == std::string::npos) return -1;
    return std::atoll(status.c_str() + at + std::strlen(name));
}

// What /proc shows of the program at one moment, summed over its threads.
struct Sample {
    long long threads = 0, rssKb = 0, hwmKb = 0;
    long long cpuNs = 0, voluntary = 0, involuntary = 0;
};

Sample TakeSample(pid_t pid) {
    Sample sample;
    std::string base = "/proc/" + std::to_string(pid);
    std::string status = ReadSmallFile(base + "/status");
    sample.threads = Field(status, "Threads:");
    sample.rssKb = Field(status, "VmRSS:");
    sample.hwmKb = Field(status, "VmHWM:");
    DIR* tasks = opendir((base + "/task").c_str());
    if (!tasks) return sample;
    while (dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] == '.') continue;
        std::string task = base + "/task/" + entry->d_name;
        // schedstat: nanoseconds on a processor, then waiting, then time slices.
        sample.cpuNs += std::atoll(ReadSmallFile(task + "/schedstat").c_str());
        std::string taskStatus = ReadSmallFile(task + "/status");
        sample.voluntary += Field(taskStatus, "\nvoluntary_ctxt_switches:");
        sample.involuntary += Field(taskStatus, "nonvoluntary_ctxt_switches:");
    }
    closedir(tasks);
    return sample;
}

bool WatchedFileDone(const std::string& path, long long minSize, const std::string& tail) {
    struct stat info{};
    if (stat(path.c_str(), &info) != 0 || info.st_size < minSize) return false;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buffer[4096];
    off_t from = info.st_size > static_cast<off_t>(sizeof buffer)
                     ? info.st_size - static_cast<off_t>(sizeof buffer) : 0;
    ssize_t size = pread(fd, buffer, sizeof buffer, from);
    close(fd);
    return size > 0 && std::string(buffer, static_cast<std::size_t>(size)).find(tail) != std::string::npos;
}

}  // namespace

int main(int argc, char** argv) {
    std::string notifyPath, watchPath, tail;
    long long minSize = 0, pollUs = 500, windowMs = -1, timeoutMs = 60000, settleMs = 0;
    bool stopWhenDone = false, stopOnRunning = false;
    int i = 1;
    for (; i < argc; ++i) {
        std::string name = argv[i];
        if (name == "--") {
            ++i;
            break;
        }
        if (name == "--stop-when-done") stopWhenDone = true;
        else if (name == "--stop-on-running") stopOnRunning = true;
        else if (i + 1 >= argc) Fail("missing value after " + name);
        else if (name == "--notify") notifyPath = argv[++i];
        else if (name == "--watch") watchPath = argv[++i];
        else if (name == "--tail") tail = Unescape(argv[++i]);
        else if (name == "--min-size") minSize = std::atoll(argv[++i]);
        else if (name == "--poll-us") pollUs = std::atoll(argv[++i]);
        else if (name == "--window-ms") windowMs = std::atoll(argv[++i]);
        else if (name == "--timeout-ms") timeoutMs = std::atoll(argv[++i]);
        else if (name == "--settle-ms") settleMs = std::atoll(argv[++i]);
        else Fail("unknown option " + name);
    }
    if (i >= argc) Fail("no program given");

    int notify = -1;
    std::vector<std::string> environment;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "NOTIFY_SOCKET=", 14) != 0) environment.push_back(*e);
    if (!notifyPath.empty()) {
        notify = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (notifyPath.size() >= sizeof address.sun_path) Fail("notify path too long");
        std::memcpy(address.sun_path, notifyPath.c_str(), notifyPath.size() + 1);
        unlink(notifyPath.c_str());
        if (notify < 0 || bind(notify, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            Fail("cannot bind " + notifyPath);
        environment.push_back("NOTIFY_SOCKET=" + notifyPath);
    }
    std::vector<char*> envp;
    for (std::string& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);

    pid_t pid = 0;
    const long long spawned = MonotonicNs();
    if (posix_spawn(&pid, argv[i], nullptr, nullptr, argv + i, envp.data()) != 0) Fail("cannot start program");
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd < 0) Fail("pidfd_open");
    std::printf("spawn %lld\n", spawned);

    const long long deadline = spawned + timeoutMs * 1000000;
    long long windowEnd = -1, stopAt = -1, runningAt = -1;
    Sample before;
    bool running = false, done = watchPath.empty(), stopped = false, exited = false;
    auto stop = [&] {
        if (stopped) return;
        stopped = true;
        long long at = MonotonicNs();
        kill(pid, SIGTERM);
        std::printf("sigterm %lld\n", at);
    };
    auto readReports = [&](bool wait) {
        char datagram[4096];
        for (;;) {
            ssize_t size = recv(notify, datagram, sizeof datagram - 1, wait ? 0 : MSG_DONTWAIT);
            if (size < 0) return;
            long long at = MonotonicNs();
            std::string text(datagram, static_cast<std::size_t>(size));
            if (text.find("READY=1") != std::string::npos) running = true;
            for (char& c : text)
                if (c == '\n') c = '|';
            std::printf("report %lld %s\n", at, text.c_str());
            wait = false;
        }
    };

    while (!exited) {
        long long now = MonotonicNs();
        if (now >= deadline) {
            std::printf("timeout\n");
            kill(pid, SIGKILL);
            break;
        }
        long long wakeAt = deadline;
        if (!done) wakeAt = std::min(wakeAt, now + pollUs * 1000);
        if (windowEnd >= 0) wakeAt = std::min(wakeAt, windowEnd);
        if (running && windowMs >= 0 && windowEnd < 0) wakeAt = std::min(wakeAt, runningAt + settleMs * 1000000);
        if (stopAt >= 0 && !stopped) wakeAt = std::min(wakeAt, stopAt);
        timespec timeout{static_cast<time_t>((wakeAt - now) / 1000000000),
                         static_cast<long>((wakeAt - now) % 1000000000)};
        pollfd fds[2] = {{pidfd, POLLIN, 0}, {notify, POLLIN, 0}};
        int ready = ppoll(fds, notify >= 0 ? 2 : 1, &timeout, nullptr);
        if (ready < 0 && errno != EINTR) Fail("ppoll");
        if (notify >= 0 && (fds[1].revents & POLLIN)) readReports(false);
        if (fds[0].revents & POLLIN) exited = true;
        if (!done && WatchedFileDone(watchPath, minSize, tail)) {
            done = true;
            std::printf("done %lld\n", static_cast<long long>(MonotonicNs()));
            if (stopWhenDone) stop();
        }
        if (running && runningAt < 0) runningAt = MonotonicNs();
        if (running && windowMs >= 0 && windowEnd < 0 && !exited &&
            MonotonicNs() >= runningAt + settleMs * 1000000) {
            before = TakeSample(pid);
            windowEnd = MonotonicNs() + windowMs * 1000000;
        }
        if (windowEnd >= 0 && MonotonicNs() >= windowEnd && !exited) {
            Sample after = TakeSample(pid);
            std::printf("window threads=%lld rss_kb=%lld hwm_kb=%lld cpu_ns=%lld voluntary=%lld "
                        "involuntary=%lld threads_before=%lld\n",
                        after.threads, after.rssKb, after.hwmKb, after.cpuNs - before.cpuNs,
                        after.voluntary - before.voluntary, after.involuntary - before.involuntary,
                        before.threads);
            windowEnd = -1;
            windowMs = -1;
        }
        if (running && stopOnRunning && windowMs < 0 && windowEnd < 0 && stopAt < 0)
            stopAt = MonotonicNs() + settleMs * 1000000;
        if (stopAt >= 0 && MonotonicNs() >= stopAt) stop();
    }
    const long long ended = MonotonicNs();
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    if (notify >= 0) readReports(false);
    std::printf("exit %lld %d\n", ended,
                WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    std::printf("rusage maxrss_kb=%ld user_us=%lld system_us=%lld voluntary=%ld involuntary=%ld\n",
                usage.ru_maxrss,
                static_cast<long long>(usage.ru_utime.tv_sec) * 1000000 + usage.ru_utime.tv_usec,
                static_cast<long long>(usage.ru_stime.tv_sec) * 1000000 + usage.ru_stime.tv_usec,
                usage.ru_nvcsw, usage.ru_nivcsw);
    if (!notifyPath.empty()) unlink(notifyPath.c_str());
    return 0;
}
