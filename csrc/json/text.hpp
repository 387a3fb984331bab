// UTF-8 checks and Unicode white space, shared by the counter, the record reader and the schema sampler.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tovak::json {

// The four white-space bytes of RFC 8259 and the form feed, which the byte scanners also skip: tab, line
// feed, form feed, carriage return, space.
constexpr bool is_space_byte(unsigned char b) noexcept {
    return b == 0x20 || b == 0x0A || b == 0x0D || b == 0x09 || b == 0x0C;
}

// True when the bytes are well-formed UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
bool is_valid_utf8(const char* data, std::size_t size) noexcept;
inline bool is_valid_utf8(std::string_view text) noexcept { return is_valid_utf8(text.data(), text.size()); }

// The text with every ill-formed sequence replaced by U+FFFD, the way a lossy UTF-8 decoder does it.
std::string to_utf8_lossy(std::string_view bytes);

// True for the characters with the Unicode White_Space property.
bool is_unicode_space(char32_t c) noexcept;

// `text` (valid UTF-8) without White_Space characters at either end.
std::string_view trim_unicode_space(std::string_view text) noexcept;

// The text of an element or document cut out of a file, ready to parse: `raw` itself when it is valid
// UTF-8, otherwise its lossy conversion written into `storage`; then trimmed of White_Space at both
// ends. Empty means there is nothing to parse (no record).
std::string_view clean_element(std::string_view raw, std::string& storage);

}  // namespace tovak::json
