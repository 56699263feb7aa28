// The two multi-panel builders: one figure series per item, or one figure per station and point.
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "chartwork/chartwork.hpp"

namespace lumoreq::chartwork {
namespace {

using Clock = std::chrono::steady_clock;

// Seconds spent in each phase of one builder call, published as `_last_timings`.
struct Timings {
    double grouping = 0, processing = 0, drawing = 0, saving = 0;
    void publish(const bind::ModuleRef& mod) const {
        py::dict d;
        d["grouping"] = grouping;
        d["processing"] = processing;
        d["drawing"] = drawing;
        d["saving"] = saving;
        mod.set("_last_timings", d);
    }
};

class Stopwatch {
public:
    explicit Stopwatch(double& sink) : sink_(sink), start_(Clock::now()) {}
    ~Stopwatch() { sink_ += std::chrono::duration<double>(Clock::now() - start_).count(); }

private:
    double& sink_;
    Clock::time_point start_;
};

// The options every panel of both builders is drawn with.
struct PanelOptions {
    py::object set_zero, reindex, resample, invert_y, plot_type, plot_types, show_mean, show_std, std_multiplier,
        annotations, qcat_filters, start_time, end_time, xlabel;
    bool with_resample = false;  // plot_by_stations passes `resample` to _process_data
};

// A file-name piece that cannot leave ./figures/ or name a sub-folder: path separators and the
// characters file systems refuse become "_".
std::string safe_piece(py::handle value) {
    std::string s = text_of(value);
    for (char& c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f || c == '/' || c == '\\' || c == ':' || c == '*' || c == '?' || c == '"' ||
            c == '<' || c == '>' || c == '|')
            c = '_';
    }
    return s;
}

bool is_missing(py::handle value) {
    if (value.is_none()) return true;
    py::object na = py::module_::import("pandas").attr("isna")(value);
    return py::isinstance<py::bool_>(na) && truthy(na);
}

// Station name (column 1) and position (column 3, column 2: the order the catalogue filter
// expects); (None, None) when the station is not in the table.
std::pair<py::object, py::object> station_metadata(py::object self, py::object station) {
    py::object table = self.attr("stations_table");
    py::object rows = table[table["STATIONID"].attr("__eq__")(station)];
    if (truthy(rows.attr("empty"))) return {py::none(), py::none()};
    py::object iloc = rows.attr("iloc");
    return {iloc[py::make_tuple(0, 1)], py::make_tuple(iloc[py::make_tuple(0, 3)], iloc[py::make_tuple(0, 2)])};
}

py::object slice_of(py::object start, py::object stop) {
    return py::module_::import("builtins").attr("slice")(start, stop);
}

// A missing bound means no bound.
py::object time_window(py::object ts, py::object start_time, py::object end_time) {
    if (start_time.is_none() && end_time.is_none()) return ts;
    auto pd = py::module_::import("pandas");
    py::object lo = start_time.is_none() ? py::none() : pd.attr("Timestamp")(start_time);
    py::object hi = end_time.is_none() ? py::none() : pd.attr("Timestamp")(end_time);
    return ts.attr("loc")[slice_of(lo, hi)];
}

std::string pair_text(py::handle station, py::handle point) { return text_of(station) + "-" + text_of(point); }

py::object catalogue_module(const bind::ModuleRef& mod) {
    return bind::import_sibling(py::reinterpret_borrow<py::module_>(mod.get()), "QCAT");
}

// Reads the catalogue when a path is given; None when there is none or it cannot be read.
py::object read_catalogue(const bind::ModuleRef& mod, py::object qcat_dir) {
    if (!truthy(qcat_dir)) return py::none();
    try {
        py::object data = catalogue_module(mod).attr("read_QCAT")(qcat_dir);
        bind::log(mod, "info", py::str("成功读取地震目录: ") + py::str(qcat_dir));
        return data;
    } catch (py::error_already_set& e) {
        bind::rethrow_unless_exception(e);
        bind::log(mod, "error", py::str("读取地震目录出错: ") + py::str(e.value()));
        return py::none();
    }
}

void add_earthquakes(const bind::ModuleRef& mod, py::object self, py::object ax, py::object ts_processed,
                     py::object qcat_data, py::object station_location, py::object qcat_filters) {
    if (qcat_data.is_none()) return;
    try {
        py::object index = ts_processed.attr("index");
        py::object first = index[py::int_(0)];
        py::object last = index[py::int_(-1)];
        py::object times = qcat_data.attr("index");
        py::object inside = times.attr("__ge__")(first) & times.attr("__le__")(last);
        py::object in_range = qcat_data[inside];
        if (truthy(in_range.attr("empty"))) return;
        py::object flagged = catalogue_module(mod).attr("filtered_qcats")(in_range, "station"_a = station_location,
                                                                          "filters"_a = qcat_filters);
        py::object quakes = flagged[flagged["flag"].attr("__eq__")(1)];
        if (!truthy(quakes.attr("empty"))) self.attr("_add_secondary_data")(ax, quakes);
    } catch (py::error_already_set& e) {
        bind::rethrow_unless_exception(e);
        bind::log(mod, "error", py::str("处理地震数据时出错: ") + py::str(e.value()));
    }
}

// The names a panel is labelled with, resolved after its data passed the empty check.
struct PanelNames {
    py::object station_name = py::none(), station_location = py::none(), item_name, unit;
};

// Draws one panel; false when it was skipped (the reason is logged). `resolve` supplies the
// metadata (and may skip the panel itself); `span` collects the time range drawn.
bool draw_panel(const bind::ModuleRef& mod, py::object self, py::object ax, std::size_t panel, py::object grouped,
                py::tuple key, py::object station, py::object point, py::object qcat_data, const PanelOptions& o,
                const std::function<bool(PanelNames&)>& resolve, Timings& timings, py::list& span) {
    py::object series;
    {
        Stopwatch sw(timings.grouping);
        try {
            series = grouped.attr("get_group")(key);
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_KeyError)) throw;
            bind::log(mod, "warning", "未找到数据: " + pair_text(station, point));
            return false;
        }
    }
    py::object ts_processed, basevalue;
    PanelNames names;
    {
        Stopwatch sw(timings.processing);
        py::tuple processed =
            o.with_resample ? py::tuple(self.attr("_process_data")(series, o.set_zero, o.reindex, o.resample))
                            : py::tuple(self.attr("_process_data")(series, o.set_zero, o.reindex));
        ts_processed = processed[0];
        basevalue = processed[1];
        series = py::none();
        ts_processed = time_window(ts_processed, o.start_time, o.end_time);
        if (truthy(ts_processed.attr("empty")) ||
            truthy(ts_processed["OBSVALUE"].attr("isnull")().attr("all")())) {
            bind::log(mod, "warning", pair_text(station, point) + " 数据为空!");
            return false;
        }
        if (!resolve(names)) return false;
    }

    Stopwatch sw(timings.drawing);
    // A station missing from the metadata is named by its identifier.
    py::object station_label = is_missing(names.station_name) ? py::str(station) : py::str(names.station_name);
    py::object builtins = py::module_::import("builtins");
    py::str series_name = py::str("/").attr("join")(
        py::make_tuple(station_label, py::str(point), py::str(names.item_name)));
    py::object title = series_name + py::str("/base=") + py::str(builtins.attr("round")(basevalue, 1));

    py::object plot_type = self.attr("_get_plot_type")(py::int_(panel), o.plot_type, o.plot_types);
    py::object index = ts_processed.attr("index");
    py::object values = ts_processed["OBSVALUE"];
    py::object fig = ax.attr("get_figure")();
    if (plot_type.equal(py::str("stem"))) {
        ax.attr("stem")(index, values, "linefmt"_a = "b-", "markerfmt"_a = " ", "basefmt"_a = " ");
    } else if (plot_type.equal(py::str("scatter"))) {
        ax.attr("scatter")(index, values, "s"_a = 4, "label"_a = series_name);
    } else {
        if (!plot_type.equal(py::str("line")))
            bind::log(mod, "warning", py::str("未知的绘图类型: ") + py::str(plot_type) + py::str("，按折线图绘制"));
        py::tuple xy = line_arrays(mod, fig, index, values);
        ax.attr("plot")(xy[0], xy[1], "label"_a = series_name);
    }
    py::object low = values.attr("min")();
    py::object high = values.attr("max")();
    py::list y_ticks;
    y_ticks.append(low);
    y_ticks.append((low + high) / py::float_(2.0));
    y_ticks.append(high);
    self.attr("_setup_axis")(ax, title, names.unit, y_ticks, o.invert_y, o.xlabel);
    self.attr("_add_statistics")(ax, ts_processed, o.show_mean, o.show_std, o.std_multiplier);
    add_earthquakes(mod, self, ax, ts_processed, qcat_data, names.station_location, o.qcat_filters);
    self.attr("_add_annotations")(ax, o.annotations);
    span.append(py::make_tuple(index[py::int_(0)], index[py::int_(-1)]));
    return true;
}

