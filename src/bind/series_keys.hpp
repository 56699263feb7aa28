// How many (STATIONID, POINTID, ITEMID) series a table holds, for the functions that treat their
// input as one series and point out a mixture. The key columns are coded by the table library
// (one hash pass each) or, for Arrow text, read from their buffers; runs and groups are counted
// natively.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bind/arrow_text.hpp"
#include "bind/bind.hpp"
#include "core/row_groups.hpp"

namespace lumoreq::bind {

// Distinct key triples among the rows of a data frame, a missing key part counting as a value
// of its own. Only the key columns present take part; 0 when `df` is not a data frame or has
// none of them (nothing to tell series apart by).
// A column whose every value equals its first (a missing first value never does): the usual
// single-series table is told by one vectorised comparison per key column, without coding them.
inline bool constant_column(const py::object& column) {
    core::StringCodes codes;
    if (const auto runs = arrow_string_runs(column, codes)) return runs->size() == 1 && runs->front().code >= 0;
    try {
        const py::object same = column.attr("__eq__")(column.attr("iloc")[py::int_(0)]);
        return py::bool_(same.attr("all")()).cast<bool>();
    } catch (py::error_already_set& e) {
        rethrow_unless_exception(e);
        return false;  // values that do not compare simply: counted the long way
    }
}

inline std::size_t count_series(const py::object& df) {
    const py::module_ pd = py::module_::import("pandas");
    if (!py::isinstance(df, pd.attr("DataFrame"))) return 0;
    const py::object columns = df.attr("columns");
    const auto n = static_cast<std::int64_t>(py::len(df));
    if (n == 0) return 0;
    {
        bool any_key = false, all_constant = true;
        for (const char* name : {"STATIONID", "POINTID", "ITEMID"}) {
            const int present = PySequence_Contains(columns.ptr(), py::str(name).ptr());
            if (present < 0) throw py::error_already_set();
            if (!present) continue;
            const py::object column = df[py::str(name)];
            if (!py::isinstance(column, pd.attr("Series"))) continue;
            any_key = true;
            if (!constant_column(column)) {
                all_constant = false;
                break;
            }
        }
        if (!any_key) return 0;
        if (all_constant) return 1;
    }
    std::vector<core::Run> runs[3];
    bool any = false;
    std::size_t k = 0;
    for (const char* name : {"STATIONID", "POINTID", "ITEMID"}) {
        std::vector<core::Run>& column_runs = runs[k++];
        const int present = PySequence_Contains(columns.ptr(), py::str(name).ptr());
        if (present < 0) throw py::error_already_set();
        py::object column = present ? py::object(df[py::str(name)]) : py::none();
        // a label used twice selects a frame, not a column: not a key to count by
        if (!present || !py::isinstance(column, pd.attr("Series"))) {
            column_runs.push_back({0, 0});
            continue;
        }
        any = true;
        core::StringCodes distinct;
        if (auto string_runs = arrow_string_runs(column, distinct)) {
            column_runs = std::move(*string_runs);
            if (column_runs.empty()) column_runs.push_back({0, 0});
            continue;
        }
        const py::tuple factorized = pd.attr("factorize")(column);
        const auto codes =
            py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>::ensure(factorized[0]);
        if (!codes) throw py::error_already_set();
        const std::int64_t* data = codes.data();
        const auto size = static_cast<std::size_t>(codes.size());
        py::gil_scoped_release release;  // scans the code array held alive above
        column_runs = core::runs_of_codes(data, size);
        if (column_runs.empty()) column_runs.push_back({0, 0});
    }
    if (!any || n == 0) return 0;
    py::gil_scoped_release release;  // the run lists are this call's own
    return core::group_runs(runs[0], runs[1], runs[2], n).a.size();
}

// One UserWarning naming the number of series when `df` holds more than one; `what` says what
// the mixture does to the result.
inline void warn_if_mixed_series(const py::object& df, const char* function, const char* what) {
    const std::size_t count = count_series(df);
    if (count <= 1) return;
    const std::string message = std::string(function) + ": 数据含 " + std::to_string(count) +
                                " 个序列（按 STATIONID、POINTID、ITEMID 区分），" + what;
    if (PyErr_WarnEx(PyExc_UserWarning, message.c_str(), 1) < 0) throw py::error_already_set();
}

}  // namespace lumoreq::bind
