// Shared by the native test programs: the SIMD levels this CPU runs, a fixed-seed generator of byte
// strings rich in the bytes the scanners treat specially, and mismatch reporting.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "json/scan.hpp"

namespace native_check {

using tovak::json::SimdLevel;

inline const char* level_name(SimdLevel level) {
    switch (level) {
        case SimdLevel::scalar: return "scalar";
        case SimdLevel::sse2: return "sse2";
        case SimdLevel::avx2: return "avx2";
        case SimdLevel::avx512: return "avx512";
    }
    return "?";
}

// Scalar everywhere, SSE2 on x86-64, AVX2 and AVX-512 where this CPU has them (asking for a level the CPU
// lacks would crash).
inline std::vector<SimdLevel> runnable_levels() {
    std::vector<SimdLevel> levels{SimdLevel::scalar};
#if TOVAK_SCAN_X86
    levels.push_back(SimdLevel::sse2);
    const SimdLevel best = tovak::json::wide_simd_level();
    if (best == SimdLevel::avx2 || best == SimdLevel::avx512) levels.push_back(SimdLevel::avx2);
    if (best == SimdLevel::avx512) levels.push_back(SimdLevel::avx512);
#endif
    return levels;
}

// std::mt19937_64 is specified bit for bit, so a seed gives the same inputs on every platform (the
// standard distributions are not, hence the plain remainders).
class Random {
public:
    explicit Random(std::uint64_t seed) : engine_(seed) {}
    std::size_t below(std::size_t n) { return static_cast<std::size_t>(engine_() % n); }
    std::size_t between(std::size_t low, std::size_t high) { return low + below(high - low + 1); }
    bool percent(unsigned p) { return below(100) < p; }
    unsigned char byte() { return static_cast<unsigned char>(engine_()); }
    template <class T, std::size_t N>
    const T& pick(const T (&items)[N]) {
        return items[below(N)];
    }

private:
    std::mt19937_64 engine_;
};

// The kinds of pieces random text is made of.
enum Piece : std::size_t {
    kQuote,           // "
    kBackslash,       // one backslash
    kBackslashRun,    // 2 to 9 backslashes: escapes pair up, and runs cross block boundaries
    kOpen,            // [ or {
    kClose,           // ] or }
    kComma,           // ,
    kSpaceByte,       // tab, carriage return, form feed, space (line feed has its own weight)
    kLineFeed,        // \n
    kAscii,           // letters, digits, `:`, vertical tab, NUL, DEL
    kUnicodeSpace,    // multi-byte characters with the Unicode White_Space property
    kUnicodeOther,    // other well-formed multi-byte characters, many one byte away from white space
    kInvalidUtf8,     // ill-formed sequences: surrogates, overlong forms, stray or missing continuations
    kAnyByte,         // a byte drawn uniformly
    kPieceKinds
};
using Mix = std::array<unsigned, kPieceKinds>;  // a weight per kind

inline constexpr std::string_view kSpaceBytes[] = {"\t", "\r", "\f", " "};
inline constexpr std::string_view kAsciiPieces[] = {"a", "Z", "q", "0", "7", ":", "-", "\v", {"\0", 1}, "\x7F"};
inline constexpr std::string_view kUnicodeSpaces[] = {
    "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x8A", "\xE2\x80\xA8",
    "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80"};
inline constexpr std::string_view kUnicodeOthers[] = {
    "\xC3\xA9",     "\xC2\xA1",     "\xC2\x84",         "\xE2\x80\x8B",     "\xE2\x80\xAA",
    "\xE2\x80\xB0", "\xE2\x81\xA0", "\xE1\x9A\x81",     "\xE3\x80\x81",     "\xE3\x81\x80",
    "\xEF\xBB\xBF", "\xE0\xA0\x80", "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF", "\xED\x9F\xBF"};
inline constexpr std::string_view kInvalidUtf8Pieces[] = {
    "\xED\xA0\x80", "\xED\xBF\xBF", "\xC0\x80", "\xC1\xBF",     "\xE0\x80\x80", "\xE0\x9F\xBF",
    "\xF0\x80\x80\x80", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xFF",    "\xFE",         "\x80",
    "\xBF",         "\xC2",         "\xE2\x80",   "\xF0\x9F\x98"};

// Random text of about `length` bytes with the given weights.
inline std::string random_text(Random& random, std::size_t length, const Mix& mix) {
    unsigned total = 0;
    for (unsigned weight : mix) total += weight;
    std::string text;
    while (text.size() < length) {
        std::size_t draw = random.below(total), kind = 0;
        while (draw >= mix[kind]) draw -= mix[kind++];
        switch (kind) {
            case kQuote: text += '"'; break;
            case kBackslash: text += '\\'; break;
            case kBackslashRun: text.append(random.between(2, 9), '\\'); break;
            case kOpen: text += random.percent(50) ? '[' : '{'; break;
            case kClose: text += random.percent(50) ? ']' : '}'; break;
            case kComma: text += ','; break;
            case kSpaceByte: text += random.pick(kSpaceBytes); break;
            case kLineFeed: text += '\n'; break;
            case kAscii: text += random.pick(kAsciiPieces); break;
            case kUnicodeSpace: text += random.pick(kUnicodeSpaces); break;
            case kUnicodeOther: text += random.pick(kUnicodeOthers); break;
            case kInvalidUtf8: text += random.pick(kInvalidUtf8Pieces); break;
            default: text += static_cast<char>(random.byte()); break;
        }
    }
    return text;
}

// Random sizes adding up to `total`, each at least 1: some tiny, some near multiples of 64, some large.
inline std::vector<std::size_t> random_pieces(Random& random, std::size_t total) {
    std::vector<std::size_t> sizes;
    const unsigned style = static_cast<unsigned>(random.below(4));
    while (total != 0) {
        std::size_t size = style == 0   ? random.between(1, 8)
                           : style == 1 ? 64 * random.between(1, 3) + random.between(0, 2) - 1
                           : style == 2 ? random.between(1, 200)
                                        : random.between(1, 3000);
        size = std::min(size, total);
        sizes.push_back(size);
        total -= size;
    }
    return sizes;
}

// Bytes shown with C escapes, cut short when long.
inline std::string printable(std::string_view bytes) {
    constexpr std::size_t kShown = 400;
    std::string out;
    for (std::size_t i = 0; i < bytes.size() && i < kShown; ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (b == '\\' || b == '"') {
            out += '\\';
            out += static_cast<char>(b);
        } else if (b >= 0x20 && b < 0x7F) {
            out += static_cast<char>(b);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", b);
            out += escaped;
        }
    }
    if (bytes.size() > kShown) out += "... (" + std::to_string(bytes.size()) + " bytes)";
    return out;
}

// Counts checks and mismatches; prints the first few mismatches with the input that showed them.
class Report {
public:
    explicit Report(const char* program) : program_(program) {
        std::setvbuf(stdout, nullptr, _IOLBF, 0);  // what was found stays in the log should the program crash
    }

    // `what` makes the description (only when needed: most checks agree).
    template <class Describe>
    void check(bool agrees, Describe&& what, std::string_view input) {
        ++checks_;
        if (agrees) return;
        if (++mismatches_ <= kPrinted) {
            const std::string description = what();
            std::printf("MISMATCH %s\n  input: \"%s\"\n", description.c_str(), printable(input).c_str());
        }
    }

    // The exit status: 0 when everything agreed.
    int finish() const {
        std::printf("%s: %llu checks, %llu mismatches\n", program_, static_cast<unsigned long long>(checks_),
                    static_cast<unsigned long long>(mismatches_));
        return mismatches_ == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
    }

private:
    static constexpr std::uint64_t kPrinted = 10;
    const char* program_;
    std::uint64_t checks_ = 0, mismatches_ = 0;
};

// The seed: the first argument when given (to explore), else the fixed one CI uses.
inline std::uint64_t seed_from(int argc, char** argv, std::uint64_t fixed) {
    return argc > 1 ? std::strtoull(argv[1], nullptr, 0) : fixed;
}

}  // namespace native_check
