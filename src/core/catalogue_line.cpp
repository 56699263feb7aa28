#include "core/catalogue_line.hpp"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "core/portable.hpp"

namespace lumoreq::catalogue {
namespace {

// One code point from valid UTF-8 at p (advanced past it).
inline char32_t next_cp(const unsigned char*& p) {
    const unsigned char c = *p;
    if (c < 0x80) {
        ++p;
        return c;
    }
    if (c < 0xE0) {
        const char32_t v = ((c & 0x1Fu) << 6) | (p[1] & 0x3Fu);
        p += 2;
        return v;
    }
    if (c < 0xF0) {
        const char32_t v = ((c & 0x0Fu) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu);
        p += 3;
        return v;
    }
    const char32_t v = ((c & 0x07u) << 18) | ((p[1] & 0x3Fu) << 12) | ((p[2] & 0x3Fu) << 6) | (p[3] & 0x3Fu);
    p += 4;
    return v;
}

// The code point that ends just before `end` (moved back to its first byte).
inline char32_t prev_cp(const unsigned char* begin, const unsigned char*& end) {
    const unsigned char* q = end - 1;
    while (q > begin && (*q & 0xC0u) == 0x80u) --q;
    const unsigned char* r = q;
    const char32_t v = next_cp(r);
    end = q;
    return v;
}

inline bool is_space(char32_t c, const CharClasses& cc) {
    if (c < 0x80) return c == ' ' || (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x1F);
    return cc.is_space(c);
}

inline int decimal_of(char32_t c, const CharClasses& cc) {
    if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
    if (c < 0x80) return -1;
    return cc.decimal(c);
}

// Stripped character range [b, e) of a small code-point buffer.
inline void strip_range(const char32_t* cps, std::size_t& b, std::size_t& e, const CharClasses& cc) {
    while (b < e && is_space(cps[b], cc)) ++b;
    while (e > b && is_space(cps[e - 1], cc)) --e;
}

inline bool ascii_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
inline bool ascii_digit(char c) { return c >= '0' && c <= '9'; }
inline char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool match_word(const std::string& s, std::size_t at, const char* word) {
    for (std::size_t i = 0; word[i]; ++i)
        if (at + i >= s.size() || ascii_lower(s[at + i]) != word[i]) return false;
    return true;
}

// Correctly rounded decimal text -> double, independent of the process locale. The text is
// [sign] digits [. digits] [e [sign] digits]. Beyond the range of double it gives what the C
// parser gives: an infinity for a large number, a zero for a tiny one, with the sign.
double decimal_to_double(const char* text, std::size_t n) {
    const char* first = text;
    const char* last = text + n;
    const bool negative = *first == '-';
    if (negative || *first == '+') ++first;
    double v = 0.0;
    if (portable::parse_double(first, last, v).ec == std::errc::result_out_of_range) {
        // The decimal exponent of the leading significant digit tells which end was passed.
        long long int_digits = 0, index = 0, first_nonzero = -1, exponent = 0;
        bool point = false;
        const char* p = first;
        for (; p < last && (ascii_digit(*p) || *p == '.'); ++p) {
            if (*p == '.') {
                point = true;
                continue;
            }
            if (!point) ++int_digits;
            if (first_nonzero < 0 && *p != '0') first_nonzero = index;
            ++index;
        }
        if (p < last && (*p == 'e' || *p == 'E')) {
            ++p;
            const bool exp_negative = p < last && *p == '-';
            if (p < last && (*p == '+' || *p == '-')) ++p;
            for (; p < last && ascii_digit(*p); ++p)
                if (exponent < 1000000000LL) exponent = exponent * 10 + (*p - '0');
            if (exp_negative) exponent = -exponent;
        }
        v = int_digits - 1 - first_nonzero + exponent > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    }
    return negative ? -v : v;
}

// ---- the "%Y%m%d%H%M%S" pattern, tried alternative by alternative like a backtracking regex ----

// One alternative: up to two character tests. 'D' is any decimal digit, a pair "lo-hi" an
// ASCII range, a single other character that literal character.
struct Piece {
    char lo, hi;  // lo == 'D': any decimal digit
};
struct Alternative {
    Piece p[2];
    int n;
};
struct Field {
    const Alternative* alts;
    int count;
};

constexpr Piece D{'D', 'D'};
constexpr Piece R(char lo, char hi) { return Piece{lo, hi}; }
constexpr Piece L(char c) { return Piece{c, c}; }

constexpr Alternative kYear[] = {{{D, D}, 2}};  // used twice: four digits
constexpr Alternative kMonth[] = {{{L('1'), R('0', '2')}, 2}, {{L('0'), R('1', '9')}, 2}, {{R('1', '9')}, 1}};
constexpr Alternative kDay[] = {{{L('3'), R('0', '1')}, 2},
                                {{R('1', '2'), D}, 2},
                                {{L('0'), R('1', '9')}, 2},
                                {{R('1', '9')}, 1},
                                {{L(' '), R('1', '9')}, 2}};
constexpr Alternative kHour[] = {{{L('2'), R('0', '3')}, 2}, {{R('0', '1'), D}, 2}, {{D}, 1}};
constexpr Alternative kMinute[] = {{{R('0', '5'), D}, 2}, {{D}, 1}};
constexpr Alternative kSecond[] = {{{L('6'), R('0', '1')}, 2}, {{R('0', '5'), D}, 2}, {{D}, 1}};

constexpr Field kFields[] = {{kYear, 1}, {kYear, 1},   {kMonth, 3}, {kDay, 5},
                             {kHour, 3}, {kMinute, 2}, {kSecond, 3}};
constexpr int kFieldCount = 7;  // the year is two two-digit pieces

inline bool piece_matches(const Piece& piece, char32_t c, const CharClasses& cc) {
    if (piece.lo == 'D') return decimal_of(c, cc) >= 0;
    return c >= static_cast<char32_t>(piece.lo) && c <= static_cast<char32_t>(piece.hi);
}

// First match in the pattern's priority order; `ends[k]` is where field k ends.
bool match_from(const char32_t* s, std::size_t n, int field, std::size_t pos, std::size_t* ends,
                const CharClasses& cc) {
    if (field == kFieldCount) return true;
    const Field& f = kFields[field];
    for (int a = 0; a < f.count; ++a) {
        const Alternative& alt = f.alts[a];
        if (pos + static_cast<std::size_t>(alt.n) > n) continue;
        bool ok = true;
        for (int k = 0; k < alt.n && ok; ++k) ok = piece_matches(alt.p[k], s[pos + k], cc);
        if (!ok) continue;
        ends[field] = pos + alt.n;
        if (match_from(s, n, field + 1, pos + alt.n, ends, cc)) return true;
    }
    return false;
}

// int() of a matched group: decimal digits, a leading blank allowed (the day's " 7").
int group_value(const char32_t* s, std::size_t b, std::size_t e, const CharClasses& cc) {
    int v = 0;
    for (std::size_t i = b; i < e; ++i) {
        const int d = decimal_of(s[i], cc);
        if (d >= 0) v = v * 10 + d;
    }
    return v;
}

bool leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int days_in_month(int y, int m) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && leap(y) ? 29 : kDays[m - 1];
}

// Days from 1970-01-01 of a proleptic Gregorian date.
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

}  // namespace

