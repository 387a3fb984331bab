#include "json/compact.hpp"

#include <cstdint>
#include <cstring>

namespace tovak::json {

namespace {

constexpr bool ends_run(unsigned char c) noexcept { return c == ' ' || c == '\n' || c == '\t' || c == '\r' || c == '"'; }

// The byte loop: runs outside strings up to white space or a quote, strings copied whole. Returns the end
// of the bytes written to `to` (which has room for the whole text).
char* compact_bytes(const char* p, const char* const end, char* to) noexcept {
    while (p < end) {
        const char* run = p;
        while (p < end && !ends_run(static_cast<unsigned char>(*p))) ++p;
        std::memcpy(to, run, static_cast<std::size_t>(p - run));
        to += p - run;
        if (p == end) break;
        if (*p != '"') {
            ++p;
            continue;
        }
        // A string: copied whole, its end found past escaped quotes.
        const char* quote = p++;
        for (;;) {
            const void* next = std::memchr(p, '"', static_cast<std::size_t>(end - p));
            p = next == nullptr ? end : static_cast<const char*>(next) + 1;
            if (next == nullptr) break;
            std::size_t slashes = 0;
            for (const char* b = p - 2; b > quote && *b == '\\'; --b) ++slashes;
            if (slashes % 2 == 0) break;
        }
        std::memcpy(to, quote, static_cast<std::size_t>(p - quote));
        to += p - quote;
    }
    return to;
}

#if TOVAK_SCAN_X86
// For each byte of kept-bytes bits over 8 bytes, the shuffle that packs those bytes to the front.
struct PackTable {
    std::uint64_t of[256];
    constexpr PackTable() : of{} {
        for (unsigned keep = 0; keep < 256; ++keep) {
            std::uint64_t shuffle = 0;
            unsigned to = 0;
            for (unsigned from = 0; from < 8; ++from) {
                if ((keep >> from) & 1) shuffle |= std::uint64_t{from} << (8 * to++);
            }
            for (; to < 8; ++to) shuffle |= std::uint64_t{0x80} << (8 * to);  // zero: written, then overwritten
            of[keep] = shuffle;
        }
    }
};
constexpr PackTable kPackTable{};

// Writes the kept bytes of each block; writes up to 8 bytes past the kept ones (the output has that room).
struct PackBlocks {
    static constexpr bool kNeedsSpace = true;
    unsigned char* to;
    std::uint64_t last_keep;  // all ones, or the bytes of the text in a padded last block
    bool exact = true;
    TOVAK_AVX2_INLINE bool block(const BlockMasks& masks, const StringBlock& strings, const unsigned char* bytes,
                                 const StringCarry&, StringCarry&) noexcept {
        if (!strings.exact) {
            exact = false;
            return false;
        }
        const std::uint64_t keep = ~(masks.space & ~strings.in_string) & last_keep;
        if (keep == ~std::uint64_t{0}) {
            std::memcpy(to, bytes, kBlockSize);
            to += kBlockSize;
            return true;
        }
        for (unsigned group = 0; group < 8; ++group) {
            const unsigned bits = static_cast<unsigned>(keep >> (8 * group)) & 0xFF;
            const __m128i v = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(bytes + 8 * group));
            const __m128i shuffle = _mm_cvtsi64_si128(static_cast<long long>(kPackTable.of[bits]));
            _mm_storel_epi64(reinterpret_cast<__m128i*>(to), _mm_shuffle_epi8(v, shuffle));
            to += __builtin_popcount(bits);
        }
        return true;
    }
};

// The block path with the driver of `kLevel` (AVX2 or AVX-512: the packing is the same, the classifier is
// the level's; the drivers carry their instruction sets); false when a block's strings could not be followed (then nothing is promised in `out`).
template <SimdLevel kLevel>
bool compact_blocks(std::string_view text, std::string& out) noexcept {
    const auto* data = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t blocks = text.size() / kBlockSize, tail = text.size() % kBlockSize;
    auto* const start = reinterpret_cast<unsigned char*>(out.data());
    PackBlocks pack{start, ~std::uint64_t{0}};
    StringCarry carry;
    const auto run = [&](const unsigned char* from, std::size_t count) {
        if constexpr (kLevel == SimdLevel::avx512) scan_detail::blocks_avx512(from, count, carry, pack);
        else scan_detail::blocks_avx2(from, count, carry, pack);
    };
    run(data, blocks);
    if (!pack.exact) return false;
    if (tail != 0) {
        unsigned char last[kBlockSize];
        std::memset(last, ' ', sizeof last);
        std::memcpy(last, data + blocks * kBlockSize, tail);
        pack.last_keep = ~(~std::uint64_t{0} << tail);
        run(last, 1);
        if (!pack.exact) return false;
    }
    out.resize(static_cast<std::size_t>(pack.to - start));
    return true;
}

#define TOVAK_VBMI2_TARGET TOVAK_AVX512_TARGET ",avx512vbmi2"

// Whether the CPU compresses bytes within a vector (VBMI2), which the AVX-512 level does not require.
bool has_vbmi2() noexcept {
    static const bool supported = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512vbmi2") != 0;
    }();
    return supported;
}

