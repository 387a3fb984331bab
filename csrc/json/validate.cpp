#include "json/validate.hpp"

#include <algorithm>

namespace tovak::json::validate_detail {

const char kOverflowThreshold[310] =
    "179769313486231580793728971405303415079934132710037826936173778980444968292764750946649017977587207096330286"
    "416692887910946555547851940402630657488671505820681908902000708383676273854845817711531764475730270069855571"
    "366959622842914819860834936475292719074168444365510704342711559699508093042880177904174497792";

std::int64_t first_ill_formed_utf8(const unsigned char* before, std::size_t before_size, const unsigned char* data,
                                   std::size_t size, bool at_end, std::int64_t* detected) noexcept {
    // Start at the lead byte of a sequence that `before` leaves open, if any.
    std::int64_t k = 0;
    for (std::size_t back = 1; back <= before_size && back <= 3; ++back) {
        const unsigned char b = before[before_size - back];
        if (b < 0x80) break;
        if (b >= 0xC0) {
            const std::size_t length = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : 2;
            if (length > back) k = -static_cast<std::int64_t>(back);
            break;
        }
    }
    const auto at = [&](std::int64_t i) {
        return i < 0 ? before[static_cast<std::int64_t>(before_size) + i] : data[i];
    };
    const auto n = static_cast<std::int64_t>(size);
    while (k < n) {
        const unsigned char b = at(k);
        if (b < 0x80) {
            ++k;
            continue;
        }
        int need;
        unsigned char low = 0x80, high = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) need = 1;
        else if (b == 0xE0) need = 2, low = 0xA0;
        else if (b == 0xED) need = 2, high = 0x9F;
        else if (b >= 0xE1 && b <= 0xEF) need = 2;
        else if (b == 0xF0) need = 3, low = 0x90;
        else if (b >= 0xF1 && b <= 0xF3) need = 3;
        else if (b == 0xF4) need = 3, high = 0x8F;
        else {
            if (detected) *detected = k;
            return k;
        }
        for (int j = 1; j <= need; ++j) {
            if (k + j >= n) {
                if (!at_end) return kNoUtf8Error;
                if (detected) *detected = n;
                return k;
            }
            const unsigned char c = at(k + j);
            if (c < low || c > high) {
                if (detected) *detected = k + j;
                return k;
            }
            low = 0x80;
            high = 0xBF;
        }
        k += need + 1;
    }
    return kNoUtf8Error;
}

namespace {

// Per token class: the change of depth, whether it opens an object, and the transition rows, two per
// class: for a closing bracket, the one for an array and the one for an object revealed below it.
struct TokenEffects {
    int depth_change[kTokenClasses];
    std::uint64_t opens_object[kTokenClasses];
    std::uint64_t rows[2 * kTokenClasses];
    constexpr TokenEffects() : depth_change{}, opens_object{}, rows{} {
        depth_change[kOpenObject] = depth_change[kOpenArray] = 1;
        depth_change[kCloseObject] = depth_change[kCloseArray] = -1;
        opens_object[kOpenObject] = 1;
        for (unsigned kind = 0; kind < kTokenClasses; ++kind) {
            for (unsigned revealed = 0; revealed < 2; ++revealed) {
                std::uint64_t row = kGrammarRows[kind];
                if (kind == kCloseObject || kind == kCloseArray) {
                    const std::uint64_t after = revealed ? kInObject : kInArray;
                    std::uint64_t narrowed = 0;
                    for (unsigned field = 0; field < 64; field += 6) {
                        if (((row >> field) & kAnyState) == kAnyState) narrowed |= after << field;
                    }
                    row = narrowed;
                }
                rows[2 * kind + revealed] = row;
            }
        }
    }
};
constexpr TokenEffects kTokenEffects{};

// Without a branch on the token: a mispredicted one costs more than the whole step. Each token writes the
// level at its depth, which is free (above the top), and counts only for an opening bracket. The stopping
// copy's one branch is taken at most once.
template <bool kStops>
TOVAK_SCAN_INLINE TokenWalk walk_tokens_body(const unsigned char* bytes, std::uint64_t tokens, unsigned state,
                                             int depth, std::uint64_t ring, int stop) noexcept {
    const int start = depth;
    int lowest = depth;
    unsigned stopped = kBlockSize;
    while (tokens != 0) {
        const unsigned at = static_cast<unsigned>(__builtin_ctzll(tokens));
        const unsigned kind = kTokenClassOf.of[bytes[at]];
        const int next_depth = depth + kTokenEffects.depth_change[kind];
        if constexpr (kStops) {
            if (next_depth <= stop) [[unlikely]] {
                stopped = at;
                break;
            }
        }
        tokens &= tokens - 1;
        const unsigned slot = static_cast<unsigned>(depth) & 63;
        ring = (ring & ~(std::uint64_t{1} << slot)) | kTokenEffects.opens_object[kind] << slot;
        depth = next_depth;
        const unsigned revealed = static_cast<unsigned>(ring >> (static_cast<unsigned>(depth - 1) & 63)) & 1;
        state = static_cast<unsigned>(kTokenEffects.rows[2 * kind + revealed] >> state) & kAnyState;
        lowest = std::min(lowest, depth);
    }
    return TokenWalk{ring, state, static_cast<std::int8_t>(depth - start), static_cast<std::int8_t>(lowest - start),
                     static_cast<std::uint8_t>(stopped)};
}

}  // namespace

