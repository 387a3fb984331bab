#include "json/deep_walk.hpp"

#include <cstdint>
#include <exception>

#if defined(__unix__) || defined(__APPLE__)
#include <pthread.h>
#include <unistd.h>
#define TOVAK_HAVE_PTHREAD 1
#endif

namespace tovak::json {

namespace {

#if TOVAK_HAVE_PTHREAD
// The lowest address of the calling thread's stack, or 0 when it cannot be known. Stacks grow down on
// every platform this builds for.
std::uintptr_t find_stack_floor() noexcept {
#if defined(__APPLE__)
    pthread_t self = pthread_self();
    const auto top = reinterpret_cast<std::uintptr_t>(pthread_get_stackaddr_np(self));
    return top - pthread_get_stacksize_np(self);
#elif defined(__linux__) || defined(__FreeBSD__)
    pthread_attr_t attributes;
#if defined(__FreeBSD__)
    if (pthread_attr_init(&attributes) != 0) return 0;
    if (pthread_attr_get_np(pthread_self(), &attributes) != 0) {
        pthread_attr_destroy(&attributes);
        return 0;
    }
#else
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) return 0;
#endif
    void* low = nullptr;
    std::size_t size = 0;
    const int got = pthread_attr_getstack(&attributes, &low, &size);
    pthread_attr_destroy(&attributes);
    if (got != 0) return 0;
    // Below the usable stack sits a guard page (or more): keep clear of it.
    return reinterpret_cast<std::uintptr_t>(low) + 4 * static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
#else
    return 0;
#endif
}

struct StackRun {
    void (*work)(void*);
    void* context;
    std::exception_ptr thrown;  // nothing may leave a thread's start routine
};

void* run_stack_thread(void* argument) {
    auto* run = static_cast<StackRun*>(argument);
    try {
        run->work(run->context);
    } catch (...) {
        run->thrown = std::current_exception();
    }
    return nullptr;
}
#endif

}  // namespace

bool stack_holds(std::size_t bytes) noexcept {
#if TOVAK_HAVE_PTHREAD
    // The main thread's bounds come from /proc on Linux: looked up once per thread.
    thread_local const std::uintptr_t floor = find_stack_floor();
    if (floor == 0) return false;
    const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    return here > floor && here - floor >= bytes;
#else
    (void)bytes;
    return false;
#endif
}

bool run_on_stack(std::size_t bytes, void (*work)(void*), void* context) {
#if TOVAK_HAVE_PTHREAD
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) return false;
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t size = (bytes + page - 1) / page * page;
    StackRun run{work, context, nullptr};
    pthread_t thread;
    const bool started = pthread_attr_setstacksize(&attributes, size) == 0 &&
                         pthread_create(&thread, &attributes, run_stack_thread, &run) == 0;
    pthread_attr_destroy(&attributes);
    if (!started) return false;
    pthread_join(thread, nullptr);
    if (run.thrown) std::rethrow_exception(run.thrown);
    return true;
#else
    (void)bytes, (void)work, (void)context;
    return false;
#endif
}

}  // namespace tovak::json
