// The top-level element splitter: cuts the elements of a top-level JSON array out of a byte stream that
// arrives in chunks, without parsing, so each element can be parsed alone. The record cutter
// (records/cutter.hpp) is its owner in the module; the native tests and the fuzz target drive it directly.
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
// Batches: one call indexes a whole chunk into its record ranges (`ChunkSplit`, plain data a reader thread
// can hand to parse workers). The chunk's terminators are found in one pass with the block classifier, a
// fixed number at a time, and appended to the caller's reusable list; steady use allocates nothing.
//
// Thread rule: a splitter carries the scan state from one chunk to the next, so one owner feeds it the
// chunks in order, one thread at a time; the ChunkSplit it fills is plain data any thread may read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "json/scan.hpp"

namespace tovak::records {

// The record ranges of one chunk. Record text runs from `begin` to the first end, then from just past each
// end to the next; when the array is not closed, the bytes from just past the last end (or from `begin`
// when there is no end) to the chunk's end start a record that continues in the next chunk. The first
// range continues the record the previous chunk left open, if any. A chunk that holds only leading white
// space has `begin` equal to its size; in a single document (`in_array()` false) there are no ends and
// every byte from `begin` on is the document's.
struct ChunkSplit {
    std::uint32_t begin = 0;           // first byte of record text in the chunk
    std::vector<std::uint32_t> ends;   // positions of the terminators, in order: commas, then maybe the `]`
    bool closed = false;               // the last end is the array's closing bracket; nothing after it counts
};

class ElementSplitter {
public:
    // Indexes chunk[0, size) (size below 2 GiB) into `out`, after the chunks before it. Once a split comes
    // back closed, the array is over: feed no more chunks.
    void split(const char* chunk, std::size_t size, ChunkSplit& out);

    bool started() const noexcept { return started_; }    // a significant byte was seen
    bool in_array() const noexcept { return in_array_; }  // the first significant byte was `[`

private:
    static constexpr std::size_t kIndexCapacity = 1024;

    // Finds the terminators of chunk[from, size), or of its beginning when more than the index holds.
    void index(const unsigned char* chunk, std::size_t from, std::size_t size) noexcept;

    bool started_ = false, in_array_ = false;
    json::StringCarry strings_;  // string state at the end of the indexed bytes
    std::int64_t depth_ = 0;     // depth there
    json::SimdLevel level_ = json::wide_simd_level();

    // The terminators of the last `index` call: positions, the top bit set for a closing bracket.
    std::uint32_t ends_[kIndexCapacity];
    std::size_t end_count_ = 0;
    bool index_full_ = false;  // the index stopped at its last terminator, not at `size`
};

}  // namespace tovak::records
