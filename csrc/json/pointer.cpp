#include "json/pointer.hpp"

namespace tovak::json {

namespace {

std::uint64_t index_of(std::string_view token) noexcept {
    if (token.empty() || (token.size() > 1 && token[0] == '0')) return Pointer::kNotIndex;
    std::uint64_t value = 0;
    for (char c : token) {
        if (c < '0' || c > '9') return Pointer::kNotIndex;
        unsigned digit = static_cast<unsigned>(c - '0');
        // Saturates below kNotIndex: such an index exists in no array.
        value = value > (UINT64_MAX - 1 - digit) / 10 ? UINT64_MAX - 1 : value * 10 + digit;
    }
    return value;
}

}  // namespace

bool parse_pointer(std::string_view text, Pointer& out, PointerSyntaxError& error) {
    out.tokens.clear();
    out.indices.clear();
    if (text.empty()) return true;
    if (text[0] != '/') {
        error = PointerSyntaxError{0, kPointerMustStartWithSlash};
        return false;
    }
    std::string token;
    for (std::size_t i = 1;; ++i) {
        if (i == text.size() || text[i] == '/') {
            out.indices.push_back(index_of(token));
            out.tokens.push_back(std::move(token));
            token.clear();
            if (i == text.size()) return true;
            continue;
        }
        if (text[i] != '~') {
            token += text[i];
            continue;
        }
        if (i + 1 == text.size() || (text[i + 1] != '0' && text[i + 1] != '1')) {
            error = PointerSyntaxError{i, kPointerBadTilde};
            return false;
        }
        token += text[i + 1] == '0' ? '~' : '/';
        ++i;
    }
}

std::string pointer_prefix(const Pointer& pointer, std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count && i < pointer.tokens.size(); ++i) {
        text += '/';
        for (char c : pointer.tokens[i]) {
            if (c == '~') text += "~0";
            else if (c == '/') text += "~1";
            else text += c;
        }
    }
    return text;
}

const char* describe(ValueKind kind) noexcept {
    switch (kind) {
        case ValueKind::object: return "an object";
        case ValueKind::array: return "an array";
        case ValueKind::string: return "a string";
        case ValueKind::number: return "a number";
        case ValueKind::true_value: return "true";
        case ValueKind::false_value: return "false";
        case ValueKind::null: return "null";
    }
    return "a value";
}

}  // namespace tovak::json