bool valid_utf8(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* end = p + bytes.size();
    while (p < end) {
        // Eight ASCII bytes at a time: catalogues are mostly ASCII.
        while (end - p >= 8) {
            std::uint64_t word;
            std::memcpy(&word, p, 8);
            if (word & 0x8080808080808080ULL) break;
            p += 8;
        }
        if (p == end) break;
        const unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        std::size_t len;
        unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;  // no surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        } else {
            return false;
        }
        if (static_cast<std::size_t>(end - p) < len) return false;
        if (p[1] < lo || p[1] > hi) return false;
        for (std::size_t k = 2; k < len; ++k)
            if ((p[k] & 0xC0u) != 0x80u) return false;
        p += len;
    }
    return true;
}

bool parse_host_float(const char32_t* text, std::size_t n, const CharClasses& cc, double& out) {
    // Non-ASCII blanks become spaces and decimal digits ASCII digits; anything else outside
    // ASCII cannot be a number.
    char small[64];
    std::string big;
    char* buf = small;
    if (n + 1 > sizeof small) {
        big.resize(n + 1);
        buf = big.data();
    }
    std::size_t len = 0;
    bool underscore = false;
    for (std::size_t i = 0; i < n; ++i) {
        const char32_t c = text[i];
        if (c == 0) return false;  // the C parser stops at a NUL: never the whole text
        if (c < 127) {
            underscore |= c == '_';
            buf[len++] = static_cast<char>(c);
        } else if (cc.is_space(c)) {
            buf[len++] = ' ';
        } else {
            const int d = cc.decimal(c);
            if (d < 0) return false;
            buf[len++] = static_cast<char>('0' + d);
        }
    }
    // Underscores only between two digits, then dropped.
    if (underscore) {
        std::size_t w = 0;
        char prev = '\0';
        for (std::size_t i = 0; i < len; ++i) {
            const char c = buf[i];
            if (c == '_') {
                if (!ascii_digit(prev)) return false;
            } else {
                if (prev == '_' && !ascii_digit(c)) return false;
                buf[w++] = c;
            }
            prev = c;
        }
        if (prev == '_') return false;
        len = w;
    }
    std::size_t b = 0, e = len;
    while (b < e && ascii_space(buf[b])) ++b;
    while (e > b && ascii_space(buf[e - 1])) --e;
    if (b == e) return false;
    const char* s = buf + b;
    const std::size_t m = e - b;

    std::size_t i = 0;
    bool negative = false;
    if (s[i] == '+' || s[i] == '-') negative = s[i++] == '-';
    // Decimal digits, gathered for the exact short path as well.
    std::uint64_t mantissa = 0;
    int significant = 0, fraction = 0;
    std::size_t digits = 0;
    while (i < m && ascii_digit(s[i])) {
        if (mantissa || s[i] != '0') ++significant;
        if (significant <= 19) mantissa = mantissa * 10 + static_cast<unsigned>(s[i] - '0');
        ++i, ++digits;
    }
    if (i < m && s[i] == '.') {
        ++i;
        while (i < m && ascii_digit(s[i])) {
            if (mantissa || s[i] != '0') ++significant;
            if (significant <= 19) mantissa = mantissa * 10 + static_cast<unsigned>(s[i] - '0');
            ++i, ++digits, ++fraction;
        }
    }
    if (digits == 0) {
        // Not a decimal: perhaps inf, infinity or nan, in any case.
        const std::string word(s, m);
        std::size_t j = (s[0] == '+' || s[0] == '-') ? 1 : 0;
        double v;
        if (match_word(word, j, "inf")) {
            j += 3;
            if (match_word(word, j, "inity")) j += 5;
            v = std::numeric_limits<double>::infinity();
        } else if (match_word(word, j, "nan")) {
            j += 3;
            v = std::numeric_limits<double>::quiet_NaN();
        } else {
            return false;
        }
        if (j != m) return false;
        out = negative ? -v : v;
        return true;
    }
    long exponent = 0;
    bool huge_exponent = false;
    if (i < m && (s[i] == 'e' || s[i] == 'E')) {
        std::size_t j = i + 1;
        bool eneg = false;
        if (j < m && (s[j] == '+' || s[j] == '-')) eneg = s[j++] == '-';
        const std::size_t first = j;
        while (j < m && ascii_digit(s[j])) {
            if (exponent < 100000)
                exponent = exponent * 10 + (s[j] - '0');
            else
                huge_exponent = true;
            ++j;
        }
        if (j > first) {  // an exponent without digits is not part of the number
            i = j;
            if (eneg) exponent = -exponent;
        } else {
            exponent = 0;
        }
    }
    if (i != m) return false;
    // Exact operands, one correctly rounded operation: the same double as a full conversion.
    static constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                        1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    const long p = exponent - fraction;
    if (!huge_exponent && significant <= 15 && p >= -22 && p <= 22) {
        const double v = static_cast<double>(mantissa);
        const double r = p < 0 ? v / kPow10[-p] : v * kPow10[p];
        out = negative ? -r : r;
        return true;
    }
    out = decimal_to_double(s, m);
    return true;
}

