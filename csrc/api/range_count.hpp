// Counting records on every core, for every surface: the input (a plain file or bytes in memory, read at any
// position) is cut into ranges that worker threads read and count each for itself (records/range_count.hpp),
// and the calling thread folds their summaries in input order, waiting with the interpreter released.
//
// Thread rule: called attached to the interpreter; the workers never touch it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "io/read.hpp"
#include "records/count.hpp"
#include "records/options.hpp"

namespace tovak::api {

// Automatic workers for a count over ranges of an input of `size` bytes: one per kBytesPerCountWorker of an
// input of at least kParallelCountFrom bytes, up to the cores available; else 1.
std::size_t automatic_count_threads(std::uint64_t size);
inline constexpr std::uint64_t kParallelCountFrom = std::uint64_t{32} << 20;
inline constexpr std::uint64_t kBytesPerCountWorker = std::uint64_t{16} << 20;

// The offset of the `[` that opens a top-level array, when `head` (the input's first bytes) shows one
// after JSON white space only.
std::optional<std::uint64_t> array_bracket(std::string_view head) noexcept;

// The records of `input` counted over ranges on `threads` workers: the non-blank lines of JSONL (`lines`),
// else the elements of the array whose first byte after the `[` is at `first`. The count, or the failure,
// that records::count_lines or count_elements give; nothing when the input fills less than two ranges.
// `range_size`: bytes per range (rounded up to a multiple of 64 for JSONL); 0 for a few per worker.
std::optional<records::CountOutcome> count_ranges(const io::PositionalBytes& input, bool lines, std::uint64_t first,
                                                  const records::RecordOptions& options, std::size_t threads,
                                                  std::uint64_t range_size = 0);

}  // namespace tovak::api
