#include "bind/bind.hpp"

PYBIND11_MODULE(chartwork, m) {
    lumoreq::bind::DocOnly doc_only;
    m.doc() = "时间序列绘图：TSPlotter 按测项或台站绘制多子图时间序列。";
    m.attr("logger") = lumoreq::bind::import_sibling(m, "logsetup").attr("plotting_logger");
}
