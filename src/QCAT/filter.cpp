// filtered_qcats: epicentral distances on WGS-84 computed natively for all events at once,
// with geopy's own answer taken wherever the two could differ in a flag or a label.
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "QCAT/qcat.hpp"
#include "core/float_repr.hpp"
#include "core/geodesic.hpp"

namespace lumoreq::qcat {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
// Native and geopy distances agree far closer than this (km); nearer a rule's limit or a
// rounding boundary of the one-decimal label, geopy decides.
constexpr double kDecideNear = 1e-6;

py::object rich_compare(const py::handle& a, const py::handle& b, int op) {
    PyObject* r = PyObject_RichCompare(a.ptr(), b.ptr(), op);
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

py::object binary(PyObject* (*op)(PyObject*, PyObject*), const py::handle& a, const py::handle& b) {
    PyObject* r = op(a.ptr(), b.ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

// `limit, magnitude = rule`, with the host's messages when the rule does not unpack.
std::pair<py::object, py::object> unpack_rule(const py::handle& rule) {
    PyObject* it = PyObject_GetIter(rule.ptr());
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(rule.ptr())->tp_iter == nullptr &&
            !PySequence_Check(rule.ptr())) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(rule.ptr())->tp_name);
        }
        throw py::error_already_set();
    }
    auto iter = py::reinterpret_steal<py::object>(it);
    py::object values[2];
    for (int i = 0; i < 2; ++i) {
        PyObject* v = PyIter_Next(it);
        if (!v) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            throw py::error_already_set();
        }
        values[i] = py::reinterpret_steal<py::object>(v);
    }
    PyObject* extra = PyIter_Next(it);
    if (extra) {
        Py_DECREF(extra);
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        throw py::error_already_set();
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    return {values[0], values[1]};
}

// A Python float, or an int that a float64 holds exactly: compared natively like pandas does.
std::optional<double> plain_number(const py::handle& v) {
    if (PyFloat_CheckExact(v.ptr())) return PyFloat_AS_DOUBLE(v.ptr());
    if (PyLong_CheckExact(v.ptr())) {
        int overflow = 0;
        const long long x = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
        if (overflow == 0 && !(x == -1 && PyErr_Occurred()) && x >= -(1LL << 53) && x <= (1LL << 53))
            return static_cast<double>(x);
        PyErr_Clear();
    }
    return std::nullopt;
}

// Any finite number a rule's limit could be compared as (only to know where geopy decides).
std::optional<double> limit_value(const py::handle& v) {
    PyObject* f = PyNumber_Float(v.ptr());
    if (!f) {
        PyErr_Clear();
        return std::nullopt;
    }
    const double x = PyFloat_AS_DOUBLE(f);
    Py_DECREF(f);
    if (!std::isfinite(x)) return std::nullopt;
    return x;
}

bool is_numpy_float64(const py::handle& series) {
    const py::object dtype = series.attr("dtype");
    return py::isinstance<py::dtype>(dtype) && dtype.cast<py::dtype>().kind() == 'f' &&
           dtype.cast<py::dtype>().itemsize() == 8;
}

// lat/lon columns whose values iterrows would hand to geopy as plain numbers.
bool plain_numeric(const py::handle& series) {
    if (!py::isinstance(series, py::module_::import("pandas").attr("Series"))) return false;
    const py::object dtype = series.attr("dtype");
    if (!py::isinstance<py::dtype>(dtype)) return false;
    const char kind = dtype.cast<py::dtype>().kind();
    return kind == 'f' || kind == 'i' || kind == 'u' || kind == 'b';
}

std::vector<double> to_doubles(const py::handle& series) {
    auto arr = py::array_t<double, py::array::c_style | py::array::forcecast>(
        series.attr("to_numpy")("dtype"_a = "float64"));
    return std::vector<double>(arr.data(), arr.data() + arr.size());
}

// geopy's normalisation: `x or 0.0` turns -0.0 into 0.0; longitudes wrap into [-180, 180).
double geopy_zero(double x) { return x == 0 ? 0.0 : x; }
double wrap_longitude(double x) {
    if (std::fabs(x) <= 180) return x;
    double m = std::fmod(x, 360.0);
    if (m == 0) m = 0.0;
    if (m < -180) return m + 360;
    if (m >= 180) return m - 360;
    return m;
}

