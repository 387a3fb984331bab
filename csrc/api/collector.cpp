#include "api/collector.hpp"

#ifdef Py_GIL_DISABLED

#include <unistd.h>

#include <new>

namespace tovak::api {

// The interpreter's pause count. A PyMutex: a thread that waits for it detaches, so it never holds up a
// collection another thread runs (which waits for every attached thread).
struct CollectorCount {
    PyMutex mutex{};
    int holders = 0;
    bool restore = false;  // the first pause found the collector on

    void lock() noexcept { PyMutex_Lock(&mutex); }
    void unlock() noexcept { PyMutex_Unlock(&mutex); }
};

namespace {

constexpr char kCountKey[] = "tovak.collector_pause";

CollectorCount* count_of(PyObject* capsule) noexcept {
    return static_cast<CollectorCount*>(PyCapsule_GetPointer(capsule, kCountKey));
}

void destroy_count(PyObject* capsule) noexcept { delete count_of(capsule); }

// In a forked child only the forking thread lives on: pauses other threads held never end there.
PyObject* count_after_fork(PyObject* capsule, PyObject*) noexcept {
    CollectorCount* count = count_of(capsule);
    count->mutex = PyMutex{};
    if (count->holders > 0 && count->restore) PyGC_Enable();
    count->holders = 0;
    count->restore = false;
    Py_RETURN_NONE;
}

PyMethodDef count_after_fork_def = {"collector_pause_after_fork", count_after_fork, METH_NOARGS, nullptr};

PyObject* make_count() noexcept {
    return owning_capsule(new (std::nothrow) CollectorCount(), kCountKey, destroy_count);
}

// os.register_at_fork(after_in_child=...) for the interpreter's count.
void reset_in_forked_children(PyObject* capsule) noexcept {
    PyRef hook = PyRef::steal(PyCFunction_New(&count_after_fork_def, capsule));
    if (!hook || !register_fork_hooks(nullptr, hook.get())) PyErr_Clear();
}

// The interpreter's count, made on first use; null (nothing raised) where it cannot be had.
CollectorCount* interpreter_count() noexcept {
    return static_cast<CollectorCount*>(interpreter_object(kCountKey, make_count, reset_in_forked_children));
}

}  // namespace

CollectorPause::CollectorPause() noexcept {
    CollectorCount* count = interpreter_count();
    if (count == nullptr) return;
    count->lock();
    if (count->holders++ == 0) count->restore = PyGC_Disable() != 0;
    count->unlock();
    count_ = count;
    pid_ = static_cast<long>(getpid());
}

CollectorPause::~CollectorPause() {
    // A child forked inside the pause (by a signal handler) had its count cleared at the fork.
    if (count_ == nullptr || static_cast<long>(getpid()) != pid_) return;
    count_->lock();
    if (--count_->holders == 0 && count_->restore) {
        count_->restore = false;
        PyGC_Enable();
    }
    count_->unlock();
}

}  // namespace tovak::api

#else

namespace tovak::api {

CollectorPause::CollectorPause() noexcept = default;
CollectorPause::~CollectorPause() = default;

}  // namespace tovak::api

#endif
