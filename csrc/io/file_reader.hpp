// The buffered reader of the input layer: a raw source of bytes (a file descriptor, or any `io::ByteSource`)
// behind a 64 KiB buffer, with whole reads, line reads and a way to hand back bytes already read (so
// format detection on a pipe loses nothing).
//
// The reader interface every byte scan and the record cutter are templated on:
//     ReadOutcome read(char* dest, std::size_t n);      // up to n bytes; 0 only at the end
//     ReadOutcome read_line(std::string& line);         // appends through the next line feed
//     std::optional<std::uint64_t> size() const;        // the input's size when known (a size hint)
// `BufferedReader<Raw>` provides it over any `Raw` with `read` and `size`.
//
// Thread rule: a reader belongs to one owner and is used by one thread at a time; it holds no Python object
// and may be used without the interpreter.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "io/read.hpp"
#include "io/source.hpp"

namespace tovak::io {

// A file opened read-only, owned: the raw source of `FileReader`. The descriptor's reads are those of
// `FdSource` (interrupted reads retried); it closes when the owner is destroyed.
class OwnedFile {
public:
    explicit OwnedFile(std::unique_ptr<FdSource> fd) noexcept : fd_(std::move(fd)) {}
    ReadOutcome read(char* dest, std::size_t n) { return fd_->read(dest, n); }
    // The size from the file's metadata, if the system could tell (none for a pipe).
    std::optional<std::uint64_t> size() const { return fd_->stored_size(); }
    // True for a regular file: it can be opened again and read from its start.
    bool regular() const noexcept { return fd_->is_regular_file(); }
    // The bytes from the read position on, readable at any position (a regular file).
    std::optional<PositionalBytes> positional() const { return fd_->positional(); }

private:
    std::unique_ptr<FdSource> fd_;
};

// Adapts an `io::ByteSource` (owned elsewhere, outliving this) to the raw-source interface.
class ByteSourceRef {
public:
    explicit ByteSourceRef(ByteSource& source) noexcept : source_(&source) {}
    ReadOutcome read(char* dest, std::size_t n) { return source_->read(dest, n); }
    std::optional<std::uint64_t> size() const { return source_->stored_size(); }

private:
    ByteSource* source_;
};

// A raw source behind a 64 KiB buffer: lines are read from the system 64 KiB at a time (with 8 KiB, the
// reads took 4% of loading a 1 MB JSONL file). Requests of at least the buffer's size go straight to the source
// when the buffer is empty, so chunked scans pay no copy.
template <class Raw>
class BufferedReader {
public:
    static constexpr std::size_t kBufferSize = kChunkSize;

    explicit BufferedReader(Raw raw) : raw_(std::move(raw)), buffer_(new char[kBufferSize]), capacity_(kBufferSize) {}
    BufferedReader(BufferedReader&&) noexcept = default;
    BufferedReader& operator=(BufferedReader&&) = delete;

    ReadOutcome read(char* dest, std::size_t n) {
        if (pos_ == filled_) {
            if (n >= kBufferSize) return raw_.read(dest, n);
            ReadOutcome got = fill_buffer();
            if (!got.ok()) return got;
        }
        std::size_t take = std::min(n, filled_ - pos_);
        std::memcpy(dest, buffer_.get() + pos_, take);
        pos_ += take;
        return ReadOutcome{take, std::nullopt};
    }

    ReadOutcome read_line(std::string& line) {
        std::size_t appended = 0;
        for (;;) {
            if (pos_ == filled_) {
                ReadOutcome got = fill_buffer();
                if (!got.ok()) return ReadOutcome{appended, got.error};
                if (got.bytes == 0) break;
            }
            const char* start = buffer_.get() + pos_;
            std::size_t available = filled_ - pos_;
            const void* lf = std::memchr(start, '\n', available);
            std::size_t take = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - start) + 1 : available;
            line.append(start, take);
            pos_ += take;
            appended += take;
            if (lf) break;
        }
        return ReadOutcome{appended, std::nullopt};
    }

    std::optional<std::uint64_t> size() const { return raw_.size(); }

    // Puts `bytes` (the bytes most recently read, in order) back in front of what is still buffered: the
    // next reads deliver them again. Used once, after format detection on a source that cannot be reopened.
    void unread(std::string_view bytes) {
        const std::size_t held = filled_ - pos_;
        const std::size_t total = bytes.size() + held;
        if (total > capacity_) {
            std::unique_ptr<char[]> larger(new char[total]);
            std::memcpy(larger.get() + bytes.size(), buffer_.get() + pos_, held);
            buffer_ = std::move(larger);
            capacity_ = total;
        } else {
            std::memmove(buffer_.get() + bytes.size(), buffer_.get() + pos_, held);
        }
        std::memcpy(buffer_.get(), bytes.data(), bytes.size());
        pos_ = 0;
        filled_ = total;
    }

    const Raw& raw() const noexcept { return raw_; }

    // The bytes from the read position on (those buffered first), readable at any position, when the raw
    // source can give its own that way.
    std::optional<PositionalBytes> positional() const
        requires requires(const Raw& raw) { raw.positional(); }
    {
        std::optional<PositionalBytes> inner = raw_.positional();
        if (!inner) return std::nullopt;
        return inner->widened(filled_ - pos_);
    }

private:
    // Refills the (empty) buffer with at most kBufferSize bytes; the buffer may be larger after `unread`.
    ReadOutcome fill_buffer() {
        ReadOutcome got = raw_.read(buffer_.get(), kBufferSize);
        if (got.ok()) {
            pos_ = 0;
            filled_ = got.bytes;
        }
        return got;
    }

    Raw raw_;
    std::unique_ptr<char[]> buffer_;
    std::size_t capacity_;
    std::size_t pos_ = 0;
    std::size_t filled_ = 0;
};

// A file opened by path.
using FileReader = BufferedReader<OwnedFile>;

// Either an open file or why it could not be opened.
struct OpenOutcome {
    std::optional<FileReader> file;
    IoError error;
    bool ok() const noexcept { return file.has_value(); }
};

// Opens `path` read-only (retrying on EINTR); a path holding a NUL byte fails with kNulInPathText.
OpenOutcome open_file_reader(const std::string& path);

}  // namespace tovak::io
