#include "json/detect.hpp"

#include <cstdint>

namespace tovak::json {

namespace {

bool is_space_byte(unsigned char b) noexcept { return b == ' ' || b == '\n' || b == '\r' || b == '\t' || b == '\f'; }

}  // namespace

std::optional<TextKind> detect_text_kind(std::string_view window, bool complete) noexcept {
    // Only a line feed makes lines: a whole text without one is JSON, found without following its value
    // (a long single-line document is common, and this is its cost before it is parsed).
    if (complete && window.find('\n') == std::string_view::npos) return TextKind::json;
    const auto* p = reinterpret_cast<const unsigned char*>(window.data());
    const auto* end = p + window.size();
    while (p != end && is_space_byte(*p)) ++p;
    if (p == end) return complete ? std::optional(TextKind::json) : std::nullopt;  // blank so far

    // The first value: a container is followed to its closing bracket; a string to its closing quote; a
    // scalar runs to the next white space or structural byte.
    std::int64_t depth = 0;
    bool in_string = false, escaped = false;
    do {
        const unsigned char b = *p++;
        if (in_string) {
            if (escaped) escaped = false;
            else if (b == '\\') escaped = true;
            else if (b == '"') in_string = false;
            else continue;
            if (!in_string && depth == 0) break;
            continue;
        }
        if (b == '\n') return TextKind::json;  // inside a container: the value spans lines
        if (b == '"') in_string = true;
        else if (b == '[' || b == '{') ++depth;
        else if (b == ']' || b == '}') {
            if (--depth <= 0) break;
        } else if (depth == 0) {
            // A scalar: its bytes run to white space or a structural byte.
            while (p != end && !is_space_byte(*p) && *p != '[' && *p != '{' && *p != '"' && *p != ',' &&
                   *p != ']' && *p != '}')
                ++p;
            break;
        }
    } while (p != end);
    if (p == end && (depth > 0 || in_string || !complete)) {
        return complete ? std::optional(TextKind::json) : std::nullopt;  // the window ends inside the value
    }

    // After the first value: only white space to the end means one value; a line feed then more means lines.
    bool new_line = false;
    for (; p != end; ++p) {
        if (*p == '\n') new_line = true;
        else if (!is_space_byte(*p)) return new_line ? TextKind::jsonl : TextKind::json;
    }
    // The window ended in white space after the first value: the text may go on.
    if (complete) return TextKind::json;
    return new_line ? std::optional(TextKind::jsonl) : std::nullopt;
}

}  // namespace tovak::json