TokenWalk walk_tokens(const unsigned char* bytes, std::uint64_t tokens, unsigned state, int depth,
                      std::uint64_t ring) noexcept {
    return walk_tokens_body<false>(bytes, tokens, state, depth, ring, 0);
}

TokenWalk walk_tokens_until(const unsigned char* bytes, std::uint64_t tokens, unsigned state, int depth,
                            std::uint64_t ring, int stop) noexcept {
    return walk_tokens_body<true>(bytes, tokens, state, depth, ring, stop);
}

#if TOVAK_SCAN_X86
__attribute__((target(TOVAK_AVX2_TARGET))) TokenWalk check_tokens_bmi2(const unsigned char* bytes,
                                                                       const TokenMasks& masks, unsigned state,
                                                                       int depth, std::uint64_t ring,
                                                                       int stop) noexcept {
    const int start = depth;
    const TokenWalk broken{ring, kBroken, 0, 0, static_cast<std::uint8_t>(kBlockSize)};
    // The state at the entry names the kind of the container it is in (kObjectFirst to kInObject: an object).
    const std::uint64_t entry_object = (ring >> (static_cast<unsigned>(depth - 1) & 63)) & 1;
    if (state == kBroken || (state <= kInObject) != (entry_object != 0)) return broken;

    // The brackets one by one: the ring of open kinds, the depth, a closing bracket of the other kind, and
    // where the kind of the innermost container changes (at the byte after a bracket).
    std::uint64_t brackets = masks.open | masks.close;
    std::uint64_t changes = 0, mismatch = 0;
    int lowest = depth;
    unsigned stopped = kBlockSize;
    while (brackets != 0) {
        const unsigned at = static_cast<unsigned>(__builtin_ctzll(brackets));
        const unsigned c = bytes[at];
        const std::uint64_t opening = (c >> 1) & 1;  // '[' 0x5B and '{' 0x7B; ']' 0x5D and '}' 0x7D
        const std::uint64_t object = (c >> 5) & 1;   // '{' and '}'
        const int next_depth = depth + 2 * static_cast<int>(opening) - 1;
        if (next_depth <= stop) [[unlikely]] {
            stopped = at;
            break;
        }
        brackets &= brackets - 1;
        const std::uint64_t before = (ring >> (static_cast<unsigned>(depth - 1) & 63)) & 1;
        const unsigned slot = static_cast<unsigned>(depth) & 63;
        ring = (ring & ~(std::uint64_t{1} << slot)) | (opening & object) << slot;
        depth = next_depth;
        const std::uint64_t after = (ring >> (static_cast<unsigned>(depth - 1) & 63)) & 1;
        mismatch |= (opening ^ 1) & (object ^ before);
        changes |= (before ^ after) << at << 1;
        lowest = std::min(lowest, depth);
    }

    // Bit k of each mask: the k-th token (those before a stop) is of that class, or lies in an object.
    const std::uint64_t tokens =
        stopped < kBlockSize ? masks.tokens & ((std::uint64_t{1} << stopped) - 1) : masks.tokens;
    const unsigned count = static_cast<unsigned>(__builtin_popcountll(tokens));
    const std::uint64_t all = count == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << count) - 1;
    const std::uint64_t in_object = _pext_u64(scan_detail::avx2_prefix_xor(changes) ^ (0 - entry_object), tokens);
    const std::uint64_t open = _pext_u64(masks.open, tokens), close = _pext_u64(masks.close, tokens);
    const std::uint64_t comma = _pext_u64(masks.comma, tokens), colon = _pext_u64(masks.colon, tokens);
    const std::uint64_t quote = _pext_u64(masks.quote, tokens);
    const std::uint64_t scalar = all & ~(open | close | comma | colon | quote);

    // "After X": the token before is an X (the one before the first: the state at the entry). A string is
    // a key when it comes after '{' or after ',' in an object.
    const auto entered = [state](unsigned a, unsigned b) { return static_cast<std::uint64_t>(state == a || state == b); };
    const std::uint64_t after_open = open << 1 | entered(kObjectFirst, kArrayFirst);
    const std::uint64_t after_comma = comma << 1 | entered(kObjectComma, kArrayComma);
    const std::uint64_t key = quote & (after_open | after_comma) & in_object;
    const std::uint64_t string_value = quote & ~key;
    const std::uint64_t value = open | string_value | scalar;
    const std::uint64_t after_key = key << 1 | entered(kKeyDone, kKeyDone);
    const std::uint64_t after_colon = colon << 1 | entered(kMemberValue, kMemberValue);
    const std::uint64_t after_value = (close | string_value | scalar) << 1 | entered(kInObject, kInArray);
    const std::uint64_t member_or_element = (in_object & quote) | (~in_object & value);
    const std::uint64_t allowed = (after_open & (member_or_element | close)) | (after_comma & member_or_element) |
                                  (after_key & colon) | (after_colon & value) | (after_value & (comma | close));
    if ((all & ~allowed) != 0 || mismatch != 0) return broken;

    if (count != 0) {
        const std::uint64_t last = std::uint64_t{1} << (count - 1);
        const bool end_object = ((ring >> (static_cast<unsigned>(depth - 1) & 63)) & 1) != 0;
        state = (open & last)    ? (end_object ? kObjectFirst : kArrayFirst)
                : (comma & last) ? (end_object ? kObjectComma : kArrayComma)
                : (key & last)   ? kKeyDone
                : (colon & last) ? kMemberValue
                                 : (end_object ? kInObject : kInArray);
    }
    return TokenWalk{ring, state, static_cast<std::int8_t>(depth - start), static_cast<std::int8_t>(lowest - start),
                     static_cast<std::uint8_t>(stopped)};
}
#endif

}  // namespace tovak::json::validate_detail

