// Streaming validation of JSON text, and JSON Pointer navigation on top of it.
//
// StreamValidator<Rules> is fed a text in chunks of any sizes (a chunk may end anywhere: inside a string,
// an escape, a number, a literal, a UTF-8 sequence) and decides whether the whole is one valid JSON text
// (RFC 8259, white space around allowed) that is also valid UTF-8. On the first error it reports the same
// ParseError (message, line, column, offset) that `json::parse<Rules>` reports for the whole text at once;
// for ill-formed UTF-8 the message is `message::invalid_utf8` and `offset - 1` is the first byte of the
// first ill-formed sequence. When a text has both kinds of error, the UTF-8 one is reported when the bytes
// before the parser's error offset already show it (the byte that breaks the sequence, or for a sequence
// cut off by the end of the text, the end, comes before that offset); otherwise the parser's. So the
// verdict never depends on bytes after the parser's error, nor on where the chunks end.
//
// Options: `one_value` validates one value with optional white space before it and reports where it ends
// (value_end), reading nothing after it; `outer_depth` is the number of containers already open around that
// value, so the nesting limit counts as it does in the whole document.
//
// Navigation: constructed with a Pointer, the validator also appends PointerEvents (json/pointer.hpp) to
// events() as the bytes go by: target_begin when the value at the pointer starts; inside a target array or
// object, item_begin/item_end around each element or member value (with the decoded key), so a caller can
// parse each one with the parser; target_end; or a single `missing` event telling how far the pointer
// matched. Keys on the path may be written with escapes. Duplicate keys: the first member whose key
// matches is the one followed, and later members of that name are validated and skipped. A stream cannot
// wait for a later duplicate before reporting the first one's elements, and the first is what a reader of
// the text meets first (Python's json keeps the last). Validation goes on to the end of the text either way.
//
// How it is fast: whole 64-byte blocks go through the block classifier (json/scan.hpp), with the driver of
// the validator's SIMD level (the AVX2 and AVX-512 ones also compute the validator's extra masks with their
// vectors). A block whose
// state at the cursor is simple is checked at once: string contents by masks (control characters) and a loop
// over escapes, plain numbers by masks, literals as words, and the order of the token starts by a table
// machine without a branch per token, which keeps the kinds of the open containers in a register. From the
// AVX2 level on, the order is checked by masks of the token classes compressed over the token starts (only
// the brackets are walked, for the kinds), and at the AVX-512 level the literals and all escapes but a
// block's last by masks too. That pass
// stops before the first token at a depth navigation watches (the closing bracket of a watched element); the
// exact machine takes that token, and the pass tries the rest of the block again. It only accepts a valid block; any other
// block goes to the walk: a cursor over the tokens (white space and string contents passed by bit scans,
// numbers and literals read in place) that hands anything it does not take in one step (an error, an
// escape or number cut by the end of the chunk, a number that may be out of range, a token at a depth
// navigation watches) to the exact machine, a byte-at-a-time automaton that mirrors the parser's labels and
// error checks and can stop and resume at any byte; the walk takes over again at the next position where its
// state is simple. UTF-8 is checked by blocks: at the AVX2 and AVX-512 levels in the block pass itself, each
// block as it is classified (an ASCII block after ASCII bytes costs one test, unless the text mixes ASCII
// and other blocks at random), and in a pass of its own over the blocks the block pass did not take; at the
// lower levels in a separate pass over each chunk. The partial block at a chunk's end is checked byte-wise,
// so every byte fed is judged by the end of the feed (a sequence cut off at the end aside); the first
// ill-formed sequence is located by a byte-wise rescan of the batch that failed. Navigation
// events are made by the grammar pass, which may run past a UTF-8 error found in the same feed: an event
// after `error().offset - 1` belongs to no valid text.
//
// Thread rule: one validator is used by one thread at a time; validators share nothing.
#pragma once

#include <algorithm>
#include <climits>
#include <initializer_list>
#include <utility>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "json/parser.hpp"
#include "json/pointer.hpp"
#include "json/scan.hpp"

namespace tovak::json {

namespace message {
inline constexpr char invalid_utf8[] = "invalid UTF-8";
}  // namespace message

struct ValidateOptions {
    bool one_value = false;  // validate one value and stop after it (see value_end)
    int outer_depth = 0;     // containers open around the text, counted against the nesting limit
};

namespace validate_detail {

// The decimal digits of 2^1024 - 2^970, the smallest magnitude a correctly rounded conversion turns into
// infinity (halfway between the largest double and 2^1024, which rounds to even, up): 309 digits.
extern const char kOverflowThreshold[310];

inline constexpr std::int64_t kNoUtf8Error = INT64_MAX;

// The index, relative to `data`, of the first byte of the first ill-formed UTF-8 sequence in the bytes
// `before` (the up to 3 bytes that precede `data` in the stream, all well-formed so far) followed by
// `data`; negative when it starts inside `before`. A sequence cut off at the end counts as ill-formed only
// when `at_end`. kNoUtf8Error when there is none. `detected` receives the index of the byte that shows the
// sequence is ill-formed (`size` for one cut off at the end).
std::int64_t first_ill_formed_utf8(const unsigned char* before, std::size_t before_size, const unsigned char* data,
                                   std::size_t size, bool at_end, std::int64_t* detected = nullptr) noexcept;

// Line feeds in [first, last), and the position just past the last of them (or nullptr).
std::size_t count_line_feeds(const unsigned char* first, const unsigned char* last,
                             const unsigned char*& after_last) noexcept;

inline bool is_digit_byte(unsigned char c) noexcept { return static_cast<unsigned char>(c - '0') < 10; }

// Masks of one block the classifier does not give: bytes below 0x20, form feeds, line feeds, colons, and the
// bytes of plain numbers. The AVX-512 level also judges the literals and escapes of the block by masks (the
// others leave `words_ready` false and `escapes_valid_below` 0, and the fast pass reads them one by one).
struct ExtraMasks {
    std::uint64_t control, form_feed, line_feed, colon, digit, zero, minus, dot;
    std::uint64_t word4 = 0, word5 = 0;  // where "true" or "null", and where "false", start
    bool words_ready = false;           // word4 and word5 are set (all zero: no t, f or n outside strings)
    std::uint8_t escapes_valid_below = 0;  // the escapes in the block's strings that start before this are valid
};

// The escapes of a block by masks: how far from the block's start they are all valid. `backslashes` are those in
// strings, the other masks the bytes that may follow a backslash, and `hex` the hexadecimal digits. Surrogates
// (`surrogate`: a 'd' or 'D' as first digit; `high_second`: 8-b, `low_second`: c-f as second) matter under the
// fixed-width rules only: each high one must be followed at once by a low one, which must follow a high one.
// The last escape may run into the next block, so it (with the high surrogate before it, when it is the low
// one of a pair) is left out: the result is where it starts, or 0 when an escape before it is not valid or
// two backslashes stand side by side (each is then read one by one).
TOVAK_SCAN_INLINE unsigned escapes_valid_below(std::uint64_t backslashes, std::uint64_t plain, std::uint64_t u,
                                               std::uint64_t hex, std::uint64_t surrogate, std::uint64_t high_second,
                                               std::uint64_t low_second, bool lone_surrogates) noexcept {
    if ((backslashes & backslashes << 1) != 0) return 0;
    unsigned last = 63 - static_cast<unsigned>(__builtin_clzll(backslashes));
    const std::uint64_t units = backslashes << 1 & u;
    const std::uint64_t high = units & surrogate >> 1 & high_second >> 2;
    const std::uint64_t low = units & surrogate >> 1 & low_second >> 2;
    if (!lone_surrogates && last >= 6 && (low >> last >> 1 & 1) != 0 && (high >> (last - 5) & 1) != 0) last -= 6;
    const std::uint64_t below = (std::uint64_t{1} << last) - 1;
    const std::uint64_t escaped = (backslashes & below) << 1;
    const std::uint64_t checked_units = escaped & u;
    if ((escaped & ~(plain | checked_units)) != 0) return 0;
    if ((checked_units & ~(hex >> 1 & hex >> 2 & hex >> 3 & hex >> 4)) != 0) return 0;
    if (lone_surrogates) return last;
    // A high surrogate's low half (its backslash 5 bytes on) must be among the escapes judged here.
    const std::uint64_t pairs_inside = last >= 6 ? (std::uint64_t{1} << (last - 5)) - 1 : 0;
    const std::uint64_t checked_high = high & escaped;
    if ((checked_high & ~pairs_inside) != 0 || checked_high << 6 != (low & escaped)) return 0;
    return last;
}

TOVAK_SCAN_INLINE ExtraMasks extra_masks(const unsigned char* p) noexcept {
    ExtraMasks m{0, 0, 0, 0, 0, 0, 0, 0};
#if TOVAK_SCAN_X86
    // SSE2 is part of every x86-64 CPU, so this compiles into every driver (the AVX2 one gets VEX forms).
    const __m128i max_control = _mm_set1_epi8(0x1F), ff = _mm_set1_epi8(0x0C), lf = _mm_set1_epi8('\n');
    const __m128i colon = _mm_set1_epi8(':'), zero = _mm_set1_epi8('0'), nine = _mm_set1_epi8(9);
    const __m128i minus = _mm_set1_epi8('-'), dot = _mm_set1_epi8('.');
    for (unsigned part = 0; part < 4; ++part) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * part));
        using scan_detail::sse2_bits;
        m.control |= sse2_bits(_mm_cmpeq_epi8(_mm_max_epu8(v, max_control), max_control), part);
        m.form_feed |= sse2_bits(_mm_cmpeq_epi8(v, ff), part);
        m.line_feed |= sse2_bits(_mm_cmpeq_epi8(v, lf), part);
        m.colon |= sse2_bits(_mm_cmpeq_epi8(v, colon), part);
        const __m128i digit_value = _mm_sub_epi8(v, zero);
        m.digit |= sse2_bits(_mm_cmpeq_epi8(_mm_min_epu8(digit_value, nine), digit_value), part);
        m.zero |= sse2_bits(_mm_cmpeq_epi8(v, zero), part);
        m.minus |= sse2_bits(_mm_cmpeq_epi8(v, minus), part);
        m.dot |= sse2_bits(_mm_cmpeq_epi8(v, dot), part);
    }
#else
    for (unsigned i = 0; i < kBlockSize; ++i) {
        const std::uint64_t bit = std::uint64_t{1} << i;
        if (p[i] < 0x20) m.control |= bit;
        if (p[i] == 0x0C) m.form_feed |= bit;
        if (p[i] == '\n') m.line_feed |= bit;
        if (p[i] == ':') m.colon |= bit;
        if (is_digit_byte(p[i])) m.digit |= bit;
        if (p[i] == '0') m.zero |= bit;
        if (p[i] == '-') m.minus |= bit;
        if (p[i] == '.') m.dot |= bit;
    }
#endif
    return m;
}

#if TOVAK_SCAN_X86
TOVAK_AVX2_INLINE std::uint64_t avx2_equal(__m256i lo, __m256i hi, char byte) noexcept {
    const __m256i wanted = _mm256_set1_epi8(byte);
    return scan_detail::avx2_bits(_mm256_cmpeq_epi8(lo, wanted), _mm256_cmpeq_epi8(hi, wanted));
}

TOVAK_AVX2_INLINE ExtraMasks extra_masks_avx2(const unsigned char* p) noexcept {
    using scan_detail::avx2_bits;
    const __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
    const __m256i max_control = _mm256_set1_epi8(0x1F), nine = _mm256_set1_epi8(9), zero = _mm256_set1_epi8('0');
    const __m256i lo_digit = _mm256_sub_epi8(lo, zero), hi_digit = _mm256_sub_epi8(hi, zero);
    ExtraMasks m;
    m.control = avx2_bits(_mm256_cmpeq_epi8(_mm256_max_epu8(lo, max_control), max_control),
                          _mm256_cmpeq_epi8(_mm256_max_epu8(hi, max_control), max_control));
    m.form_feed = avx2_equal(lo, hi, 0x0C);
    m.line_feed = avx2_equal(lo, hi, '\n');
    m.colon = avx2_equal(lo, hi, ':');
    m.digit = avx2_bits(_mm256_cmpeq_epi8(_mm256_min_epu8(lo_digit, nine), lo_digit),
                        _mm256_cmpeq_epi8(_mm256_min_epu8(hi_digit, nine), hi_digit));
    m.zero = avx2_equal(lo, hi, '0');
    m.minus = avx2_equal(lo, hi, '-');
    m.dot = avx2_equal(lo, hi, '.');
    return m;
}

