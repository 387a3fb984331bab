// The package's functions on several threads (`threads=`): the records of one source cut on the calling
// thread by the strict record cutter (or, under a pointer, the pointer cutter: the validator), parsed into
// Python objects by `threads - 1` worker threads and by the calling thread whenever it would wait
// (records/parallel.hpp; a member of an object as its (key, value) tuple), and handed out in file order
// with the serial path's errors; and the count: over ranges of the input that
// each worker reads for itself where the input can be read at any position (a plain file, bytes in memory;
// api/range_count.hpp, which bigjson's count uses too), else over ranges of whole lines the calling thread
// reads (JSONL).
//
// Parsing only where the interpreter runs without the GIL: there the workers build objects at the same
// time. With the GIL they would take turns (each holding it for a batch) and lose to one thread
// (worker_count). Counting workers never touch the interpreter, so they count on any build.
//
// Thread rule: a ParallelRecords belongs to one call or one Records object and is used by one thread at a
// time, attached to the interpreter; it is destroyed attached (it detaches while it stops its workers).
// The workers are the interpreter's resident ones (api/resident.hpp): each runs attached with its own
// thread state, detached while it waits.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>

#include "api/frame.hpp"
#include "api/py_sink.hpp"
#include "api/range_count.hpp"
#include "api/workers.hpp"
#include "api/reader/source.hpp"
#include "json/pointer.hpp"
#include "records/count.hpp"
#include "records/parallel.hpp"
#include "records/pointer_cutter.hpp"

namespace tovak::reader {

using api::kSignalPoll;
using api::stop_detached;
using api::wait_front;

// Binds `threads`: None gives 0 (automatic), else a positive int (at most kMaxThreads workers start).
Result<std::size_t> threads_argument(PyObject* threads);
inline constexpr std::size_t kMaxThreads = api::kMaxWorkers;

// The number of workers for `requested` (0: automatic) on `source`: 1 while the interpreter runs with the
// GIL; else `requested`, or for automatic, when the input's size is known and at least kParallelFrom bytes
// as stored, every core available to the process but at most one per kBytesPerAutomaticWorker; else 1.
// `spread`: false where automatic is 1, as measured on two cores: count (reading the input into the
// ranges costs as much as counting them).
Result<std::size_t> worker_count(std::size_t requested, const Source& source, bool spread);
inline constexpr std::uint64_t kParallelFrom = std::uint64_t{4} << 20;
inline constexpr std::uint64_t kBytesPerAutomaticWorker = std::uint64_t{2} << 20;

// Raw records of JSON (`raw=` of records), and records at a pointer parsed on the calling thread alone:
// whether one worker thread cuts them (validates, gathers: records/raw_ahead.hpp) while the calling thread
// reads, compacts and makes the objects. `requested`
// 1: no; else only for input of known size (a file or bytes, compressed or not): the calling thread reads
// a few chunks ahead, which on a pipe or a file object would hold back records already read; automatic
// (0): when that size is at least kParallelFrom and the process has two cores. On any build: the worker
// never touches the interpreter.
bool cuts_ahead(std::size_t requested, const Source& source);

// One step of ParallelRecords: a value, the end, or an error (the engine's, or a Python exception).
struct ParallelStep {
    enum class Kind { value, end, error };
    Kind kind = Kind::end;
    PyRef value;
    records::RecordError error;              // Kind::error without `raised`
    std::optional<Failure> raised;           // Kind::error: a Python exception (a signal, a failed allocation)
    const records::Record* record = nullptr;  // a parse error's record; valid until the next step
    std::uint64_t cut_after = 0;              // the cutter's errors: the number of the last record cut before
};

class ParallelRecords {
public:
    using PointerCutter = records::PointerCutter<Reader, json::PythonRules>;

    // Cuts `source` (which must outlive this) as `cut` says, strictly, and parses on `threads` threads:
    // `threads - 1` workers and the calling thread, in next(), while the oldest batch is not ready.
    // `gathered`: every value handed out is kept until the whole input is read (load): the workers leave
    // their trees off the collector's lists meanwhile (PyObjectSink::defer_tracking), and `keep()`, once
    // all are kept, has them put back when the workers stop. `at` (which must outlive this): the records
    // at that pointer, cut by the pointer cutter; `whole_target`: the value at it is one record.
    ParallelRecords(Source& source, records::Cut cut, std::size_t threads, bool gathered = false,
                    const json::Pointer* at = nullptr, bool whole_target = false);
    ParallelRecords(const ParallelRecords&) = delete;
    ParallelRecords& operator=(const ParallelRecords&) = delete;
    ~ParallelRecords();

    // The next record's value, the end, or the error the serial reader would meet at this point.
    ParallelStep next();

    // Without a pointer: whether the input is an array (its elements are the records).
    bool in_array() const noexcept { return cutter_ && cutter_->in_array(); }
    // With a pointer: its cutter (what a pointer that matched nothing matched).
    const PointerCutter* pointer_cutter() const noexcept { return pointer_cutter_.get(); }

    // Gathered values: every one handed out is alive and will stay so (see the constructor).
    void keep() noexcept;

    // A batch: the records cut, then what the worker made of them.
    struct Failed {
        std::size_t index;                   // of the record in the batch
        records::RecordError error;          // its syntax error, or
        std::optional<Failure> raised;       // the Python exception its parse met
    };
    struct Job {
        records::Batch batch;
        std::vector<PyRef> values;           // per record; null where it failed or was the unfinished last one
        std::vector<Failed> failures;        // in record order
        std::optional<Failure> cut_raised;   // the exception pending when the cutter failed (a signal)
    };

    class Workers;

private:
    // Cuts batches into the free slots; whether it cut any.
    bool fill();

    std::unique_ptr<records::RecordCutter<Reader>> cutter_;  // one of these two
    std::unique_ptr<PointerCutter> pointer_cutter_;
    records::BatchLimits limits_;
    std::unique_ptr<Workers> workers_;
    std::unique_ptr<records::OrderedPool<Job, Workers>> pool_;
    Job* current_ = nullptr;   // the batch being handed out
    std::size_t index_ = 0;    // its next record
    std::size_t failure_ = 0;  // its next entry of `failures`
    bool cut_error_met_ = false;
    std::uint64_t last_number_ = 0;  // of the last record of the batches handed out before current_
    bool paused_ = false;      // the cutter failed: nothing is cut until the caller has met that error
    bool ended_ = false;       // the cutter reached the end
};

// The non-blank lines of JSONL read from `reader`, counted on `threads` workers over ranges of whole lines;
// the same count, or the same failure, as records::count_lines.
records::CountOutcome count_lines_parallel(Reader& reader, const records::RecordOptions& options, std::size_t threads);

// The number of workers for a count: `requested`, or for automatic (0) one per kBytesPerCountWorker of an
// input that can be read at any position, at least kParallelCountFrom bytes as stored, up to the cores
// available; else 1.
std::size_t count_worker_count(std::size_t requested, const Source& source);

// The records of `source` (not yet read) counted over ranges of its bytes on `threads` workers, each
// reading its own ranges: the count, or the failure, that records::count_lines or count_elements give.
// Nothing when the source cannot be read at any position (compressed, a pipe, a file object), when a JSON
// text shows no `[` first in the bytes read for detection, or when the input fills less than two ranges.
// `range_size`: bytes per range (rounded up to a multiple of 64 for JSONL); 0 for a few per worker.
std::optional<records::CountOutcome> count_ranges_parallel(Source& source, const records::RecordOptions& options,
                                                           std::size_t threads, std::uint64_t range_size = 0);

}  // namespace tovak::reader
