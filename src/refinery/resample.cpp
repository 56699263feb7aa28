// resample_timeseries_data: every (STATIONID, POINTID, ITEMID) series brought onto a regular
// grid by the table library's resampler, and the results stacked in long form. Only the value
// column travels through the grouping (the key columns are not split per group), and the loop
// runs over the groups, never over rows.
#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>
#include <cctype>
#include <string>
#include <type_traits>
#include <utility>

#include "bind/arrow_text.hpp"
#include "core/bin_aggregate.hpp"
#include "core/bin_reduceat.hpp"
#include "core/packed_text.hpp"
#include "core/portable.hpp"
#include "refinery/refinery.hpp"

namespace lumoreq::refinery {
namespace {

const char* const kResampleDoc =
    "重采样时间序列数据。\n\n"
    "参数:\n"
    "    df: 时间序列数据表，须包含 STARTDATE、STATIONID、POINTID、ITEMID、OBSVALUE 列\n"
    "    freq: 重采样频率，如 'D' 表示日均值，'H' 表示小时值\n"
    "    agg_method: 聚合方法，'mean'（默认）、'sum'、'median'、'max' 或 'min'\n\n"
    "返回:\n"
    "    重采样后的 DataFrame，列为 STARTDATE、OBSVALUE、STATIONID、POINTID、ITEMID";

constexpr std::array<const char*, 5> kRequired = {"STARTDATE", "STATIONID", "POINTID", "ITEMID", "OBSVALUE"};
constexpr std::array<const char*, 5> kAggregations = {"mean", "sum", "median", "max", "min"};

// Aliases older pandas accepted and the installed one refuses, with their current spelling.
constexpr std::pair<const char*, const char*> kRenamedAliases[] = {
    {"H", "h"},      {"T", "min"},   {"S", "s"},     {"L", "ms"},   {"U", "us"},   {"N", "ns"},
    {"BH", "bh"},    {"CBH", "cbh"}, {"M", "ME"},    {"BM", "BME"}, {"SM", "SME"}, {"CBM", "CBME"},
    {"Q", "QE"},     {"BQ", "BQE"},  {"Y", "YE"},    {"A", "YE"},   {"BY", "BYE"}, {"BA", "BYE"},
    {"AS", "YS"},    {"BAS", "BYS"},
};

bool accepted_rule(const py::object& rule) {
    try {
        py::module_::import("pandas.tseries.frequencies").attr("to_offset")(rule);
        return true;
    } catch (py::error_already_set& e) {
        bind::rethrow_unless_exception(e);
        return false;
    }
}

// "2H" -> "2h", "A-DEC" -> "YE-DEC", "1H30T" -> "1h30min", "2SM-20" -> "2SME-20"; a rule the library accepts, or one
// that does not parse as multiples of aliases, is returned unchanged (the library then reports it).
py::object current_rule(const py::object& freq) {
    if (!py::isinstance<py::str>(freq) || accepted_rule(freq)) return freq;
    const auto text = freq.cast<std::string>();
    std::string out;
    std::size_t i = 0;
    auto is_alpha = [&](std::size_t k) {
        return k < text.size() && std::isalpha(static_cast<unsigned char>(text[k]));
    };
    auto is_digit = [&](std::size_t k) {
        return k < text.size() && std::isdigit(static_cast<unsigned char>(text[k]));
    };
    while (i < text.size()) {
        while (i < text.size() && (std::isdigit(static_cast<unsigned char>(text[i])) || text[i] == '.' ||
                                   text[i] == '+' || text[i] == '-' || text[i] == ' '))
            out += text[i++];
        const std::size_t alias_start = i;
        while (is_alpha(i)) ++i;
        if (i == alias_start) return freq;
        std::string alias = text.substr(alias_start, i - alias_start);
        // the semi-month aliases take a day of the month as their anchor (SM-15, 2SMS-20)
        const bool day_anchor = alias == "SM" || alias == "SMS";
        for (const auto& [old_alias, current] : kRenamedAliases)
            if (alias == old_alias) alias = current;
        out += alias;
        if (i < text.size() && text[i] == '-' && is_alpha(i + 1)) {  // anchor such as -DEC or -JAN
            out += text[i++];
            while (is_alpha(i)) out += text[i++];
        } else if (day_anchor && i < text.size() && text[i] == '-' && is_digit(i + 1)) {
            out += text[i++];
            while (is_digit(i)) out += text[i++];
        }
    }
    const py::str translated(out);
    return accepted_rule(translated) ? py::object(translated) : freq;
}


// Rows of one series usually come in long runs. The runs are found by comparing each key
// column's values with those of the row before (vectorised by the numeric library, on the
// column's own values: integers stay integers, so keys that differ only beyond a double's
// precision stay apart); only key types whose `==` agrees with the grouping's notion of the
// same key take this way.
struct SeriesRuns {
    std::vector<std::int64_t> begin, end;
    py::array_t<std::int64_t> starts;
};

std::optional<SeriesRuns> key_runs(const py::object& frame, const py::list& keys) {
    const py::object pd = py::module_::import("pandas");
    const py::object api = pd.attr("api").attr("types");
    const auto n = static_cast<std::size_t>(py::len(frame));
    std::vector<std::uint8_t> changed(n, 0);
    if (n > 0) changed[0] = 1;
    for (const py::handle key : keys) {
        const py::object column = frame[key];
        const py::object dtype = column.attr("dtype");
        auto is = [&](const char* test) { return truthy(api.attr(test)(dtype)); };
        const bool text = is("is_string_dtype");
        const bool comparable = text || is("is_integer_dtype") || is("is_bool_dtype");
        if (!comparable || (is("is_extension_array_dtype") && !text)) return std::nullopt;
        if (n < 2) continue;
        if (text) {
            // Arrow text: runs read from the buffers (a missing value equals only a missing one).
            core::StringCodes codes;
            if (const auto string_runs = bind::arrow_string_runs(column, codes)) {
                for (const core::Run& run : *string_runs)
                    if (run.start > 0) changed[static_cast<std::size_t>(run.start)] = 1;
                continue;
            }
        }
        py::object same;
        try {
            // Text: missing values as None, which equals only None; a run of missing keys is
            // dropped by the grouping as a whole, as its rows would be one by one.
            const py::object values =
                text ? column.attr("to_numpy")("dtype"_a = py::module_::import("builtins").attr("object"),
                                               "na_value"_a = py::none())
                     : column.attr("to_numpy")();
            const py::object tail = values[py::slice(1, static_cast<py::ssize_t>(n), 1)];
            const py::object head = values[py::slice(0, static_cast<py::ssize_t>(n) - 1, 1)];
            same = tail.attr("__eq__")(head);
        } catch (py::error_already_set& e) {
            bind::rethrow_unless_exception(e);
            return std::nullopt;
        }
        if (!py::isinstance<py::array>(same)) return std::nullopt;
        const auto flags = py::array_t<bool, py::array::c_style | py::array::forcecast>::ensure(same);
        if (!flags || static_cast<std::size_t>(flags.size()) != n - 1) return std::nullopt;
        for (std::size_t i = 1; i < n; ++i) changed[i] |= !flags.data()[i - 1];
    }
    SeriesRuns runs;
    for (std::size_t i = 0; i < n; ++i)
        if (changed[i]) {
            if (!runs.begin.empty()) runs.end.push_back(static_cast<std::int64_t>(i));
            runs.begin.push_back(static_cast<std::int64_t>(i));
        }
    if (!runs.begin.empty()) runs.end.push_back(static_cast<std::int64_t>(n));
    runs.starts = py::array_t<std::int64_t>(static_cast<py::ssize_t>(runs.begin.size()), runs.begin.data());
    return runs;
}

// A fixed-width rule (hours, minutes, seconds, ...) on a naive time index: the bin width in the
// index's own unit and the unit's ticks per day; bins start from the first sample's midnight,
// as the resampler's default origin puts them.
struct FixedBins {
    std::int64_t width = 0, per_day = 0;
    std::string unit;
};

std::optional<FixedBins> fixed_bins(const py::object& rule, const py::object& index) {
    const py::object pd = py::module_::import("pandas");
    const py::object np = py::module_::import("numpy");
    if (!py::isinstance(index, pd.attr("DatetimeIndex")) || !index.attr("tz").is_none()) return std::nullopt;
    py::object offset;
    try {
        offset = pd.attr("tseries").attr("frequencies").attr("to_offset")(rule);
    } catch (py::error_already_set& e) {
        bind::rethrow_unless_exception(e);
        return std::nullopt;  // the resampler reports it
    }
    if (!py::isinstance(offset, pd.attr("offsets").attr("Tick"))) return std::nullopt;
    FixedBins bins;
    bins.unit = np.attr("datetime_data")(index.attr("dtype"))[py::int_(0)].cast<std::string>();
    std::int64_t unit_ns;
    if (bins.unit == "s")
        unit_ns = 1000000000;
    else if (bins.unit == "ms")
        unit_ns = 1000000;
    else if (bins.unit == "us")
        unit_ns = 1000;
    else if (bins.unit == "ns")
        unit_ns = 1;
    else
        return std::nullopt;
    const auto width_ns = pd.attr("Timedelta")(offset).attr("value").cast<std::int64_t>();
    if (width_ns <= 0 || width_ns % unit_ns != 0) return std::nullopt;
    bins.width = width_ns / unit_ns;
    bins.per_day = 86400 * (1000000000 / unit_ns);
    return bins;
}

// One series reduced natively per fixed-width bin, as the resampler does it: with a NaN among
// the values its grouped (compensated) reduction, in the values' type; without one numpy's
// reduceat (means in double). Bins start at the first sample's midnight.
struct Reduced {
    std::int64_t first = 0;  // the first bin's label
    std::size_t bins = 0;
    bool wide = false;  // the values are doubles (`doubles`), else floats (`floats`)
    std::vector<double> doubles;
    std::vector<float> floats;
};

core::BinReduce reduce_kind(const std::string& how) {
    return how == "mean" ? core::BinReduce::Mean
           : how == "sum" ? core::BinReduce::Sum
           : how == "max" ? core::BinReduce::Max
                          : core::BinReduce::Min;
}

// False when the series is outside that way (unsorted or missing times, sparse samples over a
// vast grid, zeros of both signs at a maximum or minimum): the resampler's own way then.
// Plain C++ on the given buffers.
template <class T>
bool reduce_series(const std::int64_t* t, const T* x, std::size_t n, const FixedBins& plan, core::BinReduce reduce,
                   Reduced& out) {
    if (n == 0) return false;
    bool sorted = t[0] != core::kNaT;
    for (std::size_t i = 1; i < n && sorted; ++i) sorted = t[i] >= t[i - 1];
    if (!sorted) return false;
    // Bins from the first sample's midnight (floor division: times before 1970 too).
    const std::int64_t day = t[0] / plan.per_day - (t[0] % plan.per_day < 0 ? 1 : 0);
    std::int64_t midnight;
    if (portable::mul_overflow(day, plan.per_day, midnight)) return false;
    out.first = midnight + (t[0] - midnight) / plan.width * plan.width;
    out.bins = static_cast<std::size_t>((t[n - 1] - out.first) / plan.width + 1);
    if (out.bins > n + 1000000) return false;
    bool has_nan = false;
    for (std::size_t i = 0; i < n && !has_nan; ++i) has_nan = std::isnan(x[i]);
    auto target = [&](auto tag) {
        using Out = decltype(tag);
        out.wide = std::is_same_v<Out, double>;
        if constexpr (std::is_same_v<Out, double>) {
            out.doubles.resize(out.bins);
            return out.doubles.data();
        } else {
            out.floats.resize(out.bins);
            return out.floats.data();
        }
    };
    if (has_nan) {
        core::bin_reduce<T>(t, x, n, out.first, plan.width, out.bins, reduce, target(T{}));
        return true;
    }
    if (reduce == core::BinReduce::Mean)
        return core::bin_reduceat<T, double>(t, x, n, out.first, plan.width, out.bins, reduce, target(double{}));
    return core::bin_reduceat<T, T>(t, x, n, out.first, plan.width, out.bins, reduce, target(T{}));
}

// The values of a float32 or float64 numpy array; nullopt for anything else.
std::optional<py::array> float_values(const py::object& raw) {
    if (!py::isinstance<py::array>(raw)) return std::nullopt;
    const py::array data = raw;
    const char kind = data.dtype().kind();
    const auto itemsize = data.dtype().itemsize();
    if (kind != 'f' || (itemsize != 4 && itemsize != 8) || data.ndim() != 1) return std::nullopt;
    return data;
}

py::object bin_labels(const Reduced& part, const FixedBins& plan) {
    py::array_t<std::int64_t> labels(static_cast<py::ssize_t>(part.bins));
    std::int64_t* l = labels.mutable_data();
    for (std::size_t k = 0; k < part.bins; ++k) l[k] = part.first + static_cast<std::int64_t>(k) * plan.width;
    return labels.attr("view")("M8[" + plan.unit + "]");
}

// One series resampled natively as a one-column frame; None when the series is outside the
// native way (or the median is asked for), for the resampler to do.
py::object native_part(const py::object& values, const FixedBins& plan, const char* aggregation) {
    const std::string how(aggregation);
    if (how == "median") return py::none();
    const py::object pd = py::module_::import("pandas");
    const std::optional<py::array> data = float_values(values.attr("to_numpy")());
    if (!data) return py::none();
    const auto times = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>::ensure(
        values.attr("index").attr("asi8"));
    if (!times || times.size() != data->size() || times.size() == 0) return py::none();
    Reduced part;
    bool ok;
    const bool single = data->dtype().itemsize() == 4;
    const auto v32 = single ? py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(*data)
                            : py::array_t<float, py::array::c_style | py::array::forcecast>();
    const auto v64 = single ? py::array_t<double, py::array::c_style | py::array::forcecast>()
                            : py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(*data);
    {
        py::gil_scoped_release release;  // reads the held arrays, writes this call's vectors
        const auto n = static_cast<std::size_t>(times.size());
        ok = single ? reduce_series<float>(times.data(), v32.data(), n, plan, reduce_kind(how), part)
                    : reduce_series<double>(times.data(), v64.data(), n, plan, reduce_kind(how), part);
    }
    if (!ok) return py::none();
    const py::object out = part.wide ? py::object(py::array_t<double>(static_cast<py::ssize_t>(part.bins),
                                                                      part.doubles.data()))
                                     : py::object(py::array_t<float>(static_cast<py::ssize_t>(part.bins),
                                                                     part.floats.data()));
    const py::object index = pd.attr("DatetimeIndex")(bin_labels(part, plan),
                                                      "name"_a = values.attr("index").attr("name"), "copy"_a = false);
    return pd.attr("Series")(out, "index"_a = index, "name"_a = values.attr("name"), "copy"_a = false)
        .attr("to_frame")();
}

// Texts of an Arrow string array at the given rows (ascending), as views kept alive by `out`.
bool arrow_texts_at(const py::object& array, const std::vector<std::int64_t>& rows, bind::TextColumn& out) {
    const auto chunks = bind::arrow_string_chunks(array, out.owners);
    if (!chunks) return false;
    std::size_t k = 0;
    std::int64_t chunk_first = 0;
    for (const bind::ArrowChunk& c : *chunks) {
        const auto chunk_end = chunk_first + static_cast<std::int64_t>(c.length);
        for (; k < rows.size() && rows[k] < chunk_end; ++k) {
            const auto i = static_cast<std::size_t>(c.offset + (rows[k] - chunk_first));
            if (!c.valid(i)) {
                out.cells.emplace_back();
                continue;
            }
            const std::uint64_t from = c.offset_at(i), to = c.offset_at(i + 1);
            if (from > to || to > c.data_size) return false;
            out.cells.push_back(core::TextCell::text(c.data + from, static_cast<std::size_t>(to - from)));
        }
        chunk_first = chunk_end;
    }
    return k == rows.size();
}

// A key column's values at the given rows: text built from the Arrow buffers, numbers taken.
// `texts` receives the picked texts of a text column (empty otherwise).
py::object key_values_at(const py::object& column, const std::vector<std::int64_t>& rows, bind::TextColumn& texts) {
    const py::object dtype = column.attr("dtype");
    if (bind::is_arrow_str_dtype(dtype) && arrow_texts_at(column.attr("array"), rows, texts)) {
        std::vector<std::int64_t> all(rows.size());
        for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<std::int64_t>(i);
        py::object built = bind::gather_str_column(texts, all, dtype);
        if (!built.is_none()) return built;
    }
    texts = bind::TextColumn{};
    const auto count = static_cast<py::ssize_t>(rows.size());
    return column.attr("array").attr("take")(py::array_t<std::int64_t>(count, rows.data()));
}

// The result frame built in one go when every series takes the native way and the key columns
// are plain text, int64 or bool: the series' bins laid out in the groups' order, with their key
// columns built from the runs' first rows. The groups come in ascending key order, which is
// the final sort's order too (checked, and sorted as before otherwise), so nothing is stacked
// or re-sorted. None when any series needs the resampler.
py::object whole_frame(const py::object& frame, const py::list& keys, const SeriesRuns& runs, const FixedBins& plan,
                       const py::object& agg_method) {
    const py::object pd = py::module_::import("pandas");
    const py::object np = py::module_::import("numpy");
    const std::optional<py::array> data = float_values(frame[py::str("OBSVALUE")].attr("to_numpy")());
    if (!data) return py::none();
    const auto times = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>::ensure(
        frame.attr("index").attr("asi8"));
    if (!times || times.size() != data->size()) return py::none();

    // The runs' first rows and the group each run belongs to (in the grouping's order).
    std::vector<bind::TextColumn> head_texts(3);
    py::dict head_columns;
    std::size_t k = 0;
    for (const py::handle key : keys)
        head_columns[key] = key_values_at(frame[key], runs.begin, head_texts[k++]);
    const py::object heads = pd.attr("DataFrame")(head_columns, "copy"_a = false);
    const auto group_of = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(
        heads.attr("groupby")(keys).attr("ngroup")());
    if (!group_of || static_cast<std::size_t>(group_of.size()) != runs.begin.size()) return py::none();
    std::vector<std::vector<std::size_t>> group_runs;
    for (std::size_t r = 0; r < runs.begin.size(); ++r) {
        const double g = group_of.data()[r];
        if (std::isnan(g)) continue;  // a missing key part: in no group
        const auto id = static_cast<std::size_t>(g);
        if (id >= group_runs.size()) group_runs.resize(id + 1);
        group_runs[id].push_back(r);
    }
    if (group_runs.empty()) return py::none();  // the stacking's own error
    // The method is looked at now that there is a series to resample, as the stacking way does.
    const char* aggregation = nullptr;
    for (const char* name : kAggregations)
        if (equals(agg_method, py::str(name))) {
            aggregation = name;
            break;
        }
    if (aggregation == nullptr)
        throw py::value_error("不支持的聚合方法，请选择'mean', 'sum', 'median', 'max', 'min'之一");
    const std::string how(aggregation);
    if (how == "median") return py::none();

    const bool single = data->dtype().itemsize() == 4;
    const auto v32 = single ? py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(*data)
                            : py::array_t<float, py::array::c_style | py::array::forcecast>();
    const auto v64 = single ? py::array_t<double, py::array::c_style | py::array::forcecast>()
                            : py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(*data);
    std::vector<Reduced> parts(group_runs.size());
    bool ok = true;
    {
        // Reads the held arrays, writes this call's vectors.
        py::gil_scoped_release release;
        const core::BinReduce reduce = reduce_kind(how);
        std::vector<std::int64_t> t_rows;
        std::vector<float> f_rows;
        std::vector<double> d_rows;
        for (std::size_t g = 0; g < group_runs.size() && ok; ++g) {
            const std::vector<std::size_t>& ids = group_runs[g];
            if (ids.empty()) {
                ok = false;
                break;
            }
            const std::int64_t* t;
            const float* f = nullptr;
            const double* d = nullptr;
            std::size_t n;
            if (ids.size() == 1) {  // one block of rows: read in place
                const auto b = static_cast<std::size_t>(runs.begin[ids[0]]);
                n = static_cast<std::size_t>(runs.end[ids[0]]) - b;
                t = times.data() + b;
                if (single) f = v32.data() + b;
                else d = v64.data() + b;
            } else {
                t_rows.clear();
                f_rows.clear();
                d_rows.clear();
                for (const std::size_t r : ids)
                    for (std::int64_t i = runs.begin[r]; i < runs.end[r]; ++i) {
                        t_rows.push_back(times.data()[i]);
                        if (single) f_rows.push_back(v32.data()[i]);
                        else d_rows.push_back(v64.data()[i]);
                    }
                n = t_rows.size();
                t = t_rows.data();
                f = f_rows.data();
                d = d_rows.data();
            }
            ok = single ? reduce_series<float>(t, f, n, plan, reduce, parts[g])
                        : reduce_series<double>(t, d, n, plan, reduce, parts[g]);
        }
    }
    if (!ok) return py::none();

    // Stacked the way the library stacks them: float32 only when every part is float32.
    std::size_t total = 0;
    bool wide = false;
    for (const Reduced& p : parts) {
        total += p.bins;
        wide = wide || p.wide;
    }
    const auto rows = static_cast<py::ssize_t>(total);
    py::array_t<std::int64_t> labels(rows);
    std::vector<std::int64_t> picks(total);  // the run whose key each result row repeats
    py::array values = wide ? py::array(py::array_t<double>(rows)) : py::array(py::array_t<float>(rows));
    {
        std::int64_t* l = labels.mutable_data();
        void* out = values.mutable_data();
        py::gil_scoped_release release;  // writes only the new arrays
        std::size_t o = 0;
        for (std::size_t g = 0; g < parts.size(); ++g) {
            const Reduced& p = parts[g];
            for (std::size_t b = 0; b < p.bins; ++b, ++o) {
                l[o] = p.first + static_cast<std::int64_t>(b) * plan.width;
                picks[o] = static_cast<std::int64_t>(group_runs[g][0]);
                if (wide)
                    static_cast<double*>(out)[o] = p.wide ? p.doubles[b] : static_cast<double>(p.floats[b]);
                else
                    static_cast<float*>(out)[o] = p.floats[b];
            }
        }
    }

    // Ascending, distinct group keys (text by its bytes, as the library orders text; numbers by
    // value): the final sort would keep the rows where they are.
    bool ascending = true;
    std::vector<py::array_t<std::int64_t>> numbers(3);
    k = 0;
    for (const py::handle key : keys) {
        if (head_texts[k].cells.empty())
            numbers[k] = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>::ensure(
                heads[key].attr("to_numpy")("dtype"_a = "int64"));
        ++k;
    }
    for (std::size_t g = 1; g < group_runs.size() && ascending; ++g) {
        const std::size_t a = group_runs[g - 1][0], b = group_runs[g][0];
        int order = 0;
        for (std::size_t c = 0; c < 3 && order == 0; ++c) {
            if (!head_texts[c].cells.empty()) {
                const core::TextCell &x = head_texts[c].cells[a], &y = head_texts[c].cells[b];
                if (x.missing || y.missing) {
                    order = 1;  // not expected in a group: let the sort decide
                    break;
                }
                const int cmp = x.view().compare(y.view());
                order = cmp < 0 ? -1 : cmp > 0 ? 1 : 0;
            } else {
                const std::int64_t x = numbers[c].data()[a], y = numbers[c].data()[b];
                order = x < y ? -1 : x > y ? 1 : 0;
            }
        }
        ascending = order < 0;
    }

    py::dict columns;
    columns["STARTDATE"] = labels.attr("view")("M8[" + plan.unit + "]");
    columns["OBSVALUE"] = values;
    k = 0;
    for (const py::handle key : keys) {
        const py::object column = heads[key];
        if (!head_texts[k].cells.empty()) {
            py::object built = bind::gather_str_column(head_texts[k], picks, column.attr("dtype"));
            if (built.is_none()) return py::none();
            columns[key] = built;
        } else {
            columns[key] = column.attr("array").attr("take")(py::array_t<std::int64_t>(rows, picks.data()));
        }
        ++k;
    }
    const py::object result = pd.attr("DataFrame")(columns, "copy"_a = false);
    return ascending ? result : result.attr("sort_values")(keys);
}

}  // namespace

void register_resample(py::module_& m) {
    m.def(
        "resample_timeseries_data",
        [](py::object df, py::object freq, py::object agg_method) -> py::object {
            const py::object pd = py::module_::import("pandas");
            const py::object columns = df.attr("columns");
            for (const char* name : kRequired) {
                const int present = PySequence_Contains(columns.ptr(), py::str(name).ptr());
                if (present < 0) throw py::error_already_set();
                if (!present) throw py::value_error(std::string("缺少必要的列: ") + name);
            }
            const py::object rule = current_rule(freq);

            // Only the five columns travel: the timestamps become the index and the value
            // column is cut into the groups, so no group carries the key or extra columns.
            py::list keep;
            for (const char* name : kRequired) keep.append(py::str(name));
            const bool plain_columns = py::isinstance(df, pd.attr("DataFrame")) &&
                                       truthy(columns.attr("is_unique")) &&
                                       !py::isinstance(columns, pd.attr("MultiIndex"));
            py::object frame = plain_columns ? py::object(df[keep]) : df.attr("copy")();
            frame[py::str("STARTDATE")] = pd.attr("to_datetime")(frame[py::str("STARTDATE")]);
            frame = frame.attr("set_index")("STARTDATE");
            py::list keys;
            for (const char* name : {"STATIONID", "POINTID", "ITEMID"}) keys.append(py::str(name));

            const std::optional<FixedBins> plan = fixed_bins(rule, frame.attr("index"));
            const char* aggregation = nullptr;
            py::list parts;
            // Key columns of the result: each part gets its key as a scalar (the table library
            // infers the column's dtype from it), unless `columns_from_input` is set: then the key
            // columns are taken from the input rows in one go after stacking, which gives the
            // same values and dtypes for the default text and int64 key columns.
            std::vector<std::int64_t> key_rows;  // for each result row, the run of input rows it came from
            bool columns_from_input = false;
            auto add_part = [&](const py::object& key, const py::object& values, std::int64_t some_row) {
                // The method is looked at when the first series is resampled, not before: with
                // no series at all the stacking's own error is the one reported.
                if (aggregation == nullptr)
                    for (const char* name : kAggregations)
                        if (equals(agg_method, py::str(name))) {
                            aggregation = name;
                            break;
                        }
                if (aggregation == nullptr)
                    throw py::value_error("不支持的聚合方法，请选择'mean', 'sum', 'median', 'max', 'min'之一");
                py::object part = plan ? native_part(values, *plan, aggregation) : py::none();
                if (part.is_none()) part = values.attr("resample")(rule).attr(aggregation)().attr("to_frame")();
                if (columns_from_input) {
                    key_rows.insert(key_rows.end(), static_cast<std::size_t>(py::len(part)), some_row);
                } else {
                    part[py::str("STATIONID")] = key[py::int_(0)];
                    part[py::str("POINTID")] = key[py::int_(1)];
                    part[py::str("ITEMID")] = key[py::int_(2)];
                }
                parts.append(part);
            };
            std::optional<SeriesRuns> runs;
            py::object heads;  // the first row of every run of equal keys
            if (plain_columns) runs = key_runs(frame, keys);
            if (runs) {
                columns_from_input = true;
                const py::object default_text = pd.attr("Series")(py::make_tuple("x")).attr("dtype");
                for (const py::handle key : keys) {
                    const py::object dtype = frame[key].attr("dtype");
                    const bool plain = equals(dtype, default_text) || equals(dtype, py::str("int64")) ||
                                       equals(dtype, py::str("bool"));
                    columns_from_input = columns_from_input && plain;
                }
                if (columns_from_input && plan) {
                    py::object whole = whole_frame(frame, keys, *runs, *plan, agg_method);
                    if (!whole.is_none()) return whole;
                }
                // Group the runs (a handful of rows), then cut each series out by position.
                const py::object obs = frame[py::str("OBSVALUE")];
                heads = frame[keys].attr("iloc")[runs->starts].attr("reset_index")("drop"_a = true);
                for (const py::handle item : heads.attr("groupby")(keys)) {
                    const auto pair = py::reinterpret_borrow<py::tuple>(item);
                    const auto run_ids = py::array_t<std::int64_t, py::array::forcecast>::ensure(
                        pair[1].attr("index").attr("to_numpy")());
                    const auto first_run = static_cast<std::size_t>(run_ids.data()[0]);
                    if (run_ids.size() == 1) {  // one block of rows: a view, nothing copied
                        const py::slice rows(runs->begin[first_run], runs->end[first_run], 1);
                        add_part(pair[0], obs.attr("iloc")[rows], static_cast<std::int64_t>(first_run));
                        continue;
                    }
                    std::vector<std::int64_t> rows;
                    for (py::ssize_t r = 0; r < run_ids.size(); ++r) {
                        const auto run = static_cast<std::size_t>(run_ids.data()[r]);
                        for (std::int64_t i = runs->begin[run]; i < runs->end[run]; ++i) rows.push_back(i);
                    }
                    const auto count = static_cast<py::ssize_t>(rows.size());
                    const py::array_t<std::int64_t> positions(count, rows.data());
                    add_part(pair[0], obs.attr("take")(positions), static_cast<std::int64_t>(first_run));
                }
            } else {
                const py::object groups = frame.attr("groupby")(keys);
                for (const py::handle item : plain_columns ? groups[py::str("OBSVALUE")] : groups) {
                    const auto pair = py::reinterpret_borrow<py::tuple>(item);
                    const py::object group = pair[1];
                    add_part(pair[0], plain_columns ? group : py::object(group[py::str("OBSVALUE")]), 0);
                }
            }
            py::object stacked = pd.attr("concat")(parts);
            if (columns_from_input) {
                const auto rows = static_cast<py::ssize_t>(key_rows.size());
                const py::array_t<std::int64_t> take(rows, key_rows.data());
                for (const py::handle key : keys) stacked[key] = heads[key].attr("array").attr("take")(take);
            }
            stacked = stacked.attr("reset_index")();
            return stacked.attr("sort_values")(keys);
        },
        py::doc(kResampleDoc), py::arg("df"), py::arg("freq"), py::arg("agg_method") = "mean");
    m.def(
        "_bin_reduce",
        [](py::array stamps, py::array values, std::int64_t origin, std::int64_t width, std::size_t bins,
           const std::string& how) -> py::array {
            const core::BinReduce reduce = how == "mean"  ? core::BinReduce::Mean
                                           : how == "sum" ? core::BinReduce::Sum
                                           : how == "max" ? core::BinReduce::Max
                                           : how == "min" ? core::BinReduce::Min
                                                          : throw py::value_error("how: mean, sum, max or min");
            if (width <= 0) throw py::value_error("width must be positive");
            const auto times = py::array_t<std::int64_t, py::array::c_style>::ensure(stamps);
            if (!times || times.ndim() != 1 || times.size() != values.size())
                throw py::value_error("stamps: int64 values, one per value");
            auto run = [&](auto tag) -> py::array {
                using T = decltype(tag);
                const auto data = py::array_t<T, py::array::c_style>::ensure(values);
                py::array_t<T> out(static_cast<py::ssize_t>(bins));
                T* target = out.mutable_data();
                {
                    // reads the two held arrays, writes only the new one
                    py::gil_scoped_release release;
                    core::bin_reduce<T>(times.data(), data.data(), static_cast<std::size_t>(times.size()), origin,
                                        width, bins, reduce, target);
                }
                return out;
            };
            const char kind = values.dtype().kind();
            const auto size = values.dtype().itemsize();
            if (kind == 'f' && size == 4) return run(float{});
            if (kind == 'f' && size == 8) return run(double{});
            throw py::type_error("values: float32 or float64");
        },
        py::doc("按固定宽度时间箱归并一条序列：箱 k 为 [origin + k*width, origin + (k+1)*width)，"
                "how 为 mean、sum、max 或 min，结果与表库重采样器逐位一致。"),
        py::arg("stamps"), py::arg("values"), py::arg("origin"), py::arg("width"), py::arg("bins"), py::arg("how"));
    m.def(
        "_current_rule", [](py::object freq) { return current_rule(freq); },
        py::doc("重采样频率的当前写法（如 'H' -> 'h'、'M' -> 'ME'）；无法识别时原样返回。"), py::arg("freq"));
}

}  // namespace lumoreq::refinery
