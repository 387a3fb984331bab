// Byte scanning 64 bytes at a time: a block classifier that turns bytes into bit masks (bit i stands for
// byte i of the block), string tracking carried from block to block, and a line classifier that also
// validates UTF-8. Each classifier exists as AVX-512, AVX2, SSE2 and scalar code giving identical masks;
// the best one for the running CPU is chosen once (`wide_simd_level`, `simd_level`), never by a compiler
// flag.
//
// Consumers are small classes with an inline `block` member. The drivers `for_each_block` and
// `for_each_line_block` run a copy of a consumer over consecutive blocks with the chosen classifier and
// store it back at the end; the consumer is compiled into each driver, so its code gets the driver's
// instruction set and its state stays in registers.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#ifndef TOVAK_SCAN_X86
#if defined(__x86_64__)
#define TOVAK_SCAN_X86 1
#else
#define TOVAK_SCAN_X86 0
#endif
#endif
#if TOVAK_SCAN_X86
#include <immintrin.h>
#endif

// The instruction sets the AVX2 code may use; `simd_level` checks every one of them.
#define TOVAK_AVX2_TARGET "avx2,bmi,bmi2,popcnt,pclmul"
#define TOVAK_AVX2_INLINE __attribute__((target(TOVAK_AVX2_TARGET), always_inline)) inline
#define TOVAK_SSE2_INLINE __attribute__((target("sse2"), always_inline)) inline
#define TOVAK_SCAN_INLINE __attribute__((always_inline)) inline
// The AVX-512 code: 64-byte vectors compared straight into 64-bit masks (BW), 256-bit helpers (VL), byte
// permutes across the whole vector (VBMI), and everything the AVX2 code may use, so that code inlines here
// too.
#define TOVAK_AVX512_TARGET "avx512f,avx512bw,avx512vl,avx512vbmi," TOVAK_AVX2_TARGET
#define TOVAK_AVX512_INLINE __attribute__((target(TOVAK_AVX512_TARGET), always_inline)) inline

namespace tovak::json {

inline constexpr std::size_t kBlockSize = 64;

enum class SimdLevel { scalar, sse2, avx2, avx512 };

// The level the scans of this file run at, decided once per process: the best this CPU and its operating
// system run (AVX-512 where the 512-bit state is enabled, else AVX2 when the CPU has it), or a lower one
// named by the environment variable TOVAK_SIMD ("scalar", "sse2", "avx2" or "avx512"), so tests can run
// the whole module at each level. A level the CPU lacks gives the best it has; an unknown value or an
// empty one is ignored. The levels give the same answers (tests/native/scan_levels_test.cpp).
SimdLevel wide_simd_level() noexcept;

// The same level capped at AVX2, for block drivers of their own that know no level above it.
SimdLevel simd_level() noexcept;

// Whether this CPU's PEXT/PDEP (BMI2) take a few cycles: false before AMD's Zen 3, which runs them as
// microcode at up to hundreds of cycles each, so code that would use them many times per block keeps a
// plain loop there. Decided once per process.
bool fast_bit_extract() noexcept;

// ---------------------------------------------------------------------------------------------------
// Structural classification for JSON

struct BlockMasks {
    std::uint64_t quote;      // "
    std::uint64_t backslash;  // '\'
    std::uint64_t open;       // [ and {
    std::uint64_t close;      // ] and }
    std::uint64_t comma;      // ,
    std::uint64_t space;      // the five white-space bytes: tab, line feed, form feed, carriage return, space
};

// String state between blocks.
struct StringCarry {
    std::uint64_t in_string = 0;  // all ones when the next block starts inside a string
    std::uint64_t escaped = 0;    // 1 when the next block's first byte is escaped by a backslash
    bool inside() const noexcept { return in_string != 0; }
    static StringCarry from(bool in_string, bool escaped) noexcept {
        return StringCarry{in_string ? ~std::uint64_t{0} : 0, escaped ? std::uint64_t{1} : 0};
    }
};

// The bytes of a block after which the depth change since the block's start is `change` (`at`) or less
// (`below`); `change` lies in [-100, 0] (below -64 no byte reaches it).
struct DepthLevels {
    std::uint64_t at, below;
};

struct StringBlock {
    std::uint64_t in_string;  // bytes inside strings: each opening quote and the contents, not the closing quote
    std::uint64_t quotes;     // the quotes that open or close a string (not escaped)
    // False when a backslash stands outside every string. Such a backslash escapes nothing, which the
    // mask arithmetic cannot express, so the caller must redo the block byte by byte from the carry it
    // had before the block (the masks up to that backslash are still right).
    bool exact;
};

// Bit i set when an odd number of bits at positions <= i are set.
TOVAK_SCAN_INLINE std::uint64_t prefix_xor(std::uint64_t x) noexcept {
    x ^= x << 1;
    x ^= x << 2;
    x ^= x << 4;
    x ^= x << 8;
    x ^= x << 16;
    x ^= x << 32;
    return x;
}

// The bytes escaped by a backslash, where runs of backslashes escape in pairs. `carry` is 1 when the
// first byte is escaped by a run that ended the previous block, and is updated for the next block.
TOVAK_SCAN_INLINE std::uint64_t escaped_bytes(std::uint64_t backslash, std::uint64_t& carry) noexcept {
    constexpr std::uint64_t even_bits = 0x5555555555555555ULL;
    backslash &= ~carry;
    std::uint64_t follows_escape = backslash << 1 | carry;
    std::uint64_t odd_starts = backslash & ~even_bits & ~follows_escape;
    std::uint64_t runs_from_even;
    carry = __builtin_add_overflow(odd_starts, backslash, &runs_from_even) ? 1 : 0;
    std::uint64_t invert = runs_from_even << 1;
    return (even_bits ^ invert) & follows_escape;
}

TOVAK_SCAN_INLINE StringBlock strings_from(const BlockMasks& masks, std::uint64_t quotes, std::uint64_t quote_parity,
                                           StringCarry& carry) noexcept {
    std::uint64_t in_string = quote_parity ^ carry.in_string;
    carry.in_string = static_cast<std::uint64_t>(static_cast<std::int64_t>(in_string) >> 63);
    return StringBlock{in_string, quotes, (masks.backslash & ~in_string) == 0};
}

// The strings of a block, given the carry from the block before; updates the carry for the next block.
TOVAK_SCAN_INLINE StringBlock locate_strings(const BlockMasks& masks, StringCarry& carry) noexcept {
    std::uint64_t quotes = masks.quote & ~escaped_bytes(masks.backslash, carry.escaped);
    return strings_from(masks, quotes, prefix_xor(quotes), carry);
}

// Masks with the bits below `first` cleared, for a block entered in the middle.
TOVAK_SCAN_INLINE BlockMasks masks_from(const BlockMasks& m, unsigned first) noexcept {
    std::uint64_t keep = ~std::uint64_t{0} << first;
    return BlockMasks{m.quote & keep, m.backslash & keep, m.open & keep,
                      m.close & keep, m.comma & keep,     m.space & keep};
}

namespace scan_detail {

// A consumer with `static constexpr bool kOwnStrings = true` follows strings itself (from the raw quote
// and backslash masks): the driver hands it a zero StringBlock and keeps no carry of its own.
template <class Consumer>
constexpr bool owns_strings() noexcept {
    if constexpr (requires { Consumer::kOwnStrings; }) return Consumer::kOwnStrings;
    else return false;
}

// Per byte class bits for the scalar classifier.
enum : unsigned char { kQuote = 1, kBackslash = 2, kOpen = 4, kClose = 8, kComma = 16, kSpace = 32 };

struct ByteClasses {
    unsigned char of[256];
    constexpr ByteClasses() : of{} {
        of[static_cast<unsigned char>('"')] = kQuote;
        of[static_cast<unsigned char>('\\')] = kBackslash;
        of[static_cast<unsigned char>('[')] = kOpen;
        of[static_cast<unsigned char>('{')] = kOpen;
        of[static_cast<unsigned char>(']')] = kClose;
        of[static_cast<unsigned char>('}')] = kClose;
        of[static_cast<unsigned char>(',')] = kComma;
        for (unsigned char b : {0x09, 0x0A, 0x0C, 0x0D, 0x20}) of[b] = kSpace;
    }
};
inline constexpr ByteClasses kByteClasses{};

template <bool kWithSpace>
TOVAK_SCAN_INLINE void classify_scalar(const unsigned char* p, BlockMasks& m) noexcept {
    m = BlockMasks{0, 0, 0, 0, 0, 0};
    for (unsigned i = 0; i < kBlockSize; ++i) {
        unsigned c = kByteClasses.of[p[i]];
        if (c == 0) continue;
        std::uint64_t bit = std::uint64_t{1} << i;
        if (c & kQuote) m.quote |= bit;
        if (c & kBackslash) m.backslash |= bit;
        if (c & kOpen) m.open |= bit;
        if (c & kClose) m.close |= bit;
        if (c & kComma) m.comma |= bit;
        if (kWithSpace && (c & kSpace)) m.space |= bit;
    }
}

#if TOVAK_SCAN_X86

TOVAK_SSE2_INLINE std::uint64_t sse2_bits(__m128i eq, unsigned part) noexcept {
    return static_cast<std::uint64_t>(static_cast<std::uint16_t>(_mm_movemask_epi8(eq))) << (16 * part);
}

template <bool kWithSpace>
TOVAK_SSE2_INLINE void classify_sse2(const unsigned char* p, BlockMasks& m) noexcept {
    m = BlockMasks{0, 0, 0, 0, 0, 0};
    const __m128i quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\'), comma = _mm_set1_epi8(',');
    const __m128i open = _mm_set1_epi8('{'), close = _mm_set1_epi8('}'), case_bit = _mm_set1_epi8(0x20);
    const __m128i tab = _mm_set1_epi8(0x09), lf = _mm_set1_epi8(0x0A), ff = _mm_set1_epi8(0x0C);
    const __m128i cr = _mm_set1_epi8(0x0D), sp = _mm_set1_epi8(0x20);
    for (unsigned part = 0; part < 4; ++part) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * part));
        // '[' | 0x20 is '{' and ']' | 0x20 is '}', and no other byte maps onto those two.
        __m128i folded = _mm_or_si128(v, case_bit);
        m.quote |= sse2_bits(_mm_cmpeq_epi8(v, quote), part);
        m.backslash |= sse2_bits(_mm_cmpeq_epi8(v, backslash), part);
        m.open |= sse2_bits(_mm_cmpeq_epi8(folded, open), part);
        m.close |= sse2_bits(_mm_cmpeq_epi8(folded, close), part);
        m.comma |= sse2_bits(_mm_cmpeq_epi8(v, comma), part);
        if (!kWithSpace) continue;
        __m128i space = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, tab), _mm_cmpeq_epi8(v, lf)),
                                     _mm_or_si128(_mm_cmpeq_epi8(v, ff), _mm_cmpeq_epi8(v, cr)));
        m.space |= sse2_bits(_mm_or_si128(space, _mm_cmpeq_epi8(v, sp)), part);
    }
}

