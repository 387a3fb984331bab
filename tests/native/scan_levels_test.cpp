// The byte scanners at every SIMD level. The module only ever runs the level its CPU picks, so pytest
// reaches one of scalar, SSE2, AVX2 and AVX-512; this program runs all that the CPU has on the same
// fixed-seed random inputs and checks that each gives what the others give and what a byte-by-byte model
// gives:
//   1. block masks (classify_block), on every byte value at every position and on random blocks;
//   2. strings carried across blocks (for_each_block), with and without white-space masks;
//   3. the element count of a JSON text fed in random pieces (count_elements_in), and the vector depth
//      masks it uses;
//   4. UTF-8 verdicts, line masks and the JSONL line count fed in random pieces (count_lines_in).
// Built with -DTOVAK_NATIVE_TESTS=ON and run by .ci/native-tests; exits nonzero on any mismatch. An
// argument replaces the fixed seed.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "records/count.hpp"
#include "json/scan.hpp"
#include "native_check.hpp"

namespace {

using namespace native_check;
using tovak::json::BlockMasks;
using tovak::json::kBlockSize;
using tovak::json::LineMasks;
using tovak::json::StringBlock;
using tovak::json::StringCarry;
using tovak::json::Utf8Carry;

const auto* bytes_of(const std::string& text) { return reinterpret_cast<const unsigned char*>(text.data()); }

std::string block_text(const unsigned char* block) { return std::string(reinterpret_cast<const char*>(block), kBlockSize); }

// A text cut or padded with spaces to whole blocks.
std::string padded_to_blocks(std::string text, std::size_t blocks) {
    text.resize(blocks * kBlockSize, ' ');
    return text;
}

std::string hex(std::uint64_t mask) {
    char out[24];
    std::snprintf(out, sizeof out, "%016llx", static_cast<unsigned long long>(mask));
    return out;
}

// ---------------------------------------------------------------------------------------------------
// 1. Block masks

bool json_space(unsigned char b) { return b == 0x09 || b == 0x0A || b == 0x0C || b == 0x0D || b == 0x20; }

BlockMasks model_masks(const unsigned char* block) {
    BlockMasks m{};
    for (std::size_t i = 0; i < kBlockSize; ++i) {
        const std::uint64_t bit = std::uint64_t{1} << i;
        const unsigned char b = block[i];
        if (b == '"') m.quote |= bit;
        if (b == '\\') m.backslash |= bit;
        if (b == '[' || b == '{') m.open |= bit;
        if (b == ']' || b == '}') m.close |= bit;
        if (b == ',') m.comma |= bit;
        if (json_space(b)) m.space |= bit;
    }
    return m;
}

// Empty when equal, else the masks that differ.
std::string mask_difference(const BlockMasks& got, const BlockMasks& want) {
    std::string out;
    auto compare = [&](const char* name, std::uint64_t g, std::uint64_t w) {
        if (g != w) out += std::string(" ") + name + " " + hex(g) + " want " + hex(w);
    };
    compare("quote", got.quote, want.quote);
    compare("backslash", got.backslash, want.backslash);
    compare("open", got.open, want.open);
    compare("close", got.close, want.close);
    compare("comma", got.comma, want.comma);
    compare("space", got.space, want.space);
    return out;
}

void check_block(const unsigned char* block, Report& report) {
    const BlockMasks want = model_masks(block);
    for (SimdLevel level : runnable_levels()) {
        BlockMasks got;
        tovak::json::classify_block(level, block, got);
        const std::string difference = mask_difference(got, want);
        report.check(
            difference.empty(), [&] { return std::string("classify_block ") + level_name(level) + ":" + difference; },
            block_text(block));
    }
}

void check_block_masks(Random& random, Report& report) {
    // Every byte value at every position: block k holds byte (k + i) mod 256 at position i.
    for (unsigned k = 0; k < 256; ++k) {
        unsigned char block[kBlockSize];
        for (unsigned i = 0; i < kBlockSize; ++i) block[i] = static_cast<unsigned char>(k + i);
        check_block(block, report);
    }
    const Mix mixes[] = {
        //  "  \  \\+ [{ ]} ,  sp lf asc usp uot bad any
        {4, 4, 1, 4, 4, 4, 4, 2, 4, 1, 1, 1, 4},    // structural bytes
        {1, 0, 0, 1, 1, 1, 8, 4, 1, 2, 2, 0, 1},    // white space, single- and multi-byte
        {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1},    // any bytes
    };
    for (int n = 0; n < 100000; ++n) {
        const std::string text = random_text(random, kBlockSize, mixes[n % 3]);
        check_block(bytes_of(text), report);
    }
}

// ---------------------------------------------------------------------------------------------------
// 2. Strings across blocks

struct ModelState {
    bool in_string = false, escaped = false;
};

// What the model finds in one block.
struct ModelBlock {
    std::uint64_t in_string = 0;  // each opening quote and the contents, not the closing quote
    std::uint64_t quotes = 0;     // the quotes that open or close a string
    int first_outside_backslash = -1;
    ModelState after;
};

ModelBlock model_strings(const unsigned char* block, ModelState state) {
    ModelBlock found;
    for (int i = 0; i < static_cast<int>(kBlockSize); ++i) {
        const std::uint64_t bit = std::uint64_t{1} << i;
        const unsigned char b = block[i];
        if (state.in_string) {
            if (state.escaped) {
                state.escaped = false;
            } else if (b == '"') {
                state.in_string = false;
                found.quotes |= bit;
                continue;
            } else if (b == '\\') {
                state.escaped = true;
            }
            found.in_string |= bit;
        } else if (b == '"') {
            state.in_string = true;
            found.quotes |= bit;
            found.in_string |= bit;
        } else if (b == '\\' && found.first_outside_backslash < 0) {
            found.first_outside_backslash = i;
        }
    }
    found.after = state;
    return found;
}

StringCarry carry_of(ModelState state) { return StringCarry::from(state.in_string, state.escaped); }

bool same_carry(const StringCarry& a, const StringCarry& b) {
    return a.in_string == b.in_string && a.escaped == b.escaped;
}

std::string carry_text(const StringCarry& c) {
    return "{in_string " + hex(c.in_string) + ", escaped " + std::to_string(c.escaped) + "}";
}

struct BlockRecord {
    BlockMasks masks;
    StringBlock strings;
    StringCarry before, after;
};

// Keeps what the driver hands over for each block, and redoes an inexact block byte by byte as every
// consumer must.
template <bool kSpace>
struct Recorder {
    static constexpr bool kNeedsSpace = kSpace;
    std::vector<BlockRecord>* records;

