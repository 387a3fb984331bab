#include "api/resident.hpp"

#include <algorithm>
#include <chrono>
#include <memory>
#include <new>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#ifdef __linux__
#include <pthread.h>
#endif

namespace tovak::api {

namespace {

thread_local bool resident_thread = false;  // set on the host's threads

}  // namespace

void reattach(PyThreadState* state) {
#if PY_VERSION_HEX < 0x030E0000
#if PY_VERSION_HEX >= 0x030D0000
    const bool finalizing = Py_IsFinalizing();
#else
    const bool finalizing = _Py_IsFinalizing();
#endif
    if (resident_thread && finalizing)
        for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
#endif
    PyEval_RestoreThread(state);
}

namespace {

// A trivial code object: running it on a thread makes that thread free the objects queued to it.
class SettleCode {
public:
    SettleCode() {
        code_ = PyRef::steal(Py_CompileString("None", "<tovak worker>", Py_eval_input));
        globals_ = PyRef::steal(PyDict_New());
        if (!code_ || !globals_ || PyDict_SetItemString(globals_.get(), "__builtins__", PyEval_GetBuiltins()) < 0) {
            PyErr_Clear();
            code_ = PyRef();
        }
    }
    void run() const {
        if (!code_) return;
        PyObject* done = PyEval_EvalCode(code_.get(), globals_.get(), globals_.get());
        if (done == nullptr) PyErr_Clear();
        Py_XDECREF(done);
    }

private:
    PyRef code_, globals_;
};

}  // namespace

// The workers of one interpreter (or, when those cannot be kept, of one crew: they end after their body).
//
// Thread rule: everything below mutex_ is under it; a worker's body and crew are handed over under it.
// A worker that ends goes to `exited_`, where the next thread to call run(), close() or release_idle()
// joins it (it no longer touches the interpreter by then).
class ResidentHost {
public:
    ResidentHost(PyInterpreterState* interpreter, bool keep) : interpreter_(interpreter), keep_(keep) {}
    ResidentHost(const ResidentHost&) = delete;
    ResidentHost& operator=(const ResidentHost&) = delete;
    // Once every worker has ended (destroy_host, a crew's own host).
    ~ResidentHost() {
        wait_ended(0);
        reap();
    }

    // Runs `body` on an idle worker, or on a new one. Attached; detaches while a new one makes its
    // thread state.
    void run(std::function<void()> body, ResidentCrew& crew) {
        reap();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!idle_.empty()) {
                Worker* worker = idle_.back();  // the last to go idle: its heap is the warmest
                idle_.pop_back();
                worker->body = std::move(body);
                worker->crew = &crew;
                ++busy_;
                worker->wake.notify_one();
                return;
            }
            auto worker = std::make_unique<Worker>();
            worker->body = std::move(body);
            worker->crew = &crew;
            const bool stays = keep_ && !closed_;
            // Started under the lock, which the thread takes first: whoever joins it finds its handle set.
            worker->thread = std::thread([this, worker = worker.get(), stays] { serve(worker, stays); });
            worker.release();  // the thread's now
            ++live_;
            ++busy_;
            ++states_pending_;
        }
        // The first thread state made besides the main thread's stops every thread of the interpreter
        // (the free-threaded 3.13 then makes some objects immortal). A caller that went on building
        // objects in C would let that stop through only when it detached at the very moment the new
        // thread looked (once a millisecond): measured, a first two-thread load then ran on one thread
        // for up to its whole length. So the caller waits, detached, until the state exists.
        Py_BEGIN_ALLOW_THREADS
        std::unique_lock<std::mutex> lock(mutex_);
        state_made_.wait(lock, [&] { return states_pending_ == 0; });
        Py_END_ALLOW_THREADS
    }

    // At interpreter exit, attached: ends every idle worker and waits for them. A worker busy for a call
    // another thread still makes (a daemon thread's) ends after its body.
    void close() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            closed_ = true;
        }
        release_idle();
    }

    // Before a fork, attached: ends every idle worker and joins it, so that the process forks with no
    // thread of ours (the child would not have it anyway). Later calls start new ones.
    void release_idle() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (Worker* worker : idle_) {
                worker->leave = true;
                worker->wake.notify_one();
            }
            idle_.clear();
        }
        Py_BEGIN_ALLOW_THREADS
        wait_ended(std::nullopt);
        reap();
        Py_END_ALLOW_THREADS
    }

    // From now on workers end after their body.
    void stop_keeping() {
        std::lock_guard<std::mutex> lock(mutex_);
        keep_ = false;
    }

    // Whether nothing runs on the host's threads any more (so it can be destroyed).
    bool ended() {
        std::lock_guard<std::mutex> lock(mutex_);
        return live_ == 0;
    }

    void settle() const { settle_.run(); }

