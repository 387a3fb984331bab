// The counters behind count: the number of top-level records, found by a byte scan that never parses.
// Elements of a top-level array are counted by their commas at depth 1 (`ElementCounter`), JSONL records
// by the lines that hold something other than Unicode white space (`LineCounter`, `LineScan`), both over
// chunks of io::kChunkSize bytes read from any reader (io/file_reader.hpp states the interface).
// `MemoryReader` is such a reader over text in memory, delivered in pieces of chosen sizes.
//
// Thread rule: each counter is owned by the loop that feeds it (one thread); none touches the interpreter.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "io/read.hpp"
#include "json/scan.hpp"
#include "json/text.hpp"
#include "records/error.hpp"
#include "records/options.hpp"

namespace tovak::records {

// A count, or why there is none (io, invalid_utf8 for lines, interrupted).
struct CountOutcome {
    std::uint64_t count = 0;
    std::optional<RecordError> error;
    bool ok() const noexcept { return !error; }
    static CountOutcome failed(ErrorKind kind, io::IoError io = {}) {
        RecordError error;
        error.kind = kind;
        error.io = std::move(io);
        return CountOutcome{0, std::move(error)};
    }
};

// The counter's state inside the top-level array.
struct ArrayCount {
    std::int64_t depth = 1;
    std::uint64_t commas = 0;  // commas at depth 1 outside strings
    bool content = false;      // some content byte was seen at depth 1

    // Steps through bytes one at a time.
    void feed_bytes(const unsigned char* bytes, std::size_t size, json::StringCarry& strings) noexcept {
        bool in_string = strings.inside(), escape = strings.escaped != 0;
        for (std::size_t i = 0; i < size; ++i) {
            const unsigned char b = bytes[i];
            if (in_string) {
                if (escape) escape = false;
                else if (b == '"') in_string = false;
                else if (b == '\\') escape = true;
                continue;
            }
            switch (b) {
                case '\t': case '\n': case '\f': case '\r': case ' ': break;
                case '"': content |= depth == 1; in_string = true; break;
                case ',': commas += depth == 1; break;
                case '[': case '{': content |= depth == 1; ++depth; break;
                case ']': case '}': --depth; break;
                default: content |= depth == 1;
            }
        }
        strings = json::StringCarry::from(in_string, escape);
    }
};

// Whole blocks for the block driver. Until some content shows at depth 1 (`kSeekContent`), the bytes
// between the brackets and commas are looked at too, and the consumer stops after the block where content
// first shows; from then on only the commas at depth 1 matter.
template <bool kSeekContent>
struct ArrayBlocks {
    static constexpr bool kNeedsSpace = kSeekContent;
    ArrayCount count;

    __attribute__((always_inline)) bool block(const json::BlockMasks& masks, const json::StringBlock& strings,
                                              const unsigned char* bytes, const json::StringCarry& before,
                                              json::StringCarry& after) noexcept {
        if (!strings.exact) [[unlikely]] {
            after = before;
            count.feed_bytes(bytes, json::kBlockSize, after);
            return !kSeekContent || !count.content;
        }
        const std::uint64_t outside = ~strings.in_string;
        const std::uint64_t opens = masks.open & outside, closes = masks.close & outside;
        const std::uint64_t commas = masks.comma & outside;
        const auto open_count = static_cast<std::int64_t>(__builtin_popcountll(opens));
        const auto close_count = static_cast<std::int64_t>(__builtin_popcountll(closes));
        if constexpr (!kSeekContent) {
            // Within the block the depth stays between depth - closes and depth + opens, so most blocks need
            // no look at their commas; otherwise each comma's depth comes from the brackets before it.
            if (commas != 0 && count.depth - close_count <= 1 && count.depth + open_count >= 1) {
                std::uint64_t rest = commas, counted = 0;
                do {
                    const std::uint64_t before_comma = (rest & (0 - rest)) - 1;
                    counted += count.depth + __builtin_popcountll(opens & before_comma) -
                                   __builtin_popcountll(closes & before_comma) ==
                               1;
                    rest &= rest - 1;
                } while (rest != 0);
                count.commas += counted;
            }
            count.depth += open_count - close_count;
            return true;
        } else {
            // Content: any byte outside strings other than white space, a comma, a closer or a closing
            // quote, and any opening quote; it counts where the depth before it is 1.
            const std::uint64_t opening_quotes = strings.quotes & strings.in_string;
            const std::uint64_t candidates =
                (outside & ~(masks.space | masks.comma | masks.close | strings.quotes)) | opening_quotes;
            std::uint64_t events = opens | closes | commas;
            std::uint64_t unseen = ~std::uint64_t{0};  // the bytes after the last event
            while (events != 0) {
                const std::uint64_t bit = events & (0 - events), through = bit | (bit - 1);
                if (count.depth == 1 && (candidates & unseen & through)) count.content = true;
                if (opens & bit) ++count.depth;
                else if (closes & bit) --count.depth;
                else count.commas += count.depth == 1;
                unseen = ~through;
                events ^= bit;
            }
            if (count.depth == 1 && (candidates & unseen)) count.content = true;
            return !count.content;
        }
    }

#if TOVAK_SCAN_X86
    // Counting with vectors: the depth after every byte comes from one running sum, so every block costs
    // the same and no branch depends on where depth 1 lies (a branch that guesses wrong often). The sum
    // starts from all the block's brackets, before its strings are known (see `avx2_outside_sums`).
    TOVAK_AVX2_INLINE bool block_avx2(const json::BlockMasks& masks, const json::StringBlock& strings,
                                      const unsigned char* bytes, const json::StringCarry& before,
                                      json::StringCarry& after) noexcept
        requires(!kSeekContent)
    {
        const json::Avx2DepthSums raw = json::avx2_bracket_sums(bytes);
        if (!strings.exact) [[unlikely]] return step_through(bytes, before, after);
        const std::uint64_t outside = ~strings.in_string;
        const std::uint64_t opens = masks.open & outside, closes = masks.close & outside;
        add_block(masks.comma & outside, opens, closes,
                  json::avx2_bytes_at_depth(json::avx2_outside_sums(raw, masks, opens, closes), count.depth, 1));
        return true;
    }

