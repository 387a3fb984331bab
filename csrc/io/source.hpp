// The plain byte sources of the input layer: a file descriptor (regular file, pipe, FIFO, character
// device), a view of bytes in memory, and a wrapper that lets a reader look at the first bytes of any
// source and then read them again. Also the small result type of the opening functions.
//
// Contract: every source follows ByteSource (read.hpp): up to n bytes per read, 0 only at the end; a
// failed read returns an IoError and the source is not read again by well-behaved callers.
// Thread rule: a source is used by one thread at a time; which one may change between reads (the
// read-ahead thread takes a source over whole). No Python in here.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "io/read.hpp"

namespace tovak::io {

// A value or the IoError that prevented it.
template <class T>
class [[nodiscard]] IoResult {
public:
    IoResult(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    IoResult(IoError error) : state_(std::in_place_index<1>, std::move(error)) {}
    bool ok() const noexcept { return state_.index() == 0; }
    T& value() & { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    IoError& error() & { return std::get<1>(state_); }
    IoError&& error() && { return std::get<1>(std::move(state_)); }

private:
    std::variant<T, IoError> state_;
};

// Asked on the reading thread when a wait for input was cut short by a signal (a read that failed with
// EINTR), or now and then while the consumer of a read-ahead source waits for a chunk. An error ends the
// read with that error (typically IoError::Kind::python after the interpreter's signal handlers raised);
// nothing lets the wait go on. Empty: waits go on.
using InterruptCheck = std::function<std::optional<IoError>()>;

// ---------------------------------------------------------------------------------------------------
// File descriptor

enum class FdOwnership {
    owned,     // closed when the source is destroyed
    borrowed,  // left open: the caller keeps it and closes it
};

// Reads a file descriptor from wherever its offset is. Reads interrupted by a signal are retried (after
// asking the InterruptCheck, if any). For a regular file the stored size is the size from fstat() less
// the offset at construction, so progress reaches exactly 100%.
class FdSource final : public ByteSource {
public:
    FdSource(int fd, FdOwnership ownership);
    ~FdSource() override;
    FdSource(const FdSource&) = delete;
    FdSource& operator=(const FdSource&) = delete;

    ReadOutcome read(char* dest, std::size_t n) override;
    std::optional<std::uint64_t> stored_size() const override { return stored_size_; }
    std::uint64_t stored_bytes_read() const override { return bytes_read_; }
    std::optional<PositionalBytes> positional() const override;

    bool is_regular_file() const noexcept { return regular_; }
    int fd() const noexcept { return fd_; }
    void set_interrupt_check(InterruptCheck check) { interrupt_check_ = std::move(check); }

    // For a source that may block (a pipe): from now on every read first waits with poll() in slices of
    // kStopPollMs, and fails with kStoppedText once *stop is true. The flag must outlive the source.
    // This is how a read-ahead thread blocked on an idle pipe is stopped.
    void stop_when(const std::atomic<bool>* stop) noexcept { stop_ = stop; }
    static constexpr int kStopPollMs = 20;

private:
    int fd_;
    FdOwnership ownership_;
    bool regular_ = false;
    std::uint64_t start_ = 0;  // the offset at construction (a regular file)
    std::optional<std::uint64_t> stored_size_;
    std::uint64_t bytes_read_ = 0;
    InterruptCheck interrupt_check_;
    const std::atomic<bool>* stop_ = nullptr;
};

inline constexpr char kStoppedText[] = "reading was stopped";

// Opens a path (bytes in the file-system encoding) for reading. A directory is refused at once (EISDIR)
// rather than at the first read.
IoResult<std::unique_ptr<FdSource>> open_file(const std::string& path);

// ---------------------------------------------------------------------------------------------------
// Memory

// Reads a view of bytes that its owner keeps alive and unchanged for the life of the source.
class MemorySource final : public ByteSource {
public:
    explicit MemorySource(std::string_view bytes) noexcept : bytes_(bytes) {}
    ReadOutcome read(char* dest, std::size_t n) override;
    std::optional<std::uint64_t> stored_size() const override { return bytes_.size(); }
    std::uint64_t stored_bytes_read() const override { return pos_; }
    std::optional<PositionalBytes> positional() const override {
        return PositionalBytes::of_memory(bytes_.data() + pos_, bytes_.size() - pos_);
    }

private:
    std::string_view bytes_;
    std::size_t pos_ = 0;
};

// ---------------------------------------------------------------------------------------------------
// Looking ahead

// Wraps a source so that its first bytes can be looked at (peek) and are then read again from the start:
// how compression is told from its magic bytes, and JSON from JSONL, without losing input on a pipe.
class PeekSource final : public ByteSource {
public:
    explicit PeekSource(std::unique_ptr<ByteSource> inner) noexcept : inner_(std::move(inner)) {}

    // The first n bytes (fewer only when the stream is shorter). Reads the inner source until it has
    // them (a read may bring up to kPeekReadSize more, kept for replay too); may be called again with a
    // larger n until the first read().
    IoResult<std::string_view> peek(std::size_t n);
    static constexpr std::size_t kPeekReadSize = 4096;

    // The bytes peeked so far after one more read of the inner source (none once it ended or `limit` bytes
    // are held): on a pipe this waits only for what the writer sends next, never for a whole window.
    IoResult<std::string_view> peek_more(std::size_t limit);
    // The bytes peeked so far, without reading.
    std::string_view peeked() const noexcept { return std::string_view(head_).substr(replayed_); }
    // The inner stream ended while peeking: the peeked bytes are all there is.
    bool peek_ended() const noexcept { return inner_ended_; }

    ReadOutcome read(char* dest, std::size_t n) override;
    std::optional<std::uint64_t> stored_size() const override { return inner_->stored_size(); }
    std::uint64_t stored_bytes_read() const override { return inner_->stored_bytes_read(); }
    // The inner source's, widened by the bytes peeked and not yet handed out.
    std::optional<PositionalBytes> positional() const override;

private:
    std::unique_ptr<ByteSource> inner_;
    std::string head_;           // the bytes peeked, replayed by read()
    std::size_t replayed_ = 0;   // how many of them read() has handed out
    bool inner_ended_ = false;   // peek met the end of the inner stream
};

}  // namespace tovak::io
