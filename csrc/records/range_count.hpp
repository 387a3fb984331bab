// Counting over ranges: the input shared out in ranges of bytes that worker threads count at the same
// time, each without knowing what came before its range, into a small summary; the caller folds the
// summaries in input order into the count, or the failure, that count_lines and count_elements give
// (count.hpp).
//
// JSONL (LineRangeCount): whether the range's first fragment (up to its first line feed) holds content,
// how many lines its other line feeds end that hold content, and whether its last fragment does. UTF-8 is
// validated with the block before the range as context, so a character cut by the range's start is judged
// whole, once. Line ranges start at multiples of json::kBlockSize from the input's start.
//
// A top-level array (ArrayRangeCount): the worker knows neither the string state at its start nor the
// depth. It follows both string states at once ("lanes": the quote masks are shared, one lane's in-string
// mask is the other's complement), and the depth relative to the range's start, keeping the commas at the
// lowest relative depth reached (DepthRun): if the array's depth at the range's start plus that lowest
// depth is 1, those are the range's commas at depth 1; if more, it has none. The lanes meet for good at
// the first escaped quote that one of them sees outside a string (there the masks and the byte-wise
// counter disagree, and the byte-wise step of that lane lands in the other's state), so most text is
// followed in one lane after its first `\"`. The caller takes the lane of the state it knows; where the
// depth would fall to 0 in a range (the array closes) it counts that range again from the known state with
// the serial counter (ElementCounter), as it does for a range after such one.
//
// Thread rule: a range is counted by one thread with its own RangeBuffer; PositionalBytes is read by all of
// them at once. The merges belong to the caller. Nothing here touches the interpreter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>

#include "io/read.hpp"
#include "json/scan.hpp"
#include "records/count.hpp"
#include "records/options.hpp"

namespace tovak::records {

// Where a range lies in the input: [begin, end), or from begin to wherever the input ends (`to_end`).
struct ByteRange {
    std::uint64_t begin = 0, end = 0;
    bool to_end = false;
};

// A worker's buffer, reused from range to range.
class RangeBuffer {
public:
    RangeBuffer() : bytes_(new unsigned char[kSize]) {}
    unsigned char* data() noexcept { return bytes_.get(); }
    static constexpr std::size_t kSize = io::kChunkSize + json::kBlockSize;

private:
    std::unique_ptr<unsigned char[]> bytes_;
};

// How the reading of a range went.
struct RangeRead {
    std::uint64_t bytes = 0;            // of the range, read
    bool at_end = false;                // the input ended inside the range (or, for a `to_end` range, at all)
    bool stopped = false;               // the stop check asked to stop: nothing else here is meaningful
    std::optional<io::IoError> error;   // a read failed after `bytes`
};

// ---------------------------------------------------------------------------------------------------
// JSONL

struct LineRangeCount {
    std::uint64_t lines = 0;    // lines with content ended by the range's line feeds after its first
    bool has_feed = false;      // in the bytes read (before a failed read, too)
    bool head_content = false;  // content before the first line feed (in the whole range when it has none)
    bool tail_content = false;  // content after the last line feed
    bool complete_bad = false;  // ill-formed UTF-8 in a line that a line feed of the range ends
    bool open_bad = false;      // ill-formed UTF-8 after the last line feed, or a sequence cut off at the end
    RangeRead read;
};

// Counts the lines of `range` (begin a multiple of json::kBlockSize, end too unless `to_end`).
LineRangeCount count_line_range(const io::PositionalBytes& input, const ByteRange& range, RangeBuffer& buffer,
                                json::SimdLevel level, const InterruptCheck& stop);

// Folds line ranges in input order into the count, or the failure count_lines gives for the same input.
class LineRangeMerge {
public:
    // False once the outcome is known (the input ended in this range, or it failed); take it then.
    bool add(const LineRangeCount& range);
    CountOutcome outcome() const;

private:
    std::uint64_t lines_ = 0;
    bool open_content_ = false;  // the line not yet ended holds content
    bool open_bad_ = false;      // ... and ill-formed UTF-8
    std::optional<CountOutcome> decided_;
};

// ---------------------------------------------------------------------------------------------------
// Top-level array

// How deep a stretch of bytes inside the array goes, relative to the depth before it, and what lies at its
// lowest depth. Stretches compose in order (`then`).
struct DepthRun {
    std::int64_t net = 0;      // the depth after the stretch less the depth before it
    std::int64_t low = 0;      // the lowest depth before or after any of its bytes (at most 0)
    std::uint64_t commas = 0;  // commas outside strings at depth `low`
    bool content = false;      // a byte that makes an element (ArrayCount) where the depth before it is `low`