py::tuple new_figure(const bind::ModuleRef& mod, std::size_t panels, py::object fig_height) {
    py::object plt = mod.attr("plt");
    py::object height = py::float_(static_cast<double>(panels)) * fig_height;
    py::tuple made = plt.attr("subplots")("nrows"_a = panels, "ncols"_a = 1,
                                          "figsize"_a = py::make_tuple(10, height), "sharex"_a = true);
    plt.attr("subplots_adjust")("hspace"_a = 0.5);
    py::object axes = mod.attr("np").attr("array")(made[1]).attr("reshape")(-1);
    return py::make_tuple(made[0], axes);
}

py::list unique_list(py::object column) { return column.attr("unique")().attr("tolist")(); }

py::tuple plot_by_items(const bind::ModuleRef& mod, py::object self, py::object ts, py::object prefix,
                        py::object fig_label, py::object number_of_subplots, py::object fig_height,
                        py::object figure_format, py::object qcat_dir, const PanelOptions& o) {
    Timings timings;
    py::object qcat_data = read_catalogue(mod, qcat_dir);
    py::object grouped;
    py::list items;
    {
        Stopwatch sw(timings.grouping);
        py::list keys;
        for (const char* k : {"ITEMID", "STATIONID", "POINTID"}) keys.append(k);
        grouped = ts.attr("groupby")(keys);
        items = unique_list(ts["ITEMID"]);
    }
    for (const char* code : {"3128", "3129", "999999"})
        if (items.contains(code)) items.attr("remove")(code);
    const long long per_figure = number_of_subplots.cast<long long>();
    if (per_figure < 1) throw py::value_error("number_of_subplots must be at least 1");

    py::object last_fig = py::none(), last_axes = py::none();
    py::object items_table = self.attr("items_table");
    for (py::handle item_handle : items) {
        py::object item = py::reinterpret_borrow<py::object>(item_handle);
        py::object item_info = items_table[items_table["ITEMID"].attr("__eq__")(item)];
        if (truthy(item_info.attr("empty"))) {
            bind::log(mod, "warning", py::str("未找到测项信息: ") + py::str(item));
            continue;
        }
        py::object item_name = item_info.attr("iloc")[py::make_tuple(0, 1)];
        py::object unit = item_info.attr("iloc")[py::make_tuple(0, 2)];
        py::list pairs;
        {
            Stopwatch sw(timings.grouping);
            py::list cols;
            cols.append("STATIONID");
            cols.append("POINTID");
            py::object rows = ts.attr("loc")[py::make_tuple(ts["ITEMID"].attr("__eq__")(item), cols)];
            pairs = py::list(rows.attr("drop_duplicates")().attr("itertuples")("index"_a = false, "name"_a = py::none()));
        }
        const auto n_pairs = static_cast<long long>(pairs.size());
        for (long long start = 0, fig_no = 0; start < n_pairs; start += per_figure, ++fig_no) {
            const long long count = std::min(per_figure, n_pairs - start);
            py::object fig, axes;
            {
                Stopwatch sw(timings.drawing);
                py::tuple made = new_figure(mod, static_cast<std::size_t>(count), fig_height);
                fig = made[0];
                axes = made[1];
            }
            py::list span;
            for (long long p = 0; p < count; ++p) {
                py::tuple pair = pairs[static_cast<std::size_t>(start + p)];
                py::object station = pair[0], point = pair[1];
                auto resolve = [&](PanelNames& names) {
                    auto [name, location] = station_metadata(self, station);
                    names.station_name = name;
                    names.station_location = location;
                    names.item_name = item_name;
                    names.unit = unit;
                    return true;
                };
                draw_panel(mod, self, axes[py::int_(p)], static_cast<std::size_t>(p), grouped,
                           py::make_tuple(item, station, point), station, point, qcat_data, o, resolve, timings,
                           span);
            }
            const std::string filename = safe_piece(prefix) + safe_piece(fig_label) + safe_piece(item) +
                                         safe_piece(item_name) + "_" + std::to_string(fig_no);
            {
                Stopwatch sw(timings.saving);
                self.attr("_save_figure")(fig, py::str(filename), figure_format);
            }
            last_fig = fig;
            last_axes = axes;
        }
    }
    timings.publish(mod);
    return py::make_tuple(last_fig, last_axes);
}

