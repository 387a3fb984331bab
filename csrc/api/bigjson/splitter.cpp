#include "api/bigjson/splitter.hpp"

#include "api/bigjson/mod.hpp"

namespace tovak::bigjson {

namespace {

// Steps through chunk[from, to) one byte at a time; returns the terminator's index, or `to`.
std::size_t scan_bytes(const unsigned char* chunk, std::size_t from, std::size_t to, json::StringCarry& strings,
                       std::int64_t& depth, bool& closed) noexcept {
    bool in_string = strings.inside(), escape = strings.escaped != 0;
    std::size_t i = from;
    for (; i < to; ++i) {
        const unsigned char b = chunk[i];
        if (in_string) {
            if (escape) escape = false;
            else if (b == '"') in_string = false;
            else if (b == '\\') escape = true;
            continue;
        }
        if (b == '"') {
            in_string = true;
        } else if (b == '[' || b == '{') {
            ++depth;
        } else if (b == '}') {
            --depth;
        } else if (b == ']' || b == ',') {
            if (depth == 1) {
                closed = b == ']';
                break;
            }
            depth -= b == ']' ? 1 : 0;
        }
    }
    strings = json::StringCarry::from(in_string, escape);
    return i;
}

// Runs whole blocks of a chunk until an element ends.
struct ArrayBlocks {
    static constexpr bool kNeedsSpace = false;
    const unsigned char* chunk;
    std::int64_t depth;
    bool closed = false;
    std::size_t end = 0;             // the terminator's index, once found
    std::size_t end_block = 0;       // the index of the block that holds it
    json::BlockMasks end_masks{};    // and that block's masks

    __attribute__((always_inline)) bool block(const json::BlockMasks& masks, const json::StringBlock& strings,
                                              const unsigned char* bytes, const json::StringCarry& before,
                                              json::StringCarry& after) noexcept {
        const auto base = static_cast<std::size_t>(bytes - chunk);
        if (!find(masks, strings, base, 0, before, after)) return true;
        end_block = base;
        end_masks = masks;
        return false;
    }

    // Looks for a terminator among the bytes >= `first` of the block at chunk[base]; the masks' lower bits
    // must be clear. Bits are visited only for the brackets and commas outside strings, and only in blocks
    // where the depth can come down to 1. At a terminator the string state is "outside, no escape".
    __attribute__((always_inline)) bool find(const json::BlockMasks& masks, const json::StringBlock& strings,
                                             std::size_t base, unsigned first, const json::StringCarry& before,
                                             json::StringCarry& after) noexcept {
        if (!strings.exact) [[unlikely]] {
            after = before;
            end = scan_bytes(chunk, base + first, base + json::kBlockSize, after, depth, closed);
            return end != base + json::kBlockSize;
        }
        const std::uint64_t outside = ~strings.in_string;
        const std::uint64_t opens = masks.open & outside, closes = masks.close & outside;
        const std::uint64_t commas = masks.comma & outside;
        const auto open_count = static_cast<std::int64_t>(__builtin_popcountll(opens));
        const auto close_count = static_cast<std::int64_t>(__builtin_popcountll(closes));
        // Within the block the depth stays between depth - closes and depth + opens.
        if (depth - close_count > 1 || depth + open_count < 1) [[likely]] {
            depth += open_count - close_count;
            return false;
        }
        std::uint64_t events = opens | closes | commas;
        while (events != 0) {
            const auto at = static_cast<unsigned>(__builtin_ctzll(events));
            const std::uint64_t bit = std::uint64_t{1} << at;
            events &= events - 1;
            if (opens & bit) {
                ++depth;
            } else if (depth != 1) {
                depth -= (closes & bit) ? 1 : 0;
            } else if ((commas & bit) || chunk[base + at] == ']') {
                closed = (closes & bit) != 0;
                end = base + at;
                after = json::StringCarry{};
                return true;
            } else {
                --depth;  // `}` at depth 1
            }
        }
        return false;
    }
};

}  // namespace

std::size_t ElementSplitter::find_end(const unsigned char* chunk, std::size_t from, std::size_t size) noexcept {
    // Blocks lie on a 64-byte grid from the chunk's start, so the block where an element ended is the
    // block where the next one starts, and its masks are kept for the next call.
    const std::size_t base = from & ~(json::kBlockSize - 1);
    ArrayBlocks scan{chunk, depth_};
    std::size_t next = from;
    if (base + json::kBlockSize <= size) {
        json::BlockMasks masks;
        if (cached_chunk_ == chunk && cached_base_ == base && cached_resume_ == from) {
            masks = cached_masks_;
        } else {
            json::classify_block(level_, chunk + base, masks);
        }
        const auto first = static_cast<unsigned>(from - base);
        const json::BlockMasks tail = json::masks_from(masks, first);
        // Entering a block in the middle happens only just after a terminator or the opening bracket,
        // outside any string, so no escape carries into it.
        const json::StringCarry before = strings_;
        json::StringBlock strings = json::locate_strings(tail, strings_);
        bool found = scan.find(tail, strings, base, first, before, strings_);
        if (!found) {
            next = base + json::kBlockSize;
            const std::size_t count = (size - next) / json::kBlockSize;
            const std::size_t stopped = json::for_each_block(level_, chunk + next, count, strings_, scan);
            found = stopped < count;
            if (found) {
                strings_ = json::StringCarry{};
                masks = scan.end_masks;
            }
            next += count * json::kBlockSize;
        } else {
            scan.end_block = base;
        }
        if (found) {
            depth_ = scan.depth;
            closed_ = scan.closed;
            cached_chunk_ = chunk;
            cached_base_ = scan.end_block;
            cached_resume_ = scan.end + 1;
            cached_masks_ = masks;
            return scan.end;
        }
    }
    cached_chunk_ = nullptr;
    const std::size_t end = scan_bytes(chunk, next, size, strings_, scan.depth, scan.closed);
    depth_ = scan.depth;
    closed_ = scan.closed;
    return end;
}

ElementSplitter::Step ElementSplitter::scan(const char* chunk, std::size_t size, std::size_t& pos) noexcept {
    const auto* bytes = reinterpret_cast<const unsigned char*>(chunk);
    std::size_t i = pos;
    if (!started_) {
        while (i < size && is_space_byte(bytes[i])) ++i;
        if (i == size) {
            pos = size;
            return Step{Stop::need_more, std::string_view(), false};
        }
        started_ = true;
        if (bytes[i] == '[') {
            in_array_ = true;
            depth_ = 1;
            ++i;
        }
    }
    if (!in_array_) {
        pos = size;
        return Step{Stop::need_more, std::string_view(chunk + i, size - i), false};
    }
    const std::size_t end = find_end(bytes, i, size);
    if (end == size) {
        cached_chunk_ = nullptr;
        pos = size;
        return Step{Stop::need_more, std::string_view(chunk + i, size - i), false};
    }
    pos = end + 1;
    return Step{Stop::element_end, std::string_view(chunk + i, end - i), closed_};
}

}  // namespace tovak::bigjson
