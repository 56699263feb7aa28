// A plain Python class (made with `type`, so its only base is `object` and its instances take
// ordinary attributes) whose methods are C++ functions. A cpp_function made with
// py::is_method is wrapped as an instance method, so it binds to `self` like a `def` would.
#pragma once

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
        py::setattr(cls_, name, cf);
        return *this;
    }

    py::object cls() const { return cls_; }

private:
    py::object cls_;
};

}  // namespace lumoreq::bind
