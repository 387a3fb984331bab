#include "api/reader/stream.hpp"

#include <cstring>
#include <string>
#include <utility>

#include "api/reader/mod.hpp"
#include "json/check_sink.hpp"
#include "json/compact.hpp"
#include "json/printer.hpp"
#include "json/text.hpp"

namespace tovak::reader {

namespace {

// Bytes that end a run of plain bytes outside strings: white space and the quote.
std::string_view trim_json_space(std::string_view text) noexcept {
    std::size_t first = 0, last = text.size();
    while (first < last && json::is_space_byte(static_cast<unsigned char>(text[first]))) ++first;
    while (last > first && json::is_space_byte(static_cast<unsigned char>(text[last - 1]))) --last;
    return text.substr(first, last - first);
}

// A record's text as bytes, or (key, bytes) for a member of a target object.
Result<std::optional<PyRef>> raw_record(std::string_view text, std::optional<std::string_view> key) {
    PyRef value = PyRef::steal(PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!value) return Failure::from_python();
    if (!key) return std::optional<PyRef>(std::move(value));
    PyRef pair = member_pair(*key, value);
    if (!pair) return Failure::from_python();
    return std::optional<PyRef>(std::move(pair));
}

bool is_text(PyObject* obj, const char* text) {
    return PyUnicode_Check(obj) && PyUnicode_CompareWithASCIIString(obj, text) == 0;
}

}  // namespace

Result<StreamOptions> stream_options(PyObject* at, PyObject* errors, PyObject* raw) {
    StreamOptions options;
    if (at != nullptr && at != Py_None) {
        if (!PyUnicode_Check(at)) return Failure(PyExc_TypeError, "at must be a str (a JSON pointer) or None");
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(at, &size);
        if (text == nullptr) return Failure::from_python();
        json::Pointer pointer;
        json::PointerSyntaxError error;
        if (!json::parse_pointer(std::string_view(text, static_cast<std::size_t>(size)), pointer, error)) {
            return Failure(PyExc_ValueError, std::string(error.message) + " (at=" + std::string(text, size) +
                                                 ", character " + std::to_string(error.offset + 1) + ")");
        }
        options.at = std::move(pointer);
    }
    if (errors != nullptr && errors != Py_None) {
        if (is_text(errors, "skip")) options.skip = true;
        else if (!is_text(errors, "raise")) return Failure(PyExc_ValueError, "errors must be 'raise' or 'skip'");
    }
    if (raw != nullptr && raw != Py_None) {
        if (is_text(raw, "compact")) {
            options.raw = RawMode::compact;
        } else if (is_text(raw, "_lines")) {  // the command line's to-jsonl
            options.raw = RawMode::lines;
        } else if (PyBool_Check(raw)) {
            options.raw = raw == Py_True ? RawMode::exact : RawMode::none;
        } else {
            return Failure(PyExc_ValueError, "raw must be True, False or 'compact'");
        }
    }
    return options;
}

RecordStream::RecordStream(std::unique_ptr<Source> source, StreamOptions options)
    : source_(std::move(source)), options_(std::move(options)), parser_(sink_options()) {
    const records::RecordOptions record_options = source_->record_options(cut_of(source_->format()));
    Reader reader{io::ByteSourceRef(source_->bytes())};
    // Raw JSON records come from the validator too (faster than the parser checking each element); raw
    // JSONL lines from the strict cutter, each checked by the parser (no validator to set up per line).
    const bool lines = source_->format() == io::Format::jsonl;
    if (options_.cut_ahead && (options_.raw != RawMode::none || options_.at) && !lines && !options_.whole_target) {
        const std::uint64_t chunk = size_from_environment("TOVAK_RAW_CHUNK");
        ahead_ = std::make_unique<RawAhead>(options_.at ? &*options_.at : nullptr, chunk != 0 ? chunk : kAheadChunk,
                                            kAheadBatches, size_from_environment("TOVAK_JUDGE_AHEAD") != 0);
    } else if (options_.threads > 1 && options_.raw == RawMode::none && !options_.whole_target) {
        // Values on worker threads: the records of the top-level rule, or those at the pointer.
        parallel_ = std::make_unique<ParallelRecords>(*source_, cut_of(source_->format()), options_.threads, false,
                                                      options_.at ? &*options_.at : nullptr);
    } else if (options_.at || (options_.raw != RawMode::none && !lines)) {
        pointer_cutter_ = std::make_unique<PointerCutter>(std::move(reader), options_.at ? &*options_.at : nullptr,
                                                          record_options, options_.whole_target);
    } else {
        cutter_ = std::make_unique<Cutter>(std::move(reader), record_options);
    }
}

RecordStream::~RecordStream() {
    // The worker stops at its next record; it never needs the interpreter, which others may.
    if (ahead_) stop_detached(*ahead_);
}

std::optional<Failure> RecordStream::parallel_failure(ParallelStep& step) {
    if (step.raised) return std::move(*step.raised);
    return unskipped(step.error);
}

std::optional<Failure> RecordStream::unskipped(const records::RecordError& error) {
    if (skipped(error)) return std::nullopt;
    if (PyErr_Occurred()) return Failure::from_python();
    return failure(error);
}

records::Next RecordStream::cut(records::Record& record) {
    if (ahead_) return cut_ahead(record);
    return cutter_ ? cutter_->next(record) : pointer_cutter_->next(record);
}

const records::RecordError& RecordStream::cut_error() const {
    if (ahead_) return ahead_error_;
    return cutter_ ? cutter_->error() : pointer_cutter_->error();
}

std::optional<std::string_view> RecordStream::cut_key() const {
    if (ahead_) return ahead_key_;
    return pointer_cutter_ ? pointer_cutter_->key() : std::nullopt;
}

records::Next RecordStream::cut_ahead(records::Record& record) {
    for (;;) {
        if (ahead_batch_ == nullptr) {
            if (ahead_ended_) return records::Next::end;
            // A read that fails leaves its exception (a file's, a signal handler's) for the batch it ends.
            if (ahead_->fill(source_->bytes()) && PyErr_Occurred()) read_raised_ = Failure::from_python();
            ahead_batch_ = wait_front(*ahead_);
            if (ahead_batch_ == nullptr) {  // Ctrl-C: its exception is set; the batch is waited for again
                ahead_error_ = records::RecordError{.kind = records::ErrorKind::interrupted};
                return records::Next::error;
            }
            ahead_next_ = 0;
        }
        const records::RawBatch& batch = *ahead_batch_;
        if (ahead_next_ < batch.count()) {
            const std::size_t i = ahead_next_++;
            record = records::Record{batch.text(i), records::RecordKind::element};
            ahead_key_ = batch.key(i);
            return records::Next::record;
        }
        const records::RawBatch::End end = batch.end;
        if (end == records::RawBatch::End::error) {
            ahead_error_ = batch.error;
            ahead_miss_ = batch.miss;
            // Any error but a failed read ends the reading: its batch stays, met again at the next call.
            if (!batch.read_error || batch.error.kind != records::ErrorKind::io) return records::Next::error;
            // A failed read is reported once, then tried again, as the cutter on this thread does.
            if (read_raised_) std::exchange(read_raised_, std::nullopt)->raise();
            ahead_->resume();
        }
        ahead_ended_ = end == records::RawBatch::End::end;
        ahead_batch_ = nullptr;
        ahead_->release_front();
        if (end == records::RawBatch::End::end) return records::Next::end;
        if (end == records::RawBatch::End::error) return records::Next::error;
    }
}

Failure RecordStream::failure(const records::RecordError& error) const {
    if (error.kind != records::ErrorKind::missing) return source_->failure(error);
    const records::PointerMiss& miss = ahead_       ? ahead_miss_
                                       : parallel_ ? parallel_->pointer_cutter()->miss()
                                                   : pointer_cutter_->miss();
    return source_->pointer_failure(records::describe_miss(*options_.at, miss), error);
}

bool RecordStream::skipped(const records::RecordError& error) {
    const bool skippable = error.kind == records::ErrorKind::syntax || error.kind == records::ErrorKind::invalid_utf8 ||
                           error.kind == records::ErrorKind::missing;
    if (!options_.skip || !skippable || error.fatal || error.record_kind == records::RecordKind::document) return false;
    ++error_count_;
    if (error_count_ > kKeptErrors) return true;
    Failure kept = failure(error);
    if (kept.exception() == nullptr) return false;  // could not even make the exception: raise what happened
    if (!errors_) {
        errors_ = PyRef::steal(PyList_New(0));
        if (!errors_) return false;
    }
    if (PyList_Append(errors_.get(), kept.exception()) < 0) return false;
    return true;
}

Result<std::optional<std::string_view>> RecordStream::next_raw_text(std::optional<std::string_view>& key) {
    for (;;) {
        records::Record record;
        switch (cut(record)) {
            case records::Next::end: return std::optional<std::string_view>();
            case records::Next::error: {
                if (std::optional<Failure> failed = unskipped(cut_error())) return std::move(*failed);
                continue;
            }
            case records::Next::record: break;
        }
        std::string_view text = record.text;
        if (cutter_) {
            json::CheckSink check;
            json::ParseOutcome checked = json::parse<json::PythonRules>(text, check, scratch_);
            if (!checked.ok()) {
                if (std::optional<Failure> failed = unskipped(Cutter::syntax_error(record, checked.error)))
                    return std::move(*failed);
                continue;
            }
            if (record.unterminated) continue;
            // The text as written: elements and lines carry the white space around the value.
            text = trim_json_space(text);
        }
        if (options_.raw != RawMode::exact) {
            json::compact_text(text, compact_);
            text = compact_;
        }
        key = cut_key();
        return std::optional<std::string_view>(text);
    }
}

Result<std::optional<PyRef>> RecordStream::next_lines() {
    if (held_failure_) {
        Failure held = std::move(*held_failure_);
        held_failure_.reset();
        lines_ended_ = true;
        return held;
    }
    lines_.clear();
    while (!lines_ended_ && lines_.size() < kLinesChunk) {
        std::optional<std::string_view> key;
        Result<std::optional<std::string_view>> text = next_raw_text(key);
        if (!text) {
            if (lines_.empty()) return std::move(text).failure();
            held_failure_ = std::move(text).failure();
            break;
        }
        if (!text.value()) {
            lines_ended_ = true;
            break;
        }
        if (key) {
            lines_.push_back('{');
            json::print_string(*key, lines_);
            lines_.push_back(':');
            lines_.append(**text);
            lines_.push_back('}');
        } else {
            lines_.append(**text);
        }
        lines_.push_back('\n');
    }
    if (lines_.empty()) return std::optional<PyRef>();
    PyRef chunk = PyRef::steal(PyBytes_FromStringAndSize(lines_.data(), static_cast<Py_ssize_t>(lines_.size())));
    if (!chunk) return Failure::from_python();
    return std::optional<PyRef>(std::move(chunk));
}

Result<std::optional<PyRef>> RecordStream::next() {
    if (options_.raw == RawMode::lines) return next_lines();
    if (options_.raw != RawMode::none) {
        std::optional<std::string_view> key;
        Result<std::optional<std::string_view>> text = next_raw_text(key);
        if (!text) return std::move(text).failure();
        if (!text.value()) return std::optional<PyRef>();
        return raw_record(*text.value(), key);
    }
    while (parallel_) {
        ParallelStep step = parallel_->next();
        switch (step.kind) {
            case ParallelStep::Kind::end: return std::optional<PyRef>();
            case ParallelStep::Kind::value: return std::optional<PyRef>(std::move(step.value));
            case ParallelStep::Kind::error: break;
        }
        if (std::optional<Failure> failed = parallel_failure(step)) return std::move(*failed);
    }
    for (;;) {
        records::Record record;
        switch (cut(record)) {
            case records::Next::end: return std::optional<PyRef>();
            case records::Next::error: {
                if (std::optional<Failure> failed = unskipped(cut_error())) return std::move(*failed);
                continue;
            }
            case records::Next::record: break;
        }
        api::PyParsed parsed = parser_.parse(record.text);
        if (parsed.status == json::ParseStatus::sink_failed) return std::move(*parsed.raised);
        if (parsed.status == json::ParseStatus::syntax_error) {
            if (std::optional<Failure> failed = unskipped(Cutter::syntax_error(record, parsed.error)))
                return std::move(*failed);
            continue;
        }
        // The unfinished last element of an array that never closed: the next cut fails.
        if (record.unterminated) continue;
        PyRef value = std::move(parsed.value);
        std::optional<std::string_view> key = cut_key();
        if (key) {
            PyRef pair = member_pair(*key, value);
            if (!pair) return Failure::from_python();
            return std::optional<PyRef>(std::move(pair));
        }
        return std::optional<PyRef>(std::move(value));
    }
}

Result<std::uint64_t> RecordStream::count() {
    std::uint64_t counted = 0;
    for (;;) {
        records::Record record;
        switch (cut(record)) {
            case records::Next::end: return counted;
            case records::Next::error: {
                if (std::optional<Failure> failed = unskipped(cut_error())) return std::move(*failed);
                continue;
            }
            case records::Next::record: ++counted; break;
        }
    }
}

}  // namespace tovak::reader
