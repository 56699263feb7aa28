#include "core/packed_text.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <system_error>

#include "core/portable.hpp"

namespace lumoreq::core {

namespace {

// The library's own notion of blanks around a number: the six ASCII ones, nothing else.
inline bool is_ascii_space(char c) {
    return c == ' ' || static_cast<unsigned>(static_cast<unsigned char>(c)) - 9u < 5u;
}
inline bool is_digit(char c) { return static_cast<unsigned char>(c - '0') < 10u; }

// Reads a text as the library's C code reads a NUL-terminated buffer: past the end is NUL.
struct Cursor {
    const char* s;
    std::size_t n;
    char at(std::size_t i) const { return i < n ? s[i] : '\0'; }
};

bool equals_ignoring_case(std::string_view text, std::string_view lower) {
    if (text.size() != lower.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != lower[i]) return false;
    }
    return true;
}

// +1 / -1 for the spellings of infinity the library accepts (the whole text, any case).
int infinity_sign(std::string_view text) {
    int sign = 1;
    std::string_view word = text;
    if (!word.empty() && (word[0] == '+' || word[0] == '-')) {
        sign = word[0] == '-' ? -1 : 1;
        word.remove_prefix(1);
    }
    return equals_ignoring_case(word, "inf") || equals_ignoring_case(word, "infinity") ? sign : 0;
}

struct Scan {
    double value = 0.0;
    std::size_t end = 0;  // where parsing stopped, trailing blanks skipped
    bool error = false;
    bool maybe_int = true;
};

// Decimal exponent of the leading significant digit of a plain decimal span (saturated);
// tells overflow from underflow when the exact parse is out of range.
long long leading_exponent(const char* first, const char* last) {
    const char* p = first;
    if (p < last && (*p == '-' || *p == '+')) ++p;
    long long int_digits = 0, first_nonzero = -1, lead = 0;
    bool found = false;
    for (; p < last && is_digit(*p); ++p, ++int_digits)
        if (first_nonzero < 0 && *p != '0') first_nonzero = int_digits;
    if (first_nonzero >= 0) {
        lead = int_digits - 1 - first_nonzero;
        found = true;
    }
    if (p < last && *p == '.') {
        ++p;
        for (long long j = 1; p < last && is_digit(*p); ++p, ++j)
            if (!found && *p != '0') {
                lead = -j;
                found = true;
            }
    }
    long long exponent = 0;
    if (p < last && (*p == 'e' || *p == 'E')) {
        ++p;
        bool negative = false;
        if (p < last && (*p == '+' || *p == '-')) negative = *p++ == '-';
        for (; p < last && is_digit(*p); ++p)
            if (exponent < 1000000000LL) exponent = exponent * 10 + (*p - '0');
        if (negative) exponent = -exponent;
    }
    return found ? lead + exponent : 0;
}

// Plain numbers without a leading '+': the longest prefix of the blank-free token that is a
// decimal number, correctly rounded (what the library hands to its exact parser).
Scan scan_exact(Cursor c, std::size_t p) {
    Scan r;
    // The number never contains a blank or a NUL, so scanning to the end of the text stops
    // where the library's scan of the blank-delimited token stops.
    const std::size_t token_end = c.n;
    std::size_t q = p;
    const bool negative = q < token_end && c.s[q] == '-';
    if (negative) ++q;
    // Digits go into `mantissa` while it stays exact; with few digits and a small exponent
    // one multiplication or division is already the correctly rounded result (Clinger).
    uint64_t mantissa = 0;
    int digits = 0;
    long long exponent10 = 0;
    while (q < token_end && is_digit(c.s[q])) {
        if (digits < 19) mantissa = mantissa * 10 + static_cast<uint64_t>(c.s[q] - '0');
        ++digits;
        ++q;
    }
    if (q < token_end && c.s[q] == '.') {
        r.maybe_int = false;
        ++q;
        while (q < token_end && is_digit(c.s[q])) {
            if (digits < 19) mantissa = mantissa * 10 + static_cast<uint64_t>(c.s[q] - '0');
            ++digits;
            --exponent10;
            ++q;
        }
    }
    // The caller checked that a digit is present.
    bool small_exponent = true;
    if (q < token_end && (c.s[q] == 'e' || c.s[q] == 'E')) {
        std::size_t e = q + 1;
        bool exp_negative = false;
        if (e < token_end && (c.s[e] == '+' || c.s[e] == '-')) exp_negative = c.s[e++] == '-';
        if (e < token_end && is_digit(c.s[e])) {
            long long value = 0;
            for (; e < token_end && is_digit(c.s[e]); ++e) {
                if (value < 100000) value = value * 10 + (c.s[e] - '0');
                else small_exponent = false;
            }
            exponent10 += exp_negative ? -value : value;
            q = e;
            r.maybe_int = false;
        }
    }
    static constexpr double kExactPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                             1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                             1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    if (digits <= 19 && small_exponent && mantissa <= (uint64_t{1} << 53) && exponent10 >= -22 &&
        exponent10 <= 22) {
        double value = static_cast<double>(mantissa);
        value = exponent10 >= 0 ? value * kExactPow10[exponent10] : value / kExactPow10[-exponent10];
        r.value = negative ? -value : value;
        while (q < c.n && is_ascii_space(c.s[q])) ++q;
        r.end = q;
        return r;
    }
    const char* first = c.s + p;
    const char* last = c.s + q;
    double value = 0.0;
    const auto res = portable::parse_double(first, last, value);
    if (res.ec == std::errc::result_out_of_range) {
        const bool negative = *first == '-';
        const double magnitude =
            leading_exponent(first, last) > 0 ? std::numeric_limits<double>::infinity() : 0.0;
        value = negative ? -magnitude : magnitude;
    } else if (res.ec != std::errc() || res.ptr != last) {
        r.error = true;
        return r;
    }
    r.value = value;
    while (q < c.n && is_ascii_space(c.s[q])) ++q;
    r.end = q;
    return r;
}

// Numbers written with a leading '+': the library parses these with its older routine (at
// most 17 significant digits, then scaled by powers of ten), so the last bit can differ
// from a correctly rounded parse; reproduced operation for operation.
Scan scan_legacy(Cursor c, std::size_t p) {
    static const double kPow10[] = {
        1e0,   1e1,   1e2,   1e3,   1e4,   1e5,   1e6,   1e7,   1e8,   1e9,   1e10,  1e11,  1e12,  1e13,
        1e14,  1e15,  1e16,  1e17,  1e18,  1e19,  1e20,  1e21,  1e22,  1e23,  1e24,  1e25,  1e26,  1e27,
        1e28,  1e29,  1e30,  1e31,  1e32,  1e33,  1e34,  1e35,  1e36,  1e37,  1e38,  1e39,  1e40,  1e41,
        1e42,  1e43,  1e44,  1e45,  1e46,  1e47,  1e48,  1e49,  1e50,  1e51,  1e52,  1e53,  1e54,  1e55,
        1e56,  1e57,  1e58,  1e59,  1e60,  1e61,  1e62,  1e63,  1e64,  1e65,  1e66,  1e67,  1e68,  1e69,
        1e70,  1e71,  1e72,  1e73,  1e74,  1e75,  1e76,  1e77,  1e78,  1e79,  1e80,  1e81,  1e82,  1e83,
        1e84,  1e85,  1e86,  1e87,  1e88,  1e89,  1e90,  1e91,  1e92,  1e93,  1e94,  1e95,  1e96,  1e97,
        1e98,  1e99,  1e100, 1e101, 1e102, 1e103, 1e104, 1e105, 1e106, 1e107, 1e108, 1e109, 1e110, 1e111,
        1e112, 1e113, 1e114, 1e115, 1e116, 1e117, 1e118, 1e119, 1e120, 1e121, 1e122, 1e123, 1e124, 1e125,
        1e126, 1e127, 1e128, 1e129, 1e130, 1e131, 1e132, 1e133, 1e134, 1e135, 1e136, 1e137, 1e138, 1e139,
        1e140, 1e141, 1e142, 1e143, 1e144, 1e145, 1e146, 1e147, 1e148, 1e149, 1e150, 1e151, 1e152, 1e153,
        1e154, 1e155, 1e156, 1e157, 1e158, 1e159, 1e160, 1e161, 1e162, 1e163, 1e164, 1e165, 1e166, 1e167,
        1e168, 1e169, 1e170, 1e171, 1e172, 1e173, 1e174, 1e175, 1e176, 1e177, 1e178, 1e179, 1e180, 1e181,
        1e182, 1e183, 1e184, 1e185, 1e186, 1e187, 1e188, 1e189, 1e190, 1e191, 1e192, 1e193, 1e194, 1e195,
        1e196, 1e197, 1e198, 1e199, 1e200, 1e201, 1e202, 1e203, 1e204, 1e205, 1e206, 1e207, 1e208, 1e209,
        1e210, 1e211, 1e212, 1e213, 1e214, 1e215, 1e216, 1e217, 1e218, 1e219, 1e220, 1e221, 1e222, 1e223,
        1e224, 1e225, 1e226, 1e227, 1e228, 1e229, 1e230, 1e231, 1e232, 1e233, 1e234, 1e235, 1e236, 1e237,
        1e238, 1e239, 1e240, 1e241, 1e242, 1e243, 1e244, 1e245, 1e246, 1e247, 1e248, 1e249, 1e250, 1e251,
        1e252, 1e253, 1e254, 1e255, 1e256, 1e257, 1e258, 1e259, 1e260, 1e261, 1e262, 1e263, 1e264, 1e265,
        1e266, 1e267, 1e268, 1e269, 1e270, 1e271, 1e272, 1e273, 1e274, 1e275, 1e276, 1e277, 1e278, 1e279,
        1e280, 1e281, 1e282, 1e283, 1e284, 1e285, 1e286, 1e287, 1e288, 1e289, 1e290, 1e291, 1e292, 1e293,
        1e294, 1e295, 1e296, 1e297, 1e298, 1e299, 1e300, 1e301, 1e302, 1e303, 1e304, 1e305, 1e306, 1e307,
        1e308};
    constexpr int kMaxDigits = 17;
    Scan r;
    bool negative = false;
    if (c.at(p) == '-') {
        negative = true;
        ++p;
    } else if (c.at(p) == '+') {
        ++p;
    }
    long long exponent = 0;
    int num_digits = 0;
    long long num_decimals = 0;
    bool saw_digit = false;
    uint64_t mantissa = 0;

    while (is_digit(c.at(p))) {
        saw_digit = true;
        if (num_digits == 0 && c.at(p) == '0') {  // leading zeros carry no digit
        } else if (num_digits < kMaxDigits) {
            mantissa = mantissa * 10 + static_cast<uint64_t>(c.at(p) - '0');
            ++num_digits;
        } else {
            ++exponent;
        }
        ++p;
    }
    if (c.at(p) == '.') {
        r.maybe_int = false;
        ++p;
        while (is_digit(c.at(p))) {
            if (num_digits == 0 && c.at(p) == '0') {
                saw_digit = true;
                ++num_decimals;
                ++p;
                continue;
            }
            if (num_digits >= kMaxDigits) break;
            saw_digit = true;
            mantissa = mantissa * 10 + static_cast<uint64_t>(c.at(p) - '0');
            ++num_digits;
            ++num_decimals;
            ++p;
        }
        if (num_digits >= kMaxDigits)
            while (is_digit(c.at(p))) ++p;
        exponent -= num_decimals;
    }
    if (!saw_digit) {
        r.error = true;
        return r;
    }
    double number = static_cast<double>(mantissa);
    if (negative) number = -number;

    if (c.at(p) == 'e' || c.at(p) == 'E') {
        r.maybe_int = false;
        ++p;
        // strtol: blanks, a sign, decimal digits; saturates on overflow.
        std::size_t q = p;
        while (is_ascii_space(c.at(q))) ++q;
        bool exp_negative = false;
        if (c.at(q) == '+' || c.at(q) == '-') exp_negative = c.at(q++) == '-';
        if (!is_digit(c.at(q))) {
            --p;  // no digits: the 'e' is not part of the number
        } else {
            bool saturated = false;
            unsigned long long n = 0;
            const unsigned long long limit =
                exp_negative ? 9223372036854775808ULL : 9223372036854775807ULL;
            for (; is_digit(c.at(q)); ++q) {
                const unsigned d = static_cast<unsigned>(c.at(q) - '0');
                if (!saturated && n > (limit - d) / 10) saturated = true;
                if (!saturated) n = n * 10 + d;
            }
            long long value;
            if (saturated)
                value = exp_negative ? std::numeric_limits<long long>::min()
                                     : std::numeric_limits<long long>::max();
            else
                value = exp_negative ? static_cast<long long>(0 - n) : static_cast<long long>(n);
            long long sum;
            if (saturated || portable::add_overflow(exponent, value, sum))
                exponent = value;
            else
                exponent = sum;
            p = q;
        }
    }

    if (exponent > 308) {
        number = number == 0 ? 0 : number < 0 ? -HUGE_VAL : HUGE_VAL;
    } else if (exponent > 0) {
        number *= kPow10[exponent];
    } else if (exponent < -308) {
        if (exponent < -616) {
            number = 0.;
        } else {
            number /= kPow10[-308 - exponent];
            number /= kPow10[308];
        }
    } else {
        number /= kPow10[-exponent];
    }
    while (is_ascii_space(c.at(p))) ++p;
    r.value = number;
    r.end = p;
    return r;
}

// Exact value of an accepted integer text ("  -0012 "): magnitude, sign, and whether it fits
// in 64 bits at all.
bool integer_value(std::string_view text, uint64_t& magnitude, bool& negative) {
    std::size_t p = 0;
    while (p < text.size() && is_ascii_space(text[p])) ++p;
    negative = false;
    if (p < text.size() && (text[p] == '+' || text[p] == '-')) negative = text[p++] == '-';
    magnitude = 0;
    for (; p < text.size() && is_digit(text[p]); ++p) {
        const uint64_t d = static_cast<uint64_t>(text[p] - '0');
        if (magnitude > (std::numeric_limits<uint64_t>::max() - d) / 10) return false;
        magnitude = magnitude * 10 + d;
    }
    if (magnitude == 0) negative = false;
    return true;
}

// Unicode white space as Python's str.isspace() defines it.
inline bool is_unicode_space(uint32_t cp) {
    if (cp <= 0x20) return cp == 0x20 || (cp >= 0x09 && cp <= 0x0D) || (cp >= 0x1C && cp <= 0x1F);
    if (cp < 0x85) return false;
    return cp == 0x85 || cp == 0xA0 || cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 ||
           cp == 0x2029 || cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

// Decodes the code point starting at `s[i]`; returns its length, or 0 for a malformed one.
std::size_t decode_at(std::string_view s, std::size_t i, uint32_t& cp) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    std::size_t len;
    if (b0 < 0x80) {
        cp = b0;
        return 1;
    } else if ((b0 & 0xE0) == 0xC0) {
        len = 2;
        cp = b0 & 0x1F;
    } else if ((b0 & 0xF0) == 0xE0) {
        len = 3;
        cp = b0 & 0x0F;
    } else if ((b0 & 0xF8) == 0xF0) {
        len = 4;
        cp = b0 & 0x07;
    } else {
        return 0;
    }
    if (i + len > s.size()) return 0;
    for (std::size_t k = 1; k < len; ++k) {
        const auto b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b & 0x3F);
    }
    return len;
}