    bool block(const BlockMasks& masks, const StringBlock& strings, const unsigned char* bytes,
               const StringCarry& before, StringCarry& after) {
        if (!strings.exact) after = carry_of(model_strings(bytes, {before.inside(), before.escaped != 0}).after);
        records->push_back(BlockRecord{masks, strings, before, after});
        return true;
    }
};

template <bool kSpace>
std::vector<BlockRecord> record_blocks(SimdLevel level, const std::string& text, ModelState start,
                                       StringCarry& end) {
    std::vector<BlockRecord> records;
    Recorder<kSpace> recorder{&records};
    end = carry_of(start);
    const std::size_t blocks = text.size() / kBlockSize;
    const std::size_t handled = tovak::json::for_each_block(level, bytes_of(text), blocks, end, recorder);
    if (handled != blocks) records.clear();
    return records;
}

template <bool kSpace>
void check_strings_at(SimdLevel level, const std::string& text, ModelState start,
                      const std::vector<ModelBlock>& model, std::vector<BlockRecord>& first_level_records,
                      Report& report) {
    const std::string where = std::string("for_each_block ") + level_name(level) + (kSpace ? "" : " (no space)");
    StringCarry end;
    const std::vector<BlockRecord> records = record_blocks<kSpace>(level, text, start, end);
    if (records.size() != model.size()) {
        report.check(false, [&] { return where + ": handled " + std::to_string(records.size()) + " blocks"; }, text);
        return;
    }
    ModelState state = start;
    for (std::size_t k = 0; k < model.size(); ++k) {
        const BlockRecord& got = records[k];
        const ModelBlock& want = model[k];
        auto block = [&](const std::string& what) { return where + " block " + std::to_string(k) + ": " + what; };
        BlockMasks want_masks = model_masks(bytes_of(text) + k * kBlockSize);
        if (!kSpace) want_masks.space = 0;
        const std::string difference = mask_difference(got.masks, want_masks);
        report.check(difference.empty(), [&] { return block("masks" + difference); }, text);
        report.check(same_carry(got.before, carry_of(state)),
                     [&] { return block("carry before " + carry_text(got.before)); }, text);
        const bool exact = want.first_outside_backslash < 0;
        report.check(got.strings.exact == exact, [&] { return block("exact " + std::to_string(got.strings.exact)); },
                     text);
        // An inexact block is still right up to its first backslash outside strings.
        const std::uint64_t valid = exact ? ~std::uint64_t{0}
                                          : ~std::uint64_t{0} >> (63 - want.first_outside_backslash);
        report.check(((got.strings.in_string ^ want.in_string) & valid) == 0,
                     [&] { return block("in_string " + hex(got.strings.in_string) + " want " + hex(want.in_string)); },
                     text);
        report.check(((got.strings.quotes ^ want.quotes) & valid) == 0,
                     [&] { return block("quotes " + hex(got.strings.quotes) + " want " + hex(want.quotes)); }, text);
        report.check(same_carry(got.after, carry_of(want.after)),
                     [&] { return block("carry after " + carry_text(got.after)); }, text);
        state = want.after;
    }
    report.check(same_carry(end, carry_of(state)), [&] { return where + ": final carry " + carry_text(end); }, text);
    // Inexact blocks too must come out bit for bit alike at every level.
    if (first_level_records.empty()) {
        first_level_records = records;
        return;
    }
    for (std::size_t k = 0; k < records.size(); ++k) {
        const StringBlock& a = records[k].strings;
        const StringBlock& b = first_level_records[k].strings;
        report.check(a.in_string == b.in_string && a.quotes == b.quotes && a.exact == b.exact,
                     [&] { return where + " block " + std::to_string(k) + ": differs from scalar"; }, text);
    }
}

void check_string_tracking(Random& random, Report& report) {
    const Mix mixes[] = {
        //  "  \  \\+ [{ ]} ,  sp lf asc usp uot bad any
        {6, 2, 1, 1, 1, 1, 2, 1, 10, 0, 1, 0, 0},   // strings with a few escapes
        {4, 6, 4, 1, 1, 1, 1, 0, 6, 0, 0, 0, 0},    // many escapes and runs of backslashes
        {2, 1, 1, 0, 0, 0, 0, 0, 24, 0, 0, 0, 0},   // long strings crossing blocks
        {3, 3, 2, 2, 2, 2, 2, 1, 3, 1, 1, 1, 2},    // everything
    };
    const ModelState starts[] = {{false, false}, {true, false}, {true, true}};
    for (int n = 0; n < 40000; ++n) {
        const std::size_t blocks = random.between(1, 8);
        const std::string text = padded_to_blocks(random_text(random, blocks * kBlockSize, mixes[n % 4]), blocks);
        const ModelState start = random.pick(starts);
        std::vector<ModelBlock> model;
        ModelState state = start;
        for (std::size_t k = 0; k < blocks; ++k) {
            model.push_back(model_strings(bytes_of(text) + k * kBlockSize, state));
            state = model.back().after;
        }
        std::vector<BlockRecord> with_space, without_space;
        for (SimdLevel level : runnable_levels()) {
            check_strings_at<true>(level, text, start, model, with_space, report);
            check_strings_at<false>(level, text, start, model, without_space, report);
        }
    }
}

// ---------------------------------------------------------------------------------------------------
// 3. Element counts

// The top-level element counter, one byte at a time.
std::uint64_t model_element_count(std::string_view text) {
    bool array = false, in_string = false, escaped = false, content = false;
    std::int64_t depth = 0;
    std::uint64_t commas = 0;
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (in_string) {
            if (escaped) escaped = false;
            else if (b == '"') in_string = false;
            else if (b == '\\') escaped = true;
            continue;
        }
        if (!array) {
            if (json_space(b)) continue;
            if (b != '[') return 1;  // a single value
            array = true;
            depth = 1;
            continue;
        }
        if (json_space(b)) continue;
        if (b == ',') {
            commas += depth == 1;
            continue;
        }
        if (b == ']' || b == '}') {
            --depth;
            continue;
        }
        content |= depth == 1;
        if (b == '"') in_string = true;
        if (b == '[' || b == '{') ++depth;
    }
    if (!array) return 1;  // empty or white space only
    return content ? commas + 1 : 0;
}

