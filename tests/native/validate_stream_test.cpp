// The streaming validator against the parser: fixed-seed random texts (valid, and damaged by truncation,
// flipped, inserted and deleted bytes, deep nesting, numbers at the range edges, escapes and surrogates)
// cut into random chunkings (some with their UTF-8 judged ahead by a Utf8ChunkCheck, as a reading thread
// judges it for the validator's), under both rule sets and at every SIMD level: same verdict, message, offset,
// line and column as `json::parse` on the whole text (on ill-formed UTF-8: the first ill-formed sequence
// unless the parser's error comes first). Then pointer navigation: RFC 6901's examples, and random
// documents whose value spans are known from generation, against a pointer resolved on that tree.
// Built with -DTOVAK_NATIVE_TESTS=ON and run by .ci/native-tests; exits nonzero on any mismatch.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "json/check_sink.hpp"
#include "json/compact.hpp"
#include "json/validate.hpp"
#include "native_check.hpp"

namespace {

namespace json = tovak::json;
using native_check::Random;

using NullSink = tovak::json::CheckSink;

// ---------------------------------------------------------------------------------------------------
// Random documents, with the span of every value

struct Node {
    json::ValueKind kind;
    std::size_t begin = 0, end = 0;
    std::vector<std::pair<std::string, std::size_t>> children;  // decoded key (objects), node index
};

// Keys as decoded text and as written; several spellings of the same key.
struct KeySpelling {
    const char* decoded;
    const char* written;
};
const KeySpelling kKeys[] = {
    {"a", "a"},          {"a", "\\u0061"},       {"features", "features"}, {"features", "\\u0066eatures"},
    {"a/b", "a/b"},      {"a/b", "a\\/b"},       {"m~n", "m~n"},           {"", ""},
    {"\xC3\xBC", "\xC3\xBC"}, {"\xC3\xBC", "\\u00fc"}, {"\xF0\x9F\x98\x80", "\\ud83d\\ude00"},
    {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},  {"0", "0"}, {"q\"", "q\\\""}, {"x\ny", "x\\ny"},
};

const char* const kNumbers[] = {
    "0", "-0", "1", "-1", "12.5", "-0.0", "1e5", "1E+5", "2.5e-3", "18446744073709551615", "18446744073709551616",
    "-9223372036854775808", "-9223372036854775809", "1.7976931348623157e308", "1.7976931348623158e308",
    "1.7976931348623159e308", "1.8e308", "1e308", "1e309", "-1e309", "0.1e310", "0.1e309", "10e307", "1e-400",
    "4.9e-324", "1e2147483647", "1e2147483648", "1e-2147483649", "0e99999999999", "123456789012345678901234567890",
    "179769313486231580793728971405303415079934132710037826936173778980444968292764750946649017977587207096330286"
    "416692887910946555547851940402630657488671505820681908902000708383676273854845817711531764475730270069855571"
    "366959622842914819860834936475292719074168444365510704342711559699508093042880177904174497792",
    "179769313486231580793728971405303415079934132710037826936173778980444968292764750946649017977587207096330286"
    "416692887910946555547851940402630657488671505820681908902000708383676273854845817711531764475730270069855571"
    "366959622842914819860834936475292719074168444365510704342711559699508093042880177904174497791.99999",
    "0.0000000000000000000000000000000000000000000000000000000000000001797693134862315808e373",
    "1797693134862315807937289714053034150799341327710037826936173778980444968292764750946649017977587207096e206",
};

const char* const kStrings[] = {
    "", "plain text", "caf\xC3\xA9", "\xE6\x9D\xB1\xE4\xBA\xAC", "\xF0\x9F\x9A\x80 rocket", "say \\\"hi\\\"",
    "back\\\\slash", "line\\nfeed", "\\t\\b\\f\\r\\/", "\\u00e9\\u0000\\u001f", "\\ud83d\\ude00",
    "\\uD83D\\uDE00", "\\ud800", "\\udc00", "\\ud800\\u0041", "\\ud800\\ud800\\udc00", "\\ud83d\\ude00\\ud83d",
    "\\\\\\\\\\\"", "a\\u12", "quote\\u0022inside",
};

class Generator {
public:
    Generator(Random& random, std::string& text, std::vector<Node>& nodes) : random_(random), text_(text), nodes_(nodes) {}

