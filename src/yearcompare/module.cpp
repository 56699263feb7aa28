#include "bind/bind.hpp"

PYBIND11_MODULE(yearcompare, m) {
    lumoreq::bind::DocOnly doc_only;
    m.doc() = "同年对比：将一条序列的各年份叠加到同一参考年份的日期轴上。";
    m.attr("logger") = lumoreq::bind::import_sibling(m, "logsetup").attr("plotting_logger");
}
