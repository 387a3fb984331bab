// Conversion of JSON number text to a double, correctly rounded (nearest, ties to even).
#pragma once

#include <cfloat>
#include <cstdint>

namespace tovak::json {

struct DoubleConversion {
    double value = 0.0;
    bool overflow = false;  // the magnitude rounds beyond the largest finite double
};

// `first`..`last` is a number that already matched the JSON grammar (optional '-', integer part,
// optional fraction, optional exponent whose digits fit a signed 32-bit value). A magnitude too small for
// a double becomes a subnormal or a zero of the number's sign; one too large is reported as overflow.
DoubleConversion to_double(const char* first, const char* last) noexcept;

// The common short case without re-reading the text: when the decimal significand (at most 2^53) and
// 10^|exponent10| (at most 10^22) are both exact doubles, one IEEE multiply or divide rounds the exact
// quotient or product once, so the result is the correctly rounded value. False when out of that range.
inline bool exact_short_decimal(std::uint64_t significand, std::int64_t exponent10, bool negative,
                                double& out) noexcept {
    static_assert(FLT_EVAL_METHOD == 0, "doubles must be computed at double precision");
    static constexpr double powers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                        1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    if (significand > (std::uint64_t{1} << 53) || exponent10 < -22 || exponent10 > 22) return false;
    double value = static_cast<double>(significand);
    value = exponent10 < 0 ? value / powers[-exponent10] : value * powers[exponent10];
    out = negative ? -value : value;
    return true;
}

}  // namespace tovak::json
