// lumoreq.QCAT: earthquake catalogue files read into a frame, and events flagged by
// (distance, magnitude) rules around a station.
#include "QCAT/qcat.hpp"

LUMOREQ_MODULE(QCAT, m) {
    lumoreq::bind::DocOnly doc_only;
    m.doc() = "地震目录：读取地震目录文本文件，并按震中距与震级筛选地震。";
    m.attr("pd") = py::module_::import("pandas");
    m.attr("np") = py::module_::import("numpy");
    m.attr("geodesic") = py::module_::import("geopy.distance").attr("geodesic");
    lumoreq::qcat::register_reader(m);
    lumoreq::qcat::register_filter(m);
}
