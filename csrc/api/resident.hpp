// Worker threads that outlive the call that started them: each keeps one thread state of its interpreter,
// and between calls it waits, detached, for the next body to run.
//
// Why: on the free-threaded build a thread's objects live in its own allocator heap. A worker started for
// one call and ended with it leaves its heap's pages to the next thread, which then walks every block the
// consumer freed into them from another thread, and faults in fresh pages besides: measured, that was the
// largest cost two threads add to a load. A thread that stays frees the objects it made, when the consumer
// drops them, into its own heap, and the next call reuses those pages warm.
//
// Objects a worker made are freed by that worker (biased reference counting queues them to it), which
// happens only when it runs code: an idle worker wakes every kResidentTick to do so, and ends once it has
// been idle for kResidentIdle. Every idle worker ends before a fork (the child starts with none) and at
// interpreter exit (an `atexit` hook), before the interpreter goes away.
//
// Thread rule: a ResidentCrew belongs to one pool (records/parallel.hpp's Crew), used by the thread that
// owns the pool, attached to the interpreter when it is made and detached in join().
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>

#include "api/frame.hpp"
#include "records/parallel.hpp"

namespace tovak::api {

inline constexpr std::chrono::milliseconds kResidentTick{100};
inline constexpr std::chrono::milliseconds kResidentIdle{5000};
inline constexpr char kResidentThreadName[] = "tovak-worker";

class ResidentHost;

// Attaches this thread's `state` again after PyEval_SaveThread. Before 3.14 a thread that attaches while
// the interpreter finalizes is ended with pthread_exit, whose forced unwinding aborts the process
// (std::terminate) where it meets a frame that may not throw: a resident worker (busy for a daemon
// thread's call) instead waits here for the process to end, as 3.14 has it wait. Not noexcept, for the
// same unwinding: finalization may begin between the look and the attach, or inside the interpreter.
void reattach(PyThreadState* state);

// Runs each body on a resident worker of the calling thread's interpreter, attached with that worker's
// thread state (a body may detach and attach again, but returns attached); on threads of its own, ended
// after their body, when the interpreter's workers cannot be kept (see ResidentHost).
class ResidentCrew final : public records::Crew {
public:
    ResidentCrew();  // on the calling thread, attached
    ~ResidentCrew() override;
    void start(std::function<void()> body) override;
    void join() override;  // detached

    // Runs code on the calling worker, attached: it frees what the consumer dropped of the objects this
    // thread made (and runs a collection scheduled on it).
    void settle();

    // A worker's body has returned.
    void finished();

private:
    std::unique_ptr<ResidentHost> own_host_;  // when the interpreter's cannot be had
    ResidentHost* host_;
    std::mutex mutex_;
    std::condition_variable done_;
    std::size_t running_ = 0;
};

}  // namespace tovak::api
