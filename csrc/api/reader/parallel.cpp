#include "api/reader/parallel.hpp"

#include <chrono>
#include <exception>
#include <new>
#include <string>

#include "api/reader/mod.hpp"
#include "api/resident.hpp"
#include "records/range_count.hpp"

namespace tovak::reader {

namespace {

// Batches per parsing thread in the pool: one being parsed, one parsed waiting for the caller, one cut
// waiting to be parsed.
constexpr std::size_t kBatchesPerWorker = 3;

// JSONL count: whole lines of at least this many bytes per range.
constexpr std::size_t kCountRange = std::size_t{1} << 20;

bool gil_disabled() {
#ifdef Py_GIL_DISABLED
    PyObject* is_enabled = PySys_GetObject("_is_gil_enabled");  // borrowed
    if (is_enabled == nullptr) return true;
    PyRef enabled = PyRef::steal(PyObject_CallNoArgs(is_enabled));
    if (!enabled) {
        PyErr_Clear();
        return false;
    }
    return enabled.get() == Py_False;
#else
    return false;
#endif
}

}  // namespace

Result<std::size_t> threads_argument(PyObject* threads) {
    if (threads == nullptr || threads == Py_None) return std::size_t{0};
    if (PyBool_Check(threads) || !PyLong_Check(threads)) {
        return Failure(PyExc_TypeError,
                       std::string("threads must be a positive int or None, not '") + Py_TYPE(threads)->tp_name + "'");
    }
    int overflow = 0;
    const long long given = PyLong_AsLongLongAndOverflow(threads, &overflow);
    if (given == -1 && PyErr_Occurred()) return Failure::from_python();
    if (overflow < 0 || (overflow == 0 && given < 1)) {
        PyRef shown = PyRef::steal(PyObject_Repr(threads));
        if (!shown) return Failure::from_python();
        return Failure(PyExc_ValueError,
                       std::string("threads must be at least 1, not ") + PyUnicode_AsUTF8(shown.get()));
    }
    if (overflow > 0) return kMaxThreads;
    return std::min<std::size_t>(static_cast<std::size_t>(given), kMaxThreads);
}

Result<std::size_t> worker_count(std::size_t requested, const Source& source, bool spread) {
    // With the GIL the workers take turns building objects while the caller waits for them: measured on
    // 3.11, two threads ran records() at half the speed of one and load() at the same speed.
    if (!gil_disabled()) return std::size_t{1};
    if (requested != 0) return requested;
    if (!spread) return std::size_t{1};
    // A pipe or a file object: a batch waits until it is full, so a slow writer's records would come late.
    const std::optional<std::uint64_t> size = source.stored_size();
    if (!size || *size < kParallelFrom) return std::size_t{1};
    // Each worker should get a few batches: starting a thread and its thread state costs about as much as
    // parsing 100 KiB, and a worker with nothing to do is pure cost.
    return std::max<std::size_t>(1, std::min<std::uint64_t>(api::available_cores(), *size / kBytesPerAutomaticWorker));
}

bool cuts_ahead(std::size_t requested, const Source& source) {
    if (requested == 1 || source.format() != io::Format::json) return false;
    // The calling thread reads a few chunks ahead before it waits: a pipe or a file object would hold
    // back records already read until the writer sends more.
    const std::optional<std::uint64_t> size = source.stored_size();
    if (!size) return false;
    if (requested != 0) return true;
    return *size >= kParallelFrom && api::available_cores() >= 2;
}

// ---- records

namespace {

// Worker threads beside the calling thread, which parses too.
std::size_t worker_threads(std::size_t threads) noexcept { return std::max<std::size_t>(threads, 2) - 1; }

}  // namespace

// The parsing side: each worker thread runs attached with its own thread state (a resident worker's,
// api/resident.hpp) and parses with its own parser (and key cache), and so does the calling thread for
// the batches it claims, so no two threads share anything but the batches the pool hands over.
//
// Free-threaded build: an object a worker made is owned by it (biased reference counting), and when the
// consumer drops the last reference the object is queued for the worker to free; a thread does that only
// when it runs bytecode. So after each batch a worker runs a trivial code object, which frees what the
// consumer has dropped (and runs a collection scheduled on the worker): without it a records() iterator
// would keep every record it handed out until its workers stop.
class ParallelRecords::Workers {
public:
    Workers(std::size_t threads, bool gathered)
        : gathered_(gathered), saved_(threads, nullptr), parsers_(threads), caller_parser_(sink_options()) {
        if (gathered_) caller_parser_.defer_tracking();
    }