// warnings.catch_warnings() with everything ignored, for as long as the object lives.
class QuietWarnings {
   public:
    QuietWarnings() : manager_(py::module_::import("warnings").attr("catch_warnings")()) {
        manager_.attr("__enter__")();
        py::module_::import("warnings").attr("simplefilter")("ignore");
    }
    ~QuietWarnings() {
        try {
            manager_.attr("__exit__")(py::none(), py::none(), py::none());
        } catch (...) {
        }
    }
    QuietWarnings(const QuietWarnings&) = delete;
    QuietWarnings& operator=(const QuietWarnings&) = delete;

   private:
    py::object manager_;
};

double one_decimal(double d) { return std::nearbyint(d * 10) / 10; }  // the table library's round(1)

bool near_label_boundary(double d) {
    if (!std::isfinite(d)) return false;
    const double t = d * 10;
    return std::fabs(t - std::floor(t) - 0.5) <= kDecideNear * 10;
}

double geopy_distance(const py::object& geodesic, const py::object& epicentral, const py::object& station) {
    try {
        return geodesic(epicentral, station).attr("kilometers").cast<double>();
    } catch (py::error_already_set& e) {
        bind::rethrow_unless_exception(e);
        return kInf;
    }
}

py::object filtered_qcats(bind::ModuleRef mod, py::object df, py::object station, py::object filters,
                          py::object default_magnitude, py::object default_distance) {
    const auto pd = py::module_::import("pandas");
    const auto np = py::module_::import("numpy");
    if (filters.is_none()) {
        py::list one;
        one.append(py::make_tuple(default_distance, default_magnitude));
        filters = one;
    }
    if (!py::isinstance<py::list>(filters)) {
        py::list one;
        one.append(filters);
        filters = one;
    }
    // Rules are unpacked up front; a rule that does not unpack raises where the rule loop
    // reaches it, after the rules before it.
    std::vector<std::pair<py::object, py::object>> rules;
    std::optional<py::error_already_set> rule_error;
    for (const auto& rule : filters) {
        try {
            rules.push_back(unpack_rule(rule));
        } catch (py::error_already_set& e) {
            rule_error.emplace(std::move(e));
            break;
        }
    }

    py::setattr(df.attr("index"), "name", py::str("date"));
    py::object mask = rich_compare(df.attr("index"), py::str("1970-01-01"), Py_GT);
    py::object data = df.attr("loc")[mask].attr("copy")();
    const std::size_t n = py::len(data);
    const py::object geodesic = mod.attr("geodesic");

    // ---- distances ----
    std::vector<double> limits;
    for (const auto& [limit, magnitude] : rules)
        if (auto x = limit_value(limit)) limits.push_back(*x);

    py::object distance_column;
    std::vector<double> distance(n, kInf);
    if (n == 0) {
        distance_column = py::list();
    } else {
        py::object lat_col = data["lat"];
        py::object lon_col = data["lon"];
        bool native = geodesic.is(py::module_::import("geopy.distance").attr("geodesic")) &&
                      plain_numeric(lat_col) && plain_numeric(lon_col);
        double st_lat = 0, st_lon = 0;
        if (native) {
            // The station is normalised once the way geopy does on every call; a station
            // geopy refuses (or one at another altitude) is left to geopy row by row.
            // Quietly: geopy's own calls below say whatever it has to say, once per row.
            QuietWarnings quiet;
            try {
                py::object p = py::module_::import("geopy.point").attr("Point")(station);
                st_lat = p.attr("latitude").cast<double>();
                st_lon = p.attr("longitude").cast<double>();
                native = std::fabs(p.attr("altitude").cast<double>()) <= 1e-6;
            } catch (py::error_already_set& e) {
                bind::rethrow_unless_exception(e);
                native = false;
            }
        }
        if (native) {
            std::vector<double> lat = to_doubles(lat_col), lon = to_doubles(lon_col);
            std::vector<std::uint8_t> ask_geopy(n, 0);
            {
                py::gil_scoped_release release;  // plain arithmetic on our own vectors
                const auto& line = geo::wgs84_km();
                for (std::size_t i = 0; i < n; ++i) {
                    const double la = geopy_zero(lat[i]);
                    const double lo = geopy_zero(lon[i]);
                    if (!std::isfinite(la) || !std::isfinite(lo)) continue;  // geopy refuses: inf
                    if (std::fabs(la) > 90) {
                        ask_geopy[i] = 1;  // geopy warns, then refuses
                        continue;
                    }
                    const double d = line.distance(la, wrap_longitude(lo), st_lat, st_lon);
                    distance[i] = d;
                    bool near = near_label_boundary(d);
                    for (const double limit : limits) near = near || std::fabs(d - limit) <= kDecideNear;
                    ask_geopy[i] = near;
                }
            }
            for (std::size_t i = 0; i < n; ++i)
                if (ask_geopy[i])
                    distance[i] = geopy_distance(
                        geodesic, py::make_tuple(py::float_(lat[i]), py::float_(lon[i])), station);
        } else {
            // Columns or a geodesic that only geopy can judge: its answer row by row.
            std::size_t i = 0;
            for (const auto& pair : data.attr("iterrows")()) {
                py::object row = pair.cast<py::tuple>()[1];
                py::object epicentral = py::make_tuple(row["lat"], row["lon"]);
                distance[i++] = geopy_distance(geodesic, epicentral, station);
            }
        }
        py::array_t<double> arr(static_cast<py::ssize_t>(n));
        std::copy(distance.begin(), distance.end(), arr.mutable_data());
        distance_column = arr;
    }
    data["distance"] = distance_column;
    data["flag"] = 0;

    // ---- flags ----
    if (!rules.empty()) {
        py::object magnitude_col = data["magnitude"];
        bool native = is_numpy_float64(magnitude_col);
        std::vector<std::pair<double, double>> plain;
        for (const auto& [limit, magnitude] : rules) {
            auto l = plain_number(limit), mg = plain_number(magnitude);
            if (!l || !mg)
                native = false;
            else
                plain.emplace_back(*l, *mg);
        }
        if (native) {
            std::vector<double> mag = to_doubles(magnitude_col);
            py::array_t<std::int64_t> flag(static_cast<py::ssize_t>(n));
            auto* fl = flag.mutable_data();
            {
                py::gil_scoped_release release;  // plain comparisons on our own vectors
                for (std::size_t i = 0; i < n; ++i) {
                    fl[i] = 0;
                    for (const auto& [limit, least] : plain)
                        if (distance[i] < limit && mag[i] >= least) fl[i] = 1;
                }
            }
            data["flag"] = flag;
        } else {
            for (const auto& [limit, least] : rules) {
                py::object hit = binary(PyNumber_And, rich_compare(data["distance"], limit, Py_LT),
                                        rich_compare(data["magnitude"], least, Py_GE));
                data.attr("loc")[py::make_tuple(hit, "flag")] = 1;
            }
        }
    }
    if (rule_error) throw std::move(*rule_error);

    // ---- marker size ----
    py::object magnitude_col = data["magnitude"];
    const bool float_magnitude = is_numpy_float64(magnitude_col);
    std::vector<double> mag;
    if (float_magnitude && n > 0) {
        mag = to_doubles(magnitude_col);
        py::array_t<double> size(static_cast<py::ssize_t>(n));
        auto* sz = size.mutable_data();
        for (std::size_t i = 0; i < n; ++i) {
            const double s = (mag[i] - 3) * 5;
            sz[i] = s < 5 ? 5.0 : s;
        }
        data["size"] = size;
    } else {
        data["size"] =
            binary(PyNumber_Multiply, binary(PyNumber_Subtract, magnitude_col, py::int_(3)), py::int_(5));
        data.attr("loc")[py::make_tuple(rich_compare(data["size"], py::int_(5), Py_LT), "size")] = 5;
    }

    // ---- label ----
    py::object name_col = data["name"];
    const py::object name_dtype = name_col.attr("dtype");
    // The default text dtype (what read_QCAT gives): other text storages are left to the
    // table library, whose result dtype then depends on both operands.
    const bool string_names = name_dtype.equal(pd.attr("StringDtype")("na_value"_a = np.attr("nan")));
    const bool no_names = py::isinstance<py::dtype>(name_dtype) &&
                          name_dtype.cast<py::dtype>().kind() == 'f' &&
                          py::bool_(name_col.attr("isna")().attr("all")());
    if (no_names) {
        // Not one place name: every label is missing (the concatenation would raise).
        data["text"] = pd.attr("Series")(np.attr("nan"), "index"_a = data.attr("index"), "dtype"_a = "str");
    } else if (string_names && float_magnitude && n > 0) {
        std::vector<std::string> tails(n);
        std::vector<std::uint8_t> missing(n, 0);
        {
            py::gil_scoped_release release;  // formats numbers into our own strings
            for (std::size_t i = 0; i < n; ++i) {
                if (std::isnan(mag[i])) {
                    missing[i] = 1;
                    continue;
                }
                std::string& t = tails[i];
                t = "Ml";
                text::append_host_float_repr(t, mag[i]);
                t += "\n";
                text::append_host_float_repr(t, one_decimal(distance[i]));
                t += "km";
            }
        }
        py::array names =
            py::array(name_col.attr("to_numpy")("dtype"_a = "object", "na_value"_a = np.attr("nan")));
        py::list out(n);
        py::object nan = np.attr("nan");
        for (std::size_t i = 0; i < n; ++i) {
            py::object name = names[py::int_(i)];
            if (missing[i] || !PyUnicode_Check(name.ptr())) {
                out[i] = nan;
                continue;
            }
            py::object tail = py::reinterpret_steal<py::object>(
                PyUnicode_DecodeUTF8(tails[i].data(), static_cast<Py_ssize_t>(tails[i].size()), "strict"));
            out[i] = binary(PyUnicode_Concat, name, tail);
        }
        data["text"] = pd.attr("array")(out, "dtype"_a = name_dtype);
    } else {
        py::object text = binary(PyNumber_Add, name_col, py::str("Ml"));
        text = binary(PyNumber_Add, text, magnitude_col.attr("astype")(py::type::handle_of(py::str("str"))));
        text = binary(PyNumber_Add, text, py::str("\n"));
        text = binary(PyNumber_Add, text,
                      data["distance"].attr("round")(1).attr("astype")(py::type::handle_of(py::str(""))));
        text = binary(PyNumber_Add, text, py::str("km"));
        data["text"] = text;
    }
    return data;
}

}  // namespace