    std::size_t value(int depth) {
        space();
        const std::size_t index = nodes_.size();
        nodes_.push_back(Node{});
        const std::size_t begin = text_.size();
        json::ValueKind kind;
        const std::size_t roll = depth > 7 ? 4 + random_.below(6) : random_.below(10);
        if (roll < 2) {
            kind = json::ValueKind::array;
            text_ += '[';
            const std::size_t count = random_.below(5);
            for (std::size_t k = 0; k < count; ++k) {
                if (k) text_ += ',';
                const std::size_t child = value(depth + 1);
                nodes_[index].children.emplace_back(std::string(), child);
                space();
            }
            if (count == 0) space();
            text_ += ']';
        } else if (roll < 4) {
            kind = json::ValueKind::object;
            text_ += '{';
            const std::size_t count = random_.below(5);
            for (std::size_t k = 0; k < count; ++k) {
                if (k) text_ += ',';
                space();
                const KeySpelling& key = random_.pick(kKeys);
                text_ += '"';
                text_ += key.written;
                text_ += '"';
                space();
                text_ += ':';
                const std::size_t child = value(depth + 1);
                nodes_[index].children.emplace_back(key.decoded, child);
                space();
            }
            if (count == 0) space();
            text_ += '}';
        } else if (roll < 6) {
            kind = json::ValueKind::string;
            text_ += '"';
            const std::size_t pieces = random_.below(4);
            for (std::size_t k = 0; k < pieces; ++k) text_ += random_.pick(kStrings);
            if (random_.percent(10)) text_.append(random_.between(40, 300), 'x');
            text_ += '"';
        } else if (roll < 8) {
            kind = json::ValueKind::number;
            text_ += random_.pick(kNumbers);
        } else {
            const std::size_t which = random_.below(3);
            kind = which == 0 ? json::ValueKind::true_value : which == 1 ? json::ValueKind::false_value : json::ValueKind::null;
            text_ += which == 0 ? "true" : which == 1 ? "false" : "null";
        }
        nodes_[index].kind = kind;
        nodes_[index].begin = begin;
        nodes_[index].end = text_.size();
        return index;
    }

    void space() {
        if (!random_.percent(30)) return;
        static const char* const kSpace[] = {" ", "\n", "\t", "\r\n", "  \n    "};
        text_ += random_.pick(kSpace);
    }

private:
    Random& random_;
    std::string& text_;
    std::vector<Node>& nodes_;
};

// Ill-formed UTF-8 and other bytes that damage texts in interesting ways.
const char* const kDamage[] = {"\"", "\\", "[", "]", "{", "}", ",", ":", " ", "\f", "\x01", "\x7F", "0", "-", ".",
                               "e", "t", "u", "\xC3", "\xA9", "\xFF", "\xED\xA0\x80", "\xE2\x80", "\xF0\x9F\x98"};

std::string damage(Random& random, std::string text) {
    const std::size_t kinds = random.below(5);
    if (text.empty()) return text;
    const std::size_t at = random.below(text.size() + 1);
    switch (kinds) {
        case 0: text.resize(at); break;  // truncated
        case 1: if (at < text.size()) text[at] = random.pick(kDamage)[0]; break;
        case 2: text.insert(at, random.pick(kDamage)); break;
        case 3: if (at < text.size()) text.erase(at, random.between(1, 4)); break;
        default:  // nested past the limits
            text.insert(at, std::string(random.percent(50) ? 130 : 10005, random.percent(50) ? '[' : '{'));
            break;
    }
    return text;
}

// ---------------------------------------------------------------------------------------------------
// The validator against the parser

struct Verdict {
    bool ok = true;
    std::string message;
    std::uint64_t offset = 0, line = 0, column = 0;

