#include "core/display_reduce.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <unordered_map>

#include "core/portable.hpp"

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

    // Column of a sample: floor((t - t0) * bins / span), capped at the last column. The times
    // never decrease, so the column only changes at the next edge, the first offset whose
    // column is higher; exact 128-bit arithmetic is needed only there, once per column.
    const std::int64_t t0 = times[0];
    const auto span = static_cast<std::uint64_t>(times[n - 1]) - static_cast<std::uint64_t>(t0);
    auto column_of = [&](std::uint64_t offset) -> std::size_t {
        const auto c = static_cast<std::size_t>(portable::mul_div_floor(offset, bins, span));
        return c >= bins ? bins - 1 : c;
    };
    // Smallest offset of column c + 1 (the offset that starts it): ceil((c + 1) * span / bins).
    auto edge_after = [&](std::size_t c) -> std::uint64_t {
        if (c + 1 >= bins) return std::numeric_limits<std::uint64_t>::max();
        return portable::mul_div_ceil(c + 1, span, bins);
    };

    RunCorners run;
    std::size_t column = 0;
    std::uint64_t next_edge = span > 0 ? edge_after(0) : std::numeric_limits<std::uint64_t>::max();
    bool in_gap = false;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t offset = static_cast<std::uint64_t>(times[i]) - static_cast<std::uint64_t>(t0);
        if (offset >= next_edge) {
            column = column_of(offset);
            next_edge = edge_after(column);
            flush<T>(run, out);
        }
        const T v = values[i];
        if (std::isnan(v)) {
            // One NaN per gap is enough to break the line where the full series breaks it.
            flush<T>(run, out);
            if (!in_gap) out.push_back(static_cast<std::int64_t>(i));
            in_gap = true;
            continue;
        }
        in_gap = false;
        const auto idx = static_cast<std::int64_t>(i);
        if (!run.open()) {
            run.first = run.last = run.lo = run.hi = idx;
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
