#include "fetching/fetching.hpp"

namespace lumoreq::fetching {

// Not built yet.
void register_metadata(py::module_&) {}

}  // namespace lumoreq::fetching
