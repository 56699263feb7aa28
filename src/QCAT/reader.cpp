// read_QCAT: the file is read once as bytes, decoded as UTF-8 (else GB18030, by the host's
// codec), and every line is cut, stripped and parsed natively.
#include <algorithm>
#include <cstring>
#include <limits>
#include <string_view>

#include "QCAT/qcat.hpp"
#include "core/catalogue_line.hpp"

namespace lumoreq::qcat {
namespace {

bool host_is_space(char32_t c) { return Py_UNICODE_ISSPACE(static_cast<Py_UCS4>(c)); }
int host_decimal(char32_t c) { return Py_UNICODE_TODECIMAL(static_cast<Py_UCS4>(c)); }

constexpr catalogue::CharClasses kHostClasses{host_is_space, host_decimal};

const char* kFormat = "%Y%m%d%H%M%S";

// A numpy array that owns the vector's storage (no copy).
template <class T>
py::array_t<T> adopt(std::vector<T>&& v) {
    auto* owner = new std::vector<T>(std::move(v));
    py::capsule free_owner(owner, [](void* p) { delete static_cast<std::vector<T>*>(p); });
    return py::array_t<T>(static_cast<py::ssize_t>(owner->size()), owner->data(), free_owner);
}

py::object read_bytes(const py::object& path) {
    py::object f = py::module_::import("builtins").attr("open")(path, "rb");
    py::object raw;
    try {
        raw = f.attr("read")();
    } catch (...) {
        f.attr("close")();
        throw;
    }
    f.attr("close")();
    return raw;
}

// A file without events gives the frame the table library builds from empty columns.
py::object empty_frame(const py::module_& pd) {
    py::dict data;
    for (const char* key : {"ind", "lon", "lat", "magnitude", "name"}) data[key] = py::list();
    py::object df = pd.attr("DataFrame")(data);
    df["ind"] = pd.attr("to_datetime")(df["ind"], "format"_a = kFormat, "errors"_a = "coerce");
    return df.attr("set_index")("ind");
}

py::object read_qcat(const py::object& qcat_dir) {
    const auto pd = py::module_::import("pandas");
    const auto np = py::module_::import("numpy");
    py::object raw = read_bytes(qcat_dir);
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(raw.ptr(), &data, &size) != 0) throw py::error_already_set();
    std::string_view text(data, static_cast<std::size_t>(size));
    bool utf8;
    {
        py::gil_scoped_release release;  // reads the immutable bytes object we hold
        utf8 = catalogue::valid_utf8(text);
    }
    py::object holder = raw;
    if (utf8) {
        if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);  // byte-order mark
    } else {
        // Not UTF-8: the whole file is GB18030; the host's codec raises on bytes of neither.
        holder = raw.attr("decode")("gb18030");
        Py_ssize_t n = 0;
        const char* p = PyUnicode_AsUTF8AndSize(holder.ptr(), &n);
        if (!p) throw py::error_already_set();
        text = std::string_view(p, static_cast<std::size_t>(n));
    }

    catalogue::Catalogue cat;
    {
        py::gil_scoped_release release;  // pure parsing into our own vectors
        cat = catalogue::parse_catalogue(text, kHostClasses);
    }
    const std::size_t n = cat.size();
    if (n == 0) return empty_frame(pd);

    auto column = [](std::vector<double>& v) { return adopt(std::move(v)); };
    auto make_text = [&](std::size_t start, std::size_t len) {
        PyObject* s = PyUnicode_DecodeUTF8(text.data() + start, static_cast<Py_ssize_t>(len), "strict");
        if (!s) throw py::error_already_set();
        return py::reinterpret_steal<py::object>(s);
    };