// The same masks from one 64-byte vector, each compare giving its mask at once.
TOVAK_AVX512_INLINE ExtraMasks extra_masks_avx512(const unsigned char* p) noexcept {
    const __m512i v = _mm512_loadu_si512(p);
    ExtraMasks m;
    m.control = _mm512_cmple_epu8_mask(v, _mm512_set1_epi8(0x1F));
    m.form_feed = _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8(0x0C));
    m.line_feed = _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('\n'));
    m.colon = _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8(':'));
    m.digit = _mm512_cmplt_epu8_mask(_mm512_sub_epi8(v, _mm512_set1_epi8('0')), _mm512_set1_epi8(10));
    m.zero = _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('0'));
    m.minus = _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('-'));
    m.dot = _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('.'));
    return m;
}

TOVAK_AVX512_INLINE std::uint64_t avx512_equal(__m512i v, char byte) noexcept {
    return _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8(byte));
}

// Bytes in [first, first + count).
TOVAK_AVX512_INLINE std::uint64_t avx512_within(__m512i v, char first, char count) noexcept {
    return _mm512_cmplt_epu8_mask(_mm512_sub_epi8(v, _mm512_set1_epi8(first)), _mm512_set1_epi8(count));
}

// The literal words and the escapes of the block, for ExtraMasks (`backslash`, `in_string` and `quotes` from
// the classifier). Each part only when the block has something of its kind.
TOVAK_AVX512_INLINE void word_and_escape_masks_avx512(const unsigned char* p, std::uint64_t backslash,
                                                      std::uint64_t in_string, std::uint64_t quotes,
                                                      bool lone_surrogates, ExtraMasks& m) noexcept {
    const __m512i v = _mm512_loadu_si512(p);
    const std::uint64_t t = avx512_equal(v, 't'), n = avx512_equal(v, 'n'), f = avx512_equal(v, 'f');
    m.words_ready = true;
    if ((t | n | f) & ~in_string & ~quotes) {
        const std::uint64_t r = avx512_equal(v, 'r'), u = avx512_equal(v, 'u'), e = avx512_equal(v, 'e');
        const std::uint64_t l = avx512_equal(v, 'l'), a = avx512_equal(v, 'a'), s = avx512_equal(v, 's');
        m.word4 = (t & r >> 1 & u >> 2 & e >> 3) | (n & u >> 1 & l >> 2 & l >> 3);
        m.word5 = f & a >> 1 & l >> 2 & s >> 3 & e >> 4;
    }
    const std::uint64_t backslashes = backslash & in_string & ~quotes;
    if (backslashes == 0) {
        m.escapes_valid_below = kBlockSize;
        return;
    }
    const __m512i lower = _mm512_or_si512(v, _mm512_set1_epi8(0x20));
    const std::uint64_t plain =
        avx512_equal(v, '"') | avx512_equal(v, '/') | avx512_equal(v, 'b') | f | n | avx512_equal(v, 'r') | t;
    const std::uint64_t hex = m.digit | avx512_within(lower, 'a', 6);
    const unsigned valid_below = escapes_valid_below(
        backslashes, plain, avx512_equal(v, 'u'), hex, avx512_equal(lower, 'd'),
        avx512_within(v, '8', 2) | avx512_within(lower, 'a', 2), avx512_within(lower, 'c', 4), lone_surrogates);
    m.escapes_valid_below = static_cast<std::uint8_t>(valid_below);
}
#endif

// The grammar of a block's tokens as a table machine, for the bit-parallel pass: the states inside
// containers (0 is the error state, which every class keeps), and one transition row per token class with
// the next state in the 6-bit field of each state. A state is kept as the position of its field, so a step
// is a shift and a mask. A closing bracket's row gives all ones, narrowed by the kind of the container it
// reveals (kInObject or kInArray).
enum GrammarState : unsigned {
    kBroken = 0,
    kObjectFirst = 6 * 1,  // after '{'
    kObjectComma = 6 * 2,  // after ',' in an object
    kKeyDone = 6 * 3,      // after a key
    kMemberValue = 6 * 4,  // after ':'
    kInObject = 6 * 5,     // after a value in an object
    kArrayFirst = 6 * 6,   // after '['
    kArrayComma = 6 * 7,   // after ',' in an array
    kInArray = 6 * 8,      // after a value in an array
};
inline constexpr unsigned kAnyState = 0x3F;
enum TokenClass : unsigned char {
    kOpenObject, kOpenArray, kCloseObject, kCloseArray, kComma, kColon, kQuote, kScalar, kStray, kTokenClasses
};

constexpr std::uint64_t grammar_row(std::initializer_list<std::pair<unsigned, unsigned>> moves) {
    std::uint64_t row = 0;
    for (const auto& [from, to] : moves) row |= std::uint64_t{to} << from;
    return row;
}

inline constexpr std::uint64_t kGrammarRows[kTokenClasses] = {
    grammar_row({{kMemberValue, kObjectFirst}, {kArrayFirst, kObjectFirst}, {kArrayComma, kObjectFirst}}),
    grammar_row({{kMemberValue, kArrayFirst}, {kArrayFirst, kArrayFirst}, {kArrayComma, kArrayFirst}}),
    grammar_row({{kObjectFirst, kAnyState}, {kInObject, kAnyState}}),
    grammar_row({{kArrayFirst, kAnyState}, {kInArray, kAnyState}}),
    grammar_row({{kInObject, kObjectComma}, {kInArray, kArrayComma}}),
    grammar_row({{kKeyDone, kMemberValue}}),
    grammar_row({{kObjectFirst, kKeyDone}, {kObjectComma, kKeyDone}, {kMemberValue, kInObject},
                 {kArrayFirst, kInArray}, {kArrayComma, kInArray}}),
    grammar_row({{kMemberValue, kInObject}, {kArrayFirst, kInArray}, {kArrayComma, kInArray}}),
    0,
};

struct TokenClasses {
    unsigned char of[256];
    constexpr TokenClasses() : of{} {
        for (auto& c : of) c = kStray;
        of[static_cast<unsigned char>('{')] = kOpenObject;
        of[static_cast<unsigned char>('[')] = kOpenArray;
        of[static_cast<unsigned char>('}')] = kCloseObject;
        of[static_cast<unsigned char>(']')] = kCloseArray;
        of[static_cast<unsigned char>(',')] = kComma;
        of[static_cast<unsigned char>(':')] = kColon;
        of[static_cast<unsigned char>('"')] = kQuote;
        for (unsigned char c : {'-', '0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 't', 'f', 'n'}) of[c] = kScalar;
    }
};
inline constexpr TokenClasses kTokenClassOf{};

// The table machine over a block's tokens. `ring` holds the kinds of the open containers (bit set: an
// object), level L at bit L % 64, so it covers the 64 levels below the depth; `depth` and `lowest` (the
// lowest depth reached) count from the depth at the start (a block moves it by at most 64); `stopped` is
// the index of the token the walk stopped before, or kBlockSize. Two registers, so it is returned in them.
struct TokenWalk {
    std::uint64_t ring;
    std::uint32_t state;
    std::int8_t depth, lowest;
    std::uint8_t stopped;
};

// Steps the machine from `state` at depth `depth` over the tokens whose first bytes `tokens` marks in the
// block at `bytes`. Out of line: the drivers it would be inlined into keep too many values live, and its
// loop's state must stay in registers. The levels below AVX2 use it; the others check by masks (below).
TokenWalk walk_tokens(const unsigned char* bytes, std::uint64_t tokens, unsigned state, int depth,
                      std::uint64_t ring) noexcept;
// The same, stopping before the first token that would take the depth to `stop` or below (a closing
// bracket that navigation watches), so the tokens before it are still taken at once.
TokenWalk walk_tokens_until(const unsigned char* bytes, std::uint64_t tokens, unsigned state, int depth,
                            std::uint64_t ring, int stop) noexcept;

// A block's tokens for the check by masks: every token's first byte, and among them (all outside strings)
// the opening brackets, closing brackets, commas, colons and the opening quotes of strings; the other
// tokens are scalars.
struct TokenMasks {
    std::uint64_t tokens, open, close, comma, colon, quote;
};

// The same machine and result as walk_tokens_until, with the order of the tokens checked by masks: each
// class mask is compressed over the token starts (BMI2's PEXT), so that bit k tells the class of the k-th
// token and "the token before" is a shift. Only the brackets are walked one by one, to keep the kinds of the
// open containers and to tell, for every token, whether it lies in an object. Needs BMI2 (the AVX2 level).
TokenWalk check_tokens_bmi2(const unsigned char* bytes, const TokenMasks& masks, unsigned state, int depth,
                            std::uint64_t ring, int stop) noexcept;

}  // namespace validate_detail

// Judges the UTF-8 of a stream's chunks, in order, on a thread other than the validator's: `judge` is true
// when a chunk, following the chunks passed before it, holds no ill-formed sequence (one cut off at its end
// aside), and the validator may then be fed it with `utf8_checked`. False means only "not judged here" (a
// chunk too short, an error, a level without the block check): the validator judges that chunk itself.
// Chunks not worth judging are passed with `pass`, so that the next one is judged in its context. A chunk
// that follows ill-formed bytes may be judged well-formed: the validator reports the earlier error anyway.
//
// Thread rule: one owner, used by one thread at a time.
class Utf8ChunkCheck {
public:
    explicit Utf8ChunkCheck(SimdLevel level = wide_simd_level()) noexcept : level_(level) {}

    bool judge(const char* data, std::size_t size) noexcept;
    void pass(const char* data, std::size_t size) noexcept;

private:
    static constexpr std::size_t kContext = 32;  // the bytes before a chunk its first block is judged with
    SimdLevel level_;
    unsigned char before_[kContext] = {};  // the stream's last bytes (at its start: zeros, which are ASCII)
};

template <class Rules = FixedWidthRules>
class StreamValidator {
public:
    explicit StreamValidator(const ValidateOptions& options = {}, SimdLevel level = wide_simd_level()) noexcept
        : simd_(level), masks_walk_(fast_bit_extract()), one_value_(options.one_value), base_(options.outer_depth),
          depth_(options.outer_depth) {
        floor_ = base_;
    }

    // Also navigates to `pointer`, which must outlive the validator.
    StreamValidator(const Pointer& pointer, const ValidateOptions& options = {}, SimdLevel level = wide_simd_level())
        : StreamValidator(options, level) {
        pointer_ = &pointer;
        phase_ = Phase::seek;
        level_ = base_;
        root_pending_ = true;
        watch_ = level_;
        floor_ = std::max(watch_, base_);
    }

    StreamValidator(const StreamValidator&) = delete;
    StreamValidator& operator=(const StreamValidator&) = delete;

    // Validates the next `size` bytes of the text. False once the outcome is known without more text: an
    // error (failed()), or in one-value mode the end of the value (value_ended()); later calls do nothing.
    // `utf8_checked`: another thread has found these bytes well-formed UTF-8 in the context of the bytes
    // fed before them (a sequence cut off at their end aside; Utf8ChunkCheck says so), so the AVX2 and
    // AVX-512 levels do not judge them again. The outcome is the same either way.
    bool feed(const char* data, std::size_t size, bool utf8_checked = false) noexcept;

    // The text ends. True when it was one valid value (in one-value mode: the value ended, at the latest
    // here). Call once, after the last feed.
    bool finish() noexcept;

    bool failed() const noexcept { return failed_; }
    const ParseError& error() const noexcept { return error_; }

    // One-value mode: whether the value ended, and the offset just past its last byte.
    bool value_ended() const noexcept { return mode_ == Mode::finished; }
    std::uint64_t value_end() const noexcept { return value_end_; }

    // Bytes fed so far.
    std::uint64_t fed() const noexcept { return data_base_; }