    records::Crew* crew() noexcept { return &crew_; }
    void set_pool(const records::OrderedPool<Job, Workers>* pool) noexcept { pool_ = pool; }
    void keep() noexcept { kept_ = true; }

    void enter(std::size_t w) {
        parsers_[w] = std::make_unique<api::PyParser>(sink_options());
        if (gathered_) parsers_[w]->defer_tracking();
    }
    void leave(std::size_t w) {
        // kept_ was set before stop(), whose lock this thread has taken since.
        if (gathered_ && kept_) parsers_[w]->track_deferred();
        parsers_[w].reset();  // its key cache holds str objects: released attached
    }
    void detach(std::size_t w) { saved_[w] = PyEval_SaveThread(); }
    void attach(std::size_t w) { api::reattach(saved_[w]); }

    // Not noexcept, nor what it calls: a thread the interpreter ends during finalization unwinds through
    // here (see reattach).
    void run(Job& job, std::size_t w) {
        parse(job, *parsers_[w]);
        settle();
    }

    // Parses a batch the calling thread claimed instead of waiting, with a parser of its own: the objects
    // it builds are its own, so the caller that frees them frees them locally and reuses their pages,
    // which objects built on a worker cost a cross-thread free and fresh pages for. No settle(): code
    // run here would run the caller's signal handlers and lose what they raise; the parser checks for
    // signals itself, as one thread does.
    void run_on_caller(Job& job) noexcept { parse(job, caller_parser_); }

    // On the calling thread, attached.
    ~Workers() {
        if (gathered_ && kept_) caller_parser_.track_deferred();
    }

private:
    // Parses every record of the batch; an exception (a failed allocation) is kept as the failure of the
    // record where it happened, and the rest of the batch is left unparsed: the caller stops there.
    void parse(Job& job, api::PyParser& parser) {
        const std::vector<records::Record>& cut = job.batch.records;
        job.values.clear();
        job.values.resize(cut.size());
        job.failures.clear();
        std::size_t i = 0;
        std::size_t since_pause = 0;
        try {
            for (; i < cut.size(); ++i) {
                if (pool_->stopping()) return;
                const records::Record& record = cut[i];
                since_pause += record.text.size() + kPauseRecordCost;
                if (since_pause >= kPauseEvery) {
                    pause();
                    since_pause = 0;
                }
                api::PyParsed parsed = parser.parse(record.text);
                switch (parsed.status) {
                    case json::ParseStatus::ok:
                        // The unfinished last element of an array that never closed: its error comes next.
                        if (record.unterminated) break;
                        if (const std::optional<std::string_view> key = job.batch.key(i)) {
                            PyRef member = member_pair(*key, parsed.value);
                            if (!member) {
                                job.failures.push_back(Failed{i, {}, Failure::from_python()});
                                break;
                            }
                            job.values[i] = std::move(member);
                        } else {
                            job.values[i] = std::move(parsed.value);
                        }
                        break;
                    case json::ParseStatus::syntax_error:
                        job.failures.push_back(
                            Failed{i, records::RecordCutter<Reader>::syntax_error(record, parsed.error), std::nullopt});
                        break;
                    case json::ParseStatus::sink_failed:
                        job.failures.push_back(Failed{i, {}, std::move(parsed.raised)});
                        break;
                }
            }
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            job.failures.push_back(Failed{i, {}, Failure::from_python()});
        } catch (const std::exception& fault) {
            PyErr_SetString(PyExc_RuntimeError, fault.what());
            job.failures.push_back(Failed{i, {}, Failure::from_python()});
        }
    }

    // A collection on the free-threaded build stops every attached thread first; a worker deep in a batch
    // would hold up the collecting thread (another worker, or the consumer) until its batch ends. Detaching
    // for a moment now and then lets a pending stop through (with the GIL: lets another thread run).
    static constexpr std::size_t kPauseEvery = 64 << 10;   // bytes of text parsed between two pauses
    static constexpr std::size_t kPauseRecordCost = 64;    // what a record counts beyond its text
    static void pause() { api::reattach(PyEval_SaveThread()); }

    // Runs the trivial code object (see the class comment).
    void settle() { crew_.settle(); }

