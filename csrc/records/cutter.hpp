// The record cutter: the one loop that reads an input and hands out its records one at a time, each with
// its text, its kind, its number and where it starts. What a record is (JSONL lines, the elements of a
// top-level array or its single value, the whole input as one document) is chosen once, from the options,
// when the cutter is built. Consumers (count aside, every reader of records: load, iter_records, the schema
// sampler) say only what to do with each record and when to stop; they parse the text themselves and turn
// a syntax error into a RecordError with `syntax_error`.
//
// Reading: lines come from the reader's `read_line`; elements from chunks of io::kChunkSize bytes indexed
// by the splitter in one batch each, parsed in place when a record lies in one chunk and gathered into one
// buffer when it straddles chunks; a document is read whole into one buffer sized from the reader's size
// hint. Memory stays at one chunk plus the longest record (or the document).
//
// After an error the cutter goes on: a read error is tried again by the next call (the same read), a line
// that is not UTF-8 is skipped, and a consumer's syntax error does not touch the cutter at all.
//
// Thread rule: a cutter and its reader belong to one owner and are used by one thread at a time; the
// record's text is valid until the next call. Nothing here touches the interpreter (the interrupt check of
// the options is the caller's function).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "io/read.hpp"
#include "json/text.hpp"
#include "records/error.hpp"
#include "records/options.hpp"
#include "records/splitter.hpp"

namespace tovak::records {

// One record as handed out.
struct Record {
    // The text to parse: valid UTF-8. Lines and elements are trimmed of Unicode white space (elements with
    // ill-formed UTF-8 repaired first); a document is the whole input as read. Valid until the next call.
    std::string_view text;
    RecordKind kind = RecordKind::line;
    std::uint64_t number = 0;  // from 1, over every record handed out or failed (a line that is not UTF-8)
    std::uint64_t offset = 0;  // byte offset in the input of the record's first byte, before trimming
    std::uint64_t line = 0;    // line of that byte, from 1 (0 for elements unless the options track lines)
    std::uint64_t lead = 0;    // bytes trimmed before `text` (0 when the text was repaired)
};

enum class Next { record, end, error };

template <class Reader>
class RecordCutter {
public:
    RecordCutter(Reader reader, const RecordOptions& options)
        : options_(options), clock_(options), reader_(std::move(reader)) {
        switch (options.cut) {
            case Cut::lines: next_ = &RecordCutter::next_line; break;
            case Cut::elements:
                next_ = &RecordCutter::next_element;
                chunk_.reset(new char[io::kChunkSize]);
                break;
            case Cut::document: next_ = &RecordCutter::next_document; break;
        }
    }
    RecordCutter(const RecordCutter&) = delete;
    RecordCutter& operator=(const RecordCutter&) = delete;

    // The next record into `out`, the end, or an error (then `error()` says what).
    Next next(Record& out) { return (this->*next_)(out); }

    const RecordError& error() const noexcept { return error_; }

    // A consumer's syntax error in `record`, as a RecordError.
    static RecordError syntax_error(const Record& record, const json::ParseError& error) {
        return RecordError{.kind = ErrorKind::syntax, .record_kind = record.kind, .record = record.number,
                           .offset = record.offset, .line = record.line, .lead = record.lead, .syntax = error};
    }

    // Bytes consumed for progress: the chunks read (elements, document), or the lines handed out or
    // skipped as blank (lines; a line that is not UTF-8 is not counted).
    std::uint64_t bytes_read() const noexcept { return bytes_read_; }

    // How many records were cut so far, blank ones included (elements only): lets a consumer stop at the
    // first element whatever it holds.
    std::uint64_t cuts() const noexcept { return cuts_; }

    const Reader& reader() const noexcept { return reader_; }

private:
    using NextFn = Next (RecordCutter::*)(Record&);

    Next fail(ErrorKind kind, RecordKind record_kind, std::uint64_t offset, std::uint64_t line) {
        error_ = RecordError{.kind = kind, .record_kind = record_kind, .record = number_ + 1, .offset = offset,
                             .line = line};
        return Next::error;
    }
    Next fail_read(io::IoError&& io, RecordKind record_kind, std::uint64_t offset, std::uint64_t line) {
        fail(ErrorKind::io, record_kind, offset, line);
        error_.io = std::move(io);
        return Next::error;
    }