// Rainfall totals as a series: a series as given, or the one column of a frame.
py::object rainfall_series(py::object rainfall) {
    if (rainfall.is_none()) return rainfall;
    auto pd = py::module_::import("pandas");
    if (py::isinstance(rainfall, pd.attr("DataFrame"))) {
        if (py::len(rainfall.attr("columns")) != 1)
            throw py::value_error("rainfall must be a series of rainfall totals or a frame with one column");
        return rainfall.attr("iloc")[py::make_tuple(slice_of(py::none(), py::none()), 0)];
    }
    if (!py::isinstance(rainfall, pd.attr("Series")))
        throw py::type_error("rainfall must be a series of rainfall totals indexed by time");
    return rainfall;
}

// Rainfall bars at their real dates on the bottom panel, within the time window (or, without
// one, the span of the panels drawn above), 80 % of the closest spacing wide.
void draw_rainfall(py::object self, py::object ax, py::object rain, const PanelOptions& o,
                   const py::list& span) {
    auto pd = py::module_::import("pandas");
    py::object lo = o.start_time.is_none() ? py::none() : pd.attr("Timestamp")(o.start_time);
    py::object hi = o.end_time.is_none() ? py::none() : pd.attr("Timestamp")(o.end_time);
    if (span.size() > 0) {
        py::object builtins = py::module_::import("builtins");
        py::list firsts, lasts;
        for (py::handle s : span) {
            firsts.append(s.cast<py::tuple>()[0]);
            lasts.append(s.cast<py::tuple>()[1]);
        }
        if (lo.is_none()) lo = builtins.attr("min")(firsts);
        if (hi.is_none()) hi = builtins.attr("max")(lasts);
    }
    py::object shown = rain.attr("sort_index")().attr("loc")[slice_of(lo, hi)];
    if (py::len(shown) > 0) {
        py::object index = shown.attr("index");
        py::object width = pd.attr("Timedelta")("1D");
        py::object steps = index.attr("to_series")().attr("diff")().attr("dropna")();
        steps = steps[steps.attr("__gt__")(pd.attr("Timedelta")(0))];
        if (py::len(steps) > 0) width = steps.attr("min")();
        ax.attr("bar")(index, shown.attr("to_numpy")("dtype"_a = "float64"),
                       "width"_a = (width * py::float_(0.8)).attr("to_pytimedelta")(), "color"_a = "blue",
                       "alpha"_a = 0.5, "label"_a = "降雨量");
    }
    self.attr("_setup_axis")(ax, "降雨量", "mm", py::none(), false, o.xlabel);
}

