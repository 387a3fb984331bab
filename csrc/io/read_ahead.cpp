#include "io/read_ahead.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cerrno>
#include <exception>
#include <new>
#include <string>

namespace tovak::io {

ReadAheadSource::ReadAheadSource(std::unique_ptr<ByteSource> inner, FdSource* may_block, Shape shape)
    : inner_(std::move(inner)),
      chunk_size_(std::max<std::size_t>(shape.chunk_size, 1)),
      stored_size_(inner_->stored_size()),
      ring_(std::max<std::size_t>(shape.chunks, 1)) {
    for (Chunk& chunk : ring_) chunk.data.reset(new char[chunk_size_]);
    if (may_block != nullptr) may_block->stop_when(&stop_);
    thread_ = std::thread([this] { run(); });
}

ReadAheadSource::~ReadAheadSource() {
    {
        std::lock_guard lock(mutex_);
        stop_.store(true, std::memory_order_release);
    }
    space_or_stop_.notify_all();
    thread_.join();
}

void ReadAheadSource::run() noexcept {
    for (std::size_t fill = 0;; fill = (fill + 1) % ring_.size()) {
        {
            std::unique_lock lock(mutex_);
            space_or_stop_.wait(lock, [&] { return stop_.load(std::memory_order_relaxed) || ready_ < ring_.size(); });
            if (stop_.load(std::memory_order_relaxed)) return;
        }
        Chunk& chunk = ring_[fill];  // not in the ready part of the ring: the consumer does not touch it
        ReadOutcome got;
        try {
            got = inner_->read(chunk.data.get(), chunk_size_);
        } catch (const std::bad_alloc&) {
            got = ReadOutcome{0, IoError{ENOMEM}};
        } catch (const std::exception& fault) {  // no exception may end the process from this thread
            got = ReadOutcome{0, IoError{0, nullptr, std::string("internal fault: ") + fault.what()}};
        }
        chunk.size = got.bytes;
        chunk.stored_bytes_read = inner_->stored_bytes_read();
        chunk.last = !got.ok() || got.bytes == 0;
        chunk.error = std::move(got.error);
        {
            std::lock_guard lock(mutex_);
            ++ready_;
        }
        filled_or_done_.notify_one();
        if (chunk.last) return;
    }
}

ReadOutcome ReadAheadSource::read(char* dest, std::size_t n) {
    if (finished_ || n == 0) return ReadOutcome{0, final_error_};
    if (!holding_) {
        std::unique_lock lock(mutex_);
        while (ready_ == 0) {
            if (!interrupt_check_) {
                filled_or_done_.wait(lock);
                continue;
            }
            if (filled_or_done_.wait_for(lock, std::chrono::milliseconds(kInterruptPollMs)) == std::cv_status::timeout) {
                lock.unlock();
                if (std::optional<IoError> stop = interrupt_check_()) return ReadOutcome{0, std::move(stop)};
                lock.lock();
            }
        }
        holding_ = true;
        taken_ = 0;
    }
    Chunk& chunk = ring_[take_];
    const std::size_t take = std::min(n, chunk.size - taken_);
    if (take != 0) std::memcpy(dest, chunk.data.get() + taken_, take);
    taken_ += take;
    if (taken_ < chunk.size) return ReadOutcome{take, std::nullopt};
    stored_bytes_read_ = chunk.stored_bytes_read;
    if (chunk.last) {
        // The end or the error: handed out after the chunk's bytes (if any), and at every read after.
        finished_ = true;
        final_error_ = std::move(chunk.error);
        return take != 0 ? ReadOutcome{take, std::nullopt} : ReadOutcome{0, final_error_};
    }
    holding_ = false;
    take_ = (take_ + 1) % ring_.size();
    {
        std::lock_guard lock(mutex_);
        --ready_;
    }
    space_or_stop_.notify_one();
    return ReadOutcome{take, std::nullopt};
}

}  // namespace tovak::io
