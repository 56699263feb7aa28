// split_lines: packed rows -> one row per sample.
//
// The per-sample work (stripping, splitting, parsing, timestamps, the stable time sort) runs
// natively on the column's raw buffers without the GIL; the frame is then assembled with a
// handful of whole-column pandas calls. Inputs the native reader does not read exactly like
// the table library (texts that are not plain str, string dtypes with pd.NA, exotic indexes
// or time columns, timestamps out of range, ...) take the library's own path, so results and
// exceptions are the library's.
#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "bind/arrow_text.hpp"
#include "bind/bind.hpp"
#include "core/packed_split.hpp"
#include "core/packed_text.hpp"
#include "core/portable.hpp"

namespace lumoreq::cleaning {

namespace {

constexpr const char* kSplitLinesDoc =
    "将 OBSVALUE 中以单个空格分隔的多个采样值展开为每个采样一行，"
    "以各采样的时间 STARTDATE 为升序索引，OBSVALUE 转为 float32。";

// Python's `bool(a <op> b)`: the same comparisons, and the same errors, as plain code.
bool compare(py::handle a, py::handle b, int op) {
    py::object result = py::reinterpret_steal<py::object>(PyObject_RichCompare(a.ptr(), b.ptr(), op));
    if (!result) throw py::error_already_set();
    const int truth = PyObject_IsTrue(result.ptr());
    if (truth < 0) throw py::error_already_set();
    return truth != 0;
}

bool is_float_nan(py::handle o) { return PyFloat_Check(o.ptr()) && std::isnan(PyFloat_AS_DOUBLE(o.ptr())); }

using bind::TextColumn;

// Object arrays: str, or None / NaN for a missing text. Anything else (bytes, numbers, str
// with lone surrogates, pd.NA) is left to the library.
bool read_objects(py::object values, TextColumn& out) {
    py::array arr = py::module_::import("numpy").attr("array")(values, "dtype"_a = "object", "copy"_a = true);
    if (arr.ndim() != 1 || arr.dtype().kind() != 'O') return false;
    const auto n = static_cast<std::size_t>(arr.shape(0));
    auto* items = static_cast<PyObject* const*>(arr.data());
    out.cells.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* o = items[i];
        if (PyUnicode_Check(o)) {
            Py_ssize_t size = 0;
            const char* data = PyUnicode_AsUTF8AndSize(o, &size);
            if (data == nullptr) {
                PyErr_Clear();
                return false;
            }
            out.cells.push_back(core::TextCell::text(data, static_cast<std::size_t>(size)));
        } else if (o == Py_None || is_float_nan(o)) {
            out.cells.emplace_back();
        } else {
            return false;
        }
    }
    // The copy holds its own references, so the texts outlive any change to the frame.
    out.owners.push_back(std::move(arr));
    return true;
}

// The column's texts, when it is one the native reader reads exactly as the library does:
// str dtype (NaN as its missing value, Arrow or Python storage) or an object column of str.
bool read_text_column(py::object series, TextColumn& out) {
    py::module_ pd = py::module_::import("pandas");
    py::object dtype = series.attr("dtype");
    if (py::isinstance(dtype, pd.attr("StringDtype"))) {
        // "string" (pd.NA) columns convert to nullable numbers in the library: not ours.
        if (!is_float_nan(dtype.attr("na_value"))) return false;
        const auto storage = dtype.attr("storage").cast<std::string>();
        if (storage == "pyarrow") return bind::read_arrow_texts(series.attr("array"), out);
        if (storage == "python") return read_objects(series.attr("to_numpy")("dtype"_a = "object"), out);
        return false;
    }
    if (!py::isinstance(dtype, py::module_::import("numpy").attr("dtype")) ||
        dtype.attr("kind").cast<std::string>() != "O")
        return false;
    return read_objects(series.attr("to_numpy")(), out);
}

// A frame the native path handles: plain unique labels on both axes, the two columns present.
bool plain_frame(py::handle df) {
    py::module_ pd = py::module_::import("pandas");
    if (!py::isinstance(df, pd.attr("DataFrame"))) return false;
    py::object columns = df.attr("columns");
    if (columns.attr("nlevels").cast<int>() != 1 || !columns.attr("is_unique").cast<bool>()) return false;
    auto has = [&](const char* label) { return columns.attr("__contains__")(label).cast<bool>(); };
    if (!has("OBSVALUE") || !has("STARTDATE") || has("timespan")) return false;
    py::object index = df.attr("index");
    if (index.attr("nlevels").cast<int>() != 1 || !index.attr("is_unique").cast<bool>() ||
        index.attr("hasnans").cast<bool>())
        return false;
    // Categorical labels join by category, not by position.
    return !py::isinstance(index, pd.attr("CategoricalIndex"));
}

struct StartTimes {
    std::vector<int64_t> ticks;  // in the result's resolution
    std::string unit;            // "us" or "ns"
};

// The row start times in the resolution the library's sum has (microseconds, or
// nanoseconds for a nanosecond column); naive datetime64 columns only.
bool read_start_times(py::object series, StartTimes& out) {
    py::module_ np = py::module_::import("numpy");
    py::object dtype = series.attr("dtype");
    if (!py::isinstance(dtype, np.attr("dtype")) || dtype.attr("kind").cast<std::string>() != "M")
        return false;
    const auto unit = np.attr("datetime_data")(dtype)[py::int_(0)].cast<std::string>();
    int64_t factor;
    if (unit == "s")
        factor = 1000000;
    else if (unit == "ms")
        factor = 1000;
    else if (unit == "us" || unit == "ns")
        factor = 1;
    else
        return false;
    out.unit = unit == "ns" ? "ns" : "us";
    py::array_t<int64_t> ticks = series.attr("to_numpy")().attr("view")("i8");
    auto view = ticks.unchecked<1>();
    out.ticks.resize(static_cast<std::size_t>(view.shape(0)));
    for (py::ssize_t i = 0; i < view.shape(0); ++i) {
        const int64_t t = view(i);
        if (t == core::kNaT) {
            out.ticks[static_cast<std::size_t>(i)] = t;
        } else if (portable::mul_overflow(t, factor, out.ticks[static_cast<std::size_t>(i)]) ||
                   out.ticks[static_cast<std::size_t>(i)] == core::kNaT) {
            return false;  // the library raises on converting this column
        }
    }
    return true;
}

// Seconds between pieces for a rate outside the unit table, when it is a whole number the
// native path can use; the library handles fractions and other objects.
std::optional<int64_t> whole_seconds(py::handle rate) {
    py::module_ np = py::module_::import("numpy");
    if (PyLong_Check(rate.ptr()) || py::isinstance(rate, np.attr("integer"))) {
        int overflow = 0;
        py::object as_int = py::reinterpret_steal<py::object>(PyNumber_Index(rate.ptr()));
        if (!as_int) {
            PyErr_Clear();
            return std::nullopt;
        }
        const long long v = PyLong_AsLongLongAndOverflow(as_int.ptr(), &overflow);
        if (overflow != 0 || (v == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            return std::nullopt;
        }
        return v;
    }
    if (PyFloat_Check(rate.ptr()) || py::isinstance(rate, np.attr("floating"))) {
        const double d = py::float_(py::reinterpret_borrow<py::object>(rate)).cast<double>();
        if (std::isfinite(d) && d == std::trunc(d) && std::fabs(d) < 9007199254740992.0)
            return static_cast<int64_t>(d);
    }
    return std::nullopt;
}

// A text column of the frame on Arrow storage, repeated for every sample natively.
struct RepeatedColumn {
    py::ssize_t position;
    py::object label, dtype;
    TextColumn rows;
    std::optional<bind::StrBuffers> buffers;
};

// The native split; None when the input is outside what it reads exactly like the library.
// The result: the other columns repeated per sample in their order, then OBSVALUE. Text
// columns on Arrow storage are written natively as the samples are cut; the rest (numbers,
// times, objects, categories) go through the library's take, one call for all of them.
py::object native_split(py::object df, int64_t step_seconds) {
    if (!plain_frame(df)) return py::none();
    if (py::len(df) == 0) return py::none();
    TextColumn texts;
    if (!read_text_column(df["OBSVALUE"], texts)) return py::none();
    StartTimes starts;
    if (!read_start_times(df["STARTDATE"], starts)) return py::none();
    if (starts.ticks.size() != texts.cells.size()) return py::none();

    int64_t step;
    const int64_t ticks_per_second = starts.unit == "ns" ? int64_t{1000000000} : int64_t{1000000};
    if (portable::mul_overflow(step_seconds, ticks_per_second, step)) return py::none();

    core::SplitPlan plan;
    core::SplitStatus status;
    {
        // Reads only the text buffers held by `texts`; no Python object is touched.
        py::gil_scoped_release release;
        status = core::plan_split(texts.cells, starts.ticks, step, plan);
    }
    if (status != core::SplitStatus::Ok) return py::none();
    const std::size_t total = plan.total;

    py::module_ pd = py::module_::import("pandas");
    py::list drop;
    drop.append("OBSVALUE");
    drop.append("STARTDATE");
    const py::object kept = df.attr("columns").attr("drop")(drop);
    std::vector<RepeatedColumn> repeated;
    // A plain frame only: a subclass's take may add what a rebuilt column would lose.
    if (py::type::of(df).is(pd.attr("DataFrame"))) {
        const auto n_kept = static_cast<py::ssize_t>(py::len(kept));
        for (py::ssize_t j = 0; j < n_kept; ++j) {
            const py::object label = kept[py::int_(j)];
            const py::object column = df[label];
            if (!bind::is_arrow_str_dtype(column.attr("dtype"))) continue;
            RepeatedColumn c{j, label, column.attr("dtype"), {}, std::nullopt};
            if (!bind::read_arrow_texts(column.attr("array"), c.rows)) continue;
            core::RepeatedSize size;
            if (!core::repeated_size(plan, c.rows.cells, size)) continue;
            c.buffers.emplace(total, size.bytes, size.missing, core::kRepeatSlack);
            repeated.push_back(std::move(c));
        }
    }
    for (const RepeatedColumn& c : repeated) drop.append(c.label);
    const py::object rest = df.attr("drop")(drop, "axis"_a = 1);
    const bool take_rest = py::len(rest.attr("columns")) > 0;

    py::array_t<int64_t> stamps(static_cast<py::ssize_t>(total));
    py::array_t<float> values(static_cast<py::ssize_t>(total));
    py::array_t<int64_t> source_rows(static_cast<py::ssize_t>(take_rest ? total : 0));
    std::vector<core::RepeatedText> outputs;
    for (const RepeatedColumn& c : repeated)
        outputs.push_back({c.rows.cells, c.buffers->offsets_out, c.buffers->data_out, c.buffers->bits});
    {
        // Reads the text buffers held by `texts` and `repeated`; writes only this call's new
        // arrays and buffers.
        py::gil_scoped_release release;
        status = core::split_planned(plan, stamps.mutable_data(), values.mutable_data(),
                                     take_rest ? source_rows.mutable_data() : nullptr, outputs,
                                     core::split_threads(total));
    }
    if (status != core::SplitStatus::Ok) return py::none();

    py::object index = pd.attr("DatetimeIndex")(stamps.attr("view")("M8[" + starts.unit + "]"),
                                                "name"_a = "STARTDATE", "copy"_a = false);
    py::object result;
    if (!take_rest) {
        // Nothing left to take (the usual fetched frame: every other column is text): the new
        // index alone, without taking the old labels per sample.
        result = pd.attr("DataFrame")("index"_a = index, "columns"_a = rest.attr("columns")).attr("__finalize__")(rest);
    } else {
        result = rest.attr("take")(source_rows);
        result.attr("index") = index;
    }
    // In ascending position, so each lands where the take would have put it.
    for (const RepeatedColumn& c : repeated) result.attr("insert")(c.position, c.label, c.buffers->column(c.dtype));
    // As a Series on the result's own index: taken over as it is, where a bare array is copied.
    result["OBSVALUE"] = pd.attr("Series")(values, "index"_a = result.attr("index"), "copy"_a = false);
    return result;
}

// The library's own path, step for step: strip, split, stack without the missing cells,
// join back on the row labels, and add the piece offsets to the start times.
py::object library_split(py::object df, py::object rate, const char* unit) {
    py::module_ pd = py::module_::import("pandas");
    py::object pieces = df["OBSVALUE"]
                            .attr("str")
                            .attr("strip")()
                            .attr("str")
                            .attr("split")(" ", "expand"_a = true)
                            .attr("stack")("future_stack"_a = true)
                            .attr("dropna")()
                            .attr("reset_index")("level"_a = 1);
    py::dict names;
    names["level_1"] = "timespan";
    names[py::int_(0)] = "OBSVALUE";
    pieces = pieces.attr("rename")("columns"_a = names);
    py::object work = df.attr("drop")("OBSVALUE", "axis"_a = 1).attr("join")(pieces);
    // A row without text has no piece: it keeps one sample at its own start time.
    work["timespan"] = work["timespan"].attr("fillna")(0);
    if (unit != nullptr)
        work["timespan"] = pd.attr("to_timedelta")(work["timespan"], "unit"_a = unit);
    else
        work["timespan"] = pd.attr("to_timedelta")(py::object(work["timespan"]) * rate, "unit"_a = "seconds");
    work["STARTDATE"] = py::object(work["STARTDATE"]) + py::object(work["timespan"]);
    return work;
}

// OBSVALUE as float32, as pd.to_numeric(errors="coerce") then astype("float32") give it.
void convert_values(py::object work) {
    TextColumn texts;
    py::object column = work["OBSVALUE"];
    const bool series = py::isinstance(column, py::module_::import("pandas").attr("Series"));
    if (series && read_text_column(column, texts)) {
        py::array_t<float> values(static_cast<py::ssize_t>(texts.cells.size()));
        {
            // Reads the text buffers held by `texts`; writes only the new array.
            py::gil_scoped_release release;
            core::parse_column(texts.cells, values.mutable_data());
        }
        work["OBSVALUE"] = values;
        return;
    }
    py::module_ pd = py::module_::import("pandas");
    work["OBSVALUE"] = pd.attr("to_numeric")(column, "errors"_a = "coerce");
    work["OBSVALUE"] = work["OBSVALUE"].attr("astype")("float32");
}

// Sorted by STARTDATE (stable), indexed by it, OBSVALUE converted: the split frame is new,
// so it is simply replaced step by step.
py::object finish_split(py::object work) {
    py::list by;
    by.append("STARTDATE");
    work = work.attr("sort_values")("by"_a = by, "kind"_a = "stable").attr("set_index")("STARTDATE");
    convert_values(work);
    return work.attr("drop")("timespan", "axis"_a = 1);
}

// Without splitting the caller's own frame is sorted, re-indexed and converted, and returned.
// pandas 3.1 deprecates inplace=True, so the sorted and indexed frame is computed anew and
// moved into the caller's object column by column (a loop over columns, not rows).
py::object finish_in_place(py::object df) {
    py::list by;
    by.append("STARTDATE");
    py::object result =
        df.attr("sort_values")("by"_a = by, "kind"_a = "stable").attr("set_index")("STARTDATE");
    py::object columns = df.attr("columns");
    const bool movable = py::isinstance(df, py::module_::import("pandas").attr("DataFrame")) &&
                         columns.attr("nlevels").cast<int>() == 1 && columns.attr("is_unique").cast<bool>();
    if (movable) {
        df.attr("__delitem__")("STARTDATE");
        // The new labels first: each column then comes as a Series on the very same index,
        // so it is taken as it is (no realignment, no dtype inference).
        df.attr("index") = result.attr("index");
        py::object iloc = result.attr("iloc");
        const auto n_columns = py::len(result.attr("columns"));
        for (std::size_t j = 0; j < n_columns; ++j)
            df.attr("isetitem")(j, iloc[py::make_tuple(py::slice(py::none(), py::none(), py::none()), j)]);
    } else {
        // Repeated or multi-level column labels: only the library's own in-place calls keep
        // them exactly (they warn about the deprecated keyword).
        df.attr("sort_values")("by"_a = by, "inplace"_a = true, "kind"_a = "stable");
        df.attr("set_index")("STARTDATE", "inplace"_a = true);
    }
    convert_values(df);
    return df;
}

py::object split_lines(const bind::ModuleRef& mod, py::object df, py::object sample_by_seconds) {
    bind::log(mod, "debug", "Splitting data...");
    const char* unit = nullptr;  // nullptr: pieces spaced sample_by_seconds seconds apart
    int64_t unit_seconds = 0;
    if (compare(sample_by_seconds, py::int_(1), Py_EQ)) {
        unit = "seconds";
        unit_seconds = 1;
    } else if (compare(sample_by_seconds, py::int_(60), Py_EQ)) {
        unit = "minutes";
        unit_seconds = 60;
    } else if (compare(sample_by_seconds, py::int_(3600), Py_EQ)) {
        unit = "hours";
        unit_seconds = 3600;
    } else if (compare(sample_by_seconds, py::int_(86400), Py_EQ)) {
        unit = "days";
        unit_seconds = 86400;
    }
    if (!compare(sample_by_seconds, py::int_(3600), Py_LE)) return finish_in_place(df);

    const std::optional<int64_t> step_seconds =
        unit != nullptr ? std::optional<int64_t>(unit_seconds) : whole_seconds(sample_by_seconds);
    py::object native = step_seconds ? native_split(df, *step_seconds) : py::none();
    if (!native.is_none()) return native;
    return finish_split(library_split(df, sample_by_seconds, unit));
}

}  // namespace

void register_split_lines(py::module_& m) {
    bind::ModuleRef mod(m);
    m.def(
        "split_lines",
        [mod](py::object df, py::object sample_by_seconds) {
            return split_lines(mod, df, sample_by_seconds);
        },
        py::doc(kSplitLinesDoc), py::arg("df"), py::arg("sample_by_seconds"));
}

}  // namespace lumoreq::cleaning
