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
// Strict mode (RecordOptions::tolerance) checks what lies between and around the records as it cuts them
// (see Tolerance) and leaves each record's own grammar to the consumer's parser, so it costs one count of
// line feeds per chunk and nothing per byte otherwise.
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
#include "json/check_sink.hpp"
#include "json/parser.hpp"
#include "json/text.hpp"
#include "json/validate.hpp"
#include "records/document_buffer.hpp"
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
    std::uint64_t line_start = 0;  // input offset of the first byte of `line` (when `line` is known)
    // Strict elements: the last element of an array that never closed. Its end is not known, so a parse
    // error in it ends the reading; when it parses, the next call fails with "EOF while parsing a list".
    bool unterminated = false;
    // Elements: the byte that ended the element (`,` or `]`); 0 for the unfinished last one and other kinds.
    char terminator = 0;
};

enum class Next { record, end, error };

template <class Reader>
class RecordCutter {
public:
    RecordCutter(Reader reader, const RecordOptions& options)
        : options_(options), strict_(options.tolerance == Tolerance::strict),
          track_(options.track_lines || strict_), clock_(options), reader_(std::move(reader)) {
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
                           .offset = record.offset, .line = record.line, .line_start = record.line_start,
                           .fatal = record.unterminated || record.kind == RecordKind::document, .lead = record.lead,
                           .syntax = error};
    }

    // Bytes consumed for progress: the chunks read (elements, document), or the lines handed out or
    // skipped as blank (lines; a line that is not UTF-8 is not counted).
    std::uint64_t bytes_read() const noexcept { return bytes_read_; }

    // How many records were cut so far, blank ones included (elements only): lets a consumer stop at the
    // first element whatever it holds.
    std::uint64_t cuts() const noexcept { return cuts_; }

    const Reader& reader() const noexcept { return reader_; }

    // Elements: the first significant byte was `[` (false also while only white space has been read).
    bool in_array() const noexcept { return splitter_.in_array(); }

