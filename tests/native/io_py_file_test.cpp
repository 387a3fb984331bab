// The Python file object source in an embedded interpreter: binary files with readinto() and objects with
// only read() give their bytes, compressed or not, on the calling thread; what their methods raise stays
// pending unchanged (a closed file's ValueError, an exception of the object's own); a read() giving str
// or another non-bytes object is an error of Kind::wrong_type, more bytes than asked and a readinto()
// claiming too much are errors of Kind::file_object; a
// memoryview kept by readinto() is released; the object is never closed. Built with
// -DTOVAK_NATIVE_TESTS=ON and run by .ci/native-tests; exits nonzero on any mismatch.
#include "io/py_file.hpp"
#include "io_check.hpp"

namespace {

using namespace native_check;
using namespace io_check;
using namespace tovak::io;

// File-like classes that behave, and that misbehave in one way each.
constexpr const char* kClasses = R"(
import io, random

class OnlyRead:
    """Bytes through read(n) alone, in pieces shorter than asked."""
    def __init__(self, data, seed):
        self.data, self.pos, self.random = data, 0, random.Random(seed)
    def read(self, n):
        n = min(n, self.random.randint(1, 5000))
        piece = self.data[self.pos:self.pos + n]
        self.pos += len(piece)
        return bytearray(piece) if self.random.random() < 0.3 else piece

class RaisesLater:
    """The first half of `data`, then an exception."""
    def __init__(self, data):
        self.data = data[:len(data) // 2]
    def read(self, n):
        if not self.data:
            raise LookupError("in the middle")
        piece, self.data = self.data[:n], self.data[n:]
        return piece

class Raises:
    def read(self, n):
        raise LookupError("from the file object")

class Text:
    def read(self, n):
        return "[1, 2]"

class TooMuch:
    def read(self, n):
        return b"[" * (n + 1)

class NotBytes:
    def read(self, n):
        return 42

class ClaimsTooMuch:
    def readinto(self, b):
        return len(b) + 1

class KeepsView:
    done = False
    def readinto(self, b):
        if self.done:
            return 0
        self.kept, self.done = b, True
        n = min(3, len(b))
        b[:n] = b"[1]"[:n]
        return n

def released(view):
    try:
        view.nbytes
    except ValueError:
        return True
    return False
)";

PyObject* globals = nullptr;

// A new instance of one of the classes above (or any expression), or null with the error printed.
PyObject* make(const std::string& expression) {
    PyObject* made = PyRun_String(expression.c_str(), Py_eval_input, globals, globals);
    if (made == nullptr) PyErr_Print();
    return made;
}

PyObject* as_bytes(const std::string& data) { return PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size())); }

Drained read_object(PyObject* file, Random& random, Input* input_out = nullptr) {
    auto opened = open_input_file_object(file, InputOptions{.read_ahead = ReadAhead::always});
    if (!opened.ok()) return Drained{{}, opened.error()};
    Drained got = drain(*opened.value().source, random, 100000);
    if (input_out != nullptr) *input_out = std::move(opened.value());
    return got;
}

void check_good_objects(Report& report, Random& random) {
    const std::string text = sample_text(random, 400000);
    const std::string packed = run_tool("zstd -q -c", text);
    for (const bool compressed : {false, true}) {
        const std::string& stored = compressed ? packed : text;
        PyObject* data = as_bytes(stored);
        PyDict_SetItemString(globals, "data", data);
        Py_DECREF(data);
        for (const char* expression : {"io.BytesIO(data)", "io.BufferedReader(io.BytesIO(data))", "OnlyRead(data, 5)"}) {
            PyObject* file = make(expression);
            Input input;
            Drained got = read_object(file, random, &input);
            const bool kind_ok = !input.reads_ahead &&
                                 input.compression == (compressed ? Compression::zstd : Compression::none) &&
                                 input.source->stored_bytes_read() == stored.size();
            input = Input{};
            PyObject* closed = PyObject_GetAttrString(file, "closed");
            const bool left_open = closed == nullptr ? (PyErr_Clear(), true) : closed == Py_False;
            Py_XDECREF(closed);
            report.check(!got.error && got.bytes == text && kind_ok && left_open && Py_REFCNT(file) == 1,
                         [&] { return std::string(expression) + ": " + std::to_string(got.bytes.size()) + " bytes"; }, "");
            Py_DECREF(file);
        }
    }
}

