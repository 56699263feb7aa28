// Crash-safe whole-file writes for the package's own Python code and its other modules.
//
//     with atomic_path(target) as temp:
//         write_something(temp)          # any writer that takes a path
//
// On a clean exit the temporary sibling is flushed, renamed over `target` and the folder
// flushed; when the block raises, the temporary file is removed and the error goes on (an
// OSError that names no file is given the target's name).
#include <pybind11/pybind11.h>
#include <pybind11/stl/filesystem.h>

#include <optional>
#include <string>

#include "bind/files.hpp"
#include "core/atomic_file.hpp"

namespace py = pybind11;
using namespace pybind11::literals;
namespace core = lumoreq::core;
namespace fs = std::filesystem;

namespace {

using lumoreq::bind::without_gil;

py::str as_str(const fs::path& p) { return py::cast(p).attr("__fspath__")(); }

// The context manager returned by atomic_path.
class AtomicPath {
public:
    explicit AtomicPath(fs::path target) : target_(std::move(target)) {}

    py::str enter() {
        if (temp_) throw py::value_error("atomic_path: this block is already open");
        temp_ = without_gil([&] {
            core::sweep_leftovers(target_.parent_path());  // what killed writers left here
            return core::create_temp_sibling(target_);
        });
        return as_str(*temp_);
    }

    bool exit(const py::object& exc_type, const py::object& exc, const py::object&) {
        if (!temp_) return false;
        const fs::path temp = *temp_;
        temp_.reset();
        if (!exc_type.is_none()) {
            without_gil([&] { return core::remove_quietly(temp); });
            lumoreq::bind::name_the_file(exc, target_);
            return false;  // the block's own error goes on
        }
        try {
            without_gil([&] {
                core::commit_temp(temp, target_);
                return 0;
            });
        } catch (...) {
            without_gil([&] { return core::remove_quietly(temp); });
            throw;
        }
        return false;
    }

    py::object temp() const { return temp_ ? py::object(as_str(*temp_)) : py::object(py::none()); }
    py::str target() const { return as_str(target_); }

private:
    fs::path target_;
    std::optional<fs::path> temp_;
};

}  // namespace

PYBIND11_MODULE(_files, m) {
    m.doc() = "Crash-safe whole-file writes: a temporary sibling, flushed and renamed over the target.";

    py::class_<AtomicPath>(m, "AtomicPath", "A block that writes one file through a temporary sibling.")
        .def("__enter__", &AtomicPath::enter)
        .def("__exit__", &AtomicPath::exit, py::arg("exc_type"), py::arg("exc"), py::arg("traceback"))
        .def_property_readonly("temp", &AtomicPath::temp, "The temporary path while the block is open, else None.")
        .def_property_readonly("target", &AtomicPath::target, "The file the block writes.");

    m.def(
        "atomic_path", [](const fs::path& target) { return AtomicPath(target); }, py::arg("target"),
        "Context manager yielding a temporary sibling path (str) of ``target``.\n\n"
        "Write the file there. On a clean exit it is flushed to the disk, renamed over ``target``\n"
        "and the folder flushed, so readers and crashes see the old file or the new one, never a\n"
        "part. When the block raises, the temporary file is removed and the error re-raised.");

    m.def(
        "write_bytes",
        [](const fs::path& target, const py::bytes& data) {
            std::string bytes = data;
            without_gil([&] {
                core::sweep_leftovers(target.parent_path());  // what killed writers left here, as atomic_path does
                core::write_file_atomically(target, bytes);
                return 0;
            });
        },
        py::arg("target"), py::arg("data"),
        "Write ``data`` to ``target`` as one crash-safe replacement (the temporary files that writers\n"
        "which are gone left beside it are removed first).");

    m.def(
        "commit",
        [](const fs::path& temp, const fs::path& target) {
            without_gil([&] {
                core::commit_temp(temp, target);
                return 0;
            });
        },
        py::arg("temp"), py::arg("target"),
        "Flush ``temp``, rename it over ``target`` and flush the folder (``temp`` may be a folder).");

    m.def(
        "sync_file", [](const fs::path& path) { without_gil([&] { core::sync_file(path); return 0; }); },
        py::arg("path"), "Flush a file's data to the disk.");

    m.def(
        "sync_folder", [](const fs::path& folder) { without_gil([&] { core::sync_folder(folder); return 0; }); },
        py::arg("folder"), "Flush a folder's entries to the disk.");

    m.def(
        "temp_name", [](const fs::path& target) { return as_str(core::temp_sibling(target)); }, py::arg("target"),
        "A fresh temporary sibling name for ``target`` (nothing is created).");

    m.def(
        "sweep", [](const fs::path& folder) { return without_gil([&] { return core::sweep_leftovers(folder); }); },
        py::arg("folder"),
        "Remove the temporary files and folders in ``folder`` left by processes that are gone;\n"
        "returns how many were removed. Those of live processes are kept.");

    m.def(
        "leftover_owner",
        [](const std::string& name) -> py::object {
            const auto pid = core::leftover_owner(name);
            return pid ? py::object(py::int_(*pid)) : py::object(py::none());
        },
        py::arg("name"), "The process id in a temporary name made by this module; None for other names.");

    m.def(
        "process_alive", [](long long pid) { return core::process_alive(pid); }, py::arg("pid"),
        "True while the process ``pid`` exists.");
}
