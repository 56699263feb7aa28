// The two multi-panel builders: one figure series per item, or one figure per station and point.
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <algorithm>
#include <map>
#include <optional>
#include <tuple>

#include "bind/arrow_text.hpp"
#include "chartwork/chartwork.hpp"
#include "core/row_groups.hpp"

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

// The table grouped once by three key columns. Each key column is factorised by the table
// library; the rows are bucketed natively, and a group's frame is a slice of the table when its
// rows are contiguous (the usual case), else a take of its rows, as get_group would return it.
class TableGroups {
public:
    TableGroups(py::object ts, const char* first, const char* second, const char* third) : ts_(std::move(ts)) {
        std::vector<std::vector<core::Run>> runs;
        for (const char* name : {first, second, third}) {
            py::list values;
            runs.push_back(factorize(ts_[name], values, first_unique_, name == first));
            py::dict lookup;
            for (std::size_t i = 0; i < values.size(); ++i) lookup[values[i]] = py::int_(i);
            uniques_.push_back(values);
            lookups_.push_back(lookup);
        }
        const auto n = static_cast<std::int64_t>(py::len(ts_));
        {
            // Works on the run lists built above; nothing shared.
            py::gil_scoped_release release;
            groups_ = core::group_runs(runs[0], runs[1], runs[2], n);
            for (std::size_t g = 0; g < groups_.a.size(); ++g) index_[{groups_.a[g], groups_.b[g], groups_.c[g]}] = g;
        }
    }

    // The distinct values of the first key column in order of appearance, missing values
    // included (as `Series.unique` lists them).
    py::list first_key_values() const { return first_unique_; }

    std::size_t size() const { return groups_.a.size(); }
    std::int64_t code(std::size_t g, int column) const {
        return column == 0 ? groups_.a[g] : column == 1 ? groups_.b[g] : groups_.c[g];
    }
    // The key value behind a code; NaN for a missing key.
    py::object value(int column, std::int64_t code) const {
        if (code < 0) return py::module_::import("numpy").attr("nan");
        return uniques_[static_cast<std::size_t>(column)][py::int_(code)];
    }
    // The code of a key value; -1 when it is missing or absent.
    std::int64_t code_of(int column, py::handle value) const {
        const py::dict& lookup = lookups_[static_cast<std::size_t>(column)];
        if (is_missing_key(value) || !lookup.contains(value)) return -1;
        return py::int_(lookup[value]).cast<std::int64_t>();
    }
    // The rows of one key as a frame, or None when there is no such group (missing keys never
    // form a group).
    py::object frame(std::int64_t a, std::int64_t b, std::int64_t c) const {
        const std::vector<std::int64_t>* ranges = ranges_of(a, b, c);
        if (ranges == nullptr) return py::none();
        if (ranges->size() == 2)
            return ts_.attr("iloc")[py::module_::import("builtins").attr("slice")((*ranges)[0], (*ranges)[1])];
        return ts_.attr("take")(positions(*ranges));
    }

    // The row positions of one key (ascending), or None.
    py::object rows(std::int64_t a, std::int64_t b, std::int64_t c) const {
        const std::vector<std::int64_t>* ranges = ranges_of(a, b, c);
        if (ranges == nullptr) return py::none();
        return positions(*ranges);
    }

    static bool is_missing_key(py::handle value) {
        if (value.is_none()) return true;
        py::object na = py::module_::import("pandas").attr("isna")(value);
        return py::isinstance<py::bool_>(na) && PyObject_IsTrue(na.ptr()) == 1;
    }

private:
    // The [start, stop) row ranges of one key, or null when there is no such group.
    const std::vector<std::int64_t>* ranges_of(std::int64_t a, std::int64_t b, std::int64_t c) const {
        if (a < 0 || b < 0 || c < 0) return nullptr;
        auto it = index_.find({a, b, c});
        return it == index_.end() ? nullptr : &groups_.ranges[it->second];
    }

    static py::array_t<std::int64_t> positions(const std::vector<std::int64_t>& ranges) {
        std::int64_t count = 0;
        for (std::size_t r = 0; r < ranges.size(); r += 2) count += ranges[r + 1] - ranges[r];
        py::array_t<std::int64_t> out(static_cast<py::ssize_t>(count));
        std::int64_t* next = out.mutable_data();
        for (std::size_t r = 0; r < ranges.size(); r += 2)
            for (std::int64_t row = ranges[r]; row < ranges[r + 1]; ++row) *next++ = row;
        return out;
    }