std::string random_json_like(Random& random) {
    const Mix mixes[] = {
        //  "  \  \\+ [{ ]} ,   sp  lf asc usp uot bad any
        {3, 1, 1, 3, 3, 6, 3, 1, 6, 1, 1, 1, 1},     // general
        {1, 1, 0, 4, 4, 8, 12, 4, 0, 0, 0, 0, 0},    // little content: it shows up late, if ever
        {4, 6, 4, 2, 2, 3, 1, 0, 4, 0, 1, 0, 0},     // escapes, and backslashes outside strings
        {0, 0, 0, 0, 0, 40, 1, 0, 1, 0, 0, 0, 0},    // mostly commas
        {2, 1, 0, 6, 2, 4, 2, 1, 4, 0, 0, 0, 1},     // deep
        {2, 1, 0, 2, 6, 4, 2, 1, 4, 0, 0, 0, 1},     // below depth 1 after the array closes
    };
    std::string text;
    const unsigned start = static_cast<unsigned>(random.below(10));
    if (start < 8) {
        text.append(random.below(3), ' ');
        if (random.percent(20)) text += random.pick(kSpaceBytes);
        if (start < 7) text += '[';
    }
    const std::size_t length = random.percent(10) ? random.between(1000, 6000) : random.below(400);
    text += random_text(random, length, random.pick(mixes));
    return text;
}

