#include "records/range_count.hpp"

#include <algorithm>
#include <limits>

namespace tovak::records {

namespace {

bool asked_to_stop(const InterruptCheck& stop) { return stop.interrupted != nullptr && stop.interrupted(stop.context); }

// Hands the range's whole blocks to `blocks(data, count)` in order, read into the buffer a chunk at a time
// (bytes in memory too: scanned from a copy in the cache they ran faster than in place), and returns how
// the reading went, with the last bytes that do not fill a block (`rest`).
template <class Blocks>
RangeRead read_range(const io::PositionalBytes& input, const ByteRange& range, RangeBuffer& buffer,
                     const InterruptCheck& stop, const unsigned char*& rest, std::size_t& rest_size, Blocks&& blocks) {
    RangeRead read;
    const std::uint64_t limit = range.to_end ? std::numeric_limits<std::uint64_t>::max() : range.end - range.begin;
    rest = buffer.data();
    rest_size = 0;
    unsigned char* data = buffer.data();
    std::size_t held = 0;  // bytes short of a block at the front of the buffer
    for (std::uint64_t remaining = limit; remaining != 0;) {
        if (asked_to_stop(stop)) {
            read.stopped = true;
            return read;
        }
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(io::kChunkSize, remaining));
        io::ReadOutcome got = input.read_fully_at(reinterpret_cast<char*>(data + held), want, range.begin + read.bytes);
        read.bytes += got.bytes;
        remaining -= got.bytes;
        const std::size_t filled = held + got.bytes, count = filled / json::kBlockSize;
        if (count != 0) blocks(data, count);
        held = filled - count * json::kBlockSize;
        std::memmove(data, data + count * json::kBlockSize, held);
        if (!got.ok()) {
            read.error = std::move(got.error);
            break;
        }
        if (got.bytes < want) {
            read.at_end = true;
            break;
        }
    }
    if (range.to_end) read.at_end = true;
    rest_size = held;
    return read;
}

// The length of bytes[0, size) up to and including its last line feed; 0 when there is none.
std::size_t through_last_feed(const unsigned char* bytes, std::size_t size) noexcept {
    while (size != 0 && bytes[size - 1] != '\n') --size;
    return size;
}

// The lines of a range: the first fragment's content apart, then LineCounter from the first line feed on.
struct RangeLines {
    LineCounter after;  // before the first line feed: only its line_has_content, the first fragment's
    bool seen_feed = false;
    bool head_content = false;

    __attribute__((always_inline)) bool block(const json::LineMasks& masks) noexcept {
        if (seen_feed || masks.line_feed == 0) [[likely]] return after.block(masks);
        // The block with the first line feed: the fragment before it ends there, and counting starts afresh.
        const std::uint64_t first = masks.line_feed & (0 - masks.line_feed), through = first | (first - 1);
        LineCounter head = after;
        if (!head.block(json::LineMasks{first, masks.content & through, masks.non_ascii & through})) return false;
        LineCounter rest;
        if (!rest.block(json::LineMasks{masks.line_feed ^ first, masks.content & ~through, masks.non_ascii & ~through}))
            return false;
        head_content = head.lines != 0;
        after = rest;
        seen_feed = true;
        return true;
    }
};

// A run of backslashes longer than this before a range leaves its escape open: the caller counts such a
// range again if it starts inside a string (a file of backslashes would otherwise be read back to its start
// by every range).
constexpr std::uint64_t kLongestLookBack = 4096;

// The number of backslashes just before `offset` (a run that reaches a failed read ends there); nothing
// when there are more than kLongestLookBack.
std::optional<std::uint64_t> backslashes_before(const io::PositionalBytes& input, std::uint64_t offset) {
    std::uint64_t run = 0;
    char window[json::kBlockSize];
    while (offset != 0) {
        if (run >= kLongestLookBack) return std::nullopt;
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(offset, json::kBlockSize));
        const io::ReadOutcome got = input.read_fully_at(window, n, offset - n);
        if (!got.ok() || got.bytes != n) return run;
        for (std::size_t i = n; i-- != 0;) {
            if (window[i] != '\\') return run + (n - 1 - i);
        }
        run += n;
        offset -= n;
    }
    return run;
}

}  // namespace