void check_bad_objects(Report& report, Random& random) {
    struct Case {
        const char* expression;
        IoError::Kind kind;
        const char* text;          // in the error's text (Kind::file_object, Kind::wrong_type)
        PyObject* pending = nullptr;  // the exception type left pending (Kind::python)
    };
    const Case cases[] = {
        {"Raises()", IoError::Kind::python, "", PyExc_LookupError},
        {"(lambda f: (f.close(), f)[1])(io.BytesIO(b'[1]'))", IoError::Kind::python, "", PyExc_ValueError},
        {"Text()", IoError::Kind::wrong_type, "returned str, not bytes"},
        {"io.StringIO('[1]')", IoError::Kind::wrong_type, "returned str, not bytes"},
        {"TooMuch()", IoError::Kind::file_object, "when asked for at most"},
        {"NotBytes()", IoError::Kind::wrong_type, "returned int, not bytes"},
        {"ClaimsTooMuch()", IoError::Kind::file_object, "readinto() reported"},
        {"object()", IoError::Kind::python, "", PyExc_AttributeError},
    };
    for (const Case& c : cases) {
        PyObject* file = make(c.expression);
        Drained got = read_object(file, random);
        bool ok = got.error && got.error->kind == c.kind && got.bytes.empty();
        if (ok && c.kind == IoError::Kind::python) ok = PyErr_ExceptionMatches(c.pending);
        else ok = ok && PyErr_Occurred() == nullptr && contains(got.error->text(), c.text);
        PyErr_Clear();
        report.check(ok, [&] { return std::string(c.expression) + ": " + (got.error ? got.error->text() : "no error"); }, "");
        Py_DECREF(file);
    }
    // An exception in the middle of a compressed stream: every byte before it, none with the exception
    // already pending, then the exception itself.
    const std::string text = sample_text(random, 200000);
    PyObject* data = as_bytes(run_tool("gzip -c", text));
    PyDict_SetItemString(globals, "data", data);
    Py_DECREF(data);
    PyObject* file = make("RaisesLater(data)");
    auto opened = open_input_file_object(file);
    std::string bytes, buffer(70000, '\0');
    bool clean = true;
    ReadOutcome got_one;
    while ((got_one = opened.value().source->read(buffer.data(), random.between(1, buffer.size()))).ok() && got_one.bytes != 0) {
        clean &= PyErr_Occurred() == nullptr;
        bytes.append(buffer.data(), got_one.bytes);
    }
    report.check(clean && !got_one.ok() && got_one.error->kind == IoError::Kind::python && PyErr_ExceptionMatches(PyExc_LookupError) &&
                     bytes.size() > text.size() / 4 && text.compare(0, bytes.size(), bytes) == 0,
                 [&] { return "exception in the middle: " + std::to_string(bytes.size()) + " bytes"; }, "");
    PyErr_Clear();
    opened = IoError{};
    Py_DECREF(file);

    // A view kept by readinto() is released: the object cannot write into the reader's buffer later.
    PyObject* keeper = make("KeepsView()");
    Drained got = read_object(keeper, random);
    if (got.error) PyErr_Print();
    PyDict_SetItemString(globals, "keeper", keeper);
    PyObject* released = PyRun_String("released(keeper.kept)", Py_eval_input, globals, globals);
    if (released == nullptr) PyErr_Print();
    report.check(!got.error && released == Py_True, [&] { return std::string("kept view not released"); }, "");
    Py_XDECREF(released);
    PyErr_Clear();
    Py_DECREF(keeper);
}

}  // namespace

int main(int argc, char** argv) {
    Report report("io_py_file_test");
    Random random(seed_from(argc, argv, 0xF11E));
    Py_InitializeEx(0);
    globals = PyDict_New();
    PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
    PyObject* defined = PyRun_String(kClasses, Py_file_input, globals, globals);
    if (defined == nullptr) {
        PyErr_Print();
        return EXIT_FAILURE;
    }
    Py_DECREF(defined);
    check_good_objects(report, random);
    check_bad_objects(report, random);
    Py_DECREF(globals);
    const int status = report.finish();
    Py_FinalizeEx();
    return status;
}