    TOVAK_AVX512_INLINE bool block_avx512(const json::BlockMasks& masks, const json::StringBlock& strings,
                                          const unsigned char* bytes, const json::StringCarry& before,
                                          json::StringCarry& after) noexcept
        requires(!kSeekContent)
    {
        const __m512i raw = json::avx512_depth_sums(masks.open, masks.close);
        if (!strings.exact) [[unlikely]] return step_through(bytes, before, after);
        const std::uint64_t outside = ~strings.in_string;
        const std::uint64_t opens = masks.open & outside, closes = masks.close & outside;
        add_block(masks.comma & outside, opens, closes,
                  json::avx512_bytes_at_depth(json::avx512_outside_sums(raw, masks, opens, closes), count.depth, 1));
        return true;
    }

    __attribute__((always_inline)) bool step_through(const unsigned char* bytes, const json::StringCarry& before,
                                                     json::StringCarry& after) noexcept {
        after = before;
        count.feed_bytes(bytes, json::kBlockSize, after);
        return true;
    }

    // `at_one`: the bytes after which the depth is 1.
    __attribute__((always_inline)) void add_block(std::uint64_t commas, std::uint64_t opens, std::uint64_t closes,
                                                  std::uint64_t at_one) noexcept {
        count.commas += static_cast<std::uint64_t>(__builtin_popcountll(commas & at_one));
        count.depth += static_cast<std::int64_t>(__builtin_popcountll(opens)) - __builtin_popcountll(closes);
    }
#endif
};

// Counts the commas at depth 1 of a top-level array, carrying its state across chunks, so the answer never
// depends on where a chunk ends. Whole 64-byte blocks go through the block classifier: only the brackets
// and commas outside strings are visited, and a block whose depth cannot touch 1 is passed over with two
// population counts (AVX2 and AVX-512 take every block's depths from a running sum instead). Bytes that do
// not fill a block are stepped through one at a time.
class ElementCounter {
public:
    ElementCounter() noexcept = default;
    explicit ElementCounter(json::SimdLevel level) noexcept : level_(level) {}
    // Counting on inside the array from the given state (a part of the input counted on its own).
    ElementCounter(json::SimdLevel level, const ArrayCount& count, const json::StringCarry& strings) noexcept
        : array_(true), count_(count), strings_(strings), level_(level) {}

