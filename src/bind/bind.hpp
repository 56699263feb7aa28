// Small helpers shared by every binding file: sibling imports, the module's own namespace,
// logging through the module's `logger` attribute, docstrings without signatures, and
// classes that are namespaces of static methods.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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

// Text signatures. The interpreter reads a builtin's signature from the head of its docstring,
// "name(a, b=1)\n--\n\n" followed by the documentation: the head becomes __text_signature__ (so
// inspect.signature, IDEs and notebooks show the parameters and defaults) and __doc__ stays the
// documentation alone. The head is made from each function's own parameter list, after the
// module is set up.

// ascii(value): the interpreter reads text signatures as ASCII, so texts appear escaped.
inline std::string ascii_of(const py::handle& value) {
    const auto text = py::reinterpret_steal<py::object>(PyObject_ASCII(value.ptr()));
    if (!text) throw py::error_already_set();
    return text.cast<std::string>();
}

// A default as the literal a text signature takes, or "" when it has none.
inline std::string default_literal(const py::handle& value) {
    if (value.is_none() || PyBool_Check(value.ptr()) || PyLong_CheckExact(value.ptr()) ||
        PyUnicode_CheckExact(value.ptr()) || PyBytes_CheckExact(value.ptr()))
        return ascii_of(value);
    if (PyFloat_CheckExact(value.ptr())) {
        const double x = PyFloat_AS_DOUBLE(value.ptr());
        return x == x && x - x == 0 ? ascii_of(value) : std::string();  // no inf, nan
    }
    if (PyTuple_CheckExact(value.ptr()) || PyList_CheckExact(value.ptr())) {
        const bool tuple = PyTuple_CheckExact(value.ptr());
        std::string text = tuple ? "(" : "[";
        const auto items = py::reinterpret_borrow<py::sequence>(value);
        for (size_t i = 0; i < items.size(); ++i) {
            const std::string item = default_literal(items[i]);
            if (item.empty()) return {};
            text += (i ? ", " : "") + item;
        }
        return text + (tuple && items.size() == 1 ? ",)" : tuple ? ")" : "]");
    }
    return {};
}

// "name(a, b=1, *args, c=None, **kwargs)" for one pybind11 function record.
inline std::string text_signature(const py::detail::function_record& rec) {
    std::vector<std::string> params;
    auto name_of = [&](size_t i, const char* fallback) {
        if (i < rec.args.size() && rec.args[i].name && rec.args[i].name[0]) return std::string(rec.args[i].name);
        if (i == 0 && rec.is_method) return std::string("self");
        return fallback ? std::string(fallback) : "arg" + std::to_string(i);
    };
    auto param = [&](size_t i) {
        std::string text = name_of(i, nullptr);
        if (i < rec.args.size() && rec.args[i].value) {
            const std::string literal = default_literal(rec.args[i].value);
            // a default without a literal (an object, an infinite float) is shown as "...",
            // as stubs write it: the parameter is optional, its default is not spelled out
            text += "=" + (literal.empty() ? std::string("...") : literal);
        }
        return text;
    };
    const size_t total = rec.nargs;
    const size_t positional = rec.nargs_pos;
    for (size_t i = 0; i < positional && i < total; ++i) {
        params.push_back(param(i));
        const size_t pos_only = rec.nargs_pos_only;
        if (i + 1 == pos_only && pos_only > (rec.is_method ? 1u : 0u)) params.emplace_back("/");
    }
    const size_t kw_end = total - (rec.has_kwargs ? 1 : 0);
    size_t next = positional;
    if (rec.has_args) {
        params.push_back("*" + name_of(next, "args"));
        ++next;
    } else if (next < kw_end) {
        params.emplace_back("*");
    }
    for (; next < kw_end; ++next) params.push_back(param(next));
    if (rec.has_kwargs) params.push_back("**" + name_of(total - 1, "kwargs"));
    std::string text = std::string(rec.name) + "(";
    for (size_t i = 0; i < params.size(); ++i) text += (i ? ", " : "") + params[i];
    return text + ")";
}

