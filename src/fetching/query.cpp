// One SQL text for many data tables: one SELECT per table joined with UNION ALL. Only text is
// built here; the database is never touched.
#include <algorithm>
#include <vector>

#include "fetching/fetching.hpp"

namespace lumoreq::fetching {
namespace {

constexpr const char* kNoTables = "没有找到匹配的表名!";

// The templates, split around their placeholders {table}, {start_date} and {end_date}.
constexpr const char* kHead = "\n            SELECT * FROM ZODUZA.";
constexpr const char* kAfterTable = " \n            WHERE STARTDATE >= TO_DATE('";
constexpr const char* kAfterStart = "', 'yyyymmdd') \n            AND STARTDATE < TO_DATE('";
constexpr const char* kDataTail = "', 'yyyymmdd')+1\n        ";
constexpr const char* kLogTail = "', 'yyyymmdd')+1\n            AND EVTID IN (:evt_id)\n        ";

std::string yyyymmdd(const py::object& date) {
    return text_of(pandas().attr("to_datetime")(date).attr("strftime")("%Y%m%d"));
}

std::vector<std::string> column_texts(const py::object& frame, const char* column) {
    std::vector<std::string> out;
    for (auto v : py::list(frame[py::str(column)].attr("tolist")())) out.push_back(text_of(v));
    return out;
}

// " AND (t1 OR t2 ...)". A selection that matched nothing gives " AND (1=0)": a statement that
// is valid everywhere and finds no rows, instead of the " AND ()" every database rejects.
template <typename Term>
std::string group(const std::vector<std::string>& values, Term term) {
    if (values.empty()) return " AND (1=0)";
    std::string out = " AND (";
    for (size_t i = 0; i < values.size(); ++i) {
        if (i) out += " OR ";
        out += term(values[i]);
    }
    return out + ")";
}

// A station identifier goes unquoted only when it is a plain integer (the network's numbers);
// anything else becomes a quoted literal, so it can never add to the statement.
std::string station_term(const std::string& id) {
    return "STATIONID=" + (core::is_plain_integer(id) ? id : core::sql_quote(id));
}

std::string item_term(const std::string& id) { return "ITEMID=" + core::sql_quote(id); }

// Table names come from the catalogue; one that is not a plain identifier is quoted as one.
std::string table_ref(const std::string& name) {
    return core::is_plain_identifier(name) ? name : core::sql_quote_identifier(name);
}

std::string statement(const std::vector<std::string>& tables, const std::string& start, const std::string& end,
                      const std::vector<std::string>* stations, const std::vector<std::string>* items,
                      const std::string& point, bool dialog) {
    const std::string station_part = stations ? group(*stations, station_term) : "";
    const std::string point_part = point.empty() ? "" : " AND (POINTID=" + core::sql_quote(point) + ")";
    const std::string item_part = items ? group(*items, item_term) : "";
    std::string sql;
    bool first = true;
    for (const auto& table : tables) {
        if (!first) sql += " UNION ALL ";
        first = false;
        sql += kHead + table_ref(table) + kAfterTable + start + kAfterStart + end + (dialog ? kLogTail : kDataTail);
        sql += station_part + item_part + point_part;
    }
    return sql;
}

py::object build(const bind::ModuleRef& mod, const py::object& table_names, const py::object& start_date,
                 const py::object& end_date, const py::object& station_ids, const py::object& item_ids,
                 const py::object& point_id, bool dialog) {
    if (py::bool_(table_names.attr("empty"))) {
        bind::log(mod, "error", kNoTables);
        return py::none();
    }
    const std::string start = yyyymmdd(start_date);
    const std::string end = yyyymmdd(end_date);
    std::vector<std::string> stations, items;
    if (!station_ids.is_none()) stations = column_texts(station_ids, dialog ? "STATIONID" : "stationid");
    if (!item_ids.is_none()) items = column_texts(item_ids, dialog ? "ITEMID" : "itemid");
    const std::string point = (!dialog && py::bool_(point_id)) ? text_of(point_id) : "";
    const std::vector<std::string> tables = column_texts(table_names, dialog ? "TABLE_NAME" : "table_name");
    return py::str(statement(tables, start, end, station_ids.is_none() ? nullptr : &stations,
                             item_ids.is_none() ? nullptr : &items, point, dialog));
}

}  // namespace

std::string series_query(const std::vector<std::string>& tables, const py::object& start_date,
                         const py::object& end_date, const std::string& station_id, const std::string& item_id,
                         const std::string& point_id) {
    // A day already written as YYYYMMDD (what a job's task passes) is used as it stands.
    auto day = [](const py::object& date) {
        if (py::isinstance<py::str>(date)) {
            const std::string text = date.cast<std::string>();
            if (text.size() == 8 && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
                return text;
        }
        return yyyymmdd(date);
    };
    const std::vector<std::string> stations{station_id}, items{item_id};
    return statement(tables, day(start_date), day(end_date), &stations, &items, point_id, false);
}

void register_query(py::module_& m) {
    bind::ModuleRef mod(m);
    bind::StaticClass cls(m, "QueryBuilder", "SQL查询构建类");
    cls.def(
        "build_data_query",
        [mod](py::object table_names, py::object start_date, py::object end_date, py::object station_ids,
              py::object item_ids, py::object point_id) {
            return build(mod, table_names, start_date, end_date, station_ids, item_ids, point_id, false);
        },
        "构建数据查询SQL", py::arg("table_names"), py::arg("start_date"), py::arg("end_date"),
        py::arg("station_ids") = py::none(), py::arg("item_ids") = py::none(), py::arg("point_id") = "");
    cls.def(
        "build_dialog_query",
        [mod](py::object table_names, py::object start_date, py::object end_date, py::object /*log_type*/,
              py::object station_ids, py::object item_ids) {
            return build(mod, table_names, start_date, end_date, station_ids, item_ids, py::none(), true);
        },
        "构建日志查询SQL", py::arg("table_names"), py::arg("start_date"), py::arg("end_date"), py::arg("log_type"),
        py::arg("station_ids") = py::none(), py::arg("item_ids") = py::none());
}

}  // namespace lumoreq::fetching