    // False once the answer is known without reading further (the top level is not an array).
    bool feed(const unsigned char* bytes, std::size_t size) noexcept {
        std::size_t i = 0;
        if (!array_) {
            while (i < size && json::is_space_byte(bytes[i])) ++i;
            if (i == size) return true;
            if (bytes[i] != '[') {
                single_value_ = true;
                return false;
            }
            array_ = true;
            ++i;
        }
        const json::SimdLevel level = level_;
        std::size_t blocks = (size - i) / json::kBlockSize;
        if (!count_.content && blocks != 0) {
            ArrayBlocks<true> seeking{count_};
            std::size_t stopped = json::for_each_block(level, bytes + i, blocks, strings_, seeking);
            count_ = seeking.count;
            std::size_t done = stopped < blocks ? stopped + 1 : blocks;
            i += done * json::kBlockSize;
            blocks -= done;
        }
        if (blocks != 0) {
            ArrayBlocks<false> counting{count_};
            json::for_each_block(level, bytes + i, blocks, strings_, counting);
            count_ = counting.count;
            i += blocks * json::kBlockSize;
        }
        count_.feed_bytes(bytes + i, size - i, strings_);
        return true;
    }

    std::uint64_t result() const noexcept {
        if (single_value_ || !array_) return 1;
        return count_.content ? count_.commas + 1 : 0;
    }
    // Inside the array: the state so far.
    const ArrayCount& state() const noexcept { return count_; }
    const json::StringCarry& strings() const noexcept { return strings_; }

private:
    bool array_ = false, single_value_ = false;
    ArrayCount count_;
    json::StringCarry strings_;
    json::SimdLevel level_ = json::wide_simd_level();
};

template <class Reader>
CountOutcome count_elements(Reader& reader, const RecordOptions& options = {},
                            json::SimdLevel level = json::wide_simd_level()) {
    std::unique_ptr<unsigned char[]> chunk(new unsigned char[io::kChunkSize]);
    ElementCounter counter(level);
    InterruptClock clock(options);
    for (;;) {
        io::ReadOutcome got = clock.read([&] { return reader.read(reinterpret_cast<char*>(chunk.get()), io::kChunkSize); });
        if (clock.stopped()) return CountOutcome::failed(ErrorKind::interrupted);
        if (!got.ok()) return CountOutcome::failed(ErrorKind::io, std::move(*got.error));
        if (got.bytes == 0 || !counter.feed(chunk.get(), got.bytes)) break;
        if (clock.tick(got.bytes)) return CountOutcome::failed(ErrorKind::interrupted);
    }
    return CountOutcome{counter.result(), std::nullopt};
}

// Counts the lines that hold a character other than Unicode White_Space, from line masks. A line's bytes
// may spread over any number of blocks and chunks.
struct LineCounter {
    std::uint64_t lines = 0;
    bool line_has_content = false;  // the unfinished line so far

    // False, with nothing changed, when a line's blankness depends on non-ASCII bytes the masks leave open.
    __attribute__((always_inline)) bool block(const json::LineMasks& masks) noexcept {
        std::uint64_t feeds = masks.line_feed, content = masks.content, open = masks.non_ascii;
        bool has_content = line_has_content;
        if (feeds == 0) [[likely]] {
            if (has_content || content != 0) {
                line_has_content = true;
                return true;
            }
            return open == 0;
        }
        std::uint64_t counted = 0;
        do {
            const std::uint64_t bit = feeds & (0 - feeds), before = bit - 1;
            if (!has_content && (content & before) == 0 && (open & before) != 0) return false;
            counted += has_content || (content & before) != 0;
            const std::uint64_t after = ~(bit | before);
            content &= after;
            open &= after;
            has_content = false;
            feeds ^= bit;
        } while (feeds != 0);
        if (content == 0 && open != 0) return false;
        lines += counted;
        line_has_content = content != 0;
        return true;
    }
};

// JSONL lines: read in big chunks, classified 64 bytes at a time with UTF-8 validated on the way. Bytes
// that do not fill a block wait at the front of the buffer for the next read. A line that is not valid
// UTF-8 fails the count once the line is complete, as reading line by line would: if a read fails
// before the line feed of an ill-formed line arrives, the read error wins.
class LineScan {
public:
    explicit LineScan(const RecordOptions& options = {},
                      json::SimdLevel level = json::wide_simd_level()) noexcept
        : level_(level), clock_(options) {}