bool is_clock_word(const char32_t* text, std::size_t n) {
    auto equals = [&](const char* w) {
        std::size_t k = 0;
        for (; w[k]; ++k)
            if (k >= n || text[k] != static_cast<char32_t>(w[k])) return false;
        return k == n;
    };
    return equals("now") || equals("today");
}

bool parse_event_time(const char32_t* s, std::size_t n, const CharClasses& cc, std::int64_t& seconds) {
    // Fourteen ASCII digits whose two-digit fields are all in range: the pattern's first
    // choices (two-character alternatives come before one-character ones) take them all.
    if (n == 14) {
        int v[7];
        bool plain = true;
        for (int k = 0; k < 7 && plain; ++k) {
            const char32_t a = s[2 * k], b = s[2 * k + 1];
            plain = a >= '0' && a <= '9' && b >= '0' && b <= '9';
            v[k] = plain ? static_cast<int>((a - '0') * 10 + (b - '0')) : 0;
        }
        if (plain && v[2] >= 1 && v[2] <= 12 && v[3] >= 1 && v[3] <= 31 && v[4] <= 23 && v[5] <= 59 &&
            v[6] <= 61) {
            const int year = v[0] * 100 + v[1];
            if (year < 1 || v[3] > days_in_month(year, v[2])) return false;
            seconds =
                days_from_civil(year, static_cast<unsigned>(v[2]), static_cast<unsigned>(v[3])) * 86400 +
                v[4] * 3600 + v[5] * 60 + v[6];
            return true;
        }
    }
    std::size_t ends[kFieldCount];
    if (n == 0 || !match_from(s, n, 0, 0, ends, cc)) return false;
    if (ends[kFieldCount - 1] != n) return false;  // unconverted text remains
    const int year = group_value(s, 0, ends[1], cc);
    const int month = group_value(s, ends[1], ends[2], cc);
    const int day = group_value(s, ends[2], ends[3], cc);
    const int hour = group_value(s, ends[3], ends[4], cc);
    const int minute = group_value(s, ends[4], ends[5], cc);
    const int second = group_value(s, ends[5], ends[6], cc);
    if (year < 1 || day > days_in_month(year, month)) return false;  // no such calendar date
    seconds = days_from_civil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
              hour * 3600 + minute * 60 + second;
    return true;
}

