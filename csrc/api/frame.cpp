#include "api/frame.hpp"

#include <cstring>
#include <mutex>

namespace tovak {

namespace {

// The interpreter's current exception as an owned object (normalised), clearing the error state.
PyRef fetch_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyRef::steal(PyErr_GetRaisedException());
#else
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return PyRef();
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return PyRef::steal(value);
#endif
}

void restore_exception(PyRef exception) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception.release());
#else
    PyObject* value = exception.release();
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    Py_INCREF(type);
    PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

// Attaching a note is best effort: if it fails, the exception goes out without it.
void add_note(PyObject* exception, const std::string& note) {
    PyRef text = PyRef::steal(PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size())));
    PyRef outcome;
    if (text) outcome = PyRef::steal(PyObject_CallMethod(exception, "add_note", "O", text.get()));
    if (!outcome) PyErr_Clear();
}

std::string type_qualname(PyObject* obj) {
    PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
    Py_ssize_t size = 0;
    const char* utf8 = name ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        return "<failed to extract type name>";
    }
    return std::string(utf8, static_cast<std::size_t>(size));
}

std::string note_for(const char* param) { return std::string("while processing '") + param + "'"; }

// The UTF-8 text of a keyword name; one without a UTF-8 form shows its unencodable characters as '?'.
std::string keyword_text(PyObject* keyword) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_Check(keyword) ? PyUnicode_AsUTF8AndSize(keyword, &size) : nullptr;
    if (utf8 != nullptr) return std::string(utf8, static_cast<std::size_t>(size));
    PyErr_Clear();
    PyRef bytes = PyRef::steal(PyUnicode_Check(keyword) ? PyUnicode_AsEncodedString(keyword, "utf-8", "replace")
                                                        : PyObject_Str(keyword));
    if (bytes && PyBytes_Check(bytes.get()))
        return std::string(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
    PyErr_Clear();
    return "?";
}

PyObject* make_panic_exception() {
    return PyErr_NewExceptionWithDoc(
        "pyo3_runtime.PanicException",
        "An internal fault of a native extension: an invariant broke inside a call.\n\n"
        "It derives from BaseException, so `except Exception` does not swallow it.",
        PyExc_BaseException, nullptr);
}

std::atomic<PyObject*> panic_exception_cell{nullptr};

}  // namespace

Failure Failure::from_python() {
    Failure failure;
    failure.raised_ = fetch_exception();
    if (!failure.raised_) {
        // Nothing was set although a call reported failure: an internal fault, not a user error.
        failure.type_ = PyExc_SystemError;
        failure.message_ = "error return without exception set";
    }
    return failure;
}

void Failure::raise() const {
    PyRef exception;
    if (raised_) {
        exception = PyRef::borrow(raised_.get());
    } else {
        PyRef message = PyRef::steal(
            PyUnicode_DecodeUTF8(message_.data(), static_cast<Py_ssize_t>(message_.size()), "replace"));
        if (message) exception = PyRef::steal(PyObject_CallOneArg(type_, message.get()));
        if (!exception) return;  // making the exception failed; that failure is now the current one
    }
    if (cause_) PyException_SetCause(exception.get(), Py_NewRef(cause_.get()));
    if (note_) add_note(exception.get(), *note_);
    if (attribute_name_ != nullptr) {
        PyRef value = PyRef::steal(PyUnicode_FromString(attribute_value_));
        if (!value || PyObject_SetAttrString(exception.get(), attribute_name_, value.get()) < 0) return;
    }
    restore_exception(std::move(exception));
}

Failure cast_error(PyObject* obj, const char* target) {
    if (obj == Py_None) return Failure(PyExc_TypeError, std::string("'None' is not an instance of '") + target + "'");
    std::string message = "'";
    message.append(type_qualname(obj)).append("' object is not an instance of '").append(target).append("'");
    return Failure(PyExc_TypeError, std::move(message));
}

void* interpreter_object(const char* key, PyObject* (*make)(), void (*adopt)(PyObject* capsule)) noexcept {
    PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
    PyRef name = PyRef::steal(PyUnicode_FromString(key));
    if (dict == nullptr || !name) {
        PyErr_Clear();
        return nullptr;
    }
    // Borrowed: the interpreter's dictionary keeps the capsule until the interpreter goes.
    PyObject* found = PyDict_GetItemWithError(dict, name.get());
    if (found == nullptr) {
        PyRef capsule = PyErr_Occurred() ? PyRef() : PyRef::steal(make());
        if (!capsule) {
            PyErr_Clear();
            return nullptr;
        }
        // Two threads may make one at once: the dictionary keeps the first.
        found = PyDict_SetDefault(dict, name.get(), capsule.get());
        if (found == nullptr) {
            PyErr_Clear();
            return nullptr;
        }
        if (found == capsule.get()) adopt(capsule.get());
    }
    void* object = PyCapsule_GetPointer(found, key);
    if (object == nullptr) PyErr_Clear();
    return object;
}

