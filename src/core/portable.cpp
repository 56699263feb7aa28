#include "core/portable.hpp"

#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <string>

#if defined(_WIN32)
#include <locale.h>
#elif defined(__APPLE__)
#include <xlocale.h>
#else
#include <locale.h>
#endif

namespace lumoreq::portable {
namespace {

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }
inline char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool starts_with_word(const char* p, const char* last, const char* word) {
    for (; *word; ++word, ++p)
        if (p == last || lower(*p) != *word) return false;
    return true;
}

// End of the longest prefix of [first, last) that from_chars reads as a number (general
// format), or nullptr when there is none.
const char* number_end(const char* first, const char* last) {
    const char* p = first;
    if (p < last && *p == '-') ++p;
    if (starts_with_word(p, last, "inf")) return p + (starts_with_word(p, last, "infinity") ? 8 : 3);
    if (starts_with_word(p, last, "nan")) {
        p += 3;
        if (p < last && *p == '(') {  // nan(n-char-sequence)
            const char* q = p + 1;
            while (q < last && (is_digit(*q) || (lower(*q) >= 'a' && lower(*q) <= 'z') || *q == '_')) ++q;
            if (q < last && *q == ')') p = q + 1;
        }
        return p;
    }
    std::size_t digits = 0;
    while (p < last && is_digit(*p)) ++p, ++digits;
    if (p < last && *p == '.') {
        ++p;
        while (p < last && is_digit(*p)) ++p, ++digits;
    }
    if (digits == 0) return nullptr;
    if (p < last && (*p == 'e' || *p == 'E')) {
        const char* q = p + 1;
        if (q < last && (*q == '+' || *q == '-')) ++q;
        if (q < last && is_digit(*q)) {
            while (q < last && is_digit(*q)) ++q;
            p = q;
        }
    }
    return p;
}

double strtod_c_locale(const char* text) {
#if defined(_WIN32)
    static const _locale_t c_locale = _create_locale(LC_NUMERIC, "C");
    return _strtod_l(text, nullptr, c_locale);
#else
    static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return strtod_l(text, nullptr, c_locale);
#endif
}

}  // namespace

std::from_chars_result parse_double_c_locale(const char* first, const char* last, double& value) {
    const char* end = number_end(first, last);
    if (end == nullptr) return {first, std::errc::invalid_argument};
    // strtod reads up to a NUL: hand it exactly the number.
    char small[64];
    std::string big;
    const std::size_t n = static_cast<std::size_t>(end - first);
    char* text = small;
    if (n + 1 > sizeof small) {
        big.resize(n + 1);
        text = big.data();
    }
    std::memcpy(text, first, n);
    text[n] = '\0';
    const int saved_errno = errno;
    errno = 0;
    const double v = strtod_c_locale(text);
    const bool range_error = errno == ERANGE;
    errno = saved_errno;
    // Subnormal results are values like any other; only overflow to infinity and underflow
    // to zero are out of range.
    if (range_error && (std::isinf(v) || v == 0)) return {end, std::errc::result_out_of_range};
    value = v;
    return {end, std::errc()};
}

}  // namespace lumoreq::portable
