#include "json/number.hpp"

#include <charconv>
#include <cstdint>
#include <system_error>

namespace tovak::json {

namespace {

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// True when the number is at least 10: the decimal position of its first non-zero digit is above the
// units. Only asked about numbers that do not fit a double, so it tells overflow from underflow.
[[gnu::cold]] bool magnitude_above_one(const char* p, const char* last) noexcept {
    if (*p == '-') ++p;
    std::int64_t position = -1;  // decimal position of the first non-zero digit, relative to the units
    bool found = false;
    const char* integer = p;
    while (p != last && is_digit(*p)) ++p;
    if (*integer != '0') {
        position = (p - integer) - 1;
        found = true;
    }
    if (p != last && *p == '.') {
        ++p;
        const char* fraction = p;
        while (p != last && is_digit(*p)) {
            if (!found && *p != '0') {
                position = -((p - fraction) + 1);
                found = true;
            }
            ++p;
        }
    }
    if (!found) return false;  // all digits zero: never out of range
    std::int64_t exponent = 0;
    if (p != last && (*p == 'e' || *p == 'E')) {
        ++p;
        bool negative = false;
        if (*p == '+' || *p == '-') negative = *p++ == '-';
        while (p != last) {
            if (exponent < (std::int64_t{1} << 40)) exponent = exponent * 10 + (*p - '0');
            ++p;
        }
        if (negative) exponent = -exponent;
    }
    return position + exponent > 0;
}

}  // namespace

DoubleConversion to_double(const char* first, const char* last) noexcept {
    DoubleConversion out;
    auto [end, error] = std::from_chars(first, last, out.value, std::chars_format::general);
    if (error == std::errc()) return out;
    // Out of range: either beyond the largest double, or below the smallest subnormal (a zero).
    if (magnitude_above_one(first, last)) {
        out.overflow = true;
        out.value = 0.0;
    } else {
        out.value = *first == '-' ? -0.0 : 0.0;
    }
    return out;
}

}  // namespace tovak::json