TOVAK_AVX2_INLINE std::uint64_t avx2_bits(__m256i low, __m256i high) noexcept {
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(low)) |
           static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(high))) << 32;
}

// A byte equals its entry in this table, looked up by its low four bits, exactly when it is one of the
// five white-space bytes (bytes >= 0x80 look up zero).
TOVAK_AVX2_INLINE __m256i avx2_space_table() noexcept {
    return _mm256_setr_epi8(0x20, 0, 0, 0, 0, 0, 0, 0, 0, 0x09, 0x0A, 0, 0x0C, 0x0D, 0, 0,  //
                            0x20, 0, 0, 0, 0, 0, 0, 0, 0, 0x09, 0x0A, 0, 0x0C, 0x0D, 0, 0);
}

template <bool kWithSpace>
TOVAK_AVX2_INLINE void classify_avx2(const unsigned char* p, BlockMasks& m) noexcept {
    const __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
    const __m256i quote = _mm256_set1_epi8('"'), backslash = _mm256_set1_epi8('\\');
    const __m256i open = _mm256_set1_epi8('{'), close = _mm256_set1_epi8('}'), comma = _mm256_set1_epi8(',');
    const __m256i case_bit = _mm256_set1_epi8(0x20), table = avx2_space_table();
    const __m256i lo_folded = _mm256_or_si256(lo, case_bit), hi_folded = _mm256_or_si256(hi, case_bit);
    m.quote = avx2_bits(_mm256_cmpeq_epi8(lo, quote), _mm256_cmpeq_epi8(hi, quote));
    m.backslash = avx2_bits(_mm256_cmpeq_epi8(lo, backslash), _mm256_cmpeq_epi8(hi, backslash));
    m.open = avx2_bits(_mm256_cmpeq_epi8(lo_folded, open), _mm256_cmpeq_epi8(hi_folded, open));
    m.close = avx2_bits(_mm256_cmpeq_epi8(lo_folded, close), _mm256_cmpeq_epi8(hi_folded, close));
    m.comma = avx2_bits(_mm256_cmpeq_epi8(lo, comma), _mm256_cmpeq_epi8(hi, comma));
    m.space = kWithSpace ? avx2_bits(_mm256_cmpeq_epi8(_mm256_shuffle_epi8(table, lo), lo),
                                     _mm256_cmpeq_epi8(_mm256_shuffle_epi8(table, hi), hi))
                         : 0;
}

// Prefix xor as a carry-less multiplication by all ones.
TOVAK_AVX2_INLINE std::uint64_t avx2_prefix_xor(std::uint64_t x) noexcept {
    return static_cast<std::uint64_t>(_mm_cvtsi128_si64(
        _mm_clmulepi64_si128(_mm_set_epi64x(0, static_cast<long long>(x)), _mm_set1_epi8(-1), 0)));
}

TOVAK_AVX2_INLINE StringBlock avx2_locate_strings(const BlockMasks& masks, StringCarry& carry) noexcept {
    std::uint64_t quotes = masks.quote & ~escaped_bytes(masks.backslash, carry.escaped);
    return strings_from(masks, quotes, avx2_prefix_xor(quotes), carry);
}

// Byte i is all ones where bit i of `bits` is set.
TOVAK_AVX2_INLINE __m256i avx2_bytes_of_bits(std::uint32_t bits) noexcept {
    const __m256i spread = _mm256_shuffle_epi8(_mm256_set1_epi32(static_cast<int>(bits)),
                                               _mm256_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1,  //
                                                                2, 2, 2, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 3));
    const __m256i bit = _mm256_set1_epi64x(static_cast<long long>(0x8040201008040201ULL));
    return _mm256_cmpeq_epi8(_mm256_and_si256(spread, bit), bit);
}

// Byte 15 of the lane given by the shuffle's source, in every byte of each lane.
TOVAK_AVX2_INLINE __m256i avx2_last_of_lane(__m256i v) noexcept { return _mm256_shuffle_epi8(v, _mm256_set1_epi8(15)); }