inline float to_float32(double v) { return static_cast<float>(v); }

}  // namespace

ParsedNumber parse_number(std::string_view text) {
    ParsedNumber out;
    const Cursor c{text.data(), text.size()};
    std::size_t p = 0;
    while (p < c.n && is_ascii_space(c.s[p])) ++p;
    std::size_t q = p;
    if (c.at(q) == '-' || c.at(q) == '+') ++q;
    const bool numeric_looking = is_digit(c.at(q)) || (c.at(q) == '.' && is_digit(c.at(q + 1)));

    bool accepted = false;
    Scan scan;
    if (numeric_looking) {
        scan = c.at(p) == '+' ? scan_legacy(c, p) : scan_exact(c, p);
        accepted = !scan.error && scan.end == c.n;
    }
    if (!accepted) {
        const int sign = infinity_sign(text);
        if (sign == 0) return out;
        out.kind = ParsedNumber::Real;
        out.real = sign > 0 ? HUGE_VAL : -HUGE_VAL;
        return out;
    }
    out.real = scan.value;
    if (!scan.maybe_int) {
        out.kind = ParsedNumber::Real;
        return out;
    }
    uint64_t magnitude;
    bool negative;
    if (!integer_value(text, magnitude, negative) ||
        (negative && magnitude > (uint64_t{1} << 63))) {
        out.kind = ParsedNumber::IntegerOutOfRange;
        return out;
    }
    out.kind = ParsedNumber::Integer;
    out.magnitude = magnitude;
    out.negative = negative;
    return out;
}