    const bool gathered_;
    bool kept_ = false;
    api::ResidentCrew crew_;
    const records::OrderedPool<Job, Workers>* pool_ = nullptr;
    std::vector<PyThreadState*> saved_;
    std::vector<std::unique_ptr<api::PyParser>> parsers_;
    api::PyParser caller_parser_;  // the calling thread's
};

ParallelRecords::ParallelRecords(Source& source, records::Cut cut, std::size_t threads, bool gathered,
                                 const json::Pointer* at, bool whole_target)
    : cutter_(at ? nullptr
                 : std::make_unique<records::RecordCutter<Reader>>(Reader{io::ByteSourceRef(source.bytes())},
                                                                  source.record_options(cut))),
      pointer_cutter_(at ? std::make_unique<PointerCutter>(Reader{io::ByteSourceRef(source.bytes())}, at,
                                                           source.record_options(cut), whole_target)
                         : nullptr),
      limits_(gathered ? records::BatchLimits{} : records::kStreamedBatchLimits),
      // The calling thread is one of the `threads`: it parses whatever batch it would otherwise wait for.
      workers_(std::make_unique<Workers>(worker_threads(threads), gathered)),
      pool_(std::make_unique<records::OrderedPool<Job, Workers>>(*workers_, worker_threads(threads),
                                                                 threads * kBatchesPerWorker, workers_->crew())) {
    workers_->set_pool(pool_.get());
}

ParallelRecords::~ParallelRecords() {
    stop_detached(*pool_);
    pool_.reset();  // the batches' values are released here, attached
}

void ParallelRecords::keep() noexcept { workers_->keep(); }

bool ParallelRecords::fill() {
    bool cut = false;
    while (!ended_ && !paused_) {
        Job* job = pool_->free_slot();
        if (job == nullptr) break;
        job->cut_raised.reset();
        const records::CutStatus status = cutter_ ? records::cut_batch(*cutter_, job->batch, limits_)
                                                  : records::cut_batch(*pointer_cutter_, job->batch, limits_);
        if (status == records::CutStatus::end) ended_ = true;
        if (status == records::CutStatus::error) {
            paused_ = true;
            if (PyErr_Occurred()) job->cut_raised = Failure::from_python();
        }
        pool_->submit();
        cut = true;
    }
    return cut;
}

ParallelStep ParallelRecords::next() {
    for (;;) {
        if (current_ != nullptr) {
            Job& job = *current_;
            while (index_ < job.batch.records.size()) {
                const std::size_t i = index_++;
                if (job.values[i]) return ParallelStep{ParallelStep::Kind::value, std::move(job.values[i])};
                if (failure_ < job.failures.size() && job.failures[failure_].index == i) {
                    Failed& failed = job.failures[failure_++];
                    ParallelStep step{ParallelStep::Kind::error};
                    step.error = failed.error;
                    step.raised = std::move(failed.raised);
                    step.record = &job.batch.records[i];
                    return step;
                }
            }
            if (job.batch.cut_error && !cut_error_met_) {
                cut_error_met_ = true;
                paused_ = false;  // the cutter goes on (or tries the same read again) when asked next
                ParallelStep step{ParallelStep::Kind::error};
                step.error = *job.batch.cut_error;
                step.raised = std::move(job.cut_raised);
                step.cut_after = job.batch.records.empty() ? last_number_ : job.batch.records.back().number;
                return step;
            }
            if (!job.batch.records.empty()) last_number_ = job.batch.records.back().number;
            pool_->release_front();
            current_ = nullptr;
        }
        fill();
        if (pool_->in_flight() == 0) return ParallelStep{};
        Job* front = pool_->front(std::chrono::milliseconds{0});
        // Rather than wait for the oldest batch, parse the oldest one no worker has started, cutting
        // more first if every batch cut is started and slots are free.
        while (front == nullptr) {
            Job* claimed = pool_->claim();
            if (claimed == nullptr && fill()) claimed = pool_->claim();
            if (claimed == nullptr) {
                front = wait_front(*pool_);
                break;
            }
            workers_->run_on_caller(*claimed);
            pool_->finish_claimed(claimed);
            front = pool_->front(std::chrono::milliseconds{0});
        }
        if (front == nullptr) {
            ParallelStep step{ParallelStep::Kind::error};
            step.error.kind = records::ErrorKind::interrupted;
            step.raised = Failure::from_python();
            return step;
        }
        current_ = front;
        index_ = failure_ = 0;
        cut_error_met_ = false;
    }
}

// ---- JSONL count

namespace {

struct CountJob {
    std::string text;  // whole lines (the last range may end without a line feed)
    records::CountOutcome outcome;
};

// Counts each range alone: it starts at a line start, so the count of the whole is the sum.
struct CountWorkers : records::PlainWorker {
    void run(CountJob& job, std::size_t) noexcept {
        try {
            records::MemoryReader reader(job.text, {});
            job.outcome = records::count_lines(reader);
        } catch (...) {
            job.outcome = records::CountOutcome::failed(records::ErrorKind::io, io::IoError{ENOMEM});
        }
    }
};

}  // namespace

records::CountOutcome count_lines_parallel(Reader& reader, const records::RecordOptions& options, std::size_t threads) {
    CountWorkers workers;
    records::OrderedPool<CountJob, CountWorkers> pool(workers, threads, threads * kBatchesPerWorker);
    records::InterruptClock clock(options);
    std::uint64_t total = 0;
    std::optional<records::CountOutcome> failed;  // the first failure in input order
    // Takes the oldest range's count; false when a signal handler raised while waiting.
    auto take_front = [&]() -> bool {
        CountJob* job = wait_front(pool);
        if (job == nullptr) return false;
        if (!failed && !job->outcome.ok()) failed = std::move(job->outcome);
        total += job->outcome.count;
        pool.release_front();
        return true;
    };
    auto interrupted = [&] {
        stop_detached(pool);
        return records::CountOutcome::failed(records::ErrorKind::interrupted);
    };
    std::string carry;  // the unfinished line after the last range
    std::optional<records::CountOutcome> read_failed;
    bool ended = false;
    while (!ended && !failed) {
        CountJob* job = pool.free_slot();
        if (job == nullptr) {
            if (!take_front()) return interrupted();
            continue;
        }
        job->text.swap(carry);
        carry.clear();
        std::size_t cut = std::string::npos;  // the range's last line feed
        for (std::size_t want = kCountRange; !ended && cut == std::string::npos; want *= 2) {
            while (job->text.size() < want) {
                const std::size_t held = job->text.size();
                job->text.resize(held + io::kChunkSize * 4);
                io::ReadOutcome got = clock.read([&] { return reader.read(job->text.data() + held, io::kChunkSize * 4); });
                job->text.resize(held + got.bytes);
                if (clock.stopped()) return interrupted();
                if (!got.ok()) {
                    // The complete lines before the failed read are counted first: an ill-formed one wins.
                    read_failed = records::CountOutcome::failed(records::ErrorKind::io, std::move(*got.error));
                    ended = true;
                    break;
                }
                if (got.bytes == 0) {
                    ended = true;
                    break;
                }
                if (clock.tick(got.bytes)) return interrupted();
            }
            cut = job->text.rfind('\n');
        }
        if (ended) {
            // At the end the unfinished line is the last record; after a failed read it is never complete.
            if (read_failed && cut != std::string::npos) job->text.resize(cut + 1);
            else if (read_failed) job->text.clear();
        } else {
            carry.assign(job->text, cut + 1);
            job->text.resize(cut + 1);
        }
        pool.submit();
    }
    while (pool.in_flight() != 0)
        if (!take_front()) return interrupted();
    if (failed) return std::move(*failed);
    if (read_failed) return std::move(*read_failed);
    return records::CountOutcome{total, std::nullopt};
}

// ---- Count over ranges read by the workers

std::size_t count_worker_count(std::size_t requested, const Source& source) {
    if (requested != 0) return requested;
    if (!source.readable_anywhere()) return 1;
    const std::optional<std::uint64_t> size = source.stored_size();
    if (!size) return 1;
    return api::automatic_count_threads(*size);
}

std::optional<records::CountOutcome> count_ranges_parallel(Source& source, const records::RecordOptions& options,
                                                           std::size_t threads, std::uint64_t range_size) {
    const std::optional<io::PositionalBytes> input = source.bytes().positional();
    if (!input) return std::nullopt;
    const bool lines = source.format() == io::Format::jsonl;
    std::uint64_t first = 0;
    if (!lines) {
        const std::optional<std::uint64_t> bracket = source.array_start();
        if (!bracket) return std::nullopt;  // not an array, or white space longer than detection read
        first = *bracket + 1;
    }
    return api::count_ranges(*input, lines, first, options, threads, range_size);
}

}  // namespace tovak::reader