// The running sum of 32 bytes (each byte plus all bytes before it).
TOVAK_AVX2_INLINE __m256i avx2_running_sum(__m256i v) noexcept {
    v = _mm256_add_epi8(v, _mm256_slli_si256(v, 1));
    v = _mm256_add_epi8(v, _mm256_slli_si256(v, 2));
    v = _mm256_add_epi8(v, _mm256_slli_si256(v, 4));
    v = _mm256_add_epi8(v, _mm256_slli_si256(v, 8));
    // The upper lane adds the total of the lower one.
    return _mm256_add_epi8(v, avx2_last_of_lane(_mm256_permute2x128_si256(v, v, 0x08)));
}

}  // namespace scan_detail

// The depth change after every byte of a block, as two 32-byte vectors (see `avx512_depth_sums`).
struct Avx2DepthSums {
    __m256i low, high;
};

TOVAK_AVX2_INLINE Avx2DepthSums avx2_depth_sums(std::uint64_t opens, std::uint64_t closes) noexcept {
    using namespace scan_detail;
    // Bytes of all ones are -1: closes minus opens is +1 at an opener and -1 at a closer.
    const __m256i low = avx2_running_sum(_mm256_sub_epi8(avx2_bytes_of_bits(static_cast<std::uint32_t>(closes)),
                                                         avx2_bytes_of_bits(static_cast<std::uint32_t>(opens))));
    __m256i high = avx2_running_sum(_mm256_sub_epi8(avx2_bytes_of_bits(static_cast<std::uint32_t>(closes >> 32)),
                                                    avx2_bytes_of_bits(static_cast<std::uint32_t>(opens >> 32))));
    high = _mm256_add_epi8(high, avx2_last_of_lane(_mm256_permute2x128_si256(low, low, 0x11)));
    return Avx2DepthSums{low, high};
}

// The sums of all the brackets of the 64 bytes at `p`, from the bytes: the compares are the block
// classifier's own, which the compiler shares with it, so no bits are turned back into bytes.
TOVAK_AVX2_INLINE Avx2DepthSums avx2_bracket_sums(const unsigned char* p) noexcept {
    using namespace scan_detail;
    const __m256i case_bit = _mm256_set1_epi8(0x20), open = _mm256_set1_epi8('{'), close = _mm256_set1_epi8('}');
    const __m256i lo = _mm256_or_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)), case_bit);
    const __m256i hi = _mm256_or_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32)), case_bit);
    const __m256i low =
        avx2_running_sum(_mm256_sub_epi8(_mm256_cmpeq_epi8(lo, close), _mm256_cmpeq_epi8(lo, open)));
    __m256i high = avx2_running_sum(_mm256_sub_epi8(_mm256_cmpeq_epi8(hi, close), _mm256_cmpeq_epi8(hi, open)));
    high = _mm256_add_epi8(high, avx2_last_of_lane(_mm256_permute2x128_si256(low, low, 0x11)));
    return Avx2DepthSums{low, high};
}

// The bytes at `change` (and below it) from the sums of `avx2_depth_sums`.
TOVAK_AVX2_INLINE DepthLevels avx2_depth_levels(const Avx2DepthSums& sums, std::int64_t change) noexcept {
    using namespace scan_detail;
    const __m256i at = _mm256_set1_epi8(static_cast<char>(change));
    return DepthLevels{avx2_bits(_mm256_cmpeq_epi8(sums.low, at), _mm256_cmpeq_epi8(sums.high, at)),
                       avx2_bits(_mm256_cmpgt_epi8(at, sums.low), _mm256_cmpgt_epi8(at, sums.high))};
}

TOVAK_AVX2_INLINE DepthLevels avx2_depth_levels(std::uint64_t opens, std::uint64_t closes,
                                                std::int64_t change) noexcept {
    return avx2_depth_levels(avx2_depth_sums(opens, closes), change);
}

// The depth of every byte as in `avx512_bytes_at_depth`, on 32-byte vectors.
TOVAK_AVX2_INLINE std::uint64_t avx2_bytes_at_depth(const Avx2DepthSums& sums, std::int64_t start,
                                                    std::int64_t depth) noexcept {
    using namespace scan_detail;
    const __m256i change = _mm256_set1_epi8(static_cast<char>(std::clamp<std::int64_t>(depth - start, -100, 100)));
    return avx2_bits(_mm256_cmpeq_epi8(sums.low, change), _mm256_cmpeq_epi8(sums.high, change));
}

TOVAK_AVX2_INLINE std::uint64_t avx2_bytes_at_depth(std::uint64_t opens, std::uint64_t closes, std::int64_t start,
                                                    std::int64_t depth) noexcept {
    return avx2_bytes_at_depth(avx2_depth_sums(opens, closes), start, depth);
}

// The sums of the brackets outside strings (`opens`, `closes`): `raw`, the sums of all the block's
// brackets, when none lies inside a string, as in most blocks. `raw` is taken before the block's strings
// are known, so the sums need not wait for the string masks.
TOVAK_AVX2_INLINE Avx2DepthSums avx2_outside_sums(const Avx2DepthSums& raw, const BlockMasks& masks,
                                                  std::uint64_t opens, std::uint64_t closes) noexcept {
    if (((masks.open ^ opens) | (masks.close ^ closes)) != 0) [[unlikely]] return avx2_depth_sums(opens, closes);
    return raw;
}

namespace scan_detail {

template <class Consumer>
__attribute__((target(TOVAK_AVX2_TARGET))) std::size_t blocks_avx2(const unsigned char* data, std::size_t blocks,
                                                                    StringCarry& carry, Consumer& consumer) noexcept {
    Consumer local = consumer;  // keeps the consumer's state in registers
    StringCarry strings = carry;
    std::size_t k = 0;
    for (; k < blocks; ++k) {
        const unsigned char* p = data + k * kBlockSize;
        BlockMasks masks;
        classify_avx2<Consumer::kNeedsSpace>(p, masks);
        const StringCarry before = strings;
        StringBlock found{};
        if constexpr (!owns_strings<Consumer>()) found = avx2_locate_strings(masks, strings);
        if constexpr (requires { local.block_avx2(masks, found, p, before, strings); }) {
            if (!local.block_avx2(masks, found, p, before, strings)) break;
        } else {
            if (!local.block(masks, found, p, before, strings)) break;
        }
    }
    consumer = local;
    carry = strings;
    return k;
}

// The masked forms with all lanes on, where the plain ones would start from an undefined vector (which
// some compilers warn about); they compile to the plain instructions.
TOVAK_AVX512_INLINE __m512i avx512_broadcast(__m128i lane) noexcept {
    return _mm512_maskz_broadcast_i32x4(0xFFFF, lane);
}
TOVAK_AVX512_INLINE __m256i avx512_lower_half(__m512i v) noexcept {
    return _mm512_maskz_extracti64x4_epi64(0xF, v, 0);
}
TOVAK_AVX512_INLINE __m256i avx512_upper_half(__m512i v) noexcept {
    return _mm512_maskz_extracti64x4_epi64(0xF, v, 1);
}
// The vector moved up by `Lanes` 16-byte lanes, zeros coming in at the bottom.
template <int Lanes>
TOVAK_AVX512_INLINE __m512i avx512_lanes_up(__m512i v) noexcept {
    return _mm512_maskz_alignr_epi64(0xFF, v, _mm512_setzero_si512(), 8 - 2 * Lanes);
}

// The white-space table of `avx2_space_table` in each 16-byte lane of a 64-byte vector.
TOVAK_AVX512_INLINE __m512i avx512_space_table() noexcept {
    return avx512_broadcast(_mm256_castsi256_si128(avx2_space_table()));
}

template <bool kWithSpace>
TOVAK_AVX512_INLINE void classify_avx512(const unsigned char* p, BlockMasks& m) noexcept {
    const __m512i v = _mm512_loadu_si512(p);
    const __m512i folded = _mm512_or_si512(v, _mm512_set1_epi8(0x20));  // as in classify_sse2
    m.quote = _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('"'));
    m.backslash = _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('\\'));
    m.open = _mm512_cmpeq_epi8_mask(folded, _mm512_set1_epi8('{'));
    m.close = _mm512_cmpeq_epi8_mask(folded, _mm512_set1_epi8('}'));
    m.comma = _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8(','));
    m.space = kWithSpace ? _mm512_cmpeq_epi8_mask(_mm512_shuffle_epi8(avx512_space_table(), v), v) : 0;
}

}  // namespace scan_detail

