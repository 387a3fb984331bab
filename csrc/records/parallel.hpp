// The parallel driver of the record engine: the one cutter (cutter.hpp) cuts records on the calling thread
// into batches of whole records, a fixed set of worker threads handles batches (parses them, counts them),
// and the caller takes the batches back in the order it cut them. A caller that would only wait for the
// oldest batch may instead handle the oldest one no worker has started (`claim`): it then does a share of
// the work on its own thread.
//
// Why this shape: cutting is a byte scan (the splitter's, or the line reader's) that runs an order of
// magnitude faster than building objects, so one cutter keeps several parsers busy; and because every
// record keeps the number, offset and line the serial cutter gives it, a worker's results (values, syntax
// errors) are the serial path's, and the caller meets them, and the cutter's own errors, in file order.
//
// `OrderedPool` is bounded: at most `depth` batches are in it at once (cut and waiting, being handled, or
// handled and not yet taken back), so memory stays at `depth` batches whatever the input's size, and the
// caller cuts only as far ahead as the slots allow. A batch is a slot reused from one use to the next, so
// steady use allocates nothing but what a batch's contents need.
//
// Thread rule: a pool and its batches belong to one caller, used by one thread at a time. A batch is the
// caller's until `submit`, the one worker's that takes it (or the caller's, if it claims it) until it is
// marked done, and the caller's again from `front` on; the mutex hands it over (happens-before). Nothing
// here touches the interpreter: a surface's `Crew` and `Worker` policy attach its threads (see
// OrderedPool::Worker).
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "records/cutter.hpp"
#include "records/error.hpp"

namespace tovak::records {

// Records cut in file order, their texts copied back to back, with the keys of members of an object (a
// pointer cutter's records); then maybe the cutter's error that ended the batch (nothing is cut after it
// until the caller has met it, as the serial reader would meet it).
struct Batch {
    std::string text;
    std::vector<Record> records;  // `text` of each points into `text` once sealed
    std::optional<RecordError> cut_error;

