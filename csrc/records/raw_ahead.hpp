// Records cut ahead: the records of one JSON text, as text, cut by the pointer cutter (the streaming
// validator, pointer_cutter.hpp) on one worker thread while the caller hands the records already cut on
// (compacts them, makes bytes of them, or parses them). The caller reads the input in chunks into a small ring of
// batches (parallel.hpp's OrderedPool, with one worker); the worker feeds each chunk to its cutter,
// validated where it lies, and puts in the same batch the records that end in it (views of the chunk, or
// copies of those that began in an earlier chunk), their keys, and how the batch ends: more to come, the
// end, or the cutter's error. The caller takes the batches back in order.
//
// Why this split: validation is nearly all the work of cutting a raw record, and takes a core; reading,
// compacting and making objects fit in the caller's time beside it. When they leave the caller waiting (the
// worker has batches queued), the caller also judges the UTF-8 of the chunks it reads (json::Utf8ChunkCheck),
// which the validator then takes as judged (about 5% of its work on text rich in non-ASCII characters).
// Reading stays with the caller, so the worker never waits on input, never touches a file or the
// interpreter, and stops at once. The records, their texts, their order and the first error are those of
// the cutter on one thread, which sees the same bytes whatever the chunks are.
//
// Memory: `batches` chunks of `chunk_bytes` and the records that began before their chunk, whatever the
// input's size; a batch holds the records that end in its chunk, so a record longer than a chunk is
// gathered by the cutter and copied once into the batch where it ends.
//
// Thread rule: one owner, used by one thread at a time (the caller); the batches pass between it and the
// worker as the pool says (parallel.hpp). Nothing here touches the interpreter.
#pragma once

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "io/read.hpp"
#include "json/validate.hpp"
#include "records/parallel.hpp"
#include "records/pointer_cutter.hpp"

namespace tovak::records {

// One batch: a chunk of the input as the caller read it, then what the worker cut from it.
class RawBatch {
public:
    enum class End : std::uint8_t {
        more,   // the records that end in the chunk; the next batch goes on
        end,    // the input ended after them
        error,  // the cutter failed after them (`error`, and `miss` for ErrorKind::missing)
    };

    // ---- the caller's, before the batch is submitted
    std::unique_ptr<char[]> chunk;
    std::size_t capacity = 0;
    std::size_t size = 0;                    // bytes read into `chunk`
    std::optional<io::IoError> read_error;   // the read after those bytes failed
    bool last = false;                       // the input ended after those bytes
    bool utf8_checked = false;               // the caller found the bytes well-formed (json::Utf8ChunkCheck)

    // ---- the worker's, once the batch is done
    End end = End::more;
    RecordError error;
    PointerMiss miss;

    // Records, in order.
    std::size_t count() const noexcept { return spans_.size(); }
    std::string_view text(std::size_t i) const noexcept {
        const Span& span = spans_[i];
        return std::string_view((span.in_chunk ? chunk.get() : copies_.data()) + span.begin, span.size);
    }
    std::optional<std::string_view> key(std::size_t i) const noexcept {
        const Span& span = spans_[i];
        if (span.key_size == kNoKey) return std::nullopt;
        return std::string_view(keys_).substr(span.key_begin, span.key_size);
    }

    // Worker: empties what a previous use cut.
    void clear_output() noexcept {
        spans_.clear();
        copies_.clear();
        keys_.clear();
        end = End::more;
    }
    // Worker: one record's text (a view of the chunk, or of the cutter's own buffer) and its key.
    void add(std::string_view record, std::optional<std::string_view> key) {
        Span span;
        if (key) {
            span.key_begin = keys_.size();
            span.key_size = key->size();
            keys_.append(*key);
        }
        const auto at = reinterpret_cast<std::uintptr_t>(record.data());
        const auto first = reinterpret_cast<std::uintptr_t>(chunk.get());
        if (at >= first && at + record.size() <= first + size) {
            span.in_chunk = true;
            span.begin = at - first;
        } else {
            span.begin = copies_.size();
            copies_.append(record);
        }
        span.size = record.size();
        spans_.push_back(span);
    }

private:
    static constexpr std::size_t kNoKey = ~std::size_t{0};
    struct Span {
        std::size_t begin = 0, size = 0;
        std::size_t key_begin = 0, key_size = kNoKey;
        bool in_chunk = false;  // in `chunk`, else in `copies_`
    };
    std::vector<Span> spans_;
    std::string copies_;  // the records that began before the chunk
    std::string keys_;
};

// The queue: the caller fills and submits batches, the worker cuts them, the caller takes them back.
template <class Cutter>
class RawAhead {
    class Worker;

public:
    using Pool = OrderedPool<RawBatch, Worker>;

    // The records at `at` (which must outlive this; null: the top-level rule), read in chunks of
    // `chunk_bytes`, `batches` of them in the queue at most. The worker starts at once. `judge_every_chunk`
    // (for tests): the caller judges the UTF-8 of every chunk, not only while the worker has some queued.
    RawAhead(const json::Pointer* at, std::size_t chunk_bytes, std::size_t batches, bool judge_every_chunk = false)
        : chunk_bytes_(std::max<std::size_t>(chunk_bytes, 1)), judge_every_chunk_(judge_every_chunk), worker_(at),
          pool_(std::make_unique<Pool>(worker_, 1, std::max<std::size_t>(batches, 1))) {
        worker_.set_pool(pool_.get());
    }
    RawAhead(const RawAhead&) = delete;
    RawAhead& operator=(const RawAhead&) = delete;
    ~RawAhead() { stop(); }

