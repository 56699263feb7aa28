// The data-access module is registered piece by piece; each file adds one class or group of
// functions to the module object. The small helpers below are shared by those files.
#pragma once

#include <string>
#include <vector>

#include "bind/bind.hpp"
#include "core/sql_text.hpp"

namespace lumoreq::fetching {

void register_connector(py::module_& m);   // DatabaseConnector, conn_to_Oracle
void register_catalogues(py::module_& m);  // DatabaseType, SampleRateType
void register_query(py::module_& m);       // QueryBuilder
void register_metadata(py::module_& m);    // MetadataFetcher
void register_fetcher(py::module_& m);     // DataFetcher (created here): fetch_data, fetch_dialog
void register_export(py::module_& m);      // DataFetcher.to_ruzi, export_ruzi (added to the class)
void register_compat(py::module_& m);      // the module functions with the older names
void register_unpack(py::module_& m);      // _gunzip_texts, _expand_nullall

// The class DataFetcher made by register_fetcher; later files add their static methods to it
// with bind::add_static_method(data_fetcher_class(m), "name", py::cpp_function(...)).
inline py::object data_fetcher_class(const py::module_& m) { return m.attr("DataFetcher"); }

// How the OBSVALUE column is decompressed: not at all, every value (the caller declared the
// column compressed), or only the values that are bytes beginning with the gzip magic.
enum class Gunzip { Off, All, Sniffed };

// OBSVALUE of fetched rows: gzip members decompressed (see Gunzip; a missing value of a
// compressed column becomes an empty text), and the marker "NULLALL" replaced by `null_text`
// inside every text. Returns the new column as a list; `any_changed` (when given) tells whether
// any value may differ from the input, `zipped` (when given) how many values were gzip data.
py::list unpack_obsvalues(const py::object& values, Gunzip gunzip, const std::string& null_text,
                          bool* any_changed = nullptr, size_t* zipped = nullptr);

// The data statement of one series (one station, item and point) over `tables`, as
// QueryBuilder.build_data_query writes it for those identifiers.
std::string series_query(const std::vector<std::string>& tables, const py::object& start_date,
                         const py::object& end_date, const std::string& station_id, const std::string& item_id,
                         const std::string& point_id);

inline py::module_ pandas() { return py::module_::import("pandas"); }

// pd.read_sql of the statement as SQLAlchemy text(), so that named parameters bind on every
// driver; colons inside quoted literals are escaped for text() first.
inline py::object read_sql(const std::string& sql, const py::object& conn, const py::object& params = {}) {
    py::object statement =
        py::module_::import("sqlalchemy").attr("text")(core::escape_colons_in_quotes(sql));
    py::object read = pandas().attr("read_sql");
    if (params) return read(statement, "con"_a = conn, "params"_a = params);
    return read(statement, "con"_a = conn);
}

// The column labels of `df` set to lower (or upper) case, in place.
inline void lower_columns(const py::object& df) { df.attr("columns") = df.attr("columns").attr("str").attr("lower")(); }
inline void upper_columns(const py::object& df) { df.attr("columns") = df.attr("columns").attr("str").attr("upper")(); }

// str(value) as UTF-8 text.
inline std::string text_of(const py::handle& value) { return py::str(value).cast<std::string>(); }

}  // namespace lumoreq::fetching