std::string_view strip_whitespace(std::string_view s) {
    std::size_t begin = 0;
    while (begin < s.size()) {
        uint32_t cp;
        const std::size_t len = decode_at(s, begin, cp);
        if (len == 0 || !is_unicode_space(cp)) break;
        begin += len;
    }
    std::size_t end = s.size();
    while (end > begin) {
        std::size_t start = end - 1;
        // Step back over continuation bytes to the lead byte (at most three).
        while (start > begin && end - start < 4 && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80)
            --start;
        uint32_t cp;
        const std::size_t len = decode_at(s, start, cp);
        if (len == 0 || start + len != end || !is_unicode_space(cp)) break;
        end = start;
    }
    return s.substr(begin, end - begin);
}

void NumberColumn::add_missing(float* out, std::size_t index) {
    float_ = true;
    out[index] = std::numeric_limits<float>::quiet_NaN();
}

namespace {

// The usual sample, [-]digits.digits with at most 15 digits in all: the digits are exact in a
// double and so is the power of ten, so one division gives the correctly rounded value, as the
// full parse does for it.
bool plain_fraction(std::string_view text, double& value) {
    static constexpr double kPow10[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    const char* p = text.data();
    const char* const end = p + text.size();
    const bool negative = p < end && *p == '-';
    if (negative) ++p;
    uint64_t mantissa = 0;
    const char* const whole = p;
    while (p < end && is_digit(*p)) mantissa = mantissa * 10 + static_cast<uint64_t>(*p++ - '0');
    const auto whole_digits = p - whole;
    if (whole_digits == 0 || p == end || *p != '.') return false;
    const char* const fraction = ++p;
    while (p < end && is_digit(*p)) mantissa = mantissa * 10 + static_cast<uint64_t>(*p++ - '0');
    const auto fraction_digits = p - fraction;
    if (fraction_digits == 0 || p != end || whole_digits + fraction_digits > 15) return false;
    value = static_cast<double>(mantissa) / kPow10[fraction_digits];
    if (negative) value = -value;
    return true;
}

}  // namespace

void NumberColumn::absorb(const NumberColumn& other) {
    float_ = float_ || other.float_;
    int_ = int_ || other.int_;
    uint_ = uint_ || other.uint_;
    sint_ = sint_ || other.sint_;
    integer_results_.insert(integer_results_.end(), other.integer_results_.begin(), other.integer_results_.end());
}

void NumberColumn::add_text(std::string_view text, float* out, std::size_t index) {
    double quick;
    if (plain_fraction(text, quick)) {
        float_ = true;
        out[index] = to_float32(quick);
        return;
    }
    const ParsedNumber n = parse_number(text);
    switch (n.kind) {
        case ParsedNumber::NotANumber:
            float_ = true;
            out[index] = std::numeric_limits<float>::quiet_NaN();
            return;
        case ParsedNumber::Real:
            float_ = true;
            out[index] = to_float32(n.real);
            return;
        case ParsedNumber::IntegerOutOfRange:
            int_ = true;
            float_ = true;
            out[index] = to_float32(n.real);
            return;
        case ParsedNumber::Integer: {
            int_ = true;
            float as_integer;
            if (n.negative) {
                sint_ = true;
                const int64_t v = n.magnitude == (uint64_t{1} << 63) ? std::numeric_limits<int64_t>::min()
                                                                      : -static_cast<int64_t>(n.magnitude);
                as_integer = static_cast<float>(v);
            } else {
                if (n.magnitude > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) uint_ = true;
                as_integer = static_cast<float>(n.magnitude);
            }
            const float as_real = to_float32(n.real);
            out[index] = as_real;
            // Differs only for "-0" and for integers beyond 2**53.
            if (std::bit_cast<uint32_t>(as_real) != std::bit_cast<uint32_t>(as_integer))
                integer_results_.emplace_back(index, as_integer);
            return;
        }
    }
}

void NumberColumn::finish(float* out) const {
    if (floating()) return;
    for (const auto& [index, value] : integer_results_) out[index] = value;
}

void parse_column(std::span<const TextCell> cells, float* out) {
    NumberColumn column;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        if (cells[i].missing)
            column.add_missing(out, i);
        else
            column.add_text(cells[i].view(), out, i);
    }
    column.finish(out);
}

}  // namespace lumoreq::core
