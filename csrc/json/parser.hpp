// The one JSON parser: strict RFC 8259 text (already valid UTF-8) in one forward pass, reported as events
// to a sink, with the fixed error texts and their line/column positions.
//
// A sink is any class with these members; each returns false to abort the parse (for example when a
// Python allocation failed), which ends it with ParseStatus::sink_failed:
//
//     bool null();
//     bool boolean(bool value);
//     bool uint(std::uint64_t value);   // integer text without '-', up to 18446744073709551615
//     bool sint(std::int64_t value);    // integer text with '-', from -9223372036854775808 to -1
//     bool dbl(double value);           // everything else (fraction, exponent, -0, out of 64-bit range)
//     bool big_integer(std::string_view text);  // only under rules with exact integers: an integer
//                                               // beyond the 64-bit forms, its text as written
//     bool string(std::string_view utf8, bool ascii);
//     bool begin_array();
//     bool end_array();
//     bool begin_object();
//     bool key(std::string_view utf8, bool ascii);  // followed by exactly one value
//     bool end_object();
//
// A sink may also take a key with its first 16 bytes, zero-padded, as two little-endian words (the bytes
// the parser holds after finding the closing quote of a key without escapes), in place of the two-argument
// `key` for such keys:
//
//     bool key(std::string_view utf8, bool ascii, std::uint64_t head_low, std::uint64_t head_high);
//
// The views handed to `string` and `key` are valid only during the call: they point into the text when
// the string has no escapes, or into the parser's scratch buffer. `ascii` is true when every byte is
// below 0x80. Keys arrive in text order, duplicates included; ordering and de-duplication are the sink's.
//
// Rules: what the grammar leaves to the reader (number forms, lone surrogate escapes, nesting depth) is
// chosen at compile time by a rules type (FixedWidthRules, PythonRules below), so neither reader pays for
// the other's checks in its loop.
//
// Nesting: at most `Rules::kNestingLimit - 1` containers may be open at once; the next opening bracket is
// the error `Rules::kNestingMessage`. The parser iterates (no recursion), so deep input cannot exhaust the
// stack.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "json/number.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tovak::json {

// The error texts, exactly as users see them. Callers tell errors apart by a message's address, so each
// is an inline array, one object in every translation unit: a pointer to a literal would name each unit's
// own copy of the text wherever equal literals are not merged (as in sanitizer builds).
namespace message {
inline constexpr char eof_list[] = "EOF while parsing a list";
inline constexpr char eof_object[] = "EOF while parsing an object";
inline constexpr char eof_string[] = "EOF while parsing a string";
inline constexpr char eof_value[] = "EOF while parsing a value";
inline constexpr char expected_colon[] = "expected `:`";
inline constexpr char expected_list_comma_or_end[] = "expected `,` or `]`";
inline constexpr char expected_object_comma_or_end[] = "expected `,` or `}`";
inline constexpr char expected_ident[] = "expected ident";
inline constexpr char expected_value[] = "expected value";
inline constexpr char invalid_escape[] = "invalid escape";
inline constexpr char invalid_number[] = "invalid number";
inline constexpr char number_out_of_range[] = "number out of range";
inline constexpr char control_character[] = "control character (\\u0000-\\u001F) found while parsing a string";
inline constexpr char key_must_be_string[] = "key must be a string";
inline constexpr char lone_leading_surrogate[] = "lone leading surrogate in hex escape";
inline constexpr char unexpected_end_of_hex_escape[] = "unexpected end of hex escape";
inline constexpr char trailing_comma[] = "trailing comma";
inline constexpr char trailing_characters[] = "trailing characters";
inline constexpr char recursion_limit[] = "recursion limit exceeded";
inline constexpr char nesting_too_deep[] = "nesting deeper than 10000 levels";
}  // namespace message

// A syntax error: line counts from 1, column is the byte offset on that line just past the byte that
// revealed the error (the line's length when the text ended first).
struct ParseError {
    const char* message = "";
    std::uint64_t line = 0;
    std::uint64_t column = 0;
    std::uint64_t offset = 0;  // the byte offset in the text matching `column` (just past the byte)

    // "<message> at line <line> column <column>"
    std::string text() const;
};

enum class ParseStatus { ok, syntax_error, sink_failed };

struct ParseOutcome {
    ParseStatus status = ParseStatus::ok;
    ParseError error;  // meaningful for syntax_error only
    bool ok() const noexcept { return status == ParseStatus::ok; }
};

// The error `message` for a problem found just before byte offset `offset` of `text`.
ParseError locate_error(std::string_view text, std::size_t offset, const char* message) noexcept;

// The rules of the module-level readers: numbers in the fixed-width forms (unsigned and negative 64-bit
// integers, finite doubles; "-0" is a double), a \u escape of a lone surrogate is an error, and the
// opening bracket that would make 128 containers open at once fails.
struct FixedWidthRules {
    static constexpr bool kExactIntegers = false;
    static constexpr bool kLoneSurrogates = false;
    static constexpr int kNestingLimit = 128;
    static constexpr const char* kNestingMessage = message::recursion_limit;
};