    // Navigation events so far, in text order; the caller takes them and clears the vector as it likes.
    std::vector<PointerEvent>& events() noexcept { return events_; }

private:
    // The order matters: the fast walk leaves every mode from `number` on to the exact machine.
    enum class Mode : std::uint8_t {
        value,         // a value is due (the start, after ':')
        array_first,   // just after '[': a value or ']'
        array_comma,   // after ',' in an array: a value
        object_first,  // just after '{': a key or '}'
        object_comma,  // after ',' in an object: a key
        colon,         // after a key: ':'
        after_value,   // a value is complete: ',' or a closing bracket (or the end at the top)
        string,        // inside a string (a key when string_is_key_); escape state in esc_
        number,        // inside a number (state in number_)
        literal,       // inside true, false or null (literal_, literal_matched_)
        finished,      // one-value mode: the value ended
    };
    // Escape states inside a string.
    enum : std::uint8_t {
        kEscNone = 0,
        kEscBackslash = 1,     // after '\'
        kEscHex = 2,           // 2..5: reading the four hex digits of \u
        kEscLowBackslash = 6,  // fixed-width rules, after a high surrogate: '\' of the low one is due
        kEscLowU = 7,          // ... 'u' is due
        kEscLowHex = 8,        // 8..11: its four hex digits
    };
    enum class NumberPhase : std::uint8_t { minus, zero, integer, dot, fraction, exp_mark, exp_sign, exponent };
    struct NumberState {
        NumberPhase phase = NumberPhase::minus;
        bool nonzero = false;            // some mantissa digit is not 0
        bool negative_exponent = false;
        bool exponent_overflow = false;  // the exponent's digits passed 32 bits (the number is 0 or infinite)
        bool significant = false;        // the first non-zero digit was seen
        std::int32_t exponent = 0;
        std::int32_t compare = 0;        // significant digits against kOverflowThreshold: <0, 0, >0
        std::uint32_t compared = 0;      // significant digits compared so far (saturates)
        std::uint64_t integer_digits = 0;         // digits of the integer part, 0 for "0"
        std::uint64_t leading_fraction_zeros = 0; // fraction zeros before the first non-zero digit
    };
    enum class Phase : std::uint8_t { none, seek, target, target_scalar, done };

    // The consumers of the block drivers: the AVX2 one computes the validator's extra masks with AVX2.
    struct BlockPass {
        static constexpr bool kNeedsSpace = true;
        StreamValidator* self;
        TOVAK_SCAN_INLINE bool block(const BlockMasks& masks, const StringBlock& strings, const unsigned char* bytes,
                                     const StringCarry&, StringCarry&) noexcept {
            return self->template fast_block<false>(masks, strings, validate_detail::extra_masks(bytes),
                                    static_cast<std::size_t>(bytes - self->data_));
        }
    };
#if TOVAK_SCAN_X86
    // The wide levels' block pass is the first to read a chunk's bytes (UTF-8 is judged in it): the bytes
    // some blocks ahead are asked for, so they are in cache when it gets there (a prefetch never faults).
    static constexpr std::size_t kPrefetchAhead = 16 * kBlockSize;
    struct Avx2BlockPass {
        static constexpr bool kNeedsSpace = true;
        StreamValidator* self;
        TOVAK_AVX2_INLINE bool block(const BlockMasks& masks, const StringBlock& strings, const unsigned char* bytes,
                                     const StringCarry&, StringCarry&) noexcept {
            const std::size_t base = static_cast<std::size_t>(bytes - self->data_);
            _mm_prefetch(reinterpret_cast<const char*>(bytes) + kPrefetchAhead, _MM_HINT_T0);
            if (self->utf8_fold_) self->fold_utf8_avx2(bytes, base);
            return self->template fast_block<true>(masks, strings, validate_detail::extra_masks_avx2(bytes), base);
        }
    };
    struct Avx512BlockPass {
        static constexpr bool kNeedsSpace = true;
        StreamValidator* self;
        TOVAK_AVX512_INLINE bool block(const BlockMasks& masks, const StringBlock& strings, const unsigned char* bytes,
                                       const StringCarry&, StringCarry&) noexcept {
            const std::size_t base = static_cast<std::size_t>(bytes - self->data_);
            _mm_prefetch(reinterpret_cast<const char*>(bytes) + kPrefetchAhead, _MM_HINT_T0);
            if (self->utf8_fold_) self->fold_utf8_avx512(bytes, base);
            validate_detail::ExtraMasks extra = validate_detail::extra_masks_avx512(bytes);
            validate_detail::word_and_escape_masks_avx512(bytes, masks.backslash, strings.in_string, strings.quotes,
                                                          Rules::kLoneSurrogates, extra);
            return self->template fast_block<true>(masks, strings, extra, base);
        }
    };
#endif
    std::size_t run_blocks(std::size_t blocks, StringCarry& carry) noexcept;

    template <bool kAvx2>
    TOVAK_SCAN_INLINE bool fast_block(const BlockMasks& masks, const StringBlock& strings,
                                      const validate_detail::ExtraMasks& extra, std::size_t base) noexcept;
    template <bool kAvx2>
    TOVAK_SCAN_INLINE bool parallel_block(const BlockMasks& masks, const StringBlock& strings,
                                          const validate_detail::ExtraMasks& extra, std::size_t base) noexcept;
    TOVAK_SCAN_INLINE bool between_elements(const BlockMasks& masks, const validate_detail::ExtraMasks& extra,
                                            std::size_t base) noexcept;
    TOVAK_SCAN_INLINE bool walk_block(const BlockMasks& masks, const StringBlock& strings,
                                      const validate_detail::ExtraMasks& extra, std::size_t base) noexcept;
    TOVAK_SCAN_INLINE std::size_t fast_escape(std::size_t at) const noexcept;
    TOVAK_SCAN_INLINE std::size_t fast_number(std::size_t at) const noexcept;
    TOVAK_SCAN_INLINE std::size_t fast_literal(std::size_t at, unsigned char first) const noexcept;

    std::size_t exact(std::size_t i, std::size_t end, std::size_t min_stop) noexcept;
    bool escape_step(std::size_t i, unsigned char c) noexcept;
    int number_step(std::size_t i, unsigned char c) noexcept;
    bool number_done(std::size_t end) noexcept;
    bool start_value(std::size_t i, unsigned char c) noexcept;
    void close_container(std::size_t i) noexcept;
    void value_done(std::size_t end) noexcept;
    bool end_of_text() noexcept;
    void significant_digit(unsigned digit) noexcept;
    void append_key_unit(std::uint32_t unit);

    // The exact machine may hand over to the fast walk here.
    bool resumable() const noexcept {
        if (mode_ == Mode::number || mode_ == Mode::literal || mode_ == Mode::finished) return false;
        if (mode_ == Mode::string && esc_ != kEscNone) return false;
        return depth_ > floor_;
    }

    // The kinds of the containers at levels [depth - 64, depth), the one at depth - 1 in the highest bit (levels
    // below 0 read as arrays).
    TOVAK_SCAN_INLINE std::uint64_t stack_window(int depth) const noexcept {
        const int low = depth - 64;
        if (low < 0) return depth == 0 ? 0 : open_objects_[0] << (64 - depth);
        const unsigned shift = static_cast<unsigned>(low & 63);
        const std::uint64_t first = open_objects_[low >> 6] >> shift;
        return shift == 0 ? first : first | open_objects_[(low >> 6) + 1] << (64 - shift);
    }

    bool top_is_object() const noexcept {
        const int top = depth_ - 1;
        return (open_objects_[top >> 6] >> (top & 63)) & 1;
    }
    void push(bool object) noexcept {
        const std::uint64_t bit = std::uint64_t{1} << (depth_ & 63);
        if (object) open_objects_[depth_ >> 6] |= bit;
        else open_objects_[depth_ >> 6] &= ~bit;
        ++depth_;
    }

    // Navigation hooks, called by the exact machine only.
    void value_started(std::size_t i, ValueKind kind);
    void value_ended(std::size_t end);
    void level_closed(std::size_t end);
    void key_completed();
    void set_watch(int watch) noexcept {
        watch_ = watch;
        floor_ = std::max(watch_, base_);
    }
    void stop_navigating() noexcept {
        phase_ = Phase::done;
        level_ = -2;
        collecting_ = false;
        set_watch(-1);
    }

    // Errors. `offset` is in the current data; the reported offset is the absolute one.
    void fail_offset(std::uint64_t absolute, const char* message) noexcept;
    void fail_at(std::size_t i, const char* message) noexcept { fail_offset(data_base_ + i + 1, message); }
    void fail_before(std::size_t i, const char* message) noexcept { fail_offset(data_base_ + i, message); }
    ParseError locate(std::uint64_t absolute) const noexcept;
    void count_lines_to(std::size_t end) noexcept;
    TOVAK_SCAN_INLINE void count_block_lines(std::size_t base, std::uint64_t line_feeds) noexcept {
        if (lines_end_ < base) count_lines_to(base);
        if (lines_end_ >= base + kBlockSize) return;
        const std::uint64_t fresh = line_feeds & (~std::uint64_t{0} << (lines_end_ - base));
        if (fresh != 0) {
            lines_ += static_cast<std::uint64_t>(__builtin_popcountll(fresh));
            line_start_ = data_base_ + base + 64 - static_cast<unsigned>(__builtin_clzll(fresh));
        }
        lines_end_ = base + kBlockSize;
    }

    void check_utf8() noexcept;
    void begin_utf8() noexcept;
    void utf8_catch_up(std::size_t to) noexcept;
    void end_utf8() noexcept;
    void resume_utf8_carry() noexcept;
#if TOVAK_SCAN_X86
    // Whether the block at `base` continues the bytes judged so far (it may overlap them: the blocks restart
    // where the exact machine stopped). Its 16 bytes before are then in the data.
    bool utf8_continues(std::size_t base) const noexcept {
        return static_cast<std::size_t>(utf8_upto_ - base) < kBlockSize && base >= 16;
    }
    // An all-ASCII block after ASCII bytes: nothing to look up.
    static bool utf8_plain_block(const unsigned char* p, bool non_ascii) noexcept {
        std::uint32_t before;
        std::memcpy(&before, p - 4, 4);
        return !non_ascii && (before & 0x80808000u) == 0;  // the 3 bytes before `p` (little-endian)
    }
    TOVAK_AVX512_INLINE void fold_utf8_avx512(const unsigned char* p, std::size_t base) noexcept {
        if (!utf8_continues(base)) return;
        const __m512i v = _mm512_loadu_si512(p);
        if (!utf8_skip_ascii_ || !utf8_plain_block(p, _mm512_movepi8_mask(v) != 0)) {
            const __m512i errors = scan_detail::avx512_utf8_errors_at(p, v);
            // utf8_catch_up finds it again at the end of the feed, and locates it.
            if (_mm512_test_epi8_mask(errors, errors) != 0) [[unlikely]] {
                utf8_fold_ = false;
                return;
            }
        }
        utf8_upto_ = base + kBlockSize;
    }
    TOVAK_AVX2_INLINE void fold_utf8_avx2(const unsigned char* p, std::size_t base) noexcept {
        if (!utf8_continues(base)) return;
        const __m256i v = _mm256_or_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)),
                                          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32)));
        if (!utf8_skip_ascii_ || !utf8_plain_block(p, _mm256_movemask_epi8(v) != 0)) {
            const __m256i errors = scan_detail::avx2_utf8_errors_at(p);
            if (!_mm256_testz_si256(errors, errors)) [[unlikely]] {
                utf8_fold_ = false;
                return;
            }
        }
        utf8_upto_ = base + kBlockSize;
    }
