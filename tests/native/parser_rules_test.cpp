// The parser under its two rule sets, on the texts where they part: integers beyond 64 bits, "-0",
// numbers beyond the double range, lone surrogate escapes and deep nesting. A recording sink writes the
// events as text, so each case reads as input and expected events. Built with -DTOVAK_NATIVE_TESTS=ON and
// run by .ci/native-tests; exits nonzero on any mismatch.
#include <cmath>
#include <cstdio>
#include <string>
#include <string_view>
#include <tuple>

#include "json/parser.hpp"

namespace {

namespace json = tovak::json;

// Events as text: u:1 s:-1 d:<%.17g> b:<text> "<bytes as hex when not ASCII>" [ ] { } k:
struct Recorder {
    std::string out;
    void put(std::string_view text) { out.append(text).push_back(' '); }
    bool null() { put("null"); return true; }
    bool boolean(bool v) { put(v ? "true" : "false"); return true; }
    bool uint(std::uint64_t v) { put("u:" + std::to_string(v)); return true; }
    bool sint(std::int64_t v) { put("s:" + std::to_string(v)); return true; }
    bool dbl(double v) {
        char text[40];
        std::snprintf(text, sizeof text, "d:%.17g", v);
        put(text);
        return true;
    }
    bool big_integer(std::string_view text) { put("b:" + std::string(text)); return true; }
    bool string(std::string_view utf8, bool ascii) { put(quote(utf8, ascii)); return true; }
    bool key(std::string_view utf8, bool ascii) { put("k:" + quote(utf8, ascii)); return true; }
    bool begin_array() { put("["); return true; }
    bool end_array() { put("]"); return true; }
    bool begin_object() { put("{"); return true; }
    bool end_object() { put("}"); return true; }

    static std::string quote(std::string_view utf8, bool ascii) {
        if (ascii) {
            std::string quoted = "\"";
            quoted.append(utf8).push_back('"');
            return quoted;
        }
        std::string hex = "x";
        char byte[3];
        for (unsigned char c : utf8) {
            std::snprintf(byte, sizeof byte, "%02X", c);
            hex += byte;
        }
        return hex;
    }
};

template <class Rules>
std::string run(std::string_view text) {
    Recorder sink;
    json::ParseOutcome outcome = json::parse<Rules>(text, sink);
    if (!outcome.ok()) {
        std::string error = "error: ";
        error += outcome.error.text();
        return error;
    }
    if (!sink.out.empty()) sink.out.pop_back();
    return sink.out;
}

struct Case {
    const char* text;
    const char* fixed_width;  // events or error under FixedWidthRules
    const char* python;       // under PythonRules
};

const Case kCases[] = {
    {"18446744073709551615", "u:18446744073709551615", "u:18446744073709551615"},
    {"18446744073709551616", "d:1.8446744073709552e+19", "b:18446744073709551616"},
    {"-9223372036854775808", "s:-9223372036854775808", "s:-9223372036854775808"},
    {"-9223372036854775809", "d:-9.2233720368547758e+18", "b:-9223372036854775809"},
    {"-123456789012345678901234567890", "d:-1.2345678901234568e+29", "b:-123456789012345678901234567890"},
    {"-0", "d:-0", "u:0"},
    {"-0.0", "d:-0", "d:-0"},
    {"0", "u:0", "u:0"},
    {"1e400", "error: number out of range at line 1 column 5", "d:inf"},
    {"-1e400", "error: number out of range at line 1 column 6", "d:-inf"},
    {"1e99999999999", "error: number out of range at line 1 column 12", "d:inf"},
    {"-1e99999999999", "error: number out of range at line 1 column 13", "d:-inf"},
    {"1e-99999999999", "d:0", "d:0"},
    {"0e99999999999", "d:0", "d:0"},
    {R"("\ud83d\ude00")", "xF09F9880", "xF09F9880"},
    {R"("\ud800")", "error: unexpected end of hex escape at line 1 column 8", "xEDA080"},
    {R"("\udc00")", "error: lone leading surrogate in hex escape at line 1 column 7", "xEDB080"},
    {R"("\ud800x")", "error: unexpected end of hex escape at line 1 column 8", "xEDA08078"},
    {R"("\ud800\u0041")", "error: lone leading surrogate in hex escape at line 1 column 13", "xEDA08041"},
    {R"("\ud800\ud800\udc00")", "error: lone leading surrogate in hex escape at line 1 column 13", "xEDA080F0908080"},
    {R"("\ud800\u12")", "error: EOF while parsing a string at line 1 column 12", "error: EOF while parsing a string at line 1 column 12"},
    {R"("\ud800\uzzzz")", "error: invalid escape at line 1 column 13", "error: invalid escape at line 1 column 13"},
    {R"({"\udc00":1})", "error: lone leading surrogate in hex escape at line 1 column 8", "{ k:xEDB080 u:1 }"},
    {"NaN", "error: expected value at line 1 column 1", "error: expected value at line 1 column 1"},
    {"-Infinity", "error: invalid number at line 1 column 2", "error: invalid number at line 1 column 2"},
};

}  // namespace

int main() {
    int failures = 0;
    auto check = [&](std::string_view text, const std::string& got, const char* expected, const char* rules) {
        if (got == expected) return;
        std::fprintf(stderr, "%s rules, %.*s:\n  got      %s\n  expected %s\n", rules, static_cast<int>(text.size()),
                     text.data(), got.c_str(), expected);
        ++failures;
    };
    for (const Case& c : kCases) {
        check(c.text, run<json::FixedWidthRules>(c.text), c.fixed_width, "fixed-width");
        check(c.text, run<json::PythonRules>(c.text), c.python, "python");
    }
    // Nesting: 127 open containers under the fixed-width rules, 10,000 under Python's.
    for (auto [depth, fixed_ok, python_ok] : {std::tuple{127, true, true}, std::tuple{128, false, true},
                                              std::tuple{10000, false, true}, std::tuple{10001, false, false}}) {
        std::string text = std::string(depth, '[') + std::string(depth, ']');
        bool fixed = run<json::FixedWidthRules>(text).rfind("error", 0) != 0;
        bool python = run<json::PythonRules>(text).rfind("error", 0) != 0;
        if (fixed != fixed_ok || python != python_ok) {
            std::fprintf(stderr, "nesting %d: fixed-width %d, python %d\n", depth, fixed, python);
            ++failures;
        }
    }
    std::string deep = run<json::PythonRules>(std::string(10001, '['));
    check("[ x 10001", deep, "error: nesting deeper than 10000 levels at line 1 column 10001", "python");
    std::printf("parser rules: %s\n", failures == 0 ? "ok" : "FAILED");
    return failures == 0 ? 0 : 1;
}
