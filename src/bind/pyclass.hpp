// A plain Python class (made with `type`, so its only base is `object` and its instances take
// ordinary attributes) whose methods are C++ functions. A cpp_function made with
// py::is_method is wrapped as an instance method, so it binds to `self` like a `def` would.
#pragma once

#include <stdexcept>
#include <string>

#include "bind/bind.hpp"

namespace lumoreq::bind {

class MethodClass {
public:
    MethodClass(py::module_& m, const char* name, const char* doc) {
        py::dict ns;
        ns["__doc__"] = doc ? py::object(py::str(doc)) : py::none();
        ns["__module__"] = m.attr("__name__");
        ns["__qualname__"] = py::str(name);
        cls_ = py::module_::import("builtins").attr("type")(py::str(name), py::make_tuple(), ns);
        m.attr(name) = cls_;
    }

    // `f` takes `self` (a py::object) first; `extra` names the remaining parameters.
    template <typename Func, typename... Extra>
    MethodClass& def(const char* name, Func&& f, const char* doc, const Extra&... extra) {
        py::cpp_function cf(std::forward<Func>(f), py::name(name), py::is_method(cls_), py::doc(doc), extra...);
        if (std::string(name) == "__init__") plain_init(cf);
        py::setattr(cls_, name, cf);
        return *this;
    }

    py::object cls() const { return cls_; }

private:
    // pybind11 takes any function named __init__ for the constructor of one of its own classes
    // and would treat `self` as its instance layout; this class is a plain one, so its __init__
    // is made an ordinary method again.
    static void plain_init(const py::cpp_function& cf) {
        py::handle fn = py::detail::get_function(cf);
        py::handle record_owner = fn ? PyCFunction_GET_SELF(fn.ptr()) : nullptr;
        auto* rec = record_owner ? py::detail::function_record_ptr_from_PyObject(record_owner.ptr()) : nullptr;
        if (rec == nullptr) throw std::runtime_error("cannot define __init__ of a plain class");
        rec->is_constructor = false;
    }

    py::object cls_;
};

}  // namespace lumoreq::bind