py::tuple plot_by_stations(const bind::ModuleRef& mod, py::object self, py::object ts, py::object prefix,
                           py::object fig_label, py::object figure_format, py::object fig_height,
                           py::object rainfall, py::object qcat_dir, const PanelOptions& o) {
    Timings timings;
    py::object rain = rainfall_series(rainfall);
    const bool with_rain = !rain.is_none() && !truthy(rain.attr("empty"));
    py::object qcat_data = read_catalogue(mod, qcat_dir);
    py::object grouped;
    py::list stations;
    {
        Stopwatch sw(timings.grouping);
        py::list keys;
        for (const char* k : {"STATIONID", "POINTID", "ITEMID"}) keys.append(k);
        grouped = ts.attr("groupby")(keys);
        stations = unique_list(ts["STATIONID"]);
    }
    py::object builtins = py::module_::import("builtins");
    py::object last_fig = py::none(), last_axes = py::none();
    py::object items_table = self.attr("items_table");
    for (py::handle station_handle : stations) {
        py::object station = py::reinterpret_borrow<py::object>(station_handle);
        auto [station_name, station_location] = station_metadata(self, station);
        py::list points;
        py::object at_station;
        {
            Stopwatch sw(timings.grouping);
            at_station = ts["STATIONID"].attr("__eq__")(station);
            points = unique_list(ts.attr("loc")[py::make_tuple(at_station, "POINTID")]);
        }
        for (py::handle point_handle : points) {
            py::object point = py::reinterpret_borrow<py::object>(point_handle);
            py::list items;
            {
                Stopwatch sw(timings.grouping);
                py::object here = at_station & ts["POINTID"].attr("__eq__")(point);
                py::list found = unique_list(ts.attr("loc")[py::make_tuple(here, "ITEMID")]);
                // The excluded codes and missing items never get a panel.
                for (py::handle it : found) {
                    if (is_missing(it)) continue;
                    py::object code = py::reinterpret_borrow<py::object>(it);
                    if (code.equal(py::str("3215")) || code.equal(py::str("3216")) || code.equal(py::str("999999")))
                        continue;
                    if (!items.contains(code)) items.append(code);
                }
                items = builtins.attr("sorted")(items);
            }
            if (items.empty()) {
                bind::log(mod, "warning", "没有可绘制的测项: " + pair_text(station, point));
                continue;
            }
            const std::size_t panels = items.size() + (with_rain ? 1 : 0);
            py::object fig, axes;
            {
                Stopwatch sw(timings.drawing);
                py::tuple made = new_figure(mod, panels, fig_height);
                fig = made[0];
                axes = made[1];
            }
            py::list span;
            for (std::size_t p = 0; p < items.size(); ++p) {
                py::object item = items[p];
                auto resolve = [&](PanelNames& names) {
                    py::object item_info = items_table[items_table["ITEMID"].attr("__eq__")(item)];
                    if (truthy(item_info.attr("empty"))) {
                        bind::log(mod, "warning", py::str("未找到测项信息: ") + py::str(item));
                        return false;
                    }
                    names.station_name = station_name;
                    names.station_location = station_location;
                    names.item_name = item_info.attr("iloc")[py::make_tuple(0, 1)];
                    names.unit = item_info.attr("iloc")[py::make_tuple(0, 2)];
                    return true;
                };
                draw_panel(mod, self, axes[py::int_(p)], p, grouped, py::make_tuple(station, point, item), station,
                           point, qcat_data, o, resolve, timings, span);
            }
            if (with_rain) {
                Stopwatch sw(timings.drawing);
                draw_rainfall(self, axes[py::int_(items.size())], rain, o, span);
            }
            py::object name_piece = is_missing(station_name) ? py::object(station) : station_name;
            const std::string filename = safe_piece(prefix) + "_" + safe_piece(fig_label) + "_" + safe_piece(station) +
                                         "_" + safe_piece(name_piece) + "_" + safe_piece(point);
            {
                Stopwatch sw(timings.saving);
                self.attr("_save_figure")(fig, py::str(filename), figure_format);
            }
            last_fig = fig;
            last_axes = axes;
        }
    }
    timings.publish(mod);
    return py::make_tuple(last_fig, last_axes);
}

}  // namespace

