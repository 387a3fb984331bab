// What every surface's worker threads need from the module frame: the cores the process may use, and
// waits on a pool of workers (records/parallel.hpp's OrderedPool, or anything with its `front` and `stop`)
// that release the interpreter and still answer Ctrl-C.
//
// Thread rule: called by the thread that owns the pool, attached to the interpreter.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "api/frame.hpp"

namespace tovak::api {

// The most worker threads a call starts, whatever it asks for.
inline constexpr std::size_t kMaxWorkers = 256;

// os.process_cpu_count() where it exists (3.13), else os.cpu_count(); 1 when neither tells; at most
// kMaxWorkers.
std::size_t available_cores();

// The positive number environment variable `name` holds, else 0. For tests: knobs that make ranges and
// batches a few bytes long.
std::uint64_t size_from_environment(const char* name);

// How long a caller waits for a batch of worker threads before it looks for a signal (Ctrl-C) again.
inline constexpr std::chrono::milliseconds kSignalPoll{50};

// Waits for the oldest job of `pool` with the interpreter released, looking for a signal between waits;
// null with the signal's exception set when a handler raised.
template <class Pool>
auto wait_front(Pool& pool) -> decltype(pool.front(kSignalPoll)) {
    for (;;) {
        decltype(pool.front(kSignalPoll)) job = nullptr;
        Py_BEGIN_ALLOW_THREADS
        job = pool.front(kSignalPoll);
        Py_END_ALLOW_THREADS
        if (job != nullptr) return job;
        if (PyErr_CheckSignals() < 0) return nullptr;
    }
}

// Stops the workers of `pool` with the interpreter released.
template <class Pool>
void stop_detached(Pool& pool) {
    Py_BEGIN_ALLOW_THREADS
    pool.stop();
    Py_END_ALLOW_THREADS
}

}  // namespace tovak::api
