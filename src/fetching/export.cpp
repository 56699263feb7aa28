#include "fetching/fetching.hpp"

namespace lumoreq::fetching {

// Not built yet.
void register_export(py::module_&) {}

}  // namespace lumoreq::fetching