// Puts the text signature at the head of the docstring of a pybind11 function (of an overload
// set only when its members take the same parameters); a function that has one already is
// left alone.
inline void add_text_signature(const py::handle& callable) {
    const py::handle fn = py::detail::get_function(callable);
    if (!fn || !PyCFunction_Check(fn.ptr())) return;
    auto* cfunc = reinterpret_cast<PyCFunctionObject*>(fn.ptr());
    PyObject* self = PyCFunction_GET_SELF(fn.ptr());
    auto* rec = self ? py::detail::function_record_ptr_from_PyObject(self) : nullptr;
    if (!rec || !rec->def || cfunc->m_ml != rec->def) return;
    const std::string signature = text_signature(*rec);
    // an overload set has one signature only when all its members share it
    for (const py::detail::function_record* other = rec->next; other; other = other->next)
        if (text_signature(*other) != signature) return;
    const char* old_doc = rec->def->ml_doc ? rec->def->ml_doc : "";
    if (std::string_view(old_doc).substr(0, std::strlen(rec->name) + 1) == std::string(rec->name) + "(" &&
        std::strstr(old_doc, ")\n--\n\n"))
        return;
    const std::string doc = signature + "\n--\n\n" + old_doc;
    char* copy = static_cast<char*>(std::malloc(doc.size() + 1));  // freed by pybind11 with the function
    if (!copy) throw std::bad_alloc();
    std::memcpy(copy, doc.c_str(), doc.size() + 1);
    std::free(const_cast<char*>(rec->def->ml_doc));
    rec->def->ml_doc = copy;
}

// Every function of a module, and every function, static method and method of the classes the
// module defines.
inline void add_text_signatures(const py::module_& m) {
    const py::object name = m.attr("__name__");
    for (const auto item : py::reinterpret_borrow<py::dict>(m.attr("__dict__"))) {
        const py::handle value = item.second;
        if (PyType_Check(value.ptr())) {
            const py::object owner = py::getattr(value, "__module__", py::none());
            if (owner.is_none() || !owner.equal(name)) continue;
            for (const auto member : py::dict(value.attr("__dict__"))) {  // a copy of the mapping proxy
                py::handle fn = member.second;
                if (py::isinstance(fn, py::module_::import("builtins").attr("staticmethod")))
                    fn = fn.attr("__func__");
                add_text_signature(fn);
            }
        } else {
            add_text_signature(value);
        }
    }
}

// An error of the host raised while a module is set up (a sibling import, a home directory that
// cannot be written) reaches the importer as it is. pybind11 turns it into
// ImportError("initialization failed") with the host's error only as its cause; this undoes that.
inline int unwrap_init_error(int rc) {
    if (rc == 0 || !PyErr_Occurred()) return rc;
    py::error_already_set e;
    if (e.matches(PyExc_ImportError)) {
        const py::object cause = e.value().attr("__cause__");
        if (!cause.is_none() && py::str(e.value()).cast<std::string>() == "initialization failed") {
            PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(cause.ptr())), cause.ptr());
            return rc;
        }
    }
    e.restore();
    return rc;
}

inline int finish_module(PyObject* module, int rc) {
    if (rc != 0) return unwrap_init_error(rc);
    try {
        add_text_signatures(py::reinterpret_borrow<py::module_>(module));
        return 0;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (const std::exception& e) {
        py::set_error(PyExc_ImportError, e.what());
    }
    return -1;
}

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

// PYBIND11_MODULE for every module of the package: the same module object, cache and
// initialisation, with the host's errors passed on unchanged, and text signatures added to
// the module's functions once it is set up.
#define LUMOREQ_MODULE(name, variable)                                                 \
    PYBIND11_MODULE_PYINIT(name)                                                       \
    int pybind11_exec_lumoreq_##name(PyObject*);                                       \
    int PYBIND11_CONCAT(pybind11_exec_, name)(PyObject * pm) {                         \
        return ::lumoreq::bind::finish_module(pm, pybind11_exec_lumoreq_##name(pm));   \
    }                                                                                  \
    PYBIND11_MODULE_EXEC(lumoreq_##name, variable)