    // Codes of one key column (-1 for missing) and its distinct values by first appearance.
    // Arrow string columns are coded natively from their buffers; anything else by pandas.
    static std::vector<core::Run> factorize(py::object column, py::list& values, py::list& unique_out,
                                            bool fill_unique) {
        core::StringCodes state;
        if (auto runs = bind::arrow_string_runs(column, state)) {
            for (const auto& u : state.uniques) values.append(py::str(u));
            if (fill_unique) {
                for (std::size_t i = 0; i < state.uniques.size(); ++i) {
                    if (static_cast<std::int64_t>(i) == state.uniques_before_first_missing)
                        unique_out.append(py::module_::import("numpy").attr("nan"));
                    unique_out.append(values[i]);
                }
                if (state.uniques_before_first_missing == static_cast<std::int64_t>(state.uniques.size()))
                    unique_out.append(py::module_::import("numpy").attr("nan"));
            }
            return std::move(*runs);
        }
        py::tuple factorized = py::module_::import("pandas").attr("factorize")(column);
        for (py::handle v : factorized[1].attr("tolist")()) values.append(v);
        if (fill_unique)
            for (py::handle v : column.attr("unique")().attr("tolist")()) unique_out.append(v);
        auto codes = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>::ensure(factorized[0]);
        const std::int64_t* raw = codes.data();
        const auto n = static_cast<std::size_t>(codes.shape(0));
        py::gil_scoped_release release;  // scans the code array held alive above
        return core::runs_of_codes(raw, n);
    }

    py::object ts_;
    py::list first_unique_;
    std::vector<py::list> uniques_;
    std::vector<py::dict> lookups_;
    core::RowGroups groups_;
    std::map<std::tuple<std::int64_t, std::int64_t, std::int64_t>, std::size_t> index_;
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
                     py::object qcat_data, py::object station_location, py::object qcat_filters,
                     py::list& quake_axes) {
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
        if (!truthy(quakes.attr("empty"))) {
            py::object twin = self.attr("_add_secondary_data")(ax, quakes);
            if (!twin.is_none() && py::hasattr(twin, "texts"))
                quake_axes.append(py::make_tuple(twin, quakes["magnitude"].attr("tolist")()));
        }
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
bool draw_panel(const bind::ModuleRef& mod, py::object self, py::object ax, std::size_t panel, py::object series,
                py::object station, py::object point, py::object qcat_data, const PanelOptions& o,
                const std::function<bool(PanelNames&)>& resolve, Timings& timings, py::list& span,
                py::list& quake_axes) {
    if (series.is_none()) {
        bind::log(mod, "warning", "未找到数据: " + pair_text(station, point));
        return false;
    }
    py::object ts_processed, basevalue;
    std::optional<ColumnSummary> summary;  // of the panel's values, once they are final
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
        if (!truthy(ts_processed.attr("empty"))) summary = summarize_column(ts_processed["OBSVALUE"]);
        if (truthy(ts_processed.attr("empty")) || column_all_missing(ts_processed["OBSVALUE"], summary)) {
            bind::log(mod, "warning", pair_text(station, point) + " 数据为空!");
            return false;
        }
        if (!resolve(names)) return false;
    }

    auto drawing_started = Clock::now();
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
    timings.drawing += std::chrono::duration<double>(Clock::now() - drawing_started).count();
    py::list y_ticks;
    {
        // Ticks and statistics are numbers from every sample: processing, not drawing.
        Stopwatch sw(timings.processing);
        py::object low = column_min(values, summary);
        py::object high = column_max(values, summary);
        y_ticks.append(low);
        y_ticks.append((low + high) / py::float_(2.0));
        y_ticks.append(high);
    }
    {
        Stopwatch sw(timings.drawing);
        self.attr("_setup_axis")(ax, title, names.unit, y_ticks, o.invert_y, o.xlabel);
        // The middle tick is zero up to rounding once the base is subtracted: no "−0" label.
        py::object yaxis = ax.attr("yaxis");
        py::object formatter = yaxis.attr("get_major_formatter")();
        if (py::type::of(formatter).is(py::module_::import("matplotlib.ticker").attr("ScalarFormatter")))
            yaxis.attr("set_major_formatter")(mod.attr("_SignlessZeroFormatter")());
    }
    {
        // The statistics of every sample (the lines themselves are three artists).
        Stopwatch sw(timings.processing);
        self.attr("_add_statistics")(ax, ts_processed, o.show_mean, o.show_std, o.std_multiplier);
    }
    Stopwatch sw(timings.drawing);
    add_earthquakes(mod, self, ax, ts_processed, qcat_data, names.station_location, o.qcat_filters, quake_axes);
    self.attr("_add_annotations")(ax, o.annotations);
    span.append(py::make_tuple(index[py::int_(0)], index[py::int_(-1)]));
    return true;
}

