// Earthquake labels that stay legible: a figure with a year of events on short panels gets
// dozens of labels, each written 5 points up and right of its marker. Once the figure is
// complete (all limits final), labels are laid out from the strongest event down: a label that
// would stick out above its panel hangs below its marker instead, one that would run past the
// right edge ends left of its marker instead, and one that would still cover an earlier label
// or a panel title is hidden. Every marker stays; every label stays an artist of its axes.
#include <algorithm>
#include <cmath>
#include <numeric>
#include <vector>

#include "chartwork/chartwork.hpp"

namespace lumoreq::chartwork {
namespace {

struct Box {
    double x0, y0, x1, y1;
    bool overlaps(const Box& o) const { return x0 < o.x1 && o.x0 < x1 && y0 < o.y1 && o.y0 < y1; }
};

Box box_of(py::handle bbox) {
    return {bbox.attr("x0").cast<double>(), bbox.attr("y0").cast<double>(), bbox.attr("x1").cast<double>(),
            bbox.attr("y1").cast<double>()};
}

struct Label {
    py::object text, axes;
    double magnitude;
    std::size_t order;
};

}  // namespace

void tidy_quake_labels(py::object fig, const py::list& quakes) {
    if (quakes.empty()) return;
    // The canvas's own renderer (Agg and the interactive backends built on it); a figure on any
    // other canvas asks matplotlib for the one it would lay out with.
    py::object canvas = fig.attr("canvas");
    py::object renderer;
    if (py::hasattr(canvas, "get_renderer"))
        renderer = canvas.attr("get_renderer")();
    else if (py::hasattr(fig, "_get_renderer"))
        renderer = fig.attr("_get_renderer")();
    else
        return;

    std::vector<Label> labels;
    std::vector<Box> taken;
    for (py::handle entry : quakes) {
        py::tuple pair = py::reinterpret_borrow<py::tuple>(entry);
        py::object twin = pair[0];
        py::list magnitudes = pair[1];
        py::list texts = py::module_::import("builtins").attr("list")(twin.attr("texts"));
        if (texts.size() != magnitudes.size()) continue;  // not the labels this module wrote
        twin.attr("get_xlim")();  // settles pending autoscaling before anything is measured
        twin.attr("get_ylim")();
        for (std::size_t i = 0; i < texts.size(); ++i) {
            double m = -INFINITY;
            try {
                m = magnitudes[i].cast<double>();
            } catch (py::cast_error&) {
            }
            labels.push_back({texts[i], twin, std::isnan(m) ? -INFINITY : m, labels.size()});
        }
    }
    // Panel titles are never covered.
    for (py::handle ax : fig.attr("axes")) {
        py::object title = ax.attr("title");
        if (truthy(title.attr("get_text")())) taken.push_back(box_of(title.attr("get_window_extent")(renderer)));
    }
    std::stable_sort(labels.begin(), labels.end(),
                     [](const Label& a, const Label& b) { return a.magnitude > b.magnitude; });
    for (Label& label : labels) {
        if (!truthy(label.text.attr("get_visible")())) continue;
        const Box area = box_of(label.axes.attr("get_window_extent")(renderer));
        Box box = box_of(label.text.attr("get_window_extent")(renderer));
        // Mirrored offsets keep the moved label clear of its own marker.
        if (box.y1 > area.y1) {
            py::tuple offset = label.text.attr("xyann");
            label.text.attr("xyann") = py::make_tuple(offset[0], -offset[1].cast<double>());
            label.text.attr("set_verticalalignment")("top");
            box = box_of(label.text.attr("get_window_extent")(renderer));
        }
        if (box.x1 > area.x1) {
            py::tuple offset = label.text.attr("xyann");
            label.text.attr("xyann") = py::make_tuple(-offset[0].cast<double>(), offset[1]);
            label.text.attr("set_horizontalalignment")("right");
            box = box_of(label.text.attr("get_window_extent")(renderer));
        }
        const bool covers = std::any_of(taken.begin(), taken.end(), [&](const Box& t) { return t.overlaps(box); });
        if (covers) {
            label.text.attr("set_visible")(false);
            continue;
        }
        taken.push_back(box);
    }
}

}  // namespace lumoreq::chartwork