// The bytes of a block after which the nesting depth is `depth`, when it is `start` before the block and
// each byte of `opens` adds one, each of `closes` takes one away: a running sum over the 64 bytes at once,
// first within each 16-byte lane by byte shifts, then across the lanes by whole-lane shifts of their
// totals. Neither needs a mask register or a byte permute, which cost several cycles each.
TOVAK_AVX512_INLINE __m512i avx512_depth_sums(std::uint64_t opens, std::uint64_t closes) noexcept {
    __m512i sum = _mm512_sub_epi8(_mm512_movm_epi8(closes), _mm512_movm_epi8(opens));
    sum = _mm512_add_epi8(sum, _mm512_bslli_epi128(sum, 1));
    sum = _mm512_add_epi8(sum, _mm512_bslli_epi128(sum, 2));
    sum = _mm512_add_epi8(sum, _mm512_bslli_epi128(sum, 4));
    sum = _mm512_add_epi8(sum, _mm512_bslli_epi128(sum, 8));
    using scan_detail::avx512_lanes_up;
    __m512i lanes = _mm512_shuffle_epi8(sum, _mm512_set1_epi8(15));  // each lane's total in all its bytes
    lanes = avx512_lanes_up<1>(lanes);                                 // the total of the lane before
    lanes = _mm512_add_epi8(lanes, avx512_lanes_up<1>(lanes));
    lanes = _mm512_add_epi8(lanes, avx512_lanes_up<2>(lanes));         // the totals of all lanes before
    return _mm512_add_epi8(sum, lanes);
}

TOVAK_AVX512_INLINE std::uint64_t avx512_bytes_at_depth(__m512i sums, std::int64_t start, std::int64_t depth) noexcept {
    // The sums lie in [-64, 64]; a change the block cannot make becomes one no byte matches.
    const std::int64_t change = std::clamp<std::int64_t>(depth - start, -100, 100);
    return _mm512_cmpeq_epi8_mask(sums, _mm512_set1_epi8(static_cast<char>(change)));
}

TOVAK_AVX512_INLINE std::uint64_t avx512_bytes_at_depth(std::uint64_t opens, std::uint64_t closes,
                                                        std::int64_t start, std::int64_t depth) noexcept {
    return avx512_bytes_at_depth(avx512_depth_sums(opens, closes), start, depth);
}

// `avx2_depth_levels` on one 64-byte vector.
TOVAK_AVX512_INLINE DepthLevels avx512_depth_levels(__m512i sums, std::int64_t change) noexcept {
    const __m512i at = _mm512_set1_epi8(static_cast<char>(change));
    return DepthLevels{_mm512_cmpeq_epi8_mask(sums, at), _mm512_cmplt_epi8_mask(sums, at)};
}

TOVAK_AVX512_INLINE DepthLevels avx512_depth_levels(std::uint64_t opens, std::uint64_t closes,
                                                   std::int64_t change) noexcept {
    return avx512_depth_levels(avx512_depth_sums(opens, closes), change);
}

// `avx2_outside_sums` on one 64-byte vector.
TOVAK_AVX512_INLINE __m512i avx512_outside_sums(__m512i raw, const BlockMasks& masks, std::uint64_t opens,
                                                std::uint64_t closes) noexcept {
    if (((masks.open ^ opens) | (masks.close ^ closes)) != 0) [[unlikely]] return avx512_depth_sums(opens, closes);
    return raw;
}

namespace scan_detail {

template <class Consumer>
__attribute__((target(TOVAK_AVX512_TARGET))) std::size_t blocks_avx512(const unsigned char* data,
                                                                        std::size_t blocks, StringCarry& carry,
                                                                        Consumer& consumer) noexcept {
    Consumer local = consumer;
    StringCarry strings = carry;
    std::size_t k = 0;
    for (; k < blocks; ++k) {
        const unsigned char* p = data + k * kBlockSize;
        BlockMasks masks;
        classify_avx512<Consumer::kNeedsSpace>(p, masks);
        const StringCarry before = strings;
        StringBlock found{};
        if constexpr (!owns_strings<Consumer>()) found = avx2_locate_strings(masks, strings);
        if constexpr (requires { local.block_avx512(masks, found, p, before, strings); }) {
            if (!local.block_avx512(masks, found, p, before, strings)) break;
        } else {
            if (!local.block(masks, found, p, before, strings)) break;
        }
    }
    consumer = local;
    carry = strings;
    return k;
}

#endif  // TOVAK_SCAN_X86

// The driver for the classifiers that need no instruction set beyond the baseline (SSE2 is part of every
// x86-64 CPU): the classifier is a template argument, so it is inlined into the loop.
template <class Consumer, void (*Classify)(const unsigned char*, BlockMasks&)>
std::size_t blocks_baseline(const unsigned char* data, std::size_t blocks, StringCarry& carry,
                            Consumer& consumer) noexcept {
    Consumer local = consumer;
    StringCarry strings = carry;
    std::size_t k = 0;
    for (; k < blocks; ++k) {
        const unsigned char* p = data + k * kBlockSize;
        BlockMasks masks;
        Classify(p, masks);
        const StringCarry before = strings;
        StringBlock found{};
        if constexpr (!owns_strings<Consumer>()) found = locate_strings(masks, strings);
        if (!local.block(masks, found, p, before, strings)) break;
    }
    consumer = local;
    carry = strings;
    return k;
}

}  // namespace scan_detail

// Classifies `blocks` consecutive 64-byte blocks from `data`, locates their strings starting from `carry`,
// and hands each block to the consumer:
//
//   static constexpr bool kNeedsSpace;  // whether masks.space is wanted (otherwise it is zero)
//   bool block(const BlockMasks& masks, const StringBlock& strings, const unsigned char* bytes,
//              const StringCarry& before, StringCarry& after);
//
// `before` and `after` are the string states before and after the block. For a block that is not
// `strings.exact`, the consumer steps through its bytes from `before` and must store the state it reaches
// in `after`. `block` returns false to stop after that block. Returns the index of the block that stopped,
// or `blocks`; `carry` becomes the state after the last block handled (a consumer that stops in the middle
// of a block knows its own state there). A consumer may also have `block_avx2` and `block_avx512` members,
// the same as `block` but compiled with TOVAK_AVX2_INLINE and TOVAK_AVX512_INLINE, which the AVX2 and
// AVX-512 drivers call instead. A consumer that follows strings itself says `kOwnStrings` (see owns_strings).
template <class Consumer>
std::size_t for_each_block(SimdLevel level, const unsigned char* data, std::size_t blocks, StringCarry& carry,
                           Consumer& consumer) noexcept {
#if TOVAK_SCAN_X86
    if (level == SimdLevel::avx512) return scan_detail::blocks_avx512(data, blocks, carry, consumer);
    if (level == SimdLevel::avx2) return scan_detail::blocks_avx2(data, blocks, carry, consumer);
    if (level == SimdLevel::sse2)
        return scan_detail::blocks_baseline<Consumer, scan_detail::classify_sse2<Consumer::kNeedsSpace>>(
            data, blocks, carry, consumer);
#endif
    (void)level;
    return scan_detail::blocks_baseline<Consumer, scan_detail::classify_scalar<Consumer::kNeedsSpace>>(
        data, blocks, carry, consumer);
}