    // Reads chunks of `source` into free batches and submits them, until no batch is free, the input has
    // ended, or a read failed; after a failed read, nothing more is read until `resume`. True when the
    // batch just submitted ends with a failed read (an error of kind IoError::Kind::python leaves the
    // interpreter's exception pending: the caller takes it now).
    bool fill(io::ByteSource& source) {
        while (!ended_ && !paused_) {
            RawBatch* batch = pool_->free_slot();
            if (batch == nullptr) return false;
            if (batch->capacity != chunk_bytes_) {
                batch->chunk.reset(new char[chunk_bytes_]);
                batch->capacity = chunk_bytes_;
            }
            batch->size = 0;
            batch->read_error.reset();
            batch->last = false;
            // Whole chunks (a decompressor may give less per read): fewer, fuller batches.
            while (batch->size < chunk_bytes_) {
                io::ReadOutcome got = source.read(batch->chunk.get() + batch->size, chunk_bytes_ - batch->size);
                batch->size += got.bytes;
                if (!got.ok()) {
                    batch->read_error = std::move(got.error);
                    paused_ = true;
                    break;
                }
                if (got.bytes == 0) {
                    batch->last = ended_ = true;
                    break;
                }
            }
            // While the worker has batches queued, this one waits anyway: the caller judges its UTF-8 in
            // that time, work the validator then skips. A caller busy with its own work (making objects)
            // finds none queued and leaves it to the worker.
            if (judge_every_chunk_ || pool_->waiting() != 0) {
                batch->utf8_checked = utf8_.judge(batch->chunk.get(), batch->size);
            } else {
                batch->utf8_checked = false;
                utf8_.pass(batch->chunk.get(), batch->size);
            }
            pool_->submit();
            if (paused_) return true;
        }
        return false;
    }
    // After the caller met a failed read: the next fill tries it again.
    void resume() noexcept { paused_ = false; }

    // Batches submitted and not yet released.
    std::size_t in_flight() const noexcept { return pool_->in_flight(); }
    // The oldest batch once cut, waiting at most `timeout`; null on time-out or when none is in flight.
    RawBatch* front(std::chrono::milliseconds timeout) { return pool_->front(timeout); }
    // Gives the oldest batch back for reuse.
    void release_front() { pool_->release_front(); }

    // Stops the worker after the record it is at and joins it. Idempotent.
    void stop() { pool_->stop(); }

private:
    // The worker's side: one cutter, fed the chunks in order.
    class Worker : public PlainWorker {
    public:
        explicit Worker(const json::Pointer* at) : cutter_(Cutter::kFed, at) {}
        void set_pool(const Pool* pool) noexcept { pool_ = pool; }

        void run(RawBatch& batch, std::size_t) noexcept {
            try {
                batch.clear_output();
                if (batch.size != 0) {
                    cutter_.feed(batch.chunk.get(), batch.size, batch.utf8_checked);
                    if (!take(batch)) return;
                }
                if (batch.read_error) {
                    cutter_.fail_read(*batch.read_error);
                    close(batch, RawBatch::End::error);
                    return;
                }
                if (batch.last) {
                    static constexpr char kNothing = 0;
                    cutter_.feed(&kNothing, 0);
                    take(batch);
                }
            } catch (...) {  // a failed allocation ends the reading (no read error: not tried again)
                batch.error = RecordError{.kind = ErrorKind::io, .record_kind = RecordKind::document, .fatal = true};
                batch.error.io = io::IoError{ENOMEM};
                batch.end = RawBatch::End::error;
            }
        }

    private:
        // The records that end in the chunk fed; false when the end or an error closed the batch.
        bool take(RawBatch& batch) {
            Record record;
            while (std::optional<Next> got = cutter_.next_fed(record)) {
                switch (*got) {
                    case Next::record:
                        batch.add(record.text, cutter_.key());
                        if (pool_->stopping()) return false;
                        break;
                    case Next::end: close(batch, RawBatch::End::end); return false;
                    case Next::error: close(batch, RawBatch::End::error); return false;
                }
            }
            return true;
        }
        void close(RawBatch& batch, RawBatch::End end) {
            batch.end = end;
            if (end != RawBatch::End::error) return;
            batch.error = cutter_.error();
            if (batch.error.kind == ErrorKind::missing) batch.miss = cutter_.miss();
        }

        Cutter cutter_;
        const Pool* pool_ = nullptr;
    };

    const std::size_t chunk_bytes_;
    const bool judge_every_chunk_;
    Worker worker_;
    std::unique_ptr<Pool> pool_;
    json::Utf8ChunkCheck utf8_;  // judges the chunks read, in order
    bool ended_ = false;   // the batch with the input's end was submitted
    bool paused_ = false;  // a read failed: nothing is read until the caller has met it
};

}  // namespace tovak::records
