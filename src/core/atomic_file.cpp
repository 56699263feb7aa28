// Whole-file writes through a temporary sibling, flushed and renamed over the target.
#include "core/atomic_file.hpp"
#include "core/portable.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <random>
#include <system_error>
#include <vector>

namespace lumoreq::core {
namespace os_calls {

namespace os = portable::os;

void create_exclusive(const fs::path& path, const fs::path& mode_from) {
    if (auto st = os::create_exclusive(path, mode_from); !st) throw FileError("cannot create", st.code, st.reason, path);
}

void sync(const fs::path& path) {
    if (auto st = os::sync(path); !st) throw FileError("cannot flush", st.code, st.reason, path);
}

void replace(const fs::path& from, const fs::path& to) {
    if (auto st = os::replace(from, to); !st) throw FileError("cannot rename", st.code, st.reason, from, to);
}

}  // namespace os_calls

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
        const auto unit = static_cast<std::uint32_t>(name[cut]);
        if (cut > 0 && unit >= 0xDC00 && unit <= 0xDFFF) --cut;  // UTF-16 low surrogate
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

int FileError::posix_errno() const noexcept { return portable::os::errno_of(code_); }

int FileError::windows_error() const noexcept { return portable::os::windows_error_of(code_); }

long long current_pid() noexcept { return portable::os::process_id(); }

bool process_alive(long long pid) noexcept { return portable::os::process_alive(pid); }

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
            // A name taken already: draw again. Any other failure is the target's (its folder
            // is missing or not writable), so the error names the target.
            if (attempt < 8 && e.posix_errno() == EEXIST) continue;
            throw FileError("cannot write", e.code(), e.reason(), target);
        }
    }
}

void sync_file(const fs::path& path) { os_calls::sync(path); }

void sync_folder(const fs::path& folder) { portable::os::sync_folder(folder); }

void commit_temp(const fs::path& temp, const fs::path& target) {
    os_calls::sync(temp);
    os_calls::replace(temp, target);
    portable::os::sync_folder(target.parent_path());
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
        // Written and flushed through one handle; the error names the target (the temporary
        // file is removed below, so its name would tell the reader nothing).
        if (auto st = portable::os::write_all(temp, bytes.data(), bytes.size()); !st) {
            const std::string_view call = st.step;
            throw FileError(call == "flush" ? "cannot flush" : "cannot write", st.code, st.reason, target);
        }
        os_calls::replace(temp, target);
        portable::os::sync_folder(target.parent_path());
    } catch (...) {
        remove_quietly(temp);
        throw;
    }
}

}  // namespace lumoreq::core
