// Plain byte-at-a-time models of the scanners, written for clarity and nothing else: the fuzz targets
// compare the fast code (blocks of 64 bytes, SIMD, chunked input) with these on every input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace fuzz {

// Stops the run with a message; libFuzzer keeps the input that did it.
[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "property violated: %s\n", what);
    std::abort();
}
#define FUZZ_CHECK(condition) \
    do {                      \
        if (!(condition)) ::fuzz::fail(#condition); \
    } while (0)

inline bool is_space_byte(unsigned char b) { return b == 0x20 || b == 0x0A || b == 0x0D || b == 0x09 || b == 0x0C; }

// Well-formed UTF-8 as RFC 3629 defines it.
inline bool valid_utf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<unsigned char>(text[i]);
        std::size_t need;
        std::uint32_t c;
        if (b < 0x80) { ++i; continue; }
        if (b >= 0xC2 && b <= 0xDF) need = 1, c = b & 0x1F;
        else if (b >= 0xE0 && b <= 0xEF) need = 2, c = b & 0x0F;
        else if (b >= 0xF0 && b <= 0xF4) need = 3, c = b & 0x07;
        else return false;
        if (i + need >= text.size()) return false;
        for (std::size_t k = 1; k <= need; ++k) {
            const auto t = static_cast<unsigned char>(text[i + k]);
            if ((t & 0xC0) != 0x80) return false;
            c = (c << 6) | (t & 0x3F);
        }
        if ((need == 2 && c < 0x800) || (need == 3 && (c < 0x10000 || c > 0x10FFFF))) return false;
        if (c >= 0xD800 && c <= 0xDFFF) return false;
        i += need + 1;
    }
    return true;
}

inline bool unicode_space(std::uint32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// The code points of valid UTF-8 text.
inline std::vector<std::uint32_t> code_points(std::string_view text) {
    std::vector<std::uint32_t> out;
    for (std::size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        std::size_t length = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
        std::uint32_t c = length == 1 ? b : b & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k) c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        out.push_back(c);
        i += length;
    }
    return out;
}

// True when valid UTF-8 text holds a character without the White_Space property.
inline bool has_content(std::string_view text) {
    for (std::uint32_t c : code_points(text))
        if (!unicode_space(c)) return true;
    return false;
}

// The number of records of a JSON file as the counter defines it: commas at depth 1 outside strings, plus
// one when content was seen at depth 1; 1 for a file that is not an array or holds only white space.
inline std::uint64_t count_elements(std::string_view data) {
    std::size_t i = 0;
    while (i < data.size() && is_space_byte(static_cast<unsigned char>(data[i]))) ++i;
    if (i == data.size() || data[i] != '[') return 1;
    std::int64_t depth = 1;
    bool in_string = false, escape = false, content = false;
    std::uint64_t commas = 0;
    for (++i; i < data.size(); ++i) {
        const auto b = static_cast<unsigned char>(data[i]);
        if (in_string) {
            if (escape) escape = false;
            else if (b == '"') in_string = false;
            else if (b == '\\') escape = true;
            continue;
        }
        if (is_space_byte(b)) continue;
        if (b == ',') {
            commas += depth == 1;
        } else if (b == ']' || b == '}') {
            --depth;
        } else {
            content |= depth == 1;
            if (b == '"') in_string = true;
            if (b == '[' || b == '{') ++depth;
        }
    }
    return content ? commas + 1 : 0;
}

// The records of a JSONL file as the counter defines them, or -1 when the text is not UTF-8.
inline std::int64_t count_lines(std::string_view data) {
    if (!valid_utf8(data)) return -1;
    std::int64_t lines = 0;
    std::size_t start = 0;
    while (start < data.size()) {
        std::size_t feed = data.find('\n', start);
        std::size_t end = feed == std::string_view::npos ? data.size() : feed;
        lines += has_content(data.substr(start, end - start));
        if (feed == std::string_view::npos) break;
        start = feed + 1;
    }
    return lines;
}

// The top-level element splitter, byte by byte. The elements keep their white space; the terminators and
// the opening bracket belong to no element; white space before the first significant byte is dropped.
struct SplitResult {
    bool started = false, in_array = false, closed = false;
    std::vector<std::string> elements;  // ended by a comma or the closing bracket, in order
    std::string rest;                   // the unfinished element, or the single document
};

inline SplitResult split(std::string_view data) {
    SplitResult out;
    std::size_t i = 0;
    while (i < data.size() && is_space_byte(static_cast<unsigned char>(data[i]))) ++i;
    if (i == data.size()) return out;
    out.started = true;
    if (data[i] != '[') {
        out.rest = std::string(data.substr(i));
        return out;
    }
    out.in_array = true;
    std::int64_t depth = 1;
    bool in_string = false, escape = false;
    std::string element;
    for (++i; i < data.size(); ++i) {
        const char b = data[i];
        if (in_string) {
            element += b;
            if (escape) escape = false;
            else if (b == '"') in_string = false;
            else if (b == '\\') escape = true;
            continue;
        }
        if ((b == ',' || b == ']') && depth == 1) {
            out.elements.push_back(element);
            element.clear();
            if (b == ']') {
                out.closed = true;
                return out;
            }
            continue;
        }
        element += b;
        if (b == '"') in_string = true;
        else if (b == '[' || b == '{') ++depth;
        else if (b == ']' || b == '}') --depth;
    }
    out.rest = element;
    return out;
}

// Chunk sizes for feeding `size` bytes: mostly short ones, so every alignment to the 64-byte blocks shows
// up, now and then a long one.
inline std::vector<std::size_t> chunk_sizes(std::size_t size, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<std::size_t> sizes;
    while (size != 0) {
        std::size_t pick = random() % 8 == 0 ? 1 + random() % 1024 : 1 + random() % 130;
        if (pick > size) pick = size;
        sizes.push_back(pick);
        size -= pick;
    }
    return sizes;
}

}  // namespace fuzz
