// Conversion of JSON number text to a double, correctly rounded (nearest, ties to even): the full
// conversion of the text, and two fast paths on a decimal significand and exponent that either give the
// correctly rounded value or decline (then the caller converts the text). Pure functions, any thread.
#pragma once

#include <bit>
#include <cfloat>
#include <cstdint>
#include <cstring>

#include "json/powers_of_five.hpp"

namespace tovak::json {

struct DoubleConversion {
    double value = 0.0;
    bool overflow = false;  // the magnitude rounds beyond the largest finite double
};

// `first`..`last` is a number that already matched the JSON grammar (optional '-', integer part,
// optional fraction, optional exponent whose digits fit a signed 32-bit value). A magnitude too small for
// a double becomes a subnormal or a zero of the number's sign; one too large is reported as overflow.
DoubleConversion to_double(const char* first, const char* last) noexcept;

// `magnitude` (not negative) with the sign bit set when `negative`: no branch on the sign, which for
// many documents (coordinates) is as good as random.
[[gnu::always_inline]] inline double with_sign(double magnitude, bool negative) noexcept {
    std::uint64_t bits;
    std::memcpy(&bits, &magnitude, sizeof bits);
    bits |= static_cast<std::uint64_t>(negative) << 63;
    std::memcpy(&magnitude, &bits, sizeof bits);
    return magnitude;
}

// The common short case without re-reading the text: when the decimal significand (at most 2^53) and
// 10^|exponent10| (at most 10^22) are both exact doubles, one IEEE multiply or divide rounds the exact
// quotient or product once, so the result is the correctly rounded value. False when out of that range.
[[gnu::always_inline]] inline bool exact_short_decimal(std::uint64_t significand, std::int64_t exponent10,
                                                       bool negative, double& out) noexcept {
    static_assert(FLT_EVAL_METHOD == 0, "doubles must be computed at double precision");
    static constexpr double powers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                        1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    if (significand > (std::uint64_t{1} << 53) || exponent10 < -22 || exponent10 > 22) return false;
    double value = static_cast<double>(significand);
    value = exponent10 < 0 ? value / powers[-exponent10] : value * powers[exponent10];
    out = with_sign(value, negative);
    return true;
}

// w * 10^q rounded to the nearest double, ties to even, when that is a normal double and 128-bit
// products with a truncated table of powers of five decide the rounding; false otherwise (w zero, a
// subnormal or overflowing result, q out of the table, or a product too close to a halfway point).
//
// How: with w shifted left until its top bit is set (wn = w * 2^lz) and 5^q = T * 2^e (T the table's
// 128 bits, top bit set), w * 10^q = wn * T * 2^(e + q - lz), and wn * T has its top bit at 191 or 190.
// Its top 54 bits are the 53 of the mantissa and the rounding bit. The product is first taken with T's
// high word only: the exact one then lies in [P, P + wn) in units of P's low word. Only when that
// interval might hold the halfway point is T's low word multiplied in too, leaving an interval of width
// wn in units of the third word (no width where T is exact, q in [0, 55]). An exact tie rounds to even.
inline bool eisel_lemire(std::uint64_t w, std::int64_t q, double& out) noexcept {
    if (w == 0 || q < kMinPowerOfFive || q > kMaxPowerOfFive) return false;
    const int lz = std::countl_zero(w);
    const std::uint64_t wn = w << lz;
    const std::uint64_t* power = kPowersOfFive[q - kMinPowerOfFive];
    unsigned __int128 product = static_cast<unsigned __int128>(wn) * power[0];
    std::uint64_t high = static_cast<std::uint64_t>(product >> 64);
    std::uint64_t middle = static_cast<std::uint64_t>(product);
    const unsigned top = static_cast<unsigned>(high >> 63);  // 1: the product's top bit is bit 191
    const unsigned shift = top + 9;  // bits of `high` below the mantissa's 53 and the rounding bit
    const std::uint64_t below_round = (std::uint64_t{1} << shift) - 1;
    const bool exact_power = q >= 0 && q <= 55;
    // The rounding bit decides, but for two rare cases; their tests are combined without branches, since
    // the bit itself is as good as random.
    const bool round_bit = ((high >> shift) & 1) != 0;
    // Below the halfway point, unless the interval reaches it: all bits under the rounding bit set and the
    // width carrying out of the low word.
    const bool may_reach_half = !round_bit & ((high & below_round) == below_round) & (middle + wn < middle);
    // At the halfway point with T's high word alone: above it if anything else adds, a tie otherwise.
    const bool at_half = round_bit & ((high & below_round) == 0) & (middle == 0);
    bool round_up = round_bit;
    if (may_reach_half | at_half) [[unlikely]] {
        if (may_reach_half) {
            // Take T's low word too: its high half adds into the middle word.
            unsigned __int128 second = static_cast<unsigned __int128>(wn) * power[1];
            std::uint64_t carry_in = static_cast<std::uint64_t>(second >> 64);
            std::uint64_t low = static_cast<std::uint64_t>(second);
            std::uint64_t sum = middle + carry_in;
            if (sum < middle) return false;  // carries into the rounding bit: too close to call
            middle = sum;
            if (middle == ~std::uint64_t{0} && (exact_power ? false : low + wn < low)) return false;
        } else {
            const bool tie = exact_power && power[1] == 0;
            round_up = tie ? ((high >> (shift + 1)) & 1) != 0 : true;
        }
    }
    std::uint64_t mantissa = (high >> (shift + 1)) + (round_up ? 1 : 0);
    // floor(log2(5^q)) for q in the table's range, without a table.
    std::int64_t log2_power = (q * 152170) >> 16;
    std::int64_t biased = static_cast<std::int64_t>(top) + 11 + log2_power + q - lz + 52 + 1023;
    if (mantissa == (std::uint64_t{1} << 53)) {  // rounding carried into a new binary digit
        mantissa >>= 1;
        ++biased;
    }
    if (biased < 1 || biased > 2046) return false;
    std::uint64_t bits = (static_cast<std::uint64_t>(biased) << 52) | (mantissa & ((std::uint64_t{1} << 52) - 1));
    std::memcpy(&out, &bits, sizeof out);
    return true;
}

// decimal_to_double (below) past the short exact case: out of line, so the parser's loop that inlines
// the short case does not carry the 128-bit conversion and the registers it needs. The value comes back
// in a register, NaN when undecided (no decimal converts to NaN).
[[gnu::noinline]] inline double wide_decimal_to_double(std::uint64_t significand, std::int64_t exponent10,
                                                       bool negative, bool truncated) noexcept {
    double value;
    if (!truncated) {
        if (significand == 0 || !eisel_lemire(significand, exponent10, value)) return __builtin_nan("");
    } else {
        double upper;
        if (!eisel_lemire(significand, exponent10, value) || !eisel_lemire(significand + 1, exponent10, upper) ||
            value != upper)
            return __builtin_nan("");
    }
    return with_sign(value, negative);
}

// The double nearest to a decimal significand and exponent (significand * 10^exponent10), or false when
// neither fast path decides it. `truncated` means the significand holds only the leading digits of a
// longer one (the value lies in [significand, significand + 1) * 10^exponent10): it succeeds when both
// ends round alike. The short exact case is most numbers of most documents.
[[gnu::always_inline]] inline bool decimal_to_double(std::uint64_t significand, std::int64_t exponent10,
                                                     bool negative, bool truncated, double& out) noexcept {
    if (!truncated && exact_short_decimal(significand, exponent10, negative, out)) return true;
    out = wide_decimal_to_double(significand, exponent10, negative, truncated);
    return out == out;
}

}  // namespace tovak::json
