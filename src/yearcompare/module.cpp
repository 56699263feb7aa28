// Same-period-of-year comparison: every calendar year of one series over one month-day axis.
#include "bind/bind.hpp"
#include "bind/files.hpp"
#include "bind/series_keys.hpp"

namespace bind = lumoreq::bind;

namespace {

bool truthy(py::handle x) { return py::bool_(py::reinterpret_borrow<py::object>(x)).cast<bool>(); }

// The file the comparison is saved to, or None when `output_file` is not a path at all (that
// failure is then met, and logged, when saving). Relative names go into ./figures/ (a name
// already starting "./figures/" is kept); one that resolves outside that folder is refused.
py::object figure_path(const py::object& output_file) {
    auto os = py::module_::import("os");
    py::object path;
    try {
        path = os.attr("fspath")(output_file);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_TypeError)) throw;
        return py::none();
    }
    if (!py::isinstance<py::str>(path)) path = os.attr("fsdecode")(path);
    if (truthy(os.attr("path").attr("isabs")(path))) return path;
    if (!truthy(path.attr("startswith")("./figures/"))) path = py::str("./figures/") + path;
    py::object real = os.attr("path").attr("realpath");
    py::object folder = real("figures");
    py::object resolved = real(path);
    if (!truthy(resolved.attr("startswith")(os.attr("path").attr("join")(folder, "")))) {
        throw py::value_error(py::str("plot_annual_comparison: output_file {!r} resolves to {} outside ./figures/; "
                                      "use a name inside ./figures/ or an absolute path")
                                  .format(output_file, resolved)
                                  .cast<std::string>());
    }
    return path;
}

// The image format the file name implies ("png" for "x.png"); matplotlib's default format for a
// name without one, which matplotlib then appends to the name, as it does for a direct save.
py::object image_format(py::object& path) {
    auto os = py::module_::import("os");
    py::object ext = os.attr("path").attr("splitext")(path).attr("__getitem__")(1);
    if (truthy(ext) && !ext.equal(py::str("."))) return ext[py::slice(1, {}, {})].attr("lower")();
    py::object fmt = py::module_::import("matplotlib").attr("rcParams")["savefig.format"];
    path = path.attr("rstrip")(".") + py::str(".") + fmt;
    return fmt;
}

