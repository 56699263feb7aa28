#include "core/portable.hpp"

#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <string>

#if defined(_WIN32)
#include <locale.h>
#elif defined(__APPLE__)
#include <xlocale.h>
#else
#include <locale.h>
#endif

namespace lumoreq::portable {
namespace {

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }
inline char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool starts_with_word(const char* p, const char* last, const char* word) {
    for (; *word; ++word, ++p)
        if (p == last || lower(*p) != *word) return false;
    return true;
}

// End of the longest prefix of [first, last) that from_chars reads as a number (general
// format), or nullptr when there is none.
const char* number_end(const char* first, const char* last) {
    const char* p = first;
    if (p < last && *p == '-') ++p;
    if (starts_with_word(p, last, "inf")) return p + (starts_with_word(p, last, "infinity") ? 8 : 3);
    if (starts_with_word(p, last, "nan")) {
        p += 3;
        if (p < last && *p == '(') {  // nan(n-char-sequence)
            const char* q = p + 1;
            while (q < last && (is_digit(*q) || (lower(*q) >= 'a' && lower(*q) <= 'z') || *q == '_')) ++q;
            if (q < last && *q == ')') p = q + 1;
        }
        return p;
    }
    std::size_t digits = 0;
    while (p < last && is_digit(*p)) ++p, ++digits;
    if (p < last && *p == '.') {
        ++p;
        while (p < last && is_digit(*p)) ++p, ++digits;
    }
    if (digits == 0) return nullptr;
    if (p < last && (*p == 'e' || *p == 'E')) {
        const char* q = p + 1;
        if (q < last && (*q == '+' || *q == '-')) ++q;
        if (q < last && is_digit(*q)) {
            while (q < last && is_digit(*q)) ++q;
            p = q;
        }
    }
    return p;
}

double strtod_c_locale(const char* text) {
#if defined(_WIN32)
    static const _locale_t c_locale = _create_locale(LC_NUMERIC, "C");
    return _strtod_l(text, nullptr, c_locale);
#else
    static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return strtod_l(text, nullptr, c_locale);
#endif
}

}  // namespace

std::from_chars_result parse_double_c_locale(const char* first, const char* last, double& value) {
    const char* end = number_end(first, last);
    if (end == nullptr) return {first, std::errc::invalid_argument};
    // strtod reads up to a NUL: hand it exactly the number.
    char small[64];
    std::string big;
    const std::size_t n = static_cast<std::size_t>(end - first);
    char* text = small;
    if (n + 1 > sizeof small) {
        big.resize(n + 1);
        text = big.data();
    }
    std::memcpy(text, first, n);
    text[n] = '\0';
    const int saved_errno = errno;
    errno = 0;
    const double v = strtod_c_locale(text);
    const bool range_error = errno == ERANGE;
    errno = saved_errno;
    // Subnormal results are values like any other; only overflow to infinity and underflow
    // to zero are out of range.
    if (range_error && (std::isinf(v) || v == 0)) return {end, std::errc::result_out_of_range};
    value = v;
    return {end, std::errc()};
}

}  // namespace lumoreq::portable

// ---- 7. files and processes ----

#if defined(_WIN32)
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

#include <system_error>

namespace lumoreq::portable::os {

#if defined(_WIN32)

namespace {
Status failed(DWORD code, const char* step = "") {
    return Status{static_cast<int>(code), std::system_category().message(static_cast<int>(code)), step};
}
}  // namespace

int errno_of(int code) noexcept {
    constexpr DWORD kDiskQuotaExceeded = 1295;  // ERROR_DISK_QUOTA_EXCEEDED, missing from mingw-w64's headers
    switch (static_cast<DWORD>(code)) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME: return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_CURRENT_DIRECTORY:
        case ERROR_NETWORK_ACCESS_DENIED: return EACCES;
        case ERROR_WRITE_PROTECT: return EROFS;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS: return EEXIST;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
        case kDiskQuotaExceeded: return ENOSPC;  // the C runtime has no EDQUOT
        case ERROR_FILE_TOO_LARGE: return EFBIG;
        case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
        case ERROR_DIRECTORY: return ENOTDIR;
        case ERROR_DIR_NOT_EMPTY: return ENOTEMPTY;
        case ERROR_NOT_SAME_DEVICE: return EXDEV;
        case ERROR_INVALID_NAME:
        case ERROR_BAD_PATHNAME:
        case ERROR_INVALID_PARAMETER: return EINVAL;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY: return ENOMEM;
        case ERROR_TOO_MANY_OPEN_FILES: return EMFILE;
        default: return EIO;
    }
}

int windows_error_of(int code) noexcept { return code; }

long long process_id() noexcept { return static_cast<long long>(GetCurrentProcessId()); }

bool process_alive(long long id) noexcept {
    if (id <= 0 || id > 0xFFFFFFFFLL) return false;
    HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(id));
    if (h == nullptr) return GetLastError() != ERROR_INVALID_PARAMETER;  // denied: it exists
    DWORD status = 0;
    const bool running = GetExitCodeProcess(h, &status) && status == STILL_ACTIVE;
    CloseHandle(h);
    return running;
}