#endif
    void check_stage_now() noexcept;
    void settle_utf8() noexcept;
    void utf8_batch(const unsigned char* bytes, std::size_t size, std::uint64_t absolute) noexcept;
    void remember_utf8_history(const unsigned char* end_of_bytes, std::size_t available) noexcept;

    // Configuration.
    SimdLevel simd_;
    bool masks_walk_;  // the AVX2 and AVX-512 levels check the order of a block's tokens by masks (PEXT)
    bool one_value_;
    int base_;  // depth of the text's own level
    const Pointer* pointer_ = nullptr;

    // The current data.
    const unsigned char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t cursor_ = 0;       // everything before it is validated
    std::uint64_t data_base_ = 0;  // absolute offset of data_[0]

    // Grammar state at the cursor.
    Mode mode_ = Mode::value;
    int depth_;
    int floor_;  // the fast walk leaves tokens at this depth or above (and closes just below) to the exact machine
    bool string_is_key_ = false;
    std::uint8_t esc_ = kEscNone;
    bool hex_bad_ = false;
    std::uint32_t hex_ = 0;
    std::uint32_t high_ = 0;  // a high surrogate waiting for its low half
    NumberState number_;
    std::uint8_t literal_ = 0;  // 0 true, 1 false, 2 null
    std::uint8_t literal_matched_ = 0;
    std::uint64_t open_objects_[(Rules::kNestingLimit + 63) / 64 + 1] = {};  // bit set: that level is an object

    // Outcome.
    bool failed_ = false;
    ParseError error_;
    std::uint64_t value_end_ = 0;

    // Lines: line feeds in [0, data_base_ + lines_end_) and the start of the last line there.
    std::size_t lines_end_ = 0;
    std::uint64_t lines_ = 0, line_start_ = 0;
    std::uint64_t lines_before_data_ = 0, line_start_before_data_ = 0;

    // UTF-8.
    Utf8Carry utf8_;
    unsigned char stage_[kBlockSize] = {};  // a partial block waiting for the next chunk
    std::size_t stage_size_ = 0;
    std::uint64_t stage_start_ = 0;
    std::uint64_t stage_lines_ = 0, stage_line_start_ = 0;  // line feeds before stage_start_, its line's start
    unsigned char prefix_[kBlockSize] = {};  // during a feed: the bytes that were staged before it
    std::size_t prefix_size_ = 0;
    std::uint64_t prefix_start_ = 0;
    unsigned char history_[3] = {};  // the last bytes before the next UTF-8 batch
    std::size_t history_size_ = 0;
    std::uint64_t utf8_error_ = UINT64_MAX;  // absolute offset of the first ill-formed sequence
    std::uint64_t utf8_detected_ = 0;        // absolute offset of the byte that shows it (or the end)
    // At the AVX2 and AVX-512 levels the block pass judges UTF-8 as it goes, each block that continues the
    // bytes judged before; the others are judged by utf8_ at the end of the feed (see begin_utf8).
    bool utf8_by_blocks_ = false;   // this feed's UTF-8 is judged that way
    bool utf8_fold_ = false;        // the block pass judges UTF-8 (no error seen in this feed)
    bool utf8_skip_ascii_ = false;  // ASCII blocks skip the lookups (few blocks of the text are not ASCII)
    bool utf8_checked_ = false;     // this feed's bytes were judged before it (feed's `utf8_checked`)
    std::size_t utf8_upto_ = 0;     // the data's bytes before this are judged
    std::size_t utf8_carry_at_ = 0; // utf8_ and history_ describe the bytes before this

    // Navigation.
    Phase phase_ = Phase::none;
    int watch_ = -1;  // depth whose tokens navigation watches (-1: none)
    int level_ = -2;  // depth at which the values navigation looks at start
    bool root_pending_ = false;
    bool key_match_ = false;
    bool collecting_ = false;  // the current key is decoded into key_
    std::size_t matched_ = 0;  // tokens matched
    std::uint64_t index_ = 0;  // values started at level_ in the current container
    ValueKind container_ = ValueKind::null;
    std::string key_;
    std::size_t key_high_at_ = SIZE_MAX;  // where a lone high surrogate was written into key_ (Python rules)
    std::vector<PointerEvent> events_;
};

// ---------------------------------------------------------------------------------------------------
// Feeding

template <class Rules>
bool StreamValidator<Rules>::feed(const char* data, std::size_t size, bool utf8_checked) noexcept {
    if (failed_ || mode_ == Mode::finished) return false;
    utf8_checked_ = utf8_checked;
    data_ = reinterpret_cast<const unsigned char*>(data);
    size_ = size;
    cursor_ = 0;
    lines_end_ = 0;
    lines_before_data_ = lines_;
    line_start_before_data_ = line_start_;
    // The staged bytes of earlier chunks, where a UTF-8 error found now may lie.
    prefix_size_ = stage_size_;
    prefix_start_ = stage_size_ != 0 ? stage_start_ : data_base_;
    std::memcpy(prefix_, stage_, prefix_size_);
    begin_utf8();

    while (!failed_ && mode_ != Mode::finished) {
        const std::size_t blocks = (size_ - cursor_) / kBlockSize;
        if (blocks == 0) break;
        // The string state at the cursor, as the classifier counts it (hex digits are plain string bytes;
        // the byte after a backslash is escaped).
        StringCarry carry = StringCarry::from(mode_ == Mode::string,
                                              mode_ == Mode::string && (esc_ == kEscBackslash || esc_ == kEscLowU));
        utf8_catch_up(cursor_);  // the bytes the exact machine went past, so the block pass continues them
        if (run_blocks(blocks, carry) == blocks) break;
        // Stopped early: an error, the end of the value, or a block whose masks could not be trusted
        // (then the exact machine went past it and the blocks restart from the cursor).
    }
    if (!failed_ && mode_ != Mode::finished && cursor_ < size_) cursor_ = exact(cursor_, size_, SIZE_MAX);
    if (!failed_) count_lines_to(size_);
    end_utf8();
    if ((failed_ || mode_ == Mode::finished) && utf8_error_ == UINT64_MAX) {
        // No more bytes will come: the staged ones that the block check has not seen yet, and the last
        // bytes it has seen without a verdict (a lead byte at the end of a block), are checked now.
        std::int64_t detected = 0;
        const std::int64_t at =
            validate_detail::first_ill_formed_utf8(history_, history_size_, stage_, stage_size_, false, &detected);
        if (at != validate_detail::kNoUtf8Error) {
            utf8_error_ = stage_start_ + at;
            utf8_detected_ = stage_start_ + detected;
        }
    }
    settle_utf8();
    if (!failed_) {
        // Lines before the staged bytes, for errors found in them later.
        if (stage_size_ == 0) {
            stage_lines_ = lines_;
            stage_line_start_ = line_start_;
        } else if (stage_start_ >= data_base_) {
            const ParseError at = locate(stage_start_);
            stage_lines_ = at.line - 1;
            stage_line_start_ = stage_start_ - at.column;
        }
    }
    data_base_ += size_;
    data_ = nullptr;
    size_ = 0;
    lines_end_ = 0;
    prefix_size_ = 0;
    return !failed_ && mode_ != Mode::finished;
}

// The block driver of the validator's level, as `for_each_block` picks it, with that level's consumer.
template <class Rules>
std::size_t StreamValidator<Rules>::run_blocks(std::size_t blocks, StringCarry& carry) noexcept {
    const unsigned char* const start = data_ + cursor_;
#if TOVAK_SCAN_X86
    if (simd_ == SimdLevel::avx512) {
        Avx512BlockPass pass{this};
        return scan_detail::blocks_avx512(start, blocks, carry, pass);
    }
    if (simd_ == SimdLevel::avx2) {
        Avx2BlockPass pass{this};
        return scan_detail::blocks_avx2(start, blocks, carry, pass);
    }
    if (simd_ == SimdLevel::sse2) {
        BlockPass pass{this};
        return scan_detail::blocks_baseline<BlockPass, scan_detail::classify_sse2<true>>(
            start, blocks, carry, pass);
    }
#endif
    BlockPass pass{this};
    return scan_detail::blocks_baseline<BlockPass, scan_detail::classify_scalar<true>>(
        start, blocks, carry, pass);
}

template <class Rules>
bool StreamValidator<Rules>::finish() noexcept {
    if (failed_) return false;
    if (mode_ == Mode::finished) return true;
    // The staged bytes become the current data: the end of the text is just past them.
    data_ = stage_;
    size_ = stage_size_;
    data_base_ = stage_start_;
    lines_end_ = 0;
    lines_ = lines_before_data_ = stage_lines_;
    line_start_ = line_start_before_data_ = stage_line_start_;
    count_lines_to(size_);
    // The stream's last partial block, padded: a sequence cut off at the end is an error.
    validate_utf8_tail(simd_, stage_, stage_size_, utf8_);
    if (utf8_.invalid_at_end() && utf8_error_ == UINT64_MAX) {
        std::int64_t detected = 0;
        const std::int64_t at =
            validate_detail::first_ill_formed_utf8(history_, history_size_, stage_, stage_size_, true, &detected);
        utf8_error_ = at == validate_detail::kNoUtf8Error ? stage_start_ : stage_start_ + at;
        utf8_detected_ = at == validate_detail::kNoUtf8Error ? stage_start_ : stage_start_ + detected;
    }
    end_of_text();
    settle_utf8();
    return !failed_;
}

// ---------------------------------------------------------------------------------------------------
// UTF-8: whole blocks by the SIMD validator, a partial block staged until the next chunk completes it.

template <class Rules>
void StreamValidator<Rules>::check_utf8() noexcept {
    if (utf8_error_ != UINT64_MAX) return;
    std::size_t i = 0;
    if (stage_size_ != 0) {
        const std::size_t take = std::min(kBlockSize - stage_size_, size_);
        std::memcpy(stage_ + stage_size_, data_, take);
        stage_size_ += take;
        i = take;
        if (stage_size_ < kBlockSize) return check_stage_now();
        utf8_batch(stage_, kBlockSize, stage_start_);
        stage_size_ = 0;
        if (utf8_error_ != UINT64_MAX) return;
    }
    const std::size_t whole = (size_ - i) / kBlockSize * kBlockSize;
    if (whole != 0) utf8_batch(data_ + i, whole, data_base_ + i);
    if (utf8_error_ != UINT64_MAX) return;
    stage_size_ = size_ - i - whole;
    stage_start_ = data_base_ + i + whole;
    std::memcpy(stage_, data_ + i + whole, stage_size_);
    check_stage_now();
}

// At the AVX2 and AVX-512 levels, a feed of a few blocks or more completes the staged block, judges the first
// block of the data, and leaves the rest to the block pass (fold_utf8_*), which judges each block that
// continues the judged bytes, in cache as the grammar reads it. A block it does not take (the exact machine
// went past it, or the lookups found an error) is judged by utf8_ in utf8_catch_up, which the error then
// goes to, to be located as before. Every byte before the block pass's first error is judged either way.
//
// A feed judged before it (`utf8_checked_`) is taken as judged up to its last whole block: only the staged
// block at its end is judged here, as for any feed, and the carry resumed from its bytes, so the next feed
// continues it whether or not that one was judged before.
template <class Rules>
void StreamValidator<Rules>::begin_utf8() noexcept {
    utf8_by_blocks_ = utf8_fold_ = false;
    const bool wide = simd_ == SimdLevel::avx2 || simd_ == SimdLevel::avx512;
    if (!wide || utf8_error_ != UINT64_MAX || size_ < 4 * kBlockSize) return check_utf8();
    std::size_t i = 0;
    if (utf8_checked_) {
        if (stage_size_ != 0) i = kBlockSize - stage_size_;
        stage_size_ = 0;
        utf8_carry_at_ = i;  // behind utf8_upto_: end_utf8 resumes the carry from the data
        utf8_upto_ = i + (size_ - i) / kBlockSize * kBlockSize;
        utf8_by_blocks_ = true;
        return;
    }
    if (stage_size_ != 0) {
        i = kBlockSize - stage_size_;
        std::memcpy(stage_ + stage_size_, data_, i);
        utf8_batch(stage_, kBlockSize, stage_start_);
        stage_size_ = 0;
        if (utf8_error_ != UINT64_MAX) return;
    }
    utf8_upto_ = utf8_carry_at_ = i;
    utf8_by_blocks_ = utf8_fold_ = true;
    utf8_catch_up(i + 1);
    // Text where non-ASCII blocks come here and there at random looks up every block: a branch on each
    // would guess wrong often.
    unsigned non_ascii = 0;
    for (std::size_t k = 0; k < 16 && utf8_upto_ + (k + 1) * kBlockSize <= size_; ++k) {
        std::uint64_t any = 0;
        for (std::size_t j = 0; j < kBlockSize; j += 8) {
            std::uint64_t word;
            std::memcpy(&word, data_ + utf8_upto_ + k * kBlockSize + j, 8);
            any |= word;
        }
        non_ascii += (any & 0x8080808080808080u) != 0;
    }
    utf8_skip_ascii_ = non_ascii < 4;
}

// Judges the data's whole blocks from utf8_upto_ by utf8_ until past `to` (as far as they go).
template <class Rules>
void StreamValidator<Rules>::utf8_catch_up(std::size_t to) noexcept {
    if (!utf8_by_blocks_ || utf8_upto_ >= to || utf8_error_ != UINT64_MAX) return;
    const std::size_t blocks =
        std::min((to - utf8_upto_ + kBlockSize - 1) / kBlockSize, (size_ - utf8_upto_) / kBlockSize);
    if (blocks == 0) return;
    resume_utf8_carry();
    utf8_batch(data_ + utf8_upto_, blocks * kBlockSize, data_base_ + utf8_upto_);
    utf8_upto_ += blocks * kBlockSize;
    utf8_carry_at_ = utf8_upto_;
    if (utf8_error_ != UINT64_MAX) utf8_fold_ = false;
}

