// What the POSIX files of the platform layer share; nothing here leaves the layer.
#pragma once

#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstddef>
#include <mutex>

namespace platform::posix {

// A write into a pipe whose reader has gone must fail with EPIPE, not end the process.
inline void IgnoreBrokenPipes() {
    static std::once_flag once;
    std::call_once(once, [] { (void)std::signal(SIGPIPE, SIG_IGN); });
}

// The call again as long as a signal interrupted it (a negative result with EINTR).
template <typename Call>
auto RetryOnInterrupt(Call call) {
    auto result = call();
    while (result < 0 && errno == EINTR) result = call();
    return result;
}

// Runs routine(argument) on a detached thread: nobody joins ours, they end by themselves
// or with the process. A stack size of 0 is the default. 0, or the error number.
inline int StartDetachedThread(void* (*routine)(void*), void* argument,
                               std::size_t stackSize = 0) {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (stackSize != 0) {
        pthread_attr_setstacksize(&attributes, std::max<std::size_t>(stackSize, PTHREAD_STACK_MIN));
    }
    pthread_t thread;
    const int result = pthread_create(&thread, &attributes, routine, argument);
    pthread_attr_destroy(&attributes);
    return result;
}

}  // namespace platform::posix
