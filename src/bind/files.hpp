// Crash-safe whole-file saves for the binding code: the writer gets a temporary sibling path,
// which is then flushed and renamed over the target (see core/atomic_file.hpp).
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl/filesystem.h>

#include <filesystem>
#include <utility>

#include "core/atomic_file.hpp"

namespace lumoreq::bind {

namespace py = pybind11;

// The failure as the OSError subclass Python gives for that errno, with both file names.
[[noreturn]] inline void raise_os_error(const core::FileError& e) {
    py::object filename2 = e.other().empty() ? py::object(py::none()) : py::cast(e.other()).attr("__fspath__")();
    py::object error = py::module_::import("builtins")
                           .attr("OSError")(e.posix_errno(), e.reason(), py::cast(e.path()).attr("__fspath__")(),
                                            py::none(), filename2);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    throw py::error_already_set();
}

// f() with the GIL released; a FileError becomes the matching OSError.
template <typename F>
auto without_gil(F&& f) {
    try {
        py::gil_scoped_release release;
        return f();
    } catch (const core::FileError& e) {
        raise_os_error(e);
    }
}

// Calls write(temp) with a temporary sibling path (str) of `target`, then puts the written file
// in the target's place. When write raises, the temporary file is removed and the error goes on;
// the target is never touched unless the whole file was written.
template <typename Write>
void save_atomically(const py::object& target, Write&& write) {
    const auto path = py::cast<std::filesystem::path>(py::module_::import("os").attr("fspath")(target));
    const auto temp = without_gil([&] { return core::create_temp_sibling(path); });
    try {
        write(py::cast(temp).attr("__fspath__")());
        without_gil([&] {
            core::commit_temp(temp, path);
            return 0;
        });
    } catch (...) {
        core::remove_quietly(temp);
        throw;
    }
}

}  // namespace lumoreq::bind
