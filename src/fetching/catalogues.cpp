// Database kinds and sample rates: the Chinese names users type, the codes in table names,
// and the seconds behind a sample-rate identifier.
#include "fetching/fetching.hpp"

namespace lumoreq::fetching {
namespace {

struct RateRecord {
    const char* name;
    const char* id;
    int rate;
    int null_count;
};

constexpr RateRecord kRates[] = {
    {"秒钟值", "02", 1, 86400},
    {"分钟值", "01", 60, 1440},
    {"小时值", "60", 3600, 24},
    {"日均值", "90", 86400, 1},
};

constexpr std::pair<const char*, const char*> kRateAliases[] = {
    {"秒值", "秒钟值"}, {"分值", "分钟值"}, {"整点值", "小时值"}, {"日值", "日均值"}};

constexpr std::pair<const char*, const char*> kDatabaseKinds[] = {
    {"原始库", "DYS"}, {"预处理库", "DYU"}, {"产品库", "CP"}};

// The UTF-8 bytes of a text; false for a text that has none (a lone surrogate), which equals no
// table entry.
bool utf8_of(const py::handle& text, std::string& out) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!data) {
        PyErr_Clear();
        return false;
    }
    out.assign(data, static_cast<size_t>(size));
    return true;
}

// Only exact text matches a table entry (the host's dict look-up of a str key).
bool text_of(const py::handle& value, std::string& out) {
    return py::isinstance<py::str>(value) && utf8_of(value, out);
}

}  // namespace

void register_catalogues(py::module_& m) {
    bind::StaticClass db(m, "DatabaseType", "数据库类型：原始库、预处理库、产品库及其表名代码");
    db.constant("RAW", py::str("原始库"))
        .constant("PREPROCESSED", py::str("预处理库"))
        .constant("PRODUCT", py::str("产品库"));
    db.def(
        "get_id",
        [](py::object db_type) -> py::object {
            std::string name;
            if (text_of(db_type, name))
                for (const auto& [kind, code] : kDatabaseKinds)
                    if (name == kind) return py::str(code);
            return py::none();
        },
        "根据数据库类型名称获取表名代码", py::arg("db_type"));

    bind::StaticClass sr(m, "SampleRateType", "采样率类型：秒钟值、分钟值、小时值、日均值及其配置");
    sr.constant("SECOND", py::str("秒钟值"))
        .constant("MINUTE", py::str("分钟值"))
        .constant("HOUR", py::str("小时值"))
        .constant("DAY", py::str("日均值"));
    sr.def(
        "get_config",
        [](py::object rate_type) -> py::object {
            std::string name;
            if (!text_of(rate_type, name)) return py::none();
            for (const auto& [alias, canonical] : kRateAliases)
                if (name == alias) name = canonical;
            for (const auto& r : kRates)
                if (name == r.name) {
                    py::dict record;  // a fresh mapping on every call
                    record["id"] = r.id;
                    record["rate"] = r.rate;
                    record["null_count"] = r.null_count;
                    return std::move(record);
                }
            return py::none();
        },
        "根据采样率类型获取配置（id、rate、null_count）", py::arg("rate_type"));
    sr.def(
        "get_rate_by_id",
        [](py::object rate_id) -> py::object {
            std::string id;
            if (!utf8_of(py::str(rate_id), id)) return py::none();  // str() first: 60 finds "60"
            for (const auto& r : kRates)
                if (id == r.id) return py::int_(r.rate);
            return py::none();
        },
        "根据采样率ID获取对应的秒数", py::arg("rate_id"));
}

}  // namespace lumoreq::fetching
