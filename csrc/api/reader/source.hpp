// The input of a call of the package's own functions: the `source` argument bound to its kind (a path as
// str or os.PathLike, "-" for standard input, a binary file object, or a bytes-like object holding the
// text itself), opened through the input layer (any compression), its format chosen, and a UTF-8 byte-order
// mark at its start skipped; and the one table that turns the engine's failures on it into tovak's
// exceptions (JSONError, CompressionError, OSError, TypeError).
//
// Thread rule: a Source belongs to one call or one Records object and is used by one thread at a time,
// attached to the interpreter (a file object is read through its own methods); it is destroyed attached.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "api/frame.hpp"
#include "io/file_reader.hpp"
#include "io/format.hpp"
#include "io/input.hpp"
#include "records/error.hpp"
#include "records/options.hpp"

namespace tovak::reader {

// What the record engine reads: the decompressed bytes (Source::bytes) behind a 64 KiB buffer.
using Reader = io::BufferedReader<io::ByteSourceRef>;

class Source {
public:
    // Binds `source` and `format` (a str or None), opens the input and chooses the format: the one named,
    // else the name (its compression suffix removed: .json and .geojson are JSON, .jsonl and .ndjson JSONL),
    // else the first value's shape (json/detect.hpp). The bytes detection reads are read again.
    static Result<std::unique_ptr<Source>> open(PyObject* source, PyObject* format);

    Source(const Source&) = delete;
    Source& operator=(const Source&) = delete;
    ~Source();

    io::Format format() const noexcept { return format_; }
    // The decompressed bytes from the first one the engine sees (after a byte-order mark); read them
    // through one Reader.
    io::ByteSource& bytes() noexcept { return *input_.source; }
    // For messages: the path as given (a str), "<stdin>", the file object's name; null when there is none.
    PyObject* name() const noexcept { return name_.get(); }
    // Progress over the input as stored (compressed bytes for compressed input).
    std::uint64_t stored_bytes_read() const { return input_.source->stored_bytes_read(); }
    std::optional<std::uint64_t> stored_size() const { return input_.source->stored_size(); }
    // Whether the engine's bytes can be read at any position (bytes().positional()): a plain regular file,
    // a bytes-like object.
    bool readable_anywhere() const { return input_.source->positional().has_value(); }
    io::Compression compression() const noexcept { return input_.compression; }
    // Bytes of a byte-order mark skipped before the first byte the engine sees (its offsets start after them).
    std::uint64_t skipped() const noexcept { return skipped_; }
    // Whether the first significant byte among those read ahead for detection is `[` (false when none is).
    bool starts_with_array() const noexcept;
    // Where the engine's bytes hold that `[`, counted from the first byte the engine sees; nothing when
    // starts_with_array() is false.
    std::optional<std::uint64_t> array_start() const noexcept;

    // The engine's options for this input, cutting records as `cut` says: tolerant, interrupted by Ctrl-C.
    records::RecordOptions record_options(records::Cut cut) const;

    // The exception for an engine failure on this input.
    Failure failure(const records::RecordError& error) const;
    // tovak.PointerError(message, source, lineno, record) for a pointer that matches nothing (`error` says
    // where: JSONL names the line and the record).
    Failure pointer_failure(const std::string& message, const records::RecordError& error) const;

private:
    Source() = default;
    Status open_input(PyObject* source);
    Status choose_format(std::optional<io::Format> chosen);
    Failure io_failure(const io::IoError& error) const;

    PyRef name_;
    std::string path_;                   // a path's bytes in the file-system encoding, when it is one
    PyRef object_;                       // the file object or bytes-like object read (never closed)
    std::unique_ptr<Py_buffer> buffer_;  // the exported buffer of a bytes-like object, released last
    io::Input input_;
    io::Format format_ = io::Format::json;
    std::uint64_t skipped_ = 0;  // bytes of a byte-order mark before the first byte the engine sees
};

}  // namespace tovak::reader
