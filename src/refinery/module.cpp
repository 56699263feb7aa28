#include "refinery/refinery.hpp"

LUMOREQ_MODULE(refinery, m) {
    lumoreq::bind::DocOnly doc_only;
    m.doc() = "序列处理：重采样、滚动 MAD（Hampel）滤波与归一化日期。";
    m.attr("pd") = py::module_::import("pandas");
    m.attr("np") = py::module_::import("numpy");
    m.attr("datetime") = py::module_::import("datetime").attr("datetime");
    lumoreq::refinery::register_resample(m);
    lumoreq::refinery::register_hampel(m);
    lumoreq::refinery::register_dates(m);
}
