// The pointer cutter: records found by the streaming validator (json/validate.hpp) instead of the element
// splitter. The whole input is validated as it streams; the records are the values at an RFC 6901 pointer
// (an array there gives its elements, an object its members with their keys, anything else itself) or,
// without a pointer, the elements of a top-level array or the single value of any other text. JSONL: the
// same on every line, each line validated alone (a line without the pointer is an error of that line).
//
// Records are handed out as text (Record, records/cutter.hpp) for the consumer to parse or to hand on raw;
// the text was validated, so a consumer's parser does not fail on it. Errors carry positions in the whole
// input: JSON errors end the reading (RecordError::fatal), a bad JSONL line is skipped by the next call.
//
// Fed chunks: a cutter made with `kFed` (one JSON text only) reads nothing itself; its owner hands it the
// input a chunk at a time (`feed`, or `fail_read` for a read that failed) and takes the records that end
// in it (`next_fed`) until it asks for the next chunk. A chunk is validated where it lies, not copied: a
// record inside it is a view of it, and the bytes of a record still open when the cutter asks for more are
// copied out first, so the chunk may be reused once `next_fed` has said so. This is how a worker thread
// cuts chunks that another thread reads (records/raw_ahead.hpp).
//
// Thread rule: a cutter and its reader belong to one owner and are used by one thread at a time; a
// record's text and key are valid until the next call. Nothing here touches the interpreter.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "json/pointer.hpp"
#include "json/validate.hpp"
#include "records/cutter.hpp"

namespace tovak::records {

// A pointer that matched nothing: how far it matched and what it found there.
struct PointerMiss {
    std::size_t matched = 0;        // tokens matched
    json::ValueKind value = json::ValueKind::null;  // the kind of value they led to
    std::uint64_t elements = 0;     // for an array: its number of elements
};

// "\"/data\" holds an object without member \"item\"", "\"/rows\" is a string, not a container", ...
std::string describe_miss(const json::Pointer& pointer, const PointerMiss& miss);

template <class Reader, class Rules>
class PointerCutter {
public:
    // `pointer` null: the top-level rule (JSON: the elements of an array, else the single value; JSONL:
    // each line). It must outlive the cutter. `options.cut` is lines (JSONL) or anything else (one JSON
    // text). `whole_target`: the value at the pointer is one record, whatever it is.
    PointerCutter(Reader reader, const json::Pointer* pointer, const RecordOptions& options, bool whole_target = false)
        : pointer_(pointer), lines_(options.cut == Cut::lines),
          whole_(whole_target || (lines_ && pointer == nullptr)) {
        if (lines_) {
            RecordOptions line_options = options;
            line_options.tolerance = Tolerance::strict;
            line_cutter_ = std::make_unique<RecordCutter<Reader>>(std::move(reader), line_options);
        } else {
            reader_.emplace(std::move(reader));
            chunk_.reset(new char[io::kChunkSize]);
            validator_ = make_validator();
            clock_.emplace(options);
        }
    }
    // A cutter of one JSON text whose chunks are fed to it (see the file comment); `next` is not for it.
    struct Fed {};
    static constexpr Fed kFed{};
    PointerCutter(Fed, const json::Pointer* pointer, bool whole_target = false)
        : pointer_(pointer), lines_(false), whole_(whole_target), validator_(make_validator()) {}
    PointerCutter(const PointerCutter&) = delete;
    PointerCutter& operator=(const PointerCutter&) = delete;

    Next next(Record& out) { return lines_ ? next_in_lines(out) : next_in_text(out); }

    // Fed cutter: the next record of the chunks fed so far, the end, the error; or nothing when every
    // record that ends in them has been handed out (the current chunk may then be reused): feed the next.
    std::optional<Next> next_fed(Record& out) {
        auto& events = validator_->events();
        while (next_event_ < events.size()) {
            const json::PointerEvent& event = events[next_event_++];
            if ((event.kind == json::PointerEvent::Kind::item_begin && !single_) ||
                (event.kind == json::PointerEvent::Kind::target_begin && single_candidate(event))) {
                gathered_.clear();
                gathering_ = true;
            }
            if (!take(event)) continue;
            gathering_ = false;
            return hand_out(out);
        }
        events.clear();
        next_event_ = 0;
        if (done_) {
            if (failed_) return fail_text();
            if (missed_) return fail_miss(RecordKind::document, 0, 0, 0, true);
            return Next::end;
        }
        // The open record's bytes in this chunk are kept before the chunk goes (once: this may be asked
        // again before the next feed).
        if (gathering_ && !chunk_kept_ && start_ < chunk_offset_ + chunk_len_) {
            const std::uint64_t from = std::max(start_, chunk_offset_);
            gathered_.append(chunk_data_ + (from - chunk_offset_), chunk_offset_ + chunk_len_ - from);
        }
        chunk_kept_ = true;
        return std::nullopt;
    }
    // Fed cutter: the next `size` bytes of the input (none: the end), valid until next_fed asks for more.
    // Ignored once the text has ended or failed. `utf8_checked`: as StreamValidator::feed has it.
    void feed(const char* data, std::size_t size, bool utf8_checked = false) {
        if (done_) return;
        chunk_offset_ += chunk_len_;
        chunk_len_ = size;
        chunk_data_ = data;
        chunk_kept_ = false;
        if (size == 0) {
            done_ = true;
            if (!validator_->finish()) failed_ = true;
        } else if (!validator_->feed(data, size, utf8_checked)) {
            if (validator_->failed()) done_ = failed_ = true;
        }
        if (failed_) drop_events_past_utf8_error();
    }
    // Fed cutter: the read of the next chunk failed; the error to report (ErrorKind::io). Feeding may go
    // on with the same read tried again.
    Next fail_read(io::IoError error) {
        fail_plain(ErrorKind::io);
        error_.io = std::move(error);
        return Next::error;
    }

