// The web view's per-sample work: the M4 reduction of a requested range (from samples or from
// summary buckets), the summaries themselves, and the modal sampling step of a part.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/display_reduce.hpp"
#include "core/range_m4.hpp"

namespace py = pybind11;
using namespace pybind11::literals;
namespace core = lumoreq::core;

namespace {

using Times = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
using Doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;

// A numpy array that owns the vector's storage (no copy).
template <class T>
py::array_t<T> adopt(std::vector<T>&& v) {
    auto* owner = new std::vector<T>(std::move(v));
    py::capsule free_owner(owner, [](void* p) { delete static_cast<std::vector<T>*>(p); });
    return py::array_t<T>(static_cast<py::ssize_t>(owner->size()), owner->data(), free_owner);
}

std::size_t length(const py::array& a, const char* name) {
    if (a.ndim() != 1) throw py::value_error(std::string(name) + " must be one-dimensional");
    return static_cast<std::size_t>(a.shape(0));
}

// Calls f(times, values pointer) with float32 values kept as they are and anything else as float64.
template <class F>
bool with_values(const Times& times, const py::array& values, F&& f) {
    const std::size_t n = length(times, "times");
    if (length(values, "values") != n) throw py::value_error("times and values differ in length");
    if (py::isinstance<py::array_t<float>>(values) && (values.flags() & py::array::c_style)) {
        auto v = py::array_t<float, py::array::c_style>::ensure(values);
        const float* pv = v.data();
        const std::int64_t* pt = times.data();
        py::gil_scoped_release release;  // plain buffers, owned by the caller for the call
        return f(pt, pv, n);
    }
    Doubles v = Doubles::ensure(values);
    if (!v) throw py::type_error("values must be numbers");
    const double* pv = v.data();
    const std::int64_t* pt = times.data();
    py::gil_scoped_release release;
    return f(pt, pv, n);
}

const char* kOrderError = "the times must not decrease and must not be NaT";

// The streaming reducer: one per request; not shared between threads.
class RangeReducer {
public:
    RangeReducer(std::int64_t t0, std::int64_t t1, std::int64_t width) {
        if (!(t1 > t0)) throw py::value_error("the range is empty: t1 must be later than t0");
        if (width < 1 || width > 100000) throw py::value_error("width must be between 1 and 100000 columns");
        reducer_ = std::make_unique<core::RangeM4>(t0, t1, static_cast<std::size_t>(width));
    }

    void feed(const Times& times, const py::array& values) {
        const bool ok = with_values(times, values, [&](const std::int64_t* t, const auto* v, std::size_t n) {
            return reducer_->feed(t, v, n);
        });
        if (!ok) throw py::value_error(kOrderError);
    }

    void feed_buckets(const py::dict& level) {
        Times starts = Times::ensure(level["start"]);
        Times corner_times = Times::ensure(level["corner_time"]);
        Doubles corner_values = Doubles::ensure(level["corner_value"]);
        auto ncorners = py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast>::ensure(level["corners"]);
        auto gaps = py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast>::ensure(level["gaps"]);
        Times counts = Times::ensure(level["count"]);
        Doubles means = Doubles::ensure(level["mean"]);
        Doubles m2s = Doubles::ensure(level["m2"]);
        if (!starts || !corner_times || !corner_values || !ncorners || !gaps || !counts || !means || !m2s)
            throw py::type_error("a summary level needs numeric columns");
        const std::size_t n = length(starts, "start");
        if (corner_times.size() != static_cast<py::ssize_t>(4 * n) ||
            corner_values.size() != static_cast<py::ssize_t>(4 * n) || length(ncorners, "corners") != n ||
            length(gaps, "gaps") != n || length(counts, "count") != n || length(means, "mean") != n ||
            length(m2s, "m2") != n)
            throw py::value_error("the columns of a summary level differ in length");
        bool ok;
        {
            py::gil_scoped_release release;  // plain buffers held by the arrays above
            ok = reducer_->feed_buckets(starts.data(), corner_times.data(), corner_values.data(), ncorners.data(),
                                        gaps.data(), counts.data(), means.data(), m2s.data(), n);
        }
        if (!ok) throw py::value_error(kOrderError);
    }

    py::tuple finish() {
        {
            py::gil_scoped_release release;
            reducer_->finish();
        }
        std::vector<std::int64_t> t = reducer_->times();
        std::vector<double> v = reducer_->values();
        return py::make_tuple(adopt(std::move(t)), adopt(std::move(v)));
    }