    // Place names go straight into an Arrow string array (offsets into one UTF-8 buffer),
    // the storage of the table library's text columns; no per-name Python object is made.
    std::size_t named = 0, bytes = 0;
    for (std::size_t i = 0; i < n; ++i) {
        named += cat.name_size[i] != 0;
        bytes += cat.name_size[i];
    }
    py::object names;
    if (named == 0) {
        names = py::array_t<double>(static_cast<py::ssize_t>(n));  // only NaN: a float column
        auto* v = names.cast<py::array_t<double>>().mutable_data();
        std::fill(v, v + n, std::numeric_limits<double>::quiet_NaN());
    } else {
        py::array_t<std::int64_t> offsets(static_cast<py::ssize_t>(n + 1));
        py::array_t<std::uint8_t> chars(static_cast<py::ssize_t>(bytes));
        py::array_t<std::uint8_t> valid(static_cast<py::ssize_t>((n + 7) / 8));
        {
            py::gil_scoped_release release;  // fills the three arrays we own
            auto* off = offsets.mutable_data();
            auto* out = chars.mutable_data();
            auto* bits = valid.mutable_data();
            std::fill(bits, bits + (n + 7) / 8, 0);
            std::int64_t at = 0;
            for (std::size_t i = 0; i < n; ++i) {
                off[i] = at;
                if (cat.name_size[i] == 0) continue;
                std::memcpy(out + at, text.data() + cat.name_start[i], cat.name_size[i]);
                at += static_cast<std::int64_t>(cat.name_size[i]);
                bits[i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
            }
            off[n] = at;
        }
        const auto pa = py::module_::import("pyarrow");
        py::object array =
            pa.attr("LargeStringArray")
                .attr("from_buffers")(n, pa.attr("py_buffer")(offsets), pa.attr("py_buffer")(chars),
                                      pa.attr("py_buffer")(valid), static_cast<py::ssize_t>(n - named));
        names = pd.attr("array")(array, "dtype"_a = pd.attr("StringDtype")("na_value"_a = np.attr("nan")));
    }

    py::object index;
    if (cat.has_clock_word) {
        // "now"/"today" mean the wall clock to the table library: let it read every time.
        {
            py::gil_scoped_release release;  // parses the text we hold again, keeping time texts
            cat = catalogue::parse_catalogue(text, kHostClasses, true);
        }
        py::list times(n);
        for (std::size_t i = 0; i < n; ++i) times[i] = make_text(cat.time_start[i], cat.time_size[i]);
        index = pd.attr("to_datetime")(pd.attr("Series")(times), "format"_a = kFormat, "errors"_a = "coerce");
        index = pd.attr("DatetimeIndex")(index, "name"_a = "ind");
    } else {
        bool any = false;
        for (std::size_t i = 0; i < n && !any; ++i) any = cat.time_ok[i];
        // Parsed times come at microsecond resolution; a column of only NaT at seconds.
        const std::int64_t scale = any ? 1000000 : 1;
        for (std::size_t i = 0; i < n; ++i)
            cat.seconds[i] =
                cat.time_ok[i] ? cat.seconds[i] * scale : std::numeric_limits<std::int64_t>::min();
        py::array_t<std::int64_t> ticks = adopt(std::move(cat.seconds));
        py::object stamps = ticks.attr("view")(any ? "M8[us]" : "M8[s]");
        index = pd.attr("DatetimeIndex")(stamps, "name"_a = "ind");
    }

    py::dict columns;
    columns["lon"] = column(cat.lon);
    columns["lat"] = column(cat.lat);
    columns["magnitude"] = column(cat.magnitude);
    columns["name"] = names;
    return pd.attr("DataFrame")(columns, "index"_a = index);
}

}  // namespace

void register_reader(py::module_& m) {
    bind::def_function(m, "read_QCAT", &read_qcat,
                       "Parse earthquake text file and return as a pandas DataFrame.\n\n"
                       "Columns: lon, lat, magnitude, name (NaN where unreadable or empty); "
                       "index: ind, the event time (NaT where unreadable).",
                       py::arg("qcat_dir"));
}

}  // namespace lumoreq::qcat
