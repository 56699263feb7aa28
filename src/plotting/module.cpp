// The plotting facade: one import for the chart helpers, the plotter and the annual comparison,
// plus the two builders as plain functions.
#include "bind/bind.hpp"

namespace bind = lumoreq::bind;

namespace {

constexpr const char* kItemsDoc =
    "按测项绘图：每个测项一组图，每个子图为一个台站/测点。\n"
    "\n"
    "参数:\n"
    "    ts: 时间序列数据（以时间为索引，含 OBSVALUE、STATIONID、POINTID、ITEMID 列）\n"
    "    conn: 数据库连接，用于获取台站、测点和测项信息；None 时使用本地元数据缓存\n"
    "    metadata_dir: 本地元数据缓存目录\n"
    "    refresh_metadata: 是否刷新本地元数据缓存\n"
    "    mean_color: 均值线颜色\n"
    "    std_color: 标准差线颜色\n"
    "    **kwargs: 传给 TSPlotter.plot_by_items 的其他参数（prefix、fig_label、number_of_subplots、\n"
    "        show_mean、show_std、qcat_dir、start_time、end_time 等）\n"
    "\n"
    "返回:\n"
    "    tuple: 最后保存的 (figure, axes)；未绘制任何图时为 (None, None)";

constexpr const char* kStationsDoc =
    "按台站绘图：每个台站/测点一张图，每个子图为一个测项。\n"
    "\n"
    "参数:\n"
    "    ts: 时间序列数据（以时间为索引，含 OBSVALUE、STATIONID、POINTID、ITEMID 列）\n"
    "    conn: 数据库连接，用于获取台站、测点和测项信息；None 时使用本地元数据缓存\n"
    "    metadata_dir: 本地元数据缓存目录\n"
    "    refresh_metadata: 是否刷新本地元数据缓存\n"
    "    mean_color: 均值线颜色\n"
    "    std_color: 标准差线颜色\n"
    "    **kwargs: 传给 TSPlotter.plot_by_stations 的其他参数（prefix、fig_label、daily_mean_values、\n"
    "        rainfall、show_mean、show_std、qcat_dir、start_time、end_time 等）\n"
    "\n"
    "返回:\n"
    "    tuple: 最后保存的 (figure, axes)；未绘制任何图时为 (None, None)";

py::object build_and_plot(const bind::ModuleRef& mod, const char* builder, py::object ts, py::object conn,
                          py::object metadata_dir, py::object refresh_metadata, py::object mean_color,
                          py::object std_color, py::kwargs kwargs) {
    py::object plotter =
        mod.attr("TSPlotter")(conn, "metadata_dir"_a = metadata_dir, "refresh_metadata"_a = refresh_metadata);
    plotter.attr("set_stats_style")("mean_color"_a = mean_color, "std_color"_a = std_color);
    return plotter.attr(builder)(ts, **kwargs);
}

}  // namespace

LUMOREQ_MODULE(plotting, m) {
    bind::DocOnly doc_only;
    m.doc() = "绘图门面：重新导出绘图名称，并提供按测项、按台站绘图的函数。";
    py::module_ chartkit = bind::import_sibling(m, "chartkit");
    for (const char* name : {"create_figures_folder", "calculate_stats", "get_freq_str", "reindex_df_by_interval",
                             "font_title", "font_xlabel", "font_unit", "font_suptitle", "legend_font"})
        m.attr(name) = chartkit.attr(name);
    m.attr("TSPlotter") = bind::import_sibling(m, "chartwork").attr("TSPlotter");
    m.attr("plot_annual_comparison") = bind::import_sibling(m, "yearcompare").attr("plot_annual_comparison");

    bind::ModuleRef mod(m);
    for (const char* builder : {"plot_by_items", "plot_by_stations"}) {
        const std::string name = builder;
        m.def(
            builder,
            [mod, name](py::object ts, py::object conn, py::object metadata_dir, py::object refresh_metadata,
                        py::object mean_color, py::object std_color, py::kwargs kwargs) {
                return build_and_plot(mod, name.c_str(), ts, conn, metadata_dir, refresh_metadata, mean_color,
                                      std_color, kwargs);
            },
            py::doc(name == "plot_by_items" ? kItemsDoc : kStationsDoc), py::arg("ts"), py::arg("conn") = py::none(),
            py::arg("metadata_dir") = py::none(), py::arg("refresh_metadata") = false, py::arg("mean_color") = "r",
            py::arg("std_color") = "gray");
    }
}
