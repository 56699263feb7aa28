// Crash-safe whole-file saves for the binding code: the writer gets a temporary sibling path,
// which is then flushed and renamed over the target (see core/atomic_file.hpp).
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl/filesystem.h>

#include <filesystem>
#include <string>
#include <utility>

#include "core/atomic_file.hpp"

namespace lumoreq::bind {

namespace py = pybind11;

// The failure as the OSError subclass Python gives for that errno, with both file names:
// "[Errno 28] No space left on device (cannot write): '<file>'". On Windows the system's code goes
// in as winerror, so Python picks errno and subclass by its own table.
[[noreturn]] inline void raise_os_error(const core::FileError& e) {
    py::object filename2 = e.other().empty() ? py::object(py::none()) : py::cast(e.other()).attr("__fspath__")();
    py::object winerror = e.windows_error() != 0 ? py::object(py::int_(e.windows_error())) : py::object(py::none());
    const std::string text = e.step().empty() ? e.reason() : e.reason() + " (" + e.step() + ")";
    py::object error = py::module_::import("builtins")
                           .attr("OSError")(e.posix_errno(), text, py::cast(e.path()).attr("__fspath__")(),
                                            winerror, filename2);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    throw py::error_already_set();
}

// An OSError from a writer that does not say which file it was writing (a full disk inside
// pyarrow, a Python file object's write) is given the target's name, so its message names it.
inline void name_the_file(const py::handle& error, const std::filesystem::path& target) {
    if (!error || PyObject_IsInstance(error.ptr(), PyExc_OSError) != 1) return;
    if (!error.attr("filename").is_none() || error.attr("errno").is_none() || error.attr("strerror").is_none())
        return;
    error.attr("filename") = py::cast(target).attr("__fspath__")();
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
    } catch (py::error_already_set& e) {
        name_the_file(e.value(), path);
        core::remove_quietly(temp);
        throw;
    } catch (...) {
        core::remove_quietly(temp);
        throw;
    }
}

}  // namespace lumoreq::bind
