// resample_timeseries_data: every (STATIONID, POINTID, ITEMID) series brought onto a regular
// grid by the table library's resampler, and the results stacked in long form. Only the value
// column travels through the grouping (the key columns are not split per group), and the loop
// runs over the groups, never over rows.
#include <array>
#include <cctype>
#include <string>
#include <utility>

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

// "2H" -> "2h", "A-DEC" -> "YE-DEC", "1H30T" -> "1h30min"; a rule the library accepts, or one
// that does not parse as multiples of aliases, is returned unchanged (the library then reports it).
py::object current_rule(const py::object& freq) {
    if (!py::isinstance<py::str>(freq) || accepted_rule(freq)) return freq;
    const auto text = freq.cast<std::string>();
    std::string out;
    std::size_t i = 0;
    auto is_alpha = [&](std::size_t k) { return k < text.size() && std::isalpha(static_cast<unsigned char>(text[k])); };
    while (i < text.size()) {
        while (i < text.size() && (std::isdigit(static_cast<unsigned char>(text[i])) || text[i] == '.' ||
                                   text[i] == '+' || text[i] == '-' || text[i] == ' '))
            out += text[i++];
        const std::size_t alias_start = i;
        while (is_alpha(i)) ++i;
        if (i == alias_start) return freq;
        std::string alias = text.substr(alias_start, i - alias_start);
        for (const auto& [old_alias, current] : kRenamedAliases)
            if (alias == old_alias) alias = current;
        out += alias;
        if (i < text.size() && text[i] == '-' && is_alpha(i + 1)) {  // anchor such as -DEC or -JAN
            out += text[i++];
            while (is_alpha(i)) out += text[i++];
        }
    }
    const py::str translated(out);
    return accepted_rule(translated) ? py::object(translated) : freq;
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
            const char* aggregation = nullptr;
            for (const char* name : kAggregations)
                if (equals(agg_method, py::str(name))) {
                    aggregation = name;
                    break;
                }
            const py::object rule = current_rule(freq);

            // Only the five columns travel: the timestamps become the index and the value
            // column is grouped by the key columns, so no group carries the key or extra columns.
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
            const py::object groups = frame.attr("groupby")(keys);

            py::list parts;
            for (const py::handle item : plain_columns ? groups[py::str("OBSVALUE")] : groups) {
                if (aggregation == nullptr)
                    throw py::value_error("不支持的聚合方法，请选择'mean', 'sum', 'median', 'max', 'min'之一");
                const auto pair = py::reinterpret_borrow<py::tuple>(item);
                const py::object group = pair[1];
                const py::object values = plain_columns ? group : py::object(group[py::str("OBSVALUE")]);
                py::object part = values.attr("resample")(rule).attr(aggregation)().attr("to_frame")();
                const py::sequence key = py::reinterpret_borrow<py::object>(pair[0]);
                part[py::str("STATIONID")] = key[0];
                part[py::str("POINTID")] = key[1];
                part[py::str("ITEMID")] = key[2];
                parts.append(part);
            }
            py::object stacked = pd.attr("concat")(parts).attr("reset_index")();
            return stacked.attr("sort_values")(keys);
        },
        py::doc(kResampleDoc), py::arg("df"), py::arg("freq"), py::arg("agg_method") = "mean");
}

}  // namespace lumoreq::refinery