private:
    using NextFn = Next (RecordCutter::*)(Record&);

    Next fail(ErrorKind kind, RecordKind record_kind, std::uint64_t offset, std::uint64_t line) {
        error_ = RecordError{.kind = kind, .record_kind = record_kind, .record = number_ + 1, .offset = offset,
                             .line = line};
        return Next::error;
    }
    // A strict-mode failure at input offset `at` (on `line`, which starts at `line_start`) that no parser
    // reports: `message` is one of the parser's (json::message).
    Next fail_at(const char* message, RecordKind record_kind, std::uint64_t record, std::uint64_t at,
                 std::uint64_t line, std::uint64_t line_start) {
        const bool at_end = std::string_view(message).starts_with("EOF");
        error_ = RecordError{.kind = ErrorKind::syntax, .record_kind = record_kind, .record = record, .offset = at,
                             .line = line, .line_start = line_start, .fatal = true,
                             .syntax = json::ParseError{message, 1, at_end ? 0u : 1u, at_end ? 0u : 1u}};
        return Next::error;
    }

    // Strict mode: `text` (starting at input offset `offset`, on `line` starting at `line_start`) is not
    // UTF-8; fails at its first bad byte as record `record`.
    Next fail_utf8(std::string_view text, RecordKind record_kind, std::uint64_t record, std::uint64_t offset,
                   std::uint64_t line, std::uint64_t line_start) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
        std::int64_t bad = json::validate_detail::first_ill_formed_utf8(nullptr, 0, bytes, text.size(), true);
        if (bad < 0 || static_cast<std::uint64_t>(bad) > text.size()) bad = 0;
        const unsigned char* after_last = nullptr;
        const std::size_t feeds = json::validate_detail::count_line_feeds(bytes, bytes + bad, after_last);
        if (feeds != 0) {
            line += feeds;
            line_start = offset + static_cast<std::uint64_t>(after_last - bytes);
        }
        error_ = RecordError{.kind = ErrorKind::invalid_utf8, .record_kind = record_kind, .record = record,
                             .offset = offset + static_cast<std::uint64_t>(bad), .line = line, .line_start = line_start,
                             .fatal = record_kind == RecordKind::document};
        return Next::error;
    }

    // Only JSON white space (space, tab, line feed, carriage return).
    static bool blank(std::string_view text) noexcept {
        for (const char c : text)
            if (!json::is_space_byte(static_cast<unsigned char>(c))) return false;
        return true;
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
                ++number_;
                if (strict_) return fail_utf8(line_, RecordKind::line, number_, start, line, start);
                Next failed = fail(ErrorKind::invalid_utf8, RecordKind::line, start, line);
                error_.record = number_;
                return failed;
            }
            bytes_read_ += got.bytes;
            if (strict_) {
                if (blank(line_)) continue;
                out = Record{line_, RecordKind::line, ++number_, start, line, 0, start};
                return Next::record;
            }
            std::string_view text = json::trim_unicode_space(line_);
            if (text.empty()) continue;
            out = Record{text, RecordKind::line, ++number_, start, line,
                         static_cast<std::uint64_t>(text.data() - line_.data()), start};
            return Next::record;
        }
    }

    // ---- elements

    // The line of chunk position `pos` (not before the last one asked for), when lines are tracked; the
    // start of that line goes to `line_start_`.
    std::uint64_t line_at(std::size_t pos) noexcept {
        if (!track_) return 0;
        const auto* bytes = reinterpret_cast<const unsigned char*>(chunk_.get()) + counted_to_;
        const std::size_t size = pos > counted_to_ ? pos - counted_to_ : 0;
        const unsigned char* after_last = nullptr;
        const std::size_t feeds = json::validate_detail::count_line_feeds(bytes, bytes + size, after_last);
        if (feeds != 0) {
            lines_ += feeds;
            line_start_ = chunk_offset_ + counted_to_ + static_cast<std::uint64_t>(after_last - bytes);
        }
        counted_to_ = std::max(counted_to_, pos);
        return lines_ + 1;
    }

    // Hands out the bytes gathered for an element that straddled chunks (or the single document), unless
    // they are blank; `kind` says which.
    Next gathered(Record& out, std::string_view raw, RecordKind kind, std::uint64_t offset, std::uint64_t line,
                  std::uint64_t line_start) {
        ++cuts_;
        if (strict_) {
            if (!json::is_valid_utf8(raw)) return fail_utf8(raw, kind, ++number_, offset, line, line_start);
            // `[]` (white space inside allowed) has no element; any other blank element is handed out for
            // the parser to reject.
            // Input with no value at all has no record, as JSONL without a line has none.
            if (kind == RecordKind::element && cuts_ == 1 && done_ && blank(raw)) return Next::end;
            if (kind == RecordKind::document && blank(raw)) return Next::end;
            out = Record{raw, kind, ++number_, offset, line, 0, line_start};
            return Next::record;
        }
        std::string_view text = json::clean_element(raw, clean_);
        if (text.empty()) return Next::end;
        const bool inside = text.data() >= raw.data() && text.data() <= raw.data() + raw.size();
        out = Record{text, kind, ++number_, offset, line,
                     inside ? static_cast<std::uint64_t>(text.data() - raw.data()) : 0, line_start_};
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
                std::uint64_t offset = chunk_offset_ + start, line = 0, line_start = 0;
                if (element_.empty()) {
                    line = line_at(start);
                    line_start = line_start_;
                } else {  // the element began in an earlier chunk
                    element_.append(raw);
                    raw = element_;
                    offset = element_offset_;
                    line = element_line_;
                    line_start = element_line_start_;
                    spent_ = true;
                }
                Next got = gathered(out, raw, RecordKind::element, offset, line, line_start);
                if (got == Next::record) out.terminator = chunk_[end];
                if (got != Next::end) return got;
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
                        element_line_start_ = line_start_;
                        next_check_ = kFirstCheck;
                    }
                    element_.append(chunk_.get() + piece_, chunk_len_ - piece_);
                    if (strict_ && element_.size() >= next_check_ && broken_prefix()) return broken(out);
                }
                need_read_ = true;
            }
            const Next read = read_chunk(RecordKind::element);
            if (read == Next::error) return read;
            if (read == Next::end) {
                done_ = true;
                // An unfinished element of an array that never closes is dropped (strict: handed out,
                // marked, then the array's end fails); a single document (or nothing at all) is handed out
                // now.
                if (splitter_.in_array()) return strict_ ? unclosed(out) : Next::end;
                spent_ = true;
                return gathered(out, element_, RecordKind::document, element_offset_, element_line_,
                                element_line_start_);
            }
            splitter_.split(chunk_.get(), chunk_len_, split_);
            next_end_ = 0;
            piece_ = split_.begin;
            need_read_ = false;
        }
        if (strict_ && pending_eof_) {
            pending_eof_ = false;
            return fail_at(json::message::eof_list, RecordKind::element, number_, chunk_offset_ + chunk_len_,
                           end_line_, end_line_start_);
        }
        if (strict_ && split_.closed && !trailing_checked_) return check_trailing();
        return Next::end;
    }

    // Strict: whether the element gathered so far already fails well before its end, so that no later
    // byte can mend it (a stray bracket or quote would otherwise gather the rest of the input). Asked at
    // sizes growing fourfold, so a long element costs at most a third of a parse more.
    bool broken_prefix() {
        next_check_ = element_.size() * 4;
        json::CheckSink sink;
        const json::ParseOutcome checked = json::parse<json::PythonRules>(element_, sink, clean_);
        return !checked.ok() && !std::string_view(checked.error.message).starts_with("EOF") &&
               checked.error.offset + kCheckMargin < element_.size();
    }

    // Hands out the broken element for the consumer's parser to reject; nothing after it is read.
    Next broken(Record& out) {
        done_ = true;
        return unterminated(out);
    }

    // Strict: the input ended inside the array. Hands out its unfinished last element (the parser tells
    // what is wrong with it, or the next call fails at the end of the input).
    Next unclosed(Record& out) {
        end_line_ = line_at(chunk_len_);
        end_line_start_ = line_start_;
        if (element_.empty() || blank(element_)) {
            return fail_at(json::message::eof_list, RecordKind::element, number_ + 1, chunk_offset_ + chunk_len_,
                           end_line_, end_line_start_);
        }
        const Next handed = unterminated(out);
        pending_eof_ = handed == Next::record;
        return handed;
    }

    // Hands out the gathered element marked `unterminated` (its end is not known, so its errors end the
    // reading), or fails at its first bad byte when it is not UTF-8.
    Next unterminated(Record& out) {
        spent_ = true;
        ++cuts_;
        ++number_;
        if (!json::is_valid_utf8(element_)) {
            Next failed = fail_utf8(element_, RecordKind::element, number_, element_offset_, element_line_,
                                    element_line_start_);
            error_.fatal = true;
            return failed;
        }
        out = Record{element_, RecordKind::element, number_, element_offset_, element_line_, 0,
                     element_line_start_, true};
        return Next::record;
    }

    // Strict: the bytes after the closing bracket must be white space, to the end of the input.
    Next check_trailing() {
        for (;;) {
            const char* chunk = chunk_.get();
            for (; piece_ < chunk_len_; ++piece_) {
                if (json::is_space_byte(static_cast<unsigned char>(chunk[piece_]))) continue;
                const std::uint64_t line = line_at(piece_);
                return fail_at(json::message::trailing_characters, RecordKind::document, number_ + 1,
                               chunk_offset_ + piece_, line, line_start_);
            }
            const Next read = read_chunk(RecordKind::document);
            if (read == Next::error) return read;
            if (read == Next::end) {
                trailing_checked_ = true;
                return Next::end;
            }
            piece_ = 0;
        }
    }

    // Reads the next chunk over the current one, its line feeds counted first. Next::end at the end of
    // the input (the current chunk stays as it was), Next::error when the read failed or was interrupted
    // (`kind`: the record being read), else Next::record.
    Next read_chunk(RecordKind kind) {
        line_at(chunk_len_);
        const std::uint64_t at = chunk_offset_ + chunk_len_;
        if (clock_.interrupted()) return fail(ErrorKind::interrupted, kind, at, 0);
        io::ReadOutcome got = clock_.read([&] { return reader_.read(chunk_.get(), io::kChunkSize); });
        if (clock_.stopped()) return fail(ErrorKind::interrupted, kind, at, 0);
        if (!got.ok()) return fail_read(std::move(*got.error), kind, at, 0);
        if (got.bytes == 0) return Next::end;
        chunk_offset_ = at;
        chunk_len_ = got.bytes;
        counted_to_ = 0;
        bytes_read_ += got.bytes;
        clock_.add(got.bytes);
        return Next::record;
    }

    // ---- document

    Next next_document(Record& out) {
        if (done_) return Next::end;
        // Sized from the input's size hint, plus room to notice an input that grew; doubled otherwise.
        if (!document_) document_.reserve(static_cast<std::size_t>(reader_.size().value_or(0)) + 4096);
        for (;;) {
            if (filled_ == document_.capacity()) document_.reserve(filled_ * 2, filled_);
            if (clock_.interrupted()) return fail(ErrorKind::interrupted, RecordKind::document, filled_, 0);
            io::ReadOutcome got =
                clock_.read([&] { return reader_.read(document_.data() + filled_, document_.capacity() - filled_); });
            if (clock_.stopped()) return fail(ErrorKind::interrupted, RecordKind::document, filled_, 0);
            if (!got.ok()) return fail_read(std::move(*got.error), RecordKind::document, filled_, 0);
            if (got.bytes == 0) break;
            filled_ += got.bytes;
            bytes_read_ += got.bytes;
            clock_.add(got.bytes);
        }
        done_ = true;
        std::string_view text(document_.data(), filled_);
        if (!json::is_valid_utf8(text)) {
            if (strict_) return fail_utf8(text, RecordKind::document, 1, 0, 1, 0);
            return fail(ErrorKind::invalid_utf8, RecordKind::document, 0, 1);
        }
        out = Record{text, RecordKind::document, ++number_, 0, 1};
        return Next::record;
    }

    // Configuration
    RecordOptions options_;
    NextFn next_ = nullptr;
    bool strict_ = false;
    bool track_ = false;  // elements: count lines

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
    std::uint64_t element_line_start_ = 0;
    std::uint64_t line_start_ = 0;      // elements, tracked: input offset of the line `lines_ + 1`
    static constexpr std::size_t kFirstCheck = std::size_t{16} << 20;
    static constexpr std::uint64_t kCheckMargin = 64;  // an error this close to the end may be the cut's
    std::size_t next_check_ = kFirstCheck;  // strict: element size at which broken_prefix() is asked next
    bool pending_eof_ = false;          // strict: the unterminated element was handed out; the end fails next
    bool trailing_checked_ = false;     // strict: the bytes after the closing bracket were all white space
    std::uint64_t end_line_ = 0, end_line_start_ = 0;  // strict: the line at the end of the input
    bool spent_ = false;                // element_ was handed out; cleared on the next call
    std::string clean_;                 // an element's text repaired when its bytes were not UTF-8
    DocumentBuffer document_;           // document: the whole input
    std::size_t filled_ = 0;
};

}  // namespace tovak::records
