// Chart helpers: the process-wide chart style applied at import, the font dictionaries, the
// figures folder, statistics, and the regular-grid reindexing of a time-indexed frame.
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "bind/bind.hpp"
#include "bind/pandas_scalars.hpp"
#include "core/display_reduce.hpp"
#include "core/series_stats.hpp"

namespace bind = lumoreq::bind;

namespace {

constexpr const char* kCalculateStatsDoc =
    "计算统计量，包括均值、标准差和上下限\n"
    "\n"
    "参数:\n"
    "    df: 包含观测数据的DataFrame\n"
    "    column: 要分析的列名\n"
    "    multiplier: 上下限的标准差倍数\n"
    "\n"
    "返回:\n"
    "    dict: 包含统计量的字典";

constexpr const char* kGetFreqStrDoc =
    "根据时间差的大小返回合适的频率字符串。\n"
    "保留此函数以备不时之需，但主要的重采样逻辑已转移到基于 SAMPLERATE 标识的映射表。";

constexpr const char* kReindexDoc =
    "根据 SAMPLERATE 列（采样率标识）重新索引数据框。\n"
    "如果 SAMPLERATE 不存在，则回退到根据时间戳间隔动态计算频率。";

// Chinese-capable families, in order of preference, tried when the style's own Chinese fonts
// (Windows fonts) are not installed. Serif first for the Song-style text, sans first for SimHei.
const std::vector<std::string> kSerifFallbacks = {
    "STSong",           "SimSun",           "DengXian",           "Noto Serif CJK SC", "Source Han Serif SC",
    "Source Han Serif CN", "Noto Serif CJK TC", "Noto Serif CJK JP", "AR PL UMing CN",  "Noto Sans CJK SC",
    "Source Han Sans SC", "WenQuanYi Zen Hei", "WenQuanYi Micro Hei", "Droid Sans Fallback", "Noto Sans CJK JP"};
const std::vector<std::string> kSansFallbacks = {
    "SimHei",             "Microsoft YaHei",  "Noto Sans CJK SC",    "Source Han Sans SC", "Source Han Sans CN",
    "WenQuanYi Zen Hei",  "WenQuanYi Micro Hei", "Noto Sans CJK TC", "Noto Sans CJK JP",  "Droid Sans Fallback",
    "Noto Serif CJK SC",  "Source Han Serif SC", "STSong",           "SimSun",            "DengXian"};

py::set installed_families() {
    py::set names;
    py::object manager = py::module_::import("matplotlib.font_manager").attr("fontManager");
    for (py::handle entry : manager.attr("ttflist")) names.add(entry.attr("name"));
    return names;
}

// The first two installed families of `preference`, skipping `given` itself (one Chinese font
// covers every glyph; a second one is a spare).
py::list installed_fallbacks(const py::set& installed, const std::vector<std::string>& preference,
                             const std::string& given) {
    py::list out;
    for (const auto& name : preference)
        if (out.size() < 2 && name != given && installed.contains(py::str(name))) out.append(py::str(name));
    return out;
}

// A font dictionary's family: the given name alone when it is installed; otherwise a list that
// keeps it first and adds installed Chinese families, because matplotlib falls back glyph by
// glyph across a family list (a single missing family would fall back to DejaVu Sans, which has
// no Chinese).
py::object family_with_fallbacks(const py::set& installed, const std::string& given,
                                 const std::vector<std::string>& preference, py::list& missing) {
    if (installed.contains(py::str(given))) return py::str(given);
    missing.append(py::str(given));
    py::list fallbacks = installed_fallbacks(installed, preference, given);
    if (fallbacks.empty()) return py::str(given);
    py::list family;
    family.append(py::str(given));
    for (py::handle f : fallbacks) family.append(f);
    return family;
}

py::dict font_dict(py::object family, const char* color, const char* weight, int size) {
    py::dict d;
    d["family"] = family;
    if (color) d["color"] = color;
    if (weight) d["weight"] = weight;
    d["size"] = size;
    return d;
}

// matplotlib warns "Font family ... not found" each time a text is laid out. For the named
// fonts that were found missing (and given fallbacks) once is enough: the log file would
// otherwise fill with the same line for every title and label.
void quiet_repeated_font_warnings(const py::list& missing) {
    if (missing.empty()) return;
    py::set messages;
    for (py::handle name : missing)
        messages.add(py::str("findfont: Font family {!r} not found.").format(name));
    py::set seen;
    py::cpp_function filter([messages, seen](py::object record) {
        py::object text = record.attr("getMessage")();
        if (!messages.contains(text)) return true;
        if (seen.contains(text)) return false;
        seen.attr("add")(text);
        return true;
    });
    py::module_::import("logging").attr("getLogger")("matplotlib.font_manager").attr("addFilter")(filter);
}

void apply_style(py::module_& m) {
    py::object matplotlib = m.attr("matplotlib");
    py::object rc = matplotlib.attr("rcParams");
    const std::vector<std::string> given_serif = {"STSong", "SimSun", "DengXian", "Times New Roman", "serif"};
    py::list serif;
    for (const auto& s : given_serif) serif.append(py::str(s));

    rc["axes.unicode_minus"] = false;
    rc["axes.spines.top"] = false;
    rc["svg.fonttype"] = "none";
    rc["axes.spines.right"] = false;
    rc["xtick.direction"] = "out";
    rc["ytick.direction"] = "out";
    rc["font.family"] = "serif";
    rc["font.serif"] = serif;
    rc["font.size"] = 12;
    rc["mathtext.fontset"] = "stix";
    rc["pdf.fonttype"] = 42;
    rc["axes.xmargin"] = 0.01;

    py::set installed = installed_families();
    py::list missing;
    py::list appended;  // the Chinese families added behind the given names, for the record
    bool chinese_serif_installed = false;
    for (const char* name : {"STSong", "SimSun", "DengXian"})
        chinese_serif_installed = chinese_serif_installed || installed.contains(py::str(name));
    if (!chinese_serif_installed) {
        py::list fallbacks = installed_fallbacks(installed, kSerifFallbacks, "");
        if (!fallbacks.empty()) {
            // Given names stay first; the installed Chinese families follow, in font.serif (so
            // "serif" resolves to one of them) and in font.family (so glyphs missing from the
            // serif pick, say Times New Roman, are taken from them).
            py::list family;
            family.append(py::str("serif"));
            for (py::handle f : fallbacks) {
                serif.append(f);
                family.append(f);
                appended.append(f);
            }
            rc["font.serif"] = serif;
            rc["font.family"] = family;
        }
    }

    py::object song = family_with_fallbacks(installed, "STSong", kSerifFallbacks, missing);
    py::object hei = family_with_fallbacks(installed, "SimHei", kSansFallbacks, missing);
    m.attr("font_title") = font_dict(song, "black", "normal", 11);
    m.attr("font_xlabel") = font_dict(song, nullptr, "normal", 11);
    m.attr("font_unit") = font_dict(song, nullptr, "normal", 11);
    m.attr("font_suptitle") = font_dict(hei, "black", "normal", 16);
    m.attr("legend_font") = font_dict(song, nullptr, nullptr, 9);
    m.attr("_appended_fonts") = appended;
    quiet_repeated_font_warnings(missing);
}

void create_figures_folder(const bind::ModuleRef& mod) {
    py::object os = mod.attr("os");
    bind::log(mod, "info", py::str("Current working directory: ") + py::str(os.attr("getcwd")()));
    if (!py::bool_(os.attr("path").attr("exists")("figures"))) {
        os.attr("makedirs")("figures");
        bind::log(mod, "info", "Created figures folder");
    }
}

// The numpy and pandas releases whose reductions the native statistics reproduce bit for bit
// (summation trees, cast buffers, count types, NaN bits). With other releases calculate_stats
// leaves all five to pandas. Set once at import, read-only afterwards.
bool g_native_stats_releases = false;

bool release_is(const py::module_& module, const char* major_minor) {
    const auto version = module.attr("__version__").cast<std::string>();
    const std::string prefix = std::string(major_minor) + ".";
    return version.compare(0, prefix.size(), prefix) == 0;
}

// pandas hands a float or int64 Series to bottleneck when that is installed and switched on,
// and unboxes results to Python scalars under `future.python_scalars`; either way the native
// numbers or their types would differ.
bool pandas_reduces_with_numpy() {
    py::object nanops = py::module_::import("pandas.core.nanops");
    if (py::bool_(py::getattr(nanops, "_USE_BOTTLENECK", py::bool_(true)))) return false;
    return bind::pandas_numpy_scalars();
}

// A plain aligned contiguous 1-D numpy array of one of the native element types, or null.
template <class T>
const T* native_buffer(const py::array& a, const py::object& want) {
    if (!a.dtype().equal(want)) return nullptr;
    if (a.size() > 1 && a.strides(0) != static_cast<py::ssize_t>(sizeof(T))) return nullptr;
    const auto* data = static_cast<const T*>(a.data());
    if (reinterpret_cast<std::uintptr_t>(data) % alignof(T) != 0) return nullptr;
    return data;
}

// True when numpy's error state reports any of `fp` (FpFlag bits): then numpy warns, raises or
// calls back while pandas computes that statistic, and only pandas can do that the same way.
bool numpy_reports(const py::dict& errstate, unsigned fp) {
    using namespace lumoreq::core;
    const std::pair<unsigned, const char*> keys[] = {
        {kFpInvalid, "invalid"}, {kFpDivideByZero, "divide"}, {kFpOverflow, "over"}, {kFpUnderflow, "under"}};
    for (const auto& [bit, key] : keys)
        if ((fp & bit) && !py::str(errstate[key]).equal(py::str("ignore"))) return true;
    return false;
}

enum StatIndex { kMean, kMedian, kStd, kMin, kMax, kStatCount };
constexpr const char* kStatNames[kStatCount] = {"mean", "median", "std", "min", "max"};

// The five statistics of a numpy buffer in one native call, each equal to pandas' answer in
// value, bits and scalar type (`real_type` for mean, median and std, `own_type` for min and
// max). A statistic whose exact answer the native pass cannot vouch for (a zero extreme of
// unknown sign, arithmetic that numpy's error state reports) stays null for pandas to fill.
template <class T>
void native_statistics(const T* data, std::size_t n, const py::object& real_type, const py::object& own_type,
                       py::object (&out)[kStatCount]) {
    lumoreq::core::SeriesStats<T> st;
    {
        // Reads the Series' own buffer, kept alive by the caller's reference; nothing is shared.
        py::gil_scoped_release release;
        st = lumoreq::core::series_stats(data, n);
    }
    const py::float_ python_nan(std::numeric_limits<double>::quiet_NaN());
    if (st.size == 0) {
        // pandas answers an empty Series with a plain float NaN, whatever its dtype.
        for (auto& o : out) o = python_nan;
        return;
    }
    auto real = [&](auto v) { return real_type(py::float_(static_cast<double>(v))); };
    auto own = [&](T v) {
        if constexpr (std::is_integral_v<T>)
            return own_type(py::int_(v));
        else
            return own_type(py::float_(static_cast<double>(v)));
    };
    py::dict errstate;
    if (st.mean_fp | st.median_fp | st.std_fp) errstate = py::module_::import("numpy").attr("geterr")();
    if (!numpy_reports(errstate, st.mean_fp))
        out[kMean] = st.count == 0 ? py::object(python_nan) : real(st.mean);
    if (!numpy_reports(errstate, st.median_fp)) out[kMedian] = real(st.median);
    if (!numpy_reports(errstate, st.std_fp)) out[kStd] = real(st.std);
    if (!st.min_sign_unknown) out[kMin] = own(st.min);
    if (!st.max_sign_unknown) out[kMax] = own(st.max);
}

// Fills what it can of `out` when pandas would reduce `values` as a plain numpy array with
// numpy; answers false (and fills nothing) otherwise.
bool try_native_statistics(const py::object& values, py::object (&out)[kStatCount]) {
    if (!g_native_stats_releases) return false;
    auto pd = py::module_::import("pandas");
    if (!py::type::handle_of(values).is(pd.attr("Series"))) return false;
    auto np = py::module_::import("numpy");
    if (!py::isinstance(values.attr("dtype"), np.attr("dtype"))) return false;  // extension dtypes
    if (!pandas_reduces_with_numpy()) return false;
    py::object raw = values.attr("values");
    if (!py::type::handle_of(raw).is(np.attr("ndarray"))) return false;
    auto array = py::reinterpret_borrow<py::array>(raw);
    if (array.ndim() != 1) return false;
    // A strided column (a view of every other row, say) is reduced by numpy in the same order
    // as its contiguous copy: one strided pairwise run, or the same cast buffers.
    const auto stride = array.strides(0), width = array.itemsize();
    if (array.size() > 1 && stride != width && stride > 0 && stride % width == 0 &&
        reinterpret_cast<std::uintptr_t>(array.data()) % static_cast<std::uintptr_t>(width) == 0)
        array = py::reinterpret_steal<py::array>(np.attr("ascontiguousarray")(array).release());
    const auto n = static_cast<std::size_t>(array.size());
    py::object f32 = np.attr("float32"), f64 = np.attr("float64"), i64 = np.attr("int64");
    if (const float* data = native_buffer<float>(array, np.attr("dtype")(f32))) {
        native_statistics(data, n, f32, f32, out);
    } else if (const double* data = native_buffer<double>(array, np.attr("dtype")(f64))) {
        native_statistics(data, n, f64, f64, out);
    } else if (const auto* data = native_buffer<std::int64_t>(array, np.attr("dtype")(i64))) {
        native_statistics(data, n, f64, i64, out);
    } else {
        return false;
    }
    return true;
}

py::dict calculate_stats(py::object df, py::object column, py::object multiplier) {
    py::object values = df[column];
    py::object stat[kStatCount];
    try_native_statistics(values, stat);
    for (int i : {kMean, kStd, kMedian, kMin, kMax})
        if (!stat[i]) stat[i] = values.attr(kStatNames[i])();
    py::object mean = stat[kMean];
    py::object std = stat[kStd];
    py::dict stats;
    stats["mean"] = mean;
    stats["median"] = stat[kMedian];
    stats["std"] = std;
    stats["min"] = stat[kMin];
    stats["max"] = stat[kMax];
    stats["lower_limit"] = mean - multiplier * std;
    stats["upper_limit"] = mean + multiplier * std;
    return stats;
}

std::string freq_text(double seconds) {
    // int() of the host truncates toward zero and refuses infinities; NaN never gets here
    // because every comparison with NaN is false.
    auto whole = [](double s) {
        if (std::isinf(s)) throw std::overflow_error("cannot convert float infinity to integer");
        return static_cast<long long>(std::trunc(s));
    };
    if (seconds < 60) return std::to_string(whole(seconds)) + "s";
    if (seconds < 3600) return std::to_string(whole(seconds) / 60) + "min";
    if (seconds < 86400) return std::to_string(whole(seconds) / 3600) + "h";
    return "1D";
}

py::object get_freq_str(py::object timedelta) {
    const double seconds = timedelta.attr("total_seconds")().cast<double>();
    return py::str(freq_text(seconds));
}

py::dict sample_rate_table() {
    py::dict table;
    table["02"] = "s";
    table["01"] = "min";
    table["60"] = "h";
    table["90"] = "D";
    return table;
}

// Most frequent spacing of the index, as the frequency text of get_freq_str.
py::object frequency_from_spacing(const bind::ModuleRef& mod, py::object index) {
    auto pd = py::module_::import("pandas");
    if (py::isinstance(index, pd.attr("DatetimeIndex"))) {
        auto stamps = index.attr("asi8").cast<py::array_t<std::int64_t>>();
        auto view = stamps.unchecked<1>();
        lumoreq::core::ModalStep modal;
        {
            // Reads a private int64 buffer held alive by `stamps`; nothing is shared.
            py::gil_scoped_release release;
            modal = lumoreq::core::modal_time_step(view.data(0), static_cast<std::size_t>(view.shape(0)));
        }
        if (modal.count == 0) return py::str("min");
        py::object step = pd.attr("Timedelta")(modal.step, "unit"_a = index.attr("unit"));
        return mod.attr("get_freq_str")(step);
    }
    // Anything else goes the table library's way and fails the way it fails.
    py::object diffs = index.attr("to_series")().attr("diff")().attr("dropna")();
    if (py::len(diffs) == 0) return py::str("min");
    return mod.attr("get_freq_str")(diffs.attr("value_counts")().attr("idxmax")());
}

py::object reindex_df_by_interval(const bind::ModuleRef& mod, py::object df) {
    auto pd = py::module_::import("pandas");
    py::dict table = sample_rate_table();
    py::object freq = py::none();
    if (py::bool_(df.attr("columns").attr("__contains__")("SAMPLERATE"))) {
        py::object first = df["SAMPLERATE"].attr("iloc")[py::int_(0)];
        if (!py::bool_(pd.attr("isna")(first))) {
            py::object text = py::str(first).attr("strip")().attr("split")(".")[py::int_(0)].attr("zfill")(2);
            freq = table.attr("get")(text);
        }
    }
    if (freq.is_none()) {
        bind::log(mod, "debug", "SAMPLERATE 列缺失或 ID 未识别，回退到动态计算频率");
        freq = frequency_from_spacing(mod, df.attr("index"));
    }
    py::object index = df.attr("index");
    py::object grid = pd.attr("date_range")("start"_a = index.attr("min")(), "end"_a = index.attr("max")(),
                                            "freq"_a = freq);
    return df.attr("reindex")(grid);
}

}  // namespace

