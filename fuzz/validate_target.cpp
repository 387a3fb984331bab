// The streaming validator against the parser. The first input byte picks the rules and how the rest is
// cut into chunks; the rest is the text. The validator's verdict, message, offset, line and column must
// be the parser's on the whole text (on ill-formed UTF-8: the first ill-formed sequence, when the bytes
// before the parser's error already show it), and must not depend on the chunking. Navigating to a pointer
// (picked by the first byte too) gives the same verdict, and on a valid text the same events as a feed of
// one byte at a time, which never takes a block at once. One of the streamed runs is at a SIMD level picked
// by the first byte (at most the CPU's). A valid text compacts to the same bytes at every level, and the
// compacted text is valid.
#include <cstdint>
#include <cstring>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "json/check_sink.hpp"
#include "json/compact.hpp"
#include "json/validate.hpp"
#include "reference.hpp"

namespace json = tovak::json;

namespace {

using NullSink = tovak::json::CheckSink;

struct Verdict {
    bool ok = true;
    const char* message = "";
    std::uint64_t offset = 0, line = 0, column = 0;
    bool same(const Verdict& other) const {
        return ok == other.ok && (ok || (std::strcmp(message, other.message) == 0 && offset == other.offset &&
                                         line == other.line && column == other.column));
    }
};

template <class Rules>
Verdict expected(std::string_view text) {
    NullSink sink;
    const json::ParseOutcome outcome = json::parse<Rules>(text, sink);
    Verdict verdict;
    if (!outcome.ok()) {
        verdict = Verdict{false, outcome.error.message, outcome.error.offset, outcome.error.line, outcome.error.column};
    }
    // The first ill-formed sequence, by the model: its first byte and the byte that shows it.
    std::size_t i = 0, start = 0, shown = 0;
    bool ill = false;
    while (i < text.size() && !ill) {
        const auto b = static_cast<unsigned char>(text[i]);
        std::size_t need = 0;
        unsigned char low = 0x80, high = 0xBF;
        if (b < 0x80) { ++i; continue; }
        if (b >= 0xC2 && b <= 0xDF) need = 1;
        else if (b == 0xE0) need = 2, low = 0xA0;
        else if (b == 0xED) need = 2, high = 0x9F;
        else if (b >= 0xE1 && b <= 0xEF) need = 2;
        else if (b == 0xF0) need = 3, low = 0x90;
        else if (b >= 0xF1 && b <= 0xF3) need = 3;
        else if (b == 0xF4) need = 3, high = 0x8F;
        else { ill = true, start = shown = i; break; }
        for (std::size_t j = 1; j <= need; ++j) {
            if (i + j >= text.size()) { ill = true, start = i, shown = text.size(); break; }
            const auto c = static_cast<unsigned char>(text[i + j]);
            if (c < low || c > high) { ill = true, start = i, shown = i + j; break; }
            low = 0x80, high = 0xBF;
        }
        i += need + 1;
    }
    FUZZ_CHECK(ill == !fuzz::valid_utf8(text));
    if (ill && (verdict.ok || shown < verdict.offset)) {
        const json::ParseError at = json::locate_error(text, start + 1, json::message::invalid_utf8);
        verdict = Verdict{false, at.message, at.offset, at.line, at.column};
    }
    return verdict;
}

// A SIMD level from the seed, at most the CPU's, so every block driver is fuzzed.
json::SimdLevel level_of(std::uint32_t seed) {
    constexpr json::SimdLevel kLevels[] = {json::SimdLevel::scalar, json::SimdLevel::sse2, json::SimdLevel::avx2,
                                           json::SimdLevel::avx512};
    const json::SimdLevel level = kLevels[(seed >> 5) % 4];
    return static_cast<int>(level) < static_cast<int>(json::wide_simd_level()) ? level : json::wide_simd_level();
}

template <class Rules>
Verdict streamed(std::string_view text, std::uint32_t seed, json::SimdLevel level = json::wide_simd_level()) {
    json::StreamValidator<Rules> validator({}, level);
    std::minstd_rand random(seed);
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t size = 1 + random() % (seed % 3 == 0 ? 8 : seed % 3 == 1 ? 70 : 700);
        size = std::min(size, text.size() - at);
        if (!validator.feed(text.data() + at, size)) break;
        at += size;
    }
    if (!validator.failed() && validator.finish()) return Verdict{};
    const json::ParseError& e = validator.error();
    return Verdict{false, e.message, e.offset, e.line, e.column};
}

// Pointers that the seeds' documents often reach: the root, first elements, short keys.
constexpr const char* kPointers[] = {"", "/0", "/a", "/0/0", "/a/b", "/1", "/features"};

bool same_events(const std::vector<json::PointerEvent>& a, const std::vector<json::PointerEvent>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].kind != b[i].kind || a[i].value != b[i].value || a[i].offset != b[i].offset ||
            a[i].index != b[i].index || a[i].key != b[i].key || a[i].matched != b[i].matched) {
            return false;
        }
    }
    return true;
}

// `chunk_limit` 0: chunks of random sizes from `seed`; else that fixed size.
template <class Rules>
Verdict navigated(std::string_view text, const json::Pointer& pointer, std::uint32_t seed, std::size_t chunk_limit,
                  std::vector<json::PointerEvent>& events) {
    json::StreamValidator<Rules> validator(pointer);
    std::minstd_rand random(seed);
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t size = chunk_limit != 0 ? chunk_limit : 1 + random() % (seed % 3 == 0 ? 70 : 700);
        size = std::min(size, text.size() - at);
        const bool more = validator.feed(text.data() + at, size);
        for (auto& event : validator.events()) events.push_back(std::move(event));
        validator.events().clear();
        if (!more) break;
        at += size;
    }
    const bool ok = !validator.failed() && validator.finish();
    for (auto& event : validator.events()) events.push_back(std::move(event));
    if (ok) return Verdict{};
    const json::ParseError& e = validator.error();
    return Verdict{false, e.message, e.offset, e.line, e.column};
}

template <class Rules>
void check(std::string_view text, std::uint32_t seed) {
    const Verdict want = expected<Rules>(text);
    FUZZ_CHECK(want.same(streamed<Rules>(text, seed)));
    FUZZ_CHECK(want.same(streamed<Rules>(text, seed + 1, level_of(seed))));
    if (want.ok) {
        std::string scalar, best, picked;
        json::compact_text(text, scalar, json::SimdLevel::scalar);
        json::compact_text(text, best);
        json::compact_text(text, picked, level_of(seed));
        FUZZ_CHECK(scalar == best && scalar == picked);
        FUZZ_CHECK(expected<Rules>(scalar).ok);
    }
    const std::size_t pick = (seed >> 2) % 8;
    if (pick >= std::size(kPointers)) return;
    json::Pointer pointer;
    json::PointerSyntaxError syntax;
    FUZZ_CHECK(json::parse_pointer(kPointers[pick], pointer, syntax));
    std::vector<json::PointerEvent> fast, slow;
    FUZZ_CHECK(want.same(navigated<Rules>(text, pointer, seed, 0, fast)));
    if (!want.ok) return;
    FUZZ_CHECK(want.same(navigated<Rules>(text, pointer, seed, 1, slow)));
    FUZZ_CHECK(same_events(fast, slow));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    if (size == 0) return 0;
    const std::string_view text(reinterpret_cast<const char*>(bytes + 1), size - 1);
    const std::uint32_t seed = bytes[0];
    if (seed & 1) check<json::PythonRules>(text, seed);
    else check<json::FixedWidthRules>(text, seed);
    return 0;
}