    template <class Reader>
    CountOutcome run(Reader& reader) {
        std::unique_ptr<unsigned char[]> buffer(new unsigned char[io::kChunkSize + json::kBlockSize]);
        unsigned char* data = buffer.get();
        std::size_t held = 0;  // unclassified bytes at the front of the buffer
        for (;;) {
            io::ReadOutcome got = clock_.read([&] { return reader.read(reinterpret_cast<char*>(data + held), io::kChunkSize); });
            if (clock_.stopped()) return CountOutcome::failed(ErrorKind::interrupted);
            if (!got.ok()) {
                if (ill_formed_line_through_last_feed(data, held)) return utf8_failure();
                return CountOutcome::failed(ErrorKind::io, std::move(*got.error));
            }
            if (got.bytes == 0) return finish(data, held);
            std::size_t filled = held + got.bytes;
            std::size_t blocks = filled / json::kBlockSize;
            if (!classify(data, blocks)) return utf8_failure();
            if (clock_.tick(got.bytes)) return CountOutcome::failed(ErrorKind::interrupted);
            held = filled - blocks * json::kBlockSize;
            std::memmove(data, data + blocks * json::kBlockSize, held);
        }
    }

private:
    static CountOutcome utf8_failure() { return CountOutcome::failed(ErrorKind::invalid_utf8); }

    // The length of bytes[0, size) up to and including its last line feed; 0 when there is none.
    static std::size_t through_last_feed(const unsigned char* bytes, std::size_t size) noexcept {
        while (size != 0 && bytes[size - 1] != '\n') --size;
        return size;
    }

    // False when a complete line is found ill-formed.
    bool classify(const unsigned char* data, std::size_t blocks) {
        const json::Utf8Carry before = utf8_;
        json::for_each_line_block(level_, data, blocks, utf8_, counter_);
        if (!utf8_.error) [[likely]] return true;
        // Rare: something is ill-formed. It fails now if it lies in a line that is complete.
        std::size_t size = blocks * json::kBlockSize;
        if (std::size_t through = through_last_feed(data, size); through != 0) {
            if (line_pending_failure_) return false;
            json::Utf8Carry recheck = before;
            json::validate_utf8_tail(level_, data, through, recheck);
            if (recheck.error) return false;
        }
        line_pending_failure_ = true;
        return true;
    }

    // True when the bytes read so far up to the last line feed among them are not all valid UTF-8.
    bool ill_formed_line_through_last_feed(const unsigned char* held, std::size_t size) const {
        const std::size_t through = through_last_feed(held, size);
        if (through == 0) return false;
        if (line_pending_failure_) return true;
        json::Utf8Carry recheck = utf8_;
        json::validate_utf8_tail(level_, held, through, recheck);
        return recheck.error;
    }

    CountOutcome finish(unsigned char* held, std::size_t size) {
        if (size != 0) {
            std::memset(held + size, ' ', json::kBlockSize - size);  // white space: no content, no line
            json::for_each_line_block(level_, held, 1, utf8_, counter_);
        }
        if (utf8_.invalid_at_end()) return utf8_failure();
        return CountOutcome{counter_.lines + (counter_.line_has_content ? 1 : 0), std::nullopt};
    }

    json::SimdLevel level_;
    InterruptClock clock_;
    json::Utf8Carry utf8_;
    LineCounter counter_;
    bool line_pending_failure_ = false;  // the unfinished line is already known to be ill-formed
};

template <class Reader>
CountOutcome count_lines(Reader& reader, const RecordOptions& options = {},
                         json::SimdLevel level = json::wide_simd_level()) {
    LineScan scan(options, level);
    return scan.run(reader);
}

// Text in memory, delivered the way a file's reads may come: in pieces of the given sizes, taken in turn.
class MemoryReader {
public:
    MemoryReader(std::string_view text, std::span<const std::size_t> pieces) noexcept
        : text_(text), pieces_(pieces) {}

    io::ReadOutcome read(char* dest, std::size_t n) noexcept {
        std::size_t size = std::min(n, text_.size() - pos_);
        if (!pieces_.empty()) size = std::min(size, std::max<std::size_t>(pieces_[turn_++ % pieces_.size()], 1));
        std::memcpy(dest, text_.data() + pos_, size);
        pos_ += size;
        return io::ReadOutcome{size, std::nullopt};
    }

    std::optional<std::uint64_t> size() const noexcept { return text_.size(); }

private:
    std::string_view text_;
    std::span<const std::size_t> pieces_;
    std::size_t pos_ = 0, turn_ = 0;
};

// What count gives for text in memory, read in pieces of the given sizes taken in turn (as much as each read
// asks for when there are none) and scanned with the byte classifier of the given level. The native tests
// check every level with these. The line count is empty when the text is not valid UTF-8.
std::uint64_t count_elements_in(std::string_view text, std::span<const std::size_t> pieces, json::SimdLevel level);
std::optional<std::uint64_t> count_lines_in(std::string_view text, std::span<const std::size_t> pieces,
                                            json::SimdLevel level);

}  // namespace tovak::records