// Dates on the shared time axis as matplotlib's concise labels (day numbers, month and year only
// where they change): the default full dates of a multi-day axis run into each other at this
// width. Only applied when the axis holds dates; returns the axis, or None.
py::object concise_dates(py::object axes) {
    if (py::len(axes) == 0) return py::none();
    auto mdates = py::module_::import("matplotlib.dates");
    py::object axis = axes[py::int_(0)].attr("xaxis");
    if (!py::isinstance(axis.attr("get_major_formatter")(), mdates.attr("AutoDateFormatter"))) return py::none();
    py::object locator = mdates.attr("AutoDateLocator")();
    axis.attr("set_major_locator")(locator);
    axis.attr("set_major_formatter")(mdates.attr("ConciseDateFormatter")(locator));
    return axis;
}

// While a figure is saved, its shared time axis is asked for its ticks dozens of times (every
// panel, twin axis and layout pass), and each answer walks a date rule. The limits are final by
// then, so the ticks and labels are worked out once and pinned for the save; the live locator
// and formatter are put back afterwards, so the returned axes still follow later zooming.
class PinnedTicks {
public:
    explicit PinnedTicks(py::object axis) : axis_(std::move(axis)) {
        if (axis_.is_none()) return;
        locator_ = axis_.attr("get_major_locator")();
        formatter_ = axis_.attr("get_major_formatter")();
        py::object locs = axis_.attr("get_majorticklocs")();
        py::object labels = formatter_.attr("format_ticks")(locs);
        auto ticker = py::module_::import("matplotlib.ticker");
        py::object fixed = ticker.attr("FixedFormatter")(labels);
        fixed.attr("set_offset_string")(formatter_.attr("get_offset")());
        axis_.attr("set_major_locator")(ticker.attr("FixedLocator")(locs));
        axis_.attr("set_major_formatter")(fixed);
    }
    ~PinnedTicks() {
        if (axis_.is_none()) return;
        // Runs during unwinding too: keep any error in flight and restore quietly.
        py::error_scope keep;
        try {
            axis_.attr("set_major_locator")(locator_);
            axis_.attr("set_major_formatter")(formatter_);
        } catch (py::error_already_set&) {
        }
    }
    PinnedTicks(const PinnedTicks&) = delete;
    PinnedTicks& operator=(const PinnedTicks&) = delete;

private:
    py::object axis_, locator_, formatter_;
};