LUMOREQ_MODULE(chartkit, m) {
    bind::DocOnly doc_only;
    m.doc() = "绘图辅助：全局绘图样式、字体字典、图像文件夹、统计量与频率工具。";
    m.attr("os") = py::module_::import("os");
    m.attr("matplotlib") = py::module_::import("matplotlib");
    m.attr("pd") = py::module_::import("pandas");
    m.attr("logger") = bind::import_sibling(m, "logsetup").attr("plotting_logger");

    apply_style(m);
    g_native_stats_releases =
        release_is(py::module_::import("numpy"), "2.4") && release_is(py::module_::import("pandas"), "3.1");

    bind::ModuleRef mod(m);
    m.def("create_figures_folder", [mod]() { create_figures_folder(mod); }, py::doc("创建保存图像的文件夹"));
    m.def("calculate_stats", &calculate_stats, py::doc(kCalculateStatsDoc), py::arg("df"),
          py::arg("column") = "OBSVALUE", py::arg("multiplier") = 2.0);
    m.def("get_freq_str", &get_freq_str, py::doc(kGetFreqStrDoc), py::arg("timedelta"));
    m.def("reindex_df_by_interval", [mod](py::object df) { return reindex_df_by_interval(mod, df); },
          py::doc(kReindexDoc), py::arg("df"));
}
