// RFC 6901 JSON Pointers: parsing a pointer's text into its reference tokens, and the plain data that
// pointer navigation (json/validate.hpp, StreamValidator) reports.
//
// Contract: "" is the whole document; otherwise the text is a sequence of "/"-prefixed tokens in which
// "~1" stands for "/" and "~0" for "~" (decoded in that order, so "~01" is "~1"); a "~" followed by
// anything else is an error. A token names an array element only when it is "0" or digits without a
// leading zero; "-" (the element after the last) never names an existing element.
//
// Thread rule: plain values; a Pointer is read-only once parsed and may be shared between threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tovak::json {

struct Pointer {
    // The token is no array index ("-", a leading zero, a non-digit, empty).
    static constexpr std::uint64_t kNotIndex = UINT64_MAX;
    // Decoded tokens ("~1" and "~0" replaced), in path order; empty for the whole document.
    std::vector<std::string> tokens;
    // Per token: its value as an array index, or kNotIndex. Indices beyond 2^64 - 2 saturate to
    // UINT64_MAX - 1, which no array reaches.
    std::vector<std::uint64_t> indices;

    std::size_t size() const noexcept { return tokens.size(); }
};

struct PointerSyntaxError {
    std::size_t offset = 0;   // byte offset in the pointer's text of the offending character
    const char* message = "";
};

inline constexpr char kPointerMustStartWithSlash[] = "a JSON pointer must be empty or start with \"/\"";
inline constexpr char kPointerBadTilde[] = "\"~\" in a JSON pointer must be followed by \"0\" or \"1\"";

// Parses `text` into `out`. False (with `error` filled) when the text is no pointer.
bool parse_pointer(std::string_view text, Pointer& out, PointerSyntaxError& error);

// The pointer text of the first `count` tokens of `pointer`, re-escaped ("" for none): the prefix a
// message names when the pointer matched only that far.
std::string pointer_prefix(const Pointer& pointer, std::size_t count);

// What a value is, as navigation reports it.
enum class ValueKind : std::uint8_t { object, array, string, number, true_value, false_value, null };

// "an object", "an array", "a string", "a number", "true", "false", "null".
const char* describe(ValueKind kind) noexcept;

// One step of pointer navigation, in text order. Offsets count bytes from the start of the text.
struct PointerEvent {
    enum class Kind : std::uint8_t {
        target_begin,  // the value at the pointer starts at `offset`; `value` tells its kind
        item_begin,    // (target array or object) element or member `index` has its value start at
                       // `offset`; `value` is its kind; for an object member `key` holds the decoded key
        item_end,      // element or member `index` ends just before `offset`
        target_end,    // the value at the pointer ends just before `offset`
        missing,       // the pointer matches nothing: see `matched`, `value`, `index` below
    };
    Kind kind = Kind::target_begin;
    ValueKind value = ValueKind::null;
    std::uint64_t offset = 0;
    std::uint64_t index = 0;
    std::string key;
    // `missing` only: the first `matched` tokens led to a value of kind `value` (an object, an array or
    // a scalar), which has no match for token `matched` (a scalar has none for any token). For an array
    // `index` is its number of elements. `offset` is where that was known (just past the value).
    std::size_t matched = 0;
};

}  // namespace tovak::json