namespace tovak::json {

bool Utf8ChunkCheck::judge(const char* data, std::size_t size) noexcept {
    // Only the levels whose validator takes judged feeds, and only feeds it takes them for.
    const bool wide = level_ == SimdLevel::avx2 || level_ == SimdLevel::avx512;
    if (!wide || size < 4 * kBlockSize) {
        pass(data, size);
        return false;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    Utf8Carry carry;
    carry.resume_wide(before_ + kContext);
    const std::size_t whole = size / kBlockSize;
    validate_utf8_blocks(level_, bytes, whole, carry);
    bool well_formed = !carry.error;
    // A partial block is judged as the stream's end: a sequence cut off there is not judged well-formed.
    if (well_formed && size % kBlockSize != 0) {
        validate_utf8_tail(level_, bytes + whole * kBlockSize, size % kBlockSize, carry);
        well_formed = !carry.invalid_at_end();
    }
    pass(data, size);
    return well_formed;
}

void Utf8ChunkCheck::pass(const char* data, std::size_t size) noexcept {
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    if (size >= kContext) {
        std::memcpy(before_, bytes + size - kContext, kContext);
        return;
    }
    std::memmove(before_, before_ + size, kContext - size);
    std::memcpy(before_ + kContext - size, bytes, size);
}

}  // namespace tovak::json

namespace tovak::json::validate_detail {

std::size_t count_line_feeds(const unsigned char* first, const unsigned char* last,
                             const unsigned char*& after_last) noexcept {
    // Byte-wide tallies, one per lane of a 64-byte stride, emptied before any can pass 255: the compiler
    // makes the inner loop whole-vector compares and subtractions, which keep their pace however close
    // the line feeds lie (a search per line feed slows down on short lines; std::count widens every
    // comparison to a 64-bit sum).
    constexpr std::size_t kStride = 64, kMaxStrides = 255;
    const std::size_t size = static_cast<std::size_t>(last - first);
    std::size_t count = 0;
    const unsigned char* p = first;
    for (std::size_t left = size; left >= kStride;) {
        const std::size_t strides = std::min(left / kStride, kMaxStrides);
        unsigned char tally[kStride] = {};
        for (std::size_t s = 0; s < strides; ++s, p += kStride)
            for (std::size_t k = 0; k < kStride; ++k) tally[k] += p[k] == '\n';
        for (const unsigned char t : tally) count += t;
        left -= strides * kStride;
    }
    for (; p < last; ++p) count += *p == '\n';
    after_last = count == 0 ? nullptr : static_cast<const unsigned char*>(memrchr(first, '\n', size)) + 1;
    return count;
}

}  // namespace tovak::json::validate_detail