    const RecordError& error() const noexcept { return error_; }

    // Records handed out or failed so far.
    std::uint64_t cuts() const noexcept { return number_; }

    // A consumer's syntax error in `record` (not reached on validated text), as a RecordError.
    static RecordError syntax_error(const Record& record, const json::ParseError& error) {
        return RecordCutter<Reader>::syntax_error(record, error);
    }
    // The miss behind the last error of kind ErrorKind::missing.
    const PointerMiss& miss() const noexcept { return miss_; }
    // The kind of the value at the pointer, once its start has been read (JSONL: on the last line read).
    json::ValueKind target() const noexcept { return target_; }
    // One JSON text: whether the events taken so far have started the value at the pointer and not ended it
    // (after an error: whether the error lies inside that value).
    bool target_open() const noexcept { return target_open_; }
    // The key of the last record, when it is a member of a target object.
    std::optional<std::string_view> key() const noexcept {
        if (!keyed_) return std::nullopt;
        return std::string_view(key_);
    }

private:
    std::unique_ptr<json::StreamValidator<Rules>> make_validator() const {
        if (pointer_ != nullptr) return std::make_unique<json::StreamValidator<Rules>>(*pointer_);
        return std::make_unique<json::StreamValidator<Rules>>(top_level_);  // navigates to the root
    }

    // Takes the next event; true when it completed a record (then `start_`/`end_`/`keyed_` describe it).
    bool take(const json::PointerEvent& event) {
        using Kind = json::PointerEvent::Kind;
        switch (event.kind) {
            case Kind::target_begin:
                // Without a pointer only an array is streamed; any other value is the one record.
                single_ = single_candidate(event);
                target_ = event.value;
                target_open_ = true;
                keyed_ = false;
                if (single_) start_ = event.offset;
                return false;
            case Kind::item_begin:
                if (single_) return false;
                start_ = event.offset;
                keyed_ = target_ == json::ValueKind::object;
                if (keyed_) key_ = event.key;
                return false;
            case Kind::item_end:
                if (single_) return false;
                end_ = event.offset;
                return true;
            case Kind::target_end:
                target_open_ = false;
                if (!single_) return false;
                end_ = event.offset;
                single_ = false;
                return true;
            case Kind::missing:
                missed_ = true;
                miss_ = PointerMiss{event.matched, event.value, event.index};
                return false;
        }
        return false;
    }

    Next fail_syntax(const json::ParseError& syntax, RecordKind kind, std::uint64_t record, std::uint64_t offset,
                     std::uint64_t line, std::uint64_t line_start, bool fatal) {
        error_ = RecordError{.kind = ErrorKind::syntax, .record_kind = kind, .record = record, .offset = offset,
                             .line = line, .line_start = line_start, .fatal = fatal, .syntax = syntax};
        return Next::error;
    }
    Next fail_miss(RecordKind kind, std::uint64_t record, std::uint64_t offset, std::uint64_t line, bool fatal) {
        error_ = RecordError{.kind = ErrorKind::missing, .record_kind = kind, .record = record, .offset = offset,
                             .line = line, .line_start = offset, .fatal = fatal};
        return Next::error;
    }

    // ---- one JSON text

    Next next_in_text(Record& out) {
        for (;;) {
            if (std::optional<Next> got = next_fed(out)) return *got;
            if (clock_->interrupted()) return fail_plain(ErrorKind::interrupted);
            io::ReadOutcome got = clock_->read([&] { return reader_->read(chunk_.get(), io::kChunkSize); });
            if (clock_->stopped()) return fail_plain(ErrorKind::interrupted);
            if (!got.ok()) return fail_read(std::move(*got.error));
            clock_->add(got.bytes);
            feed(chunk_.get(), got.bytes);
        }
    }

