#include "fetching/fetching.hpp"

namespace lumoreq::fetching {

// Not built yet.
void register_compat(py::module_&) {}

}  // namespace lumoreq::fetching