    // ---- lines

    Next next_line(Record& out) {
        for (;;) {
            if (clock_.interrupted()) return fail(ErrorKind::interrupted, RecordKind::line, offset_, lines_ + 1);
            line_.clear();
            io::ReadOutcome got = clock_.read([&] { return reader_.read_line(line_); });
            const std::uint64_t start = offset_, line = lines_ + 1;
            offset_ += got.bytes;
            clock_.add(got.bytes);
            if (got.bytes != 0 && line_.back() == '\n') ++lines_;
            if (clock_.stopped()) return fail(ErrorKind::interrupted, RecordKind::line, start, line);
            if (!got.ok()) return fail_read(std::move(*got.error), RecordKind::line, start, line);
            if (got.bytes == 0) return Next::end;
            if (!json::is_valid_utf8(line_)) {
                Next failed = fail(ErrorKind::invalid_utf8, RecordKind::line, start, line);
                ++number_;
                return failed;
            }
            bytes_read_ += got.bytes;
            std::string_view text = json::trim_unicode_space(line_);
            if (text.empty()) continue;
            out = Record{text, RecordKind::line, ++number_, start, line,
                         static_cast<std::uint64_t>(text.data() - line_.data())};
            return Next::record;
        }
    }

    // ---- elements

    // The line of chunk position `pos` (not before the last one asked for), when lines are tracked.
    std::uint64_t line_at(std::size_t pos) noexcept {
        if (!options_.track_lines) return 0;
        const char* chunk = chunk_.get();
        lines_ += static_cast<std::uint64_t>(std::count(chunk + counted_to_, chunk + pos, '\n'));
        counted_to_ = pos;
        return lines_ + 1;
    }

    // Hands out the bytes gathered for an element that straddled chunks (or the single document), unless
    // they are blank; `kind` says which.
    Next gathered(Record& out, std::string_view raw, RecordKind kind, std::uint64_t offset, std::uint64_t line) {
        ++cuts_;
        std::string_view text = json::clean_element(raw, clean_);
        if (text.empty()) return Next::end;
        const bool inside = text.data() >= raw.data() && text.data() <= raw.data() + raw.size();
        out = Record{text, kind, ++number_, offset, line, inside ? static_cast<std::uint64_t>(text.data() - raw.data()) : 0};
        return Next::record;
    }

    Next next_element(Record& out) {
        if (spent_) element_.clear();  // the last record's gathered bytes, parsed by now
        spent_ = false;
        while (!done_) {
            if (next_end_ < split_.ends.size()) {
                const std::size_t start = piece_, end = split_.ends[next_end_++];
                piece_ = end + 1;
                if (split_.closed && next_end_ == split_.ends.size()) done_ = true;  // nothing counts after `]`
                std::string_view raw(chunk_.get() + start, end - start);
                std::uint64_t offset = chunk_offset_ + start, line = 0;
                if (element_.empty()) {
                    line = line_at(start);
                } else {  // the element began in an earlier chunk
                    element_.append(raw);
                    raw = element_;
                    offset = element_offset_;
                    line = element_line_;
                    spent_ = true;
                }
                Next got = gathered(out, raw, RecordKind::element, offset, line);
                if (got == Next::record) return got;
                element_.clear();
                spent_ = false;
                continue;
            }
            if (!need_read_) {
                // The chunk's ends are used up: its tail starts (or goes on with) an element.
                if (!split_.closed && piece_ < chunk_len_) {
                    if (element_.empty()) {
                        element_offset_ = chunk_offset_ + piece_;
                        element_line_ = line_at(piece_);
                    }
                    element_.append(chunk_.get() + piece_, chunk_len_ - piece_);
                }
                need_read_ = true;
            }
            if (clock_.interrupted())
                return fail(ErrorKind::interrupted, RecordKind::element, chunk_offset_ + chunk_len_, 0);
            io::ReadOutcome got = clock_.read([&] { return reader_.read(chunk_.get(), io::kChunkSize); });
            if (clock_.stopped())
                return fail(ErrorKind::interrupted, RecordKind::element, chunk_offset_ + chunk_len_, 0);
            if (!got.ok())
                return fail_read(std::move(*got.error), RecordKind::element, chunk_offset_ + chunk_len_, 0);
            if (got.bytes == 0) {
                done_ = true;
                // An unfinished element of an array that never closes is dropped; a single document (or
                // nothing at all) is handed out now.
                if (splitter_.in_array()) return Next::end;
                spent_ = true;
                return gathered(out, element_, RecordKind::document, element_offset_, element_line_);
            }
            line_at(chunk_len_);  // the rest of the chunk before this one
            chunk_offset_ += chunk_len_;
            chunk_len_ = got.bytes;
            counted_to_ = 0;
            bytes_read_ += got.bytes;
            clock_.add(got.bytes);
            splitter_.split(chunk_.get(), chunk_len_, split_);
            next_end_ = 0;
            piece_ = split_.begin;
            need_read_ = false;
        }
        return Next::end;
    }

