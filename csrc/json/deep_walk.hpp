// Deep walks: running a recursive walk over a value, or over a structure summary, on a stack that holds it.
//
// The walks of structure inference (json/structure.hpp) and of printing recurse once or twice per level of
// nesting, and records may nest thousands of levels deep. The calling thread's stack may be small (a
// Python thread made after threading.stack_size(256 * 1024) has 256 KiB): a walk that would not fit there
// runs on a thread of its own with a stack sized for it, while the caller waits. Walks of values a few
// dozen levels deep, the usual case, run in place without asking anything of the system.
//
// Thread rule: any thread; the work must not touch the interpreter (it may run on another thread). The
// stack bounds of each thread are looked up once and kept in a thread-local.
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>

namespace tovak::json {

// Stack bytes a walk may use per level of nesting, with room to spare: optimised builds use a few hundred;
// unoptimised and sanitized builds several times as much.
#if defined(__SANITIZE_ADDRESS__) || !defined(__OPTIMIZE__)
inline constexpr std::size_t kStackPerLevel = 8192;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr std::size_t kStackPerLevel = 8192;
#else
inline constexpr std::size_t kStackPerLevel = 1024;
#endif
#else
inline constexpr std::size_t kStackPerLevel = 1024;
#endif
// Levels every thread's stack is trusted to hold without a look at its bounds.
inline constexpr std::size_t kLevelsInPlace = 32;

// Whether the calling thread's stack has `bytes` free below the caller's frame (false when its bounds
// cannot be known).
bool stack_holds(std::size_t bytes) noexcept;

// Runs `work(context)` on a new thread with a stack of at least `bytes` and waits for it. False when no
// such thread could be started (the work has then not run). An exception `work` throws is thrown again here.
bool run_on_stack(std::size_t bytes, void (*work)(void*), void* context);

// Runs `work()` where a walk `levels` deep fits: in place when the stack holds it, else on a thread of its
// own. Should no thread be had (the process is out of threads or memory), it runs in place all the same.
template <class Work>
void walk_on_stack(std::size_t levels, Work&& work) {
    if (levels <= kLevelsInPlace) {
        work();
        return;
    }
    const std::size_t bytes = (levels + kLevelsInPlace) * kStackPerLevel;
    if (stack_holds(bytes)) {
        work();
        return;
    }
    auto call = [](void* context) { (*static_cast<std::remove_reference_t<Work>*>(context))(); };
    if (!run_on_stack(bytes, call, &work)) work();
}

}  // namespace tovak::json
