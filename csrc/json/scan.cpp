#include "json/scan.hpp"

#if TOVAK_SCAN_X86
#include <cpuid.h>
#endif

#include <cstdlib>
#include <cstring>

namespace tovak::json {

namespace {

SimdLevel cpu_level() noexcept {
#if TOVAK_SCAN_X86
    __builtin_cpu_init();
    // The compiler's check also asks the operating system (XGETBV) whether it saves the 512-bit and mask
    // registers, as it does for the 256-bit ones of AVX2.
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi") &&
        __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
        __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt") && __builtin_cpu_supports("pclmul")) {
        return SimdLevel::avx512;
    }
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2") &&
        __builtin_cpu_supports("popcnt") && __builtin_cpu_supports("pclmul")) {
        return SimdLevel::avx2;
    }
    return SimdLevel::sse2;
#else
    return SimdLevel::scalar;
#endif
}

// The CPU's level, lowered to the one TOVAK_SIMD names when that is lower.
SimdLevel detect_level() noexcept {
    const SimdLevel best = cpu_level();
    const char* asked = std::getenv("TOVAK_SIMD");
    if (asked == nullptr) return best;
    SimdLevel wanted = best;
    if (std::strcmp(asked, "scalar") == 0) wanted = SimdLevel::scalar;
    else if (std::strcmp(asked, "sse2") == 0) wanted = SimdLevel::sse2;
    else if (std::strcmp(asked, "avx2") == 0) wanted = SimdLevel::avx2;
    else if (std::strcmp(asked, "avx512") == 0) wanted = SimdLevel::avx512;
    return static_cast<int>(wanted) < static_cast<int>(best) ? wanted : best;
}

// Takes one block, with its white space, and stops.
struct SingleBlock {
    static constexpr bool kNeedsSpace = true;
    BlockMasks* out;
    bool block(const BlockMasks& masks, const StringBlock&, const unsigned char*, const StringCarry&,
               StringCarry&) noexcept {
        *out = masks;
        return false;
    }
};

}  // namespace

SimdLevel wide_simd_level() noexcept {
    static const SimdLevel level = detect_level();
    return level;
}

bool fast_bit_extract() noexcept {
#if TOVAK_SCAN_X86
    static const bool fast = [] {
        __builtin_cpu_init();
        if (!__builtin_cpu_supports("bmi2")) return false;
        // AMD (and Hygon, built on the same cores) run them in hardware from family 19h (Zen 3) on.
        if (!__builtin_cpu_is("amd")) return true;
        unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
        __cpuid(1, eax, ebx, ecx, edx);
        const unsigned family = ((eax >> 8) & 0xF) == 0xF ? 0xF + ((eax >> 20) & 0xFF) : (eax >> 8) & 0xF;
        return family >= 0x19;
    }();
    return fast;
#else
    return false;
#endif
}

SimdLevel simd_level() noexcept {
    const SimdLevel level = wide_simd_level();
    return level == SimdLevel::avx512 ? SimdLevel::avx2 : level;
}

void classify_block(SimdLevel level, const unsigned char* data, BlockMasks& masks) noexcept {
    SingleBlock single{&masks};
    StringCarry carry;
    for_each_block(level, data, 1, carry, single);
}

void validate_utf8_blocks(SimdLevel level, const unsigned char* data, std::size_t blocks, Utf8Carry& carry) noexcept {
#if TOVAK_SCAN_X86
    if (level == SimdLevel::avx512) return scan_detail::utf8_blocks_avx512(data, blocks, carry);
    if (level == SimdLevel::avx2) return scan_detail::utf8_blocks_avx2(data, blocks, carry);
#endif
    (void)level;
    for (std::size_t k = 0; k < blocks; ++k) scan_detail::utf8_scalar_block(data + k * kBlockSize, carry);
}

void validate_utf8_tail(SimdLevel level, const unsigned char* data, std::size_t size, Utf8Carry& carry) noexcept {
    std::size_t whole = size / kBlockSize;
    validate_utf8_blocks(level, data, whole, carry);
    std::size_t rest = size - whole * kBlockSize;
    if (rest == 0) return;
    unsigned char padded[kBlockSize];
    std::memcpy(padded, data + whole * kBlockSize, rest);
    std::memset(padded + rest, ' ', kBlockSize - rest);
    validate_utf8_blocks(level, padded, 1, carry);
}

}  // namespace tovak::json