// The rules of Python's json module: an integer of any size is exact (beyond the 64-bit forms its text
// goes to the sink's `big_integer`), "-0" is the integer 0, a number beyond the double range is an
// infinity of its sign, and a \u escape of a lone surrogate is kept: it is written into the string as
// the three bytes a UTF-8 encoder would give that code point (ED A0..BF xx), which a decoder that
// tolerates surrogates turns back into it. A surrogate pair still becomes one character, so a high
// surrogate is never followed by a low one in the result. Nesting: 10,000 levels.
struct PythonRules {
    static constexpr bool kExactIntegers = true;
    static constexpr bool kLoneSurrogates = true;
    static constexpr int kNestingLimit = 10001;
    static constexpr const char* kNestingMessage = message::nesting_too_deep;
};

// The nesting budget of the fixed-width rules.
inline constexpr int kNestingLimit = FixedWidthRules::kNestingLimit;

namespace detail {

inline bool is_digit(char c) noexcept { return static_cast<unsigned char>(c - '0') < 10; }

// The value of each byte as a hex digit, or -1.
inline constexpr auto kHexDigits = [] {
    struct Table {
        signed char value[256];
    } table{};
    for (int c = 0; c < 256; ++c) {
        table.value[c] = c >= '0' && c <= '9'   ? static_cast<signed char>(c - '0')
                         : c >= 'a' && c <= 'f' ? static_cast<signed char>(c - 'a' + 10)
                         : c >= 'A' && c <= 'F' ? static_cast<signed char>(c - 'A' + 10)
                                                : static_cast<signed char>(-1);
    }
    return table;
}();

inline int hex_value(char c) noexcept { return kHexDigits.value[static_cast<unsigned char>(c)]; }

// Marks, in the high bit of each byte of `word`, the bytes that are not decimal digits; the byte that comes
// first in the text is the lowest. A flag is exact up to the first flagged byte: the additions and
// subtractions carry or borrow across bytes only out of a byte that is not a digit.
inline std::uint64_t non_digit_flags(std::uint64_t word) noexcept {
    static_assert(std::endian::native == std::endian::little);
    // Above '9': adding 0x46 reaches 0x80. Below '0': subtracting 0x30 wraps to 0x80 or more (bytes from
    // 0x80 up are caught by one test or the other).
    return ((word + 0x4646464646464646ULL) | (word - 0x3030303030303030ULL)) & 0x8080808080808080ULL;
}

// How many bytes come before the first one marked in `flags` (of non_digit_flags): 8 when none is.
inline unsigned digits_before(std::uint64_t flags) noexcept { return static_cast<unsigned>(std::countr_zero(flags)) / 8; }

// How many of the eight bytes of `word` are digits before the first that is not.
inline unsigned digit_run_length(std::uint64_t word) noexcept { return digits_before(non_digit_flags(word)); }

// The number written by eight digit values (0 to 9, one a byte, the first the most significant).
inline std::uint64_t eight_digit_value(std::uint64_t values) noexcept {
    values = (values * 10 + (values >> 8)) & 0x00FF00FF00FF00FFULL;      // pairs of digits
    values = (values * 100 + (values >> 16)) & 0x0000FFFF0000FFFFULL;    // groups of four
    return (values * 10000 + (values >> 32)) & 0xFFFFFFFFULL;            // all eight
}

// The number written by the first `count` (1 to 8) bytes of `word`, which are digits.
inline std::uint64_t digits_value(std::uint64_t word, unsigned count) noexcept {
    // The subtraction borrows only out of bytes after the digits; the shift drops them and puts zero
    // digits in front.
    return eight_digit_value((word - 0x3030303030303030ULL) << (8 * (8 - count)));
}

inline constexpr std::uint64_t kPowersOfTen[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};

// A run of digits read: where it ends, and the significand and digit count with its digits appended.
struct DigitRun {
    const char* end;
    std::uint64_t value;
    std::size_t count;
};

// read_digits (below) past its common case: eight bytes at a time while the text has them and the digits
// fit, then one at a time. Out of line, so the parser's loop carries neither its loop nor its registers.
[[gnu::noinline]] inline DigitRun read_digit_words(const char* p, const char* end, std::uint64_t value,
                                                   std::size_t count) noexcept {
    while (end - p >= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        unsigned run = digit_run_length(word);
        if (run == 0) return {p, value, count};
        if (count + run > 19) break;  // past the digits kept: one at a time below
        value = value * kPowersOfTen[run] + digits_value(word, run);
        count += run;
        p += run;
        if (run != 8) return {p, value, count};
    }
    while (p != end && is_digit(*p)) {
        if (count < 19) value = value * 10 + static_cast<unsigned>(*p - '0');
        ++count;
        ++p;
    }
    return {p, value, count};
}

// Consumes the run of digits at `p` and returns its end. Digits are appended to `value` while `count`
// (the digits seen so far, these included) stays at most 19, so `value` is exact for up to 19 digits.
// Runs of up to fifteen digits (a coordinate's fraction, most integers) are read from two words loaded
// together, without a loop: the second load does not wait on the count of the first word's digits.
[[gnu::always_inline]] inline const char* read_digits(const char* p, const char* end, std::uint64_t& value,
                                                      std::size_t& count) noexcept {
    if (end - p >= 16 && count <= 3) {
        std::uint64_t first, second;
        std::memcpy(&first, p, 8);
        std::memcpy(&second, p + 8, 8);
        const std::uint64_t first_flags = non_digit_flags(first);
        if (first_flags != 0) {
            const unsigned run = digits_before(first_flags);
            if (run == 0) return p;
            value = value * kPowersOfTen[run] + digits_value(first, run);
            count += run;
            return p + run;
        }
        const std::uint64_t high = digits_value(first, 8);
        const std::uint64_t second_flags = non_digit_flags(second);
        if (second_flags != 0) {
            const unsigned run = digits_before(second_flags);
            value = (value * 100000000 + high) * kPowersOfTen[run] + (run == 0 ? 0 : digits_value(second, run));
            count += 8 + run;
            return p + 8 + run;
        }
        value = (value * 100000000 + high) * 100000000 + digits_value(second, 8);
        count += 16;
        p += 16;
    }
    const DigitRun run = read_digit_words(p, end, value, count);
    value = run.value;
    count = run.count;
    return run.end;
}

// Advances `p` to the first '"', '\\' or byte below 0x20 (or to `end`), OR-ing into `high` the high bits of
// the bytes passed over, so `high` stays zero while they are all ASCII.
inline const char* skip_plain_string_bytes(const char* p, const char* end, std::uint64_t& high) noexcept {
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i control_max = _mm_set1_epi8(0x1F);
    while (end - p >= 16) {
        __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        __m128i special = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(chunk, quote), _mm_cmpeq_epi8(chunk, backslash)),
                                       _mm_cmpeq_epi8(_mm_max_epu8(chunk, control_max), control_max));
        unsigned special_mask = static_cast<unsigned>(_mm_movemask_epi8(special));
        unsigned high_mask = static_cast<unsigned>(_mm_movemask_epi8(chunk));
        if (special_mask != 0) {
            unsigned index = static_cast<unsigned>(__builtin_ctz(special_mask));
            high |= high_mask & ((1u << index) - 1);
            return p + index;
        }
        high |= high_mask;
        p += 16;
    }