// utf8_ and history_ after the bytes the block pass judged (at least a block of them, all in the data).
template <class Rules>
void StreamValidator<Rules>::resume_utf8_carry() noexcept {
    if (utf8_carry_at_ == utf8_upto_) return;
    utf8_.resume_wide(data_ + utf8_upto_);
    std::memcpy(history_, data_ + utf8_upto_ - 3, 3);
    history_size_ = 3;
    utf8_carry_at_ = utf8_upto_;
}

// The feed's bytes the block pass did not judge, then the partial block at the end staged as check_utf8
// stages it.
template <class Rules>
void StreamValidator<Rules>::end_utf8() noexcept {
    if (!utf8_by_blocks_) return;
    utf8_catch_up(utf8_upto_ + (size_ - utf8_upto_) / kBlockSize * kBlockSize);
    utf8_by_blocks_ = utf8_fold_ = false;
    if (utf8_error_ != UINT64_MAX) return;
    resume_utf8_carry();
    stage_size_ = size_ - utf8_upto_;
    stage_start_ = data_base_ + utf8_upto_;
    std::memcpy(stage_, data_ + utf8_upto_, stage_size_);
    check_stage_now();
}

// The staged bytes wait for the next chunk to complete their block, but everything fed is judged now (a
// sequence cut off at the end aside): navigation hands out values as soon as their bytes are fed, and no
// value may hold a byte that is not UTF-8. The staged bytes are fewer than a block.
template <class Rules>
void StreamValidator<Rules>::check_stage_now() noexcept {
    if (stage_size_ == 0) return;
    std::int64_t detected = 0;
    const std::int64_t at =
        validate_detail::first_ill_formed_utf8(history_, history_size_, stage_, stage_size_, false, &detected);
    if (at == validate_detail::kNoUtf8Error) return;
    utf8_error_ = stage_start_ + at;
    utf8_detected_ = stage_start_ + detected;
}

// Makes a UTF-8 error found so far the outcome when it comes first (see the top of this file).
template <class Rules>
void StreamValidator<Rules>::settle_utf8() noexcept {
    if (utf8_error_ == UINT64_MAX) return;
    if (mode_ == Mode::finished && utf8_detected_ >= value_end_) return;  // after the value
    if (failed_ && utf8_detected_ >= error_.offset) return;
    failed_ = true;
    error_ = locate(utf8_error_ + 1);
    error_.message = message::invalid_utf8;
}

template <class Rules>
void StreamValidator<Rules>::utf8_batch(const unsigned char* bytes, std::size_t size, std::uint64_t absolute) noexcept {
    validate_utf8_blocks(simd_, bytes, size / kBlockSize, utf8_);
    if (utf8_.error) {
        std::int64_t detected = 0;
        const std::int64_t at =
            validate_detail::first_ill_formed_utf8(history_, history_size_, bytes, size, false, &detected);
        utf8_error_ = at == validate_detail::kNoUtf8Error ? absolute : absolute + at;
        utf8_detected_ = at == validate_detail::kNoUtf8Error ? absolute : absolute + detected;
        return;
    }
    remember_utf8_history(bytes + size, size);
}

template <class Rules>
void StreamValidator<Rules>::remember_utf8_history(const unsigned char* end_of_bytes, std::size_t available) noexcept {
    const std::size_t keep = std::min<std::size_t>(3, available);
    std::memcpy(history_, end_of_bytes - keep, keep);
    history_size_ = keep;
}

// ---------------------------------------------------------------------------------------------------
// Positions

template <class Rules>
void StreamValidator<Rules>::count_lines_to(std::size_t end) noexcept {
    if (end <= lines_end_) return;
    const unsigned char* after_last = nullptr;
    lines_ += validate_detail::count_line_feeds(data_ + lines_end_, data_ + end, after_last);
    if (after_last != nullptr) line_start_ = data_base_ + static_cast<std::uint64_t>(after_last - data_);
    lines_end_ = end;
}

template <class Rules>
ParseError StreamValidator<Rules>::locate(std::uint64_t absolute) const noexcept {
    std::uint64_t lines, line_start;
    if (absolute <= data_base_) {
        // Only a UTF-8 error lies before the current data: in the bytes staged from earlier chunks, or in
        // the up to three bytes of a sequence before them (no line feed among those).
        lines = lines_before_data_;
        line_start = line_start_before_data_;
        if (absolute > prefix_start_ && prefix_size_ != 0) {
            const std::size_t staged = static_cast<std::size_t>(absolute - prefix_start_);
            const unsigned char* after_last = nullptr;
            lines = stage_lines_ + validate_detail::count_line_feeds(prefix_, prefix_ + staged, after_last);
            line_start = after_last ? prefix_start_ + static_cast<std::uint64_t>(after_last - prefix_) : stage_line_start_;
        } else if (prefix_size_ != 0) {
            lines = stage_lines_;
            line_start = stage_line_start_;
        }
    } else {
        const std::size_t at = static_cast<std::size_t>(absolute - data_base_);
        const unsigned char* after_last = nullptr;
        if (at >= lines_end_) {
            lines = lines_ + validate_detail::count_line_feeds(data_ + lines_end_, data_ + at, after_last);
            line_start = after_last ? data_base_ + static_cast<std::uint64_t>(after_last - data_) : line_start_;
        } else {
            // Called at the end of every feed for the staged bytes: the line feeds after `at` are few, and the
            // last one before it is found from there backwards, not by counting from the start of the data.
            lines = lines_ - validate_detail::count_line_feeds(data_ + at, data_ + lines_end_, after_last);
            const void* last = at != 0 ? memrchr(data_, '\n', at) : nullptr;
            line_start = last ? data_base_ + static_cast<std::uint64_t>(static_cast<const unsigned char*>(last) - data_) + 1
                              : line_start_before_data_;
        }
    }
    ParseError error;
    error.line = lines + 1;
    error.column = absolute - line_start;
    error.offset = absolute;
    return error;
}

template <class Rules>
void StreamValidator<Rules>::fail_offset(std::uint64_t absolute, const char* message) noexcept {
    failed_ = true;
    error_ = locate(absolute);
    error_.message = message;
}

// ---------------------------------------------------------------------------------------------------
// The fast walk over one block

template <class Rules>
template <bool kAvx2>
TOVAK_SCAN_INLINE bool StreamValidator<Rules>::fast_block(const BlockMasks& masks, const StringBlock& strings,
                                                          const validate_detail::ExtraMasks& extra,
                                                          std::size_t base) noexcept {
    count_block_lines(base, extra.line_feed);
    if (!strings.exact) [[unlikely]] {
        // A backslash outside strings: an error at or before it, which the exact machine finds.
        if (cursor_ < base + kBlockSize) cursor_ = exact(cursor_, size_, base + kBlockSize);
        return false;
    }
    // Each round takes the block from the cursor at once, or token by token; either may stop before a token
    // navigation watches, which the exact machine takes, and the next round goes on after it.
    for (;;) {
        if (cursor_ >= base + kBlockSize) return true;  // passed over by a token read in place
        if (parallel_block<kAvx2>(masks, strings, extra, base)) [[likely]] {
            if (cursor_ >= base + kBlockSize) return true;
            if (between_elements(masks, extra, base)) continue;
            cursor_ = exact(cursor_, size_, cursor_ + 1);
            if (failed_ || mode_ == Mode::finished) return false;
            continue;
        }
        if (!walk_block(masks, strings, extra, base)) return false;
    }
}

// Between two elements of a target array, where the fast pass stopped before the closing bracket of an
// element: that bracket, the comma and the next element's opening bracket, found by the masks in this block
// and taken by the exact machine's own steps (so its checks and events). False, with nothing changed, when
// they are anything else (the exact machine takes them then).
template <class Rules>
TOVAK_SCAN_INLINE bool StreamValidator<Rules>::between_elements(const BlockMasks& masks,
                                                                const validate_detail::ExtraMasks& extra,
                                                                std::size_t base) noexcept {
    if (phase_ != Phase::target || container_ != ValueKind::array || depth_ != level_ + 1 ||
        mode_ != Mode::after_value || depth_ - 1 == base_) {
        return false;
    }
    const std::size_t closing = cursor_ - base;
    if (data_[cursor_] != (top_is_object() ? '}' : ']')) return false;
    const std::uint64_t tokens = ~(masks.space & ~extra.form_feed);  // JSON white space has no form feed
    const std::uint64_t after_closing = tokens & (~std::uint64_t{0} << closing << 1);
    if (after_closing == 0) return false;
    const std::size_t comma = static_cast<std::size_t>(__builtin_ctzll(after_closing));
    if (data_[base + comma] != ',') return false;
    const std::uint64_t after_comma = tokens & (~std::uint64_t{0} << comma << 1);
    if (after_comma == 0) return false;
    const std::size_t opening = static_cast<std::size_t>(__builtin_ctzll(after_comma));
    const unsigned char bracket = data_[base + opening];
    if ((bracket != '{' && bracket != '[') || depth_ >= Rules::kNestingLimit) return false;
    close_container(cursor_);
    mode_ = top_is_object() ? Mode::object_comma : Mode::array_comma;
    start_value(base + opening, bracket);
    cursor_ = base + opening + 1;
    return true;
}