    void then(const DepthRun& next) noexcept {
        const std::int64_t next_low = net + next.low;
        if (next_low < low) {
            low = next_low;
            commas = next.commas;
            content = next.content;
        } else if (next_low == low) {
            commas += next.commas;
            content = content || next.content;
        }
        net += next.net;
    }
    void comma() noexcept { commas += net == low; }
    void content_byte() noexcept { content = content || net == low; }
    void close() noexcept {
        if (--net < low) {
            low = net;
            commas = 0;
            content = false;
        }
    }
    bool operator==(const DepthRun&) const = default;
};

// One guess of the string state at a range's start, followed through the range. `escaped` is the masks'
// view (an odd run of backslashes just before, inside a string or not); only inside a string is it the
// counter's.
struct ArrayLane {
    std::uint64_t in_string = 0;  // all ones inside a string
    std::uint64_t escaped = 0;
    DepthRun run;

    json::StringCarry state() const noexcept { return json::StringCarry{in_string, in_string != 0 ? escaped : 0}; }
    bool same_state(const ArrayLane& other) const noexcept {
        return in_string == other.in_string && (in_string == 0 || escaped == other.escaped);
    }

    // Byte by byte, as ArrayCount::feed_bytes counts.
    void step(const unsigned char* bytes, std::size_t size) noexcept {
        bool in = in_string != 0, escape = in && escaped != 0;
        for (std::size_t i = 0; i < size; ++i) {
            const unsigned char b = bytes[i];
            if (in) {
                if (escape) escape = false;
                else if (b == '"') in = false;
                else if (b == '\\') escape = true;
                continue;
            }
            switch (b) {
                case '\t': case '\n': case '\f': case '\r': case ' ': break;
                case '"': run.content_byte(); in = true; break;
                case ',': run.comma(); break;
                case '[': case '{': run.content_byte(); ++run.net; break;
                case ']': case '}': run.close(); break;
                default: run.content_byte();
            }
        }
        in_string = in ? ~std::uint64_t{0} : 0;
        escaped = escape ? 1 : 0;
    }
};

// A lane's view of one block: the masks of what lies outside its strings.
struct LaneBlock {
    std::uint64_t in_string, opens, closes, commas;
    std::uint64_t escaped_after;  // the escape carry after the block
    bool diverges;                // an escaped quote outside a string: the block is stepped byte by byte
    bool flat() const noexcept { return (opens | closes) == 0; }
};

// `quotes`: the block's quotes that the lane's escape carry leaves unescaped; `parity`: their prefix xor.
__attribute__((always_inline)) inline LaneBlock lane_block(const json::BlockMasks& m, std::uint64_t quotes,
                                                           std::uint64_t parity, std::uint64_t escaped_after,
                                                           const ArrayLane& lane) noexcept {
    const std::uint64_t in = parity ^ lane.in_string, outside = ~in;
    return LaneBlock{in, m.open & outside, m.close & outside, m.comma & outside, escaped_after,
                     (m.quote & ~quotes & outside) != 0};
}

// The depth change a lane looks for in a block: its lowest depth, relative to the depth at the block's start.
__attribute__((always_inline)) inline std::int64_t lane_change(const ArrayLane& lane) noexcept {
    return lane.run.low - lane.run.net;
}

// The levels of a block without brackets (every byte at the depth of its start), or of one whose bytes
// cannot reach `change` (below -64).
__attribute__((always_inline)) inline json::DepthLevels flat_levels(std::int64_t change) noexcept {
    return json::DepthLevels{change == 0 ? ~std::uint64_t{0} : 0, 0};
}

// The levels of a block, one byte at a time (for the classifiers without depth sums, and for the bytes
// one level above `change`, which only a lane still looking for content asks for).
inline json::DepthLevels stepped_levels(std::uint64_t opens, std::uint64_t closes, std::int64_t change) noexcept {
    json::DepthLevels levels{0, 0};
    std::int64_t depth = 0;
    for (unsigned i = 0; i < json::kBlockSize; ++i) {
        const std::uint64_t bit = std::uint64_t{1} << i;
        depth += (opens & bit) ? 1 : (closes & bit) ? -1 : 0;
        if (depth == change) levels.at |= bit;
        if (depth < change) levels.below |= bit;
    }
    return levels;
}

// The change a lane looks for, kept where the vector sums can compare it: the sums lie in [-64, 64], so
// every change below -64 matches no byte as -100 does.
__attribute__((always_inline)) inline std::int64_t vector_change(std::int64_t change) noexcept {
    return change < -100 ? -100 : change;
}

// Brings a lane through a block: from the masks, or byte by byte where the masks cannot tell (an escaped
// quote outside a string) or the lane reaches a new lowest depth (rare: once per level it climbs down).
__attribute__((always_inline)) inline void lane_apply(ArrayLane& lane, const LaneBlock& b,
                                                      const json::DepthLevels& levels, const json::BlockMasks& m,
                                                      std::uint64_t quotes, const unsigned char* bytes) noexcept {
    if (b.diverges || levels.below != 0) [[unlikely]] {
        lane.step(bytes, json::kBlockSize);
        return;
    }
    lane.run.commas += static_cast<std::uint64_t>(__builtin_popcountll(b.commas & levels.at));
    if (!lane.run.content) [[unlikely]] {
        // Content: an opening quote, or any byte outside strings but white space, a comma, a bracket or a
        // quote; an opening bracket counts at the depth before it.
        std::uint64_t space = 0;
        for (unsigned i = 0; i < json::kBlockSize; ++i)
            if (json::is_space_byte(bytes[i])) space |= std::uint64_t{1} << i;
        const std::uint64_t plain =
            (~b.in_string & ~(space | m.comma | m.close | m.open | m.quote)) | (quotes & b.in_string);
        const std::uint64_t above = stepped_levels(b.opens, b.closes, lane_change(lane) + 1).at;
        lane.run.content = ((plain & levels.at) | (b.opens & above)) != 0;
    }
    lane.run.net += static_cast<std::int64_t>(__builtin_popcountll(b.opens)) - __builtin_popcountll(b.closes);
    lane.in_string = static_cast<std::uint64_t>(static_cast<std::int64_t>(b.in_string) >> 63);
    lane.escaped = b.escaped_after;
}

// The block consumer of a range of the array: two lanes until they meet, then lanes[0] alone.
struct ArrayRangeBlocks {
    static constexpr bool kNeedsSpace = false;
    static constexpr bool kOwnStrings = true;

