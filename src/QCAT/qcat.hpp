#pragma once

#include "bind/bind.hpp"

namespace lumoreq::qcat {

void register_reader(py::module_& m);
void register_filter(py::module_& m);

}  // namespace lumoreq::qcat
