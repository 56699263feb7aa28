// Small helpers shared by every binding file: sibling imports, the module's own namespace,
// logging through the module's `logger` attribute, docstrings without signatures, and
// classes that are namespaces of static methods.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <string>
#include <utility>

namespace py = pybind11;
using namespace pybind11::literals;

namespace lumoreq::bind {

// "lumoreq" for the module "lumoreq.fetching"; the package is never spelled out in code.
inline std::string package_of(const py::module_& m) {
    const auto name = m.attr("__name__").cast<std::string>();
    const auto dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : name.substr(0, dot);
}

// `from . import <name>` for the module `m`.
inline py::module_ import_sibling(const py::module_& m, const std::string& name) {
    return py::reinterpret_borrow<py::module_>(
        py::module_::import("importlib").attr("import_module")("." + name, package_of(m)));
}

// A module's own namespace, found again at call time through sys.modules. Functions read
// their module attributes (logger, flags, optional drivers) through it, so a test or a user
// that rebinds an attribute is seen, and no C++ global outlives a re-import.
class ModuleRef {
public:
    ModuleRef() = default;
    explicit ModuleRef(const py::module_& m) : name_(m.attr("__name__").cast<std::string>()) {}
    py::object get() const { return py::module_::import("sys").attr("modules")[py::str(name_)]; }
    py::object attr(const char* key) const { return get().attr(key); }
    void set(const char* key, py::handle value) const { py::setattr(get(), key, value); }
    const std::string& name() const { return name_; }

private:
    std::string name_;
};

// logger.<level>(message) on the module's `logger` attribute.
inline void log(const ModuleRef& mod, const char* level, const py::object& message) {
    mod.attr("logger").attr(level)(message);
}
inline void log(const ModuleRef& mod, const char* level, const std::string& message) {
    log(mod, level, py::str(message));
}

// Guarded blocks of the system catch what Python's `except Exception` catches, no more:
// KeyboardInterrupt and SystemExit still reach the caller.
inline void rethrow_unless_exception(py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
}

// Put at the top of every PYBIND11_MODULE: __doc__ holds only the given text.
struct DocOnly {
    py::options opts;
    DocOnly() {
        opts.disable_function_signatures();
        opts.disable_enum_members_docstring();
    }
};

// A plain Python class used as a namespace of static methods. It is a real `type`, so
// callers can look its methods up, and patch them, as on any class.
class StaticClass {
public:
    StaticClass(py::module_& m, const char* name, const char* doc) : module_(m), name_(name) {
        py::dict ns;
        ns["__doc__"] = doc ? py::object(py::str(doc)) : py::none();
        ns["__module__"] = m.attr("__name__");
        ns["__qualname__"] = py::str(name);
        cls_ = py::module_::import("builtins").attr("type")(py::str(name), py::make_tuple(), ns);
        m.attr(name) = cls_;
    }

    template <typename Func, typename... Extra>
    StaticClass& def(const char* name, Func&& f, const char* doc, const Extra&... extra) {
        py::cpp_function cf(std::forward<Func>(f), py::name(name), py::doc(doc), extra...);
        py::setattr(cls_, name, py::module_::import("builtins").attr("staticmethod")(cf));
        return *this;
    }

    StaticClass& constant(const char* name, py::object value) {
        py::setattr(cls_, name, value);
        return *this;
    }

    py::object cls() const { return cls_; }

private:
    [[maybe_unused]] py::module_& module_;
    std::string name_;
    py::object cls_;
};

// Adds one more static method to a class made by StaticClass in another file (the class is
// created once and grows as the files that own its methods register them).
inline void add_static_method(const py::object& cls, const char* name, const py::cpp_function& fn) {
    py::setattr(cls, name, py::module_::import("builtins").attr("staticmethod")(fn));
}

// A module-level function with the given docstring and its qualified name set as Python's.
template <typename Func, typename... Extra>
void def_function(py::module_& m, const char* name, Func&& f, const char* doc, const Extra&... extra) {
    m.def(name, std::forward<Func>(f), py::doc(doc), extra...);
}

}  // namespace lumoreq::bind