void check_element_counts(Random& random, Report& report) {
    const std::string fixed[] = {"", "   ", "[", "[]", "[ ]", "[1]", "[,]", "[1,,2]", "[1,2] [3,4]", "[1]]]",
                                 "[\"\\\\\",1]", "\v[1,2]", "\xEF\xBB\xBF[1]", "[\xC2\xA0]", "[\"a\\\",b\"]"};
    // Commas at depths that differ from 1 by a multiple of 256 (a sum kept in one byte would take them for
    // depth 1), above and below, and in blocks entered at such depths.
    std::vector<std::string> deep;
    for (std::size_t levels : {63, 64, 65, 127, 255, 256, 257, 511, 512}) {
        deep.push_back("[" + std::string(levels, '[') + std::string(130, ',') + std::string(levels, ']') + ",1]");
        deep.push_back("[1]" + std::string(levels, '}') + std::string(130, ',') + "[,]" + std::string(70, ','));
        deep.push_back("[" + std::string(levels, '{') + std::string(levels - 1, '}') + ",,]" + std::string(9, ','));
    }
    const int fixed_count = static_cast<int>(std::size(fixed) + deep.size());
    for (int n = 0; n < 25000 + fixed_count; ++n) {
        const std::string text = n < static_cast<int>(std::size(fixed)) ? fixed[n]
                                 : n < fixed_count ? deep[n - std::size(fixed)]
                                                   : random_json_like(random);
        const std::uint64_t want = model_element_count(text);
        const std::vector<std::size_t> chunkings[] = {{}, random_pieces(random, text.size()),
                                                      random_pieces(random, text.size())};
        for (SimdLevel level : runnable_levels()) {
            for (const auto& pieces : chunkings) {
                const std::uint64_t got = tovak::records::count_elements_in(text, pieces, level);
                report.check(
                    got == want,
                    [&] {
                        return std::string("count_elements_in ") + level_name(level) + " in " +
                               std::to_string(pieces.size()) + " pieces: " + std::to_string(got) + " want " +
                               std::to_string(want);
                    },
                    text);
            }
        }
    }
}

