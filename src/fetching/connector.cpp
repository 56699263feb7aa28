// Settings file -> open SQLAlchemy connection to the Oracle observation database.
#include "fetching/fetching.hpp"

namespace lumoreq::fetching {
namespace {

constexpr const char* kMissingConfig = "数据库配置文件缺失或不完整，请检查default.conf";
constexpr const char* kConnectError = "数据库连接错误: ";

py::object strip_option(const py::object& config, const py::object& db, const char* key) {
    return config.attr("get")(db, key, "fallback"_a = "").attr("strip")();
}

void init_oracle_thick_mode(const bind::ModuleRef& mod, py::object config, py::object db) {
    if (py::bool_(mod.attr("_ORACLE_THICK_MODE_READY"))) return;
    py::object oracledb = mod.attr("oracledb");
    if (oracledb.is_none()) throw py::import_error("oracledb is not installed");
    py::object lib_dir = strip_option(config, db, "ORACLE_CLIENT_LIB_DIR");
    py::object config_dir = strip_option(config, db, "ORACLE_CONFIG_DIR");
    py::dict kwargs;
    if (py::bool_(lib_dir)) kwargs["lib_dir"] = lib_dir;
    if (py::bool_(config_dir)) kwargs["config_dir"] = config_dir;
    oracledb.attr("init_oracle_client")(**kwargs);
    mod.set("_ORACLE_THICK_MODE_READY", py::bool_(true));
    bind::log(mod, "debug", "python-oracledb Thick mode initialized.");
}

py::object error_text(py::error_already_set& e) { return py::str(e.value()); }

py::object connect_to_oracle(const bind::ModuleRef& mod, py::object db) {
    auto os = py::module_::import("os");
    py::object config = py::module_::import("configparser").attr("ConfigParser")();
    py::list files;
    files.append("default.conf");
    files.append(os.attr("path").attr("join")(os.attr("path").attr("expanduser")("~"), ".lumor",
                                              "default.conf"));
    try {
        // A file that is not INI or not decodable is a connection failure like any other.
        config.attr("read")(files);
    } catch (py::error_already_set& e) {
        bind::rethrow_unless_exception(e);
        bind::log(mod, "error", py::str(kConnectError) + error_text(e));
        return py::none();
    }
    py::list sections = config.attr("sections")();
    if (sections.empty() || !sections.contains(db)) {
        bind::log(mod, "error", kMissingConfig);
        return py::none();
    }
    try {
        py::object host = config.attr("get")(db, "HOST");
        py::object port = config.attr("get")(db, "PORT");
        py::object user = config.attr("get")(db, "USERNAME");
        py::object password = config.attr("get")(db, "PASSWORD");
        py::object tnsname = config.attr("get")(db, "TNSNAME");
        mod.attr("DatabaseConnector").attr("_init_oracle_thick_mode")(config, db);
        // URL.create keeps "@", ":", "/", "%", "#" and "?" of a user name or password intact.
        auto sqlalchemy = py::module_::import("sqlalchemy");
        py::object url = sqlalchemy.attr("engine").attr("URL").attr("create")(
            "oracle+oracledb", "username"_a = user, "password"_a = password, "host"_a = host,
            "port"_a = py::int_(port), "database"_a = tnsname);
        py::object engine = sqlalchemy.attr("create_engine")(url, "echo"_a = false);
        py::object conn = engine.attr("connect")();
        bind::log(mod, "debug", py::str(host) + py::str(" 已连接..."));
        return conn;
    } catch (py::error_already_set& e) {
        bind::rethrow_unless_exception(e);
        bind::log(mod, "error", py::str(kConnectError) + error_text(e));
        return py::none();
    }
}

}  // namespace

void register_connector(py::module_& m) {
    m.attr("_ORACLE_THICK_MODE_READY") = py::bool_(false);
    try {
        m.attr("oracledb") = py::module_::import("oracledb");
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ImportError)) throw;
        m.attr("oracledb") = py::none();
    }

    bind::ModuleRef mod(m);
    bind::StaticClass cls(m, "DatabaseConnector", "数据库连接管理类");
    cls.def(
        "_init_oracle_thick_mode",
        [mod](py::object config, py::object db) { init_oracle_thick_mode(mod, config, db); },
        "Initialize python-oracledb in Thick mode for legacy Oracle compatibility.", py::arg("config"),
        py::arg("db"));
    cls.def("connect_to_oracle", [mod](py::object db) { return connect_to_oracle(mod, db); },
            "连接到Oracle数据库", py::arg("db"));
    m.def(
        "conn_to_Oracle",
        [mod](py::object db) { return mod.attr("DatabaseConnector").attr("connect_to_oracle")(db); },
        py::doc("连接到Oracle数据库"), py::arg("db"));
}

}  // namespace lumoreq::fetching
