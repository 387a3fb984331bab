#include "io/py_file.hpp"

#include <cstring>
#include <string>

namespace tovak::io {

namespace {

IoError pending_python_error() { return IoError{0, nullptr, {}, IoError::Kind::python}; }

IoError broken_protocol(std::string text) { return IoError{0, nullptr, std::move(text), IoError::Kind::file_object}; }
IoError wrong_type(std::string text) { return IoError{0, nullptr, std::move(text), IoError::Kind::wrong_type}; }

std::string type_name(PyObject* obj) { return Py_TYPE(obj)->tp_name; }

// Keeps the interpreter's pending exception aside while cleanup code calls into Python.
class PendingException {
public:
    PendingException() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        raised_ = PyErr_GetRaisedException();
#else
        PyErr_Fetch(&type_, &raised_, &traceback_);
#endif
    }
    ~PendingException() {
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(raised_);
#else
        PyErr_Restore(type_, raised_, traceback_);
#endif
    }
    PendingException(const PendingException&) = delete;
    PendingException& operator=(const PendingException&) = delete;

private:
    PyObject* raised_ = nullptr;
#if PY_VERSION_HEX < 0x030C0000
    PyObject* type_ = nullptr;
    PyObject* traceback_ = nullptr;
#endif
};

}  // namespace

PyFileSource::PyFileSource(PyObject* file) noexcept : file_(Py_NewRef(file)) {}

PyFileSource::~PyFileSource() {
    Py_XDECREF(method_);
    Py_DECREF(file_);
}

std::optional<IoError> PyFileSource::find_method() {
    method_ = PyObject_GetAttrString(file_, "readinto");
    if (method_ != nullptr) {
        has_readinto_ = true;
        return std::nullopt;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return pending_python_error();
    PyErr_Clear();
    method_ = PyObject_GetAttrString(file_, "read");
    if (method_ == nullptr) return pending_python_error();
    return std::nullopt;
}

ReadOutcome PyFileSource::read(char* dest, std::size_t n) {
    if (n == 0) return ReadOutcome{};
    if (method_ == nullptr) {
        if (auto error = find_method()) return ReadOutcome{0, std::move(error)};
    }
    n = std::min<std::size_t>(n, PY_SSIZE_T_MAX);
    ReadOutcome got = has_readinto_ ? read_into(dest, n) : read_copy(dest, n);
    bytes_read_ += got.bytes;
    return got;
}

ReadOutcome PyFileSource::read_into(char* dest, std::size_t n) {
    PyObject* view = PyMemoryView_FromMemory(dest, static_cast<Py_ssize_t>(n), PyBUF_WRITE);
    if (view == nullptr) return ReadOutcome{0, pending_python_error()};
    PyObject* result = PyObject_CallOneArg(method_, view);
    // Released at once, so that an object keeping the view cannot write into `dest` later.
    bool released;
    {
        std::optional<PendingException> aside;
        if (result == nullptr) aside.emplace();
        PyObject* done = PyObject_CallMethod(view, "release", nullptr);
        released = done != nullptr;
        Py_XDECREF(done);
        if (!released) PyErr_Clear();
    }
    Py_DECREF(view);
    if (result == nullptr) return ReadOutcome{0, pending_python_error()};
    if (!released) {
        Py_DECREF(result);
        return ReadOutcome{0, broken_protocol("the file object's readinto() kept the buffer it was given")};
    }
    if (result == Py_None) {
        Py_DECREF(result);
        return ReadOutcome{0, broken_protocol("the file object's readinto() returned None (a non-blocking file with "
                                              "no data ready)")};
    }
    if (!PyLong_Check(result)) {
        std::string text = "the file object's readinto() returned " + type_name(result) + ", not int";
        Py_DECREF(result);
        return ReadOutcome{0, broken_protocol(std::move(text))};
    }
    const Py_ssize_t count = PyLong_AsSsize_t(result);
    Py_DECREF(result);
    if (count == -1 && PyErr_Occurred()) PyErr_Clear();
    if (count < 0 || static_cast<std::size_t>(count) > n)
        return ReadOutcome{0, broken_protocol("the file object's readinto() reported " + std::to_string(count) +
                                              " bytes for a buffer of " + std::to_string(n))};
    return ReadOutcome{static_cast<std::size_t>(count), std::nullopt};
}

ReadOutcome PyFileSource::read_copy(char* dest, std::size_t n) {
    PyObject* result = PyObject_CallFunction(method_, "n", static_cast<Py_ssize_t>(n));
    if (result == nullptr) return ReadOutcome{0, pending_python_error()};
    ReadOutcome got;
    Py_buffer bytes;
    if (PyUnicode_Check(result)) {
        got.error = wrong_type("the file object's read() returned str, not bytes (open the file in binary mode, "
                                    "'rb')");
    } else if (result == Py_None) {
        got.error = wrong_type("the file object's read() returned None (a non-blocking file with no data ready)");
    } else if (PyObject_GetBuffer(result, &bytes, PyBUF_SIMPLE) != 0) {
        PyErr_Clear();
        got.error = wrong_type("the file object's read() returned " + type_name(result) + ", not bytes");
    } else {
        const auto size = static_cast<std::size_t>(bytes.len);
        if (size > n) {
            got.error = broken_protocol("the file object's read() returned " + std::to_string(size) +
                                        " bytes when asked for at most " + std::to_string(n));
        } else {
            std::memcpy(dest, bytes.buf, size);
            got.bytes = size;
        }
        PyBuffer_Release(&bytes);
    }
    Py_DECREF(result);
    return got;
}

IoResult<Input> open_input_file_object(PyObject* file, const InputOptions& options) {
    return open_input_source(std::make_unique<PyFileSource>(file), nullptr, false, options);
}

}  // namespace tovak::io