// The whole block at once when its state at the cursor is simple and every token in it lies below the depths
// navigation watches: the masks give the token starts, the grammar table checks their order without a branch
// per token, strings and scalars are checked in two loops of their own. Accepts only a block that is valid;
// on anything else it changes no state and the walk takes the block (and finds the error, if any).
template <class Rules>
template <bool kAvx2>
TOVAK_SCAN_INLINE bool StreamValidator<Rules>::parallel_block(const BlockMasks& masks, const StringBlock& strings,
                                                              const validate_detail::ExtraMasks& extra,
                                                              std::size_t base) noexcept {
    using namespace validate_detail;
    if (mode_ >= Mode::number || depth_ <= floor_) return false;
    if (mode_ == Mode::string && (esc_ != kEscNone || collecting_)) return false;
    const std::size_t first = cursor_ - base;
    const std::uint64_t from = ~std::uint64_t{0} << first;
    const std::uint64_t opening = strings.quotes & strings.in_string;
    const std::uint64_t contents = strings.in_string & ~opening & from;
    if (extra.control & contents) return false;
    const std::uint64_t outside = ~strings.in_string & ~strings.quotes & from;
    const std::uint64_t structural = (masks.open | masks.close | masks.comma | extra.colon) & outside;
    const std::uint64_t space = masks.space & ~extra.form_feed;  // JSON white space has no form feed
    const std::uint64_t scalar = outside & ~space & ~structural;
    const std::uint64_t scalar_starts = scalar & ~(scalar << 1);
    std::uint64_t tokens = structural | (opening & from) | scalar_starts;

    std::size_t end = base + kBlockSize;  // where the cursor goes: past a string escape or scalar crossing the end
    // The escapes in strings that the masks did not judge (at the AVX-512 level, when the others are valid:
    // only the block's last escape).
    const std::uint64_t unjudged =
        extra.escapes_valid_below < kBlockSize ? ~std::uint64_t{0} << extra.escapes_valid_below : 0;
    std::uint64_t backslashes = masks.backslash & contents & unjudged;
    while (backslashes != 0) {
        const std::size_t at = static_cast<std::size_t>(__builtin_ctzll(backslashes));
        const std::size_t length = fast_escape(base + at);
        if (length == 0) return false;
        const std::size_t next = at + length;
        if (next >= kBlockSize) {
            end = base + next;
            break;
        }
        backslashes &= ~std::uint64_t{0} << next;
    }
    // Numbers and literals: each must fill its run of scalar bytes. Numbers without an exponent that end in
    // the block are checked by masks; literals, the others and a scalar running into the next block one by one.
    const std::uint64_t number_starts = scalar_starts & (extra.digit | extra.minus);
    std::uint64_t numbers = ((scalar + number_starts) ^ scalar) & scalar;  // the runs those starts begin
    std::uint64_t literals = scalar_starts & ~number_starts, one_by_one = 0;
    if (scalar >> 63) {
        const std::size_t last = 63 - static_cast<std::size_t>(__builtin_clzll(scalar_starts));
        one_by_one = std::uint64_t{1} << last;
        numbers &= ~(~std::uint64_t{0} << last);
        literals &= ~one_by_one;
    }
    if (literals != 0 && extra.words_ready) {
        const std::uint64_t four = literals & extra.word4, five = literals & extra.word5;
        if ((literals & ~(four | five)) != 0 || ((four << 4 | five << 5) & scalar) != 0) return false;
    } else if (literals != 0) {
        // Compared as words, without a branch on which literal: each ends its run, before the block's end.
        // A literal starts at most at the block's byte 62 and is read five bytes wide.
        if (base + kBlockSize + 3 > size_) return false;  // may read past the data: the walk takes it
        std::uint32_t true_word, null_word, fals_word;
        std::memcpy(&true_word, "true", 4);
        std::memcpy(&null_word, "null", 4);
        std::memcpy(&fals_word, "fals", 4);
        bool bad = false;
        do {
            const std::size_t at = static_cast<std::size_t>(__builtin_ctzll(literals));
            literals &= literals - 1;
            std::uint32_t head;
            std::memcpy(&head, data_ + base + at, 4);
            const bool four = head == true_word || head == null_word;
            const bool five = head == fals_word && data_[base + at + 4] == 'e';
            const std::size_t past = std::min<std::size_t>(at + (five ? 5 : 4), 63);
            bad |= !(four || five) || ((scalar >> past) & 1) != 0;
        } while (literals != 0);
        if (bad) return false;
    }
    if (numbers & ~(extra.digit | extra.minus | extra.dot)) {
        one_by_one |= number_starts;  // exponents or stray bytes
    } else if (numbers != 0) {
        const std::uint64_t digit = extra.digit, dot = extra.dot & numbers, minus = extra.minus & numbers;
        const std::uint64_t ends = numbers & ~(scalar >> 1);
        const std::uint64_t integer_starts = (number_starts & digit) | (minus << 1);
        const std::uint64_t after_dot = (dot << 1) & scalar;
        const std::uint64_t fraction = ((scalar + after_dot) ^ scalar) & scalar;
        const std::uint64_t bad = (minus & ~scalar_starts) | ((minus << 1) & ~digit) | (dot & ~(digit << 1)) |
                                  (after_dot & ~digit) | ((extra.zero & integer_starts) << 1 & digit) |
                                  (ends & ~digit) | (fraction & dot);
        if (bad != 0) return false;
    }
    while (one_by_one != 0) {
        const std::size_t at = static_cast<std::size_t>(__builtin_ctzll(one_by_one));
        one_by_one &= one_by_one - 1;
        const unsigned char c = data_[base + at];
        const std::size_t stop = (c == 't' || c == 'f' || c == 'n') ? fast_literal(base + at, c) : fast_number(base + at);
        if (stop == 0) return false;
        const std::size_t past = stop - base;
        if (past >= kBlockSize) {
            end = stop;
        } else if ((scalar >> past) & 1) {
            return false;
        }
    }

    // The order of the tokens. The kinds of the open containers are kept in a register for the 64 levels
    // below the cursor's depth, which is as far as the block's closing brackets can reach (each token
    // overwrites the level 64 below it, which fewer than 63 closing brackets never reach).
    const int entry_depth = depth_;
    if (__builtin_popcountll(masks.close & outside) >= 63 ||
        entry_depth + __builtin_popcountll(masks.open & outside) >= Rules::kNestingLimit) {
        return false;
    }
    const std::uint64_t stack = stack_window(entry_depth);
    // The machine's state for the mode at the cursor, below an array and below an object (a string ends in
    // the block or runs through it: its state is the one after it).
    static constexpr unsigned kStateOf[2][12] = {
        {kBroken, kArrayFirst, kArrayComma, kObjectFirst, kObjectComma, kKeyDone, kInArray, kInArray, kBroken,
         kBroken, kBroken, kKeyDone},
        {kMemberValue, kArrayFirst, kArrayComma, kObjectFirst, kObjectComma, kKeyDone, kInObject, kInObject, kBroken,
         kBroken, kBroken, kKeyDone},
    };
    static_assert(static_cast<int>(Mode::after_value) == 6 && static_cast<int>(Mode::string) == 7);
    const unsigned mode_index = mode_ == Mode::string && string_is_key_ ? 11 : static_cast<unsigned>(mode_);
    unsigned state = kStateOf[stack >> 63][mode_index];
    const unsigned rotation = static_cast<unsigned>(entry_depth & 63);
    const std::uint64_t ring = rotation == 0 ? stack : stack << rotation | stack >> (64 - rotation);
    // When the closing brackets may reach the depths navigation watches, the walk stops before the first
    // such token and the block is taken up to there.
    const bool may_reach_floor = __builtin_popcountll(masks.close & outside) >= entry_depth - floor_;
    TokenWalk walked;
    if (kAvx2 && masks_walk_) {
        // BMI2 comes with the AVX2 and AVX-512 levels: the order of the tokens is checked by masks.
        const TokenMasks classes{tokens,
                                 masks.open & outside,
                                 masks.close & outside,
                                 masks.comma & outside,
                                 extra.colon & outside,
                                 opening & from};
        walked = check_tokens_bmi2(data_ + base, classes, state, entry_depth, ring, may_reach_floor ? floor_ : INT_MIN);
    } else {
        walked = may_reach_floor ? walk_tokens_until(data_ + base, tokens, state, entry_depth, ring, floor_)
                                 : walk_tokens(data_ + base, tokens, state, entry_depth, ring);
    }
    state = walked.state;
    const int depth = entry_depth + walked.depth, lowest = entry_depth + walked.lowest;
    if (state == kBroken || lowest <= floor_) return false;
    // The levels opened in the block go back to the stack in memory (the register holds level L at the bit
    // it has in its word there), at most 64 levels in at most two words.
    if (lowest < depth) {
        const int last = depth - 1;
        const std::uint64_t from_lowest = ~std::uint64_t{0} << (lowest & 63);
        const std::uint64_t to_last = ~std::uint64_t{0} >> (63 - (last & 63));
        const std::uint64_t first_word = (lowest >> 6) == (last >> 6) ? from_lowest & to_last : from_lowest;
        std::uint64_t& low_word = open_objects_[lowest >> 6];
        low_word = (low_word & ~first_word) | (walked.ring & first_word);
        if ((lowest >> 6) != (last >> 6)) {
            std::uint64_t& high_word = open_objects_[last >> 6];
            high_word = (high_word & ~to_last) | (walked.ring & to_last);
        }
    }
    depth_ = depth;
    static constexpr Mode kModeOf[] = {Mode::value,       Mode::object_first, Mode::object_comma,
                                       Mode::colon,       Mode::value,        Mode::after_value,
                                       Mode::array_first, Mode::array_comma,  Mode::after_value};
    if (walked.stopped < kBlockSize) {
        // Before a watched closing bracket, outside strings: the caller hands it to the exact machine.
        cursor_ = base + walked.stopped;
        mode_ = kModeOf[state / 6];
        return true;
    }
    cursor_ = end;
    if (strings.in_string >> 63) {
        mode_ = Mode::string;
        string_is_key_ = state == kKeyDone;
        return true;
    }
    mode_ = kModeOf[state / 6];
    return true;
}

// The block token by token from the cursor, handing what it cannot take in one step to the exact machine.
template <class Rules>
TOVAK_SCAN_INLINE bool StreamValidator<Rules>::walk_block(const BlockMasks& masks, const StringBlock& strings,
                                                          const validate_detail::ExtraMasks& extra,
                                                          std::size_t base) noexcept {
    const std::uint64_t control = extra.control;
    const std::uint64_t space = masks.space & ~extra.form_feed;  // JSON white space has no form feed
    std::size_t i = cursor_ - base;
    // The hot state in locals (stored back before the exact machine runs and at the end).
    Mode mode = mode_;
    int depth = depth_;
    const auto push_local = [&](bool object) {
        const std::uint64_t bit = std::uint64_t{1} << (depth & 63);
        if (object) open_objects_[depth >> 6] |= bit;
        else open_objects_[depth >> 6] &= ~bit;
        ++depth;
    };
    const auto top_object = [&] {
        const int top = depth - 1;
        return ((open_objects_[top >> 6] >> (top & 63)) & 1) != 0;
    };
    std::size_t min_stop;
    for (;;) {
        while (i < kBlockSize) {
            if (mode >= Mode::number) goto anomaly;  // inside a number or literal, or done
            if (mode == Mode::string) {
                if (esc_ != kEscNone || collecting_) goto anomaly;  // mid-escape, or a key navigation reads
                const std::uint64_t rest = ~std::uint64_t{0} << i;
                const std::uint64_t quote = strings.quotes & rest;
                const std::uint64_t contents = (quote ? (quote & (0 - quote)) - 1 : ~std::uint64_t{0}) & rest;
                if (control & contents) goto anomaly;
                std::uint64_t backslashes = masks.backslash & contents;
                while (backslashes != 0) {
                    const std::size_t at = static_cast<std::size_t>(__builtin_ctzll(backslashes));
                    const std::size_t length = fast_escape(base + at);
                    if (length == 0) {
                        i = at;
                        goto anomaly;
                    }
                    const std::size_t next = at + length;
                    if (next >= kBlockSize) {  // the escape runs into the next block, and so does the string
                        cursor_ = base + next;
                        mode_ = mode;
                        depth_ = depth;
                        return true;
                    }
                    backslashes &= ~std::uint64_t{0} << next;
                }
                if (quote == 0) {
                    i = kBlockSize;
                    break;
                }
                const std::size_t closing = static_cast<std::size_t>(__builtin_ctzll(quote));
                if (string_is_key_) {
                    mode = Mode::colon;
                } else if (depth <= floor_) {
                    i = closing;  // the value's end matters here
                    goto watched;
                } else {
                    mode = Mode::after_value;
                }
                i = closing + 1;
                continue;
            }
            const std::uint64_t token = ~space & (~std::uint64_t{0} << i);
            if (token == 0) {
                i = kBlockSize;
                break;
            }
            i = static_cast<std::size_t>(__builtin_ctzll(token));
            const unsigned char c = data_[base + i];
            if (depth <= floor_ + 1 && (depth <= floor_ || c == ']' || c == '}')) goto watched;
            switch (mode) {
                case Mode::value:
                case Mode::array_first:
                case Mode::array_comma:
                    if (c == '"') {
                        mode = Mode::string;
                        string_is_key_ = false;
                        ++i;
                        continue;
                    }
                    if (c == '{' || c == '[') {
                        if (depth + 1 >= Rules::kNestingLimit) goto anomaly;
                        push_local(c == '{');
                        mode = c == '{' ? Mode::object_first : Mode::array_first;
                        ++i;
                        continue;
                    }
                    if (validate_detail::is_digit_byte(c) || c == '-') {
                        const std::size_t end = fast_number(base + i);
                        if (end == 0) goto anomaly;
                        mode = Mode::after_value;
                        i = end - base;
                        continue;
                    }
                    if (c == 't' || c == 'f' || c == 'n') {
                        const std::size_t end = fast_literal(base + i, c);
                        if (end == 0) goto anomaly;
                        mode = Mode::after_value;
                        i = end - base;
                        continue;
                    }
                    if (c == ']' && mode == Mode::array_first) {
                        --depth;
                        mode = Mode::after_value;
                        ++i;
                        continue;
                    }
                    goto anomaly;
                case Mode::object_first:
                case Mode::object_comma:
                    if (c == '"') {
                        mode = Mode::string;
                        string_is_key_ = true;
                        ++i;
                        continue;
                    }
                    if (c == '}' && mode == Mode::object_first) {
                        --depth;
                        mode = Mode::after_value;
                        ++i;
                        continue;
                    }
                    goto anomaly;
                case Mode::colon:
                    if (c != ':') goto anomaly;
                    mode = Mode::value;
                    ++i;
                    continue;
                case Mode::after_value:
                    if (c == ',') {
                        mode = top_object() ? Mode::object_comma : Mode::array_comma;
                        ++i;
                        continue;
                    }
                    if (c == (top_object() ? '}' : ']')) {
                        --depth;
                        ++i;
                        continue;
                    }
                    goto anomaly;
                default:
                    goto anomaly;
            }
        }
        cursor_ = base + i;
        mode_ = mode;
        depth_ = depth;
        return true;

    watched:  // a token the exact machine must see: it takes that one and more, until the fast walk may go on
        min_stop = base + i + 1;
        goto hand_over;
    anomaly:  // something to check byte by byte: the exact machine takes the rest of the block
        min_stop = base + kBlockSize;
    hand_over:
        mode_ = mode;
        depth_ = depth;
        cursor_ = exact(base + i, size_, min_stop);
        if (failed_ || mode_ == Mode::finished) return false;
        // After a watched token the rest of the block may go at once again (the caller's next round).
        if (cursor_ >= base + kBlockSize || min_stop < base + kBlockSize) return true;
        mode = mode_;
        depth = depth_;
        i = cursor_ - base;
    }
}