#endif
    // Eight bytes at a time: the lowest flagged byte is exact (borrows only spread above a true match).
    static_assert(std::endian::native == std::endian::little);
    constexpr std::uint64_t ones = 0x0101010101010101ULL;
    constexpr std::uint64_t highs = 0x8080808080808080ULL;
    while (end - p >= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        std::uint64_t quotes = word ^ (ones * '"');
        std::uint64_t backslashes = word ^ (ones * '\\');
        std::uint64_t special = ((quotes - ones) & ~quotes) | ((backslashes - ones) & ~backslashes) |
                                ((word - ones * 0x20) & ~word);
        special &= highs;
        if (special != 0) {
            unsigned lane = static_cast<unsigned>(__builtin_ctzll(special)) / 8;  // little-endian: first byte lowest
            high |= word & highs & ((std::uint64_t{1} << (8 * lane)) - 1);
            return p + lane;
        }
        high |= word & highs;
        p += 8;
    }
    while (p != end) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\' || c < 0x20) break;
        high |= c & 0x80;
        ++p;
    }
    return p;
}

inline bool is_space(char c) noexcept { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

// The first byte at or after `p` that is not one of the four white-space bytes (or `end`).
[[gnu::noinline]] inline const char* skip_space_bytes(const char* p, const char* end) noexcept {
#if defined(__SSE2__)
    const __m128i space = _mm_set1_epi8(' '), feed = _mm_set1_epi8('\n'), ret = _mm_set1_epi8('\r'),
                  tab = _mm_set1_epi8('\t');
    while (end - p >= 16) {
        __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        __m128i white = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(chunk, space), _mm_cmpeq_epi8(chunk, feed)),
                                     _mm_or_si128(_mm_cmpeq_epi8(chunk, ret), _mm_cmpeq_epi8(chunk, tab)));
        unsigned other = ~static_cast<unsigned>(_mm_movemask_epi8(white)) & 0xFFFF;
        if (other != 0) return p + __builtin_ctz(other);
        p += 16;
    }
#endif
    while (p != end && is_space(*p)) ++p;
    return p;
}

inline char* put_utf8(char* out, std::uint32_t code_point) noexcept {
    if (code_point < 0x80) {
        *out++ = static_cast<char>(code_point);
    } else if (code_point < 0x800) {
        *out++ = static_cast<char>(0xC0 | (code_point >> 6));
        *out++ = static_cast<char>(0x80 | (code_point & 0x3F));
    } else if (code_point < 0x10000) {
        *out++ = static_cast<char>(0xE0 | (code_point >> 12));
        *out++ = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (code_point & 0x3F));
    } else {
        *out++ = static_cast<char>(0xF0 | (code_point >> 18));
        *out++ = static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
        *out++ = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (code_point & 0x3F));
    }
    return out;
}

