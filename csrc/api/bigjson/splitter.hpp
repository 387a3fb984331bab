// The top-level element splitter: cuts the elements of a top-level JSON array out of a byte stream that
// arrives in chunks, without parsing, so each element can be parsed alone. Shared by the record reader
// and the schema sampler, which differ only in what they do at an element end and when they stop.
//
// The scan states:
//   before-value  nothing but white-space bytes seen so far; they are skipped and belong to no element.
//   single        the first significant byte was not `[`: the file is one document, and every byte from
//                 that byte on is element text (white space included); no element end is ever found.
//   in-array      the first significant byte was `[` (not part of any element). Element text is every
//                 byte up to a comma or a `]` at depth 1 outside strings; that terminator belongs to no
//                 element. White-space bytes stay in the element text. `[` and `{` add 1 to the depth,
//                 `}` takes 1 away, and so does `]` below or above depth 1, all outside strings; the depth
//                 is never checked for balance, so `[{]` or `[}, 1]` simply never reach an element end.
//   in-string     inside a JSON string (in an array or a single document): commas and brackets do not
//                 count, and a backslash escapes the next byte.
//
// Zero copy: each call reports the element bytes it scanned as a view into the caller's chunk. An owner
// parses in place when a whole element lies in one chunk, and appends the pieces to its own buffer when an
// element straddles chunks.
//
// Speed: when a call starts on a chunk, the chunk's terminators are found in one pass with the block
// classifier (up to a fixed number at a time, kept in the splitter), and the calls that follow hand them
// out; nothing is allocated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "json/scan.hpp"

namespace tovak::bigjson {

class ElementSplitter {
public:
    enum class Stop {
        need_more,    // every byte up to the chunk's end was consumed: read the next chunk
        element_end,  // an element ended (at a comma or at the closing bracket)
    };
    struct Step {
        Stop stop;
        // The element bytes scanned in this call, inside the chunk; the terminator is excluded. Leading
        // white space before the first significant byte of the file is never part of it.
        std::string_view piece;
        // For element_end: true when the closing `]` at depth 1 ended the element (the array is over,
        // stop calling), false for a comma.
        bool closed;
    };

    // Scans chunk[pos, size) and advances `pos` past the bytes consumed: to `size` for need_more, or just
    // past the terminator for element_end. After element_end, call again with the same chunk, size and the
    // advanced `pos` to go on (the chunk's bytes must not change meanwhile); after need_more, call with
    // the next chunk from position 0. The closing bracket ends the array: what `scan` reports for bytes after
    // it is unspecified, so owners stop there. Chunks hold less than 2 GiB.
    Step scan(const char* chunk, std::size_t size, std::size_t& pos) noexcept;

    bool started() const noexcept { return started_; }    // a significant byte was seen
    bool in_array() const noexcept { return in_array_; }  // the first significant byte was `[`

private:
    static constexpr std::size_t kIndexCapacity = 1024;

    // Finds the terminators of chunk[from, size), or of its beginning when more than the index holds.
    void index(const unsigned char* chunk, std::size_t from, std::size_t size) noexcept;

    bool started_ = false, in_array_ = false;
    json::StringCarry strings_;  // string state at the end of the indexed bytes
    std::int64_t depth_ = 0;     // depth there
    json::SimdLevel level_ = json::simd_level();

    // The terminators found in the current chunk: positions, the top bit set for a closing bracket.
    std::uint32_t ends_[kIndexCapacity];
    std::size_t end_count_ = 0, next_end_ = 0;
    bool index_full_ = false;              // the index stopped at its last terminator, not at `size`
    const char* indexed_chunk_ = nullptr;  // the chunk the index belongs to; null after need_more
    std::size_t expected_pos_ = 0;         // the position the next call on that chunk starts from
};

}  // namespace tovak::bigjson