    // A UTF-8 error found in the last feed: the grammar pass went on past it, but no record may hold the
    // bad byte (the one that begins there is the record that fails) nor come after it.
    void drop_events_past_utf8_error() {
        const json::ParseError& error = validator_->error();
        if (error.message != json::message::invalid_utf8) return;
        auto& events = validator_->events();
        const std::uint64_t bad = error.offset - 1;
        std::size_t kept = next_event_;
        while (kept < events.size() && events[kept].offset <= bad) ++kept;
        events.resize(kept);
    }

    bool single_candidate(const json::PointerEvent& event) const noexcept {
        return whole_ || (event.value != json::ValueKind::array &&
                          (pointer_ == nullptr || event.value != json::ValueKind::object));
    }

    Next hand_out(Record& out) {
        std::string_view text;
        if (start_ >= chunk_offset_) {
            text = std::string_view(chunk_data_ + (start_ - chunk_offset_), end_ - start_);
        } else {
            gathered_.append(chunk_data_, end_ - chunk_offset_);
            text = gathered_;
        }
        out = Record{text, RecordKind::element, ++number_, start_, 0, 0, 0};
        return Next::record;
    }

    Next fail_plain(ErrorKind kind) {
        error_ = RecordError{.kind = kind, .record_kind = RecordKind::document, .record = number_ + 1,
                             .offset = chunk_offset_ + chunk_len_, .fatal = true};
        return Next::error;
    }

    // The validator's error: its position is in the whole text.
    Next fail_text() {
        const json::ParseError& syntax = validator_->error();
        const RecordKind kind = gathering_ ? RecordKind::element : RecordKind::document;
        return fail_syntax(syntax, kind, number_ + 1, 0, 1, 0, true);
    }

    // ---- JSONL: every line on its own

    Next next_in_lines(Record& out) {
        for (;;) {
            auto& events = line_events_;
            while (next_event_ < events.size()) {
                const json::PointerEvent& event = events[next_event_++];
                if (!take(event)) continue;
                std::string_view text = std::string_view(line_.text).substr(start_, end_ - start_);
                out = Record{text, RecordKind::line, ++number_, line_.offset + start_, line_.line, 0, line_.offset};
                return Next::record;
            }
            events.clear();
            next_event_ = 0;
            Next got = line_cutter_->next(line_);
            if (got == Next::end) return got;
            if (got == Next::error) {
                error_ = line_cutter_->error();
                number_ = std::max(number_, error_.record);
                return got;
            }
            const std::uint64_t record = line_.number;
            auto validator = make_validator();
            missed_ = false;
            single_ = false;
            if (!validator->feed(line_.text.data(), line_.text.size()) || !validator->finish()) {
                if (validator->failed()) {
                    number_ = std::max(number_, record);
                    return fail_syntax(validator->error(), RecordKind::line, record, line_.offset, line_.line,
                                       line_.offset, false);
                }
            }
            line_events_.swap(validator->events());
            for (const json::PointerEvent& event : line_events_) {
                if (event.kind != json::PointerEvent::Kind::missing) continue;
                miss_ = PointerMiss{event.matched, event.value, event.index};
                line_events_.clear();
                return fail_miss(RecordKind::line, record, line_.offset, line_.line, false);
            }
        }
    }

    json::Pointer top_level_;  // "": the root, for the top-level rule

    const json::Pointer* pointer_;
    bool lines_;
    bool whole_;
    RecordError error_;
    PointerMiss miss_;
    std::uint64_t number_ = 0;

    // One JSON text
    std::optional<Reader> reader_;
    std::optional<InterruptClock> clock_;
    std::unique_ptr<char[]> chunk_;  // what the cutter reads into (none when fed)
    const char* chunk_data_ = nullptr;  // the current chunk: chunk_'s bytes, or those fed
    std::size_t chunk_len_ = 0;
    bool chunk_kept_ = false;  // the open record's bytes in the current chunk are in gathered_
    std::uint64_t chunk_offset_ = 0;
    std::unique_ptr<json::StreamValidator<Rules>> validator_;
    std::size_t next_event_ = 0;
    json::ValueKind target_ = json::ValueKind::null;
    bool done_ = false, failed_ = false, missed_ = false, gathering_ = false, single_ = false, keyed_ = false;
    bool target_open_ = false;  // between the start and the end of the value at the pointer
    std::uint64_t start_ = 0, end_ = 0;
    std::string gathered_;  // a record that began in an earlier chunk
    std::string key_;

    // JSONL
    std::unique_ptr<RecordCutter<Reader>> line_cutter_;
    Record line_;
    std::vector<json::PointerEvent> line_events_;
};

}  // namespace tovak::records
