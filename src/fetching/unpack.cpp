// Decompression of a whole OBSVALUE column at once: the inflating runs without the GIL, the
// Python texts are made afterwards. Anything the native path does not take (a value that is
// not bytes, data that is not gzip, bytes that are not UTF-8) is handed to the host's own
// gzip.decompress(...).decode("utf-8"), so its result and its error are the host's exactly.
#include <vector>

#include "core/gzip.hpp"
#include "core/parallel.hpp"
#include "fetching/fetching.hpp"

namespace lumoreq::fetching {

py::list gunzip_texts(py::iterable values) {
    std::vector<py::object> items;
    for (auto v : values) items.emplace_back(py::reinterpret_borrow<py::object>(v));

    std::vector<std::string_view> inputs(items.size());
    std::vector<char> native(items.size(), 0);
    for (size_t i = 0; i < items.size(); ++i) {
        PyObject* p = items[i].ptr();
        if (PyBytes_Check(p)) {
            inputs[i] = std::string_view(PyBytes_AS_STRING(p), static_cast<size_t>(PyBytes_GET_SIZE(p)));
            native[i] = 1;
        }
    }
    std::vector<std::string> outputs(items.size());
    {
        // Reads only the bytes objects kept alive by `items`; writes only this call's vectors.
        py::gil_scoped_release release;
        core::parallel_blocks(items.size(), 64, [&](size_t begin, size_t end) {
            for (size_t i = begin; i < end; ++i)
                if (native[i] && !core::gunzip(inputs[i], outputs[i])) native[i] = 0;
        });
    }

    py::object host_gzip;
    py::list result(items.size());
    for (size_t i = 0; i < items.size(); ++i) {
        if (items[i].is_none()) {
            result[i] = py::str("");
            continue;
        }
        if (native[i]) {
            PyObject* text = PyUnicode_DecodeUTF8(outputs[i].data(), static_cast<Py_ssize_t>(outputs[i].size()),
                                                  "strict");
            if (text) {
                result[i] = py::reinterpret_steal<py::object>(text);
                std::string().swap(outputs[i]);
                continue;
            }
            PyErr_Clear();
        }
        if (!host_gzip) host_gzip = py::module_::import("gzip");
        result[i] = host_gzip.attr("decompress")(items[i]).attr("decode")("utf-8");
    }
    return result;
}

void register_unpack(py::module_& m) {
    m.def("_gunzip_texts", &gunzip_texts,
          py::doc("gzip 解压一列 OBSVALUE 并按 UTF-8 解码为文本；None 变为空文本。"), py::arg("values"));
}

}  // namespace lumoreq::fetching
