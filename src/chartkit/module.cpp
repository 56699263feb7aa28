#include "bind/bind.hpp"

PYBIND11_MODULE(chartkit, m) {
    lumoreq::bind::DocOnly doc_only;
    m.doc() = "绘图辅助：全局绘图样式、字体字典、图像文件夹、统计量与频率工具。";
    m.attr("os") = py::module_::import("os");
    m.attr("matplotlib") = py::module_::import("matplotlib");
    m.attr("pd") = py::module_::import("pandas");
    m.attr("logger") = lumoreq::bind::import_sibling(m, "logsetup").attr("plotting_logger");
}
