// Module functions with the older, lower-case parameter names that scripts and the plotter
// call. Each forwards to the classes without adding behaviour of its own.
#include "fetching/fetching.hpp"

namespace lumoreq::fetching {
namespace {

constexpr const char* kAll = "全部";

py::object fetch(const bind::ModuleRef& mod, py::object conn, py::object start, py::object end, py::object method,
                 py::object station, py::object data_type, py::object base_type, py::object item) {
    return mod.attr("DataFetcher").attr("fetch_data")(conn, start, end, method, station, data_type, base_type,
                                                      "item_name"_a = item);
}

// The whole calendar year `year` as the two dates of a fetch.
std::pair<py::str, py::str> year_range(const py::object& year) {
    const std::string y = text_of(py::int_(year));
    return {py::str(y + "0101"), py::str(y + "1231")};
}

}  // namespace

void register_compat(py::module_& m) {
    bind::ModuleRef mod(m);
    m.def(
        "timeseries_info",
        [mod](py::object conn, py::object cache_dir, py::object refresh_cache) {
            return mod.attr("MetadataFetcher").attr("get_timeseries_info")(conn, "cache_dir"_a = cache_dir,
                                                                           "refresh_cache"_a = refresh_cache);
        },
        py::doc("获取时间序列信息"), py::arg("conn") = py::none(), py::arg("cache_dir") = py::none(),
        py::arg("refresh_cache") = false);
    m.def(
        "refresh_metadata_cache",
        [mod](py::object conn, py::object cache_dir, py::object tables) {
            return mod.attr("MetadataCache").attr("refresh_cache")("conn"_a = conn, "cache_dir"_a = cache_dir,
                                                                   "tables"_a = tables);
        },
        py::doc("刷新本地元数据缓存。"), py::arg("conn"), py::arg("cache_dir") = py::none(),
        py::arg("tables") = py::none());
    m.def(
        "fetching_data",
        [mod](py::object conn, py::object startdate, py::object enddate, py::object methodname,
              py::object stationname, py::object data_type, py::object base_type, py::object itemname,
              py::object gzip_flag, py::object my_split_lines, py::object pointid) {
            return mod.attr("DataFetcher").attr("fetch_data")(
                conn, startdate, enddate, methodname, stationname, data_type, base_type, "item_name"_a = itemname,
                "gzip_flag"_a = gzip_flag, "my_split_lines"_a = my_split_lines, "point_id"_a = pointid);
        },
        py::doc("获取数据的兼容接口"), py::arg("conn"), py::arg("startdate"), py::arg("enddate"),
        py::arg("methodname"), py::arg("stationname"), py::arg("data_type"), py::arg("base_type"),
        py::arg("itemname") = kAll, py::arg("gzip_flag") = false, py::arg("my_split_lines") = true,
        py::arg("pointid") = "");
    m.def(
        "fetching_dialog",
        [mod](py::object conn, py::object startdate, py::object enddate, py::object methodname,
              py::object stationname, py::object itemname, py::object log_type) {
            // The default range is the day before the call up to the call, worked out at each call.
            py::object today = py::module_::import("datetime").attr("datetime").attr("today")();
            if (startdate.is_none())
                startdate = today + py::module_::import("datetime").attr("timedelta")("days"_a = -1);
            if (enddate.is_none()) enddate = today;
            return mod.attr("DataFetcher").attr("fetch_dialog")(conn, startdate, enddate, methodname, stationname,
                                                                itemname, log_type);
        },
        py::doc("获取日志数据的兼容接口"), py::arg("conn"), py::arg("startdate") = py::none(),
        py::arg("enddate") = py::none(), py::arg("methodname") = kAll, py::arg("stationname") = kAll,
        py::arg("itemname") = kAll, py::arg("log_type") = "313");

    m.def(
        "load_Oracle_data_daily",
        [mod](py::object conn, py::object startdate, py::object enddate, py::object methodname,
              py::object stationname, py::object itemname, py::object base_type) {
            return fetch(mod, conn, startdate, enddate, methodname, stationname, py::str("日均值"), base_type,
                         itemname);
        },
        py::doc("加载每日Oracle数据"), py::arg("conn"), py::arg("startdate"), py::arg("enddate"),
        py::arg("methodname") = kAll, py::arg("stationname") = kAll, py::arg("itemname") = kAll,
        py::arg("base_type") = "预处理库");
    m.def(
        "load_Oracle_data_resistivity_year",
        [mod](py::object conn, py::object year, py::object stationname, py::object itemname, py::object base_type) {
            auto [start, end] = year_range(year);
            return fetch(mod, conn, start, end, py::str("地电阻率"), stationname, py::str("日均值"), base_type,
                         itemname);
        },
        py::doc("加载年度电阻率数据"), py::arg("conn"), py::arg("year"), py::arg("stationname") = kAll,
        py::arg("itemname") = kAll, py::arg("base_type") = "预处理库");
    m.def(
        "load_Oracle_data_water_year",
        [mod](py::object conn, py::object year, py::object stationname, py::object itemname, py::object base_type) {
            auto [start, end] = year_range(year);
            return fetch(mod, conn, start, end, py::str("水位"), stationname, py::str("日均值"), base_type,
                         itemname);
        },
        py::doc("加载年度水位数据"), py::arg("conn"), py::arg("year"), py::arg("stationname") = kAll,
        py::arg("itemname") = kAll, py::arg("base_type") = "预处理库");
}

}  // namespace lumoreq::fetching