private:
    struct Worker {
        std::thread thread;
        std::condition_variable wake;
        std::function<void()> body;
        ResidentCrew* crew = nullptr;
        bool leave = false;  // released: end without waiting for a body
    };

    void serve(Worker* self, bool stays) {
        resident_thread = true;
#ifdef __linux__
        pthread_setname_np(pthread_self(), kResidentThreadName);  // as `top -H` and /proc show it
#endif
        PyThreadState* const state = PyThreadState_New(interpreter_);
        ResidentCrew* last_crew = nullptr;  // told once this thread's state is gone
        auto idle_since = std::chrono::steady_clock::now();
        std::unique_lock<std::mutex> lock(mutex_);
        --states_pending_;
        state_made_.notify_all();
        for (;;) {
            if (self->body) {
                std::function<void()> body = std::exchange(self->body, nullptr);
                ResidentCrew* crew = std::exchange(self->crew, nullptr);
                lock.unlock();
                reattach(state);
                settle_.run();  // what the last call's consumer dropped goes before this call builds more
                body();
                PyEval_SaveThread();
                lock.lock();
                --busy_;
                if (!stays || closed_) {
                    last_crew = crew;
                    break;
                }
                // Idle before the crew hears of it: a call right after this one finds the worker.
                idle_.push_back(self);
                idle_since = std::chrono::steady_clock::now();
                lock.unlock();
                crew->finished();
                lock.lock();
                continue;
            }
            if (closed_ || self->leave) break;
            if (self->wake.wait_for(lock, kResidentTick, [&] { return self->body || closed_ || self->leave; }))
                continue;
            if (std::chrono::steady_clock::now() - idle_since >= kResidentIdle) {
                idle_.erase(std::find(idle_.begin(), idle_.end(), self));
                break;
            }
            lock.unlock();
            reattach(state);
            settle_.run();
            PyEval_SaveThread();
            lock.lock();
        }
        lock.unlock();
        reattach(state);  // deleting the state frees what is still queued to this thread
        PyThreadState_Clear(state);
        PyThreadState_DeleteCurrent();
        if (last_crew != nullptr) last_crew->finished();
        lock.lock();
        --live_;
        exited_.push_back(self);
        ended_.notify_all();
    }

    // Waits until `live` workers are left (none given: until every one left is busy).
    void wait_ended(std::optional<std::size_t> live) {
        std::unique_lock<std::mutex> lock(mutex_);
        ended_.wait(lock, [&] { return live ? live_ == *live : live_ == busy_; });
    }

    // Joins the workers that ended.
    void reap() {
        std::vector<Worker*> exited;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            exited.swap(exited_);
        }
        for (Worker* worker : exited) {
            worker->thread.join();
            delete worker;
        }
    }

    PyInterpreterState* const interpreter_;
    SettleCode settle_;

    std::mutex mutex_;
    bool keep_;
    std::condition_variable ended_;  // a worker ended
    std::condition_variable state_made_;  // a new worker made its thread state
    std::size_t states_pending_ = 0;      // new workers that have not yet made it
    std::vector<Worker*> idle_;      // waiting for a body, the last to go idle at the back
    std::vector<Worker*> exited_;    // ended, not yet joined
    std::size_t live_ = 0, busy_ = 0;
    bool closed_ = false;
};