// The masks of one block (for tests and for a block that is handled alone).
void classify_block(SimdLevel level, const unsigned char* data, BlockMasks& masks) noexcept;

// ---------------------------------------------------------------------------------------------------
// Line classification and UTF-8 validation

struct LineMasks {
    std::uint64_t line_feed;
    // Bytes that show a line is not blank: first only the ASCII bytes other than Unicode white space
    // (0x09-0x0D, 0x20). When a line's blankness still depends on its non-ASCII bytes, the consumer asks for
    // the exact mask: at least one bit inside every character that does not have the Unicode White_Space
    // property (in valid UTF-8), namely ASCII other than white space, the lead byte of a character that
    // cannot be white space, or the last byte of a character that starts like a white-space character but
    // is not one. A line is blank exactly when none of its exact bits is set.
    std::uint64_t content;
    std::uint64_t non_ascii;  // bytes >= 0x80 whose meaning `content` leaves open; zero in the exact masks
};

// UTF-8 state between blocks. Each level keeps its own fields; a stream stays with one level.
struct Utf8Carry {
    alignas(32) unsigned char previous[32] = {};  // the last bytes of the previous block
    bool error = false;       // an ill-formed sequence has been seen (sticky)
    bool incomplete = false;  // the previous block ended inside a sequence
    unsigned char need = 0;   // scalar: continuation bytes still expected
    unsigned char low = 0x80, high = 0xBF;  // scalar: the allowed range of the next continuation byte
    // True when the stream is not valid UTF-8 if it ends here.
    bool invalid_at_end() const noexcept { return error || incomplete; }
    // The AVX2 and AVX-512 levels' state after well-formed bytes that end at `end` (with 32 readable before
    // it), for a stream whose blocks were checked elsewhere.
    void resume_wide(const unsigned char* end) noexcept {
        std::memcpy(previous, end - 32, 32);
        error = false;
        incomplete = end[-1] >= 0xC0 || end[-2] >= 0xE0 || end[-3] >= 0xF0;
    }
};

