// A mutex that knows which thread holds it, so that a function whose name ends in
// "Locked" can assert, in debug builds, that its caller holds the lock it needs.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

namespace platform {

struct OwnedMutex {
    std::mutex mutex;
    std::atomic<std::thread::id> holder{};

    void lock() {
        mutex.lock();
        holder.store(std::this_thread::get_id(), std::memory_order_relaxed);
    }
    bool try_lock() {
        if (!mutex.try_lock()) return false;
        holder.store(std::this_thread::get_id(), std::memory_order_relaxed);
        return true;
    }
    void unlock() {
        holder.store(std::thread::id(), std::memory_order_relaxed);
        mutex.unlock();
    }
    // Only the holder itself ever stores its own id here, so the answer is exact.
    bool HeldHere() const {
        return holder.load(std::memory_order_relaxed) == std::this_thread::get_id();
    }
};

}  // namespace platform
