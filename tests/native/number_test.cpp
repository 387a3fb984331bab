// The number fast paths against std::from_chars: the table of powers of five recomputed with big integers,
// the eight-byte digit helpers against a byte-by-byte model, the 128-bit conversion on random significands
// and exponents (exact ties, near ties, the edges of the double range), and the parser's numbers under both
// rule sets on random number texts. Fixed seed; exits nonzero on any mismatch.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "json/check_sink.hpp"
#include "json/number.hpp"
#include "json/parser.hpp"
#include "native_check.hpp"

namespace {

namespace json = tovak::json;
using native_check::Random;
using native_check::Report;

// Just enough of an unsigned big integer (32-bit limbs, least significant first) to build 5^n and divide.
struct Big {
    std::vector<std::uint32_t> limbs;

    static Big power_of_five(int n) {
        Big out{{1}};
        for (int i = 0; i < n; ++i) out.times(5);
        return out;
    }
    void times(std::uint32_t factor) {
        std::uint64_t carry = 0;
        for (std::uint32_t& limb : limbs) {
            carry += std::uint64_t{limb} * factor;
            limb = static_cast<std::uint32_t>(carry);
            carry >>= 32;
        }
        if (carry) limbs.push_back(static_cast<std::uint32_t>(carry));
    }
    void twice_plus(unsigned bit) {
        std::uint32_t carry = bit;
        for (std::uint32_t& limb : limbs) {
            std::uint32_t next = limb >> 31;
            limb = (limb << 1) | carry;
            carry = next;
        }
        if (carry) limbs.push_back(carry);
    }
    void trim() {
        while (!limbs.empty() && limbs.back() == 0) limbs.pop_back();
    }
    int bits() const {
        if (limbs.empty()) return 0;
        return static_cast<int>(32 * limbs.size()) - std::countl_zero(limbs.back());
    }
    bool bit(int i) const {
        std::size_t limb = static_cast<std::size_t>(i / 32);
        return limb < limbs.size() && (limbs[limb] >> (i % 32)) & 1;
    }
    bool at_least(const Big& other) const {
        if (limbs.size() != other.limbs.size()) return limbs.size() > other.limbs.size();
        for (std::size_t i = limbs.size(); i-- > 0;)
            if (limbs[i] != other.limbs[i]) return limbs[i] > other.limbs[i];
        return true;
    }
    void minus(const Big& other) {
        std::int64_t borrow = 0;
        for (std::size_t i = 0; i < limbs.size(); ++i) {
            std::int64_t d = std::int64_t{limbs[i]} - (i < other.limbs.size() ? other.limbs[i] : 0) - borrow;
            borrow = d < 0;
            limbs[i] = static_cast<std::uint32_t>(d + (borrow << 32));
        }
        trim();
    }
};

// The table entry for 5^q by its definition: the 128 leading bits, truncated.
void expected_power(int q, std::uint64_t& high, std::uint64_t& low) {
    Big five = Big::power_of_five(q < 0 ? -q : q);
    const int b = five.bits();
    unsigned __int128 t = 0;
    if (q >= 0) {
        for (int i = 0; i < 128; ++i) t = (t << 1) | (b - 1 - i >= 0 && five.bit(b - 1 - i));
    } else {
        // floor(2^(127 + b) / 5^-q), by long division one bit at a time.
        Big remainder{{}};
        for (int i = 127 + b; i >= 0; --i) {
            remainder.twice_plus(i == 127 + b);
            remainder.trim();
            bool fits = remainder.at_least(five);
            if (fits) remainder.minus(five);
            if (i < 128) t = (t << 1) | fits;
        }
    }
    high = static_cast<std::uint64_t>(t >> 64);
    low = static_cast<std::uint64_t>(t);
}

void check_table(Report& report) {
    for (int q = json::kMinPowerOfFive; q <= json::kMaxPowerOfFive; ++q) {
        std::uint64_t high, low;
        expected_power(q, high, low);
        const std::uint64_t* entry = json::kPowersOfFive[q - json::kMinPowerOfFive];
        report.check(entry[0] == high && entry[1] == low,
                     [&] { return "table entry for 5^" + std::to_string(q); }, "");
    }
}

std::string hex_word(std::uint64_t word) {
    char text[24];
    std::snprintf(text, sizeof text, "%016llX", static_cast<unsigned long long>(word));
    return text;
}

void check_digit_helpers(Random& random, Report& report) {
    for (int n = 0; n < 200000; ++n) {
        char bytes[8];
        for (char& c : bytes) {
            unsigned draw = static_cast<unsigned>(random.below(10));
            c = draw < 7 ? static_cast<char>('0' + random.below(10)) : static_cast<char>(random.byte());
        }
        std::uint64_t word;
        std::memcpy(&word, bytes, 8);
        unsigned run = 0;
        std::uint64_t value = 0;
        while (run < 8 && bytes[run] >= '0' && bytes[run] <= '9') value = value * 10 + (bytes[run++] - '0');
        unsigned got_run = json::detail::digit_run_length(word);
        report.check(got_run == run, [&] { return "digit run of " + hex_word(word) + ": " + std::to_string(got_run); },
                     std::string_view(bytes, 8));
        if (run == 0) continue;
        unsigned count = static_cast<unsigned>(random.between(1, run));
        std::uint64_t prefix = 0;
        for (unsigned i = 0; i < count; ++i) prefix = prefix * 10 + (bytes[i] - '0');
        report.check(json::detail::digits_value(word, count) == prefix,
                     [&] { return "value of the first " + std::to_string(count) + " digits"; }, std::string_view(bytes, 8));
    }
}

double reference(const std::string& text, bool& in_range) {
    double value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    in_range = error == std::errc() && end == text.data() + text.size();
    return value;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

std::string shown(double value) {
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

// Whenever the 128-bit conversion answers, it answers what the full conversion does. `declined` counts the
// cases it left to the full conversion although the result is a normal double.
void check_conversion(std::uint64_t w, int q, Report& report, std::uint64_t& declined) {
    const std::string text = std::to_string(w) + "e" + std::to_string(q);
    bool in_range;
    const double expected = reference(text, in_range);
    double got;
    const bool answered = json::eisel_lemire(w, q, got);
    if (answered) {
        report.check(in_range && same_bits(got, expected), [&] { return shown(got) + " for " + shown(expected); }, text);
    } else if (in_range && std::fabs(expected) >= DBL_MIN && w != 0) {
        ++declined;
    }
}

std::uint64_t random_significand(Random& random) {
    const unsigned bits = static_cast<unsigned>(random.between(1, 64));
    std::uint64_t w = (random.byte() | (std::uint64_t{random.byte()} << 8)) ^ (std::uint64_t{random.below(1u << 30)} << 16);
    w ^= std::uint64_t{random.below(1u << 30)} << 34;
    return bits == 64 ? w : w & ((std::uint64_t{1} << bits) - 1);
}

void check_conversions(Random& random, Report& report) {
    // Random significands over the whole exponent range, and beyond it: nearly all answered.
    std::uint64_t declined = 0, cases = 300000;
    for (std::uint64_t n = 0; n < cases; ++n) {
        int q = static_cast<int>(random.between(0, 700)) - 360;
        check_conversion(random_significand(random), q, report, declined);
    }
    std::printf("  128-bit conversion: %llu of %llu random normal results left to the full conversion\n",
                static_cast<unsigned long long>(declined), static_cast<unsigned long long>(cases));
    report.check(declined * 1000 < cases, [&] { return "too many declined: " + std::to_string(declined); }, "");
    // Exact ties where the power of five is not exact (q < 0) are left to the full conversion.
    // Exact halfway points and their neighbours: odd m with 54 bits is halfway between two doubles.
    // m * 2^e with e in [0, 10] is an integer of at most 20 digits; m * 2^-k = (m * 5^k) * 10^-k.
    for (int n = 0; n < 100000; ++n) {
        std::uint64_t m = (std::uint64_t{1} << 53) | (random_significand(random) & ((std::uint64_t{1} << 53) - 1)) | 1;
        int e = static_cast<int>(random.between(0, 13)) - 3;
        std::uint64_t w = m;
        int q = 0;
        if (e >= 0) {
            if (m > (UINT64_MAX >> e)) continue;
            w = m << e;
        } else {
            for (int k = 0; k < -e; ++k) w *= 5;
            q = e;
            if (m > UINT64_MAX / 125) continue;
        }
        for (std::uint64_t near : {w - 1, w, w + 1}) check_conversion(near, q, report, declined);
        // The same value with trailing zeros moved into the exponent and back.
        if (w % 10 == 0) check_conversion(w / 10, q + 1, report, declined);
        if (w <= UINT64_MAX / 10) check_conversion(w * 10, q - 1, report, declined);
    }
    // Powers of ten and the largest significands: exact products and the top of the range.
    for (int q = -350; q <= 320; ++q) {
        for (std::uint64_t w : {std::uint64_t{1}, std::uint64_t{9}, UINT64_MAX, std::uint64_t{9999999999999999999u},
                                std::uint64_t{1} << 63, (std::uint64_t{1} << 53) + 1}) {
            check_conversion(w, q, report, declined);
        }
    }
}

// The double reported by the parser, or the error.
struct Catch : tovak::json::CheckSink {
    bool got_double = false;
    double value = 0;
    bool got_integer = false;
    std::uint64_t magnitude = 0;  // of an integer taken in 64 bits
    bool dbl(double v) {
        got_double = true;
        value = v;
        return true;
    }
    bool uint(std::uint64_t v) {
        got_integer = true;
        magnitude = v;
        return true;
    }
    bool sint(std::int64_t v) {
        got_integer = true;
        magnitude = 0 - static_cast<std::uint64_t>(v);
        return true;
    }
};

std::string random_digits(Random& random, std::size_t count, bool leading_nonzero) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
        // Runs of zeros and nines reach the rounding edges more often than uniform digits.
        unsigned style = static_cast<unsigned>(random.below(10));
        char c = style == 0 ? '0' : style == 1 ? '9' : static_cast<char>('0' + random.below(10));
        if (i == 0 && leading_nonzero && c == '0') c = '1';
        out += c;
    }
    return out;
}

// Random number texts, alone and followed by more text (so the eight-byte reads see what comes after).
void check_parser(Random& random, Report& report) {
    const char* tails[] = {"", ",1]", " ", "]", "}", "\n", "x", "                    ]"};
    for (int n = 0; n < 300000; ++n) {
        std::string number;
        if (random.percent(40)) number += '-';
        std::size_t integer_digits = random.between(1, 24);
        number += random.percent(25) ? "0" : random_digits(random, integer_digits, true);
        bool fraction = random.percent(80);
        if (fraction) number += "." + random_digits(random, random.between(1, 26), false);
        if (!fraction || random.percent(40)) {
            number += random.percent(50) ? 'e' : 'E';
            if (random.percent(50)) number += random.percent(50) ? '-' : '+';
            number += std::to_string(random.percent(80) ? random.below(40) : random.below(400));
        }
        bool in_range;
        double expected = reference(number, in_range);
        // Beyond the double range: an infinity of the number's sign, or a zero when it is too small.
        const bool overflow = !in_range && std::isinf(std::strtod(number.c_str(), nullptr));
        if (!in_range && !overflow) expected = number[0] == '-' ? -0.0 : 0.0;
        const bool integral = number.find_first_of(".eE") == std::string::npos;
        for (int rules = 0; rules < 2; ++rules) {
            const std::string text = "[" + number + random.pick(tails);
            Catch sink;
            std::string scratch;
            // Only the number matters: the text around it may be malformed.
            if (rules == 0) json::parse<json::FixedWidthRules>(text, sink, scratch);
            else json::parse<json::PythonRules>(text, sink, scratch);
            if (integral && sink.got_integer) {
                const char* digits = number.data() + (number[0] == '-');
                std::uint64_t expected_magnitude = 0;
                auto [end, error] = std::from_chars(digits, number.data() + number.size(), expected_magnitude);
                report.check(error == std::errc() && sink.magnitude == expected_magnitude,
                             [&] { return std::to_string(sink.magnitude) + " for an integer"; }, number);
                continue;
            }
            if (integral && !sink.got_double) continue;  // beyond 64 bits, as exact text
            if (!overflow) {
                report.check(sink.got_double && same_bits(sink.value, expected),
                             [&] { return shown(sink.value) + " for " + shown(expected); }, number);
            } else if (rules == 1) {
                report.check(sink.got_double && std::isinf(sink.value) && std::signbit(sink.value) == (number[0] == '-'),
                             [&] { return shown(sink.value) + " for an infinity"; }, number);
            } else {  // an error under the fixed-width rules
                report.check(!sink.got_double, [&] { return shown(sink.value) + " out of range"; }, number);
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    Report report("number fast paths");
    Random random(native_check::seed_from(argc, argv, 20261208));
    check_table(report);
    check_digit_helpers(random, report);
    check_conversions(random, report);
    check_parser(random, report);
    return report.finish();
}
