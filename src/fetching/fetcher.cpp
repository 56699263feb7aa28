// The main pipeline: names -> identifiers and tables -> one SQL statement -> rows -> unpacked
// OBSVALUE (decompressed when gzip_flag says so, or when it holds gzip data anyway) -> one row per sample (the cleaning module's split_lines). And the log fetch.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string_view>
#include <vector>

#include "bind/arrow_text.hpp"
#include "core/civil_date.hpp"
#include "core/packed_split.hpp"
#include "core/packed_text.hpp"
#include "core/portable.hpp"
#include "fetching/fetching.hpp"

#include <datetime.h>  // after Python.h (through the binding header)

namespace lumoreq::fetching {
namespace {

constexpr const char* kAll = "全部";

bool is_all(const py::object& name) { return py::isinstance<py::str>(name) && name.cast<std::string>() == kAll; }

py::object cls_attr(const bind::ModuleRef& mod, const char* cls, const char* name) {
    return mod.attr(cls).attr(name);
}

// One warning naming every selection that matched nothing, or "" when all matched.
std::string unmatched_message(const py::object& station_name, const py::object& station_ids,
                              const py::object& item_name, const py::object& item_ids) {
    std::string message;
    if (!station_ids.is_none() && py::bool_(station_ids.attr("empty")))
        message += "站点名称未匹配到任何站点: " + text_of(station_name);
    if (!item_ids.is_none() && py::bool_(item_ids.attr("empty")))
        message += (message.empty() ? "" : "；") + std::string("测项名称未匹配到任何测项: ") + text_of(item_name);
    if (!message.empty()) message += "，返回空表";
    return message;
}

// "NULL NULL ... NULL": the samples of a day without any, for the interval `rate`.
std::string missing_day_text(long long rate) {
    const long long count = rate > 0 ? 86400 / rate : 0;
    std::string text;
    text.reserve(static_cast<size_t>(count) * 5);
    for (long long i = 0; i < count; ++i) text += i ? " NULL" : "NULL";
    return text;
}

// The rate identifier a SAMPLERATE value stands for: 1, "1" and 1.0 are "01".
py::object rate_id(const py::object& value) {
    return py::str(value).attr("strip")().attr("split")(".")[py::int_(0)].attr("zfill")(2);
}

// The sample interval: SAMPLERATE of the first row when the frame has it, else the request's.
py::object choose_rate(const bind::ModuleRef& mod, const py::object& df, const py::object& config) {
    py::object requested = config["rate"];
    if (!py::bool_(df.attr("columns").attr("__contains__")("SAMPLERATE"))) return requested;
    py::object first = df["SAMPLERATE"].attr("iloc")[py::int_(0)];
    if (py::bool_(pandas().attr("isna")(first))) return requested;
    py::object id = rate_id(first);
    py::object rate = cls_attr(mod, "SampleRateType", "get_rate_by_id")(id);
    if (rate.is_none()) {
        bind::log(mod, "warning", "无法识别数据库中的采样率ID: " + text_of(id) + ", 采用请求配置值");
        return requested;
    }
    return rate;
}

// True when `column` is a text column on Arrow storage whose bytes hold no `marker` anywhere:
// nothing in it can change, which its buffers tell without a Python object per value.
bool arrow_text_lacks(const py::object& column, std::string_view marker) {
    if (!bind::is_arrow_str_dtype(column.attr("dtype"))) return false;
    std::vector<py::object> owners;
    const auto chunks = bind::arrow_string_chunks(column.attr("array"), owners);
    if (!chunks) return false;
    for (const bind::ArrowChunk& c : *chunks) {
        if (c.length == 0) continue;
        const auto [from, to] = c.byte_range();  // checked against the bytes by arrow_string_chunks
        if (std::string_view(c.data + from, static_cast<std::size_t>(to - from)).find(marker) != std::string_view::npos)
            return false;
    }
    return true;
}

// "NULLALL" -> the missing-day text in every column, as the table library's regular expression
// replacement does it (only str values change; dtypes stay), natively per column. An OBSVALUE
// column not yet unpacked is also searched for gzip data, which is decompressed as if the column
// had been declared compressed; returns how many values were.
size_t expand_nullall(const py::object& df, const std::string& null_text, bool obsvalue_done) {
    py::object types = pandas().attr("api").attr("types");
    size_t zipped = 0;
    for (auto c : py::list(df.attr("columns"))) {
        py::object col = py::reinterpret_borrow<py::object>(c);
        const bool obsvalue = py::isinstance<py::str>(col) && col.cast<std::string>() == "OBSVALUE";
        if (obsvalue_done && obsvalue) continue;
        py::object column = df[col];
        py::object dtype = column.attr("dtype");
        // numbers, booleans and timestamps hold no text
        if (py::bool_(types.attr("is_numeric_dtype")(dtype)) || py::bool_(types.attr("is_bool_dtype")(dtype)) ||
            py::bool_(types.attr("is_datetime64_any_dtype")(dtype)))
            continue;
        if (!py::bool_(types.attr("is_object_dtype")(dtype)) && !py::bool_(types.attr("is_string_dtype")(dtype))) {
            // other kinds of column (categories, ...) are left to the table library itself
            py::dict pattern;
            pattern[col] = "NULLALL";
            df.attr("replace")(pattern, py::str(null_text), "regex"_a = true, "inplace"_a = true);
            continue;
        }
        // key columns (STATIONID, ...) hold no marker: skip them without reading them value by value
        if (arrow_text_lacks(column, "NULLALL")) continue;
        bool changed = false;
        size_t column_zipped = 0;
        py::list values = unpack_obsvalues(column, obsvalue ? Gunzip::Sniffed : Gunzip::Off, null_text, &changed,
                                           &column_zipped);
        if (column_zipped > 0) {
            // the same column a declared compressed one becomes
            df[col] = values;
            zipped += column_zipped;
        } else if (changed) {
            df[col] = pandas().attr("Series")(values, "index"_a = df.attr("index"), "dtype"_a = dtype, "name"_a = col);
        }
    }
    return zipped;
}

// The sorted rows of a data statement, one row per sample: the interval from SAMPLERATE (or the
// request), OBSVALUE decompressed and its NULLALL days expanded, then split.
py::object samples_of(const bind::ModuleRef& mod, py::object df, const py::object& config,
                      const py::object& gzip_flag, const py::object& my_split_lines, bool values_only) {
    py::object rate = choose_rate(mod, df, config);
    if (values_only) {
        py::list keep;
        keep.append("STARTDATE");
        keep.append("OBSVALUE");
        df = df[keep];
    }
    const std::string null_text = missing_day_text(rate.cast<long long>());
    bool obsvalue_done = false;
    const bool declared = py::bool_(gzip_flag);
    if (declared && py::bool_(rate <= py::int_(60))) {
        // Decompression and marker expansion in one native pass over the column.
        df["OBSVALUE"] = unpack_obsvalues(df["OBSVALUE"], Gunzip::All, null_text);
        obsvalue_done = true;
    }
    // Compressed values the request did not announce are decompressed all the same (raw gzip
    // bytes would only fail later, or be handed back as bytes); the caller hears about it once.
    const size_t undeclared = expand_nullall(df, null_text, obsvalue_done);
    if (undeclared > 0) {
        const std::string count = std::to_string(undeclared);
        if (!declared)
            bind::log(mod, "warning",
                      "OBSVALUE 中有 " + count + " 个值是 gzip 压缩数据，但 gzip_flag 为 False：已自动解压");
        else
            bind::log(mod, "warning",
                      "OBSVALUE 中有 " + count + " 个值是 gzip 压缩数据，而 gzip_flag 只用于秒值和分钟值（采样间隔 " +
                          text_of(rate) + " 秒）：已自动解压");
    }

    if (!py::bool_(df.attr("empty")) && py::bool_(my_split_lines))
        df = mod.attr("cleaning").attr("split_lines")(df, rate);
    upper_columns(df);
    py::object index_name = df.attr("index").attr("name");
    if (py::isinstance<py::str>(index_name)) df.attr("index").attr("name") = index_name.attr("upper")();
    bind::log(mod, "debug", "数据获取完成...");
    return df;
}

py::object fetch_data(const bind::ModuleRef& mod, py::object conn, py::object start_date, py::object end_date,
                      py::object method_name, py::object station_name, py::object data_type, py::object base_type,
                      py::object item_name, py::object gzip_flag, py::object my_split_lines, py::object point_id) {
    bind::log(mod, "debug", "开始获取数据...");
    py::object method_ids = cls_attr(mod, "MetadataFetcher", "get_method_ids")(conn, method_name);
    py::object config = cls_attr(mod, "SampleRateType", "get_config")(data_type);
    if (config.is_none()) {
        bind::log(mod, "error", "未选择数据类型!");
        return py::none();
    }
    py::object sample_id = config["id"];
    py::object base_type_id = cls_attr(mod, "DatabaseType", "get_id")(base_type);
    if (base_type_id.is_none()) {
        bind::log(mod, "error", "未选择数据库类型!");
        return py::none();
    }
    py::object table_names =
        cls_attr(mod, "MetadataFetcher", "get_table_names")(conn, method_ids, base_type_id, sample_id);
    if (table_names.is_none() || py::bool_(table_names.attr("empty"))) {
        bind::log(mod, "debug", "未找到匹配的表名!");
        return py::none();
    }
    py::object station_ids = py::none(), item_ids = py::none();
    if (!is_all(station_name)) station_ids = cls_attr(mod, "MetadataFetcher", "get_station_ids")(conn, station_name);
    if (!is_all(item_name)) item_ids = cls_attr(mod, "MetadataFetcher", "get_item_ids")(conn, item_name);
    // A name that matched nothing: say so once; the query then selects no rows (" AND (1=0)")
    // and the answer is an empty table with the data tables' columns.
    const std::string unmatched = unmatched_message(station_name, station_ids, item_name, item_ids);
    if (!unmatched.empty()) bind::log(mod, "warning", unmatched);

    py::object query = cls_attr(mod, "QueryBuilder", "build_data_query")(table_names, start_date, end_date,
                                                                         station_ids, item_ids, point_id);
    if (query.is_none() || !py::bool_(query)) {
        bind::log(mod, "error", "未生成SQL查询!");
        return py::none();
    }
    py::object df = read_sql(text_of(query), conn);
    upper_columns(df);
    if (py::bool_(df.attr("empty"))) {
        bind::log(mod, "debug", "查询结果为空!");
        return df;
    }
    for (const char* col : {"STATIONID", "ITEMID", "POINTID"}) df[col] = df[col].attr("astype")("str");
    py::list by;
    for (const char* col : {"ITEMID", "STATIONID", "POINTID", "STARTDATE"}) by.append(col);
    // A new sorted frame rather than inplace=True (deprecated by the table library): the
    // frame is this call's own, so nobody can tell the difference.
    df = df.attr("sort_values")("by"_a = by);
    return samples_of(mod, df, config, gzip_flag, my_split_lines, false);
}

// ---- The values of one series straight from the statement's rows ----------------------------
// A task's series goes from the rows of its statement to (time, value) arrays without a frame in
// between: the rows are read as tuples, and unpacking, the time sort and the split run natively
// as split_lines runs them. Only inputs read exactly as pd.read_sql + split_lines read them take
// this way (naive datetime start times, text or missing values after unpacking, plain rates);
// anything else returns None and the caller takes the frame path.

// Microseconds since the epoch of a naive datetime.datetime (exactly that type); false otherwise.
bool datetime_micros(PyObject* o, int64_t& out) {
    if (!PyDateTime_CheckExact(o)) return false;
    auto* dt = reinterpret_cast<PyDateTime_DateTime*>(o);
    if (dt->hastzinfo && dt->tzinfo != Py_None) return false;
    const int64_t days = core::days_from_civil(PyDateTime_GET_YEAR(o), static_cast<unsigned>(PyDateTime_GET_MONTH(o)),
                                               static_cast<unsigned>(PyDateTime_GET_DAY(o)));
    const int64_t seconds = days * 86400 + PyDateTime_DATE_GET_HOUR(o) * 3600 +
                            PyDateTime_DATE_GET_MINUTE(o) * 60 + PyDateTime_DATE_GET_SECOND(o);
    out = seconds * 1000000 + PyDateTime_DATE_GET_MICROSECOND(o);
    return true;
}

// The first row's SAMPLERATE as the frame path sees it (a text, a number or missing); false for
// anything a frame would hold differently (decimals and other objects).
bool plain_rate_value(PyObject* o) {
    return o == Py_None || PyUnicode_Check(o) || PyLong_Check(o) || PyFloat_Check(o);
}

py::object direct_values(const bind::ModuleRef& mod, const py::object& conn, const std::string& sql,
                         const py::object& config, bool declared, bool arrays) {
    const py::module_ sa = py::module_::import("sqlalchemy");
    if (!py::isinstance(conn, sa.attr("engine").attr("Connection"))) return py::none();
    if (!PyDateTimeAPI) PyDateTime_IMPORT;
    if (!PyDateTimeAPI) throw py::error_already_set();

    py::object result = conn.attr("execute")(sa.attr("text")(core::escape_colons_in_quotes(sql)));
    std::vector<std::string> names;
    for (auto key : py::list(result.attr("keys")())) names.push_back(py::str(key).attr("upper")().cast<std::string>());
    const py::list rows = result.attr("fetchall")();
    auto column = [&](const char* name) -> int {
        int found = -1;
        for (size_t i = 0; i < names.size(); ++i)
            if (names[i] == name) {
                if (found >= 0) return -2;  // a repeated label: the frame path
                found = static_cast<int>(i);
            }
        return found;
    };
    const int at_start = column("STARTDATE"), at_value = column("OBSVALUE"), at_rate = column("SAMPLERATE");
    if (at_start < 0 || at_value < 0 || at_rate == -2) return py::none();
    const size_t n = py::len(rows);

    // rows in time order; rows of the same time keep the statement's order (a stable sort)
    std::vector<int64_t> row_start(n);
    py::list values;
    for (size_t i = 0; i < n; ++i) {
        const py::object row = rows[i];
        if (!datetime_micros(py::object(row[py::int_(at_start)]).ptr(), row_start[i])) return py::none();
    }
    std::vector<size_t> order(n);
    for (size_t i = 0; i < n; ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return row_start[a] < row_start[b]; });
    std::vector<int64_t> starts(n);
    for (size_t k = 0; k < n; ++k) {
        starts[k] = row_start[order[k]];
        values.append(py::object(rows[order[k]])[py::int_(at_value)]);
    }

