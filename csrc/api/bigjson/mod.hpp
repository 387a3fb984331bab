// The bigjson feature area: registration, the choice of file format and the buffered file reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "api/frame.hpp"
#include "io/read.hpp"

namespace tovak::bigjson {

enum class Format { json, jsonl };

using io::IoError;
using io::kInvalidUtf8Text;
using io::kNulInPathText;
using io::ReadOutcome;

// A file opened read-only behind an 8,192-byte buffer. The file closes when the reader is destroyed.
class FileReader {
public:
    static constexpr std::size_t kBufferSize = 8192;

    FileReader(FileReader&& other) noexcept;
    FileReader& operator=(FileReader&&) = delete;
    FileReader(const FileReader&) = delete;
    ~FileReader();

    // Delivers up to n bytes (0 at end of file). With an empty buffer, a request of at least the buffer's
    // size goes straight to the file.
    ReadOutcome read(char* dest, std::size_t n);

    // Appends the bytes up to and including the next line feed (or to the end of the file) to `line`;
    // returns how many were appended (0 at end of file).
    ReadOutcome read_line(std::string& line);

    // The file's size from its metadata, if the system could tell.
    std::optional<std::uint64_t> size() const;

private:
    friend Result<FileReader> open_reader(const std::string& path);
    explicit FileReader(int fd);
    ReadOutcome read_file(char* dest, std::size_t n);
    ReadOutcome fill_buffer();

    int fd_ = -1;
    std::unique_ptr<char[]> buffer_;
    std::size_t pos_ = 0;
    std::size_t filled_ = 0;
};

// Opens `path` for reading; ValueError "cannot open <path>: <error>" on failure.
Result<FileReader> open_reader(const std::string& path);

// The format named by the caller, or by the path's suffix, or by the file's first significant byte.
Result<Format> resolve_format(const std::string& path, const std::optional<std::string>& format);

// The (path, format=None) arguments shared by count, load and iter_records: bound, converted in order,
// and the format resolved.
struct FileCall {
    std::string path;
    Format format;
};
Result<FileCall> bind_file_call(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);

// RuntimeError "read error: <error>".
Failure read_error(const IoError& error);

// The five white-space bytes the byte scanners skip: tab, line feed, form feed, carriage return, space.
constexpr bool is_space_byte(unsigned char b) noexcept {
    return b == 0x20 || b == 0x0A || b == 0x0D || b == 0x09 || b == 0x0C;
}

// Adds the submodule and its functions and class to the extension module.
Status register_module(PyObject* parent);

}  // namespace tovak::bigjson