// ---------------------------------------------------------------------------------------------------
// JSONL

LineRangeCount count_line_range(const io::PositionalBytes& input, const ByteRange& range, RangeBuffer& buffer,
                                json::SimdLevel level, const InterruptCheck& stop) {
    LineRangeCount out;
    json::Utf8Carry utf8;
    if (range.begin >= json::kBlockSize) {
        // The block before the range: the context of its first bytes (a character cut by the start, the
        // two bytes before that tell a white-space character). Its errors are the range before's.
        alignas(32) unsigned char before[json::kBlockSize];
        const io::ReadOutcome got =
            input.read_fully_at(reinterpret_cast<char*>(before), json::kBlockSize, range.begin - json::kBlockSize);
        if (!got.ok()) {
            out.read.error = got.error;
            return out;
        }
        if (got.bytes == json::kBlockSize) json::validate_utf8_blocks(level, before, 1, utf8);
        utf8.error = false;
    }
    RangeLines counter;
    // As LineScan::classify: an error fails at once where a line feed of the same bytes ends its line.
    auto classify = [&](const unsigned char* data, std::size_t blocks) {
        const json::Utf8Carry before = utf8;
        json::for_each_line_block(level, data, blocks, utf8, counter);
        if (!utf8.error || out.complete_bad) [[likely]] return;
        if (const std::size_t through = through_last_feed(data, blocks * json::kBlockSize); through != 0) {
            if (out.open_bad) {
                out.complete_bad = true;
                return;
            }
            json::Utf8Carry recheck = before;
            json::validate_utf8_tail(level, data, through, recheck);
            if (recheck.error) {
                out.complete_bad = true;
                return;
            }
        }
        out.open_bad = true;
    };
    const unsigned char* rest = nullptr;
    std::size_t rest_size = 0;
    out.read = read_range(input, range, buffer, stop, rest, rest_size, classify);
    if (out.read.stopped) return out;
    bool feed_in_rest = false;
    if (out.read.error) {
        // The bytes read before the failure that fill no block: a line they end is complete.
        if (const std::size_t through = through_last_feed(rest, rest_size); through != 0) {
            feed_in_rest = true;
            json::Utf8Carry recheck = utf8;
            json::validate_utf8_tail(level, rest, through, recheck);
            if (out.open_bad || recheck.error) out.complete_bad = true;
        }
    } else if (out.read.at_end) {
        if (rest_size != 0) {
            alignas(32) unsigned char last[json::kBlockSize];
            std::memcpy(last, rest, rest_size);
            std::memset(last + rest_size, ' ', json::kBlockSize - rest_size);  // white space: no content, no line
            json::for_each_line_block(level, last, 1, utf8, counter);
        }
        if (utf8.invalid_at_end() && !out.complete_bad) out.open_bad = true;
    }
    out.has_feed = counter.seen_feed || feed_in_rest;
    if (counter.seen_feed) {
        out.head_content = counter.head_content;
        out.lines = counter.after.lines;
        out.tail_content = counter.after.line_has_content;
    } else {
        out.head_content = counter.after.line_has_content;
    }
    return out;
}