    py::object rate = config["rate"];
    if (n > 0 && at_rate >= 0) {
        const py::object first = py::object(rows[order[0]])[py::int_(at_rate)];
        if (!plain_rate_value(first.ptr())) return py::none();
        const bool missing = first.is_none() || (PyFloat_Check(first.ptr()) && std::isnan(PyFloat_AS_DOUBLE(first.ptr())));
        if (!missing) {
            py::object known = cls_attr(mod, "SampleRateType", "get_rate_by_id")(rate_id(first));
            if (known.is_none()) return py::none();  // the frame path says so in the log
            rate = known;
        }
    }
    if (!PyLong_Check(rate.ptr())) return py::none();
    const long long seconds = rate.cast<long long>();
    int64_t step = 0;
    if (portable::mul_overflow(static_cast<int64_t>(seconds), int64_t{1000000}, step)) return py::none();

    const std::string null_text = missing_day_text(seconds);
    size_t zipped = 0;
    const Gunzip mode = declared && seconds <= 60 ? Gunzip::All : Gunzip::Sniffed;
    const py::list texts = unpack_obsvalues(values, mode, null_text, nullptr, &zipped);
    if (mode == Gunzip::Sniffed && zipped > 0) return py::none();  // the frame path warns about these

    std::vector<core::TextCell> cells(n);
    for (size_t k = 0; k < n; ++k) {
        PyObject* o = texts[k].ptr();
        if (o == Py_None || (PyFloat_Check(o) && std::isnan(PyFloat_AS_DOUBLE(o)))) continue;  // missing
        if (!PyUnicode_Check(o)) return py::none();
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(o, &size);
        if (!data) {
            PyErr_Clear();
            return py::none();
        }
        cells[k] = core::TextCell::text(data, static_cast<size_t>(size));
    }
    core::SplitPlan plan;
    core::SplitStatus status;
    {
        // reads only the text buffers held by `texts`
        py::gil_scoped_release release;
        status = core::plan_split(cells, starts, step, plan);
    }
    if (status != core::SplitStatus::Ok) return py::none();
    py::array_t<int64_t> stamps(static_cast<py::ssize_t>(plan.total));
    py::array_t<float> samples(static_cast<py::ssize_t>(plan.total));
    {
        // reads the text buffers held by `texts`, writes only this call's new arrays
        py::gil_scoped_release release;
        status = core::split_planned(plan, stamps.mutable_data(), samples.mutable_data(), nullptr, {},
                                     core::split_threads(plan.total));
    }
    if (status != core::SplitStatus::Ok) return py::none();
    if (arrays) return py::make_tuple(stamps.attr("view")("M8[us]"), samples);
    const py::module_ pd = pandas();
    py::object index =
        pd.attr("DatetimeIndex")(stamps.attr("view")("M8[us]"), "name"_a = "STARTDATE", "copy"_a = false);
    py::dict data;
    data["OBSVALUE"] = samples;
    return pd.attr("DataFrame")(data, "index"_a = index, "copy"_a = false);
}

// One series whose identifiers and tables the caller already knows (a job's task): the same
// statement, unpacking and splitting as fetch_data, without the look-ups. `values_only` leaves
// only OBSVALUE beside the STARTDATE index (the caller knows the series, so the key columns
// would only be copied into every sample's row). `arrays` (with values_only) hands the direct
// way's result over as its (times, values) arrays instead of a frame; the frame way still gives
// a frame.
py::object fetch_series(const bind::ModuleRef& mod, py::object conn, const std::vector<std::string>& tables,
                        py::object start_date, py::object end_date, const std::string& station_id,
                        const std::string& item_id, const std::string& point_id, py::object data_type,
                        py::object gzip_flag, bool values_only, bool arrays) {
    py::object config = cls_attr(mod, "SampleRateType", "get_config")(data_type);
    if (config.is_none()) throw py::value_error("unknown sample rate: " + text_of(data_type));
    if (tables.empty()) return pandas().attr("DataFrame")();
    const std::string sql = series_query(tables, start_date, end_date, station_id, item_id, point_id);
    if (values_only) {
        py::object direct = direct_values(mod, conn, sql, config, py::bool_(gzip_flag), arrays);
        if (!direct.is_none()) return direct;
    }
    py::object df = read_sql(sql, conn);
    upper_columns(df);
    if (py::bool_(df.attr("empty"))) return df;
    if (!values_only)
        for (const char* col : {"STATIONID", "ITEMID", "POINTID"}) df[col] = df[col].attr("astype")("str");
    // One series: its rows in time order, ties kept in the order the tables gave them (the
    // order a stable sort on the series' keys and time leaves them in).
    df = df.attr("sort_values")("by"_a = "STARTDATE", "kind"_a = "stable");
    return samples_of(mod, df, config, gzip_flag, py::bool_(true), values_only);
}

// Log tables are named with "LOG" and the method identifier (the sample network: QZ_LOG_231).
constexpr const char* kLogTables =
    "\n                SELECT TABLE_NAME \n"
    "                FROM ALL_TABLES \n"
    "                WHERE TABLE_NAME LIKE '%' || :keyword || '%' \n"
    "                AND TABLE_NAME LIKE '%' || :methodid || '%'\n            ";

py::object fetch_dialog(const bind::ModuleRef& mod, py::object conn, py::object start_date, py::object end_date,
                        py::object method_name, py::object station_name, py::object item_name, py::object log_type) {
    bind::log(mod, "debug", "开始获取日志数据...");
    py::object method_ids = cls_attr(mod, "MetadataFetcher", "get_method_ids")(conn, method_name);
    py::list frames;
    for (auto methodid : py::list(method_ids["methodid"].attr("tolist")())) {
        py::dict params;
        params["keyword"] = "LOG";
        params["methodid"] = methodid;
        frames.append(read_sql(kLogTables, conn, params));
    }
    py::object tables = frames.empty() ? py::object(pandas().attr("DataFrame")())
                                       : pandas().attr("concat")(frames, "ignore_index"_a = true);
    if (!frames.empty()) {
        upper_columns(tables);
        py::object names = tables["TABLE_NAME"].attr("astype")("str");
        tables = tables[names.attr("str").attr("contains")("_DEV_", "regex"_a = false).attr("__invert__")()];
        tables = tables.attr("drop_duplicates")().attr("reset_index")("drop"_a = true);
    }
    if (frames.empty() || py::bool_(tables.attr("empty"))) {
        bind::log(mod, "debug", "未找到匹配的表名!");
        return py::none();
    }
    py::object station_ids = py::none(), item_ids = py::none();
    if (!is_all(station_name)) {
        station_ids = cls_attr(mod, "MetadataFetcher", "get_station_ids")(conn, station_name);
        upper_columns(station_ids);
    }
    item_ids = cls_attr(mod, "MetadataFetcher", "get_item_ids")(conn, item_name);
    if (!item_ids.is_none()) upper_columns(item_ids);
    const std::string unmatched = unmatched_message(station_name, station_ids, item_name, item_ids);
    if (!unmatched.empty()) bind::log(mod, "warning", unmatched);

    py::object query = cls_attr(mod, "QueryBuilder", "build_dialog_query")(tables, start_date, end_date, log_type,
                                                                           station_ids, item_ids);
    if (query.is_none() || !py::bool_(query)) {
        bind::log(mod, "error", "未生成SQL查询!");
        return py::none();
    }
    py::dict params;
    params["evt_id"] = log_type;
    py::object df = read_sql(text_of(query), conn, params);
    upper_columns(df);
    if (py::bool_(df.attr("empty"))) {
        bind::log(mod, "debug", "查询结果为空!");
        return df;
    }
    for (const char* col : {"STATIONID", "POINTID", "ITEMID"})
        if (py::bool_(df.attr("columns").attr("__contains__")(col))) df[col] = df[col].attr("astype")("str");
    if (py::bool_(df.attr("columns").attr("__contains__")("STARTDATE")))
        df = df.attr("sort_values")("STARTDATE", "kind"_a = "stable", "ignore_index"_a = true);
    bind::log(mod, "debug", "日志数据获取完成...");
    return df;
}

}  // namespace