    ArrayLane lanes[2];
    DepthRun before[2];  // once met: each lane's run up to where they met
    bool met = false;

    // The run and end state of the lane that started in `start` (0: outside a string, 1: inside).
    DepthRun run(int start) const noexcept {
        if (!met) return lanes[start].run;
        DepthRun whole = before[start];
        whole.then(lanes[0].run);
        return whole;
    }
    json::StringCarry state(int start) const noexcept { return lanes[met ? 0 : start].state(); }

    void step(const unsigned char* bytes, std::size_t size) noexcept {
        lanes[0].step(bytes, size);
        if (met) return;
        lanes[1].step(bytes, size);
        meet();
    }
    __attribute__((always_inline)) void meet() noexcept {
        if (!lanes[0].same_state(lanes[1])) return;
        before[0] = lanes[0].run;
        before[1] = lanes[1].run;
        lanes[0].run = DepthRun{};
        met = true;
    }

    __attribute__((always_inline)) bool block(const json::BlockMasks& m, const json::StringBlock&,
                                              const unsigned char* bytes, const json::StringCarry&,
                                              json::StringCarry&) noexcept {
        for (int k = 0; k < (met ? 1 : 2); ++k) {
            std::uint64_t escaped = lanes[k].escaped;
            const std::uint64_t quotes = m.quote & ~json::escaped_bytes(m.backslash, escaped);
            const LaneBlock b = lane_block(m, quotes, json::prefix_xor(quotes), escaped, lanes[k]);
            const std::int64_t change = lane_change(lanes[k]);
            const json::DepthLevels levels =
                b.flat() || change < -64 ? flat_levels(change) : stepped_levels(b.opens, b.closes, change);
            lane_apply(lanes[k], b, levels, m, quotes, bytes);
        }
        if (!met) meet();
        return true;
    }

#if TOVAK_SCAN_X86
    TOVAK_AVX2_INLINE bool block_avx2(const json::BlockMasks& m, const json::StringBlock&, const unsigned char* bytes,
                                      const json::StringCarry&, json::StringCarry&) noexcept {
        const json::Avx2DepthSums raw = json::avx2_bracket_sums(bytes);  // see `avx2_outside_sums`
        const std::uint64_t escaped_before = lanes[0].escaped;
        std::uint64_t escaped = escaped_before;
        const std::uint64_t quotes = m.quote & ~json::escaped_bytes(m.backslash, escaped);
        const std::uint64_t parity = json::scan_detail::avx2_prefix_xor(quotes);
        lane_avx2(0, m, raw, quotes, parity, escaped, bytes);
        if (!met) [[unlikely]] {
            // The lanes share their quotes unless their escape carries differ (a backslash ends the block before).
            if (lanes[1].escaped == escaped_before) {
                lane_avx2(1, m, raw, quotes, parity, escaped, bytes);
            } else {
                std::uint64_t other = lanes[1].escaped;
                const std::uint64_t own = m.quote & ~json::escaped_bytes(m.backslash, other);
                lane_avx2(1, m, raw, own, json::scan_detail::avx2_prefix_xor(own), other, bytes);
            }
            meet();
        }
        return true;
    }
    TOVAK_AVX2_INLINE void lane_avx2(int k, const json::BlockMasks& m, const json::Avx2DepthSums& raw,
                                     std::uint64_t quotes, std::uint64_t parity, std::uint64_t escaped,
                                     const unsigned char* bytes) noexcept {
        const LaneBlock b = lane_block(m, quotes, parity, escaped, lanes[k]);
        const json::DepthLevels levels = json::avx2_depth_levels(json::avx2_outside_sums(raw, m, b.opens, b.closes),
                                                                 vector_change(lane_change(lanes[k])));
        lane_apply(lanes[k], b, levels, m, quotes, bytes);
    }

