#include "chartwork/chartwork.hpp"

PYBIND11_MODULE(chartwork, m) {
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

    lumoreq::bind::ModuleRef mod(m);
    lumoreq::bind::MethodClass cls(m, "TSPlotter", "时间序列绘图类，提供灵活的绘图功能");
    cw::register_core(cls, mod);
    cw::register_decorations(cls, mod);
    cw::register_builders(cls, mod);
}
