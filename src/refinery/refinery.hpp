// The series-processing module: resampling, the Hampel (rolling MAD) filter and normalised
// dates. Each file registers its functions on the module.
#pragma once

#include "bind/bind.hpp"

namespace lumoreq::refinery {

void register_resample(py::module_& m);
void register_hampel(py::module_& m);
void register_dates(py::module_& m);

// Python's truth value of an object (raises what the object's __bool__ raises).
inline bool truthy(const py::handle& value) {
    const int r = PyObject_IsTrue(value.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

// Python's `a == b` as a truth value, through the objects' own comparison.
inline bool equals(const py::handle& a, const py::handle& b) {
    const py::object r = py::reinterpret_steal<py::object>(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ));
    if (!r) throw py::error_already_set();
    return truthy(r);
}

}  // namespace lumoreq::refinery