namespace scan_detail {

// The scalar UTF-8 automaton; one byte at a time.
TOVAK_SCAN_INLINE void utf8_step(Utf8Carry& carry, unsigned char b) noexcept {
    if (carry.need != 0) {
        if (b < carry.low || b > carry.high) {
            carry.error = true;
            carry.need = 0;
        } else {
            --carry.need;
            carry.low = 0x80;
            carry.high = 0xBF;
            return;
        }
    }
    if (b < 0x80) return;
    if (b >= 0xC2 && b <= 0xDF) carry.need = 1;
    else if (b == 0xE0) carry.need = 2, carry.low = 0xA0;
    else if (b == 0xED) carry.need = 2, carry.high = 0x9F;
    else if (b >= 0xE1 && b <= 0xEF) carry.need = 2;
    else if (b == 0xF0) carry.need = 3, carry.low = 0x90;
    else if (b >= 0xF1 && b <= 0xF3) carry.need = 3;
    else if (b == 0xF4) carry.need = 3, carry.high = 0x8F;
    else carry.error = true;
}

// Content of byte b of a line given the two bytes before it (see LineMasks::content).
TOVAK_SCAN_INLINE bool line_content_byte(unsigned char prev2, unsigned char prev1, unsigned char b) noexcept {
    if (b < 0x80) return !(b == 0x20 || (b >= 0x09 && b <= 0x0D));
    if (b >= 0xC0) return !(b == 0xC2 || b == 0xE1 || b == 0xE2 || b == 0xE3);
    // A continuation byte marks the characters whose lead alone cannot tell.
    bool c2 = prev1 == 0xC2 && !(b == 0x85 || b == 0xA0);
    bool e1 = prev2 == 0xE1 && !(prev1 == 0x9A && b == 0x80);
    bool e2 = prev2 == 0xE2 && !((prev1 == 0x80 && (b <= 0x8A || b == 0xA8 || b == 0xA9 || b == 0xAF)) ||
                                 (prev1 == 0x81 && b == 0x9F));
    bool e3 = prev2 == 0xE3 && !(prev1 == 0x80 && b == 0x80);
    return c2 || e1 || e2 || e3;
}

TOVAK_SCAN_INLINE void lines_scalar_block(const unsigned char* p, LineMasks& m, Utf8Carry& carry) noexcept {
    m = LineMasks{0, 0, 0};
    for (unsigned i = 0; i < kBlockSize; ++i) {
        unsigned char b = p[i];
        std::uint64_t bit = std::uint64_t{1} << i;
        if (b == '\n') m.line_feed |= bit;
        if (b >= 0x80) m.non_ascii |= bit;
        else if (!(b == 0x20 || (b >= 0x09 && b <= 0x0D))) m.content |= bit;
    }
    if (m.non_ascii != 0 || carry.need != 0) {
        for (unsigned i = 0; i < kBlockSize; ++i) utf8_step(carry, p[i]);
        carry.incomplete = carry.need != 0;
    }
}

// The exact content mask, given the two bytes before the block.
TOVAK_SCAN_INLINE std::uint64_t lines_scalar_exact(const unsigned char* p, unsigned char prev2,
                                                   unsigned char prev1) noexcept {
    std::uint64_t content = 0;
    for (unsigned i = 0; i < kBlockSize; ++i) {
        if (line_content_byte(prev2, prev1, p[i])) content |= std::uint64_t{1} << i;
        prev2 = prev1;
        prev1 = p[i];
    }
    return content;
}

TOVAK_SCAN_INLINE void utf8_scalar_block(const unsigned char* p, Utf8Carry& carry) noexcept {
    std::uint64_t word[8];
    std::memcpy(word, p, sizeof word);
    if (carry.need == 0 && ((word[0] | word[1] | word[2] | word[3] | word[4] | word[5] | word[6] | word[7]) &
                            0x8080808080808080ULL) == 0) {
        std::memcpy(carry.previous + 30, p + 62, 2);
        return;
    }
    for (unsigned i = 0; i < kBlockSize; ++i) utf8_step(carry, p[i]);
    std::memcpy(carry.previous + 30, p + 62, 2);
    carry.incomplete = carry.need != 0;
}

#if TOVAK_SCAN_X86

// UTF-8 validation by table lookups on the high and low nibbles of each byte and its predecessor (the
// well-known technique of Keiser and Lemire). Each error class has one bit; a byte pair is ill-formed
// when a bit survives the three lookups.
struct Avx2Utf8 {
    __m256i previous;    // the previous 32 bytes
    __m256i error;       // accumulated error bits
    __m256i incomplete;  // nonzero when `previous` ends inside a sequence
};

template <int N>
TOVAK_AVX2_INLINE __m256i avx2_prev(__m256i input, __m256i previous) noexcept {
    return _mm256_alignr_epi8(input, _mm256_permute2x128_si256(previous, input, 0x21), 16 - N);
}

TOVAK_AVX2_INLINE __m256i avx2_high_nibbles(__m256i v) noexcept {
    return _mm256_and_si256(_mm256_srli_epi16(v, 4), _mm256_set1_epi8(0x0F));
}

// The three lookup tables, by nibble: the high and the low four bits of the byte before, the high four
// bits of the byte itself.
struct Utf8Tables {
    __m128i byte1_high, byte1_low, byte2_high;
};

TOVAK_SSE2_INLINE Utf8Tables utf8_tables() noexcept {
    constexpr char kTooShort = 1 << 0, kTooLong = 1 << 1, kOverlong3 = 1 << 2, kTooLarge = 1 << 3;
    constexpr char kSurrogate = 1 << 4, kOverlong2 = 1 << 5, kTooLarge1000 = 1 << 6, kOverlong4 = 1 << 6;
    constexpr char kTwoConts = static_cast<char>(1 << 7);
    constexpr char kCarry = kTooShort | kTooLong | kTwoConts;
    constexpr char kLarge = kCarry | kTooLarge | kTooLarge1000;
    constexpr char kCont8 = kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge1000 | kOverlong4;
    constexpr char kCont9 = kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge;
    constexpr char kContAB = kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge;
    return Utf8Tables{
        _mm_setr_epi8(kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong,  //
                      kTwoConts, kTwoConts, kTwoConts, kTwoConts, kTooShort | kOverlong2, kTooShort,
                      kTooShort | kOverlong3 | kSurrogate, kTooShort | kTooLarge | kTooLarge1000 | kOverlong4),
        _mm_setr_epi8(kCarry | kOverlong3 | kOverlong2 | kOverlong4, kCarry | kOverlong2, kCarry, kCarry,
                      kCarry | kTooLarge, kLarge, kLarge, kLarge, kLarge, kLarge, kLarge, kLarge, kLarge,
                      kLarge | kSurrogate, kLarge, kLarge),
        _mm_setr_epi8(kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,  //
                      kCont8, kCont9, kContAB, kContAB, kTooShort, kTooShort, kTooShort, kTooShort)};
}

// A byte two places after a lead of 0xE0 or above, or three after one of 0xF0 or above, must continue the
// sequence; subtracting these with saturation leaves the high bit set exactly after such leads.
inline constexpr char kThirdByteFrom = static_cast<char>(0xE0 - 0x80);
inline constexpr char kFourthByteFrom = static_cast<char>(0xF0 - 0x80);

// The lookups on 32 bytes given the same bytes one, two and three places earlier.
TOVAK_AVX2_INLINE __m256i avx2_utf8_errors_from(__m256i input, __m256i prev1, __m256i prev2, __m256i prev3) noexcept {
    const Utf8Tables tables = utf8_tables();
    __m256i byte1_high =
        _mm256_shuffle_epi8(_mm256_broadcastsi128_si256(tables.byte1_high), avx2_high_nibbles(prev1));
    __m256i byte1_low = _mm256_shuffle_epi8(_mm256_broadcastsi128_si256(tables.byte1_low),
                                            _mm256_and_si256(prev1, _mm256_set1_epi8(0x0F)));
    __m256i byte2_high =
        _mm256_shuffle_epi8(_mm256_broadcastsi128_si256(tables.byte2_high), avx2_high_nibbles(input));
    __m256i special = _mm256_and_si256(_mm256_and_si256(byte1_high, byte1_low), byte2_high);
    // The second and third continuation bytes of three- and four-byte sequences.
    __m256i third = _mm256_subs_epu8(prev2, _mm256_set1_epi8(kThirdByteFrom));
    __m256i fourth = _mm256_subs_epu8(prev3, _mm256_set1_epi8(kFourthByteFrom));
    __m256i must_continue = _mm256_and_si256(_mm256_or_si256(third, fourth), _mm256_set1_epi8(static_cast<char>(0x80)));
    return _mm256_xor_si256(must_continue, special);
}

TOVAK_AVX2_INLINE __m256i avx2_utf8_errors(__m256i input, __m256i prev1, __m256i previous) noexcept {
    return avx2_utf8_errors_from(input, prev1, avx2_prev<2>(input, previous), avx2_prev<3>(input, previous));
}

// The lookups on the 64 bytes at `p`, their predecessors read from memory (the 3 bytes before `p` must be
// readable): for a block that does not follow the one checked last.
TOVAK_AVX2_INLINE __m256i avx2_utf8_errors_at(const unsigned char* p) noexcept {
    __m256i errors = _mm256_setzero_si256();
    for (const unsigned char* q = p; q < p + 64; q += 32) {
        const __m256i input = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q));
        const __m256i prev1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q - 1));
        const __m256i prev2 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q - 2));
        const __m256i prev3 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q - 3));
        errors = _mm256_or_si256(errors, avx2_utf8_errors_from(input, prev1, prev2, prev3));
    }
    return errors;
}

// Nonzero when the 32 bytes end inside a sequence.
TOVAK_AVX2_INLINE __m256i avx2_incomplete(__m256i input) noexcept {
    const __m256i limits = _mm256_setr_epi8(
        -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
        -1, -1, -1, static_cast<char>(0xF0 - 1), static_cast<char>(0xE0 - 1), static_cast<char>(0xC0 - 1));
    return _mm256_subs_epu8(input, limits);
}

TOVAK_AVX2_INLINE void avx2_validate(__m256i lo, __m256i hi, Avx2Utf8& state) noexcept {
    if (_mm256_movemask_epi8(_mm256_or_si256(lo, hi)) == 0) {
        state.error = _mm256_or_si256(state.error, state.incomplete);
        state.incomplete = _mm256_setzero_si256();
    } else {
        state.error = _mm256_or_si256(state.error,
                                      avx2_utf8_errors(lo, avx2_prev<1>(lo, state.previous), state.previous));
        state.error = _mm256_or_si256(state.error, avx2_utf8_errors(hi, avx2_prev<1>(hi, lo), lo));
        state.incomplete = avx2_incomplete(hi);
    }
    state.previous = hi;
}

TOVAK_AVX2_INLINE Avx2Utf8 avx2_load(const Utf8Carry& carry) noexcept {
    Avx2Utf8 state;
    state.previous = _mm256_load_si256(reinterpret_cast<const __m256i*>(carry.previous));
    state.error = _mm256_set1_epi8(carry.error ? 1 : 0);
    state.incomplete = _mm256_set1_epi8(carry.incomplete ? 1 : 0);
    return state;
}

TOVAK_AVX2_INLINE void avx2_store(const Avx2Utf8& state, Utf8Carry& carry) noexcept {
    _mm256_store_si256(reinterpret_cast<__m256i*>(carry.previous), state.previous);
    carry.error = !_mm256_testz_si256(state.error, state.error);
    carry.incomplete = !_mm256_testz_si256(state.incomplete, state.incomplete);
}

TOVAK_AVX2_INLINE __m256i eq(__m256i v, int byte) noexcept {
    return _mm256_cmpeq_epi8(v, _mm256_set1_epi8(static_cast<char>(byte)));
}