    // ---- document

    Next next_document(Record& out) {
        if (done_) return Next::end;
        if (!document_) {
            // Sized from the input's size hint, plus room to notice an input that grew; doubled otherwise.
            capacity_ = static_cast<std::size_t>(reader_.size().value_or(0)) + 4096;
            document_.reset(new char[capacity_]);
        }
        for (;;) {
            if (filled_ == capacity_) {
                std::unique_ptr<char[]> larger(new char[capacity_ * 2]);
                std::memcpy(larger.get(), document_.get(), filled_);
                document_ = std::move(larger);
                capacity_ *= 2;
            }
            if (clock_.interrupted()) return fail(ErrorKind::interrupted, RecordKind::document, filled_, 0);
            io::ReadOutcome got =
                clock_.read([&] { return reader_.read(document_.get() + filled_, capacity_ - filled_); });
            if (clock_.stopped()) return fail(ErrorKind::interrupted, RecordKind::document, filled_, 0);
            if (!got.ok()) return fail_read(std::move(*got.error), RecordKind::document, filled_, 0);
            if (got.bytes == 0) break;
            filled_ += got.bytes;
            bytes_read_ += got.bytes;
            clock_.add(got.bytes);
        }
        done_ = true;
        std::string_view text(document_.get(), filled_);
        if (!json::is_valid_utf8(text)) return fail(ErrorKind::invalid_utf8, RecordKind::document, 0, 1);
        out = Record{text, RecordKind::document, ++number_, 0, 1};
        return Next::record;
    }

    // Configuration
    RecordOptions options_;
    NextFn next_ = nullptr;

    // The input and where reading stands
    InterruptClock clock_;
    Reader reader_;
    std::uint64_t bytes_read_ = 0;
    std::uint64_t offset_ = 0;  // lines: bytes consumed
    std::uint64_t lines_ = 0;   // line feeds consumed (elements: counted up to `counted_to_` when tracked)
    std::uint64_t number_ = 0;  // records handed out or failed
    std::uint64_t cuts_ = 0;
    bool done_ = false;
    RecordError error_;

    // Scratch, reused from record to record
    std::string line_;                  // lines: the current line
    std::unique_ptr<char[]> chunk_;     // elements: the current chunk
    std::size_t chunk_len_ = 0;
    std::uint64_t chunk_offset_ = 0;    // input offset of the chunk's first byte
    std::size_t counted_to_ = 0;        // chunk position up to which line feeds are counted
    ElementSplitter splitter_;
    ChunkSplit split_;                  // the chunk's record ranges
    std::size_t next_end_ = 0;          // the next of split_.ends to hand out
    std::size_t piece_ = 0;             // where the next range starts in the chunk
    bool need_read_ = true;             // the chunk is used up (its tail gathered)
    std::string element_;               // an element that straddles chunks, or the single document
    std::uint64_t element_offset_ = 0;  // where it starts in the input
    std::uint64_t element_line_ = 0;
    bool spent_ = false;                // element_ was handed out; cleared on the next call
    std::string clean_;                 // an element's text repaired when its bytes were not UTF-8
    std::unique_ptr<char[]> document_;  // document: the whole input
    std::size_t capacity_ = 0, filled_ = 0;
};

}  // namespace tovak::records
