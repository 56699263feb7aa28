// What goes on a panel besides its series: statistics lines, annotations, the earthquake axis;
// and the reduced arrays of long line series.
#include <cmath>
#include <cstdint>
#include <vector>

#include "chartwork/chartwork.hpp"
#include "core/display_reduce.hpp"

namespace lumoreq::chartwork {
namespace {

void add_statistics(const bind::ModuleRef& mod, py::object self, py::object ax, py::object data,
                    py::object show_mean, py::object show_std, py::object multiplier) {
    if (truthy(data.attr("empty"))) return;
    py::object column = data["OBSVALUE"];
    if (column_all_missing(column, summarize_column(column))) return;
    py::object stats = mod.attr("calculate_stats")(data, "OBSVALUE", multiplier);
    py::object style = self.attr("stats_style");
    if (truthy(show_mean)) {
        ax.attr("axhline")("y"_a = stats["mean"], "color"_a = style["mean_color"],
                           "linestyle"_a = style["mean_linestyle"], "alpha"_a = style["mean_alpha"],
                           "linewidth"_a = style["mean_linewidth"], "label"_a = "Mean");
    }
    if (truthy(show_std)) {
        py::str k(multiplier);
        ax.attr("axhline")("y"_a = stats["upper_limit"], "color"_a = style["std_color"],
                           "linestyle"_a = style["std_linestyle"], "alpha"_a = style["std_alpha"],
                           "linewidth"_a = style["std_linewidth"], "label"_a = py::str("+") + k + py::str("σ"));
        ax.attr("axhline")("y"_a = stats["lower_limit"], "color"_a = style["std_color"],
                           "linestyle"_a = style["std_linestyle"], "alpha"_a = style["std_alpha"],
                           "linewidth"_a = style["std_linewidth"], "label"_a = py::str("-") + k + py::str("σ"));
    }
}

void add_annotations(py::object ax, py::object annotations) {
    if (!truthy(annotations)) return;
    for (py::handle handle : annotations) {
        py::object record = py::reinterpret_borrow<py::object>(handle);
        py::object text = record["text"];
        py::dict kwargs;
        kwargs["xy"] = py::make_tuple(record["x"], record["y"]);
        kwargs["xytext"] = record.attr("get")("xytext", py::make_tuple(10, 10));
        kwargs["textcoords"] = record.attr("get")("textcoords", "offset points");
        py::dict arrow;
        arrow["arrowstyle"] = "->";
        kwargs["arrowprops"] = record.attr("get")("arrowprops", arrow);
        py::object props = record.attr("get")("props", py::dict());
        for (py::handle key : props) {
            if (kwargs.contains(key))
                throw py::type_error("Axes.annotate() got multiple values for keyword argument '" + text_of(key) +
                                     "'");
            kwargs[key] = props[key];
        }
        ax.attr("annotate")(text, **kwargs);
    }
}

py::object add_secondary_data(const bind::ModuleRef& mod, py::object ax, py::object data, py::object color,
                              py::object marker, py::object label, py::object alpha) {
    if (data.is_none() || truthy(data.attr("empty"))) return py::none();
    py::object columns = data.attr("columns");
    std::vector<std::string> missing;
    for (const char* col : {"distance", "magnitude", "size", "text"})
        if (!truthy(columns.attr("__contains__")(col))) missing.push_back(col);
    if (!missing.empty()) {
        std::string joined;
        for (std::size_t i = 0; i < missing.size(); ++i) joined += (i ? ", " : "") + missing[i];
        bind::log(mod, "warning", "缺少必要列: " + joined);
        return py::none();
    }
    py::object twin = ax.attr("twinx")();
    twin.attr("patch").attr("set_visible")(false);
    py::object distance = data["distance"];
    twin.attr("scatter")(data.attr("index"), distance, "color"_a = color, "marker"_a = marker, "label"_a = label,
                         "alpha"_a = alpha, "s"_a = data["size"]);
    py::object spine = twin.attr("spines")["right"];
    spine.attr("set_visible")(true);
    spine.attr("set_color")(color);
    twin.attr("tick_params")("axis"_a = "y", "colors"_a = color);
    twin.attr("yaxis").attr("label").attr("set_color")(color);
    twin.attr("set_ylabel")("震中距(km)");

    // 50 km of room on both sides, never below 0; a column without numbers counts as empty.
    py::object lowest = distance.attr("min")();
    py::object highest = distance.attr("max")();
    const bool no_numbers = truthy(py::module_::import("pandas").attr("isna")(highest));
    py::object min_dist = py::int_(0);
    py::object max_dist = py::int_(300);
    if (!no_numbers) {
        py::object shifted = lowest - py::int_(50);
        min_dist = py::module_::import("builtins").attr("max")(py::int_(0), shifted);
        max_dist = highest + py::int_(50);
    }
    twin.attr("set_ylim")(min_dist, max_dist);

    py::object halo = py::module_::import("matplotlib.patheffects")
                          .attr("withStroke")("linewidth"_a = 2, "foreground"_a = "white", "alpha"_a = 0.8);
    for (py::handle pair : data.attr("iterrows")()) {
        py::tuple event = py::reinterpret_borrow<py::tuple>(pair);
        py::object row = event[1];
        py::object label = twin.attr("annotate")(row["text"], py::make_tuple(event[0], row["distance"]),
                                                 "xytext"_a = py::make_tuple(5, 5), "textcoords"_a = "offset points",
                                                 "color"_a = color, "fontsize"_a = 8);
        // A thin white halo keeps the label readable over a dense series without hiding it.
        label.attr("set_path_effects")(py::make_tuple(halo));
    }
    return twin;
}

template <typename T>
py::tuple reduce_arrays(py::array_t<std::int64_t> stamps, py::array_t<T, py::array::c_style> values,
                        std::size_t bins, py::object datetime_dtype) {
    const auto n = static_cast<std::size_t>(stamps.shape(0));
    const std::int64_t* t = stamps.data();
    const T* v = values.data();
    std::optional<std::vector<std::int64_t>> kept;
    {
        // Reads two buffers owned by the caller's arrays, kept alive here; writes only locals.
        py::gil_scoped_release release;
        kept = core::reduce_if_ordered<T>(t, v, n, bins);
    }
    if (!kept) return py::tuple();
    const std::vector<std::int64_t>& keep = *kept;
    py::array_t<std::int64_t> x(static_cast<py::ssize_t>(keep.size()));
    py::array_t<double> y(static_cast<py::ssize_t>(keep.size()));
    std::int64_t* xo = x.mutable_data();
    double* yo = y.mutable_data();
    {
        // Fills the two fresh arrays from the kept indices; nothing else is touched.
        py::gil_scoped_release release;
        for (std::size_t i = 0; i < keep.size(); ++i) {
            xo[i] = t[keep[i]];
            yo[i] = static_cast<double>(v[keep[i]]);
        }
    }
    return py::make_tuple(x.attr("view")(datetime_dtype), y);
}

}  // namespace

py::tuple line_arrays(const bind::ModuleRef& mod, py::object fig, py::object index, py::object values) {
    auto pd = py::module_::import("pandas");
    const auto n = static_cast<std::size_t>(py::len(index));
    // One column per pixel of the figure's width at the saving resolution (the panel is
    // narrower, so a column is under a pixel wide): drawn connected, the kept samples cover the
    // same pixels as the full series. Half-pixel columns drew twice the vertices for no visible
    // gain (0.25 % against 0.29 % of pixels differing from every point, on 1 Hz strain data).
    // Below eight samples per column it is not worth it.
    const double pixels = fig.attr("get_figwidth")().cast<double>() * kSaveDpi;
    const auto bins = static_cast<std::size_t>(std::max(1.0, std::ceil(pixels)));
    if (truthy(mod.attr("_display_reduction")) && py::isinstance(index, pd.attr("DatetimeIndex")) &&
        n > 8 * bins) {
        py::object unit = index.attr("unit");
        py::object dtype = py::str("datetime64[{}]").format(unit);
        auto stamps = index.attr("asi8").cast<py::array_t<std::int64_t>>();
        py::object raw = values.attr("to_numpy")();
        py::object kind = raw.attr("dtype").attr("kind");
        py::tuple out;
        if (kind.equal(py::str("f")) && raw.attr("dtype").attr("itemsize").cast<int>() == 4) {
            out = reduce_arrays<float>(stamps, py::array_t<float, py::array::c_style>::ensure(raw), bins, dtype);
        } else if (kind.equal(py::str("f")) || kind.equal(py::str("i")) || kind.equal(py::str("u"))) {
            out = reduce_arrays<double>(stamps, py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(raw),
                                        bins, dtype);
        }
        if (out.size() == 2) return out;
    }
    return py::make_tuple(index, values);
}

void register_decorations(bind::MethodClass& cls, const bind::ModuleRef& mod) {
    cls.def(
        "_add_statistics",
        [mod](py::object self, py::object ax, py::object data, py::object show_mean, py::object show_std,
              py::object multiplier) { add_statistics(mod, self, ax, data, show_mean, show_std, multiplier); },
        "添加统计线：均值线和 ±k 倍标准差线\n"
        "\n"
        "参数:\n"
        "    ax: 子图\n"
        "    data: 子图数据（使用 OBSVALUE 列）\n"
        "    show_mean: 是否绘制均值线\n"
        "    show_std: 是否绘制标准差线\n"
        "    multiplier: 标准差倍数",
        py::arg("ax"), py::arg("data"), py::arg("show_mean") = false, py::arg("show_std") = false,
        py::arg("multiplier") = 2.0);

    cls.def(
        "_add_annotations", [](py::object, py::object ax, py::object annotations) { add_annotations(ax, annotations); },
        "添加带箭头的文字标注\n"
        "\n"
        "参数:\n"
        "    ax: 子图\n"
        "    annotations: 标注列表，每项为包含 text、x、y 的字典，可选 xytext、textcoords、arrowprops、props",
        py::arg("ax"), py::arg("annotations") = py::none());

    cls.def(
        "_add_secondary_data",
        [mod](py::object, py::object ax, py::object secondary_data, py::object color, py::object marker,
              py::object label, py::object alpha, py::object /*size_multiplier*/) {
            return add_secondary_data(mod, ax, secondary_data, color, marker, label, alpha);
        },
        "在图表上添加第二Y轴数据（如地震数据）", py::arg("ax"), py::arg("secondary_data"), py::arg("color") = "red",
        py::arg("marker") = "o", py::arg("label") = "地震", py::arg("alpha") = 0.7, py::arg("size_multiplier") = 5);
}

}  // namespace lumoreq::chartwork
