#include "json/text.hpp"

#include <cstdint>

#include "json/scan.hpp"

namespace tovak::json {

namespace {

// Length of the well-formed sequence starting at data[i], or 0 when it is ill-formed. On failure,
// `bad_length` is how many bytes a lossy decoder replaces with one U+FFFD (the maximal prefix rule).
std::size_t sequence_length(const unsigned char* data, std::size_t size, std::size_t i, std::size_t& bad_length) {
    unsigned char lead = data[i];
    bad_length = 1;
    if (lead < 0x80) return 1;
    std::size_t need;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) need = 1;
    else if (lead == 0xE0) need = 2, low = 0xA0;
    else if (lead >= 0xE1 && lead <= 0xEC) need = 2;
    else if (lead == 0xED) need = 2, high = 0x9F;
    else if (lead >= 0xEE && lead <= 0xEF) need = 2;
    else if (lead == 0xF0) need = 3, low = 0x90;
    else if (lead >= 0xF1 && lead <= 0xF3) need = 3;
    else if (lead == 0xF4) need = 3, high = 0x8F;
    else return 0;
    for (std::size_t k = 1; k <= need; ++k) {
        if (i + k >= size) return 0;
        unsigned char c = data[i + k];
        if (k == 1 ? (c < low || c > high) : (c < 0x80 || c > 0xBF)) return 0;
        bad_length = k + 1;
    }
    return need + 1;
}

char32_t decode_at(const unsigned char* p, std::size_t length) {
    if (length == 1) return p[0];
    char32_t c = p[0] & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) c = (c << 6) | (p[k] & 0x3F);
    return c;
}

}  // namespace

bool is_valid_utf8(const char* data, std::size_t size) noexcept {
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    if (size >= kBlockSize) {
        Utf8Carry carry;
        validate_utf8_tail(wide_simd_level(), bytes, size, carry);
        return !carry.invalid_at_end();
    }
    std::size_t i = 0;
    while (i < size) {
        // ASCII runs, eight bytes at a time.
        while (i + 8 <= size) {
            std::uint64_t word;
            __builtin_memcpy(&word, bytes + i, 8);
            if (word & 0x8080808080808080ULL) break;
            i += 8;
        }
        if (i >= size) break;
        if (bytes[i] < 0x80) {
            ++i;
            continue;
        }
        std::size_t bad;
        std::size_t length = sequence_length(bytes, size, i, bad);
        if (length == 0) return false;
        i += length;
    }
    return true;
}

std::string to_utf8_lossy(std::string_view text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    std::string out;
    out.reserve(text.size() + 8);
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t bad;
        std::size_t length = sequence_length(bytes, text.size(), i, bad);
        if (length == 0) {
            out += "\xEF\xBF\xBD";
            i += bad;
            continue;
        }
        out.append(text.data() + i, length);
        i += length;
    }
    return out;
}

bool is_unicode_space(char32_t c) noexcept {
    if (c <= 0x20) return c == 0x20 || (c >= 0x09 && c <= 0x0D);
    if (c < 0x85) return false;
    return c == 0x85 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 ||
           c == 0x202F || c == 0x205F || c == 0x3000;
}

std::string_view trim_unicode_space(std::string_view text) noexcept {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t begin = 0, end = text.size();
    while (begin < end) {
        std::size_t length = bytes[begin] < 0x80 ? 1 : bytes[begin] < 0xE0 ? 2 : bytes[begin] < 0xF0 ? 3 : 4;
        if (begin + length > end || !is_unicode_space(decode_at(bytes + begin, length))) break;
        begin += length;
    }
    while (end > begin) {
        std::size_t start = end - 1;
        while (start > begin && (bytes[start] & 0xC0) == 0x80) --start;
        if (!is_unicode_space(decode_at(bytes + start, end - start))) break;
        end = start;
    }
    return text.substr(begin, end - begin);
}

std::string_view clean_element(std::string_view raw, std::string& storage) {
    if (!is_valid_utf8(raw)) {
        storage = to_utf8_lossy(raw);
        raw = storage;
    }
    return trim_unicode_space(raw);
}

}  // namespace tovak::json
