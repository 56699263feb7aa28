// Names users type -> identifiers of the data tables, and the data tables themselves. The
// dictionary tables are asked first; the local metadata cache answers when they cannot be.
#include "fetching/fetching.hpp"

namespace lumoreq::fetching {
namespace {

constexpr const char* kAll = "全部";
constexpr const char* kNoCache = "未找到本地元数据缓存，请先联网执行 refresh_metadata_cache()。缓存目录: ";

// S-1: the category's first character is one of "2", "3", "4", never a caller's text.
std::string items_of_category(const char* first) {
    return std::string("\n                    SELECT SUBSTR(ITEMID, 1, 3) AS methodid\n"
                       "                    FROM ZODUZA.QZ_DICT_STATIONITEMS \n"
                       "                    WHERE SUBSTR(ITEMID, 1, 1) = '") +
           first + "'\n                ";
}
constexpr const char* kAllItems =
    "\n                    SELECT SUBSTR(ITEMID, 1, 3) AS methodid\n"
    "                    FROM ZODUZA.QZ_DICT_STATIONITEMS\n                ";
constexpr const char* kMethodsByName =
    "\n                    SELECT METHODID AS methodid\n"
    "                    FROM ZODUZA.QZ_DICT_METHODS \n"
    "                    WHERE METHODNAME LIKE '%' || :methodname || '%' ESCAPE '\\'\n                ";
constexpr const char* kStationsByName =
    "\n                SELECT STATIONID \n"
    "                FROM ZODUZA.QZ_DICT_STATIONS \n"
    "                WHERE STATIONNAME LIKE '%' || :stationname || '%' ESCAPE '\\'\n            ";
constexpr const char* kItemsByName =
    "\n                    SELECT ITEMID \n"
    "                    FROM ZODUZA.QZ_DICT_ITEMS \n"
    "                    WHERE ITEMNAME LIKE '%' || :itemname || '%' ESCAPE '\\'\n                ";
constexpr const char* kItemsByExactNamesHead =
    "\n                    SELECT ITEMID \n"
    "                    FROM ZODUZA.QZ_DICT_ITEMS \n"
    "                    WHERE ITEMNAME IN (";
constexpr const char* kItemsByExactNamesTail = ")\n                ";
constexpr const char* kTables =
    "\n                SELECT TABLE_NAME \n"
    "                FROM ALL_TABLES \n"
    "                WHERE TABLE_NAME LIKE '%' || :base_type_id || '%' \n"
    "                AND TABLE_NAME LIKE '%' || :sample_rate_id || '%' \n"
    "                AND TABLE_NAME LIKE '%' || :methodid || '%'\n            ";

const char* category_first_char(const py::object& name) {
    if (!py::isinstance<py::str>(name)) return nullptr;
    const auto text = name.cast<std::string>();
    if (text == "形变") return "2";
    if (text == "电磁") return "3";
    if (text == "流体") return "4";
    return nullptr;
}

// A name as a LIKE pattern that matches it literally: "%", "_" and the escape character "\"
// are characters of the name, as they are when the cache answers. Other values go as they are.
py::object like_literal(const py::object& name) {
    if (!py::isinstance<py::str>(name)) return name;
    return py::str(core::sql_like_literal(name.cast<std::string>()));
}

bool is_all(const py::object& name) { return py::isinstance<py::str>(name) && name.cast<std::string>() == kAll; }

// A failed statement leaves DuckDB and PostgreSQL connections in an aborted transaction, so
// every later statement of the same fetch would fail too; Oracle rolls back only the
// statement. Rolling back makes the fetch go on the same way everywhere (the use is read-only).
void roll_back(const py::object& conn) {
    if (conn.is_none() || !py::hasattr(conn, "rollback")) return;
    try {
        conn.attr("rollback")();
    } catch (py::error_already_set& e) {
        bind::rethrow_unless_exception(e);
    }
}

// The cache asked because the database failed with `db_error`: when the cache fails too, its
// error says what the database said, so the real cause is not lost behind "no cache".
py::object cache_table(const bind::ModuleRef& mod, const char* name, const py::object& cache_dir,
                       const py::object& db_error) {
    try {
        return mod.attr("MetadataCache").attr("get_table")(name, "cache_dir"_a = cache_dir);
    } catch (py::error_already_set& e) {
        if (!db_error.is_none() && e.matches(PyExc_Exception)) {
            // the package's cache says it; a stand-in cache class may not have the helper
            py::object note = py::getattr(mod.attr("MetadataCache"), "_note_database_failure", py::none());
            if (!note.is_none()) note(e.value(), db_error);
        }
        throw;
    }
}

// Rows whose `column` text holds `part` as a plain substring (as LIKE '%part%' does for
// ordinary names: "(" is a character, "." matches only a dot); missing values never match.
py::object containing(const py::object& frame, const char* column, const py::object& part) {
    return frame[py::str(column)].attr("astype")("str").attr("str").attr("contains")(part, "regex"_a = false,
                                                                                      "na"_a = false);
}

py::object one_column(const py::object& frame, const py::object& mask, const char* column) {
    py::list cols;
    cols.append(column);
    return frame[mask][cols];
}

py::object get_method_ids(const bind::ModuleRef& mod, py::object conn, py::object method_name,
                          py::object cache_dir) {
    const char* first = category_first_char(method_name);
    py::object df;
    try {
        if (first) {
            df = read_sql(items_of_category(first), conn);
        } else if (is_all(method_name)) {
            df = read_sql(kAllItems, conn);
        } else {
            py::dict params;
            params["methodname"] = like_literal(method_name);
            df = read_sql(kMethodsByName, conn, params);
            lower_columns(df);
            return df;
        }
        lower_columns(df);
    } catch (py::error_already_set& e) {
        bind::rethrow_unless_exception(e);
        py::object db_error = e.value();
        roll_back(conn);
        py::object stationitems = cache_table(mod, "stationitems", cache_dir, db_error);
        py::object methods = cache_table(mod, "methods", cache_dir, db_error);
        if (first || is_all(method_name)) {
            py::object ids = stationitems["ITEMID"].attr("astype")("str");
            if (first) ids = ids[ids.attr("str").attr("startswith")(first, "na"_a = false)];
            py::dict data;
            data["methodid"] = ids.attr("str")[py::slice(0, 3, 1)].attr("reset_index")("drop"_a = true);
            df = pandas().attr("DataFrame")(data);
        } else {
            df = one_column(methods, containing(methods, "METHODNAME", method_name), "METHODID");
            py::dict rename;
            rename["METHODID"] = "methodid";
            df = df.attr("rename")("columns"_a = rename);
        }
    }
    df = df.attr("drop_duplicates")("subset"_a = "methodid", "keep"_a = "first");
    df = df[df["methodid"].attr("__ne__")("417")].attr("dropna")();
    df["methodid"] = df["methodid"].attr("astype")("str");
    return df;
}

py::object get_station_ids(const bind::ModuleRef& mod, py::object conn, py::object station_name,
                           py::object cache_dir) {
    py::object db_error = py::none();
    try {
        py::dict params;
        params["stationname"] = like_literal(station_name);
        py::object df = read_sql(kStationsByName, conn, params);
        lower_columns(df);
        return df;
    } catch (py::error_already_set& e) {
        bind::rethrow_unless_exception(e);
        db_error = e.value();
        roll_back(conn);
    }
    py::object stations = cache_table(mod, "stations", cache_dir, db_error);
    py::object df = one_column(stations, containing(stations, "STATIONNAME", station_name), "STATIONID");
    lower_columns(df);
    return df;
}

bool is_name_list(const py::object& item_name) {
    return !py::isinstance<py::str>(item_name) && !py::isinstance<py::bytes>(item_name) &&
           py::isinstance<py::iterable>(item_name);
}

py::object get_item_ids(const bind::ModuleRef& mod, py::object conn, py::object item_name, py::object cache_dir) {
    if (is_all(item_name)) return py::none();
    const bool as_list = is_name_list(item_name);
    py::list names;
    if (as_list)
        for (auto n : item_name) names.append(n);
    py::object db_error = py::none();
    try {
        py::object df;
        if (as_list) {
            if (names.empty()) {
                // "IN ()" is not SQL: no names select no items.
                py::dict data;
                data["itemid"] = py::list();
                return pandas().attr("DataFrame")(data);
            }
            std::string sql = kItemsByExactNamesHead;
            for (size_t i = 0; i < names.size(); ++i) sql += (i ? "," : "") + core::sql_quote(text_of(names[i]));
            df = read_sql(sql + kItemsByExactNamesTail, conn);
        } else {
            py::dict params;
            params["itemname"] = like_literal(item_name);
            df = read_sql(kItemsByName, conn, params);
        }
        lower_columns(df);
        return df;
    } catch (py::error_already_set& e) {
        bind::rethrow_unless_exception(e);
        db_error = e.value();
        roll_back(conn);
    }
    py::object items = cache_table(mod, "items", cache_dir, db_error);
    py::object mask = as_list ? items["ITEMNAME"].attr("isin")(names) : containing(items, "ITEMNAME", item_name);
    py::object df = one_column(items, mask, "ITEMID");
    lower_columns(df);
    return df;
}

py::object get_table_names(py::object conn, py::object method_ids, py::object base_type_id,
                           py::object sample_rate_id) {
    py::list frames;
    const bool product = py::isinstance<py::str>(base_type_id) && base_type_id.cast<std::string>() == "CP";
    for (auto methodid : py::list(method_ids["methodid"].attr("tolist")())) {
        std::string sql = kTables;
        py::dict params;
        params["base_type_id"] = base_type_id;
        params["sample_rate_id"] = sample_rate_id;
        params["methodid"] = methodid;
        if (product) {
            const char* keywords[] = {"AVG", "INS"};
            std::string group;
            for (int k = 0; k < 2; ++k) {
                const std::string name = "kw" + std::to_string(k + 1);
                params[py::str(name)] = keywords[k];
                group += (k ? " OR " : "") + std::string("TABLE_NAME LIKE '%' || :") + name + " || '%'";
            }
            sql += " AND (" + group + ")";
        }
        frames.append(read_sql(sql, conn, params));
    }
    if (frames.empty()) return py::none();
    py::object df = pandas().attr("concat")(frames, "ignore_index"_a = true);
    lower_columns(df);
    py::object dev = df["table_name"].attr("astype")("str").attr("str").attr("contains")("_DEV_", "regex"_a = false);
    return df[dev.attr("__invert__")()];
}

}  // namespace

void register_metadata(py::module_& m) {
    bind::ModuleRef mod(m);
    bind::StaticClass cls(m, "MetadataFetcher", "元数据获取类");
    cls.def(
        "get_timeseries_info",
        [mod](py::object conn, py::object cache_dir, py::object refresh_cache) -> py::object {
            py::object cache = mod.attr("MetadataCache");
            try {
                return cache.attr("get_timeseries_info")("conn"_a = conn, "cache_dir"_a = cache_dir,
                                                         "refresh"_a = refresh_cache);
            } catch (py::error_already_set& e) {
                if (!e.matches(PyExc_FileNotFoundError)) throw;
                py::object root = cache.attr("resolve_cache_dir")(cache_dir);
                py::raise_from(e, PyExc_RuntimeError, (kNoCache + text_of(root)).c_str());
                py::error_already_set no_cache;
                // The fixed message stays; what the cache and the database said goes with it.
                if (py::hasattr(e.value(), "__notes__"))
                    for (py::handle note : e.value().attr("__notes__")) no_cache.value().attr("add_note")(note);
                throw no_cache;
            }
        },
        "获取时间序列元数据信息", py::arg("conn") = py::none(), py::arg("cache_dir") = py::none(),
        py::arg("refresh_cache") = false);
    cls.def(
        "get_method_ids",
        [mod](py::object conn, py::object method_name, py::object cache_dir) {
            return get_method_ids(mod, conn, method_name, cache_dir);
        },
        "获取方法ID列表，数据库不可用时回退到本地缓存。", py::arg("conn"), py::arg("method_name") = kAll,
        py::arg("cache_dir") = py::none());
    cls.def(
        "get_station_ids",
        [mod](py::object conn, py::object station_name, py::object cache_dir) {
            return get_station_ids(mod, conn, station_name, cache_dir);
        },
        "获取站点ID列表，数据库不可用时回退到本地缓存。", py::arg("conn"), py::arg("station_name") = kAll,
        py::arg("cache_dir") = py::none());
    cls.def(
        "get_item_ids",
        [mod](py::object conn, py::object item_name, py::object cache_dir) {
            return get_item_ids(mod, conn, item_name, cache_dir);
        },
        "获取监测项ID列表，数据库不可用时回退到本地缓存。", py::arg("conn"), py::arg("item_name") = kAll,
        py::arg("cache_dir") = py::none());
    cls.def("get_table_names", &get_table_names, "获取表名列表", py::arg("conn"), py::arg("method_ids"),
            py::arg("base_type_id"), py::arg("sample_rate_id"));
    cls.def(
        "_normalize_dataframe_columns",
        [](py::iterable dataframes) {
            for (auto h : dataframes) {
                py::object df = py::reinterpret_borrow<py::object>(h);
                upper_columns(df);
                py::object name = df.attr("index").attr("name");
                if (py::isinstance<py::str>(name)) df.attr("index").attr("name") = name.attr("upper")();
            }
        },
        "将DataFrame的列名标准化为大写", py::arg("dataframes"));
}

}  // namespace lumoreq::fetching