void register_filter(py::module_& m) {
    bind::ModuleRef mod(m);
    bind::def_function(
        m, "filtered_qcats",
        [mod](py::object df, py::object station, py::object filters, py::object default_magnitude,
              py::object default_distance) {
            return filtered_qcats(mod, std::move(df), std::move(station), std::move(filters),
                                  std::move(default_magnitude), std::move(default_distance));
        },
        "多条件地震筛选：计算每个地震到台站的震中距，满足任一（距离, 震级）条件即标记为选中。\n\n"
        "filters 为 (距离km, 最小震级) 的列表，例如 [(200, 3.0), (300, 4.0), (500, 5.0)] 表示："
        "200 km 内 3 级及以上、300 km 内 4 级及以上、500 km 内 5 级及以上。"
        "未给出 filters 时使用 (default_distance, default_magnitude)。\n"
        "返回全部地震（副本），新增列 distance、flag（1 选中，0 未选中）、size、text。",
        py::arg("df"), py::arg("station") = py::make_tuple(40.47, 115.94), py::arg("filters") = py::none(),
        py::arg("default_magnitude") = 3.0, py::arg("default_distance") = 300);

    m.def(
        "_geodesic_km",
        [](py::array_t<double, py::array::c_style | py::array::forcecast> lat1,
           py::array_t<double, py::array::c_style | py::array::forcecast> lon1,
           py::array_t<double, py::array::c_style | py::array::forcecast> lat2,
           py::array_t<double, py::array::c_style | py::array::forcecast> lon2) {
            const auto n = lat1.size();
            if (lon1.size() != n || lat2.size() != n || lon2.size() != n)
                throw py::value_error("the four coordinate arrays must have the same length");
            py::array_t<double> out(n);
            auto* o = out.mutable_data();
            const double *a = lat1.data(), *b = lon1.data(), *c = lat2.data(), *d = lon2.data();
            {
                py::gil_scoped_release release;  // reads the arrays we hold, writes our own
                for (py::ssize_t i = 0; i < n; ++i) o[i] = geo::wgs84_km().distance(a[i], b[i], c[i], d[i]);
            }
            return out;
        },
        "WGS-84 geodesic distances in km between (lat1, lon1) and (lat2, lon2), element-wise.",
        py::arg("lat1"), py::arg("lon1"), py::arg("lat2"), py::arg("lon2"));
}

}  // namespace lumoreq::qcat
