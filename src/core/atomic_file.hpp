// Whole-file writes that a crash or a reader never sees half done.
//
// A file is written under a temporary sibling name in the target's own folder
// (".<name>.<pid>.<random>.tmp"), flushed to the disk, and renamed over the target; the folder
// is then flushed so the rename itself survives a power cut. A reader, or a process that is
// killed at any moment, sees the old file or the new one, never a part of either.
//
// Temporary files of a writer that died are left behind; `sweep_leftovers` removes those whose
// process is gone (never those of a live process, which may still be writing).
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace lumoreq::core {

namespace fs = std::filesystem;

// An operating-system call failed. `what()` names the step, the path and the reason; `code()`
// is errno on POSIX and the system error code on Windows; `reason()` is the system's own text;
// `step()` what was being done ("cannot write", "cannot flush", ...).
class FileError : public std::runtime_error {
public:
    FileError(std::string step, int code, std::string reason, fs::path path, fs::path other = {})
        : std::runtime_error(describe(step, reason, path, other)),
          code_(code),
          step_(std::move(step)),
          reason_(std::move(reason)),
          path_(std::move(path)),
          other_(std::move(other)) {}
    int code() const noexcept { return code_; }
    // code() as the nearest errno value (the same number on POSIX).
    int posix_errno() const noexcept;
    // The Windows error code (code() on Windows), 0 elsewhere.
    int windows_error() const noexcept;
    const std::string& step() const noexcept { return step_; }
    const std::string& reason() const noexcept { return reason_; }
    const fs::path& path() const noexcept { return path_; }
    const fs::path& other() const noexcept { return other_; }

    // A path as UTF-8 text for messages (never throws on names the locale cannot spell).
    static std::string text(const fs::path& path);

private:
    static std::string describe(const std::string& step, const std::string& reason, const fs::path& path,
                                const fs::path& other);
    int code_;
    std::string step_;
    std::string reason_;
    fs::path path_, other_;
};

// The temporary sibling for `target`: same folder, ".<name>.<pid>.<random>.tmp". A very long
// name is shortened (at a character boundary) so the sibling still fits the file system's limit.
fs::path temp_sibling(const fs::path& target);

// Creates the temporary sibling exclusively (an empty file, nobody else's name) and returns it.
// When `target` exists its permission bits are given to the new file, so a replaced file keeps
// its mode. Throws FileError.
fs::path create_temp_sibling(const fs::path& target);

// Flushes a written file's data to the disk. Throws FileError.
void sync_file(const fs::path& path);

// Flushes a folder's entries (the names in it) to the disk; a file system that cannot is
// accepted silently. No-op where folders are not flushed this way (Windows).
void sync_folder(const fs::path& folder);

// sync_file(temp), rename temp over target, sync_folder(target's folder). Throws FileError
// (the temporary file is left for the caller to remove).
void commit_temp(const fs::path& temp, const fs::path& target);

// Removes a file, ignoring a missing one; true when something was removed.
bool remove_quietly(const fs::path& path) noexcept;

// The process id recorded in a temporary name made by temp_sibling (or a name derived from it
// by appending a suffix, such as DuckDB's ".wal"); nullopt for any other name.
std::optional<long long> leftover_owner(std::string_view file_name);

// True while process `pid` exists (also when it belongs to another user).
bool process_alive(long long pid) noexcept;

// The id of this process.
long long current_pid() noexcept;

// Removes the temporary files (and folders) in `folder` whose process is gone; returns how many
// were removed. A missing folder removes nothing.
std::size_t sweep_leftovers(const fs::path& folder);

// Writes `bytes` to `target` through a temporary sibling (create, write, commit). Throws
// FileError carrying the failing call's own error (a full disk is ENOSPC, a read-only folder
// EROFS or EACCES, a size limit EFBIG) and naming the target; on failure the target is
// untouched and the temporary file removed.
void write_file_atomically(const fs::path& target, std::string_view bytes);

}  // namespace lumoreq::core
