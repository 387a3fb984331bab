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

// os.register_at_fork(after_in_child=...) for the interpreter's count.
bool reset_in_forked_children(PyObject* capsule) {
    PyRef os = PyRef::steal(PyImport_ImportModule("os"));
    if (!os) return false;
    PyRef hook = PyRef::steal(PyCFunction_New(&count_after_fork_def, capsule));
    PyRef register_at_fork = PyRef::steal(PyObject_GetAttrString(os.get(), "register_at_fork"));
    if (!hook || !register_at_fork) return false;
    PyRef kwargs = PyRef::steal(Py_BuildValue("{sO}", "after_in_child", hook.get()));
    PyRef args = PyRef::steal(PyTuple_New(0));
    if (!kwargs || !args) return false;
    return PyRef::steal(PyObject_Call(register_at_fork.get(), args.get(), kwargs.get())).get() != nullptr;
}

// The interpreter's count, made on first use; null (nothing raised) where it cannot be had.
CollectorCount* interpreter_count() noexcept {
    PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (dict == nullptr) return nullptr;
    PyObject* found = nullptr;
    if (PyDict_GetItemStringRef(dict, kCountKey, &found) < 0) {
        PyErr_Clear();
        return nullptr;
    }
    if (found == nullptr) {
        PyRef key = PyRef::steal(PyUnicode_FromString(kCountKey));
        CollectorCount* fresh = new (std::nothrow) CollectorCount();
        PyRef capsule = fresh ? PyRef::steal(PyCapsule_New(fresh, kCountKey, destroy_count)) : PyRef();
        if (fresh && !capsule) delete fresh;
        // Two threads may make one at once: the dictionary keeps the first.
        if (!key || !capsule || PyDict_SetDefaultRef(dict, key.get(), capsule.get(), &found) < 0) {
            PyErr_Clear();
            return nullptr;
        }
        if (found == capsule.get() && !reset_in_forked_children(capsule.get())) PyErr_Clear();
    }
    CollectorCount* count = count_of(found);
    Py_DECREF(found);  // the interpreter's dictionary keeps it alive
    if (count == nullptr) PyErr_Clear();
    return count;
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