// The vector depth masks of the element counter against stepping through the bytes: brackets anywhere
// in the block, start depths near and far from the depth asked for.
std::uint64_t model_bytes_at_depth(std::uint64_t opens, std::uint64_t closes, std::int64_t start, std::int64_t depth) {
    std::uint64_t at = 0;
    for (unsigned i = 0; i < kBlockSize; ++i) {
        start += static_cast<std::int64_t>(opens >> i & 1) - static_cast<std::int64_t>(closes >> i & 1);
        if (start == depth) at |= std::uint64_t{1} << i;
    }
    return at;
}

#if TOVAK_SCAN_X86
__attribute__((target(TOVAK_AVX2_TARGET))) std::uint64_t avx2_at_depth(std::uint64_t opens, std::uint64_t closes,
                                                                        std::int64_t start, std::int64_t depth) {
    return tovak::json::avx2_bytes_at_depth(opens, closes, start, depth);
}
__attribute__((target(TOVAK_AVX512_TARGET))) std::uint64_t avx512_at_depth(std::uint64_t opens, std::uint64_t closes,
                                                                            std::int64_t start, std::int64_t depth) {
    return tovak::json::avx512_bytes_at_depth(opens, closes, start, depth);
}
__attribute__((target(TOVAK_AVX2_TARGET))) tovak::json::DepthLevels avx2_levels(std::uint64_t opens,
                                                                                  std::uint64_t closes,
                                                                                  std::int64_t change) {
    return tovak::json::avx2_depth_levels(opens, closes, change);
}
// The same levels from the block's bytes (the AVX2 scans sum its brackets straight from them).
__attribute__((target(TOVAK_AVX2_TARGET))) tovak::json::DepthLevels avx2_levels_of_bytes(const unsigned char* block,
                                                                                           std::int64_t change) {
    return tovak::json::avx2_depth_levels(tovak::json::avx2_bracket_sums(block), change);
}
__attribute__((target(TOVAK_AVX512_TARGET))) tovak::json::DepthLevels avx512_levels(std::uint64_t opens,
                                                                                      std::uint64_t closes,
                                                                                      std::int64_t change) {
    return tovak::json::avx512_depth_levels(opens, closes, change);
}
#endif

