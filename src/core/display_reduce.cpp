#include "core/display_reduce.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <unordered_map>

namespace lumoreq::core {
namespace {

constexpr std::int64_t kNaT = std::numeric_limits<std::int64_t>::min();

// The samples of one unbroken run inside one column.
struct RunCorners {
    std::int64_t first = -1, last = -1, lo = -1, hi = -1;
    bool open() const { return first >= 0; }
};

template <typename T>
void flush(RunCorners& run, std::vector<std::int64_t>& out) {
    if (!run.open()) return;
    std::int64_t picks[4] = {run.first, run.lo, run.hi, run.last};
    std::sort(picks, picks + 4);
    for (std::int64_t p : picks)
        if (out.empty() || out.back() != p) out.push_back(p);
    run = RunCorners{};
}

}  // namespace

bool times_non_decreasing(const std::int64_t* times, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        if (times[i] == kNaT) return false;
        if (i > 0 && times[i] < times[i - 1]) return false;
    }
    return true;
}

template <typename T>
std::vector<std::int64_t> min_max_reduce_indices(const std::int64_t* times, const T* values, std::size_t n,
                                                 std::size_t bins) {
    std::vector<std::int64_t> out;
    if (n == 0) return out;
    if (bins == 0) bins = 1;
    out.reserve(std::min<std::size_t>(n, 4 * bins + 16));

    const long double t0 = static_cast<long double>(times[0]);
    const long double span = static_cast<long double>(times[n - 1]) - t0;
    const long double per_bin = span > 0 ? span / static_cast<long double>(bins) : 1.0L;

    RunCorners run;
    std::size_t run_bin = 0;
    bool in_gap = false;
    for (std::size_t i = 0; i < n; ++i) {
        const T v = values[i];
        if (std::isnan(v)) {
            // One NaN per gap is enough to break the line where the full series breaks it.
            flush<T>(run, out);
            if (!in_gap) out.push_back(static_cast<std::int64_t>(i));
            in_gap = true;
            continue;
        }
        in_gap = false;
        std::size_t bin = 0;
        if (span > 0) {
            const long double pos = (static_cast<long double>(times[i]) - t0) / per_bin;
            bin = pos >= static_cast<long double>(bins) ? bins - 1 : static_cast<std::size_t>(pos);
        }
        if (run.open() && bin != run_bin) flush<T>(run, out);
        const auto idx = static_cast<std::int64_t>(i);
        if (!run.open()) {
            run.first = run.last = run.lo = run.hi = idx;
            run_bin = bin;
            continue;
        }
        run.last = idx;
        if (v < values[run.lo]) run.lo = idx;
        if (v > values[run.hi]) run.hi = idx;
    }
    flush<T>(run, out);
    return out;
}

template std::vector<std::int64_t> min_max_reduce_indices<float>(const std::int64_t*, const float*, std::size_t,
                                                                 std::size_t);
template std::vector<std::int64_t> min_max_reduce_indices<double>(const std::int64_t*, const double*,
                                                                  std::size_t, std::size_t);

ModalStep modal_time_step(const std::int64_t* times, std::size_t n) {
    ModalStep result;
    if (n < 2) return result;
    // Count per step, remembering where each step first appeared so ties go to the earliest.
    struct Seen {
        std::size_t count;
        std::size_t first;
    };
    std::unordered_map<std::int64_t, Seen> counts;
    std::size_t order = 0;
    for (std::size_t i = 1; i < n; ++i) {
        if (times[i] == kNaT || times[i - 1] == kNaT) continue;
        const std::int64_t d = static_cast<std::int64_t>(static_cast<std::uint64_t>(times[i]) -
                                                         static_cast<std::uint64_t>(times[i - 1]));
        auto [it, inserted] = counts.try_emplace(d, Seen{0, order});
        if (inserted) ++order;
        ++it->second.count;
        ++result.count;
    }
    std::size_t best_count = 0, best_first = 0;
    for (const auto& [step, seen] : counts) {
        if (seen.count > best_count || (seen.count == best_count && seen.first < best_first)) {
            best_count = seen.count;
            best_first = seen.first;
            result.step = step;
        }
    }
    return result;
}

}  // namespace lumoreq::core