bool register_fork_hooks(PyObject* before, PyObject* after_in_child) {
    PyRef os = PyRef::steal(PyImport_ImportModule("os"));
    PyRef register_at_fork = os ? PyRef::steal(PyObject_GetAttrString(os.get(), "register_at_fork")) : PyRef();
    PyRef kwargs = PyRef::steal(PyDict_New());
    PyRef args = PyRef::steal(PyTuple_New(0));
    if (!register_at_fork || !kwargs || !args) return false;
    if (before != nullptr && PyDict_SetItemString(kwargs.get(), "before", before) < 0) return false;
    if (after_in_child != nullptr && PyDict_SetItemString(kwargs.get(), "after_in_child", after_in_child) < 0)
        return false;
    return static_cast<bool>(PyRef::steal(PyObject_Call(register_at_fork.get(), args.get(), kwargs.get())));
}

Result<PyRef> once_object(std::atomic<PyObject*>& cell, PyObject* (*make)()) {
    PyObject* obj = cell.load(std::memory_order_acquire);
    if (obj == nullptr) {
        static std::mutex creation;
        // Wait for the lock detached, so a thread that holds it can always get back into the interpreter.
        Py_BEGIN_ALLOW_THREADS
        creation.lock();
        Py_END_ALLOW_THREADS
        std::unique_lock<std::mutex> held(creation, std::adopt_lock);
        obj = cell.load(std::memory_order_acquire);
        if (obj == nullptr) {
            obj = make();
            if (obj == nullptr) return Failure::from_python();
            cell.store(obj, std::memory_order_release);  // the process keeps this reference
        }
    }
    return PyRef::borrow(obj);
}

PyObject* panic_exception_type() {
    Result<PyRef> type = once_object(panic_exception_cell, make_panic_exception);
    if (!type) {
        type.failure().raise();
        return PyExc_SystemError;
    }
    return type.value().get();  // the cell keeps it alive
}

Result<BoundArgs> bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    BoundArgs bound;
    if (nargs > sig.count) {
        return Failure(PyExc_TypeError, std::string(sig.name) + "() takes from 1 to " + std::to_string(sig.count) +
                                            " positional arguments but " + std::to_string(nargs) + " were given");
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) bound.slot[i] = args[i];

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(keyword, &size);
        if (utf8 == nullptr) PyErr_Clear();  // no UTF-8 form: matches no parameter
        int match = -1;
        for (int p = 0; utf8 != nullptr && p < sig.count; ++p) {
            if (std::strlen(sig.params[p]) == static_cast<std::size_t>(size) &&
                std::memcmp(sig.params[p], utf8, static_cast<std::size_t>(size)) == 0) {
                match = p;
                break;
            }
        }
        if (match < 0) {
            return Failure(PyExc_TypeError, std::string(sig.name) + "() got an unexpected keyword argument '" +
                                                keyword_text(keyword) + "'");
        }
        if (bound.slot[match] != nullptr) {
            return Failure(PyExc_TypeError, std::string(sig.name) + "() got multiple values for argument '" +
                                                sig.params[match] + "'");
        }
        bound.slot[match] = args[nargs + k];
    }
    if (bound.slot[0] == nullptr) {
        return Failure(PyExc_TypeError, std::string(sig.name) + "() missing 1 required positional argument: '" +
                                            sig.params[0] + "'");
    }
    return bound;
}

Result<std::string> text_argument(PyObject* obj, const char* param) {
    if (!PyUnicode_Check(obj)) return cast_error(obj, "str").with_note(note_for(param));
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    if (utf8 == nullptr) return Failure::from_python().with_note(note_for(param));
    return std::string(utf8, static_cast<std::size_t>(size));
}

Result<std::optional<std::string>> optional_text_argument(PyObject* obj, const char* param) {
    if (obj == nullptr || obj == Py_None) return std::optional<std::string>();
    Result<std::string> text = text_argument(obj, param);
    if (!text) return std::move(text).failure();
    return std::optional<std::string>(std::move(text).value());
}

Result<std::uint64_t> count_argument(PyObject* obj, const char* param) {
    PyRef integer = PyLong_Check(obj) ? PyRef::borrow(obj) : PyRef::steal(PyNumber_Index(obj));
    if (!integer) return Failure::from_python().with_note(note_for(param));
    unsigned long long value = PyLong_AsUnsignedLongLong(integer.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred())
        return Failure::from_python().with_note(note_for(param));
    return static_cast<std::uint64_t>(value);
}

Result<PyRef> py_str(std::string_view text) {
    return checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

Result<PyRef> py_uint(std::uint64_t value) { return checked(PyLong_FromUnsignedLongLong(value)); }

}  // namespace tovak