template <class Sink, class Rules>
class Parser {
public:
    Parser(std::string_view text, Sink& sink, std::string& scratch) noexcept
        : begin_(text.data()), end_(text.data() + text.size()), cur_(begin_), sink_(sink), scratch_(scratch) {}

    ParseOutcome run();

private:
    enum class Container : unsigned char { array, object };

    // Error at the byte `at` (the offset reported is just past it).
    [[gnu::noinline, gnu::cold]] ParseOutcome fail_at(const char* at, const char* message) const noexcept {
        return fail_before(at + 1, message);
    }
    // Error found when the text ended.
    [[gnu::noinline, gnu::cold]] ParseOutcome fail_at_end(const char* message) const noexcept {
        return fail_before(end_, message);
    }
    // Error reported at offset `past` (just past the detecting byte).
    [[gnu::noinline, gnu::cold]] ParseOutcome fail_before(const char* past, const char* message) const noexcept {
        ParseOutcome out;
        out.status = ParseStatus::syntax_error;
        out.error = locate_error(std::string_view(begin_, static_cast<std::size_t>(end_ - begin_)),
                                 static_cast<std::size_t>(past - begin_), message);
        return out;
    }
    static ParseOutcome aborted() noexcept {
        ParseOutcome out;
        out.status = ParseStatus::sink_failed;
        return out;
    }

    // Where white space is met, for guessing its length (see skip_space).
    enum class Gap : unsigned { before_item, after_item, around_colon };

    // Moves `cur_` past white space at `gap` of a container at `depth`. Printed text puts the same white
    // space at the same place each time (a line break and the indentation of that depth), so a run of
    // more than one byte is taken to be as long as the last one met there, and the parse goes on from that
    // guess: the next step then waits on the guess, known early, and not on the scan of the bytes, which
    // only confirms it (a wrong guess costs a mispredicted branch).
    [[gnu::always_inline]] void skip_space(Gap gap, int depth) noexcept {
        if (cur_ != end_ && static_cast<unsigned char>(*cur_) > ' ') return;  // compact text: no space
        // One space, as after ", " and ": ", without the wide scan.
        if (end_ - cur_ >= 2 && *cur_ == ' ' && static_cast<unsigned char>(cur_[1]) > ' ') {
            ++cur_;
            return;
        }
        unsigned char& guess = space_guesses_[(static_cast<unsigned>(depth) * 4 + static_cast<unsigned>(gap)) % kSpaceGuesses];
        cur_ += confirmed_length(guess, static_cast<std::size_t>(skip_space_bytes(cur_, end_) - cur_));
    }

    // The length to go on with: `guess` when the scan `found` the same, else `found`, which becomes the
    // guess (up to 255). The parse that goes on from the guess waits on the guess alone.
    static std::size_t confirmed_length(unsigned char& guess, std::size_t found) noexcept {
        std::size_t length = guess;
        if (!same_length(found, length)) [[unlikely]] {
            guess = static_cast<unsigned char>(std::min<std::size_t>(found, 255));
            length = found;
        }
        return length;
    }

    // a == b, in a way the compiler cannot use to put one for the other afterwards (which would make the
    // parse wait on the scan again).
    static bool same_length(std::size_t a, std::size_t b) noexcept {
#if defined(__x86_64__) && defined(__GCC_ASM_FLAG_OUTPUTS__)
        bool equal;
        asm("cmp %2, %1" : "=@ccz"(equal) : "r"(a), "r"(b) : "cc");
        return equal;
#else
        return a == b;
#endif
    }

    static constexpr bool kSinkTakesKeyHead =
        requires(Sink& sink, std::string_view text, std::uint64_t word) { sink.key(text, true, word, word); };

    // Each returns true on success; on failure `outcome_` holds the result.
    bool parse_string(std::string_view& out, bool& ascii);
    // A string without escapes (a key or a value), from `cur_` (just past its opening quote) while 16
    // bytes are there: sets `out`, `ascii` and the string's first 16 bytes, zero-padded (its head), moves
    // `cur_` past the closing quote and returns true. Returns false, with nothing changed, for any other
    // string (parse_string then reads it). A string of up to 15 bytes is taken to be as long as `guess`,
    // the length of the last one met at its place, while the scan confirms it (see skip_space); `guess`
    // is updated when it was wrong.
    [[gnu::always_inline]] inline bool plain_string(std::string_view& out, bool& ascii, std::uint64_t& head_low,
                                                    std::uint64_t& head_high, unsigned char& guess) noexcept;
    // The guess of plain_string for the string at a place: a key or value, of the member `member` of an
    // object at `depth` (an array's items share one place).
    unsigned char& length_guess(int depth, unsigned member, bool value) noexcept {
        return length_guesses_[(static_cast<unsigned>(depth) * 32 + member * 2 + (value ? 1u : 0u)) % kLengthGuesses];
    }
    [[gnu::always_inline]] inline bool parse_number();
    bool parse_literal(const char* word, std::size_t size);
    [[gnu::always_inline]] inline bool parse_hex_escape(const char*& p, std::uint32_t& unit);

