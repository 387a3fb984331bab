// Opening "the input" of a call: a path, a file descriptor, bytes in memory, or (py_file.hpp) a Python
// file object becomes one source of the decompressed bytes. The magic bytes choose the decompressor;
// read-ahead is added where it pays; the first bytes stay available for content sniffing.
//
// Contract: nothing is lost: the bytes looked at to detect the compression, and those a caller peeks at
// through Input::source, are read again from the start. Opening reads only the first kMagicSize bytes of
// the stored input (so a pipe is not drained), never anything of the decompressed stream. Errors are
// IoErrors (for an unopenable path, the system's error; for a first read that failed, its error).
//
// Thread rule: open on the thread that will read. The Input is then used by one thread at a time.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "io/decompress.hpp"
#include "io/read.hpp"
#include "io/source.hpp"

namespace tovak::io {

enum class ReadAhead {
    automatic,  // for compressed input read from a file descriptor or memory (see input.cpp for why)
    never,
    always,     // whatever the input, except a source that must stay on the calling thread
};

struct InputOptions {
    ReadAhead read_ahead = ReadAhead::automatic;
    // Asked on the reading thread when a wait for input was interrupted (see InterruptCheck).
    InterruptCheck interrupt_check = {};
};

struct Input {
    std::unique_ptr<PeekSource> source;  // the decompressed bytes from the start; peek() for sniffing
    Compression compression = Compression::none;
    bool reads_ahead = false;            // a thread reads ahead (a surface may want to report it)
};

// A path as bytes in the file-system encoding (a NUL inside is refused).
IoResult<Input> open_input_path(const std::string& path, const InputOptions& options = {});
// A file descriptor at its current offset.
IoResult<Input> open_input_fd(int fd, FdOwnership ownership, const InputOptions& options = {});
// Bytes its owner keeps alive and unchanged until the Input is gone.
IoResult<Input> open_input_memory(std::string_view bytes, const InputOptions& options = {});

// The common part: `stored` is the source as stored; `fd_source` the FdSource it is or holds (or null);
// `may_leave_thread` false for a source bound to the calling thread (a Python file object).
IoResult<Input> open_input_source(std::unique_ptr<ByteSource> stored, FdSource* fd_source, bool may_leave_thread,
                                  const InputOptions& options);

}  // namespace tovak::io