void check_depth_masks(Random& random, Report& report) {
#if TOVAK_SCAN_X86
    const std::vector<SimdLevel> levels = runnable_levels();
    const std::int64_t far[] = {-257, -256, -255, -100, -65, -64, -63, 63, 64, 65, 101, 255, 256, 257, INT64_MIN / 2,
                                INT64_MAX / 2};
    for (int n = 0; n < 200000; ++n) {
        const unsigned density = static_cast<unsigned>(random.between(0, 100));
        std::uint64_t opens = 0, closes = 0;
        for (unsigned i = 0; i < kBlockSize; ++i) {
            if (!random.percent(density)) continue;
            (random.percent(n % 2 == 0 ? 50 : 90) ? opens : closes) |= std::uint64_t{1} << i;
        }
        if (n % 3 == 0) std::swap(opens, closes);
        const std::int64_t start = random.percent(80) ? static_cast<std::int64_t>(random.between(0, 140)) - 70
                                                      : random.pick(far);
        const std::int64_t depth = random.percent(80) ? 1 : start + random.pick(far);
        const std::uint64_t want = model_bytes_at_depth(opens, closes, start, depth);
        const std::string input = "opens " + hex(opens) + " closes " + hex(closes) + " from " +
                                  std::to_string(start) + " to " + std::to_string(depth);
        for (SimdLevel level : levels) {
            if (level != SimdLevel::avx2 && level != SimdLevel::avx512) continue;
            const std::uint64_t got = level == SimdLevel::avx2 ? avx2_at_depth(opens, closes, start, depth)
                                                               : avx512_at_depth(opens, closes, start, depth);
            report.check(got == want,
                         [&] { return std::string("bytes_at_depth ") + level_name(level) + ": " + hex(got) +
                                      " want " + hex(want); },
                         input);
        }
        // The range counter's levels: the bytes at a change in [-100, 0] from the block's start, and below it.
        const std::int64_t change = -static_cast<std::int64_t>(random.between(0, n % 4 == 0 ? 100 : 8));
        std::uint64_t want_at = 0, want_below = 0;
        for (std::int64_t i = 0, depth = 0; i < static_cast<std::int64_t>(kBlockSize); ++i) {
            depth += static_cast<std::int64_t>(opens >> i & 1) - static_cast<std::int64_t>(closes >> i & 1);
            if (depth == change) want_at |= std::uint64_t{1} << i;
            if (depth < change) want_below |= std::uint64_t{1} << i;
        }
        for (SimdLevel level : levels) {
            if (level != SimdLevel::avx2 && level != SimdLevel::avx512) continue;
            const tovak::json::DepthLevels got = level == SimdLevel::avx2 ? avx2_levels(opens, closes, change)
                                                                          : avx512_levels(opens, closes, change);
            report.check(got.at == want_at && got.below == want_below,
                         [&] { return std::string("depth_levels ") + level_name(level) + " at " +
                                      std::to_string(change) + ": " + hex(got.at) + "/" + hex(got.below) +
                                      " want " + hex(want_at) + "/" + hex(want_below); },
                         input);
        }
        if (std::find(levels.begin(), levels.end(), SimdLevel::avx2) != levels.end()) {
            // The brackets as bytes: either kind of each, among bytes that only look alike.
            static constexpr unsigned char kOthers[] = {'a', ' ', '"', '\\', ',', 0x3B, 0x3D, 0x5C, 0x7C, 0xDB, 0xFB, 0xFD};
            unsigned char block[kBlockSize];
            for (unsigned i = 0; i < kBlockSize; ++i) {
                const bool pick = random.percent(50);
                block[i] = (opens >> i & 1) ? (pick ? '[' : '{') : (closes >> i & 1) ? (pick ? ']' : '}') : random.pick(kOthers);
            }
            const tovak::json::DepthLevels got = avx2_levels_of_bytes(block, change);
            report.check(got.at == want_at && got.below == want_below,
                         [&] { return std::string("bracket sums at ") + std::to_string(change) + ": " + hex(got.at) +
                                      "/" + hex(got.below) + " want " + hex(want_at) + "/" + hex(want_below); },
                         input);
        }
    }
#else
    (void)random;
    (void)report;
#endif
}

// ---------------------------------------------------------------------------------------------------
// 4. UTF-8 and lines

