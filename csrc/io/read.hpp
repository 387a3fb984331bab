// What every byte source of the input layer shares: the read size of the byte scans, the plain-data read
// error, the outcome of one read, the interface of a source of bytes, and the view of a source whose
// bytes can be read at any position.
//
// Thread rule: these are plain values; a source is used by one thread at a time (its owner's). A
// PositionalBytes may be read by any number of threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace tovak::io {

// The size of one read request of every byte scan (counting, splitting, sampling): large enough that a read
// costs little per byte, small enough to stay in the second-level cache while it is scanned.
inline constexpr std::size_t kChunkSize = 65536;

// An input failure as plain data: an operating-system error number, one of the fixed texts below, or a
// text of its own (a damaged compressed stream, a file object that misbehaved). `kind` tells a surface
// which exception it becomes.
struct IoError {
    enum class Kind : std::uint8_t {
        other,        // the system's error, a fixed text, or a detail that fits none of the kinds below
        damaged,      // the compressed input is damaged: truncated, corrupt, bad checksum, trailing data
        file_object,  // a Python file object broke its contract (more bytes than asked, a bad count)
        wrong_type,   // a Python file object's read() gave something other than bytes (str, None, ...)
        python,       // the interpreter's exception is pending (a file object's method raised, or a signal
                      // handler did): the caller takes it (Failure::from_python) before calling Python again
    };
    int os_error = 0;                  // errno value when the system reported the failure
    const char* fixed_text = nullptr;  // otherwise one of the fixed texts
    std::string detail = {};           // otherwise this text
    Kind kind = Kind::other;
    std::string text() const;          // "<system text> (os error N)", the fixed text or the detail
};
inline constexpr char kInvalidUtf8Text[] = "stream did not contain valid UTF-8";
inline constexpr char kNulInPathText[] = "file name contained an unexpected NUL byte";

// Either a byte count or an IoError.
struct ReadOutcome {
    std::size_t bytes = 0;
    std::optional<IoError> error;
    bool ok() const noexcept { return !error; }
};

// The bytes of a source from its read position on, readable at any position by several threads at once
// (a regular file through pread, or bytes in memory), for scans that share the input out in ranges. The
// file or memory must stay open and unchanged while it is read this way (a file that changes gives
// whatever pread gives: fewer bytes where it shrank).
class PositionalBytes {
public:
    static PositionalBytes of_file(int fd, std::uint64_t begin, std::uint64_t size) noexcept {
        return PositionalBytes(fd, nullptr, begin, size);
    }
    static PositionalBytes of_memory(const char* data, std::uint64_t size) noexcept {
        return PositionalBytes(-1, data, 0, size);
    }

    // The size when the view was made.
    std::uint64_t size() const noexcept { return size_; }
    // The bytes themselves, when they are in memory (null for a file).
    const char* memory() const noexcept { return memory_; }
    // Up to n bytes from `offset` (counted from the view's first byte) into dest; 0 only at the end. A
    // read cut short by a signal is tried again.
    ReadOutcome read_at(char* dest, std::size_t n, std::uint64_t offset) const noexcept;
    // Whole reads of n bytes: fewer only where the input ends (or a read failed: then the error).
    ReadOutcome read_fully_at(char* dest, std::size_t n, std::uint64_t offset) const noexcept;
    // The view moved `back` bytes towards the start (bytes its source has handed out and will hand again).
    PositionalBytes widened(std::uint64_t back) const noexcept {
        return PositionalBytes(fd_, memory_ ? memory_ - back : nullptr, begin_ - back, size_ + back);
    }

private:
    PositionalBytes(int fd, const char* memory, std::uint64_t begin, std::uint64_t size) noexcept
        : fd_(fd), memory_(memory), begin_(begin), size_(size) {}
    int fd_;
    const char* memory_;
    std::uint64_t begin_;  // the file offset of the first byte
    std::uint64_t size_;
};

// A stream of bytes read front to back. Used by one thread at a time.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Up to n bytes into dest; 0 only at the end of the stream.
    virtual ReadOutcome read(char* dest, std::size_t n) = 0;
    // The size of the input as stored (a compressed file's own size), when it is known.
    virtual std::optional<std::uint64_t> stored_size() const { return std::nullopt; }
    // How much of the input as stored has been consumed so far (for progress over compressed input).
    virtual std::uint64_t stored_bytes_read() const = 0;
    // The bytes from the read position on, when they can be read at any position (a plain regular file
    // this source opened, bytes in memory); nothing for a stream (a pipe, a file object, a decompressor).
    virtual std::optional<PositionalBytes> positional() const { return std::nullopt; }
};

}  // namespace tovak::io