    void clear() {
        text.clear();
        records.clear();
        spans_.clear();
        keys_.clear();
        key_spans_.clear();
        cut_error.reset();
    }
    void add(const Record& record, std::optional<std::string_view> key = std::nullopt) {
        spans_.push_back(text.size());
        text.append(record.text);
        records.push_back(record);
        if (key) {
            key_spans_.resize(records.size(), KeySpan{});
            key_spans_.back() = KeySpan{keys_.size(), key->size()};
            keys_.append(*key);
        }
    }
    // Points each record at its copy (the text may have moved while it grew).
    void seal() {
        for (std::size_t i = 0; i < records.size(); ++i) {
            const std::size_t end = i + 1 < spans_.size() ? spans_[i + 1] : text.size();
            records[i].text = std::string_view(text.data() + spans_[i], end - spans_[i]);
        }
    }
    // The key record `i` came with, if any.
    std::optional<std::string_view> key(std::size_t i) const noexcept {
        if (i >= key_spans_.size() || key_spans_[i].begin == KeySpan::kNone) return std::nullopt;
        return std::string_view(keys_).substr(key_spans_[i].begin, key_spans_[i].size);
    }

private:
    struct KeySpan {
        static constexpr std::size_t kNone = ~std::size_t{0};
        std::size_t begin = kNone, size = 0;
    };
    std::vector<std::size_t> spans_;  // where each record's copy starts in `text`
    std::string keys_;                // the keys, back to back
    std::vector<KeySpan> key_spans_;  // per record up to the last with a key
};

// How much goes into one batch: a batch is closed at the first record that reaches either bound. Big enough
// that the hand-over (a lock and a wake-up) costs nothing per byte, small enough that a few per worker stay
// within a few MiB.
struct BatchLimits {
    std::size_t bytes = std::size_t{512} << 10;
    std::size_t records = 8192;
};

// Batches of records handed out one by one (records()) are smaller: the consumer drops each record soon,
// and a thread then builds the next ones in the memory just freed. With 64 KiB of text the objects of a
// few batches stay in a core's cache; with 512 KiB the allocator handed out blocks that had gone cold,
// and two threads spent 1.3x the CPU of one for the same records, against 1.14x now (400 MB, JSONL and
// an array). 32 KiB gained nothing more.
inline constexpr BatchLimits kStreamedBatchLimits{.bytes = std::size_t{64} << 10};

enum class CutStatus { full, end, error };

// Cuts records from `cutter` into `batch` (cleared first) up to the limits, the end, or an error. A cutter
// with `key()` (the pointer cutter) gives each record's key along.
template <class Cutter>
CutStatus cut_batch(Cutter& cutter, Batch& batch, const BatchLimits& limits) {
    batch.clear();
    Record record;
    for (;;) {
        switch (cutter.next(record)) {
            case Next::record:
                if constexpr (requires { cutter.key(); }) batch.add(record, cutter.key());
                else batch.add(record);
                if (batch.text.size() >= limits.bytes || batch.records.size() >= limits.records) {
                    batch.seal();
                    return CutStatus::full;
                }
                break;
            case Next::end: batch.seal(); return CutStatus::end;
            case Next::error:
                batch.cut_error = cutter.error();
                batch.seal();
                return CutStatus::error;
        }
    }
}

// The hooks of a worker policy (see OrderedPool) whose threads never touch the interpreter: nothing to
// attach, detach or set up. A policy derives from it and hides what it needs.
struct PlainWorker {
    void enter(std::size_t) {}
    void leave(std::size_t) {}
    void detach(std::size_t) {}
    void attach(std::size_t) {}
};

// Where a pool's worker threads come from: `start` runs a body on a thread, `join` waits until every body
// started has returned. Called by the pool's owner only.
class Crew {
public:
    virtual ~Crew() = default;
    virtual void start(std::function<void()> body) = 0;
    virtual void join() = 0;
};

// A new thread per body, joined at the end: what a pool uses unless it is given another crew.
class OwnThreads final : public Crew {
public:
    void start(std::function<void()> body) override { threads_.emplace_back(std::move(body)); }
    void join() override {
        for (std::thread& thread : threads_)
            if (thread.joinable()) thread.join();
    }
    ~OwnThreads() override { join(); }

private:
    std::vector<std::thread> threads_;
};

// Worker threads that handle jobs in the order they are submitted and give them back in that order.
//
// `Worker` is the surface's policy, called on the worker threads (index `w` from 0):
//   void enter(std::size_t w);          first, once (make per-thread state)
//   void run(Job& job, std::size_t w);  for each job; may look at `stopping()` to give up early
//   void detach(std::size_t w);         before each wait for work, and attach(w) after it: a thread that
//   void attach(std::size_t w);         waits must not hold the interpreter (the caller may need it)
//   void leave(std::size_t w);          last, once
// No policy call is made with the pool's mutex held.
template <class Job, class Worker>
class OrderedPool {
public:
    // Starts `threads` workers (at least 1) on `crew` (which must outlive the pool; null: threads of the
    // pool's own); `depth` slots (at least `threads`).
    OrderedPool(Worker& worker, std::size_t threads, std::size_t depth, Crew* crew = nullptr)
        : worker_(worker),
          crew_(crew != nullptr ? *crew : own_threads_),
          threads_(std::max<std::size_t>(threads, 1)),
          slots_(std::max(depth, threads)),
          done_(slots_.size(), false) {
        for (std::size_t w = 0; w < threads_; ++w) crew_.start([this, w] { work(w); });
    }
    OrderedPool(const OrderedPool&) = delete;
    OrderedPool& operator=(const OrderedPool&) = delete;
    ~OrderedPool() { stop(); }

