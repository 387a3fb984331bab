#include "json/printer.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace tovak::json {

namespace {

// Escape of each byte below 0x20 and of the two bytes that always need one; 0 for bytes written as they
// are, 'u' for the \u00XX form.
constexpr auto kEscapes = [] {
    struct Table {
        char code[256] = {};
    } table;
    for (int b = 0; b < 0x20; ++b) table.code[b] = 'u';
    table.code['\b'] = 'b';
    table.code['\t'] = 't';
    table.code['\n'] = 'n';
    table.code['\f'] = 'f';
    table.code['\r'] = 'r';
    table.code['"'] = '"';
    table.code['\\'] = '\\';
    return table;
}();


template <class Number>
void print_integer(Number number, std::string& out) {
    char digits[24];
    auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
    out.append(digits, end);
}

// Shortest round-trip form, always recognisable as a floating-point number; JSON has no text for the
// non-finite values, so they print as null.
void print_double(double number, std::string& out) {
    if (!std::isfinite(number)) {
        out += "null";
        return;
    }
    char digits[32];
    auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
    std::string_view text(digits, static_cast<std::size_t>(end - digits));
    out += text;
    if (text.find_first_of(".e") == std::string_view::npos) out += ".0";
}

void newline_and_indent(std::size_t level, std::string& out) {
    out += '\n';
    out.append(2 * level, ' ');
}

void print_value(const Value& value, std::size_t level, std::string& out) {
    switch (value.kind()) {
        case Value::Kind::null: out += "null"; break;
        case Value::Kind::boolean: out += value.as_bool() ? "true" : "false"; break;
        case Value::Kind::uint: print_integer(value.as_uint(), out); break;
        case Value::Kind::sint: print_integer(value.as_sint(), out); break;
        case Value::Kind::dbl: print_double(value.as_double(), out); break;
        case Value::Kind::string: print_string(value.as_string(), out); break;
        case Value::Kind::array: {
            const Array& items = value.as_array();
            if (items.empty()) {
                out += "[]";
                break;
            }
            out += '[';
            for (std::size_t i = 0; i < items.size(); ++i) {
                if (i > 0) out += ',';
                newline_and_indent(level + 1, out);
                print_value(items[i], level + 1, out);
            }
            newline_and_indent(level, out);
            out += ']';
            break;
        }
        case Value::Kind::object: {
            const Object& entries = value.as_object();
            if (entries.empty()) {
                out += "{}";
                break;
            }
            out += '{';
            for (std::size_t i = 0; i < entries.size(); ++i) {
                if (i > 0) out += ',';
                newline_and_indent(level + 1, out);
                print_string(entries[i].first, out);
                out += ": ";
                print_value(entries[i].second, level + 1, out);
            }
            newline_and_indent(level, out);
            out += '}';
            break;
        }
    }
}

}  // namespace

void print_string(std::string_view text, std::string& out) {
    out += '"';
    std::size_t run_start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto b = static_cast<unsigned char>(text[i]);
        char code = kEscapes.code[b];
        if (code == 0) continue;
        out.append(text.data() + run_start, i - run_start);
        run_start = i + 1;
        if (code == 'u') {
            static constexpr char kHex[] = "0123456789abcdef";
            const char escaped[] = {'\\', 'u', '0', '0', kHex[b >> 4], kHex[b & 0xF]};
            out.append(escaped, sizeof escaped);
        } else {
            const char escaped[] = {'\\', code};
            out.append(escaped, sizeof escaped);
        }
    }
    out.append(text.data() + run_start, text.size() - run_start);
    out += '"';
}

void print_indented(const Value& value, std::string& out) { print_value(value, 0, out); }

}  // namespace tovak::json