// The content mask of 32 bytes that hold a byte >= 0x80.
TOVAK_AVX2_INLINE std::uint32_t avx2_line_content(__m256i v, __m256i previous, __m256i not_space) noexcept {
    const __m256i cont = _mm256_cmpeq_epi8(_mm256_and_si256(v, _mm256_set1_epi8(static_cast<char>(0xC0))),
                                           _mm256_set1_epi8(static_cast<char>(0x80)));
    const __m256i maybe_space_lead =
        _mm256_or_si256(_mm256_or_si256(eq(v, 0xC2), eq(v, 0xE1)), _mm256_or_si256(eq(v, 0xE2), eq(v, 0xE3)));
    // Lead bytes of characters that cannot be white space, and ASCII other than white space.
    __m256i content = _mm256_andnot_si256(_mm256_or_si256(cont, maybe_space_lead), not_space);
    const __m256i prev1 = avx2_prev<1>(v, previous), prev2 = avx2_prev<2>(v, previous);
    __m256i c2 = _mm256_andnot_si256(_mm256_or_si256(eq(v, 0x85), eq(v, 0xA0)), eq(prev1, 0xC2));
    __m256i e1 = _mm256_andnot_si256(_mm256_and_si256(eq(prev1, 0x9A), eq(v, 0x80)), eq(prev2, 0xE1));
    __m256i up_to_8a = _mm256_cmpeq_epi8(_mm256_min_epu8(v, _mm256_set1_epi8(static_cast<char>(0x8A))), v);
    __m256i e2_after_80 = _mm256_or_si256(_mm256_or_si256(up_to_8a, eq(v, 0xA8)),
                                          _mm256_or_si256(eq(v, 0xA9), eq(v, 0xAF)));
    __m256i e2_space = _mm256_or_si256(_mm256_and_si256(eq(prev1, 0x80), e2_after_80),
                                       _mm256_and_si256(eq(prev1, 0x81), eq(v, 0x9F)));
    __m256i e2 = _mm256_andnot_si256(e2_space, eq(prev2, 0xE2));
    __m256i e3 = _mm256_andnot_si256(_mm256_and_si256(eq(prev1, 0x80), eq(v, 0x80)), eq(prev2, 0xE3));
    __m256i tails = _mm256_and_si256(cont, _mm256_or_si256(_mm256_or_si256(c2, e1), _mm256_or_si256(e2, e3)));
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_or_si256(content, tails)));
}

// Unicode White_Space in ASCII: 0x09-0x0D and 0x20 (vertical tab included, unlike the JSON bytes).
TOVAK_AVX2_INLINE __m256i avx2_line_space_table() noexcept {
    return _mm256_setr_epi8(0x20, 0, 0, 0, 0, 0, 0, 0, 0, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0, 0,  //
                            0x20, 0, 0, 0, 0, 0, 0, 0, 0, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0, 0);
}

TOVAK_AVX2_INLINE __m256i avx2_line_space(__m256i v, __m256i table) noexcept {
    return _mm256_cmpeq_epi8(_mm256_shuffle_epi8(table, v), v);
}

// The exact content mask of a block (LineMasks::content), given the 32 bytes before it.
TOVAK_AVX2_INLINE std::uint64_t avx2_exact_line_content(__m256i lo, __m256i hi, __m256i previous) noexcept {
    const __m256i ones = _mm256_set1_epi8(-1), table = avx2_line_space_table();
    const std::uint64_t content_lo =
        avx2_line_content(lo, previous, _mm256_xor_si256(avx2_line_space(lo, table), ones));
    const std::uint64_t content_hi = avx2_line_content(hi, lo, _mm256_xor_si256(avx2_line_space(hi, table), ones));
    return content_lo | content_hi << 32;
}

template <class Consumer>
__attribute__((target(TOVAK_AVX2_TARGET))) void line_blocks_avx2(const unsigned char* data, std::size_t blocks,
                                                                  Utf8Carry& carry, Consumer& consumer) noexcept {
    Avx2Utf8 state = avx2_load(carry);
    Consumer local = consumer;
    const __m256i lf = _mm256_set1_epi8('\n'), table = avx2_line_space_table();
    for (std::size_t k = 0; k < blocks; ++k) {
        const unsigned char* p = data + k * kBlockSize;
        const __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        const __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
        LineMasks m;
        m.line_feed = avx2_bits(_mm256_cmpeq_epi8(lo, lf), _mm256_cmpeq_epi8(hi, lf));
        m.non_ascii = avx2_bits(lo, hi);
        m.content = ~(avx2_bits(avx2_line_space(lo, table), avx2_line_space(hi, table)) | m.non_ascii);
        const __m256i previous = state.previous;
        avx2_validate(lo, hi, state);
        if (!local.block(m)) [[unlikely]] {
            m.content = avx2_exact_line_content(lo, hi, previous);
            m.non_ascii = 0;
            local.block(m);
        }
    }
    consumer = local;
    avx2_store(state, carry);
}

__attribute__((target(TOVAK_AVX2_TARGET))) inline void utf8_blocks_avx2(const unsigned char* data,
                                                                         std::size_t blocks,
                                                                         Utf8Carry& carry) noexcept {
    Avx2Utf8 state = avx2_load(carry);
    for (std::size_t k = 0; k < blocks; ++k) {
        const unsigned char* p = data + k * kBlockSize;
        avx2_validate(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)),
                      _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32)), state);
    }
    avx2_store(state, carry);
}

// The same validation on 64-byte vectors. `previous` holds the previous block; of a block carried in from
// another call only its upper half is known, which is all the lookups reach.
struct Avx512Utf8 {
    __m512i previous;
    __m512i error;              // accumulated error bits
    std::uint64_t incomplete;   // nonzero when `previous` ends inside a sequence
    std::uint64_t cut_short;    // nonzero once an ASCII block has followed an incomplete one
};

// The input shifted by N bytes, the last N bytes of `previous` in front.
template <int N>
TOVAK_AVX512_INLINE __m512i avx512_prev(__m512i input, __m512i previous) noexcept {
    // Each 16-byte lane of `before` holds the 16 bytes in front of the same lane of the input.
    const __m512i before = _mm512_maskz_alignr_epi64(0xFF, input, previous, 6);
    return _mm512_alignr_epi8(input, before, 16 - N);
}

TOVAK_AVX512_INLINE __m512i avx512_high_nibbles(__m512i v) noexcept {
    return _mm512_and_si512(_mm512_srli_epi16(v, 4), _mm512_set1_epi8(0x0F));
}

TOVAK_AVX512_INLINE __m512i avx512_utf8_errors_from(__m512i input, __m512i prev1, __m512i prev2,
                                                     __m512i prev3) noexcept {
    const Utf8Tables tables = utf8_tables();
    __m512i byte1_high =
        _mm512_shuffle_epi8(avx512_broadcast(tables.byte1_high), avx512_high_nibbles(prev1));
    __m512i byte1_low = _mm512_shuffle_epi8(avx512_broadcast(tables.byte1_low),
                                            _mm512_and_si512(prev1, _mm512_set1_epi8(0x0F)));
    __m512i byte2_high =
        _mm512_shuffle_epi8(avx512_broadcast(tables.byte2_high), avx512_high_nibbles(input));
    __m512i special = _mm512_and_si512(_mm512_and_si512(byte1_high, byte1_low), byte2_high);
    __m512i third = _mm512_subs_epu8(prev2, _mm512_set1_epi8(kThirdByteFrom));
    __m512i fourth = _mm512_subs_epu8(prev3, _mm512_set1_epi8(kFourthByteFrom));
    __m512i must_continue =
        _mm512_and_si512(_mm512_or_si512(third, fourth), _mm512_set1_epi8(static_cast<char>(0x80)));
    return _mm512_xor_si512(must_continue, special);
}