    // The slot to fill next, or null when every slot is in use.
    Job* free_slot() noexcept { return submitted_ - taken_ < slots_.size() ? &slots_[submitted_ % slots_.size()] : nullptr; }
    // Hands the filled free slot to the workers.
    void submit() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++submitted_;
        }
        work_ready_.notify_one();
    }
    // Jobs in the pool: submitted and not yet released.
    std::size_t in_flight() const noexcept { return submitted_ - taken_; }
    // Jobs submitted that no worker (nor the caller) has started yet.
    std::size_t waiting() {
        std::lock_guard<std::mutex> lock(mutex_);
        return submitted_ - started_;
    }

    // The oldest job once handled, waiting at most `timeout` for it; null on time-out or when the pool is
    // empty. The caller must not hold the interpreter while it waits (a worker may need it to finish).
    Job* front(std::chrono::milliseconds timeout) {
        if (taken_ == submitted_) return nullptr;
        const std::size_t slot = taken_ % slots_.size();
        std::unique_lock<std::mutex> lock(mutex_);
        // No wait at all for a zero timeout: a condition variable's timed wait may still sleep (measured:
        // on every other batch of a records() loop that caught up with its worker).
        const bool done = timeout.count() <= 0 ? static_cast<bool>(done_[slot])
                                               : job_done_.wait_for(lock, timeout, [&] { return static_cast<bool>(done_[slot]); });
        return done ? &slots_[slot] : nullptr;
    }
    // The oldest submitted job that no worker has started, now the caller's to handle itself (a caller
    // with nothing to do but wait for the front job helps instead); null when every submitted job is
    // started. The caller hands it back with finish_claimed.
    Job* claim() noexcept {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping() || started_ == submitted_) return nullptr;
        return &slots_[started_++ % slots_.size()];
    }
    // Marks a job from claim() handled: front() gives it back in its turn.
    void finish_claimed(const Job* job) {
        std::lock_guard<std::mutex> lock(mutex_);
        done_[static_cast<std::size_t>(job - slots_.data())] = true;
    }

    // Gives the front job's slot back for reuse.
    void release_front() {
        std::lock_guard<std::mutex> lock(mutex_);
        done_[taken_ % slots_.size()] = false;
        ++taken_;
    }

    // Set once stop() began: a running job may end early (its results are not used).
    bool stopping() const noexcept { return stop_.load(std::memory_order_relaxed); }

    // Stops the workers after their current job and joins them. Idempotent. The caller must not hold the
    // interpreter (a worker finishing its job may need it).
    void stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_.store(true, std::memory_order_relaxed);
        }
        work_ready_.notify_all();
        crew_.join();
    }

    std::size_t threads() const noexcept { return threads_; }

private:
    void work(std::size_t w) {
        worker_.enter(w);
        for (;;) {
            std::size_t job = 0;
            worker_.detach(w);
            {
                std::unique_lock<std::mutex> lock(mutex_);
                work_ready_.wait(lock, [&] { return stopping() || started_ < submitted_; });
                if (!stopping()) job = started_++;
            }
            worker_.attach(w);
            if (stopping()) break;
            const std::size_t slot = job % slots_.size();
            worker_.run(slots_[slot], w);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                done_[slot] = true;
            }
            job_done_.notify_all();
        }
        worker_.leave(w);
    }

    Worker& worker_;
    OwnThreads own_threads_;
    Crew& crew_;
    const std::size_t threads_;
    std::vector<Job> slots_;

    // Under mutex_ (submitted_ and taken_ are written only by the caller, under it; the caller reads them
    // without it).
    std::mutex mutex_;
    std::condition_variable work_ready_;  // workers wait on it
    std::condition_variable job_done_;    // the caller waits on it
    std::vector<char> done_;              // per slot: handled, not yet released
    std::size_t submitted_ = 0, started_ = 0, taken_ = 0;
    std::atomic<bool> stop_{false};
};

}  // namespace tovak::records
