// Logging set-up, run once at first import: the per-user log directory, app.log, one root
// configuration (file first, then standard error) and the three named loggers.
#include "bind/bind.hpp"

namespace {

constexpr const char* kFormat = "%(asctime)s - %(name)s - %(levelname)s - %(message)s";
constexpr const char* kDateFormat = "%Y-%m-%d %H:%M:%S";

py::object join(py::object path, const char* part) { return path.attr("joinpath")(part); }

py::object log_directory(const py::module_& os, const py::object& Path) {
    if (os.attr("name").cast<std::string>() == "nt") {
        // An empty LOCALAPPDATA is used as it is (relative to the working directory).
        py::object base = os.attr("environ").attr("get")("LOCALAPPDATA");
        if (base.is_none()) base = join(Path.attr("home")(), "AppData/Local");
        return join(join(Path(base), "lumoreq"), "logs");
    }
    py::object dir = Path.attr("home")();
    for (const char* part : {".local", "share", "lumoreq", "logs"}) dir = join(dir, part);
    return dir;
}

}  // namespace

LUMOREQ_MODULE(logsetup, m) {
    lumoreq::bind::DocOnly doc_only;
    m.doc() = "日志配置：日志目录、日志文件 app.log 与 plotting、fetching、cleaning 三个命名日志记录器。";

    auto logging = py::module_::import("logging");
    auto os = py::module_::import("os");
    py::object Path = py::module_::import("pathlib").attr("Path");
    m.attr("logging") = logging;
    m.attr("Path") = Path;
    m.attr("os") = os;

    // Nothing is caught: a home that cannot be found or written fails the import.
    py::object log_dir = log_directory(os, Path);
    log_dir.attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
    m.attr("log_dir") = log_dir;
    py::object log_file = join(log_dir, "app.log");
    m.attr("log_file") = log_file;

    py::list handlers;
    handlers.append(logging.attr("FileHandler")(log_file));
    handlers.append(logging.attr("StreamHandler")());
    logging.attr("basicConfig")("level"_a = logging.attr("INFO"), "format"_a = kFormat,
                                "datefmt"_a = kDateFormat, "handlers"_a = handlers);

    for (const char* name : {"plotting", "fetching", "cleaning"}) {
        py::object logger = logging.attr("getLogger")(name);
        logger.attr("setLevel")(logging.attr("INFO"));
        m.attr((std::string(name) + "_logger").c_str()) = logger;
    }
}
