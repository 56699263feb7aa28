#include "bind/bind.hpp"

namespace lumoreq::cleaning {
void register_split_lines(py::module_& m);
}

LUMOREQ_MODULE(cleaning, m) {
    lumoreq::bind::DocOnly doc_only;
    m.doc() = "数据清洗：将一行打包的多个采样值展开为每个采样一行。";
    m.attr("np") = py::module_::import("numpy");
    m.attr("pd") = py::module_::import("pandas");
    m.attr("logger") = lumoreq::bind::import_sibling(m, "logsetup").attr("cleaning_logger");
    lumoreq::cleaning::register_split_lines(m);
}