    py::tuple moments() const {
        const core::Moments& m = reducer_->moments();
        return py::make_tuple(m.count, m.mean, m.m2);
    }

private:
    std::unique_ptr<core::RangeM4> reducer_;
};

py::dict level_dict(core::SummaryLevel&& level) {
    py::dict out;
    out["bucket"] = level.bucket;
    out["start"] = adopt(std::move(level.starts));
    auto ct = adopt(std::move(level.corner_times));
    auto cv = adopt(std::move(level.corner_values));
    const py::ssize_t n = ct.size() / 4;
    out["corner_time"] = ct.reshape({n, py::ssize_t{4}});
    out["corner_value"] = cv.reshape({n, py::ssize_t{4}});
    out["corners"] = adopt(std::move(level.ncorners));
    out["gaps"] = adopt(std::move(level.gaps));
    out["count"] = adopt(std::move(level.counts));
    out["nan"] = adopt(std::move(level.nans));
    out["mean"] = adopt(std::move(level.means));
    out["m2"] = adopt(std::move(level.m2s));
    return out;
}

core::SummaryLevel level_from(const py::dict& d) {
    core::SummaryLevel level;
    auto take_i64 = [&](const char* key) {
        Times a = Times::ensure(d[key]);
        if (!a) throw py::type_error(std::string("summary column ") + key + " is not numeric");
        return std::vector<std::int64_t>(a.data(), a.data() + a.size());
    };
    auto take_f64 = [&](const char* key) {
        Doubles a = Doubles::ensure(d[key]);
        if (!a) throw py::type_error(std::string("summary column ") + key + " is not numeric");
        return std::vector<double>(a.data(), a.data() + a.size());
    };
    auto take_u8 = [&](const char* key) {
        auto a = py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast>::ensure(d[key]);
        if (!a) throw py::type_error(std::string("summary column ") + key + " is not numeric");
        return std::vector<std::uint8_t>(a.data(), a.data() + a.size());
    };
    level.bucket = d["bucket"].cast<std::int64_t>();
    level.starts = take_i64("start");
    level.corner_times = take_i64("corner_time");
    level.corner_values = take_f64("corner_value");
    level.ncorners = take_u8("corners");
    level.gaps = take_u8("gaps");
    level.counts = take_i64("count");
    level.nans = take_i64("nan");
    level.means = take_f64("mean");
    level.m2s = take_f64("m2");
    const std::size_t n = level.starts.size();
    if (level.corner_times.size() != 4 * n || level.corner_values.size() != 4 * n || level.ncorners.size() != n ||
        level.gaps.size() != n || level.counts.size() != n || level.nans.size() != n || level.means.size() != n ||
        level.m2s.size() != n)
        throw py::value_error("the columns of a summary level differ in length");
    return level;
}

}  // namespace

PYBIND11_MODULE(_view, m) {
    m.doc() = "Per-sample work of the web view: range-aligned M4 reduction and min/max summaries.";

    py::class_<RangeReducer>(m, "RangeReducer",
                             "M4 reduction of samples fed in time order onto [t0, t1) cut into `width` columns.")
        .def(py::init<std::int64_t, std::int64_t, std::int64_t>(), py::arg("t0"), py::arg("t1"), py::arg("width"))
        .def("feed", &RangeReducer::feed, py::arg("times"), py::arg("values"),
             "Feed samples (int64 times, float values) later than every one fed before.")
        .def("feed_buckets", &RangeReducer::feed_buckets, py::arg("level"),
             "Feed the buckets of a summary level (a dict of its columns), in time order.")
        .def("finish", &RangeReducer::finish,
             "(times, values) to draw; a NaN value marks a break in the line.")
        .def("moments", &RangeReducer::moments,
             "(count, mean, m2) of the finite samples inside the range.");

    m.def(
        "summarize",
        [](const Times& times, const py::array& values, std::int64_t bucket) {
            if (bucket <= 0) throw py::value_error("bucket must be positive");
            core::SummaryLevel level;
            const bool ok = with_values(times, values, [&](const std::int64_t* t, const auto* v, std::size_t n) {
                return core::summarize(t, v, n, bucket, level);
            });
            if (!ok) throw py::value_error(kOrderError);
            return level_dict(std::move(level));
        },
        py::arg("times"), py::arg("values"), py::arg("bucket"), "The summary level of `bucket` from raw samples.");
    m.def(
        "coarsen",
        [](const py::dict& fine, std::int64_t bucket) {
            if (bucket <= 0) throw py::value_error("bucket must be positive");
            core::SummaryLevel level = level_from(fine);
            if (bucket % level.bucket != 0) throw py::value_error("bucket must be a multiple of the finer bucket");
            core::SummaryLevel out;
            {
                py::gil_scoped_release release;
                core::coarsen(level, bucket, out);
            }
            return level_dict(std::move(out));
        },
        py::arg("fine"), py::arg("bucket"), "A coarser summary level from a finer one.");
    m.def(
        "modal_step",
        [](const Times& times) {
            const std::size_t n = length(times, "times");
            const std::int64_t* t = times.data();
            core::ModalStep s;
            {
                py::gil_scoped_release release;
                s = core::modal_time_step(t, n);
            }
            return s.step;
        },
        py::arg("times"), "The most frequent difference between consecutive times (0 with fewer than two).");
}