bool LineRangeMerge::add(const LineRangeCount& range) {
    if (decided_) return false;
    // An ill-formed line fails once it is complete, before a read that fails after it.
    if ((open_bad_ && range.has_feed) || range.complete_bad) {
        decided_ = CountOutcome::failed(ErrorKind::invalid_utf8);
        return false;
    }
    if (range.read.error) {
        decided_ = CountOutcome::failed(ErrorKind::io, *range.read.error);
        return false;
    }
    if (!range.has_feed) {
        open_content_ = open_content_ || range.head_content;
        open_bad_ = open_bad_ || range.open_bad;
    } else {
        lines_ += ((open_content_ || range.head_content) ? 1 : 0) + range.lines;
        open_content_ = range.tail_content;
        open_bad_ = range.open_bad;
    }
    if (!range.read.at_end) return true;
    decided_ = open_bad_ ? CountOutcome::failed(ErrorKind::invalid_utf8)
                         : CountOutcome{lines_ + (open_content_ ? 1 : 0), std::nullopt};
    return false;
}

CountOutcome LineRangeMerge::outcome() const {
    if (decided_) return *decided_;
    return CountOutcome{lines_ + (open_content_ ? 1 : 0), std::nullopt};
}

// ---------------------------------------------------------------------------------------------------
// Top-level array

ArrayRangeCount count_array_range(const io::PositionalBytes& input, const ByteRange& range,
                                  std::optional<json::StringCarry> known, RangeBuffer& buffer, json::SimdLevel level,
                                  const InterruptCheck& stop) {
    ArrayRangeCount out;
    ArrayRangeBlocks blocks;
    if (known) {
        blocks.lanes[0].in_string = known->in_string;
        blocks.lanes[0].escaped = known->escaped;
        blocks.met = true;
    } else {
        // Inside a string the bytes before tell the escape: an odd run of backslashes escapes the first byte.
        const std::optional<std::uint64_t> run = backslashes_before(input, range.begin);
        out.inside_escaped = run ? *run % 2 : 0;
        out.inside_known = run.has_value();
        blocks.lanes[1].in_string = ~std::uint64_t{0};
        blocks.lanes[1].escaped = out.inside_escaped;
    }
    json::StringCarry unused;
    const unsigned char* rest = nullptr;
    std::size_t rest_size = 0;
    auto scan = [&](const unsigned char* data, std::size_t count) {
        json::for_each_block(level, data, count, unused, blocks);
    };
    out.read = read_range(input, range, buffer, stop, rest, rest_size, scan);
    if (out.read.stopped || out.read.error) return out;
    blocks.step(rest, rest_size);
    for (int start = 0; start < 2; ++start) {
        out.runs[start] = blocks.run(start);
        out.ends[start] = blocks.state(start);
    }
    return out;
}

bool ArrayRangeMerge::fits(const ArrayRangeCount& range) const noexcept {
    if (strings_.inside() && (!range.inside_known || strings_.escaped != range.inside_escaped)) return false;
    return count_.depth + range.runs[lane()].low >= 1;
}

void ArrayRangeMerge::add(const ArrayRangeCount& range) noexcept {
    const DepthRun& run = range.runs[lane()];
    if (count_.depth + run.low == 1) {
        count_.commas += run.commas;
        count_.content = count_.content || run.content;
    }
    count_.depth += run.net;
    strings_ = range.ends[lane()];
}

std::optional<io::IoError> ArrayRangeMerge::recount(const io::PositionalBytes& input, std::uint64_t begin,
                                                    std::uint64_t size, RangeBuffer& buffer, json::SimdLevel level) {
    ElementCounter counter(level, count_, strings_);
    if (const char* memory = input.memory()) {
        counter.feed(reinterpret_cast<const unsigned char*>(memory) + begin, static_cast<std::size_t>(size));
    } else {
        for (std::uint64_t done = 0; done < size;) {
            const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(io::kChunkSize, size - done));
            io::ReadOutcome got = input.read_fully_at(reinterpret_cast<char*>(buffer.data()), want, begin + done);
            if (!got.ok()) return std::move(got.error);
            if (got.bytes == 0) break;  // the file shrank since: it ends here
            counter.feed(buffer.data(), got.bytes);
            done += got.bytes;
        }
    }
    count_ = counter.state();
    strings_ = counter.strings();
    return std::nullopt;
}

}  // namespace tovak::records
