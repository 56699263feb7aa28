// _is_leap_year and create_normalized_dates: every timestamp of a frame's index carried over
// to the same month and day of one reference year. A plain timestamp index and an ordinary
// year go through the native calendar kernel; an empty index, missing timestamps, other index
// types and years the host's datetime refuses take the per-entry mapping, so the result or
// the error is the one the plain mapping gives.
#include <cstdint>
#include <limits>
#include <string>

#include "core/civil_date.hpp"
#include "refinery/refinery.hpp"

namespace lumoreq::refinery {
namespace {

const char* const kNormalizeDoc =
    "创建归一化日期列 datetime_norm：将所有年份映射到参考年份，正确处理闰年。\n\n"
    "参数:\n"
    "    df: 以时间为索引的 DataFrame\n"
    "    reference_year: 参考年份，默认 2024（闰年，可以容纳 2 月 29 日）\n\n"
    "返回:\n"
    "    添加了 datetime_norm 列的同一个 DataFrame";

// Python's `(year % 4 == 0 and year % 100 != 0) or (year % 400 == 0)`, with the operands'
// own arithmetic and short-circuit: the value returned is the one Python would return.
py::object checked(PyObject* result) {
    if (result == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

// `year % divisor == 0` (op Py_EQ) or `!= 0` (op Py_NE), with the operand's own arithmetic.
py::object remainder_test(const py::object& year, long divisor, int op) {
    const py::object rem = checked(PyNumber_Remainder(year.ptr(), py::int_(divisor).ptr()));
    return checked(PyObject_RichCompare(rem.ptr(), py::int_(0).ptr(), op));
}

py::object is_leap_year(const py::object& year) {
    py::object result = remainder_test(year, 4, Py_EQ);
    if (truthy(result)) result = remainder_test(year, 100, Py_NE);
    if (truthy(result)) return result;
    return remainder_test(year, 400, Py_EQ);
}

// One index entry, through the host's datetime: the mapping for everything the kernel does
// not take.
py::object normalize_one(const py::object& reference_year, const py::object& date) {
    const py::object datetime = py::module_::import("datetime").attr("datetime");
    if (equals(date.attr("month"), py::int_(2)) && equals(date.attr("day"), py::int_(29)) &&
        !truthy(is_leap_year(reference_year)))
        return datetime(reference_year, 2, 28);
    try {
        return datetime(reference_year, date.attr("month"), date.attr("day"));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError)) throw;
    }
    return datetime(reference_year, date.attr("month"), 28);
}

// An ordinary year: a plain or numpy integer inside the host's datetime range.
bool kernel_year(const py::object& year, std::int64_t& value) {
    if (!PyLong_Check(year.ptr()) && !py::isinstance(year, py::module_::import("numpy").attr("integer")))
        return false;
    const auto y = py::int_(year);
    if (y < py::int_(1) || y > py::int_(9999)) return false;
    value = y.cast<std::int64_t>();
    return true;
}

std::int64_t ticks_per_day(const std::string& unit) {
    if (unit == "s") return 86'400;
    if (unit == "ms") return 86'400'000;
    if (unit == "us") return 86'400'000'000;
    if (unit == "ns") return 86'400'000'000'000;
    return 0;
}

py::object normalized_index(const py::object& index, const py::object& reference_year) {
    const py::object pd = py::module_::import("pandas");
    const py::object np = py::module_::import("numpy");
    std::int64_t year = 0;
    if (py::isinstance(index, pd.attr("DatetimeIndex")) && py::len(index) > 0 &&
        kernel_year(reference_year, year)) {
        // Month and day are those of the wall clock, so an aware index is read in its own zone.
        const py::object wall = index.attr("tz").is_none() ? index : index.attr("tz_localize")(py::none());
        const std::int64_t per_day = ticks_per_day(wall.attr("unit").cast<std::string>());
        const auto ticks = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>::ensure(
            wall.attr("asi8"));
        const std::int64_t* t = ticks.data();
        const auto n = static_cast<std::size_t>(ticks.size());
        bool has_missing = false;
        for (std::size_t i = 0; i < n && !has_missing; ++i)
            has_missing = t[i] == std::numeric_limits<std::int64_t>::min();
        if (per_day != 0 && !has_missing) {
            py::array out = np.attr("empty")(n, "dtype"_a = "datetime64[us]");
            auto* us = static_cast<std::int64_t*>(out.mutable_data());
            {
                py::gil_scoped_release release;  // reads `ticks`, writes `out`: both held alive here
                core::normalize_to_year_us(t, n, per_day, year, us);
            }
            return pd.attr("DatetimeIndex")(out, "name"_a = index.attr("name"));
        }
    }
    const py::object year_obj = reference_year;
    return index.attr("map")(py::cpp_function(
        [year_obj](py::object date) { return normalize_one(year_obj, date); }, py::name("normalize_date"),
        py::arg("date")));
}

}  // namespace

void register_dates(py::module_& m) {
    m.def("_is_leap_year", &is_leap_year, py::doc("检查是否为闰年"), py::arg("year"));
    m.def(
        "create_normalized_dates",
        [](py::object df, py::object reference_year) -> py::object {
            const py::object pd = py::module_::import("pandas");
            if (!py::isinstance(df.attr("index"), pd.attr("DatetimeIndex"))) {
                try {
                    py::setattr(df, "index", pd.attr("to_datetime")(df.attr("index")));
                } catch (py::error_already_set& e) {
                    bind::rethrow_unless_exception(e);
                    return df;  // an index that is not time: the frame comes back as it was
                }
            }
            df[py::str("datetime_norm")] = normalized_index(df.attr("index"), reference_year);
            return df;
        },
        py::doc(kNormalizeDoc), py::arg("df"), py::arg("reference_year") = 2024);
}

}  // namespace lumoreq::refinery
