#include "chartwork/chartwork.hpp"
#include "core/display_reduce.hpp"

namespace {

// The kept sample positions of the line reduction, for tests: int64 times (non-decreasing),
// float32 or float64 values, the number of columns.
template <typename T>
py::array_t<std::int64_t> reduce_indices(py::array_t<std::int64_t, py::array::c_style | py::array::forcecast> times,
                                         py::array_t<T, py::array::c_style> values, std::size_t bins) {
    if (times.shape(0) != values.shape(0)) throw py::value_error("times and values differ in length");
    const auto n = static_cast<std::size_t>(times.shape(0));
    std::optional<std::vector<std::int64_t>> kept;
    {
        // Reads the two arrays held by this call; writes only locals.
        py::gil_scoped_release release;
        kept = lumoreq::core::reduce_if_ordered<T>(times.data(), values.data(), n, bins);
    }
    if (!kept) throw py::value_error("times must not decrease (and hold no NaT)");
    return py::array_t<std::int64_t>(static_cast<py::ssize_t>(kept->size()), kept->data());
}

}  // namespace

LUMOREQ_MODULE(chartwork, m) {
    namespace cw = lumoreq::chartwork;
    lumoreq::bind::DocOnly doc_only;
    m.doc() = "时间序列绘图：TSPlotter 按测项或台站绘制多子图时间序列。";
    m.attr("plt") = py::module_::import("matplotlib.pyplot");
    m.attr("np") = py::module_::import("numpy");
    m.attr("pd") = py::module_::import("pandas");
    m.attr("tsf") = lumoreq::bind::import_sibling(m, "fetching");
    m.attr("logger") = lumoreq::bind::import_sibling(m, "logsetup").attr("plotting_logger");
    py::module_ chartkit = lumoreq::bind::import_sibling(m, "chartkit");
    for (const char* name : {"create_figures_folder", "calculate_stats", "reindex_df_by_interval", "font_title",
                             "font_unit", "font_xlabel"})
        m.attr(name) = chartkit.attr(name);
    // Long line series are drawn as their per-pixel-column reduction; False draws every point.
    m.attr("_display_reduction") = py::bool_(true);
    // Seconds per phase of the last builder call (grouping, processing, drawing, saving).
    m.attr("_last_timings") = py::dict();
    m.attr("_SignlessZeroFormatter") = cw::signless_zero_formatter_class(m);

    m.def("_reduce_indices", &reduce_indices<float>, py::arg("times"), py::arg("values").noconvert(), py::arg("bins"));
    m.def("_reduce_indices", &reduce_indices<double>, py::arg("times"), py::arg("values"), py::arg("bins"));

    lumoreq::bind::ModuleRef mod(m);
    lumoreq::bind::MethodClass cls(m, "TSPlotter", "时间序列绘图类，提供灵活的绘图功能");
    cw::register_core(cls, mod);
    cw::register_decorations(cls, mod);
    cw::register_builders(cls, mod);
    cw::register_builder_hooks(m);
}