namespace {

constexpr char kHostKey[] = "tovak.resident_workers";

ResidentHost* host_of(PyObject* capsule) noexcept {
    return static_cast<ResidentHost*>(PyCapsule_GetPointer(capsule, kHostKey));
}

// At interpreter teardown. A worker still busy for a daemon thread's call keeps its host.
void destroy_host(PyObject* capsule) noexcept {
    ResidentHost* host = host_of(capsule);
    if (host == nullptr) {
        PyErr_Clear();
        return;
    }
    if (host->ended()) delete host;
}

PyObject* close_host(PyObject* capsule, PyObject*) noexcept {
    if (ResidentHost* host = host_of(capsule)) host->close();
    else PyErr_Clear();
    Py_RETURN_NONE;
}

// A forked child has none of the parent's threads: it starts with a fresh host. The parent's is left
// as it was (its lock may have been held by a thread that is not there).
PyObject* renew_host(PyObject* capsule, PyObject*) noexcept {
    ResidentHost* fresh = new (std::nothrow) ResidentHost(PyInterpreterState_Get(), true);
    if (fresh == nullptr || PyCapsule_SetPointer(capsule, fresh) < 0) {
        delete fresh;
        PyErr_Clear();
    }
    Py_RETURN_NONE;
}

PyObject* release_host(PyObject* capsule, PyObject*) noexcept {
    if (ResidentHost* host = host_of(capsule)) host->release_idle();
    else PyErr_Clear();
    Py_RETURN_NONE;
}

PyMethodDef close_host_def = {"resident_workers_at_exit", close_host, METH_NOARGS, nullptr};
PyMethodDef release_host_def = {"resident_workers_before_fork", release_host, METH_NOARGS, nullptr};
PyMethodDef renew_host_def = {"resident_workers_after_fork", renew_host, METH_NOARGS, nullptr};

PyObject* make_host() noexcept {
    return owning_capsule(new (std::nothrow) ResidentHost(PyInterpreterState_Get(), true), kHostKey, destroy_host);
}

// atexit.register(close) and os.register_at_fork(before=release_idle, after_in_child=renew) for the
// interpreter's host. Without them workers that outlived the call would outlive the interpreter too: its
// workers then end after their body.
void register_hooks(PyObject* capsule) noexcept {
    PyRef atexit = PyRef::steal(PyImport_ImportModule("atexit"));
    PyRef close = PyRef::steal(PyCFunction_New(&close_host_def, capsule));
    PyRef release = PyRef::steal(PyCFunction_New(&release_host_def, capsule));
    PyRef renew = PyRef::steal(PyCFunction_New(&renew_host_def, capsule));
    const bool registered = atexit && close && release && renew &&
                            PyRef::steal(PyObject_CallMethod(atexit.get(), "register", "O", close.get())) &&
                            register_fork_hooks(release.get(), renew.get());
    if (!registered) {
        PyErr_Clear();
        host_of(capsule)->stop_keeping();
    }
}

// The calling thread's interpreter's host, made on first use; null (nothing raised) where none can be had.
ResidentHost* interpreter_host() noexcept {
    return static_cast<ResidentHost*>(interpreter_object(kHostKey, make_host, register_hooks));
}

}  // namespace

ResidentCrew::ResidentCrew() : host_(interpreter_host()) {
    if (host_ == nullptr) {
        own_host_ = std::make_unique<ResidentHost>(PyInterpreterState_Get(), false);
        host_ = own_host_.get();
    }
}

ResidentCrew::~ResidentCrew() { join(); }

void ResidentCrew::start(std::function<void()> body) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++running_;
    }
    try {
        host_->run(std::move(body), *this);
    } catch (...) {
        finished();
        throw;
    }
}

void ResidentCrew::join() {
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [&] { return running_ == 0; });
}

void ResidentCrew::finished() {
    std::lock_guard<std::mutex> lock(mutex_);
    --running_;
    done_.notify_all();
}

void ResidentCrew::settle() { host_->settle(); }

}  // namespace tovak::api