// The kept bytes of one block to `to`, packed by a byte compression and written by a masked store (nothing
// past them); false when the block's strings could not be followed.
__attribute__((target(TOVAK_VBMI2_TARGET), always_inline)) inline bool compress_block(
    const unsigned char* bytes, std::uint64_t last_keep, StringCarry& carry, unsigned char*& to) noexcept {
    BlockMasks masks;
    scan_detail::classify_avx512<true>(bytes, masks);
    const StringBlock strings = scan_detail::avx2_locate_strings(masks, carry);
    if (!strings.exact) return false;
    const std::uint64_t keep = ~(masks.space & ~strings.in_string) & last_keep;
    const unsigned kept = static_cast<unsigned>(__builtin_popcountll(keep));
    const __m512i packed = _mm512_maskz_compress_epi8(keep, _mm512_loadu_si512(bytes));
    _mm512_mask_storeu_epi8(to, _bzhi_u64(~std::uint64_t{0}, kept), packed);
    to += kept;
    return true;
}

// The AVX-512 path on a CPU with VBMI2: the classifier of that level, the bytes packed by compression.
__attribute__((target(TOVAK_VBMI2_TARGET))) bool compact_compress(std::string_view text, std::string& out) noexcept {
    const auto* data = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t blocks = text.size() / kBlockSize, tail = text.size() % kBlockSize;
    auto* const start = reinterpret_cast<unsigned char*>(out.data());
    unsigned char* to = start;
    StringCarry carry;
    for (std::size_t k = 0; k < blocks; ++k) {
        if (!compress_block(data + k * kBlockSize, ~std::uint64_t{0}, carry, to)) return false;
    }
    if (tail != 0) {
        unsigned char last[kBlockSize];
        std::memset(last, ' ', sizeof last);
        std::memcpy(last, data + blocks * kBlockSize, tail);
        if (!compress_block(last, ~(~std::uint64_t{0} << tail), carry, to)) return false;
    }
    out.resize(static_cast<std::size_t>(to - start));
    return true;
}
#endif

}  // namespace

void compact_text(std::string_view text, std::string& out, SimdLevel level) {
    // Room for the whole text and the block path's last 8-byte store.
    out.resize(text.size() + 8);
#if TOVAK_SCAN_X86
    if (level == SimdLevel::avx512 && has_vbmi2()) {
        if (compact_compress(text, out)) return;
    } else if (level == SimdLevel::avx512 && compact_blocks<SimdLevel::avx512>(text, out)) {
        return;
    }
    if (level == SimdLevel::avx2 && compact_blocks<SimdLevel::avx2>(text, out)) return;
#else
    (void)level;
#endif
    char* const end = compact_bytes(text.data(), text.data() + text.size(), out.data());
    out.resize(static_cast<std::size_t>(end - out.data()));
}

}  // namespace tovak::json