// Decodes well-formed UTF-8 (RFC 3629); empty when the text is ill-formed.
std::optional<std::vector<std::uint32_t>> model_decode(std::string_view text) {
    std::vector<std::uint32_t> out;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length;
        std::uint32_t c;
        if (lead < 0x80) length = 1, c = lead;
        else if ((lead & 0xE0) == 0xC0) length = 2, c = lead & 0x1F;
        else if ((lead & 0xF0) == 0xE0) length = 3, c = lead & 0x0F;
        else if ((lead & 0xF8) == 0xF0) length = 4, c = lead & 0x07;
        else return std::nullopt;
        if (i + length > text.size()) return std::nullopt;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return std::nullopt;
            c = c << 6 | (next & 0x3F);
        }
        const std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (c < smallest[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return std::nullopt;
        out.push_back(c);
        i += length;
    }
    return out;
}

bool unicode_white_space(std::uint32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// The lines (ended by line feeds) holding a character without the White_Space property; empty when the
// text is not well-formed UTF-8.
std::optional<std::uint64_t> model_line_count(std::string_view text) {
    const auto characters = model_decode(text);
    if (!characters) return std::nullopt;
    std::uint64_t lines = 0;
    bool content = false;
    for (std::uint32_t c : *characters) {
        if (c == '\n') {
            lines += content;
            content = false;
        } else if (!unicode_white_space(c)) {
            content = true;
        }
    }
    return lines + content;
}

// Takes the quick masks of each block, then always asks for the exact ones too.
struct LineRecorder {
    std::vector<LineMasks>* quick;
    std::vector<LineMasks>* exact;
    bool asked = false;
    bool block(const LineMasks& masks) {
        (asked ? exact : quick)->push_back(masks);
        asked = !asked;
        return !asked;
    }
};

// Mostly ASCII, with multi-byte pieces (well-formed or not) that end at a block boundary or straddle one,
// so that sequences cut by a boundary meet blocks of plain ASCII.
std::string text_with_pieces_at_block_ends(Random& random) {
    const Mix ascii = {0, 0, 0, 0, 0, 0, 2, 1, 12, 0, 0, 0, 0};
    const std::size_t blocks = random.between(1, 5);
    std::string text = random_text(random, blocks * kBlockSize, ascii);
    text.resize(blocks * kBlockSize);
    for (std::size_t k = 1; k <= blocks; ++k) {
        if (random.percent(40)) continue;
        const unsigned kind = static_cast<unsigned>(random.below(3));
        const std::string_view piece = kind == 0   ? random.pick(kInvalidUtf8Pieces)
                                       : kind == 1 ? random.pick(kUnicodeSpaces)
                                                   : random.pick(kUnicodeOthers);
        const std::size_t start = k * kBlockSize - random.between(1, piece.size());
        if (text.size() < start + piece.size()) text.resize(start + piece.size(), 'a');
        text.replace(start, piece.size(), piece);
    }
    if (random.percent(30)) text.resize(random.below(text.size() + 1));
    return text;
}

// Text for the UTF-8 and line checks in one of six styles.
std::string random_lines(Random& random, unsigned style) {
    const Mix mixes[] = {
        //  "  \  \\+ [{ ]} ,  sp lf asc usp uot bad any
        {1, 1, 0, 1, 1, 1, 6, 3, 2, 8, 4, 0, 0},    // well-formed, blankness often hangs on multi-byte bytes
        {2, 1, 0, 2, 2, 2, 3, 2, 8, 1, 3, 0, 0},    // well-formed, mostly content
        {1, 1, 0, 1, 1, 1, 6, 3, 2, 8, 4, 1, 0},    // a few ill-formed sequences
        {0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 0, 3},    // any bytes
        {0, 0, 0, 0, 0, 0, 4, 2, 80, 1, 1, 1, 0},   // plain ASCII but for a few multi-byte pieces
    };
    if (style == 5) return text_with_pieces_at_block_ends(random);
    const std::size_t length = random.percent(10) ? random.between(500, 5000) : random.below(300);
    return random_text(random, length, mixes[style]);
}

void check_utf8_and_lines(Random& random, Report& report) {
    const std::vector<SimdLevel> levels = runnable_levels();
    for (int n = 0; n < 25000; ++n) {
        // Mostly well-formed (a random byte string is ill-formed within a few bytes).
        const unsigned styles[] = {0, 1, 0, 1, 2, 2, 3, 4, 4, 5, 5, 5};
        const std::string text = random_lines(random, styles[n % std::size(styles)]);
        const std::optional<std::uint64_t> want_lines = model_line_count(text);
        const bool well_formed = want_lines.has_value();
        const std::size_t whole_blocks = text.size() / kBlockSize;
        const std::size_t split = random.below(whole_blocks + 1);  // blocks validated before the tail

        const std::size_t padded_blocks = (text.size() + kBlockSize - 1) / kBlockSize;
        const std::string padded = padded_to_blocks(text, padded_blocks);
        std::vector<LineMasks> first_quick, first_exact;
        const std::vector<std::size_t> chunkings[] = {{}, random_pieces(random, text.size()),
                                                      random_pieces(random, text.size())};
        for (SimdLevel level : levels) {
            const std::string at = std::string(" ") + level_name(level);
            Utf8Carry whole;
            tovak::json::validate_utf8_tail(level, bytes_of(text), text.size(), whole);
            report.check(whole.invalid_at_end() != well_formed, [&] { return "validate_utf8_tail" + at; }, text);

            Utf8Carry in_two;
            tovak::json::validate_utf8_blocks(level, bytes_of(text), split, in_two);
            tovak::json::validate_utf8_tail(level, bytes_of(text) + split * kBlockSize,
                                            text.size() - split * kBlockSize, in_two);
            report.check(
                in_two.invalid_at_end() != well_formed,
                [&] { return "validate_utf8_blocks then tail" + at + " after " + std::to_string(split) + " blocks"; },
                text);

            // Line masks: the quick and the exact ones must match the scalar classifier's, block by block.
            std::vector<LineMasks> quick, exact;
            LineRecorder recorder{&quick, &exact};
            Utf8Carry lines_carry;
            tovak::json::for_each_line_block(level, bytes_of(padded), padded_blocks, lines_carry, recorder);
            report.check(lines_carry.invalid_at_end() != well_formed,
                         [&] { return "for_each_line_block UTF-8" + at; }, text);
            if (first_quick.empty()) {
                first_quick = quick;
                first_exact = exact;
            } else {
                bool same = quick.size() == first_quick.size() && exact.size() == first_exact.size();
                for (std::size_t k = 0; same && k < quick.size(); ++k) {
                    same = quick[k].line_feed == first_quick[k].line_feed &&
                           quick[k].content == first_quick[k].content &&
                           quick[k].non_ascii == first_quick[k].non_ascii &&
                           exact[k].line_feed == first_exact[k].line_feed &&
                           exact[k].content == first_exact[k].content && exact[k].non_ascii == 0;
                }
                report.check(same, [&] { return "line masks" + at + " differ from scalar"; }, text);
            }

            for (const auto& pieces : chunkings) {
                const std::optional<std::uint64_t> got = tovak::records::count_lines_in(text, pieces, level);
                auto shown = [](const std::optional<std::uint64_t>& n) {
                    return n ? std::to_string(*n) : std::string("invalid UTF-8");
                };
                report.check(
                    got == want_lines,
                    [&] {
                        return "count_lines_in" + at + " in " + std::to_string(pieces.size()) +
                               " pieces: " + shown(got) + " want " + shown(want_lines);
                    },
                    text);
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    Random random(seed_from(argc, argv, 20240611));
    Report report("scan_levels_test");
    std::printf("levels:");
    for (SimdLevel level : runnable_levels()) std::printf(" %s", level_name(level));
    std::printf(" (this CPU picks %s)\n", level_name(tovak::json::wide_simd_level()));
    check_block_masks(random, report);
    check_string_tracking(random, report);
    check_element_counts(random, report);
    check_depth_masks(random, report);
    check_utf8_and_lines(random, report);
    return report.finish();
}
