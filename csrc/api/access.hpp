// The access flag of an iterator object shared between threads: many readers of its counters at once, or
// one caller inside next(), never both. Nothing ever waits on it: a conflicting use fails at once, and the
// caller raises "Already borrowed" / "Already mutably borrowed".
//
// The flag: 0 free, -1 held by one exclusive user, n > 0 held by n shared users.
// Thread rule: any thread, attached to the interpreter or not.
#pragma once

#include <atomic>
#include <cstdint>

namespace tovak::api {

class SharedAccess {
public:
    explicit SharedAccess(std::atomic<std::int64_t>& flag) noexcept : flag_(flag) {
        std::int64_t seen = flag.load(std::memory_order_relaxed);
        while (seen != -1) {
            if (flag.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire)) {
                held_ = true;
                return;
            }
        }
    }
    ~SharedAccess() {
        if (held_) flag_.fetch_sub(1, std::memory_order_release);
    }
    SharedAccess(const SharedAccess&) = delete;
    SharedAccess& operator=(const SharedAccess&) = delete;
    bool held() const noexcept { return held_; }

private:
    std::atomic<std::int64_t>& flag_;
    bool held_ = false;
};

class ExclusiveAccess {
public:
    explicit ExclusiveAccess(std::atomic<std::int64_t>& flag) noexcept : flag_(flag) {
        std::int64_t expected = 0;
        held_ = flag.compare_exchange_strong(expected, -1, std::memory_order_acquire);
    }
    ~ExclusiveAccess() {
        if (held_) flag_.store(0, std::memory_order_release);
    }
    ExclusiveAccess(const ExclusiveAccess&) = delete;
    ExclusiveAccess& operator=(const ExclusiveAccess&) = delete;
    bool held() const noexcept { return held_; }

private:
    std::atomic<std::int64_t>& flag_;
    bool held_ = false;
};

}  // namespace tovak::api
