#include "records/splitter.hpp"

#include "json/text.hpp"

namespace tovak::records {

namespace {

// Marks a terminator that is the closing bracket in the index.
constexpr std::uint32_t kClosedBit = std::uint32_t{1} << 31;

// Records the terminators of whole blocks, up to the index's capacity.
struct IndexBlocks {
    static constexpr bool kNeedsSpace = false;
    const unsigned char* chunk;
    std::uint32_t* ends;
    std::size_t capacity;
    std::size_t count = 0;
    std::int64_t depth;

    __attribute__((always_inline)) bool block(const json::BlockMasks& masks, const json::StringBlock& strings,
                                              const unsigned char* bytes, const json::StringCarry& before,
                                              json::StringCarry& after) noexcept {
        return find(masks, strings, static_cast<std::size_t>(bytes - chunk), 0, before, after);
    }

    // Records the terminators among the bytes >= `first` of the block at chunk[base]; the masks' lower bits
    // must be clear. Bits are visited only for the brackets and commas outside strings, and only in blocks
    // where the depth can come down to 1. Returns false when the index filled up; the state is then the
    // state just after the last terminator: outside strings, at depth 1.
    __attribute__((always_inline)) bool find(const json::BlockMasks& masks, const json::StringBlock& strings,
                                             std::size_t base, unsigned first, const json::StringCarry& before,
                                             json::StringCarry& after) noexcept {
        if (!strings.exact) [[unlikely]] {
            after = before;
            return find_bytes(base + first, base + json::kBlockSize, after);
        }
        const std::uint64_t outside = ~strings.in_string;
        const std::uint64_t opens = masks.open & outside, closes = masks.close & outside;
        const std::uint64_t commas = masks.comma & outside;
        const auto open_count = static_cast<std::int64_t>(__builtin_popcountll(opens));
        const auto close_count = static_cast<std::int64_t>(__builtin_popcountll(closes));
        // Within the block the depth stays between depth - closes and depth + opens.
        if (depth - close_count > 1 || depth + open_count < 1) [[likely]] {
            depth += open_count - close_count;
            return true;
        }
        // A comma or `]` ends an element where the brackets before it in the block leave the depth at 1.
        std::uint64_t candidates = commas | closes;
        while (candidates != 0) {
            const std::uint64_t bit = candidates & (0 - candidates), before_it = bit - 1;
            candidates ^= bit;
            if (depth + __builtin_popcountll(opens & before_it) - __builtin_popcountll(closes & before_it) != 1) continue;
            const auto at = static_cast<std::size_t>(__builtin_ctzll(bit));
            if ((commas & bit) == 0 && chunk[base + at] != ']') continue;  // `}` at depth 1
            if (!record(base + at, (closes & bit) != 0)) {
                depth = 1;
                after = json::StringCarry{};
                return false;
            }
        }
        depth += open_count - close_count;
        return true;
    }

    // The same one byte at a time, for chunk[from, to).
    bool find_bytes(std::size_t from, std::size_t to, json::StringCarry& strings) noexcept {
        bool in_string = strings.inside(), escape = strings.escaped != 0;
        for (std::size_t i = from; i < to; ++i) {
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
                if (depth != 1) {
                    depth -= b == ']' ? 1 : 0;
                } else if (!record(i, b == ']')) {
                    strings = json::StringCarry{};
                    return false;
                }
            }
        }
        strings = json::StringCarry::from(in_string, escape);
        return true;
    }

    // False when this terminator filled the index.
    bool record(std::size_t at, bool closing) noexcept {
        ends[count++] = static_cast<std::uint32_t>(at) | (closing ? kClosedBit : 0);
        return count < capacity;
    }
};

}  // namespace

void ElementSplitter::index(const unsigned char* chunk, std::size_t from, std::size_t size) noexcept {
    IndexBlocks found{chunk, ends_, kIndexCapacity, 0, depth_};
    bool room = true;
    std::size_t next = from;
    // Blocks lie on a 64-byte grid from the chunk's start; the block holding `from` is entered in the middle
    // only just after the opening bracket or a terminator, outside any string, so no escape carries into it.
    const std::size_t base = from & ~(json::kBlockSize - 1);
    if (base + json::kBlockSize <= size) {
        json::BlockMasks masks;
        json::classify_block(level_, chunk + base, masks);
        const auto first = static_cast<unsigned>(from - base);
        const json::BlockMasks tail = json::masks_from(masks, first);
        const json::StringCarry before = strings_;
        const json::StringBlock strings = json::locate_strings(tail, strings_);
        room = found.find(tail, strings, base, first, before, strings_);
        next = base + json::kBlockSize;
        if (room) {
            const std::size_t count = (size - next) / json::kBlockSize;
            room = json::for_each_block(level_, chunk + next, count, strings_, found) == count;
            next += count * json::kBlockSize;
        }
    }
    if (room) room = found.find_bytes(next, size, strings_);
    depth_ = found.depth;
    end_count_ = found.count;
    index_full_ = !room;
}

void ElementSplitter::split(const char* chunk, std::size_t size, ChunkSplit& out) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(chunk);
    out.ends.clear();
    out.closed = false;
    std::size_t i = 0;
    if (!started_) {
        while (i < size && json::is_space_byte(bytes[i])) ++i;
        if (i < size) {
            started_ = true;
            if (bytes[i] == '[') {
                in_array_ = true;
                depth_ = 1;
                ++i;
            }
        }
    }
    out.begin = static_cast<std::uint32_t>(i);
    if (!in_array_ || i == size) return;
    for (;;) {
        index(bytes, i, size);
        for (std::size_t k = 0; k < end_count_; ++k) {
            const std::uint32_t entry = ends_[k];
            out.ends.push_back(entry & ~kClosedBit);
            if (entry & kClosedBit) {
                out.closed = true;
                return;
            }
        }
        if (!index_full_) return;
        i = (ends_[end_count_ - 1] & ~kClosedBit) + 1;  // the index stopped just past its last terminator
    }
}

}  // namespace tovak::records
