#include "bind/bind.hpp"

PYBIND11_MODULE(plotting, m) {
    lumoreq::bind::DocOnly doc_only;
    m.doc() = "绘图门面：重新导出绘图名称，并提供按测项、按台站绘图的函数。";

}
