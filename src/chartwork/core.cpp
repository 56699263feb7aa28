// TSPlotter core: construction, statistics style, per-series preprocessing, axis dressing,
// saving, and the dispatcher.
#include <vector>

#include "bind/files.hpp"
#include "chartwork/chartwork.hpp"

namespace lumoreq::chartwork {
namespace {

constexpr const char* kStyleKeys[] = {"mean_color",  "std_color",      "mean_linestyle", "std_linestyle",
                                      "mean_alpha",  "std_alpha",      "mean_linewidth", "std_linewidth"};

void init(const bind::ModuleRef& mod, py::object self, py::object conn, py::object mean_color,
          py::object std_color, py::object mean_linestyle, py::object std_linestyle, py::object mean_alpha,
          py::object std_alpha, py::object mean_linewidth, py::object std_linewidth, py::object metadata_dir,
          py::object refresh_metadata) {
    py::setattr(self, "conn", conn);
    py::object info =
        mod.attr("tsf").attr("timeseries_info")(conn, "cache_dir"_a = metadata_dir, "refresh_cache"_a = refresh_metadata);
    // Unpacked like `a, b, c = info`: exactly three elements.
    py::list parts = py::module_::import("builtins").attr("list")(info);
    if (parts.size() < 3)
        throw py::value_error("not enough values to unpack (expected 3, got " + std::to_string(parts.size()) + ")");
    if (parts.size() > 3) throw py::value_error("too many values to unpack (expected 3)");
    py::setattr(self, "stations_table", parts[0]);
    py::setattr(self, "points_table", parts[1]);
    py::setattr(self, "items_table", parts[2]);
    py::object values[] = {mean_color, std_color, mean_linestyle, std_linestyle,
                           mean_alpha, std_alpha, mean_linewidth, std_linewidth};
    py::dict style;
    for (std::size_t i = 0; i < 8; ++i) style[kStyleKeys[i]] = values[i];
    py::setattr(self, "stats_style", style);
}

void set_stats_style(const bind::ModuleRef& mod, py::object self, py::kwargs kwargs) {
    py::object style = self.attr("stats_style");
    for (auto item : kwargs) {
        py::object key = py::reinterpret_borrow<py::object>(item.first);
        if (py::bool_(style.attr("__contains__")(key))) {
            style[key] = item.second;
        } else {
            bind::log(mod, "warning", py::str("未知的统计线样式参数: ") + py::str(key));
        }
    }
}

// Daily aggregate of the value column only. The identifier columns of the series (every column
// holding one value throughout) are carried along; the rows are now daily, so a SAMPLERATE
// column says so ("90"), which keeps a later reindex on the daily grid.
py::object daily_values(py::object ts, const char* how) {
    py::object values = ts["OBSVALUE"].attr("resample")("D").attr(how)();
    py::object out = values.attr("to_frame")("OBSVALUE");
    py::list keep;
    for (py::handle col : ts.attr("columns")) {
        py::object name = py::reinterpret_borrow<py::object>(col);
        if (name.equal(py::str("OBSVALUE"))) {
            keep.append(name);
            continue;
        }
        if (name.equal(py::str("SAMPLERATE"))) {
            out.attr("__setitem__")(name, py::str("90"));
            keep.append(name);
            continue;
        }
        py::object column = ts[name];
        if (py::int_(column.attr("nunique")("dropna"_a = false)).cast<long long>() == 1) {
            out.attr("__setitem__")(name, column.attr("iloc")[py::int_(0)]);
            keep.append(name);
        }
    }
    return out[keep];
}

py::tuple process_data(const bind::ModuleRef& mod, py::object ts_tmp, py::object set_zero, py::object reindex,
                       py::object resample) {
    py::object ts = ts_tmp.attr("copy")("deep"_a = false);
    if (truthy(resample) && !truthy(ts.attr("empty"))) {
        if (resample.equal(py::str("D")))
            ts = daily_values(ts, "median");
        else if (resample.equal(py::str("sum")))
            ts = daily_values(ts, "sum");
    }
    const bool empty = truthy(ts.attr("empty"));
    py::object basevalue = py::int_(0);
    if (!empty) {
        py::object column = ts["OBSVALUE"];
        const auto summary = summarize_column(column);
        basevalue = (column_max(column, summary) + column_min(column, summary)) / py::int_(2);
    }
    if (truthy(set_zero) && !empty) ts.attr("__setitem__")("OBSVALUE", py::object(ts["OBSVALUE"]) - basevalue);
    if (truthy(reindex) && !empty) ts = mod.attr("reindex_df_by_interval")(ts);
    return py::make_tuple(ts, basevalue);
}

py::object get_plot_type(py::object index, py::object plot_type, py::object plot_types) {
    if (!plot_types.is_none() && py::isinstance<py::list>(plot_types) &&
        index < py::int_(py::len(plot_types)))
        return plot_types.attr("__getitem__")(index);
    return plot_type;
}

py::object unit_label(py::object unit) {
    if (unit.equal(py::str("ms"))) return py::str("$ 10^{-3} $角秒");
    if (unit.equal(py::str("10-10"))) return py::str("应变/$ 10^{-10} $");
    if (unit.equal(py::str("10-9"))) return py::str("应变/$ 10^{-9} $");
    return unit;
}

void setup_axis(const bind::ModuleRef& mod, py::object ax, py::object title, py::object unit, py::object y_ticks,
                py::object invert_y, py::object xlabel) {
    ax.attr("set_title")(title, "fontdict"_a = mod.attr("font_title"));
    if (truthy(unit)) ax.attr("set_ylabel")(unit_label(unit), "fontdict"_a = mod.attr("font_unit"));
    if (truthy(y_ticks)) ax.attr("set_yticks")(y_ticks);
    if (truthy(invert_y)) ax.attr("invert_yaxis")();
    ax.attr("set_xlabel")(xlabel, "fontdict"_a = mod.attr("font_xlabel"));
}

void save_figure(const bind::ModuleRef& mod, py::object fig, py::object filename, py::object format,
                 py::object dpi) {
    mod.attr("create_figures_folder")();
    py::object name = filename + py::str(".") + format;
    py::object full_path = py::str("./figures/") + name;
    // Drawn into a temporary sibling and renamed over the target: never a truncated figure.
    bind::save_atomically(full_path, [&](const py::object& temp) {
        fig.attr("savefig")(temp, "format"_a = format, "dpi"_a = dpi, "bbox_inches"_a = "tight");
    });
    mod.attr("plt").attr("close")(fig);
    bind::log(mod, "info", py::str("Figure ") + name + py::str(" has been saved to current folder."));
}

py::object plot(const bind::ModuleRef& mod, py::object self, py::object ts, py::object groupby, py::object prefix,
                py::object fig_label, py::object xlabel, py::kwargs kwargs) {
    py::object key = groupby.attr("lower")();
    py::dict forwarded;
    forwarded["prefix"] = prefix;
    forwarded["fig_label"] = fig_label;
    forwarded["xlabel"] = xlabel;
    for (auto item : kwargs) forwarded[item.first] = item.second;
    if (key.equal(py::str("item"))) return self.attr("plot_by_items")(ts, **forwarded);
    if (key.equal(py::str("station"))) return self.attr("plot_by_stations")(ts, **forwarded);
    bind::log(mod, "error", py::str("不支持的分组方式: ") + py::str(groupby));
    return py::make_tuple(py::none(), py::none());
}

}  // namespace

std::string text_of(py::handle x) { return py::str(x).cast<std::string>(); }

void register_core(bind::MethodClass& cls, const bind::ModuleRef& mod) {
    cls.def(
        "__init__",
        [mod](py::object self, py::object conn, py::object mean_color, py::object std_color,
              py::object mean_linestyle, py::object std_linestyle, py::object mean_alpha, py::object std_alpha,
              py::object mean_linewidth, py::object std_linewidth, py::object metadata_dir,
              py::object refresh_metadata) {
            init(mod, self, conn, mean_color, std_color, mean_linestyle, std_linestyle, mean_alpha, std_alpha,
                 mean_linewidth, std_linewidth, metadata_dir, refresh_metadata);
        },
        "初始化绘图类\n"
        "\n"
        "参数:\n"
        "    conn: 数据库连接，用于获取台站、测点和测项信息\n"
        "    mean_color, std_color: 均值线与标准差线的颜色\n"
        "    mean_linestyle, std_linestyle: 均值线与标准差线的线型\n"
        "    mean_alpha, std_alpha: 均值线与标准差线的透明度\n"
        "    mean_linewidth, std_linewidth: 均值线与标准差线的线宽\n"
        "    metadata_dir: 本地元数据缓存目录\n"
        "    refresh_metadata: 是否刷新本地元数据缓存",
        py::arg("conn") = py::none(), py::arg("mean_color") = "r", py::arg("std_color") = "gray",
        py::arg("mean_linestyle") = "--", py::arg("std_linestyle") = ":", py::arg("mean_alpha") = 0.7,
        py::arg("std_alpha") = 0.5, py::arg("mean_linewidth") = 1.0, py::arg("std_linewidth") = 1.0,
        py::arg("metadata_dir") = py::none(), py::arg("refresh_metadata") = false);

    cls.def("set_stats_style",
            [mod](py::object self, py::kwargs kwargs) { set_stats_style(mod, self, kwargs); },
            "设置统计线样式\n"
            "\n"
            "参数:\n"
            "    **kwargs: stats_style 中的样式键及其新值；未知的键记录警告后忽略");

    cls.def(
        "_process_data",
        [mod](py::object, py::object ts_tmp, py::object set_zero, py::object reindex, py::object resample) {
            return process_data(mod, ts_tmp, set_zero, reindex, resample);
        },
        "处理单个子图的数据：可选按日重采样、减去基值（最大值与最小值的中点）、按采样率重新索引\n"
        "\n"
        "返回:\n"
        "    tuple: (处理后的数据, 基值)",
        py::arg("ts_tmp"), py::arg("set_zero") = true, py::arg("reindex") = false, py::arg("resample") = py::none());

    cls.def(
        "_get_plot_type",
        [](py::object, py::object index, py::object plot_type, py::object plot_types) {
            return get_plot_type(index, plot_type, plot_types);
        },
        "获取指定子图的绘图类型：plot_types 为列表且包含该序号时取其值，否则取 plot_type", py::arg("index"),
        py::arg("plot_type"), py::arg("plot_types") = py::none());

    cls.def(
        "_setup_axis",
        [mod](py::object, py::object ax, py::object title, py::object unit, py::object y_ticks, py::object invert_y,
              py::object xlabel) { setup_axis(mod, ax, title, unit, y_ticks, invert_y, xlabel); },
        "设置坐标轴：标题、单位（纵轴标签）、纵轴刻度、纵轴翻转和横轴标签", py::arg("ax"), py::arg("title"),
        py::arg("unit") = py::none(), py::arg("y_ticks") = py::none(), py::arg("invert_y") = false,
        py::arg("xlabel") = "");

    cls.def(
        "_save_figure",
        [mod](py::object, py::object fig, py::object filename, py::object format, py::object dpi) {
            save_figure(mod, fig, filename, format, dpi);
        },
        "保存图像到 ./figures/ 文件夹并关闭图像", py::arg("fig"), py::arg("filename"), py::arg("format") = "png",
        py::arg("dpi") = kSaveDpi);

    cls.def(
        "plot",
        [mod](py::object self, py::object ts, py::object groupby, py::object prefix, py::object fig_label,
              py::object xlabel, py::kwargs kwargs) {
            return plot(mod, self, ts, groupby, prefix, fig_label, xlabel, kwargs);
        },
        "绘图入口：按测项（groupby=\"item\"）或按台站（groupby=\"station\"）绘图\n"
        "\n"
        "参数:\n"
        "    ts: 时间序列数据\n"
        "    groupby: 分组方式，\"item\" 或 \"station\"（不区分大小写）\n"
        "    prefix: 文件名前缀\n"
        "    fig_label: 图像标签\n"
        "    xlabel: 横轴标签\n"
        "    **kwargs: 传给 plot_by_items 或 plot_by_stations 的其他参数\n"
        "\n"
        "返回:\n"
        "    tuple: 所调用绘图方法的返回值；分组方式不支持时为 (None, None)",
        py::arg("ts"), py::arg("groupby") = "item", py::arg("prefix") = "", py::arg("fig_label") = "",
        py::arg("xlabel") = "");
}

}  // namespace lumoreq::chartwork