// The length of the valid escape sequence at `at` (a backslash inside a string), or 0 when the exact machine
// must look (invalid, a lone surrogate under the fixed-width rules, or cut off by the end of the data).
template <class Rules>
TOVAK_SCAN_INLINE std::size_t StreamValidator<Rules>::fast_escape(std::size_t at) const noexcept {
    const unsigned char* p = data_ + at;
    const std::size_t available = size_ - at;
    if (available < 2) return 0;
    switch (p[1]) {
        case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't':
            return 2;
        case 'u': {
            if (available < 6) return 0;
            const int unit = (detail::hex_value(static_cast<char>(p[2])) * 4096) |
                             (detail::hex_value(static_cast<char>(p[3])) * 256) |
                             (detail::hex_value(static_cast<char>(p[4])) * 16) | detail::hex_value(static_cast<char>(p[5]));
            if (unit < 0) return 0;
            if constexpr (!Rules::kLoneSurrogates) {
                if (unit >= 0xDC00 && unit <= 0xDFFF) return 0;
                if (unit >= 0xD800 && unit <= 0xDBFF) {
                    if (available < 12 || p[6] != '\\' || p[7] != 'u') return 0;
                    const int low = (detail::hex_value(static_cast<char>(p[8])) * 4096) |
                                    (detail::hex_value(static_cast<char>(p[9])) * 256) |
                                    (detail::hex_value(static_cast<char>(p[10])) * 16) |
                                    detail::hex_value(static_cast<char>(p[11]));
                    if (low < 0xDC00 || low > 0xDFFF) return 0;
                    return 12;
                }
            }
            return 6;
        }
        default:
            return 0;
    }
}

// The end of the number starting at `at`, or 0 when the exact machine must read it: malformed, reaching the
// end of the data (it may go on in the next chunk), or under the fixed-width rules possibly out of range
// (more than 300 integer digits, or a positive exponent that may take it beyond 10^300).
template <class Rules>
TOVAK_SCAN_INLINE std::size_t StreamValidator<Rules>::fast_number(std::size_t at) const noexcept {
    using validate_detail::is_digit_byte;
    const unsigned char* p = data_ + at;
    const unsigned char* const end = data_ + size_;
    if (*p == '-') ++p;
    if (p == end) return 0;
    const unsigned char* const integer = p;
    if (*p == '0') {
        ++p;
        if (p != end && is_digit_byte(*p)) return 0;
    } else {
        if (!is_digit_byte(*p)) return 0;
        while (p != end && is_digit_byte(*p)) ++p;
    }
    const std::size_t integer_digits = *integer == '0' ? 0 : static_cast<std::size_t>(p - integer);
    if constexpr (!Rules::kExactIntegers) {
        if (integer_digits > 300) return 0;
    }
    if (p != end && *p == '.') {
        ++p;
        const unsigned char* const fraction = p;
        while (p != end && is_digit_byte(*p)) ++p;
        if (p == fraction) return 0;
    }
    if (p != end && (*p | 0x20) == 'e') {
        ++p;
        bool negative = false;
        if (p != end && (*p == '+' || *p == '-')) negative = *p++ == '-';
        const unsigned char* const digits = p;
        std::size_t exponent = 0;
        while (p != end && is_digit_byte(*p)) {
            if (p - digits < 6) exponent = exponent * 10 + (*p - '0');
            ++p;
        }
        if (p == digits) return 0;
        if constexpr (!Rules::kExactIntegers) {
            if (!negative && (p - digits >= 6 || integer_digits + exponent > 300)) return 0;
        }
    }
    if (p == end) return 0;
    return static_cast<std::size_t>(p - data_);
}

template <class Rules>
TOVAK_SCAN_INLINE std::size_t StreamValidator<Rules>::fast_literal(std::size_t at, unsigned char first) const noexcept {
    if (size_ - at < 5) {  // near the end of the data: rare
        const char* word = first == 't' ? "true" : first == 'f' ? "false" : "null";
        const std::size_t length = first == 'f' ? 5 : 4;
        if (size_ - at < length || std::memcmp(data_ + at, word, length) != 0) return 0;
        return at + length;
    }
    std::uint32_t head;
    std::memcpy(&head, data_ + at, 4);
    std::uint32_t true_word, null_word, fals_word;
    std::memcpy(&true_word, "true", 4);
    std::memcpy(&null_word, "null", 4);
    std::memcpy(&fals_word, "fals", 4);
    if (head == true_word || head == null_word) return at + 4;
    if (head == fals_word && data_[at + 4] == 'e') return at + 5;
    return 0;
}

// ---------------------------------------------------------------------------------------------------
// The exact machine: the parser's checks, one byte at a time, resumable anywhere.

template <class Rules>
std::size_t StreamValidator<Rules>::exact(std::size_t i, std::size_t end, std::size_t min_stop) noexcept {
    const unsigned char* const d = data_;
    while (i < end) {
        if (i >= min_stop && resumable()) return i;
        const unsigned char c = d[i];
        switch (mode_) {
            case Mode::string:
                if (esc_ != kEscNone) {
                    if (!escape_step(i, c)) return i;
                    ++i;
                    continue;
                }
                if (c == '"') {
                    ++i;
                    if (string_is_key_) {
                        mode_ = Mode::colon;
                        if (collecting_) key_completed();
                    } else {
                        value_done(i);
                    }
                    continue;
                }
                if (c == '\\') {
                    esc_ = kEscBackslash;
                    ++i;
                    continue;
                }
                if (c < 0x20) {
                    fail_at(i, message::control_character);
                    return i;
                } else {
                    std::uint64_t high = 0;
                    const char* run_end = detail::skip_plain_string_bytes(reinterpret_cast<const char*>(d + i),
                                                                          reinterpret_cast<const char*>(d + end), high);
                    std::size_t next = static_cast<std::size_t>(reinterpret_cast<const unsigned char*>(run_end) - d);
                    // A long run may be left to the fast walk from `min_stop` on.
                    if (i < min_stop && next > min_stop && resumable()) next = min_stop;
                    if (collecting_) {
                        key_.append(reinterpret_cast<const char*>(d + i), next - i);
                        key_high_at_ = SIZE_MAX;
                    }
                    i = next;
                }
                continue;
            case Mode::number: {
                const int step = number_step(i, c);
                if (step < 0) return i;
                if (step == 0) {
                    ++i;
                    continue;
                }
                if (!number_done(i)) return i;
                continue;  // the byte after the number is read again in the next mode
            }
            case Mode::literal: {
                static constexpr const char* kWords[] = {"true", "false", "null"};
                const char* word = kWords[literal_];
                if (c != static_cast<unsigned char>(word[literal_matched_])) {
                    fail_at(i, message::expected_ident);
                    return i;
                }
                ++i;
                if (word[++literal_matched_] == '\0') value_done(i);
                continue;
            }
            case Mode::finished:
                return i;
            default:
                break;
        }
        if (detail::is_space(static_cast<char>(c))) {
            ++i;
            continue;
        }
        switch (mode_) {
            case Mode::value:
            case Mode::array_first:
            case Mode::array_comma:
                if (c == ']' && mode_ != Mode::value) {
                    if (mode_ == Mode::array_comma) {
                        fail_at(i, message::trailing_comma);
                        return i;
                    }
                    close_container(i);
                    ++i;
                    continue;
                }
                if (!start_value(i, c)) return i;
                ++i;
                continue;
            case Mode::object_first:
            case Mode::object_comma:
                if (c == '}') {
                    if (mode_ == Mode::object_comma) {
                        fail_at(i, message::trailing_comma);
                        return i;
                    }
                    close_container(i);
                    ++i;
                    continue;
                }
                if (c != '"') {
                    fail_at(i, message::key_must_be_string);
                    return i;
                }
                mode_ = Mode::string;
                string_is_key_ = true;
                collecting_ = (phase_ == Phase::seek || phase_ == Phase::target) && depth_ == level_;
                if (collecting_) {
                    key_.clear();
                    key_high_at_ = SIZE_MAX;
                }
                ++i;
                continue;
            case Mode::colon:
                if (c != ':') {
                    fail_at(i, message::expected_colon);
                    return i;
                }
                mode_ = Mode::value;
                ++i;
                continue;
            case Mode::after_value:
                if (depth_ == base_) {
                    fail_at(i, message::trailing_characters);
                    return i;
                }
                if (c == ',') {
                    mode_ = top_is_object() ? Mode::object_comma : Mode::array_comma;
                    ++i;
                    continue;
                }
                if (top_is_object()) {
                    if (c != '}') {
                        fail_at(i, message::expected_object_comma_or_end);
                        return i;
                    }
                } else if (c != ']') {
                    fail_at(i, message::expected_list_comma_or_end);
                    return i;
                }
                close_container(i);
                ++i;
                continue;
            default:
                return i;  // not reached
        }
    }
    return i;
}

// One byte of an escape sequence (esc_ != kEscNone). False on an error.
template <class Rules>
bool StreamValidator<Rules>::escape_step(std::size_t i, unsigned char c) noexcept {
    if (esc_ == kEscBackslash) {
        char decoded;
        switch (c) {
            case '"': decoded = '"'; break;
            case '\\': decoded = '\\'; break;
            case '/': decoded = '/'; break;
            case 'b': decoded = '\b'; break;
            case 'f': decoded = '\f'; break;
            case 'n': decoded = '\n'; break;
            case 'r': decoded = '\r'; break;
            case 't': decoded = '\t'; break;
            case 'u':
                esc_ = kEscHex;
                hex_ = 0;
                hex_bad_ = false;
                return true;
            default:
                fail_at(i, message::invalid_escape);
                return false;
        }
        if (collecting_) {
            key_ += decoded;
            key_high_at_ = SIZE_MAX;
        }
        esc_ = kEscNone;
        return true;
    }
    if (esc_ == kEscLowBackslash || esc_ == kEscLowU) {
        if (c != (esc_ == kEscLowBackslash ? '\\' : 'u')) {
            fail_at(i, message::unexpected_end_of_hex_escape);
            return false;
        }
        if (esc_ == kEscLowU) {
            hex_ = 0;
            hex_bad_ = false;
        }
        ++esc_;
        return true;
    }
    // A hex digit; the parser judges the four only once it has them.
    const int digit = detail::hex_value(static_cast<char>(c));
    if (digit < 0) hex_bad_ = true;
    else hex_ = hex_ * 16 + static_cast<std::uint32_t>(digit);
    ++esc_;
    if (esc_ != kEscHex + 4 && esc_ != kEscLowHex + 4) return true;
    if (hex_bad_) {
        fail_at(i, message::invalid_escape);
        return false;
    }
    if constexpr (!Rules::kLoneSurrogates) {
        if (esc_ == kEscHex + 4) {
            if (hex_ >= 0xDC00 && hex_ <= 0xDFFF) {
                fail_at(i, message::lone_leading_surrogate);
                return false;
            }
            if (hex_ >= 0xD800 && hex_ <= 0xDBFF) {
                high_ = hex_;
                esc_ = kEscLowBackslash;
                return true;
            }
        } else {
            if (hex_ < 0xDC00 || hex_ > 0xDFFF) {
                fail_at(i, message::lone_leading_surrogate);
                return false;
            }
            hex_ = 0x10000 + ((high_ - 0xD800) << 10) + (hex_ - 0xDC00);
        }
    }
    esc_ = kEscNone;
    if (collecting_) append_key_unit(hex_);
    return true;
}

