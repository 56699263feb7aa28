// The host's repr() of a float: shortest round-trip digits, fixed notation for decimal
// exponents -4 <= e < 16, else d.ddde+XX; "inf", "-inf", "nan".
#pragma once

#include <string>

namespace lumoreq::text {

void append_host_float_repr(std::string& out, double x);

}  // namespace lumoreq::text
