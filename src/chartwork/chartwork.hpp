// The time-series plotter: shared declarations of the binding files of `lumoreq.chartwork`.
#pragma once

#include <optional>
#include <string>

#include "bind/bind.hpp"
#include "bind/pyclass.hpp"

namespace lumoreq::chartwork {

namespace bind = lumoreq::bind;

// Resolution at which the builders save their figures (the default of _save_figure); the line
// reduction sizes its columns from it.
constexpr int kSaveDpi = 300;

void register_core(bind::MethodClass& cls, const bind::ModuleRef& mod);
void register_decorations(bind::MethodClass& cls, const bind::ModuleRef& mod);
void register_builders(bind::MethodClass& cls, const bind::ModuleRef& mod);
void register_builder_hooks(py::module_& m);

// str(x) as UTF-8.
std::string text_of(py::handle x);

// Python truthiness.
inline bool truthy(py::handle x) {
    const int r = PyObject_IsTrue(x.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

// The x and y arrays to hand to `Axes.plot` for a line of `values` against `index`: every point,
// or, for a series much longer than the figure is wide in pixels, its per-column
// first/minimum/maximum/last reduction (see core/display_reduce.hpp).
py::tuple line_arrays(const bind::ModuleRef& mod, py::object fig, py::object index, py::object values);

// How many values of a float column are present, and its extremes as the table library would
// return them (numpy scalars of the column's type); min/max are empty when the library must be
// asked (no value present, or a zero whose sign only its scan order decides).
struct ColumnSummary {
    std::size_t count = 0;
    std::optional<py::object> min, max;
};
// Empty for anything but a plain numpy float32/float64 column.
std::optional<ColumnSummary> summarize_column(py::handle column);
// `column.min()`, `column.max()` and `column.isnull().all()`, answered from the summary when it
// can, else by the table library.
py::object column_min(py::handle column, const std::optional<ColumnSummary>& s);
py::object column_max(py::handle column, const std::optional<ColumnSummary>& s);
bool column_all_missing(py::handle column, const std::optional<ColumnSummary>& s);

// A matplotlib ScalarFormatter subclass whose labels never read "−0" (kept as the module's
// `_SignlessZeroFormatter`).
py::object signless_zero_formatter_class(py::module_& m);

// Lays out the earthquake labels of a finished figure so they stay legible; `quakes` holds one
// (secondary axes, magnitudes of its labelled events in label order) pair per panel with events.
void tidy_quake_labels(py::object fig, const py::list& quakes);

}  // namespace lumoreq::chartwork
