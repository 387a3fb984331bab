// Read-ahead: a source wrapper that reads its inner source (a file descriptor or memory, usually with a
// decompressor on top) on a thread of its own into a bounded ring of chunks, so that decompressing and
// parsing run on two cores at once.
//
// Contract: the bytes, then the end or the inner source's error, come out exactly in the order the inner
// source gave them. At most `chunks` chunks of `chunk_size` bytes are ever held. stored_bytes_read()
// counts what the inner source had consumed when the chunks handed out so far were read.
// Destruction stops the thread and joins it promptly, even while the inner source waits on an idle pipe:
// the FdSource that may block is told to watch the stop flag (FdSource::stop_when, a poll() in 20 ms
// slices); a decompressor or a regular file never blocks for long, and the flag is checked between reads.
//
// Thread rule: the inner source belongs to the read-ahead thread from construction on (never give it a
// source that must run on the calling thread, such as a Python file object). The wrapper itself is used
// by one thread at a time, like any source; its InterruptCheck runs on that thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "io/read.hpp"
#include "io/source.hpp"

namespace tovak::io {

// Chosen by measurement (bench/io_read.cpp, gzip and zstd JSONL on two cores): 64 KiB chunks were the
// slowest (a lock and a wake-up per 64 KiB), 256 KiB next; from 1 MiB up, size and count (2 to 8) made
// no difference above the noise. Four of 1 MiB let the decompressor run ahead of a parser that stalls
// for a moment, for 4 MiB of memory.
inline constexpr std::size_t kReadAheadChunkSize = 1 << 20;
inline constexpr std::size_t kReadAheadChunks = 4;

class ReadAheadSource final : public ByteSource {
public:
    struct Shape {
        std::size_t chunk_size = kReadAheadChunkSize;
        std::size_t chunks = kReadAheadChunks;
    };

    // `may_block`: the file descriptor source inside `inner` whose reads may wait without end (a pipe, a
    // FIFO, a terminal), or null. The thread starts at once.
    ReadAheadSource(std::unique_ptr<ByteSource> inner, FdSource* may_block, Shape shape);
    ReadAheadSource(std::unique_ptr<ByteSource> inner, FdSource* may_block)
        : ReadAheadSource(std::move(inner), may_block, Shape{}) {}
    ~ReadAheadSource() override;
    ReadAheadSource(const ReadAheadSource&) = delete;
    ReadAheadSource& operator=(const ReadAheadSource&) = delete;

    ReadOutcome read(char* dest, std::size_t n) override;
    std::optional<std::uint64_t> stored_size() const override { return stored_size_; }
    std::uint64_t stored_bytes_read() const override { return stored_bytes_read_; }

    // Asked every kInterruptPollMs while read() waits for the thread.
    void set_interrupt_check(InterruptCheck check) { interrupt_check_ = std::move(check); }
    static constexpr int kInterruptPollMs = 50;

private:
    struct Chunk {
        std::unique_ptr<char[]> data;
        std::size_t size = 0;
        std::uint64_t stored_bytes_read = 0;  // the inner source's count after this chunk was read
        std::optional<IoError> error;
        bool last = false;                    // the end or an error: the thread has stopped after it
    };

    void run() noexcept;

    // Configuration, fixed at construction.
    std::unique_ptr<ByteSource> inner_;  // used by the thread only
    const std::size_t chunk_size_;
    const std::optional<std::uint64_t> stored_size_;
    InterruptCheck interrupt_check_;

    // Shared with the thread, under mutex_ (stop_ is also read without it, by the blocked FdSource).
    std::mutex mutex_;
    std::condition_variable filled_or_done_;  // the consumer waits on it
    std::condition_variable space_or_stop_;   // the thread waits on it
    std::size_t ready_ = 0;                   // chunks filled and not yet given back by the consumer
    std::atomic<bool> stop_{false};
    std::vector<Chunk> ring_;

    // The consumer's own.
    std::size_t take_ = 0;        // ring index of the chunk being handed out
    std::size_t taken_ = 0;       // how much of it has gone
    bool holding_ = false;        // ring_[take_] is filled and being handed out
    bool finished_ = false;       // the last chunk was handed out
    std::optional<IoError> final_error_;
    std::uint64_t stored_bytes_read_ = 0;

    std::thread thread_;  // last: starts after everything above exists
};

}  // namespace tovak::io