void register_fetcher(py::module_& m) {
    bind::ModuleRef mod(m);
    bind::StaticClass cls(m, "DataFetcher", "数据获取类");
    cls.def(
        "fetch_data",
        [mod](py::object conn, py::object start_date, py::object end_date, py::object method_name,
              py::object station_name, py::object data_type, py::object base_type, py::object item_name,
              py::object gzip_flag, py::object my_split_lines, py::object point_id) {
            return fetch_data(mod, conn, start_date, end_date, method_name, station_name, data_type, base_type,
                              item_name, gzip_flag, my_split_lines, point_id);
        },
        "获取数据的主函数", py::arg("conn"), py::arg("start_date"), py::arg("end_date"), py::arg("method_name"),
        py::arg("station_name"), py::arg("data_type"), py::arg("base_type"), py::arg("item_name") = kAll,
        py::arg("gzip_flag") = false, py::arg("my_split_lines") = true, py::arg("point_id") = "");
    cls.def(
        "fetch_dialog",
        [mod](py::object conn, py::object start_date, py::object end_date, py::object method_name,
              py::object station_name, py::object item_name, py::object log_type) {
            return fetch_dialog(mod, conn, start_date, end_date, method_name, station_name, item_name, log_type);
        },
        "获取日志数据：按方法、站点、测项与事件类型（EVTID）读取日志表（名称含 LOG 与方法ID）中日期范围内的记录，"
        "按 STARTDATE 排序返回；未找到日志表或无法生成查询时返回 None。",
        py::arg("conn"), py::arg("start_date"), py::arg("end_date"), py::arg("method_name") = kAll,
        py::arg("station_name") = kAll, py::arg("item_name") = kAll, py::arg("log_type") = "313");
    m.def(
        "_fetch_series",
        [mod](py::object conn, const std::vector<std::string>& tables, py::object start_date, py::object end_date,
              const std::string& station_id, const std::string& item_id, const std::string& point_id,
              py::object data_type, py::object gzip_flag, bool values_only, bool arrays) {
            return fetch_series(mod, conn, tables, start_date, end_date, station_id, item_id, point_id, data_type,
                                gzip_flag, values_only, arrays);
        },
        py::doc("一个已知标识（台站、测项、测点）与数据表的序列：与 fetch_data 相同的查询、解包与展开，"
                "不做名称查找；values_only 时只留 STARTDATE 索引与 OBSVALUE。"),
        py::arg("conn"), py::arg("tables"), py::arg("start_date"), py::arg("end_date"), py::arg("station_id"),
        py::arg("item_id"), py::arg("point_id") = "", py::arg("data_type") = "分钟值", py::arg("gzip_flag") = false,
        py::arg("values_only") = false, py::arg("arrays") = false);
}

}  // namespace lumoreq::fetching
