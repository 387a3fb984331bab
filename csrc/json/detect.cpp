#include "json/detect.hpp"

#include <algorithm>
#include <cstdint>

namespace tovak::json {

namespace {

bool is_space_byte(unsigned char b) noexcept { return b == ' ' || b == '\n' || b == '\r' || b == '\t' || b == '\f'; }

bool ends_scalar(unsigned char b) noexcept {
    return is_space_byte(b) || b == '[' || b == '{' || b == '"' || b == ',' || b == ']' || b == '}';
}

}  // namespace

std::optional<TextKind> TextKindScan::look(std::string_view window, bool complete) noexcept {
    // Only a line feed makes lines: a whole text without one is JSON, found without following its value
    // (a long single-line document is common, and this is its cost before it is parsed).
    if (complete && window.find('\n') == std::string_view::npos) return TextKind::json;
    const auto* const begin = reinterpret_cast<const unsigned char*>(window.data());
    const auto* const end = begin + window.size();
    const auto* p = begin + std::min(looked_, window.size());
    const auto undecided = [&]() -> std::optional<TextKind> {
        looked_ = static_cast<std::size_t>(p - begin);
        return complete ? std::optional(TextKind::json) : std::nullopt;
    };

    if (phase_ == Phase::leading) {
        while (p != end && is_space_byte(*p)) ++p;
        if (p == end) return undecided();  // blank so far
        phase_ = Phase::value;
    }
    // The first value: a container is followed to its closing bracket; a string to its closing quote; a
    // scalar runs to the next white space or structural byte.
    while (phase_ == Phase::value) {
        if (p == end) return undecided();  // the window ends inside the value
        const unsigned char b = *p++;
        if (in_string_) {
            if (escaped_) escaped_ = false;
            else if (b == '\\') escaped_ = true;
            else if (b == '"') in_string_ = false;
            if (!in_string_ && depth_ == 0) phase_ = Phase::after;
            continue;
        }
        if (b == '\n') return TextKind::json;  // inside a container: the value spans lines
        if (b == '"') in_string_ = true;
        else if (b == '[' || b == '{') ++depth_;
        else if (b == ']' || b == '}') {
            if (--depth_ <= 0) phase_ = Phase::after;
        } else if (depth_ == 0) {
            phase_ = Phase::scalar;
        }
    }
    if (phase_ == Phase::scalar) {
        while (p != end && !ends_scalar(*p)) ++p;
        if (p == end) return undecided();  // the scalar may go on
        phase_ = Phase::after;
    }

    // After the first value: only white space to the end means one value; a line feed then more means lines.
    for (; p != end; ++p) {
        if (*p == '\n') new_line_ = true;
        else if (!is_space_byte(*p)) return new_line_ ? TextKind::jsonl : TextKind::json;
    }
    // The window ended in white space after the first value: the text may go on.
    looked_ = window.size();
    if (complete) return TextKind::json;
    return new_line_ ? std::optional(TextKind::jsonl) : std::nullopt;
}

}  // namespace tovak::json