TOVAK_AVX512_INLINE __m512i avx512_utf8_errors(__m512i input, __m512i previous) noexcept {
    return avx512_utf8_errors_from(input, avx512_prev<1>(input, previous), avx512_prev<2>(input, previous),
                                   avx512_prev<3>(input, previous));
}

// `avx2_utf8_errors_at` on one 64-byte vector: one unaligned load brings in what the previous block would.
TOVAK_AVX512_INLINE __m512i avx512_utf8_errors_at(const unsigned char* p, __m512i input) noexcept {
    // Each 16-byte lane of `before` holds the 16 bytes in front of the same lane of the input.
    const __m512i before = _mm512_loadu_si512(p - 16);
    return avx512_utf8_errors_from(input, _mm512_alignr_epi8(input, before, 15), _mm512_alignr_epi8(input, before, 14),
                                   _mm512_alignr_epi8(input, before, 13));
}

// `non_ascii` is the block's mask of bytes >= 0x80. With `kSkipAscii`, an ASCII block costs only a
// check of the sequence before it; without, every block goes through the lookups (which catch a sequence
// cut short by ASCII too), for text where ASCII and other blocks alternate at random and the branch would
// guess wrong.
template <bool kSkipAscii>
TOVAK_AVX512_INLINE void avx512_validate(__m512i input, std::uint64_t non_ascii, Avx512Utf8& state) noexcept {
    if (kSkipAscii && non_ascii == 0) {
        state.cut_short |= state.incomplete;
        state.incomplete = 0;
    } else {
        state.error = _mm512_or_si512(state.error, avx512_utf8_errors(input, state.previous));
        // Bytes above these in the last three places start a sequence the block does not finish.
        const __m512i limits =
            _mm512_set_epi64(static_cast<long long>(0xBFDFEFFFFFFFFFFFULL), -1, -1, -1, -1, -1, -1, -1);
        state.incomplete = _mm512_cmpgt_epu8_mask(input, limits);
    }
    state.previous = input;
}

// Whether the bytes look like text with non-ASCII blocks here and there: at least 4 of the first 16
// blocks hold a byte >= 0x80.
TOVAK_AVX512_INLINE bool avx512_mixed_text(const unsigned char* data, std::size_t blocks) noexcept {
    unsigned non_ascii = 0;
    for (std::size_t k = 0; k < blocks && k < 16; ++k)
        non_ascii += _mm512_movepi8_mask(_mm512_loadu_si512(data + k * kBlockSize)) != 0;
    return non_ascii >= 4;
}

TOVAK_AVX512_INLINE Avx512Utf8 avx512_load(const Utf8Carry& carry) noexcept {
    const __m256i last = _mm256_load_si256(reinterpret_cast<const __m256i*>(carry.previous));
    return Avx512Utf8{_mm512_maskz_inserti64x4(0xFF, _mm512_setzero_si512(), last, 1), _mm512_setzero_si512(),
                      carry.incomplete ? 1u : 0u, carry.error ? 1u : 0u};
}

TOVAK_AVX512_INLINE void avx512_store(const Avx512Utf8& state, Utf8Carry& carry) noexcept {
    _mm256_store_si256(reinterpret_cast<__m256i*>(carry.previous), avx512_upper_half(state.previous));
    carry.error = _mm512_test_epi8_mask(state.error, state.error) != 0 || state.cut_short != 0;
    carry.incomplete = state.incomplete != 0;
}

template <bool kSkipAscii, class Consumer>
__attribute__((target(TOVAK_AVX512_TARGET))) void line_loop_avx512(const unsigned char* data, std::size_t blocks,
                                                                    Avx512Utf8& state, Consumer& local) noexcept {
    const __m512i lf = _mm512_set1_epi8('\n');
    const __m512i table = avx512_broadcast(_mm256_castsi256_si128(avx2_line_space_table()));
    for (std::size_t k = 0; k < blocks; ++k) {
        const __m512i v = _mm512_loadu_si512(data + k * kBlockSize);
        LineMasks m;
        m.line_feed = _mm512_cmpeq_epi8_mask(v, lf);
        m.non_ascii = _mm512_movepi8_mask(v);
        m.content = ~(_mm512_cmpeq_epi8_mask(_mm512_shuffle_epi8(table, v), v) | m.non_ascii);
        const __m256i before = avx512_upper_half(state.previous);
        avx512_validate<kSkipAscii>(v, m.non_ascii, state);
        if (!local.block(m)) [[unlikely]] {
            m.content = avx2_exact_line_content(avx512_lower_half(v), avx512_upper_half(v), before);
            m.non_ascii = 0;
            local.block(m);
        }
    }
}

template <class Consumer>
__attribute__((target(TOVAK_AVX512_TARGET))) void line_blocks_avx512(const unsigned char* data, std::size_t blocks,
                                                                      Utf8Carry& carry, Consumer& consumer) noexcept {
    Avx512Utf8 state = avx512_load(carry);
    Consumer local = consumer;
    if (avx512_mixed_text(data, blocks)) line_loop_avx512<false>(data, blocks, state, local);
    else line_loop_avx512<true>(data, blocks, state, local);
    consumer = local;
    avx512_store(state, carry);
}

__attribute__((target(TOVAK_AVX512_TARGET))) inline void utf8_blocks_avx512(const unsigned char* data,
                                                                             std::size_t blocks,
                                                                             Utf8Carry& carry) noexcept {
    Avx512Utf8 state = avx512_load(carry);
    for (std::size_t k = 0; k < blocks; ++k) {
        const __m512i v = _mm512_loadu_si512(data + k * kBlockSize);
        avx512_validate<true>(v, _mm512_movepi8_mask(v), state);
    }
    avx512_store(state, carry);
}

#endif  // TOVAK_SCAN_X86

}  // namespace scan_detail

// Classifies `blocks` consecutive 64-byte blocks of lines and hands each to
// `consumer.block(const LineMasks&)`, validating UTF-8 on the way (the verdict accumulates in `carry`).
// `block` returns false, changing nothing, when it needs the exact content mask of the block; it is then
// called again with that mask.
template <class Consumer>
void for_each_line_block(SimdLevel level, const unsigned char* data, std::size_t blocks, Utf8Carry& carry,
                         Consumer& consumer) noexcept {
#if TOVAK_SCAN_X86
    if (level == SimdLevel::avx512) return scan_detail::line_blocks_avx512(data, blocks, carry, consumer);
    if (level == SimdLevel::avx2) return scan_detail::line_blocks_avx2(data, blocks, carry, consumer);
#endif
    (void)level;
    for (std::size_t k = 0; k < blocks; ++k) {
        const unsigned char* p = data + k * kBlockSize;
        const unsigned char prev2 = carry.previous[30], prev1 = carry.previous[31];
        LineMasks masks;
        scan_detail::lines_scalar_block(p, masks, carry);
        carry.previous[30] = p[62];
        carry.previous[31] = p[63];
        if (!consumer.block(masks)) {
            masks.content = scan_detail::lines_scalar_exact(p, prev2, prev1);
            masks.non_ascii = 0;
            consumer.block(masks);
        }
    }
}

// UTF-8 validation of `blocks` consecutive 64-byte blocks, continuing from `carry`.
void validate_utf8_blocks(SimdLevel level, const unsigned char* data, std::size_t blocks, Utf8Carry& carry) noexcept;

// Validates `size` bytes that end the stream (or end at a line feed): whole blocks as they are, the last
// partial block padded with spaces, so a sequence cut off at the end is an error.
void validate_utf8_tail(SimdLevel level, const unsigned char* data, std::size_t size, Utf8Carry& carry) noexcept;

}  // namespace tovak::json