    // Under exact-integer rules, reports the integer text [first, last) ("-0" when `zero`) to the sink
    // and returns true; under the others returns false and the integer becomes a double.
    bool exact_integer(const char* first, const char* last, bool zero, bool& accepted) {
        if constexpr (Rules::kExactIntegers) {
            accepted = zero ? sink_.uint(0) : sink_.big_integer(std::string_view(first, static_cast<std::size_t>(last - first)));
            return true;
        } else {
            (void)first, (void)last, (void)zero, (void)accepted;
            return false;
        }
    }

    const char* begin_;
    const char* end_;
    const char* cur_;
    Sink& sink_;
    std::string& scratch_;
    ParseOutcome outcome_;
    static constexpr unsigned kSpaceGuesses = 256;
    unsigned char space_guesses_[kSpaceGuesses] = {};
    static constexpr unsigned kLengthGuesses = 256;
    unsigned char length_guesses_[kLengthGuesses] = {};
};

template <class Sink, class Rules>
ParseOutcome Parser<Sink, Rules>::run() {
    Container open[Rules::kNestingLimit];
    // The members met so far of each open object (wrapping), by depth; for the places of length_guess.
    unsigned char members[Rules::kNestingLimit + 1];
    members[0] = 0;
    int depth = 0;
    std::string_view text;
    bool ascii = false;

value:  // a value is due
    skip_space(Gap::around_colon, depth);
    if (cur_ == end_) return fail_at_end(message::eof_value);
    // Numbers first, with one test for both signs: a switch that told '-' from the digits would guess
    // the sign of every number, and the signs of coordinates are as good as random.
    if (is_digit(*cur_) | (*cur_ == '-')) {
        if (!parse_number()) return outcome_;
        goto after_value;
    }
    switch (*cur_) {
        case '[':
            if (depth + 1 >= Rules::kNestingLimit) return fail_at(cur_, Rules::kNestingMessage);
            ++cur_;
            if (!sink_.begin_array()) return aborted();
            open[depth++] = Container::array;
            members[depth] = 0;
            skip_space(Gap::before_item, depth);
            if (cur_ == end_) return fail_at_end(message::eof_list);
            if (*cur_ == ']') {
                ++cur_;
                --depth;
                if (!sink_.end_array()) return aborted();
                goto after_value;
            }
            goto value;
        case '{':
            if (depth + 1 >= Rules::kNestingLimit) return fail_at(cur_, Rules::kNestingMessage);
            ++cur_;
            if (!sink_.begin_object()) return aborted();
            open[depth++] = Container::object;
            members[depth] = 0;
            skip_space(Gap::before_item, depth);
            if (cur_ == end_) return fail_at_end(message::eof_object);
            if (*cur_ == '}') {
                ++cur_;
                --depth;
                if (!sink_.end_object()) return aborted();
                goto after_value;
            }
            goto key;
        case '"': {
            ++cur_;
            std::uint64_t head_low, head_high;
            if (!plain_string(text, ascii, head_low, head_high, length_guess(depth, members[depth], true)) &&
                !parse_string(text, ascii))
                return outcome_;
            if (!sink_.string(text, ascii)) return aborted();
            goto after_value;
        }
        case 't':
            if (!parse_literal("true", 4)) return outcome_;
            if (!sink_.boolean(true)) return aborted();
            goto after_value;
        case 'f':
            if (!parse_literal("false", 5)) return outcome_;
            if (!sink_.boolean(false)) return aborted();
            goto after_value;
        case 'n':
            if (!parse_literal("null", 4)) return outcome_;
            if (!sink_.null()) return aborted();
            goto after_value;
        default:
            return fail_at(cur_, message::expected_value);
    }

key:  // at the first byte of a member (not white space, not the end)
    if (*cur_ != '"') return fail_at(cur_, message::key_must_be_string);
    ++cur_;
    if constexpr (kSinkTakesKeyHead) {
        std::uint64_t head_low, head_high;
        if (plain_string(text, ascii, head_low, head_high, length_guess(depth, members[depth]++, false))) {
            if (!sink_.key(text, ascii, head_low, head_high)) return aborted();
            goto key_done;
        }
    }
    if (!parse_string(text, ascii)) return outcome_;
    if (!sink_.key(text, ascii)) return aborted();
key_done:
    skip_space(Gap::around_colon, depth);
    if (cur_ == end_) return fail_at_end(message::eof_object);
    if (*cur_ != ':') return fail_at(cur_, message::expected_colon);
    ++cur_;
    goto value;

after_value:  // a value is complete
    skip_space(Gap::after_item, depth);
    if (depth == 0) {
        if (cur_ != end_) return fail_at(cur_, message::trailing_characters);
        return ParseOutcome{};
    }
    if (open[depth - 1] == Container::array) {
        if (cur_ == end_) return fail_at_end(message::eof_list);
        if (*cur_ == ',') {
            ++cur_;
            skip_space(Gap::before_item, depth);
            if (cur_ == end_) return fail_at_end(message::eof_value);
            if (*cur_ == ']') return fail_at(cur_, message::trailing_comma);
            goto value;
        }
        if (*cur_ == ']') {
            ++cur_;
            --depth;
            if (!sink_.end_array()) return aborted();
            goto after_value;
        }
        return fail_at(cur_, message::expected_list_comma_or_end);
    }
    if (cur_ == end_) return fail_at_end(message::eof_object);
    if (*cur_ == ',') {
        ++cur_;
        skip_space(Gap::before_item, depth);
        if (cur_ == end_) return fail_at_end(message::eof_value);
        if (*cur_ == '}') return fail_at(cur_, message::trailing_comma);
        goto key;
    }
    if (*cur_ == '}') {
        ++cur_;
        --depth;
        if (!sink_.end_object()) return aborted();
        goto after_value;
    }
    return fail_at(cur_, message::expected_object_comma_or_end);
}

