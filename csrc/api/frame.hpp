// The frame every call passes through: owned references, failures as values, argument binding and
// conversion, and the one place where a failure becomes a raised Python exception.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace tovak {

// An owned (strong) reference. Null means "no object".
class PyRef {
public:
    PyRef() noexcept = default;
    static PyRef steal(PyObject* obj) noexcept { return PyRef(obj); }
    static PyRef borrow(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        return PyRef(obj);
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(obj_);
            obj_ = other.obj_;
            other.obj_ = nullptr;
        }
        return *this;
    }
    ~PyRef() { Py_XDECREF(obj_); }

    PyObject* get() const noexcept { return obj_; }
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    explicit PyRef(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

// A failure travelling back to the function entry: either an exception type with its message (the
// exception object is made only when the failure is raised), or an exception the interpreter already
// raised, taken out of the interpreter's error state so it can travel like any other value.
class Failure {
public:
    Failure(PyObject* type, std::string message) : type_(type), message_(std::move(message)) {}

    // Takes the interpreter's current exception (one must be set).
    static Failure from_python();

    // An exception object made by the caller (a new reference), raised as it is.
    static Failure from_exception(PyRef exception) {
        Failure failure;
        failure.raised_ = std::move(exception);
        return failure;
    }

    // Attached with add_note when the failure is raised.
    Failure&& with_note(std::string note) && {
        note_ = std::move(note);
        return std::move(*this);
    }

    // Raised with the attribute `name` set to the str `value` on the exception object (both static texts).
    // The type and the message stay as they are; a caller can ask the attribute what went wrong.
    Failure&& with_attribute(const char* name, const char* value) && {
        attribute_name_ = name;
        attribute_value_ = value;
        return std::move(*this);
    }

    // Raised with `inner` (an exception that came from the interpreter) as its __cause__.
    Failure&& caused_by(Failure&& inner) && {
        cause_ = std::move(inner.raised_);
        return std::move(*this);
    }

    PyObject* type() const noexcept { return type_; }
    // The exception object made by from_exception or taken by from_python; null for a type and a message.
    PyObject* exception() const noexcept { return raised_.get(); }
    const std::string& message() const noexcept { return message_; }

    // Sets this failure as the interpreter's current exception.
    void raise() const;

private:
    Failure() = default;
    PyObject* type_ = nullptr;  // borrowed: a built-in or process-lifetime exception type
    std::string message_;
    PyRef raised_;  // an exception object that came from the interpreter
    PyRef cause_;
    std::optional<std::string> note_;
    const char* attribute_name_ = nullptr;
    const char* attribute_value_ = nullptr;
};

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(Failure failure) : state_(std::in_place_index<1>, std::move(failure)) {}

    bool ok() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }
    T& value() & { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    T* operator->() { return &std::get<0>(state_); }
    T& operator*() & { return std::get<0>(state_); }
    Failure& failure() & { return std::get<1>(state_); }
    Failure&& failure() && { return std::get<1>(std::move(state_)); }

private:
    std::variant<T, Failure> state_;
};

struct Unit {};
using Status = Result<Unit>;
inline Status success() { return Unit{}; }

// A Python object that became `Result<PyRef>`: null means the interpreter raised.
inline Result<PyRef> checked(PyObject* obj) {
    if (obj == nullptr) return Failure::from_python();
    return PyRef::steal(obj);
}

// "'<type>' object is not an instance of '<target>'" (or the None form) as a TypeError.
Failure cast_error(PyObject* obj, const char* target);

// Raised for internal faults: a direct subclass of BaseException named "pyo3_runtime.PanicException",
// created once per process.
PyObject* panic_exception_type();

// ---------------------------------------------------------------------------------------------------
// Argument binding

// A function's parameters: all positional-or-keyword, the first one required.
struct Signature {
    const char* name;
    const char* const* params;
    int count;
};

constexpr int kMaxParams = 8;

// One borrowed object per parameter; null where the caller passed nothing.
struct BoundArgs {
    PyObject* slot[kMaxParams] = {};
};

Result<BoundArgs> bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames);

// Conversions. Each failure carries the note "while processing '<param>'".
Result<std::string> text_argument(PyObject* obj, const char* param);
// Absent or None gives no text.
Result<std::optional<std::string>> optional_text_argument(PyObject* obj, const char* param);
Result<std::uint64_t> count_argument(PyObject* obj, const char* param);

// Runs `action` so that no C++ exception crosses into the interpreter: an allocation failure becomes
// MemoryError and any other fault PanicException. Returns false when it caught one.
template <class Action>
bool without_faults(Action&& action) noexcept {
    try {
        action();
        return true;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& fault) {
        PyErr_SetString(panic_exception_type(), fault.what());
    } catch (...) {
        PyErr_SetString(panic_exception_type(), "unknown internal fault");
    }
    return false;
}

// A function entry: the body's failure is raised here and only here. Returns a new reference or null.
template <class Body>
PyObject* run_entry(Body&& body) noexcept {
    PyObject* out = nullptr;
    without_faults([&] {
        Result<PyRef> result = body();
        if (result) out = std::move(result).value().release();
        else result.failure().raise();
    });
    return out;
}

// The same for a body that gives only success or failure: 0 or -1 for the interpreter.
template <class Body>
int run_status_entry(Body&& body) noexcept {
    int out = -1;
    without_faults([&] {
        Status status = body();
        if (status) out = 0;
        else status.failure().raise();
    });
    return out;
}

// A function entry with the fast-call-with-keywords convention.
using FastcallEntry = PyObject* (*)(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) noexcept;

// The method record of such an entry; `doc` starts with the text-signature line and "--".
inline PyMethodDef fastcall_method(const char* name, FastcallEntry entry, const char* doc) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry)),
            METH_FASTCALL | METH_KEYWORDS, doc};
}

// Python objects from C++ values.
Result<PyRef> py_str(std::string_view text);
Result<PyRef> py_uint(std::uint64_t value);

// A new capsule named `name` holding `object` (from `new (std::nothrow)`, so possibly null), which
// `destroy` releases with the capsule; null with an exception set, and the object deleted, on failure.
template <class T>
PyObject* owning_capsule(T* object, const char* name, PyCapsule_Destructor destroy) noexcept {
    if (object == nullptr) return PyErr_NoMemory();
    PyObject* capsule = PyCapsule_New(object, name, destroy);
    if (capsule == nullptr) delete object;
    return capsule;
}

// The object the calling thread's interpreter keeps in a capsule named `key` in the interpreter's
// dictionary (so each interpreter has its own, which goes with it), made on first use: `make` gives a new
// capsule of that name (or null with an exception set), and `adopt` receives the one kept, once (to
// register hooks; it clears any exception it meets). Null (nothing raised) where none can be had.
void* interpreter_object(const char* key, PyObject* (*make)(), void (*adopt)(PyObject* capsule)) noexcept;

// os.register_at_fork(before=..., after_in_child=...) with the hooks given (either may be null); false
// with an exception set when it failed.
bool register_fork_hooks(PyObject* before, PyObject* after_in_child);

// Process-wide objects made once, safely from any number of threads: a thread that finds another
// making the object waits detached from the interpreter, so neither the GIL nor a stop-the-world
// pause can deadlock against it. `make` returns a new reference or null with an exception set.
Result<PyRef> once_object(std::atomic<PyObject*>& cell, PyObject* (*make)());

}  // namespace tovak
