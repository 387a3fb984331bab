// The JSON parser with the value sink, and the UTF-8 helpers in front of it. On any bytes: the UTF-8 check
// agrees with the model, the lossy conversion gives valid UTF-8 (the bytes themselves when they were
// valid), trimming leaves no White_Space at either end; a parse either fails with a known message at a
// position inside the text, or gives a value that prints as text that parses back to the same value
// (numbers to the same bits). The number fast paths agree with std::from_chars: the 128-bit conversion on
// a significand and exponent taken from the bytes, and the parser under both rule sets on a number text
// whose digits are the bytes. A sink that takes keys with their first bytes sees the same keys as one
// that does not, each with its first 16 bytes and its ASCII flag right.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "json/check_sink.hpp"
#include "json/number.hpp"
#include "json/parser.hpp"
#include "json/printer.hpp"
#include "json/text.hpp"
#include "json/value_sink.hpp"
#include "reference.hpp"

namespace json = tovak::json;

namespace {

bool same(const json::Value& a, const json::Value& b) {
    if (a.kind() != b.kind()) return false;
    switch (a.kind()) {
        case json::Value::Kind::null: return true;
        case json::Value::Kind::boolean: return a.as_bool() == b.as_bool();
        case json::Value::Kind::uint: return a.as_uint() == b.as_uint();
        case json::Value::Kind::sint: return a.as_sint() == b.as_sint();
        case json::Value::Kind::dbl: {
            double x = a.as_double(), y = b.as_double();
            return std::memcmp(&x, &y, sizeof x) == 0;
        }
        case json::Value::Kind::string: return a.as_string() == b.as_string();
        case json::Value::Kind::array: {
            const json::Array &x = a.as_array(), &y = b.as_array();
            if (x.size() != y.size()) return false;
            for (std::size_t i = 0; i < x.size(); ++i)
                if (!same(x[i], y[i])) return false;
            return true;
        }
        case json::Value::Kind::object: {
            const json::Object &x = a.as_object(), &y = b.as_object();
            if (x.size() != y.size()) return false;
            for (std::size_t i = 0; i < x.size(); ++i)
                if (x[i].first != y[i].first || !same(x[i].second, y[i].second)) return false;
            return true;
        }
    }
    return false;
}

// Objects hold unique keys in ascending byte order; numbers are finite; strings are UTF-8.
void check_model(const json::Value& value) {
    switch (value.kind()) {
        case json::Value::Kind::sint: FUZZ_CHECK(value.as_sint() < 0); break;
        case json::Value::Kind::dbl: FUZZ_CHECK(std::isfinite(value.as_double())); break;
        case json::Value::Kind::string: FUZZ_CHECK(fuzz::valid_utf8(value.as_string())); break;
        case json::Value::Kind::array:
            for (const json::Value& item : value.as_array()) check_model(item);
            break;
        case json::Value::Kind::object: {
            const json::Object& entries = value.as_object();
            for (std::size_t i = 0; i < entries.size(); ++i) {
                FUZZ_CHECK(fuzz::valid_utf8(entries[i].first));
                if (i > 0) FUZZ_CHECK(entries[i - 1].first < entries[i].first);
                check_model(entries[i].second);
            }
            break;
        }
        default: break;
    }
}

bool known_message(const char* message) {
    namespace m = json::message;
    for (const char* known : {m::eof_list, m::eof_object, m::eof_string, m::eof_value, m::expected_colon,
                              m::expected_list_comma_or_end, m::expected_object_comma_or_end, m::expected_ident,
                              m::expected_value, m::invalid_escape, m::invalid_number, m::number_out_of_range,
                              m::control_character, m::key_must_be_string, m::lone_leading_surrogate,
                              m::unexpected_end_of_hex_escape, m::trailing_comma, m::trailing_characters,
                              m::recursion_limit})
        if (std::strcmp(message, known) == 0) return true;
    return false;
}

// The error's line and column name a place inside the text: the line exists and the column does not
// run past its end.
void check_position(std::string_view text, const json::ParseError& error) {
    FUZZ_CHECK(known_message(error.message));
    FUZZ_CHECK(error.line >= 1);
    std::size_t line_start = 0;
    for (std::uint64_t line = 1; line < error.line; ++line) {
        std::size_t feed = text.find('\n', line_start);
        FUZZ_CHECK(feed != std::string_view::npos);
        line_start = feed + 1;
    }
    std::size_t line_end = text.find('\n', line_start);
    if (line_end == std::string_view::npos) line_end = text.size();
    // The detecting byte may be the line feed that ends the line.
    FUZZ_CHECK(line_start + error.column <= std::min(line_end + 1, text.size()));
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// std::from_chars of a number text; `overflow` when it is beyond the double range (then the value is
// meaningless), a zero of the number's sign when it is too small.
double reference_value(const std::string& text, bool& overflow) {
    double value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    overflow = false;
    if (error == std::errc() && end == text.data() + text.size()) return value;
    overflow = std::isinf(std::strtod(text.c_str(), nullptr));
    return text[0] == '-' ? -0.0 : 0.0;
}

// Keeps the last double the parser reports.
struct LastDouble : tovak::json::CheckSink {
    bool seen = false;
    double value = 0;
    bool dbl(double v) {
        seen = true;
        value = v;
        return true;
    }
};

void check_numbers(const std::uint8_t* bytes, std::size_t size) {
    if (size < 12) return;
    // The 128-bit conversion: when it answers, it answers what from_chars does.
    std::uint64_t w;
    std::memcpy(&w, bytes, 8);
    w >>= bytes[8] % 64;  // short significands as often as long ones
    const int q = static_cast<int>((bytes[9] | (bytes[10] << 8)) % 720) - 370;
    double got;
    if (json::eisel_lemire(w, q, got)) {
        bool overflow;
        const double expected = reference_value(std::to_string(w) + "e" + std::to_string(q), overflow);
        FUZZ_CHECK(!overflow && same_bits(got, expected));
    }
    // A number text made of the bytes: sign, integer digits, fraction, exponent, all chosen by them.
    const std::uint8_t shape = bytes[11];
    const std::size_t integer_digits = 1 + bytes[9] % 24, fraction_digits = bytes[10] % 32;
    std::string number = shape & 1 ? "-" : "";
    std::size_t next = 12;
    auto digit = [&] { return static_cast<char>('0' + (next < size ? bytes[next++] : 0) % 10); };
    if (shape & 2) {
        number += '0';
    } else {
        for (std::size_t i = 0; i < integer_digits; ++i) number += digit();
        if (number[shape & 1] == '0') number[shape & 1] = '1';  // no leading zero
    }
    if (fraction_digits != 0) {
        number += '.';
        for (std::size_t i = 0; i < fraction_digits; ++i) number += digit();
    }
    if (shape & 4) number += "e" + std::to_string(static_cast<int>(static_cast<std::int8_t>(bytes[8])) * 3);
    bool overflow;
    const double expected = reference_value(number, overflow);
    const bool integral = fraction_digits == 0 && !(shape & 4);
    const std::string text = number + (shape & 8 ? "]" : "");  // something after the number, or nothing
    for (int rules = 0; rules < 2; ++rules) {
        LastDouble sink;
        if (rules == 0) json::parse<json::FixedWidthRules>(text, sink);
        else json::parse<json::PythonRules>(text, sink);
        if (integral && !sink.seen) continue;  // an integer
        if (!overflow) FUZZ_CHECK(sink.seen && same_bits(sink.value, expected));
        else if (rules == 0) FUZZ_CHECK(!sink.seen);  // an error
        else FUZZ_CHECK(sink.seen && std::isinf(sink.value) && std::signbit(sink.value) == (shape & 1));
    }
}

// Records the keys and how the parse ended; `KeyHeads` also takes keys with their first bytes.
struct Keys : tovak::json::CheckSink {
    std::string seen;  // each key as its size and bytes
    void note(std::string_view utf8, bool ascii) {
        FUZZ_CHECK(ascii == std::all_of(utf8.begin(), utf8.end(), [](char c) { return (c & 0x80) == 0; }));
        seen += std::to_string(utf8.size()) + ':';
        seen.append(utf8);
    }
    bool key(std::string_view utf8, bool ascii) {
        note(utf8, ascii);
        return true;
    }
};

struct KeyHeads : Keys {
    using Keys::key;
    std::size_t with_heads = 0;
    bool key(std::string_view utf8, bool ascii, std::uint64_t head_low, std::uint64_t head_high) {
        char head[16] = {};
        std::memcpy(head, utf8.data(), std::min<std::size_t>(utf8.size(), 16));
        std::uint64_t low, high;
        std::memcpy(&low, head, 8);
        std::memcpy(&high, head + 8, 8);
        FUZZ_CHECK(head_low == low && head_high == high);
        ++with_heads;
        note(utf8, ascii);
        return true;
    }
};

void check_key_heads(std::string_view text) {
    Keys plain;
    KeyHeads heads;
    const json::ParseOutcome a = json::parse<json::PythonRules>(text, plain);
    const json::ParseOutcome b = json::parse<json::PythonRules>(text, heads);
    FUZZ_CHECK(a.status == b.status && plain.seen == heads.seen);
    if (!a.ok()) FUZZ_CHECK(a.error.offset == b.error.offset && std::strcmp(a.error.message, b.error.message) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const std::string_view raw(reinterpret_cast<const char*>(bytes), size);
    check_numbers(bytes, size);

    const bool valid = fuzz::valid_utf8(raw);
    FUZZ_CHECK(json::is_valid_utf8(raw) == valid);
    const std::string lossy = json::to_utf8_lossy(raw);
    FUZZ_CHECK(fuzz::valid_utf8(lossy));
    if (valid) FUZZ_CHECK(lossy == raw);

    std::string storage;
    const std::string_view text = json::clean_element(raw, storage);
    FUZZ_CHECK(fuzz::valid_utf8(text));
    FUZZ_CHECK(text.empty() == !fuzz::has_content(lossy));
    if (!text.empty()) {
        const auto points = fuzz::code_points(text);
        FUZZ_CHECK(!fuzz::unicode_space(points.front()) && !fuzz::unicode_space(points.back()));
    }

    // The parser takes valid UTF-8 only: the lossy form of the bytes, untrimmed.
    check_key_heads(lossy);
    json::Value value;
    if (std::optional<json::ParseError> error = json::parse_value(lossy, value)) {
        check_position(lossy, *error);
        return 0;
    }
    check_model(value);
    std::string printed;
    json::print_indented(value, printed);
    json::Value again;
    std::optional<json::ParseError> error = json::parse_value(printed, again);
    FUZZ_CHECK(!error);
    FUZZ_CHECK(same(value, again));
    return 0;
}
