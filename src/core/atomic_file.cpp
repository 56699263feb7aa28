// Whole-file writes through a temporary sibling, flushed and renamed over the target.
#include "core/atomic_file.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <random>
#include <system_error>
#include <vector>

// ---------------------------------------------------------------------------------------------
// Operating-system calls. Everything platform specific of this file is in this section.
// ---------------------------------------------------------------------------------------------
#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#endif

namespace lumoreq::core {
namespace os_calls {

#ifdef _WIN32

std::string reason_of(DWORD code) {
    return std::system_category().message(static_cast<int>(code));
}

int errno_of(int code) noexcept {
    switch (static_cast<DWORD>(code)) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND: return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION: return EACCES;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS: return EEXIST;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL: return ENOSPC;
        default: return EIO;
    }
}

long long pid() noexcept { return static_cast<long long>(GetCurrentProcessId()); }

bool alive(long long id) noexcept {
    if (id <= 0 || id > 0xFFFFFFFFLL) return false;
    HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(id));
    if (h == nullptr) return GetLastError() != ERROR_INVALID_PARAMETER;  // denied: it exists
    DWORD status = 0;
    const bool running = GetExitCodeProcess(h, &status) && status == STILL_ACTIVE;
    CloseHandle(h);
    return running;
}

void create_exclusive(const fs::path& path, const fs::path& /*mode_from*/) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        throw FileError("cannot create", static_cast<int>(code), reason_of(code), path);
    }
    CloseHandle(h);
}

void sync(const fs::path& path) {
    // FILE_FLAG_BACKUP_SEMANTICS lets a folder be opened too
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        throw FileError("cannot open for flushing", static_cast<int>(code), reason_of(code), path);
    }
    const BOOL ok = FlushFileBuffers(h);
    const DWORD code = ok ? 0 : GetLastError();
    CloseHandle(h);
    if (!ok) throw FileError("cannot flush", static_cast<int>(code), reason_of(code), path);
}

void sync_dir(const fs::path&) {}  // a folder's entries are written through by MoveFileExW

void replace(const fs::path& from, const fs::path& to) {
    // A reader that opened the target without sharing deletion holds the rename off for a moment.
    DWORD code = 0;
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return;
        code = GetLastError();
        if (code != ERROR_ACCESS_DENIED && code != ERROR_SHARING_VIOLATION) break;
        Sleep(20);
    }
    throw FileError("cannot rename", static_cast<int>(code), reason_of(code), from, to);
}

#else  // POSIX

std::string reason_of(int code) { return std::strerror(code); }

int errno_of(int code) noexcept { return code; }

long long pid() noexcept { return static_cast<long long>(::getpid()); }

bool alive(long long id) noexcept {
    if (id <= 0 || id != static_cast<long long>(static_cast<pid_t>(id))) return false;
    if (::kill(static_cast<pid_t>(id), 0) == 0) return true;
    return errno != ESRCH;  // EPERM: it exists, owned by someone else
}