void register_builders(bind::MethodClass& cls, const bind::ModuleRef& mod) {
    cls.def(
        "plot_by_items",
        [mod](py::object self, py::object ts, py::object prefix, py::object set_zero, py::object fig_label,
              py::object number_of_subplots, py::object invert_y, py::object reindex, py::object fig_height,
              py::object plot_type, py::object plot_types, py::object show_mean, py::object show_std,
              py::object std_multiplier, py::object annotations, py::object figure_format, py::object qcat_dir,
              py::object qcat_filters, py::object start_time, py::object end_time, py::object xlabel,
              py::kwargs /*unused*/) {
            PanelOptions o{set_zero,  reindex,        py::none(),  invert_y,     plot_type,  plot_types, show_mean,
                           show_std,  std_multiplier, annotations, qcat_filters, start_time, end_time,   xlabel};
            return plot_by_items(mod, self, ts, prefix, fig_label, number_of_subplots, fig_height, figure_format,
                                 qcat_dir, o);
        },
        "根据测项绘图", py::arg("ts"), py::arg("prefix") = "", py::arg("set_zero") = true, py::arg("fig_label") = "",
        py::arg("number_of_subplots") = 7, py::arg("invert_y") = false, py::arg("reindex") = false,
        py::arg("fig_height") = 1.5, py::arg("plot_type") = "line", py::arg("plot_types") = py::none(),
        py::arg("show_mean") = false, py::arg("show_std") = false, py::arg("std_multiplier") = 2.0,
        py::arg("annotations") = py::none(), py::arg("figure_format") = "png", py::arg("qcat_dir") = py::none(),
        py::arg("qcat_filters") = py::none(), py::arg("start_time") = py::none(), py::arg("end_time") = py::none(),
        py::arg("xlabel") = "");

    cls.def(
        "plot_by_stations",
        [mod](py::object self, py::object ts, py::object prefix, py::object set_zero, py::object fig_label,
              py::object daily_mean_values, py::object invert_y, py::object figure_format, py::object reindex,
              py::object fig_height, py::object rainfall, py::object plot_type, py::object plot_types,
              py::object show_mean, py::object show_std, py::object std_multiplier, py::object annotations,
              py::object qcat_dir, py::object qcat_filters, py::object start_time, py::object end_time,
              py::object xlabel, py::kwargs /*unused*/) {
            py::object resample = truthy(daily_mean_values) ? py::object(py::str("D")) : py::object(py::none());
            PanelOptions o{set_zero,  reindex,        resample,    invert_y,     plot_type,  plot_types, show_mean,
                           show_std,  std_multiplier, annotations, qcat_filters, start_time, end_time,   xlabel};
            o.with_resample = true;
            return plot_by_stations(mod, self, ts, prefix, fig_label, figure_format, fig_height, rainfall, qcat_dir,
                                    o);
        },
        "根据台站绘图", py::arg("ts"), py::arg("prefix") = "", py::arg("set_zero") = true, py::arg("fig_label") = "",
        py::arg("daily_mean_values") = false, py::arg("invert_y") = false, py::arg("figure_format") = "png",
        py::arg("reindex") = false, py::arg("fig_height") = 1.5, py::arg("rainfall") = py::none(),
        py::arg("plot_type") = "line", py::arg("plot_types") = py::none(), py::arg("show_mean") = false,
        py::arg("show_std") = false, py::arg("std_multiplier") = 2.0, py::arg("annotations") = py::none(),
        py::arg("qcat_dir") = py::none(), py::arg("qcat_filters") = py::none(), py::arg("start_time") = py::none(),
        py::arg("end_time") = py::none(), py::arg("xlabel") = "");
}

}  // namespace lumoreq::chartwork
