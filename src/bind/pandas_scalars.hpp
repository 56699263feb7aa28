// Whether pandas' reductions answer numpy scalars (the default) or Python scalars (the
// `future.python_scalars` option). Native code that stands in for a reduction must give the
// same type, so it steps aside under that option; an option this pandas lacks counts as set.
#pragma once

#include "bind/bind.hpp"

namespace lumoreq::bind {

inline bool pandas_numpy_scalars() {
    try {
        return !py::bool_(py::module_::import("pandas").attr("get_option")("future.python_scalars"));
    } catch (py::error_already_set&) {
        return false;
    }
}

}  // namespace lumoreq::bind
