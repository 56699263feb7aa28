// Count, minimum and maximum of a panel's value column in one native pass, in place of the
// separate pandas reductions (each of which copies the column to mask its NaN) that the
// processing of every panel would otherwise run: the base value, the empty check, the tick
// values and the statistics guard.
#include "chartwork/chartwork.hpp"
#include "bind/pandas_scalars.hpp"
#include "core/series_stats.hpp"

namespace lumoreq::chartwork {
namespace {

template <typename T>
std::optional<ColumnSummary> summarize_array(py::object raw, py::object scalar_type) {
    auto array = py::array_t<T, py::array::c_style>::ensure(raw);
    if (!array) {
        PyErr_Clear();
        return std::nullopt;
    }
    core::Summary<T> s;
    {
        // Reads the array held alive by `array`; writes only the local result.
        py::gil_scoped_release release;
        s = core::summarize<T>(array.data(), static_cast<std::size_t>(array.shape(0)));
    }
    ColumnSummary out;
    out.count = s.count;
    // An all-missing column and a zero of unknown sign are left to the table library.
    if (s.count > 0 && !s.zero_extreme) {
        out.min = scalar_type(static_cast<double>(s.min));
        out.max = scalar_type(static_cast<double>(s.max));
    }
    return out;
}

}  // namespace

std::optional<ColumnSummary> summarize_column(py::handle column) {
    if (!bind::pandas_numpy_scalars()) return std::nullopt;  // min()/max() answer Python floats
    auto np = py::module_::import("numpy");
    py::object dtype = column.attr("dtype");
    if (!py::isinstance(dtype, np.attr("dtype")) || !py::object(dtype.attr("kind")).equal(py::str("f")))
        return std::nullopt;
    py::object raw = column.attr("to_numpy")();
    if (py::len(raw.attr("shape")) != 1) return std::nullopt;
    const int size = dtype.attr("itemsize").cast<int>();
    if (size == 4) return summarize_array<float>(raw, np.attr("float32"));
    if (size == 8) return summarize_array<double>(raw, np.attr("float64"));
    return std::nullopt;
}

py::object column_min(py::handle column, const std::optional<ColumnSummary>& s) {
    if (s && s->min) return *s->min;
    return column.attr("min")();
}

py::object column_max(py::handle column, const std::optional<ColumnSummary>& s) {
    if (s && s->max) return *s->max;
    return column.attr("max")();
}

bool column_all_missing(py::handle column, const std::optional<ColumnSummary>& s) {
    if (s) return s->count == 0;
    return truthy(column.attr("isnull")().attr("all")());
}

}  // namespace lumoreq::chartwork
