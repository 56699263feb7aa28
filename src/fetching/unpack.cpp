// The OBSVALUE column of fetched rows, unpacked in one pass: gzip members decompressed and the
// "NULLALL" marker of a day without samples expanded, without the GIL. Python texts are made
// afterwards. A column read without the caller saying it is compressed is still searched for
// gzip data (bytes beginning with the gzip magic), which is decompressed all the same.
// Anything the native path does not take (a value that is not bytes, data that is
// not gzip, bytes that are not UTF-8, a text that cannot be UTF-8) goes to the host's own
// gzip.decompress(...).decode("utf-8") and str.replace, so its result and error are the host's.
#include <vector>

#include "core/gzip.hpp"
#include "core/parallel.hpp"
#include "core/text_replace.hpp"
#include "fetching/fetching.hpp"

namespace lumoreq::fetching {
namespace {

constexpr std::string_view kMarker = "NULLALL";

py::object host_replace(const py::object& text, const std::string* null_text) {
    if (!null_text || !py::isinstance<py::str>(text)) return text;
    return text.attr("replace")(py::str(kMarker.data(), kMarker.size()), py::str(*null_text));
}

bool has_gzip_magic(const char* data, Py_ssize_t size) {
    return size >= 2 && static_cast<unsigned char>(data[0]) == 0x1f && static_cast<unsigned char>(data[1]) == 0x8b;
}

// `gunzip`: Gunzip::All decompresses every value (the caller said the column is compressed),
// Gunzip::Sniffed only bytes that begin with the gzip magic, Gunzip::Off none. `zipped` (when
// given) receives the number of values that were taken as gzip data.
py::list unpack(const py::object& values, Gunzip gunzip, const std::string* null_text, bool* any_changed = nullptr,
                size_t* zipped_count = nullptr) {
    std::vector<py::object> items;
    for (auto v : py::iterable(values)) items.emplace_back(py::reinterpret_borrow<py::object>(v));
    const size_t n = items.size();

    // mode 0: keep the object, 1: native input in `inputs`, 2: host path
    std::vector<std::string_view> inputs(n);
    std::vector<char> mode(n, 0);
    std::vector<char> zipped(n, gunzip == Gunzip::All ? 1 : 0);
    size_t zipped_values = 0;
    for (size_t i = 0; i < n; ++i) {
        PyObject* p = items[i].ptr();
        if (gunzip == Gunzip::Sniffed)
            zipped[i] = (PyBytes_Check(p) && has_gzip_magic(PyBytes_AS_STRING(p), PyBytes_GET_SIZE(p))) ||
                        (PyByteArray_Check(p) && has_gzip_magic(PyByteArray_AS_STRING(p), PyByteArray_GET_SIZE(p)));
        if (zipped[i]) {
            if (p == Py_None) continue;
            ++zipped_values;
            if (PyBytes_Check(p)) {
                inputs[i] = std::string_view(PyBytes_AS_STRING(p), static_cast<size_t>(PyBytes_GET_SIZE(p)));
                mode[i] = 1;
            } else {
                mode[i] = 2;  // the host's gzip (a mutable buffer is not read without the GIL)
            }
        } else if (null_text && PyUnicode_Check(p)) {
            Py_ssize_t size = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(p, &size);
            if (utf8) {
                inputs[i] = std::string_view(utf8, static_cast<size_t>(size));
                mode[i] = 1;
            } else {
                PyErr_Clear();  // lone surrogates: the host's str.replace handles them
                mode[i] = 2;
            }
        }
    }
    // A column found to hold compressed values is treated as a compressed column throughout:
    // its missing values become empty texts, as they do when the caller declares it.
    const bool compressed_column = gunzip == Gunzip::All || zipped_values > 0;

    std::vector<std::string> outputs(n);
    std::vector<char> changed(n, 0);
    {
        // Reads only buffers owned by the objects held in `items`; each index writes only its own
        // slots of this call's vectors, so the blocks run side by side.
        py::gil_scoped_release release;
        core::parallel_blocks(n, 64, [&](size_t begin, size_t end) {
            std::string replaced;
            for (size_t i = begin; i < end; ++i) {
                if (mode[i] != 1) continue;
                if (zipped[i]) {
                    if (!core::gunzip(inputs[i], outputs[i])) {
                        mode[i] = 2;
                        std::string().swap(outputs[i]);
                        continue;
                    }
                    changed[i] = 1;
                    if (null_text && core::replace_all(outputs[i], kMarker, *null_text, replaced))
                        outputs[i].swap(replaced);
                } else if (core::replace_all(inputs[i], kMarker, *null_text, outputs[i])) {
                    changed[i] = 1;
                }
            }
        });
    }

    if (any_changed) {
        *any_changed = compressed_column;
        for (size_t i = 0; i < n && !*any_changed; ++i) *any_changed = changed[i] || mode[i] == 2;
    }
    if (zipped_count) *zipped_count = zipped_values;
    py::object host_gzip;
    py::list result(n);
    for (size_t i = 0; i < n; ++i) {
        if (compressed_column && items[i].is_none()) {
            result[i] = py::str("");
            continue;
        }
        if (mode[i] == 1 && changed[i]) {
            PyObject* text =
                PyUnicode_DecodeUTF8(outputs[i].data(), static_cast<Py_ssize_t>(outputs[i].size()), "strict");
            std::string().swap(outputs[i]);
            if (text) {
                result[i] = py::reinterpret_steal<py::object>(text);
                continue;
            }
            PyErr_Clear();
        } else if (mode[i] != 2 && !zipped[i]) {
            result[i] = items[i];
            continue;
        }
        if (zipped[i]) {
            if (!host_gzip) host_gzip = py::module_::import("gzip");
            result[i] = host_replace(host_gzip.attr("decompress")(items[i]).attr("decode")("utf-8"), null_text);
        } else {
            result[i] = host_replace(items[i], null_text);
        }
    }
    return result;
}

}  // namespace

py::list unpack_obsvalues(const py::object& values, Gunzip gunzip, const std::string& null_text, bool* any_changed,
                          size_t* zipped) {
    return unpack(values, gunzip, &null_text, any_changed, zipped);
}

void register_unpack(py::module_& m) {
    m.def(
        "_gunzip_texts", [](py::iterable values) { return unpack(values, Gunzip::All, nullptr); },
        py::doc("gzip 解压一列 OBSVALUE 并按 UTF-8 解码为文本；None 变为空文本。"), py::arg("values"));
    m.def(
        "_expand_nullall",
        [](py::iterable values, const std::string& null_text) { return unpack(values, Gunzip::Off, &null_text); },
        py::doc("将一列 OBSVALUE 文本中的 NULLALL 替换为整日缺测文本；非文本值原样保留。"), py::arg("values"),
        py::arg("null_text"));
}

}  // namespace lumoreq::fetching
