// The records of one source as the package's functions read them, with the options every function shares:
// `at` (an RFC 6901 pointer, or None for the top-level rule), `errors` ("raise" or "skip") and `raw`
// (False, True, "compact"). With `at`, and for raw JSON records, the records come from the pointer cutter
// (the streaming validator); otherwise from the strict record cutter (the element splitter; a raw JSONL
// line is checked by the parser with a sink that builds nothing). Skipped records'
// errors are kept (the first kKeptErrors as JSONError objects, and a count). Raw JSON records, and records at
// a pointer parsed on the calling thread, may be cut on a worker thread ahead of the caller (`cut_ahead`,
// records/raw_ahead.hpp): the same records, bytes and errors, in the same order.
//
// Thread rule: a RecordStream belongs to one call or one Records object and is used by one thread at a
// time, attached to the interpreter.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "api/frame.hpp"
#include "api/py_sink.hpp"
#include "api/reader/parallel.hpp"
#include "api/reader/source.hpp"
#include "json/pointer.hpp"
#include "records/cutter.hpp"
#include "records/pointer_cutter.hpp"
#include "records/raw_ahead.hpp"

namespace tovak::reader {

// `lines`: the command line's to-jsonl: the records compacted, each on a line of its own (a member of an
// object at the pointer as a one-member object), handed out as one bytes object per about kLinesChunk bytes.
enum class RawMode : std::uint8_t { none, exact, compact, lines };
inline constexpr std::size_t kLinesChunk = std::size_t{1} << 20;

struct StreamOptions {
    std::optional<json::Pointer> at;
    bool skip = false;           // errors="skip"
    RawMode raw = RawMode::none;
    bool whole_target = false;   // the value at the pointer is one record (load), not streamed
    std::size_t threads = 1;     // parsing threads (not for `raw` nor a whole target; see parallel.hpp)
    bool cut_ahead = false;      // raw or pointed-at JSON records: cut on a worker thread (cuts_ahead in parallel.hpp)
};

// Raw records cut ahead: input bytes read per batch (TOVAK_RAW_CHUNK, for tests, makes them a few bytes so
// that batch boundaries fall everywhere), and batches in the queue.
inline constexpr std::size_t kAheadChunk = std::size_t{1} << 20;
inline constexpr std::size_t kAheadBatches = 4;

// Binds the shared arguments (each may be null: its default). ValueError for a bad pointer, an unknown
// `errors` or `raw`.
Result<StreamOptions> stream_options(PyObject* at, PyObject* errors, PyObject* raw);

inline constexpr std::size_t kKeptErrors = 1000;

class RecordStream {
public:
    RecordStream(std::unique_ptr<Source> source, StreamOptions options);
    RecordStream(const RecordStream&) = delete;
    RecordStream& operator=(const RecordStream&) = delete;
    ~RecordStream();

    // The next record (a value, a (key, value) tuple for a member of a target object, or bytes when raw),
    // nothing at the end, or the failure that ends the reading.
    Result<std::optional<PyRef>> next();
    // The failure of a step of the parallel reader, or nothing when it is an error errors="skip" skips.
    std::optional<Failure> parallel_failure(ParallelStep& step);

    // Without parsing: the number of records left (errors skipped as `next` skips them). Only for a stream
    // made with one thread.
    Result<std::uint64_t> count();

    Source& source() noexcept { return *source_; }
    const Source& source() const noexcept { return *source_; }
    PyObject* errors() const noexcept { return errors_.get(); }
    std::uint64_t error_count() const noexcept { return error_count_; }
    api::PyParser& parser() noexcept { return parser_; }

    // The failure for an engine error on this stream (a pointer that matches nothing: PointerError).
    Failure failure(const records::RecordError& error) const;

private:
    using Cutter = records::RecordCutter<Reader>;
    using PointerCutter = records::PointerCutter<Reader, json::PythonRules>;
    using RawAhead = records::RawAhead<PointerCutter>;

    records::Next cut(records::Record& record);
    // The next record's text as raw reading gives it (checked, trimmed, compacted as the options say) and
    // its key; nothing at the end, or the failure that ends the reading. Valid until the next call.
    Result<std::optional<std::string_view>> next_raw_text(std::optional<std::string_view>& key);
    // RawMode::lines: the next chunk of lines. A failure after some records is held until the chunk with
    // them has been handed out.
    Result<std::optional<PyRef>> next_lines();
    // The cut of raw records cut ahead (cut() takes it): a record, the end, or an error (cut_error(); for
    // ErrorKind::interrupted the exception is set).
    records::Next cut_ahead(records::Record& record);
    // The key of the last record cut, when it is a member of a target object.
    std::optional<std::string_view> cut_key() const;
    const records::RecordError& cut_error() const;
    // Keeps a skippable error and says to go on; false: the error ends the reading.
    bool skipped(const records::RecordError& error);
    // Nothing when `error` is skipped (go on), else the failure that ends the reading.
    std::optional<Failure> unskipped(const records::RecordError& error);

    std::unique_ptr<Source> source_;
    StreamOptions options_;
    std::unique_ptr<Cutter> cutter_;
    std::unique_ptr<PointerCutter> pointer_cutter_;
    std::unique_ptr<ParallelRecords> parallel_;  // instead of cutter_, when threads parse
    std::unique_ptr<RawAhead> ahead_;             // instead of the cutters, when raw records are cut ahead
    const records::RawBatch* ahead_batch_ = nullptr;  // the batch being handed out
    std::size_t ahead_next_ = 0;                     // its next record
    std::optional<std::string_view> ahead_key_;      // the key of the last record
    records::RecordError ahead_error_;               // the error that ended a batch
    records::PointerMiss ahead_miss_;                // its miss, for ErrorKind::missing
    bool ahead_ended_ = false;                       // the batch with the end was handed out
    std::optional<Failure> read_raised_;             // the exception of the failed read a batch ends with
    api::PyParser parser_;
    PyRef errors_;
    std::uint64_t error_count_ = 0;
    std::string compact_;
    std::string lines_;                  // RawMode::lines: the chunk being filled
    std::optional<Failure> held_failure_;
    bool lines_ended_ = false;
    std::string scratch_;  // the parser's, when it checks raw records
};

}  // namespace tovak::reader
