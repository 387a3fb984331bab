// Throughput of the streaming validator against the block classifier pass in the same run, on a given
// file: best of N passes each (in CPU time of the thread), at the CPU's SIMD level (or the one TOVAK_SIMD names).
// A second line gives the compaction of the whole text (json/compact.hpp) at that level and in the byte loop.
// Usage: validate_bench FILE [CHUNK_BYTES [PASSES [POINTER]]]
#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "json/compact.hpp"
#include "json/scan.hpp"
#include "json/validate.hpp"

namespace json = tovak::json;

namespace {

struct CountStructurals {
    static constexpr bool kNeedsSpace = false;
    std::uint64_t count = 0;
    bool block(const json::BlockMasks& m, const json::StringBlock& s, const unsigned char*, const json::StringCarry&,
               json::StringCarry&) noexcept {
        count += static_cast<std::uint64_t>(__builtin_popcountll((m.open | m.close | m.comma) & ~s.in_string));
        return true;
    }
};

// CPU time of this thread: the cores are shared, so wall time also counts the time other programs ran.
double cpu_seconds() {
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

template <class Pass>
double best_seconds(int passes, Pass pass) {
    double best = 1e30;
    for (int r = 0; r < passes; ++r) {
        const double begin = cpu_seconds();
        pass();
        best = std::min(best, cpu_seconds() - begin);
    }
    return best;
}

template <class Rules>
bool validate(const std::string& text, std::size_t chunk, const json::Pointer* pointer) {
    if (pointer) {
        json::StreamValidator<Rules> validator(*pointer);
        for (std::size_t at = 0; at < text.size(); at += chunk) {
            validator.feed(text.data() + at, std::min(chunk, text.size() - at));
            validator.events().clear();
        }
        return validator.finish();
    }
    json::StreamValidator<Rules> validator;
    for (std::size_t at = 0; at < text.size(); at += chunk)
        validator.feed(text.data() + at, std::min(chunk, text.size() - at));
    const bool ok = validator.finish();
    if (!ok) std::printf("  error: %s\n", validator.error().text().c_str());
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE [CHUNK_BYTES [PASSES [POINTER]]]\n", argv[0]);
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    std::stringstream buffer;
    buffer << file.rdbuf();
    const std::string text = buffer.str();
    const std::size_t chunk = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1 << 20;
    const int passes = argc > 3 ? std::atoi(argv[3]) : 5;
    json::Pointer pointer;
    json::PointerSyntaxError syntax;
    json::parse_pointer(argc > 4 ? argv[4] : "/999999999", pointer, syntax);
    const double gb = static_cast<double>(text.size()) / 1e9;

    bool ok_fixed = true, ok_python = true, ok_navigate = true;
    const double classify = best_seconds(passes, [&] {
        json::StringCarry carry;
        CountStructurals counter;
        for (std::size_t at = 0; at < text.size(); at += chunk) {
            const std::size_t n = std::min(chunk, text.size() - at);
            json::for_each_block(json::simd_level(), reinterpret_cast<const unsigned char*>(text.data()) + at,
                                 n / json::kBlockSize, carry, counter);
        }
        if (counter.count == 1) std::printf("!");
    });
    const double fixed = best_seconds(passes, [&] { ok_fixed = validate<json::FixedWidthRules>(text, chunk, nullptr); });
    const double python = best_seconds(passes, [&] { ok_python = validate<json::PythonRules>(text, chunk, nullptr); });
    const double navigate =
        best_seconds(passes, [&] { ok_navigate = validate<json::PythonRules>(text, chunk, &pointer); });
    std::printf("classifier %.2f GB/s | fixed %.2f GB/s (%.2f) ok=%d | python %.2f (%.2f) ok=%d | navigate %.2f (%.2f) "
                "ok=%d\n",
                gb / classify, gb / fixed, classify / fixed, ok_fixed, gb / python, classify / python, ok_python,
                gb / navigate, classify / navigate, ok_navigate);
    if (!ok_fixed) return 0;
    std::string compacted, by_bytes;
    const double packed = best_seconds(passes, [&] { json::compact_text(text, compacted); });
    const double looped = best_seconds(passes, [&] { json::compact_text(text, by_bytes, json::SimdLevel::scalar); });
    std::printf("compact %.2f GB/s (%.2f) | byte loop %.2f GB/s (%.2f) | same=%d\n", gb / packed, classify / packed,
                gb / looped, classify / looped, compacted == by_bytes);
    return 0;
}