// Decodes a \u unit into key_ as the parser decodes it into a string.
template <class Rules>
void StreamValidator<Rules>::append_key_unit(std::uint32_t unit) {
    if constexpr (Rules::kLoneSurrogates) {
        // A high surrogate written just before, with nothing in between, pairs with this low one.
        if (unit >= 0xDC00 && unit <= 0xDFFF && key_high_at_ != SIZE_MAX) {
            const std::size_t at = key_high_at_;
            const unsigned char* h = reinterpret_cast<const unsigned char*>(key_.data() + at);
            const std::uint32_t high = 0xD000u | ((h[1] & 0x3Fu) << 6) | (h[2] & 0x3Fu);
            key_.resize(at);
            unit = 0x10000 + ((high - 0xD800) << 10) + (unit - 0xDC00);
        }
    }
    char buffer[4];
    const std::size_t length = static_cast<std::size_t>(detail::put_utf8(buffer, unit) - buffer);
    const std::size_t at = key_.size();
    key_.append(buffer, length);
    key_high_at_ = Rules::kLoneSurrogates && unit >= 0xD800 && unit <= 0xDBFF ? at : SIZE_MAX;
}

template <class Rules>
void StreamValidator<Rules>::significant_digit(unsigned digit) noexcept {
    if constexpr (!Rules::kExactIntegers) {
        NumberState& n = number_;
        if (n.compare == 0) {
            const unsigned limit = n.compared < 309 ? static_cast<unsigned>(validate_detail::kOverflowThreshold[n.compared] - '0') : 0;
            n.compare = static_cast<std::int32_t>(digit) - static_cast<std::int32_t>(limit);
        }
        if (n.compared < 400) ++n.compared;
    } else {
        (void)digit;
    }
}

// One byte of a number: 0 consumed, 1 the number ended before it, -1 an error.
template <class Rules>
int StreamValidator<Rules>::number_step(std::size_t i, unsigned char c) noexcept {
    NumberState& n = number_;
    const bool digit = validate_detail::is_digit_byte(c);
    const unsigned value = static_cast<unsigned>(c - '0');
    switch (n.phase) {
        case NumberPhase::minus:
            if (!digit) {
                fail_at(i, message::invalid_number);
                return -1;
            }
            if (value == 0) {
                n.phase = NumberPhase::zero;
            } else {
                n.phase = NumberPhase::integer;
                n.nonzero = n.significant = true;
                n.integer_digits = 1;
                significant_digit(value);
            }
            return 0;
        case NumberPhase::zero:
            if (digit) {
                fail_at(i, message::invalid_number);
                return -1;
            }
            [[fallthrough]];
        case NumberPhase::integer:
            if (digit) {
                ++n.integer_digits;
                n.nonzero |= value != 0;
                significant_digit(value);
                return 0;
            }
            if (c == '.') {
                n.phase = NumberPhase::dot;
                return 0;
            }
            if ((c | 0x20) == 'e') {
                n.phase = NumberPhase::exp_mark;
                return 0;
            }
            return 1;
        case NumberPhase::dot:
            if (!digit) {
                fail_at(i, message::invalid_number);
                return -1;
            }
            n.phase = NumberPhase::fraction;
            [[fallthrough]];
        case NumberPhase::fraction:
            if (digit) {
                if (n.significant) {
                    significant_digit(value);
                } else if (value == 0) {
                    ++n.leading_fraction_zeros;
                } else {
                    n.significant = true;
                    significant_digit(value);
                }
                n.nonzero |= value != 0;
                return 0;
            }
            if ((c | 0x20) == 'e') {
                n.phase = NumberPhase::exp_mark;
                return 0;
            }
            return 1;
        case NumberPhase::exp_mark:
            if (c == '+' || c == '-') {
                n.negative_exponent = c == '-';
                n.phase = NumberPhase::exp_sign;
                return 0;
            }
            [[fallthrough]];
        case NumberPhase::exp_sign:
            if (!digit) {
                fail_at(i, message::invalid_number);
                return -1;
            }
            n.phase = NumberPhase::exponent;
            [[fallthrough]];
        case NumberPhase::exponent:
            if (!digit) return 1;
            if (!n.exponent_overflow) {
                if (n.exponent > (INT32_MAX - static_cast<std::int32_t>(value)) / 10) {
                    if constexpr (!Rules::kExactIntegers) {
                        if (n.nonzero && !n.negative_exponent) {
                            fail_at(i, message::number_out_of_range);
                            return -1;
                        }
                    }
                    n.exponent_overflow = true;
                } else {
                    n.exponent = n.exponent * 10 + static_cast<std::int32_t>(value);
                }
            }
            return 0;
    }
    return 0;
}

// The number ended just before `end`. False on an error.
template <class Rules>
bool StreamValidator<Rules>::number_done(std::size_t end) noexcept {
    const NumberState& n = number_;
    switch (n.phase) {
        case NumberPhase::minus:
        case NumberPhase::dot:
        case NumberPhase::exp_mark:
        case NumberPhase::exp_sign:
            return true;  // not reached: those phases fail on any byte that does not continue the number
        default:
            break;
    }
    if constexpr (!Rules::kExactIntegers) {
        if (!n.exponent_overflow && n.nonzero) {
            // The decimal exponent of the first significant digit decides, and at 308 the digits do.
            const std::int64_t position = n.integer_digits > 0 ? static_cast<std::int64_t>(n.integer_digits) - 1
                                                               : -static_cast<std::int64_t>(n.leading_fraction_zeros) - 1;
            const std::int64_t magnitude = position + (n.negative_exponent ? -n.exponent : n.exponent);
            // Equal digits so far count as equal only when all 309 were compared: the threshold's last
            // digit is not 0, so a shorter digit string that matches its start is below it.
            const bool at_least_threshold = n.compare > 0 || (n.compare == 0 && n.compared >= 309);
            if (magnitude > 308 || (magnitude == 308 && at_least_threshold)) {
                fail_before(end, message::number_out_of_range);
                return false;
            }
        }
    }
    value_done(end);
    return true;
}

template <class Rules>
bool StreamValidator<Rules>::start_value(std::size_t i, unsigned char c) noexcept {
    ValueKind kind;
    switch (c) {
        case '[': kind = ValueKind::array; break;
        case '{': kind = ValueKind::object; break;
        case '"': kind = ValueKind::string; break;
        case 't': kind = ValueKind::true_value; break;
        case 'f': kind = ValueKind::false_value; break;
        case 'n': kind = ValueKind::null; break;
        case '-': case '0': case '1': case '2': case '3': case '4': case '5': case '6': case '7': case '8': case '9':
            kind = ValueKind::number;
            break;
        default:
            fail_at(i, message::expected_value);
            return false;
    }
    if (kind == ValueKind::array || kind == ValueKind::object) {
        if (depth_ + 1 >= Rules::kNestingLimit) {
            fail_at(i, Rules::kNestingMessage);
            return false;
        }
    }
    if (depth_ == level_) value_started(i, kind);
    switch (kind) {
        case ValueKind::array:
        case ValueKind::object:
            push(kind == ValueKind::object);
            mode_ = kind == ValueKind::object ? Mode::object_first : Mode::array_first;
            break;
        case ValueKind::string:
            mode_ = Mode::string;
            string_is_key_ = false;
            break;
        case ValueKind::number:
            number_ = NumberState{};
            mode_ = Mode::number;
            if (c == '0') {
                number_.phase = NumberPhase::zero;
            } else if (c != '-') {
                number_.phase = NumberPhase::integer;
                number_.nonzero = number_.significant = true;
                number_.integer_digits = 1;
                significant_digit(static_cast<unsigned>(c - '0'));
            }
            break;
        default:
            mode_ = Mode::literal;
            literal_ = kind == ValueKind::true_value ? 0 : kind == ValueKind::false_value ? 1 : 2;
            literal_matched_ = 1;
            break;
    }
    return true;
}

// The bracket at `i` closes the innermost container (already checked to match).
template <class Rules>
void StreamValidator<Rules>::close_container(std::size_t i) noexcept {
    --depth_;
    if (depth_ + 1 == level_) level_closed(i + 1);
    value_done(i + 1);
}

// A value ended just before `end`.
template <class Rules>
void StreamValidator<Rules>::value_done(std::size_t end) noexcept {
    if (depth_ == level_) value_ended(end);
    if (one_value_ && depth_ == base_) {
        mode_ = Mode::finished;
        value_end_ = data_base_ + end;
    } else {
        mode_ = Mode::after_value;
    }
}

// The text ends (after the last feed): the parser's checks at the end.
template <class Rules>
bool StreamValidator<Rules>::end_of_text() noexcept {
    const std::uint64_t end = data_base_ + size_;
    const char* message = nullptr;
    switch (mode_) {
        case Mode::string: message = message::eof_string; break;
        case Mode::literal: message = message::eof_value; break;
        case Mode::value:
        case Mode::array_comma:
        case Mode::object_comma: message = message::eof_value; break;
        case Mode::array_first: message = message::eof_list; break;
        case Mode::object_first:
        case Mode::colon: message = message::eof_object; break;
        case Mode::number:
            switch (number_.phase) {
                case NumberPhase::minus:
                case NumberPhase::dot:
                case NumberPhase::exp_mark:
                case NumberPhase::exp_sign: message = message::eof_value; break;
                default:
                    if (!number_done(size_)) return false;
                    break;
            }
            break;
        default: break;
    }
    if (message == nullptr && mode_ == Mode::after_value && depth_ != base_)
        message = top_is_object() ? message::eof_object : message::eof_list;
    if (message == nullptr) return true;
    fail_offset(end, message);
    return false;
}

// ---------------------------------------------------------------------------------------------------
// Navigation

template <class Rules>
void StreamValidator<Rules>::value_started(std::size_t i, ValueKind kind) {
    const std::uint64_t at = data_base_ + i;
    const bool container = kind == ValueKind::array || kind == ValueKind::object;
    if (phase_ == Phase::target) {
        PointerEvent event;
        event.kind = PointerEvent::Kind::item_begin;
        event.value = kind;
        event.offset = at;
        event.index = index_++;
        if (container_ == ValueKind::object) event.key = key_;
        events_.push_back(std::move(event));
        return;
    }
    if (phase_ != Phase::seek) return;
    bool selected;
    if (root_pending_) {
        selected = true;
        root_pending_ = false;
    } else {
        selected = container_ == ValueKind::array ? pointer_->indices[matched_] == index_ : key_match_;
        ++index_;
        if (!selected) return;
        ++matched_;
    }
    key_match_ = false;
    if (matched_ == pointer_->size()) {
        PointerEvent event;
        event.kind = PointerEvent::Kind::target_begin;
        event.value = kind;
        event.offset = at;
        events_.push_back(std::move(event));
        phase_ = container ? Phase::target : Phase::target_scalar;
    } else if (!container) {
        PointerEvent event;
        event.kind = PointerEvent::Kind::missing;
        event.value = kind;
        event.offset = at;
        event.matched = matched_;
        events_.push_back(std::move(event));
        stop_navigating();
        return;
    }
    if (container) {
        level_ = depth_ + 1;  // the container's own values start there once it is open
        index_ = 0;
        container_ = kind;
        set_watch(level_);
    }
}

template <class Rules>
void StreamValidator<Rules>::value_ended(std::size_t end) {
    if (phase_ == Phase::target) {
        PointerEvent event;
        event.kind = PointerEvent::Kind::item_end;
        event.value = container_;
        event.offset = data_base_ + end;
        event.index = index_ - 1;
        events_.push_back(std::move(event));
    } else if (phase_ == Phase::target_scalar) {
        PointerEvent event;
        event.kind = PointerEvent::Kind::target_end;
        event.offset = data_base_ + end;
        events_.push_back(std::move(event));
        stop_navigating();
    }
}

template <class Rules>
void StreamValidator<Rules>::level_closed(std::size_t end) {
    PointerEvent event;
    event.offset = data_base_ + end;
    event.value = container_;
    if (phase_ == Phase::target) {
        event.kind = PointerEvent::Kind::target_end;
        event.index = index_;
    } else {
        event.kind = PointerEvent::Kind::missing;
        event.matched = matched_;
        event.index = index_;
    }
    events_.push_back(std::move(event));
    stop_navigating();
}

template <class Rules>
void StreamValidator<Rules>::key_completed() {
    collecting_ = false;
    if (phase_ == Phase::seek) key_match_ = key_ == pointer_->tokens[matched_];
}

}  // namespace tovak::json