template <class Sink, class Rules>
bool Parser<Sink, Rules>::parse_literal(const char* word, std::size_t size) {
    if (static_cast<std::size_t>(end_ - cur_) >= size && std::memcmp(cur_, word, size) == 0) {
        cur_ += size;
        return true;
    }
    // The first byte matched; find the first wrong one, or the end.
    for (std::size_t i = 1; i < size; ++i) {
        const char* at = cur_ + i;
        if (at == end_) {
            outcome_ = fail_at_end(message::eof_value);
            return false;
        }
        if (*at != word[i]) {
            outcome_ = fail_at(at, message::expected_ident);
            return false;
        }
    }
    return true;  // not reached: the fast path matched
}

template <class Sink, class Rules>
bool Parser<Sink, Rules>::plain_string(std::string_view& out, bool& ascii, std::uint64_t& head_low,
                                       std::uint64_t& head_high, unsigned char& guess) noexcept {
#if defined(__SSE2__)
    if (end_ - cur_ < 16) return false;
    // The first 16 bytes: where the first quote, backslash or control byte is, as skip_plain_string_bytes
    // finds it, and those bytes themselves, which are the string's head once the bytes past its end are
    // cleared. Lengths vary from one string to the next, so this takes no branch on the length.
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cur_));
    const __m128i special =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(chunk, _mm_set1_epi8('"')), _mm_cmpeq_epi8(chunk, _mm_set1_epi8('\\'))),
                     _mm_cmpeq_epi8(_mm_max_epu8(chunk, _mm_set1_epi8(0x1F)), _mm_set1_epi8(0x1F)));
    const unsigned special_mask = static_cast<unsigned>(_mm_movemask_epi8(special));
    const unsigned high_mask = static_cast<unsigned>(_mm_movemask_epi8(chunk));
    if (special_mask != 0) {
        const unsigned found = static_cast<unsigned>(__builtin_ctz(special_mask));
        if (cur_[found] != '"') return false;
        const std::size_t size = confirmed_length(guess, found);
        // From kLeading + 16 - size: `size` bytes of 0xFF, then zeros, so the string's own bytes are kept.
        alignas(16) static constexpr unsigned char kLeading[32] = {
            0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
        const __m128i head = _mm_and_si128(chunk, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kLeading + 16 - size)));
        head_low = static_cast<std::uint64_t>(_mm_cvtsi128_si64(head));
        head_high = static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(head, head)));
        out = std::string_view(cur_, size);
        ascii = (high_mask & ((1u << size) - 1)) == 0;
        cur_ += size + 1;
        return true;
    }
    std::uint64_t high = high_mask;
    const char* close = skip_plain_string_bytes(cur_ + 16, end_, high);
    if (close == end_ || *close != '"') return false;
    head_low = static_cast<std::uint64_t>(_mm_cvtsi128_si64(chunk));
    head_high = static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(chunk, chunk)));
    out = std::string_view(cur_, static_cast<std::size_t>(close - cur_));
    ascii = high == 0;
    cur_ = close + 1;
    return true;
#else
    (void)out, (void)ascii, (void)head_low, (void)head_high, (void)guess;
    return false;
#endif
}

// `p` is just past "\u". On success `p` is past the four digits.
template <class Sink, class Rules>
bool Parser<Sink, Rules>::parse_hex_escape(const char*& p, std::uint32_t& unit) {
    if (end_ - p < 4) {
        outcome_ = fail_at_end(message::eof_string);
        return false;
    }
    // A -1 anywhere makes the whole value negative.
    int value = (hex_value(p[0]) * 4096) | (hex_value(p[1]) * 256) | (hex_value(p[2]) * 16) | hex_value(p[3]);
    p += 4;
    if (value < 0) {
        outcome_ = fail_before(p, message::invalid_escape);
        return false;
    }
    unit = static_cast<std::uint32_t>(value);
    return true;
}

