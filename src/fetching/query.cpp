#include "fetching/fetching.hpp"

namespace lumoreq::fetching {

// Not built yet.
void register_query(py::module_&) {}

}  // namespace lumoreq::fetching
