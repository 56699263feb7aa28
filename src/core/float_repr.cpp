#include "core/float_repr.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace lumoreq::text {

void append_host_float_repr(std::string& out, double x) {
    if (std::isnan(x)) {
        out += "nan";
        return;
    }
    if (std::isinf(x)) {
        out += x < 0 ? "-inf" : "inf";
        return;
    }
    // Shortest digits in scientific form: "d.ddde+XX".
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, std::fabs(x), std::chars_format::scientific);
    const std::string sci(buf, res.ptr);
    const auto epos = sci.find('e');
    std::string digits;
    for (std::size_t i = 0; i < epos; ++i)
        if (sci[i] != '.') digits.push_back(sci[i]);
    const int exponent = std::atoi(sci.c_str() + epos + 1);
    const int decpt = exponent + 1;  // digits are 0.d1d2... * 10^decpt
    const int nd = static_cast<int>(digits.size());
    if (std::signbit(x)) out.push_back('-');
    if (decpt <= -4 || decpt > 16) {
        out.push_back(digits[0]);
        if (nd > 1) {
            out.push_back('.');
            out.append(digits, 1, std::string::npos);
        }
        out.push_back('e');
        const int e = decpt - 1;
        out.push_back(e < 0 ? '-' : '+');
        const int ae = std::abs(e);
        if (ae < 10) out.push_back('0');
        out += std::to_string(ae);
    } else if (decpt <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-decpt), '0');
        out += digits;
    } else if (decpt >= nd) {
        out += digits;
        out.append(static_cast<std::size_t>(decpt - nd), '0');
        out += ".0";
    } else {
        out.append(digits, 0, static_cast<std::size_t>(decpt));
        out.push_back('.');
        out.append(digits, static_cast<std::size_t>(decpt), std::string::npos);
    }
}

}  // namespace lumoreq::text
