// A byte source over a Python binary file object, and the opening of such an object as "the input".
//
// Contract: reads with the object's readinto() into a memoryview of the destination when it has one,
// else with read(n). Whatever those methods raise (a closed file's ValueError, an OSError, a
// KeyboardInterrupt) is left pending in the interpreter and reported as IoError::Kind::python, unchanged;
// a method that breaks the file protocol (read() gives str or another non-bytes object, or more bytes
// than asked; readinto() gives a count out of range or None) is IoError::Kind::file_object with a text
// naming what it did. The object is never closed; the source holds a strong reference to it.
//
// Thread rule: construction, every read and destruction on a thread attached to the interpreter (the
// calling thread of the entry), never on a read-ahead thread. One thread at a time.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "io/input.hpp"
#include "io/read.hpp"

namespace tovak::io {

class PyFileSource final : public ByteSource {
public:
    explicit PyFileSource(PyObject* file) noexcept;  // borrowed: takes a strong reference of its own
    ~PyFileSource() override;
    PyFileSource(const PyFileSource&) = delete;
    PyFileSource& operator=(const PyFileSource&) = delete;

    ReadOutcome read(char* dest, std::size_t n) override;
    std::uint64_t stored_bytes_read() const override { return bytes_read_; }

private:
    // The bound method used for reading, looked up at the first read (a lookup may raise).
    std::optional<IoError> find_method();
    ReadOutcome read_into(char* dest, std::size_t n);
    ReadOutcome read_copy(char* dest, std::size_t n);

    PyObject* file_;              // strong reference, dropped in the destructor
    PyObject* method_ = nullptr;  // strong reference: the bound readinto or read
    bool has_readinto_ = false;
    std::uint64_t bytes_read_ = 0;
};

// The input of a call given as a binary file object: peeked and decompressed like any other input, but
// always on the calling thread (no read-ahead, whatever the options say).
IoResult<Input> open_input_file_object(PyObject* file, const InputOptions& options = {});

}  // namespace tovak::io