// `cur_` is just past the opening quote; on success it is just past the closing quote.
template <class Sink, class Rules>
bool Parser<Sink, Rules>::parse_string(std::string_view& out, bool& ascii) {
    std::uint64_t high = 0;
    const char* run = cur_;
    const char* p = skip_plain_string_bytes(run, end_, high);
    if (p != end_ && *p == '"') {  // no escapes: a view into the text
        out = std::string_view(run, static_cast<std::size_t>(p - run));
        ascii = high == 0;
        cur_ = p + 1;
        return true;
    }
    // Escapes: the decoded text goes to the scratch buffer, whose size serves as its capacity. Decoding
    // never lengthens the text: an escape writes at most 4 bytes (a pair of \u escapes, 12 bytes of text).
    std::size_t used = 0;
    for (;;) {
        if (p == end_) {
            outcome_ = fail_at_end(message::eof_string);
            return false;
        }
        if (*p != '"' && *p != '\\') {
            outcome_ = fail_at(p, message::control_character);
            return false;
        }
        // Room for the run, copied 16 bytes at a time, and for the first escape after it.
        std::size_t run_size = static_cast<std::size_t>(p - run);
        if (used + run_size + 32 > scratch_.size()) scratch_.resize(std::max(2 * scratch_.size(), used + run_size + 64));
        char* write = scratch_.data() + used;
        if (run_size <= 16 && end_ - run >= 16) {
            std::memcpy(write, run, 16);  // short runs between escapes: one fixed-size copy
        } else {
            std::memcpy(write, run, run_size);
        }
        write += run_size;
        used += run_size;
        if (*p == '"') break;
        // Escapes in a row (as \u sequences come) go one after the other without looking for a run.
        do {
            if (scratch_.size() - used < 4) {
                scratch_.resize(2 * scratch_.size());
                write = scratch_.data() + used;
            }
            ++p;
            if (p == end_) {
                outcome_ = fail_at_end(message::eof_string);
                return false;
            }
            switch (*p++) {
                case '"': *write++ = '"'; break;
                case '\\': *write++ = '\\'; break;
                case '/': *write++ = '/'; break;
                case 'b': *write++ = '\b'; break;
                case 'f': *write++ = '\f'; break;
                case 'n': *write++ = '\n'; break;
                case 'r': *write++ = '\r'; break;
                case 't': *write++ = '\t'; break;
                case 'u': {
                    std::uint32_t unit;
                    if (!parse_hex_escape(p, unit)) return false;
                    if constexpr (Rules::kLoneSurrogates) {
                        // A high surrogate pairs with a low one escaped right after it; anything else leaves
                        // it alone, and the escape after it is read on its own.
                        if (unit >= 0xD800 && unit <= 0xDBFF && end_ - p >= 6 && p[0] == '\\' && p[1] == 'u') {
                            const char* next = p + 2;
                            std::uint32_t low;
                            if (!parse_hex_escape(next, low)) return false;
                            if (low >= 0xDC00 && low <= 0xDFFF) {
                                unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                                p = next;
                            }
                        }
                    } else {
                        if (unit >= 0xDC00 && unit <= 0xDFFF) {
                            outcome_ = fail_before(p, message::lone_leading_surrogate);
                            return false;
                        }
                        if (unit >= 0xD800 && unit <= 0xDBFF) {
                            for (char expected : {'\\', 'u'}) {
                                if (p == end_) {
                                    outcome_ = fail_at_end(message::eof_string);
                                    return false;
                                }
                                if (*p != expected) {
                                    outcome_ = fail_at(p, message::unexpected_end_of_hex_escape);
                                    return false;
                                }
                                ++p;
                            }
                            std::uint32_t low;
                            if (!parse_hex_escape(p, low)) return false;
                            if (low < 0xDC00 || low > 0xDFFF) {
                                outcome_ = fail_before(p, message::lone_leading_surrogate);
                                return false;
                            }
                            unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                        }
                    }
                    write = put_utf8(write, unit);
                    high |= unit >= 0x80;
                    break;
                }
                default:
                    outcome_ = fail_at(p - 1, message::invalid_escape);
                    return false;
            }
            used = static_cast<std::size_t>(write - scratch_.data());
        } while (p != end_ && *p == '\\');
        run = p;
        if (p != end_ && *p != '"') p = skip_plain_string_bytes(p, end_, high);
    }
    out = std::string_view(scratch_.data(), used);
    ascii = high == 0;
    cur_ = p + 1;
    return true;
}