    TOVAK_AVX512_INLINE bool block_avx512(const json::BlockMasks& m, const json::StringBlock&,
                                          const unsigned char* bytes, const json::StringCarry&,
                                          json::StringCarry&) noexcept {
        const __m512i raw = json::avx512_depth_sums(m.open, m.close);  // see `avx512_outside_sums`
        const std::uint64_t escaped_before = lanes[0].escaped;
        std::uint64_t escaped = escaped_before;
        const std::uint64_t quotes = m.quote & ~json::escaped_bytes(m.backslash, escaped);
        const std::uint64_t parity = json::scan_detail::avx2_prefix_xor(quotes);
        lane_avx512(0, m, raw, quotes, parity, escaped, bytes);
        if (!met) [[unlikely]] {
            if (lanes[1].escaped == escaped_before) {
                lane_avx512(1, m, raw, quotes, parity, escaped, bytes);
            } else {
                std::uint64_t other = lanes[1].escaped;
                const std::uint64_t own = m.quote & ~json::escaped_bytes(m.backslash, other);
                lane_avx512(1, m, raw, own, json::scan_detail::avx2_prefix_xor(own), other, bytes);
            }
            meet();
        }
        return true;
    }
    TOVAK_AVX512_INLINE void lane_avx512(int k, const json::BlockMasks& m, __m512i raw, std::uint64_t quotes,
                                         std::uint64_t parity, std::uint64_t escaped,
                                         const unsigned char* bytes) noexcept {
        const LaneBlock b = lane_block(m, quotes, parity, escaped, lanes[k]);
        const json::DepthLevels levels = json::avx512_depth_levels(
            json::avx512_outside_sums(raw, m, b.opens, b.closes), vector_change(lane_change(lanes[k])));
        lane_apply(lanes[k], b, levels, m, quotes, bytes);
    }
#endif
};

struct ArrayRangeCount {
    DepthRun runs[2];              // for the range started outside a string, and inside one
    json::StringCarry ends[2];     // the string state after the range, for each
    std::uint64_t inside_escaped = 0;  // the escape the start inside a string had (from the bytes before)
    bool inside_known = true;          // false: too many backslashes before to tell (counted again if inside)
    RangeRead read;
};

// Counts `range` of the array's bytes (after its opening bracket) for both string states at its start, or
// for `known` alone (the first range).
ArrayRangeCount count_array_range(const io::PositionalBytes& input, const ByteRange& range,
                                  std::optional<json::StringCarry> known, RangeBuffer& buffer, json::SimdLevel level,
                                  const InterruptCheck& stop);

// Folds array ranges in input order into the count count_elements gives.
class ArrayRangeMerge {
public:
    // Whether the range's summary applies to the state before it: false when the depth falls to 0 in it;
    // then count it again (recount) and go on.
    bool fits(const ArrayRangeCount& range) const noexcept;
    void add(const ArrayRangeCount& range) noexcept;
    // Counts `size` bytes from `begin` byte by byte from the state before them (a read failure: its error).
    std::optional<io::IoError> recount(const io::PositionalBytes& input, std::uint64_t begin, std::uint64_t size,
                                       RangeBuffer& buffer, json::SimdLevel level);
    std::uint64_t count() const noexcept { return count_.content ? count_.commas + 1 : 0; }

private:
    int lane() const noexcept { return strings_.inside() ? 1 : 0; }
    ArrayCount count_;
    json::StringCarry strings_;
};

}  // namespace tovak::records