// The last steps of every figure of both builders: date labels, then the save under `filename`.
void finish_figure(py::object self, py::object fig, py::object axes, const std::string& filename,
                   py::object figure_format, Timings& timings, const py::list& quake_axes) {
    py::object time_axis;
    {
        Stopwatch sw(timings.drawing);
        time_axis = concise_dates(axes);
        tidy_quake_labels(fig, quake_axes);
    }
    Stopwatch sw(timings.saving);
    PinnedTicks pinned(time_axis);
    self.attr("_save_figure")(fig, py::str(filename), figure_format);
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

py::tuple plot_by_items(const bind::ModuleRef& mod, py::object self, py::object ts, py::object prefix,
                        py::object fig_label, py::object number_of_subplots, py::object fig_height,
                        py::object figure_format, py::object qcat_dir, const PanelOptions& o) {
    Timings timings;
    py::object qcat_data = read_catalogue(mod, qcat_dir);
    std::optional<TableGroups> groups;
    py::list items;
    {
        Stopwatch sw(timings.grouping);
        groups.emplace(ts, "ITEMID", "STATIONID", "POINTID");
        items = groups->first_key_values();
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
        // The item's station/point pairs in order of first appearance (missing keys included:
        // they find no data below and are reported).
        const std::int64_t item_code = groups->code_of(0, item);
        std::vector<std::pair<std::int64_t, std::int64_t>> pairs;
        if (item_code >= 0 || TableGroups::is_missing_key(item)) {
            for (std::size_t g = 0; g < groups->size(); ++g) {
                if (groups->code(g, 0) != item_code) continue;
                std::pair<std::int64_t, std::int64_t> pair{groups->code(g, 1), groups->code(g, 2)};
                if (std::find(pairs.begin(), pairs.end(), pair) == pairs.end()) pairs.push_back(pair);
            }
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
            py::list span, quake_axes;
            for (long long p = 0; p < count; ++p) {
                const auto [station_code, point_code] = pairs[static_cast<std::size_t>(start + p)];
                py::object station = groups->value(1, station_code), point = groups->value(2, point_code);
                py::object series;
                {
                    Stopwatch sw(timings.grouping);
                    series = groups->frame(item_code, station_code, point_code);
                }
                auto resolve = [&](PanelNames& names) {
                    auto [name, location] = station_metadata(self, station);
                    names.station_name = name;
                    names.station_location = location;
                    names.item_name = item_name;
                    names.unit = unit;
                    return true;
                };
                draw_panel(mod, self, axes[py::int_(p)], static_cast<std::size_t>(p), series, station, point,
                           qcat_data, o, resolve, timings, span, quake_axes);
            }
            const std::string filename = safe_piece(prefix) + safe_piece(fig_label) + safe_piece(item) +
                                         safe_piece(item_name) + "_" + std::to_string(fig_no);
            finish_figure(self, fig, axes, filename, figure_format, timings, quake_axes);
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
// one, the span of the panels drawn above), starting at their time stamp (a daily total dated at
// midnight covers its day) and 80 % of the closest spacing wide.
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
                       "width"_a = (width * py::float_(0.8)).attr("to_pytimedelta")(), "align"_a = "edge", "color"_a = "blue",
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
    std::optional<TableGroups> groups;
    py::list stations;
    {
        Stopwatch sw(timings.grouping);
        groups.emplace(ts, "STATIONID", "POINTID", "ITEMID");
        stations = groups->first_key_values();
    }
    py::object builtins = py::module_::import("builtins");
    py::object last_fig = py::none(), last_axes = py::none();
    py::object items_table = self.attr("items_table");
    for (py::handle station_handle : stations) {
        py::object station = py::reinterpret_borrow<py::object>(station_handle);
        // A missing station identifier matches no row.
        const std::int64_t station_code = groups->code_of(0, station);
        if (station_code < 0) continue;
        auto [station_name, station_location] = station_metadata(self, station);
        std::vector<std::int64_t> points;
        for (std::size_t g = 0; g < groups->size(); ++g)
            if (groups->code(g, 0) == station_code &&
                std::find(points.begin(), points.end(), groups->code(g, 1)) == points.end())
                points.push_back(groups->code(g, 1));
        for (const std::int64_t point_code : points) {
            py::object point = groups->value(1, point_code);
            // The excluded codes and missing items never get a panel; a missing point matches no row.
            py::list items;
            std::vector<std::int64_t> item_codes;
            for (std::size_t g = 0; g < groups->size() && point_code >= 0; ++g) {
                if (groups->code(g, 0) != station_code || groups->code(g, 1) != point_code) continue;
                const std::int64_t item_code = groups->code(g, 2);
                if (item_code < 0) continue;
                py::object code = groups->value(2, item_code);
                if (code.equal(py::str("3215")) || code.equal(py::str("3216")) || code.equal(py::str("999999")))
                    continue;
                items.append(code);
            }
            items = builtins.attr("sorted")(items);
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
            py::list span, quake_axes;
            for (std::size_t p = 0; p < items.size(); ++p) {
                py::object item = items[p];
                py::object series;
                {
                    Stopwatch sw(timings.grouping);
                    series = groups->frame(station_code, point_code, groups->code_of(2, item));
                }
                // (structured bindings are captured through init-captures: clang before 16 cannot
                // capture them directly)
                auto resolve = [&, &station_name = station_name,
                                &station_location = station_location](PanelNames& names) {
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
                draw_panel(mod, self, axes[py::int_(p)], p, series, station, point, qcat_data, o, resolve, timings,
                           span, quake_axes);
            }
            if (with_rain) {
                Stopwatch sw(timings.drawing);
                draw_rainfall(self, axes[py::int_(items.size())], rain, o, span);
            }
            py::object name_piece = is_missing(station_name) ? py::object(station) : station_name;
            const std::string filename = safe_piece(prefix) + "_" + safe_piece(fig_label) + "_" + safe_piece(station) +
                                         "_" + safe_piece(name_piece) + "_" + safe_piece(point);
            finish_figure(self, fig, axes, filename, figure_format, timings, quake_axes);
            last_fig = fig;
            last_axes = axes;
        }
    }
    timings.publish(mod);
    return py::make_tuple(last_fig, last_axes);
}

}  // namespace

void register_builder_hooks(py::module_& m) {
    // For tests: the builders' grouping of a table by three key columns, as
    // {(key1, key2, key3): row positions} in order of first appearance (missing keys form no group).
    m.def(
        "_key_groups",
        [](py::object ts, std::string first, std::string second, std::string third) {
            TableGroups groups(ts, first.c_str(), second.c_str(), third.c_str());
            py::dict out;
            for (std::size_t g = 0; g < groups.size(); ++g) {
                const auto a = groups.code(g, 0), b = groups.code(g, 1), c = groups.code(g, 2);
                py::object rows = groups.rows(a, b, c);
                if (rows.is_none()) continue;
                out[py::make_tuple(groups.value(0, a), groups.value(1, b), groups.value(2, c))] = rows;
            }
            return out;
        },
        py::arg("ts"), py::arg("first"), py::arg("second"), py::arg("third"));
}

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