Status create_exclusive(const std::filesystem::path& path, const std::filesystem::path& /*mode_from*/) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return failed(GetLastError());
    CloseHandle(h);
    return {};
}

Status write_all(const std::filesystem::path& path, const char* bytes, std::size_t size) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, TRUNCATE_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return failed(GetLastError(), "open");
    Status status;
    while (size > 0 && status) {
        const DWORD part = static_cast<DWORD>(size < (DWORD{1} << 30) ? size : (DWORD{1} << 30));
        DWORD done = 0;
        if (!WriteFile(h, bytes, part, &done, nullptr)) {
            status = failed(GetLastError(), "write");
        } else if (done == 0) {
            status = failed(ERROR_DISK_FULL, "write");  // nothing taken and no reason given
        } else {
            bytes += done;
            size -= done;
        }
    }
    if (status && !FlushFileBuffers(h)) status = failed(GetLastError(), "flush");
    if (!CloseHandle(h) && status) status = failed(GetLastError(), "close");
    return status;
}

Status sync(const std::filesystem::path& path) {
    // FILE_FLAG_BACKUP_SEMANTICS lets a folder be opened too
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return failed(GetLastError());
    const BOOL ok = FlushFileBuffers(h);
    const DWORD code = ok ? 0 : GetLastError();
    CloseHandle(h);
    return ok ? Status{} : failed(code);
}

void sync_folder(const std::filesystem::path&) noexcept {}  // MoveFileExW writes the entry through

Status replace(const std::filesystem::path& from, const std::filesystem::path& to) {
    // A reader that opened the target without sharing deletion holds the rename off for a moment.
    DWORD code = 0;
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return {};
        code = GetLastError();
        if (code != ERROR_ACCESS_DENIED && code != ERROR_SHARING_VIOLATION) break;
        Sleep(20);
    }
    return failed(code);
}

#else  // POSIX

namespace {
Status failed(int code, const char* step = "") { return Status{code, std::strerror(code), step}; }

int open_retrying(const char* path, int flags, mode_t mode = 0) {
    int fd;
    do fd = ::open(path, flags | O_CLOEXEC, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}
}  // namespace

int errno_of(int code) noexcept { return code; }

int windows_error_of(int) noexcept { return 0; }

long long process_id() noexcept { return static_cast<long long>(::getpid()); }

bool process_alive(long long id) noexcept {
    if (id <= 0 || id != static_cast<long long>(static_cast<pid_t>(id))) return false;
    if (::kill(static_cast<pid_t>(id), 0) == 0) return true;
    return errno != ESRCH;  // EPERM: it exists, owned by someone else
}

Status create_exclusive(const std::filesystem::path& path, const std::filesystem::path& mode_from) {
    const int fd = open_retrying(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (fd < 0) return failed(errno);
    struct stat st {};
    if (::stat(mode_from.c_str(), &st) == 0 && S_ISREG(st.st_mode)) (void)::fchmod(fd, st.st_mode & 07777);
    ::close(fd);
    return {};
}

Status write_all(const std::filesystem::path& path, const char* bytes, std::size_t size) {
    const int fd = open_retrying(path.c_str(), O_WRONLY | O_TRUNC);
    if (fd < 0) return failed(errno, "open");
    Status status;
    while (size > 0 && status) {
        // (a size limit (RLIMIT_FSIZE) gives EFBIG here when SIGXFSZ is ignored)
        const ssize_t done = ::write(fd, bytes, size < (std::size_t{1} << 30) ? size : (std::size_t{1} << 30));
        if (done < 0) {
            if (errno != EINTR) status = failed(errno, "write");
        } else if (done == 0) {
            status = failed(ENOSPC, "write");  // nothing taken and no reason given
        } else {
            bytes += done;
            size -= static_cast<std::size_t>(done);
        }
    }
    if (status) {
        int rc;
        do rc = ::fsync(fd);
        while (rc != 0 && errno == EINTR);
        if (rc != 0) status = failed(errno, "flush");  // a network file system reports ENOSPC/EDQUOT here
    }
    // close is not retried after EINTR (the descriptor is gone on Linux); its error still counts
    if (::close(fd) != 0 && status && errno != EINTR) status = failed(errno, "close");
    return status;
}

Status sync(const std::filesystem::path& path) {
    const int fd = open_retrying(path.c_str(), O_RDONLY);
    if (fd < 0) return failed(errno);
    int rc;
    do rc = ::fsync(fd);
    while (rc != 0 && errno == EINTR);
    const int code = rc == 0 ? 0 : errno;
    ::close(fd);
    return rc == 0 ? Status{} : failed(code);
}

void sync_folder(const std::filesystem::path& folder) noexcept {
    const int fd = open_retrying(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) return;
    (void)::fsync(fd);  // some file systems cannot flush a folder; the rename is done either way
    ::close(fd);
}

Status replace(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (::rename(from.c_str(), to.c_str()) != 0) return failed(errno);
    return {};
}

#endif

}  // namespace lumoreq::portable::os