py::tuple plot_annual_comparison(const bind::ModuleRef& mod, py::object df, py::object output_file,
                                 py::object subtract_mean, py::object invert_y, py::object y_label, py::object dpi,
                                 py::object figsize, py::object grid, py::object y_axis_format,
                                 py::object station_name, py::object direction, py::object rolling_window) {
    // An empty frame has no year to draw; say so instead of failing deep inside matplotlib.
    if (truthy(df.attr("empty")))
        throw py::value_error("plot_annual_comparison: the data frame is empty, there is no year to compare");

    // Where the figure goes, settled before anything is drawn: a relative name lives in
    // ./figures/ and may not climb out of it; an absolute path is used as given.
    py::object path = figure_path(output_file);

    bind::warn_if_mixed_series(df, "plot_annual_comparison", "各年份的点与曲线会混合不同序列；请先选出一个序列再绘图");
    py::object plt = mod.attr("plt");
    py::object np = mod.attr("np");
    py::object mdates = mod.attr("mdates");
    mod.attr("create_figures_folder")();
    if (!truthy(df.attr("columns").attr("__contains__")("datetime_norm")))
        df = mod.attr("psp").attr("create_normalized_dates")(df);

    py::object builtins = py::module_::import("builtins");
    py::list years = builtins.attr("sorted")(df.attr("index").attr("year").attr("unique")());
    py::tuple made = plt.attr("subplots")("figsize"_a = figsize);
    py::object fig = made[0], ax = made[1];

    const auto n_years = years.size();
    py::object cmap = plt.attr("cm").attr("viridis");
    py::list colors;
    for (std::size_t i = 0; i < n_years; ++i)
        colors.append(cmap(py::float_(static_cast<double>(i) / static_cast<double>(n_years))));

    py::list all_means;
    py::object year_index = df.attr("index").attr("year");
    for (std::size_t i = 0; i < n_years; ++i) {
        py::object year = years[i];
        py::object df_year = df[year_index.attr("__eq__")(year)];
        if (py::len(df_year) == 0) continue;
        py::object y_data = df_year["OBSVALUE"];
        if (truthy(subtract_mean)) {
            py::object mean_val = y_data.attr("mean")();
            y_data = y_data - mean_val;
        }
        py::object year_mean = y_data.attr("mean")();
        all_means.append(year_mean);
        py::object color = colors[i % n_years];
        py::object x = df_year["datetime_norm"];
        ax.attr("scatter")(x, y_data, "s"_a = 10, "color"_a = color, "alpha"_a = 0.3, "label"_a = py::none());
        py::object rolling_mean =
            y_data.attr("rolling")("window"_a = rolling_window, "center"_a = true).attr("mean")();
        py::object label = py::str(year) + py::str(" (Mean: ") + py::str("{:.2f}").format(year_mean) + py::str(")");
        ax.attr("plot")(x, rolling_mean, "label"_a = label, "color"_a = color, "linewidth"_a = 2.0, "alpha"_a = 0.9);
        if (i == n_years - 1)
            ax.attr("fill_between")(x, rolling_mean, rolling_mean.attr("min")(), "color"_a = color, "alpha"_a = 0.1);
    }

    if (truthy(invert_y)) ax.attr("invert_yaxis")();
    py::object title = (truthy(station_name) || truthy(direction))
                           ? py::object(py::str(station_name) + py::str(direction) + py::str("同年对比"))
                           : py::object(py::str("同年对比曲线"));
    ax.attr("set_title")(title, "fontdict"_a = mod.attr("font_title"), "pad"_a = 15);
    ax.attr("set_xlabel")("日期 (月-日)", "fontdict"_a = mod.attr("font_xlabel"), "labelpad"_a = 10);
    ax.attr("set_ylabel")(y_label, "fontdict"_a = mod.attr("font_unit"), "labelpad"_a = 10);
    py::object current_time = mod.attr("datetime").attr("now")().attr("strftime")("%Y-%m-%d %H:%M");
    plt.attr("figtext")(0.99, 0.01, py::str("Generated: ") + current_time, "ha"_a = "right", "fontsize"_a = 8,
                        "style"_a = "italic", "alpha"_a = 0.5);
    py::object overall_mean = np.attr("mean")(all_means);
    ax.attr("axhline")("y"_a = overall_mean, "color"_a = "red", "linestyle"_a = "--", "alpha"_a = 0.6,
                       "linewidth"_a = 1);
    ax.attr("xaxis").attr("set_major_formatter")(mdates.attr("DateFormatter")("%m-%d"));
    ax.attr("xaxis").attr("set_major_locator")(mdates.attr("MonthLocator")());
    plt.attr("xticks")("rotation"_a = 45, "ha"_a = "right");
    if (truthy(y_axis_format)) ax.attr("yaxis").attr("set_major_formatter")(plt.attr("FuncFormatter")(y_axis_format));
    ax.attr("legend")("title"_a = "年份 (年平均值)", "loc"_a = "upper left", "prop"_a = mod.attr("legend_font"),
                      "framealpha"_a = 0.8);
    if (truthy(grid)) ax.attr("grid")(true, "linestyle"_a = "--", "alpha"_a = 0.3);
    plt.attr("tight_layout")();

    try {
        auto os = py::module_::import("os");
        if (path.is_none()) path = os.attr("fspath")(output_file);  // not a path: fails here, logged
        py::object parent = os.attr("path").attr("dirname")(path);
        if (truthy(parent)) os.attr("makedirs")(parent, "exist_ok"_a = true);
        py::object format = image_format(path);
        bind::save_atomically(path, [&](const py::object& temp) {
            fig.attr("savefig")(temp, "format"_a = format, "dpi"_a = dpi, "bbox_inches"_a = "tight");
        });
        bind::log(mod, "info", py::str("Annual comparison chart saved as: ") + py::str(path));
    } catch (py::error_already_set& e) {
        bind::rethrow_unless_exception(e);
        bind::log(mod, "error", py::str("Error saving chart: ") + py::str(e.value()));
    }
    return py::make_tuple(fig, ax);
}

}  // namespace

LUMOREQ_MODULE(yearcompare, m) {
    bind::DocOnly doc_only;
    m.doc() = "同年对比：将一条序列的各年份叠加到同一参考年份的日期轴上。";
    m.attr("datetime") = py::module_::import("datetime").attr("datetime");
    m.attr("mdates") = py::module_::import("matplotlib.dates");
    m.attr("plt") = py::module_::import("matplotlib.pyplot");
    m.attr("np") = py::module_::import("numpy");
    m.attr("psp") = bind::import_sibling(m, "refinery");
    m.attr("logger") = bind::import_sibling(m, "logsetup").attr("plotting_logger");
    py::module_ chartkit = bind::import_sibling(m, "chartkit");
    for (const char* name : {"create_figures_folder", "font_title", "font_unit", "font_xlabel", "legend_font"})
        m.attr(name) = chartkit.attr(name);

    bind::ModuleRef mod(m);
    m.def(
        "plot_annual_comparison",
        [mod](py::object df, py::object output_file, py::object subtract_mean, py::object invert_y, py::object y_label,
              py::object dpi, py::object figsize, py::object grid, py::object y_axis_format, py::object station_name,
              py::object direction, py::object rolling_window) {
            return plot_annual_comparison(mod, df, output_file, subtract_mean, invert_y, y_label, dpi, figsize, grid,
                                          y_axis_format, station_name, direction, rolling_window);
        },
        py::doc("绘制同年对比曲线图。"), py::arg("df"), py::arg("output_file") = "Annual_Comparison.png",
        py::arg("subtract_mean") = false, py::arg("invert_y") = false, py::arg("y_label") = "Observation Value",
        py::arg("dpi") = 300, py::arg("figsize") = py::make_tuple(12, 8), py::arg("grid") = true,
        py::arg("y_axis_format") = py::none(), py::arg("station_name") = "", py::arg("direction") = "",
        py::arg("rolling_window") = 5);
}