    bool operator==(const Verdict&) const = default;
    std::string text() const {
        if (ok) return "ok";
        return message + " at offset " + std::to_string(offset) + " line " + std::to_string(line) + " column " +
               std::to_string(column);
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
    std::int64_t detected = 0;
    const std::int64_t ill = json::validate_detail::first_ill_formed_utf8(
        nullptr, 0, reinterpret_cast<const unsigned char*>(text.data()), text.size(), true, &detected);
    if (ill != json::validate_detail::kNoUtf8Error && (verdict.ok || static_cast<std::uint64_t>(detected) < verdict.offset)) {
        const json::ParseError at = json::locate_error(text, static_cast<std::size_t>(ill) + 1, json::message::invalid_utf8);
        verdict = Verdict{false, at.message, at.offset, at.line, at.column};
    }
    return verdict;
}

// How the pieces' UTF-8 is judged: by the validator alone, or also ahead of it by a Utf8ChunkCheck, which
// judges every piece, or every other one (passing the rest on) so judged and unjudged feeds alternate.
enum class Ahead { none, every, alternate };
const char* ahead_name(Ahead ahead) {
    return ahead == Ahead::none ? "" : ahead == Ahead::every ? " judged ahead" : " judged ahead alternately";
}

template <class Rules>
Verdict streamed(std::string_view text, const std::vector<std::size_t>& pieces, json::SimdLevel level,
                 Ahead ahead = Ahead::none) {
    json::StreamValidator<Rules> validator({}, level);
    json::Utf8ChunkCheck check(level);
    std::size_t at = 0;
    for (std::size_t k = 0; k < pieces.size(); ++k) {
        const char* piece = text.data() + at;
        bool judged = false;
        if (ahead == Ahead::every || (ahead == Ahead::alternate && k % 2 == 1)) judged = check.judge(piece, pieces[k]);
        else check.pass(piece, pieces[k]);
        if (!validator.feed(piece, pieces[k], judged)) break;
        at += pieces[k];
    }
    const bool ok = validator.failed() ? false : validator.finish();
    if (ok) return Verdict{};
    const json::ParseError& e = validator.error();
    return Verdict{false, e.message, e.offset, e.line, e.column};
}

template <class Rules>
void compare(native_check::Report& report, Random& random, const std::string& text, const char* rules) {
    const Verdict want = expected<Rules>(text);
    for (json::SimdLevel level : native_check::runnable_levels()) {
        for (int round = 0; round < 3; ++round) {
            std::vector<std::size_t> pieces = round == 0 ? std::vector<std::size_t>{text.size()}
                                                         : native_check::random_pieces(random, text.size());
            const Ahead ahead = round == 0 ? Ahead::every : random.percent(50) ? Ahead::alternate : Ahead::none;
            const Verdict got = streamed<Rules>(text, pieces, level, ahead);
            report.check(got == want, [&] {
                std::string sizes;
                for (std::size_t i = 0; i < pieces.size() && i < 12; ++i) sizes += std::to_string(pieces[i]) + " ";
                return std::string(rules) + " " + native_check::level_name(level) + ahead_name(ahead) + " pieces [" +
                       sizes + "]: want " + want.text() + ", got " + got.text();
            }, text);
        }
    }
}

// Ill-formed UTF-8 of every kind at every offset of a block, in feeds long enough for the wider levels to
// judge UTF-8 in the block pass (or to take it as judged ahead) and in feeds too short for it, with chunk ends at every place around the
// sequence. The text around it is ASCII (the block pass then skips ASCII blocks) or mixed with two-byte
// characters in every block (it looks every block up); well-formed sequences in the same places must pass.
void utf8_offsets(native_check::Report& report) {
    static const char* const kSequences[] = {
        "\x80", "\xBF", "\xC0\xAF", "\xC1\xBF", "\xC3", "\xC3\xC3\xA9", "\xE2\x82", "\xE2", "\xE0\x80\xAF",
        "\xE0\x9F\xBF", "\xED\xA0\x80", "\xED\xBF\xBF", "\xF0\x9F\x98", "\xF0\x80\x80\x80", "\xF0\x8F\xBF\xBF",
        "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xF8\x88\x80\x80\x80", "\xFE", "\xFF", "\xE2\x82\xAC\xAC",
        "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF", "\xED\x9F\xBF", "\xEE\x80\x80",
    };
    // Chunk sizes: all below the size the block pass judges UTF-8 from, all above it, and the two mixed.
    static const std::vector<std::size_t> kPatterns[] = {
        {1}, {63}, {64}, {255}, {256}, {257}, {300}, {319}, {383}, {447}, {5, 300}, {290, 7, 64}, {256, 1, 1, 511},
    };
    for (const bool mixed : {false, true}) {
        for (const char* sequence : kSequences) {
            for (std::size_t shift = 0; shift < 140; ++shift) {
                std::string filler;
                for (std::size_t k = 0; filler.size() < 300 + shift; ++k) filler += mixed && k % 20 == 7 ? "\xC3\xA9" : "a";
                // Lines before and after it, so the position's line and column count them.
                std::string text = "[\n\"" + filler + "\",\n\n \"abc" + sequence + "de\",\n \"" + filler + "\",\n\"" + filler + "\"]";
                const Verdict want = expected<json::PythonRules>(text);
                for (json::SimdLevel level : native_check::runnable_levels()) {
                    for (const std::vector<std::size_t>& pattern : kPatterns) {
                        std::vector<std::size_t> pieces;
                        for (std::size_t at = 0, k = 0; at < text.size(); ++k) {
                            pieces.push_back(std::min(pattern[k % pattern.size()], text.size() - at));
                            at += pieces.back();
                        }
                        for (const Ahead ahead : {Ahead::none, Ahead::every, Ahead::alternate}) {
                            const Verdict got = streamed<json::PythonRules>(text, pieces, level, ahead);
                            report.check(got == want, [&] {
                                return std::string(native_check::level_name(level)) + ahead_name(ahead) +
                                       " chunks of " + std::to_string(pattern[0]) + (mixed ? " mixed" : " ascii") +
                                       ": want " + want.text() + ", got " + got.text();
                            }, text);
                        }
                    }
                }
            }
        }
    }
}

// One-value mode: a value followed by other bytes ends where the value ends.
template <class Rules>
void compare_one_value(native_check::Report& report, Random& random, const std::string& value_text) {
    NullSink sink;
    if (!json::parse<Rules>(value_text, sink).ok()) return;
    const std::size_t end = value_text.find_last_not_of(" \n\t\r") + 1;
    const std::string text = value_text + (random.percent(50) ? "," : " ]garbage \xFF");
    json::ValidateOptions options;
    options.one_value = true;
    json::StreamValidator<Rules> validator(options);
    std::size_t at = 0;
    for (std::size_t size : native_check::random_pieces(random, text.size())) {
        if (!validator.feed(text.data() + at, size)) break;
        at += size;
    }
    const bool ended = validator.value_ended() || validator.finish();
    report.check(ended && !validator.failed() && validator.value_end() == end, [&] {
        return "one value: want end " + std::to_string(end) + ", got " + std::to_string(validator.value_end()) +
               (validator.failed() ? " error " + validator.error().text() : std::string());
    }, text);
}

// Scalars at every offset in a block, so each one is met by the mask checks, by the check of a scalar that runs
// into the next block, and cut by chunk ends.
void scalar_offsets(native_check::Report& report, Random& random) {
    static const char* const kRuns[] = {
        "0", "-0", "7", "10", "-10", "0.5", "-0.5", "12.25", "01", "-01", "00", "1.", ".5", "-", "--1", "1-2",
        "1.2.3", "0.", "1..2", "-.5", "1.5.", "2-", "0-1", "-0.0", "0.01", "1e5", "1.5e-3", "1e", "1e+", "1e5.5",
        "true", "false", "null", "tru", "nulll", "truefalse", "true1", "1true", "fals", "nan", "1x", "x1", "1\\u",
        "falsx", "nulk", "trUe", "t", "f", "n", "falsee", "nul", "true-1", "null.5",
    };
    for (const char* run : kRuns) {
        for (std::size_t shift = 0; shift < 70; shift += 1 + random.below(3)) {
            // Past the first block, whose top level the block check leaves to the walk.
            std::string text = "[";
            text.append(63 + shift, ' ');
            for (const char* piece : {"[", run, ",", run, " ,{\"k\":", run, "}]]"}) text += piece;
            compare<json::FixedWidthRules>(report, random, text, "fixed");
            compare<json::PythonRules>(report, random, text, "python");
        }
    }
}

// Nesting past 64 levels with objects and arrays mixed, opened and closed densely, so the kinds of the open
// containers cross the 64-level windows the block check keeps; sometimes one closing bracket has the wrong kind.
void deep_mixed_nesting(native_check::Report& report, Random& random) {
    for (int round = 0; round < 60; ++round) {
        const std::size_t depth = random.between(40, 140);
        std::string text, closing;
        for (std::size_t level = 0; level < depth; ++level) {
            if (random.percent(30)) text += random.percent(50) ? " " : "\n";
            if (random.percent(50)) {
                text += random.percent(30) ? "{\"a\":1,\"b\":" : "{\"k\":";
                closing += '}';
            } else {
                text += random.percent(30) ? "[0,\"s\"," : "[";
                closing += ']';
            }
        }
        text += random.percent(50) ? "[]" : "{}";
        for (std::size_t level = depth; level-- > 0;) {
            text += closing[level];
            if (random.percent(20)) text += random.percent(50) ? ",2" : ",[{}]";
            else if (random.percent(20)) text += " ";
        }
        if (random.percent(30)) {
            const std::size_t at = text.find_last_of("]}", random.below(text.size()));
            if (at != std::string::npos) text[at] = text[at] == ']' ? '}' : ']';
        }
        compare<json::FixedWidthRules>(report, random, text, "fixed");
        compare<json::PythonRules>(report, random, text, "python");
    }
}

// Dense texts (no white space outside strings, so a block holds many tokens), each at every offset of a
// block, damaged at one token outside strings: swapped for another structural byte or a scalar, deleted,
// doubled, or swapped with the token after it. The token order is judged by masks over a block's tokens at
// the wider levels, so each kind of damage is met at each place in a block and across a block's end.
void token_order_damage(native_check::Report& report, Random& random) {
    static const char kReplacements[] = {'{', '}', '[', ']', ',', ':', '"', '1', 't'};
    for (int round = 0; round < 40; ++round) {
        std::string spaced;
        std::vector<Node> nodes;
        Generator generator(random, spaced, nodes);
        generator.value(1);
        std::string dense;
        json::compact_text(spaced, dense, json::SimdLevel::scalar);
        // The first bytes of the tokens outside strings.
        std::vector<std::size_t> tokens;
        bool in_string = false;
        for (std::size_t i = 0; i < dense.size(); ++i) {
            if (in_string) {
                if (dense[i] == '\\') ++i;
                else if (dense[i] == '"') in_string = false;
                continue;
            }
            const bool scalar_byte = dense[i] != '"' && std::string_view("{}[],:").find(dense[i]) == std::string_view::npos;
            if (!scalar_byte || i == 0 || std::string_view("{}[],:\"").find(dense[i - 1]) != std::string_view::npos)
                tokens.push_back(i);
            if (dense[i] == '"') in_string = true;
        }
        for (std::size_t shift = 0; shift < 64; shift += 1 + random.below(3)) {
            std::string text = "[";
            text.append(63 + shift, ' ');
            const std::size_t start = text.size();
            text += dense;
            text += ",[]]";
            const std::size_t at = start + tokens[random.below(tokens.size())];
            switch (random.below(5)) {
                case 0: text[at] = random.pick(kReplacements); break;
                case 1: text.erase(at, 1); break;
                case 2: text.insert(at, 1, text[at]); break;
                case 3: {
                    const std::size_t next = text.find_first_not_of(' ', at + 1);
                    if (next != std::string::npos) std::swap(text[at], text[next]);
                    break;
                }
                default: break;  // left valid
            }
            compare<json::FixedWidthRules>(report, random, text, "fixed");
            compare<json::PythonRules>(report, random, text, "python");
        }
    }
}

// Several escapes in one string, valid and not, at every offset of a block: the wider levels judge all but a
// block's last escape by masks (a surrogate pair as one), so pairs cut by the block's end, lone and reversed
// surrogates, doubled backslashes and bad hex digits must all land on each side of that line.
void escape_offsets(native_check::Report& report, Random& random) {
    static const char* const kEscapes[] = {
        "\\u00e9", "\\ud83d\\ude00", "\\uD83D\\uDE00", "\\ud800", "\\udc00", "\\ud800\\u0041", "\\ud83d\\ud83d\\ude00",
        "\\ude00\\ud83d", "\\ud7ff", "\\ue000", "\\uDbFf\\uDfFf", "\\n", "\\\\", "\\\\\\\"", "\\/", "\\\"", "\\x",
        "\\u12g4", "\\u00E", "\\U0041", "\\ud83d\\u", "\\ud83d\\\\", "\\ud83d\\n", "\\b\\f\\r\\t", "\\\\u0041",
    };
    for (int round = 0; round < 400; ++round) {
        std::string text = "[";
        text.append(63, ' ');
        text += "{\"k\":\"";
        text.append(random.below(64), 'a');
        const std::size_t escapes = random.between(1, 6);
        for (std::size_t k = 0; k < escapes; ++k) {
            // Mostly valid ones, so that a block often holds several before a bad one.
            static const char* const kValid[] = {"\\u00e9", "\\ud83d\\ude00", "\\n", "\\\\", "\\/", "\\\""};
            text += random.percent(60) ? random.pick(kValid) : random.pick(kEscapes);
            text.append(random.below(5), 'b');
        }
        text += "\"}]";
        compare<json::FixedWidthRules>(report, random, text, "fixed");
        compare<json::PythonRules>(report, random, text, "python");
    }
}

// ---------------------------------------------------------------------------------------------------
// Pointers

struct Resolved {
    bool found = false;
    std::size_t node = 0;
    std::size_t matched = 0;  // when missing
    json::ValueKind kind = json::ValueKind::null;
    std::uint64_t length = 0;
};

Resolved resolve(const std::vector<Node>& nodes, const json::Pointer& pointer) {
    Resolved out;
    std::size_t at = 0;
    for (std::size_t t = 0; t < pointer.size(); ++t) {
        const Node& node = nodes[at];
        bool next = false;
        if (node.kind == json::ValueKind::object) {
            for (const auto& [key, child] : node.children) {
                if (key == pointer.tokens[t]) {  // the first match wins
                    at = child;
                    next = true;
                    break;
                }
            }
        } else if (node.kind == json::ValueKind::array && pointer.indices[t] < node.children.size()) {
            at = node.children[pointer.indices[t]].second;
            next = true;
        }
        if (!next) {
            out.matched = t;
            out.kind = node.kind;
            out.length = node.children.size();
            return out;
        }
    }
    out.found = true;
    out.node = at;
    return out;
}

struct Seen {
    json::PointerEvent::Kind kind;
    json::ValueKind value;
    std::uint64_t offset, index;
    std::string key;
    std::size_t matched;
    bool operator==(const Seen&) const = default;
    std::string text() const {
        return std::to_string(static_cast<int>(kind)) + "/" + std::to_string(static_cast<int>(value)) + "@" +
               std::to_string(offset) + "#" + std::to_string(index) + " key=" + native_check::printable(key) +
               " matched=" + std::to_string(matched);
    }
};

std::string describe(const std::vector<Seen>& events) {
    std::string out;
    for (const Seen& e : events) out += "\n    " + e.text();
    return out;
}

// The events navigation must give for `pointer` on a document of `nodes`.
std::vector<Seen> expected_events(const std::vector<Node>& nodes, const json::Pointer& pointer) {
    using Kind = json::PointerEvent::Kind;
    const Resolved resolved = resolve(nodes, pointer);
    if (!resolved.found) return {Seen{Kind::missing, resolved.kind, 0, resolved.length, "", resolved.matched}};
    const Node& target = nodes[resolved.node];
    std::vector<Seen> out{Seen{Kind::target_begin, target.kind, target.begin, 0, "", 0}};
    if (target.kind == json::ValueKind::array || target.kind == json::ValueKind::object) {
        for (std::size_t i = 0; i < target.children.size(); ++i) {
            const Node& child = nodes[target.children[i].second];
            out.push_back(Seen{Kind::item_begin, child.kind, child.begin, i, target.children[i].first, 0});
            out.push_back(Seen{Kind::item_end, json::ValueKind::null, child.end, i, "", 0});
        }
    }
    out.push_back(Seen{Kind::target_end, json::ValueKind::null, target.end, 0, "", 0});
    return out;
}

template <class Rules>
std::vector<Seen> navigate(std::string_view text, const json::Pointer& pointer, const std::vector<std::size_t>& pieces,
                           json::SimdLevel level, std::string& error) {
    using Kind = json::PointerEvent::Kind;
    json::StreamValidator<Rules> validator(pointer, {}, level);
    std::vector<Seen> seen;
    std::size_t at = 0;
    for (std::size_t size : pieces) {
        validator.feed(text.data() + at, size);
        at += size;
    }
    if (!validator.finish()) error = validator.error().text();
    for (const json::PointerEvent& e : validator.events()) {
        // Only what the event kind defines is compared.
        switch (e.kind) {
            case Kind::target_begin: seen.push_back(Seen{e.kind, e.value, e.offset, 0, "", 0}); break;
            case Kind::item_begin: seen.push_back(Seen{e.kind, e.value, e.offset, e.index, e.key, 0}); break;
            case Kind::item_end: seen.push_back(Seen{e.kind, json::ValueKind::null, e.offset, e.index, "", 0}); break;
            case Kind::target_end: seen.push_back(Seen{e.kind, json::ValueKind::null, e.offset, 0, "", 0}); break;
            case Kind::missing: seen.push_back(Seen{e.kind, e.value, 0, e.index, "", e.matched}); break;
        }
    }
    return seen;
}

template <class Rules>
void compare_pointer(native_check::Report& report, Random& random, const std::string& text,
                     const std::vector<Node>& nodes, const std::string& pointer_text) {
    json::Pointer pointer;
    json::PointerSyntaxError syntax;
    if (!json::parse_pointer(pointer_text, pointer, syntax)) {
        report.check(false, [&] { return "pointer does not parse: " + pointer_text; }, text);
        return;
    }
    const std::vector<Seen> want = expected_events(nodes, pointer);
    for (json::SimdLevel level : native_check::runnable_levels()) {
        const std::vector<std::size_t> pieces = random.percent(30) ? std::vector<std::size_t>{text.size()}
                                                                   : native_check::random_pieces(random, text.size());
        std::string error;
        const std::vector<Seen> got = navigate<Rules>(text, pointer, pieces, level, error);
        report.check(got == want && error.empty(), [&] {
            return "pointer \"" + native_check::printable(pointer_text) + "\" at " + native_check::level_name(level) +
                   ": want" + describe(want) + "\n  got" + describe(got) + (error.empty() ? "" : "\n  error " + error);
        }, text);
    }
}

// A pointer to a random value of the tree (tokens as the keys decode), sometimes changed to miss.
std::string random_pointer(Random& random, const std::vector<Node>& nodes) {
    std::string text;
    std::size_t at = 0;
    while (!nodes[at].children.empty() && random.percent(75)) {
        const std::size_t pick = random.below(nodes[at].children.size());
        const auto& [key, child] = nodes[at].children[pick];
        std::string token = nodes[at].kind == json::ValueKind::array ? std::to_string(pick) : key;
        text += '/';
        for (char c : token) text += c == '~' ? std::string("~0") : c == '/' ? std::string("~1") : std::string(1, c);
        at = child;
    }
    if (random.percent(30)) {
        static const char* const kMisses[] = {"/zz", "/0", "/5", "/-", "/01", "/", "/a", "/features", "/99999999999999999999999"};
        text += random.pick(kMisses);
    }
    return text;
}

// RFC 6901, section 5: each pointer and the text of the value it names.
void rfc_examples(native_check::Report& report, Random& random) {
    const std::string document =
        "{\n  \"foo\": [\"bar\", \"baz\"],\n  \"\": 0,\n  \"a/b\": 1,\n  \"c%d\": 2,\n  \"e^f\": 3,\n"
        "  \"g|h\": 4,\n  \"i\\\\j\": 5,\n  \"k\\\"l\": 6,\n  \" \": 7,\n  \"m~n\": 8\n}";
    const std::pair<const char*, const char*> cases[] = {
        {"", nullptr},       {"/foo", "[\"bar\", \"baz\"]"}, {"/foo/0", "\"bar\""}, {"/", "0"}, {"/a~1b", "1"},
        {"/c%d", "2"},       {"/e^f", "3"},  {"/g|h", "4"},    {"/i\\j", "5"}, {"/k\"l", "6"}, {"/ ", "7"},
        {"/m~0n", "8"},
    };
    for (const auto& [pointer_text, value] : cases) {
        json::Pointer pointer;
        json::PointerSyntaxError syntax;
        const bool parsed = json::parse_pointer(pointer_text, pointer, syntax);
        std::string error;
        const std::vector<Seen> got =
            navigate<json::FixedWidthRules>(document, pointer, native_check::random_pieces(random, document.size()),
                                            json::simd_level(), error);
        const std::string want = value ? value : document;
        std::string found;
        for (const Seen& e : got) {
            if (e.kind == json::PointerEvent::Kind::target_begin) found = document.substr(e.offset);
            if (e.kind == json::PointerEvent::Kind::target_end) found.resize(found.size() - (document.size() - e.offset));
        }
        report.check(parsed && error.empty() && found == want,
                     [&, text = pointer_text] { return std::string("RFC 6901 pointer \"") + text + "\" gave \"" + found + "\""; },
                     document);
    }
}

// Target arrays of containers whose elements end and the next begin inside a block, where the block pass
// takes the closing bracket, the comma and the opening bracket itself; separators and next values vary, some
// invalid. Every level and chunking gives the verdict of a feed of one byte at a time (the exact machine
// alone), and on a valid text its events.
void element_boundaries(native_check::Report& report, Random& random) {
    static const char* const kSeparators[] = {",", " , ", "\n,\t", "\r\n,\r\n", ",\f", " ", "", ",,", "\f,", ",\x01"};
    static const char* const kOthers[] = {"{\"k\":1}", "[1,[2]]", "{}", "[]", "1", "\"s\"", "]",
                                          "{\"k\":[1}", "[1}", "{\"k\"}", "{\"k\":1,}"};
    for (int round = 0; round < 600; ++round) {
        const bool nested = random.percent(50);
        std::string text = nested ? "{\"a\":[" : "[";
        const std::size_t elements = 2 + random.below(8);
        for (std::size_t i = 0; i < elements; ++i) {
            if (i != 0) text += random.percent(85) ? "," : random.pick(kSeparators);
            if (random.percent(80)) {
                const bool object = random.percent(70);
                text += object ? "{\"k\":\"" : "[\"";
                text.append(random.below(130), 'x');
                text += object ? "\"}" : "\"]";
            } else {
                text += random.pick(kOthers);
            }
        }
        text += nested ? "]}" : "]";
        json::Pointer pointer;
        json::PointerSyntaxError syntax;
        json::parse_pointer(nested ? "/a" : "", pointer, syntax);
        std::string want_error;
        const std::vector<Seen> want = navigate<json::PythonRules>(
            text, pointer, std::vector<std::size_t>(text.size(), 1), json::SimdLevel::scalar, want_error);
        for (json::SimdLevel level : native_check::runnable_levels()) {
            const std::vector<std::size_t> pieces = random.percent(30) ? std::vector<std::size_t>{text.size()}
                                                                       : native_check::random_pieces(random, text.size());
            std::string error;
            const std::vector<Seen> got = navigate<json::PythonRules>(text, pointer, pieces, level, error);
            report.check(error == want_error && (!want_error.empty() || got == want), [&] {
                return std::string("element boundaries at ") + native_check::level_name(level) + ": want" +
                       describe(want) + " " + want_error + "\n  got" + describe(got) + " " + error;
            }, text);
        }
    }
}

// Compaction of a valid text: the same bytes at every level as in the byte loop.
void compare_compact(native_check::Report& report, const std::string& text) {
    std::string want, got;
    json::compact_text(text, want, json::SimdLevel::scalar);
    for (json::SimdLevel level : native_check::runnable_levels()) {
        json::compact_text(text, got, level);
        report.check(got == want, [&] {
            return std::string("compact at ") + native_check::level_name(level) + ": want " +
                   native_check::printable(want) + ", got " + native_check::printable(got);
        }, text);
    }
}

void pointer_syntax(native_check::Report& report) {
    struct Case {
        const char* text;
        bool ok;
        std::vector<std::string> tokens;
        std::vector<std::uint64_t> indices;
    };
    const std::uint64_t no = json::Pointer::kNotIndex;
    const Case cases[] = {
        {"", true, {}, {}},
        {"/", true, {""}, {no}},
        {"/a~1b/~0c/0", true, {"a/b", "~c", "0"}, {no, no, 0}},
        {"/~01", true, {"~1"}, {no}},
        {"/10/01/-/1a", true, {"10", "01", "-", "1a"}, {10, no, no, no}},
        {"/99999999999999999999999", true, {"99999999999999999999999"}, {UINT64_MAX - 1}},
        {"a", false, {}, {}},
        {"/~", false, {}, {}},
        {"/~2", false, {}, {}},
        {"/a~/b", false, {}, {}},
    };
    for (const Case& c : cases) {
        json::Pointer pointer;
        json::PointerSyntaxError error;
        const bool ok = json::parse_pointer(c.text, pointer, error);
        report.check(ok == c.ok && (!ok || (pointer.tokens == c.tokens && pointer.indices == c.indices)),
                     [&] { return std::string("pointer syntax of \"") + c.text + "\""; }, c.text);
    }
}

}  // namespace

int main(int argc, char** argv) {
    native_check::Report report("validate_stream_test");
    Random random(native_check::seed_from(argc, argv, 20240612));
    using Fixed = json::FixedWidthRules;
    using Python = json::PythonRules;

    // Texts that sit on the edges.
    const std::string edges[] = {
        "", " ", "[]", "{}", "[1]", "\"x\"", "1", "-", "[1,2,3", "[1,]", "{\"a\":1,}", "[1 2]", "{\"a\" 1}", "{1:2}",
        "[1]x", "[1]\n[2]", "[1,,2]", "\f[]", "[\f]", "tru", "truex", "nul", "[\"a\\u12\"]", "\"\\ud800\"",
        "\"\\ud800\\\"", "\"\\ud800\\u\"", "\"\\udc00\"", "\"\\ud800\\ud800\"", "\"\x01\"", "\"\xFF\"", "[\"\xE2\x80\"]",
        "[\"a\"\xC3", "\xEF\xBB\xBF[]", std::string(127, '[') + std::string(127, ']'),
        std::string(128, '[') + std::string(128, ']'), std::string(10000, '[') + std::string(10000, ']'),
        std::string(10001, '{'), "1e2147483648", "-1e2147483648", "0e2147483648", "1e-2147483648", "01", "-01", "1.",
        "1.e5", "1e", "1e+", ".5", "+1", "-a", "[1e999]", "[-1e999]", std::string("\"") + std::string(200, 'a'),
    };
    for (const std::string& text : edges) {
        compare<Fixed>(report, random, text, "fixed");
        compare<Python>(report, random, text, "python");
    }

    for (int round = 0; round < 1500; ++round) {
        std::string text;
        std::vector<Node> nodes;
        Generator generator(random, text, nodes);
        generator.value(0);
        generator.space();
        compare<Fixed>(report, random, text, "fixed");
        compare<Python>(report, random, text, "python");
        compare_one_value<Fixed>(report, random, text);
        for (int k = 0; k < 3; ++k) {
            const std::string damaged = damage(random, text);
            compare<Fixed>(report, random, damaged, "fixed");
            compare<Python>(report, random, damaged, "python");
        }
        NullSink sink;
        if (json::parse<Python>(text, sink).ok()) {
            for (int k = 0; k < 3; ++k) compare_pointer<Python>(report, random, text, nodes, random_pointer(random, nodes));
            compare_compact(report, text);
        }
    }
    scalar_offsets(report, random);
    deep_mixed_nesting(report, random);
    token_order_damage(report, random);
    escape_offsets(report, random);
    utf8_offsets(report);
    rfc_examples(report, random);
    element_boundaries(report, random);
    pointer_syntax(report);
    return report.finish();
}