Catalogue parse_catalogue(std::string_view utf8, const CharClasses& cc, bool keep_time_text) {
    Catalogue out;
    const std::size_t guess = utf8.size() / 48 + 16;  // catalogue lines run 50 to 80 bytes
    for (auto* v : {&out.name_start, &out.name_size}) v->reserve(guess);
    for (auto* v : {&out.lat, &out.lon, &out.magnitude}) v->reserve(guess);
    out.seconds.reserve(guess);
    out.time_ok.reserve(guess);
    const auto* base = reinterpret_cast<const unsigned char*>(utf8.data());
    const auto* end = base + utf8.size();
    const auto* line = base;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    char32_t cps[39];
    const unsigned char* cp_at[40];

    auto field = [&](std::size_t have, std::size_t from, std::size_t to) {
        std::size_t b = from < have ? from : have;
        std::size_t e = to < have ? to : have;
        strip_range(cps, b, e, cc);
        double v;
        return parse_host_float(cps + b, e - b, cc, v) ? v : nan;
    };

    while (line < end) {
        const auto* stop = line;
        while (stop < end && *stop != '\n' && *stop != '\r') ++stop;
        const auto* next = stop;
        if (next < end) next += (*next == '\r' && next + 1 < end && next[1] == '\n') ? 2 : 1;

        // The first 39 characters, each with where it starts.
        std::size_t have = 0;
        const unsigned char* p = line;
        bool blank = true;
        while (p < stop && have < 39) {
            cp_at[have] = p;
            cps[have] = next_cp(p);
            if (blank && !is_space(cps[have], cc)) blank = false;
            ++have;
        }
        cp_at[have] = p;
        // The rest of the line only matters for the place name.
        const unsigned char* name_b = p;
        const unsigned char* name_e = stop;
        while (name_b < name_e) {
            const unsigned char* q = name_b;
            if (!is_space(next_cp(q), cc)) break;
            name_b = q;
        }
        while (name_e > name_b) {
            const unsigned char* q = name_e;
            if (!is_space(prev_cp(name_b, q), cc)) break;
            name_e = q;
        }
        if (blank && name_b == name_e) {
            line = next;
            continue;
        }

        std::size_t tb = 0, te = have < 14 ? have : 14;
        strip_range(cps, tb, te, cc);
        std::int64_t secs = 0;
        bool ok = false;
        if (is_clock_word(cps + tb, te - tb))
            out.has_clock_word = true;
        else
            ok = parse_event_time(cps + tb, te - tb, cc, secs);
        out.seconds.push_back(secs);
        out.time_ok.push_back(ok);
        if (keep_time_text) {
            out.time_start.push_back(static_cast<std::size_t>(cp_at[tb] - base));
            out.time_size.push_back(static_cast<std::size_t>(cp_at[te] - cp_at[tb]));
        }

        out.lat.push_back(field(have, 15, 21));
        out.lon.push_back(field(have, 21, 27));
        out.magnitude.push_back(field(have, 28, 32));

        if (have == 39 && name_b < name_e) {
            out.name_start.push_back(static_cast<std::size_t>(name_b - base));
            out.name_size.push_back(static_cast<std::size_t>(name_e - name_b));
        } else {
            out.name_start.push_back(0);
            out.name_size.push_back(0);
        }
        line = next;
    }
    return out;
}

}  // namespace lumoreq::catalogue