int open_retrying(const char* path, int flags, mode_t mode = 0) {
    int fd;
    do fd = ::open(path, flags | O_CLOEXEC, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}

void create_exclusive(const fs::path& path, const fs::path& mode_from) {
    const int fd = open_retrying(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (fd < 0) {
        const int code = errno;
        throw FileError("cannot create", code, reason_of(code), path);
    }
    struct stat st {};
    if (::stat(mode_from.c_str(), &st) == 0 && S_ISREG(st.st_mode)) (void)::fchmod(fd, st.st_mode & 07777);
    ::close(fd);
}

void sync(const fs::path& path) {
    const int fd = open_retrying(path.c_str(), O_RDONLY);
    if (fd < 0) {
        const int code = errno;
        throw FileError("cannot open for flushing", code, reason_of(code), path);
    }
    int rc;
    do rc = ::fsync(fd);
    while (rc != 0 && errno == EINTR);
    const int code = rc == 0 ? 0 : errno;
    ::close(fd);
    if (rc != 0) throw FileError("cannot flush", code, reason_of(code), path);
}

void sync_dir(const fs::path& folder) {
    const int fd = open_retrying(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) return;
    (void)::fsync(fd);  // some file systems cannot flush a folder; the rename is done either way
    ::close(fd);
}

void replace(const fs::path& from, const fs::path& to) {
    if (::rename(from.c_str(), to.c_str()) != 0) {
        const int code = errno;
        throw FileError("cannot rename", code, reason_of(code), from, to);
    }
}

#endif

}  // namespace os_calls
// ---------------------------------------------------------------------------------------------

namespace {

// Longest file name kept before the temporary name's own parts (a file system allows 255).
constexpr std::size_t kMaxNameUnits = 200;
constexpr std::size_t kRandomDigits = 12;

std::string random_part() {
    static std::atomic<std::uint64_t> counter{0};
    std::uint64_t bits = 0;
    try {
        std::random_device device;
        bits = (static_cast<std::uint64_t>(device()) << 32) ^ device();
    } catch (...) {
        // no entropy source: the clock and a counter still differ between calls
    }
    bits ^= static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) *
            0x9E3779B97F4A7C15ULL;
    bits ^= counter.fetch_add(1) * 0xBF58476D1CE4E5B9ULL;
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out(kRandomDigits, '0');
    for (std::size_t i = 0; i < kRandomDigits; ++i) out[i] = kHex[(bits >> (4 * i)) & 0xF];
    return out;
}

// The file name, cut to kMaxNameUnits code units without splitting a character.
fs::path::string_type short_name(const fs::path& target) {
    fs::path::string_type name = target.filename().native();
    if (name.size() <= kMaxNameUnits) return name;
    std::size_t cut = kMaxNameUnits;
    if constexpr (sizeof(fs::path::value_type) == 1) {
        while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;  // UTF-8 continuation
    } else {
        if (cut > 0 && name[cut] >= 0xDC00 && name[cut] <= 0xDFFF) --cut;  // UTF-16 low surrogate
    }
    return name.substr(0, cut);
}

bool all_of(std::string_view text, bool (*ok)(char)) {
    return !text.empty() && std::all_of(text.begin(), text.end(), ok);
}
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_hex(char c) { return is_digit(c) || (c >= 'a' && c <= 'f'); }
bool is_alnum(char c) { return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

}  // namespace

std::string FileError::text(const fs::path& path) {
    const auto u8 = path.u8string();
    return std::string(u8.begin(), u8.end());
}

std::string FileError::describe(const std::string& step, const std::string& reason, const fs::path& path,
                                const fs::path& other) {
    std::string out = step + " " + text(path);
    if (!other.empty()) out += " -> " + text(other);
    return out + ": " + reason;
}

int FileError::posix_errno() const noexcept { return os_calls::errno_of(code_); }

long long current_pid() noexcept { return os_calls::pid(); }

bool process_alive(long long pid) noexcept { return os_calls::alive(pid); }

fs::path temp_sibling(const fs::path& target) {
    const std::string tail = "." + std::to_string(current_pid()) + "." + random_part() + ".tmp";
    fs::path::string_type name = fs::path(".").native() + short_name(target) + fs::path(tail).native();
    return target.parent_path() / fs::path(name);
}

fs::path create_temp_sibling(const fs::path& target) {
    for (int attempt = 0;; ++attempt) {
        fs::path temp = temp_sibling(target);
        try {
            os_calls::create_exclusive(temp, target);
            return temp;
        } catch (const FileError& e) {
            if (attempt >= 8 || e.posix_errno() != EEXIST) throw;  // a name taken already: draw again
        }
    }
}

void sync_file(const fs::path& path) { os_calls::sync(path); }

void sync_folder(const fs::path& folder) { os_calls::sync_dir(folder); }

void commit_temp(const fs::path& temp, const fs::path& target) {
    os_calls::sync(temp);
    os_calls::replace(temp, target);
    os_calls::sync_dir(target.parent_path());
}

bool remove_quietly(const fs::path& path) noexcept {
    std::error_code ec;
    return fs::remove(path, ec);
}

std::optional<long long> leftover_owner(std::string_view name) {
    if (name.size() < 2 || name.front() != '.') return std::nullopt;
    std::vector<std::string_view> parts;
    std::size_t start = 1;
    for (;;) {
        const std::size_t dot = name.find('.', start);
        parts.push_back(name.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start));
        if (dot == std::string_view::npos) break;
        start = dot + 1;
    }
    // <name...>.<pid>.<random>.tmp, maybe followed by one short suffix a tool adds (".wal")
    std::size_t k = parts.size();
    if (k >= 1 && parts[k - 1] != "tmp" && parts[k - 1].size() <= 8 && all_of(parts[k - 1], is_alnum)) --k;
    if (k < 4 || parts[k - 1] != "tmp") return std::nullopt;
    const std::string_view random = parts[k - 2], pid = parts[k - 3];
    if (random.size() != kRandomDigits || !all_of(random, is_hex)) return std::nullopt;
    if (pid.size() > 18 || !all_of(pid, is_digit)) return std::nullopt;
    return std::stoll(std::string(pid));
}

std::size_t sweep_leftovers(const fs::path& folder) {
    std::size_t removed = 0;
    std::error_code ec;
    fs::directory_iterator it(folder.empty() ? fs::path(".") : folder, ec), end;
    if (ec) return 0;
    const long long self = current_pid();
    for (; it != end; it.increment(ec)) {
        if (ec) break;
        const auto owner = leftover_owner(FileError::text(it->path().filename()));
        if (!owner || *owner == self || process_alive(*owner)) continue;
        std::error_code rm;
        if (fs::remove_all(it->path(), rm) > 0 && !rm) ++removed;
    }
    return removed;
}

void write_file_atomically(const fs::path& target, std::string_view bytes) {
    const fs::path temp = create_temp_sibling(target);
    try {
        {
            std::ofstream out(temp, std::ios::binary | std::ios::trunc);
            out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
            out.flush();
            if (!out) throw FileError("cannot write", EIO, std::strerror(EIO), temp);
        }
        commit_temp(temp, target);
    } catch (...) {
        remove_quietly(temp);
        throw;
    }
}

}  // namespace lumoreq::core
