// fast_mad and filter_with_fast_mad: the Hampel filter. Plain float columns with an ordinary
// window go through the native one-pass kernel; anything else (object or extension dtypes,
// frames under OBSVALUE, odd window or factor types) takes the table library's own rolling
// path, so its errors and warnings reach the caller unchanged.
#include <cmath>
#include <cstdint>
#include <algorithm>
#include <optional>
#include <vector>

#include "core/rolling_mad.hpp"
#include "bind/series_keys.hpp"
#include "refinery/refinery.hpp"

namespace lumoreq::refinery {
namespace {

constexpr double kMadScale = 1.4826;

const char* const kFastMadDoc =
    "快速计算中位数绝对偏差（MAD）。\n\n"
    "返回 median(|x - median(x)|) × 1.4826；乘以 1.4826 后，正态分布数据的 MAD 等于其标准差。\n"
    "x 中有 NaN 时结果为 NaN。";

const char* const kFilterDoc =
    "滚动窗口 MAD 异常值过滤（Hampel 滤波器）。\n\n"
    "参数:\n"
    "    df: Series，或包含 OBSVALUE 列的单列 DataFrame\n"
    "    window_size: 滚动窗口大小（样本数），默认 15\n"
    "    threshold_factor: 阈值倍数，默认 5.0（即 5 倍标准差；MAD 乘以 1.4826 后等于正态分布的标准差）\n\n"
    "返回:\n"
    "    过滤后的 Series 或 DataFrame，异常值被替换为局部中位数";

py::object numpy() { return py::module_::import("numpy"); }
py::object pandas() { return py::module_::import("pandas"); }

// The numpy expression itself, for inputs the native path does not take (lists, integer or
// object arrays, empty arrays with their warnings).
py::object numpy_mad(const py::object& x) {
    const py::object np = numpy();
    const py::object med = np.attr("median")(x);
    const py::object dev = np.attr("abs")(x - med);
    return np.attr("median")(dev) * py::float_(kMadScale);
}

template <typename T>
py::object native_mad(const py::array& arr, const char* scalar_type) {
    std::vector<T> work(static_cast<std::size_t>(arr.size()));
    const auto contiguous = py::array_t<T, py::array::c_style | py::array::forcecast>::ensure(arr);
    std::copy(contiguous.data(), contiguous.data() + work.size(), work.begin());
    T result;
    {
        py::gil_scoped_release release;  // works on its own copy of the values
        result = core::scaled_mad(work.data(), work.size(), static_cast<T>(kMadScale));
    }
    return numpy().attr(scalar_type)(static_cast<double>(result));
}

py::object fast_mad(const py::object& x) {
    if (Py_IS_TYPE(x.ptr(), reinterpret_cast<PyTypeObject*>(numpy().attr("ndarray").ptr()))) {
        const auto arr = py::reinterpret_borrow<py::array>(x);
        if (arr.ndim() >= 1 && arr.size() > 0) {
            const char kind = arr.dtype().kind();
            if (kind == 'f' && arr.itemsize() == 8) return native_mad<double>(arr, "float64");
            if (kind == 'f' && arr.itemsize() == 4) return native_mad<float>(arr, "float32");
        }
    }
    return numpy_mad(x);
}

// A window the native kernel takes: a plain or numpy integer of at least 1 (the library
// refuses the others with its own message, or, for 0, returns all missing).
std::optional<std::size_t> native_window(const py::object& w) {
    const bool is_int = (PyLong_Check(w.ptr()) && !PyBool_Check(w.ptr())) ||
                        py::isinstance(w, numpy().attr("integer"));
    if (!is_int) return std::nullopt;
    const auto value = py::int_(w);
    if (value < py::int_(1) || value > py::int_(std::int64_t{1} << 40)) return std::nullopt;
    return value.cast<std::size_t>();
}

// A threshold factor whose product with a float64 column is the double product.
std::optional<double> native_factor(const py::object& f) {
    if (PyFloat_Check(f.ptr())) return f.cast<double>();
    if (PyLong_Check(f.ptr())) {
        const auto value = py::int_(f);
        constexpr std::int64_t kExact = std::int64_t{1} << 53;
        if (value < py::int_(-kExact) || value > py::int_(kExact)) return std::nullopt;
        return static_cast<double>(value.cast<std::int64_t>());
    }
    const py::object np = numpy();
    if (py::isinstance(f, np.attr("integer"))) return py::float_(f).cast<double>();
    if (py::isinstance(f, np.attr("floating")) && f.attr("dtype").attr("itemsize").cast<int>() <= 8)
        return py::float_(f).cast<double>();
    return std::nullopt;
}

template <typename T>
core::Outliers find_outliers(const py::array_t<T, py::array::c_style | py::array::forcecast>& values,
                             std::size_t window, double factor) {
    core::Outliers found;
    py::gil_scoped_release release;  // reads the buffer `values` keeps alive, writes only `found`
    const auto n = static_cast<std::size_t>(values.size());
    core::hampel_outliers(values.data(), n, window, kMadScale, factor, found);
    return found;
}

// Float columns: the medians, converted to the column's dtype, are written into a copy.
template <typename T>
py::object filter_float_series(const py::object& data, std::size_t window, double factor) {
    const auto values =
        py::array_t<T, py::array::c_style | py::array::forcecast>::ensure(data.attr("to_numpy")());
    const core::Outliers found = find_outliers(values, window, factor);
    py::object filtered = data.attr("copy")();
    if (!found.positions.empty()) {
        const auto k = static_cast<py::ssize_t>(found.positions.size());
        py::array_t<std::int64_t> positions(k);
        py::array_t<T> replacements(k);
        for (py::ssize_t i = 0; i < k; ++i) {
            positions.mutable_data()[i] = static_cast<std::int64_t>(found.positions[i]);
            replacements.mutable_data()[i] = static_cast<T>(found.medians[i]);
        }
        filtered.attr("iloc")[positions] = replacements;
    }
    return filtered;
}

// Integer columns: the verdict natively, the write-back through the library, which refuses a
// median the column cannot hold exactly, as it does for the plain algorithm.
py::object filter_integer_series(const py::object& data, std::size_t window, double factor) {
    const auto values = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(
        data.attr("to_numpy")("dtype"_a = numpy().attr("float64")));
    const core::Outliers found = find_outliers(values, window, factor);
    const auto k = static_cast<py::ssize_t>(found.positions.size());
    py::array_t<bool> mask(values.size());
    std::fill(mask.mutable_data(), mask.mutable_data() + values.size(), false);
    py::array_t<std::int64_t> positions(k);
    py::array_t<double> medians(k);
    for (py::ssize_t i = 0; i < k; ++i) {
        mask.mutable_data()[found.positions[i]] = true;
        positions.mutable_data()[i] = static_cast<std::int64_t>(found.positions[i]);
        medians.mutable_data()[i] = found.medians[i];
    }
    const py::object pd = pandas();
    const py::object index = data.attr("index"), name = data.attr("name");
    const py::object outliers = pd.attr("Series")(mask, "index"_a = index, "name"_a = name);
    const py::object replacement = pd.attr("Series")(medians, "index"_a = index[positions], "name"_a = name);
    py::object filtered = data.attr("copy")();
    filtered[outliers] = replacement;
    return filtered;
}

// The plain algorithm through the table library, for every input the kernel does not take.
py::object filter_with_library(const py::module_& m, const py::object& data, const py::object& window_size,
                               const py::object& threshold_factor) {
    const py::object np = numpy();
    auto rolling = [&] { return data.attr("rolling")("window"_a = window_size, "center"_a = true); };
    const py::object rolling_median = rolling().attr("median")().attr("ffill")().attr("bfill")();
    const py::object deviation = np.attr("abs")(data - rolling_median);
    const py::object rolling_mad =
        rolling().attr("apply")(m.attr("fast_mad"), "raw"_a = true).attr("ffill")().attr("bfill")();
    const py::object threshold = threshold_factor * rolling_mad;
    py::object filtered = data.attr("copy")();
    const py::object mask = deviation.attr("__gt__")(threshold);
    py::object replacement = rolling_median[mask];
    const py::object dtype = filtered.attr("dtype");
    if (py::hasattr(dtype, "kind") && equals(dtype.attr("kind"), py::str("f")))
        replacement = replacement.attr("astype")(dtype);
    filtered[mask] = replacement;
    return filtered;
}

// A float array filtered as filter_float_series filters the Series holding it: a copy with the
// outliers replaced by their medians in the array's dtype, all without the GIL. None for
// anything filter_with_fast_mad would not send through the kernel (the caller then takes it).
template <typename T>
py::object filter_float_values(const py::array& data, std::size_t window, double factor) {
    const auto values = py::array_t<T, py::array::c_style | py::array::forcecast>::ensure(data);
    const auto n = static_cast<std::size_t>(values.size());
    py::array_t<T> filtered(static_cast<py::ssize_t>(n));
    {
        // reads the buffer `values` keeps alive, writes only this call's new array
        py::gil_scoped_release release;
        core::Outliers found;
        core::hampel_outliers(values.data(), n, window, kMadScale, factor, found);
        T* out = filtered.mutable_data();
        std::copy(values.data(), values.data() + n, out);
        for (std::size_t i = 0; i < found.positions.size(); ++i)
            out[found.positions[i]] = static_cast<T>(found.medians[i]);
    }
    return std::move(filtered);
}

py::object filter_values(const py::object& data, const py::object& window_size, const py::object& threshold_factor) {
    const auto window = native_window(window_size);
    const auto factor = native_factor(threshold_factor);
    if (!window || !factor || !py::isinstance<py::array>(data)) return py::none();
    const auto arr = py::reinterpret_borrow<py::array>(data);
    if (arr.ndim() != 1) return py::none();
    const char kind = arr.dtype().kind();
    if (kind == 'f' && arr.itemsize() == 8) return filter_float_values<double>(arr, *window, *factor);
    if (kind == 'f' && arr.itemsize() == 4) return filter_float_values<float>(arr, *window, *factor);
    return py::none();
}

py::object filter_series(const py::module_& m, const py::object& data, const py::object& window_size,
                         const py::object& threshold_factor) {
    const auto window = native_window(window_size);
    const auto factor = native_factor(threshold_factor);
    if (window && factor && py::isinstance(data, pandas().attr("Series"))) {
        const py::object dtype = data.attr("dtype");
        if (py::isinstance(dtype, numpy().attr("dtype"))) {
            const auto np_dtype = py::reinterpret_borrow<py::dtype>(dtype);
            const char kind = np_dtype.kind();
            const auto size = np_dtype.itemsize();
            if (kind == 'f' && size == 8) return filter_float_series<double>(data, *window, *factor);
            if (kind == 'f' && size == 4) return filter_float_series<float>(data, *window, *factor);
            if (kind == 'i' || kind == 'u') return filter_integer_series(data, *window, *factor);
        }
    }
    return filter_with_library(m, data, window_size, threshold_factor);
}

}  // namespace

void register_hampel(py::module_& m) {
    m.def("fast_mad", &fast_mad, py::doc(kFastMadDoc), py::arg("x"));
    const bind::ModuleRef self(m);
    m.def(
        "filter_with_fast_mad",
        [self](py::object df, py::object window_size, py::object threshold_factor) -> py::object {
            const auto module = py::reinterpret_borrow<py::module_>(self.get());
            const bool is_df = py::isinstance(df, pandas().attr("DataFrame"));
            // the window runs over rows: with several series in one frame it crosses from one to the next
            if (is_df)
                bind::warn_if_mixed_series(df, "filter_with_fast_mad",
                                           "滚动窗口按行滑动，会跨越不同序列；请先按序列分开再滤波");
            const py::object data = is_df ? py::object(df[py::str("OBSVALUE")]) : df;
            py::object filtered = filter_series(module, data, window_size, threshold_factor);
            if (!is_df) return filtered;
            py::object result = df.attr("copy")();
            result[py::str("OBSVALUE")] = filtered;
            return result;
        },
        py::doc(kFilterDoc), py::arg("df"), py::arg("window_size") = 15, py::arg("threshold_factor") = 5.0);
    m.def("_filter_values", &filter_values,
          "filter_with_fast_mad of a Series holding these float values, as a new array; None for values, "
          "windows or factors the native kernel does not take.",
          py::arg("values"), py::arg("window_size"), py::arg("threshold_factor"));
}

}  // namespace lumoreq::refinery
