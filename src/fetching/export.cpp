// DataFetcher.to_ruzi / export_ruzi: a fetched table plus the metadata of its stations and items,
// packed by the package module `export` and written as a Parquet (RUZI) file.
#include "fetching/fetching.hpp"

#include <array>
#include <string>

namespace lumoreq::fetching {
namespace {

constexpr const char* kExported = "数据已自动关联元数据并导出至: ";
constexpr const char* kExportFailed = "导出失败：无法生成 RUZI Table";

constexpr const char* kDataFetcherDoc = "数据获取类";
constexpr const char* kToRuziDoc =
    "将获取到的 DataFrame 自动关联元数据并转换为 RUZI (Rurerezu Arrow Data) 格式。";
constexpr const char* kExportRuziDoc = "一键导出函数：自动从数据库抓取元数据，打包并导出为 RUZI 文件。";

// `stations, points, items = value`, with the host's own unpacking errors.
std::array<py::object, 3> unpack_three(const py::object& value) {
    std::array<py::object, 3> out;
    std::size_t got = 0;
    for (py::handle item : py::iter(value)) {
        if (got == out.size()) throw py::value_error("too many values to unpack (expected 3)");
        out[got++] = py::reinterpret_borrow<py::object>(item);
    }
    if (got != out.size())
        throw py::value_error("not enough values to unpack (expected 3, got " + std::to_string(got) + ")");
    return out;
}

// Rows of `table` whose `column` value occurs in that column of `df`, as a list of records.
py::object records_matching(const py::object& table, const py::object& df, const char* column) {
    py::object wanted = df[py::str(column)].attr("unique")();
    py::object rows = table[table[py::str(column)].attr("isin")(wanted)];
    return rows.attr("to_dict")("orient"_a = "records");
}

py::object to_ruzi(const bind::ModuleRef& mod, py::object conn, py::object df, py::object sampling_rate) {
    if (df.is_none() || py::bool_(df.attr("empty"))) return py::none();
    auto [stations, points, items] =
        unpack_three(mod.attr("MetadataFetcher").attr("get_timeseries_info")(conn));
    (void)points;  // the export describes stations and items only
    py::dict context;
    context["station_info"] = records_matching(stations, df, "STATIONID");
    context["item_info"] = records_matching(items, df, "ITEMID");
    context["sampling_rate"] = sampling_rate;
    context["export_time"] =
        py::module_::import("datetime").attr("datetime").attr("now")().attr("isoformat")();
    return mod.attr("export").attr("to_ruzi")(df, "metadata"_a = context);
}

void export_ruzi(const bind::ModuleRef& mod, py::object conn, py::object df, py::object file_path,
                 py::object sampling_rate) {
    py::object table = mod.attr("DataFetcher").attr("to_ruzi")(conn, df, sampling_rate);
    if (py::bool_(table)) {
        // Written beside the target and renamed over it: a crash or a reader never sees a part.
        mod.attr("export").attr("write_ruzi")(table, file_path);
        bind::log(mod, "info", py::str(kExported) + py::str(file_path));
    } else {
        bind::log(mod, "error", kExportFailed);
    }
}

// A static method on an existing class (the fetcher's DataFetcher), as StaticClass::def does.
template <typename Func, typename... Extra>
void def_static(const py::object& cls, const char* name, Func&& f, const char* doc, const Extra&... extra) {
    py::cpp_function cf(std::forward<Func>(f), py::name(name), py::doc(doc), extra...);
    py::setattr(cls, name, py::module_::import("builtins").attr("staticmethod")(cf));
}

}  // namespace

void register_export(py::module_& m) {
    // The packing module is loaded with this one; functions read it back through the module
    // attribute, so a replacement put there is used.
    if (!py::hasattr(m, "export")) m.attr("export") = bind::import_sibling(m, "export");

    // DataFetcher is normally made by the fetcher; the export methods join it either way.
    py::object cls = py::hasattr(m, "DataFetcher") ? py::object(m.attr("DataFetcher"))
                                                    : bind::StaticClass(m, "DataFetcher", kDataFetcherDoc).cls();
    bind::ModuleRef mod(m);
    def_static(
        cls, "to_ruzi",
        [mod](py::object conn, py::object df, py::object sampling_rate) {
            return to_ruzi(mod, std::move(conn), std::move(df), std::move(sampling_rate));
        },
        kToRuziDoc, py::arg("conn"), py::arg("df"), py::arg("sampling_rate"));
    def_static(
        cls, "export_ruzi",
        [mod](py::object conn, py::object df, py::object file_path, py::object sampling_rate) {
            export_ruzi(mod, std::move(conn), std::move(df), std::move(file_path), std::move(sampling_rate));
        },
        kExportRuziDoc, py::arg("conn"), py::arg("df"), py::arg("file_path"), py::arg("sampling_rate"));
}

}  // namespace lumoreq::fetching