// `cur_` is at '-' or a digit; on success the number went to the sink and `cur_` is just past it.
template <class Sink, class Rules>
bool Parser<Sink, Rules>::parse_number() {
    const char* start = cur_;
    const char* p = cur_;
    bool negative = *p == '-';
    if (negative) {
        ++p;
        if (p == end_) {
            outcome_ = fail_at_end(message::eof_value);
            return false;
        }
        if (!is_digit(*p)) {
            outcome_ = fail_at(p, message::invalid_number);
            return false;
        }
    }
    // `significand` holds the first `kept` digits (integer part, then fraction): 19, or 20 for an integer
    // part that fits 64 bits, or all of them when there are fewer.
    std::uint64_t significand = 0;
    std::size_t digits = 0;
    std::size_t kept_twentieth = 0;
    bool fits = true;  // the integer part fits an unsigned 64-bit value (then held in `significand`)
    if (*p == '0') {
        ++p;  // a zero integer part adds no digit to the significand
        if (p != end_ && is_digit(*p)) {
            outcome_ = fail_at(p, message::invalid_number);
            return false;
        }
    } else {
        const char* integer = p;
        p = read_digits(p, end_, significand, digits);
        if (digits == 20) {  // the largest unsigned 64-bit values have 20 digits
            unsigned last = static_cast<unsigned>(integer[19] - '0');
            constexpr std::uint64_t max_tenth = UINT64_MAX / 10;
            if (significand > max_tenth || (significand == max_tenth && last > UINT64_MAX % 10)) {
                fits = false;
            } else {
                significand = significand * 10 + last;
                kept_twentieth = 1;
            }
        } else if (digits > 20) {
            fits = false;
        }
    }
    std::size_t integer_digits = digits;
    bool integral = true;
    if (p != end_ && *p == '.') {
        ++p;
        const char* fraction = p;
        p = read_digits(p, end_, significand, digits);
        if (p == fraction) {
            outcome_ = p == end_ ? fail_at_end(message::eof_value) : fail_at(p, message::invalid_number);
            return false;
        }
        integral = false;
    }
    std::int64_t exponent10 = 0;
    if (p != end_ && (*p == 'e' || *p == 'E')) {
        const char* marker = p;
        ++p;
        bool negative_exponent = false;
        if (p != end_ && (*p == '+' || *p == '-')) negative_exponent = *p++ == '-';
        if (p == end_) {
            outcome_ = fail_at_end(message::eof_value);
            return false;
        }
        if (!is_digit(*p)) {
            outcome_ = fail_at(p, message::invalid_number);
            return false;
        }
        std::int32_t exponent = 0;
        while (p != end_ && is_digit(*p)) {
            std::int32_t digit = *p - '0';
            if (exponent > (INT32_MAX - digit) / 10) {
                // The exponent's digits overflow 32 bits: an error for a positive exponent of a non-zero
                // number, otherwise the number is a zero.
                bool nonzero = false;
                for (const char* q = start; q != marker; ++q) nonzero |= *q >= '1' && *q <= '9';
                double limit = 0.0;
                if (nonzero && !negative_exponent) {
                    if constexpr (!Rules::kExactIntegers) {
                        outcome_ = fail_at(p, message::number_out_of_range);
                        return false;
                    }
                    limit = HUGE_VAL;
                }
                ++p;
                while (p != end_ && is_digit(*p)) ++p;
                cur_ = p;
                if (!sink_.dbl(negative ? -limit : limit)) {
                    outcome_ = aborted();
                    return false;
                }
                return true;
            }
            exponent = exponent * 10 + digit;
            ++p;
        }
        exponent10 = negative_exponent ? -exponent : exponent;
        integral = false;
    }
    cur_ = p;
    bool accepted;
    if (integral && fits && !negative) {
        accepted = sink_.uint(significand);
    } else if (integral && fits && significand != 0 && significand <= std::uint64_t{1} << 63) {
        accepted = sink_.sint(static_cast<std::int64_t>(0 - significand));
    } else if (integral && exact_integer(start, p, fits && significand == 0, accepted)) {
        // taken by the exact-integer rules
    } else {
        double value;
        std::size_t kept = std::min<std::size_t>(digits, 19) + kept_twentieth;
        std::int64_t scale = exponent10 + static_cast<std::int64_t>(integer_digits) - static_cast<std::int64_t>(kept);
        if (!decimal_to_double(significand, scale, negative, digits > kept, value)) {
            DoubleConversion converted = to_double(start, p);
            if (converted.overflow) {
                if constexpr (!Rules::kExactIntegers) {
                    outcome_ = fail_before(p, message::number_out_of_range);
                    return false;
                }
                converted.value = negative ? -HUGE_VAL : HUGE_VAL;
            }
            value = converted.value;
        }
        accepted = sink_.dbl(value);
    }
    if (!accepted) {
        outcome_ = aborted();
        return false;
    }
    return true;
}

}  // namespace detail

// Parses `text` (valid UTF-8) as one JSON value with optional white space around it, reporting it to
// `sink` under `Rules`. `scratch` holds decoded strings; passing the same buffer to repeated calls saves
// allocations.
template <class Rules = FixedWidthRules, class Sink>
ParseOutcome parse(std::string_view text, Sink& sink, std::string& scratch) {
    detail::Parser<Sink, Rules> parser(text, sink, scratch);
    return parser.run();
}

template <class Rules = FixedWidthRules, class Sink>
ParseOutcome parse(std::string_view text, Sink& sink) {
    std::string scratch;
    return parse<Rules>(text, sink, scratch);
}

}  // namespace tovak::json
