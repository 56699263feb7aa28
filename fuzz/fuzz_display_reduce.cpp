// libFuzzer target for the display reduction: the kept indices are ascending and in range, keep
// the first and the last drawn sample, both global extremes and a NaN for every NaN gap, and a
// series that already fits is kept whole.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/display_reduce.hpp"

using namespace lumoreq::core;

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

template <typename T>
void check(const std::vector<std::int64_t>& times, const std::vector<T>& values, std::size_t bins) {
    const std::size_t n = times.size();
    const std::vector<std::int64_t> keep = min_max_reduce_indices(times.data(), values.data(), n, bins);
    if (n == 0) {
        if (!keep.empty()) fail("samples kept from nothing");
        return;
    }
    for (std::size_t k = 0; k < keep.size(); ++k) {
        if (keep[k] < 0 || static_cast<std::size_t>(keep[k]) >= n) fail("index out of range");
        if (k > 0 && keep[k] <= keep[k - 1]) fail("indices not ascending");
    }
    std::vector<bool> kept(n, false);
    for (std::int64_t i : keep) kept[static_cast<std::size_t>(i)] = true;
    // The first and the last drawn (non-NaN) samples; a NaN run at either end is one gap and
    // keeps one NaN (checked below), which draws nothing and moves no limit.
    std::size_t first = 0, last = n;
    while (first < n && std::isnan(values[first])) ++first;
    while (last > first && std::isnan(values[last - 1])) --last;
    if (first < n && (!kept[first] || !kept[last - 1])) fail("first or last drawn sample dropped");
    // Global extremes survive (some sample with the extreme value is kept).
    T lo = INFINITY, hi = -INFINITY;
    for (T v : values)
        if (!std::isnan(v)) lo = std::min(lo, v), hi = std::max(hi, v);
    bool lo_kept = std::isinf(lo) && lo > 0, hi_kept = lo_kept;
    for (std::int64_t i : keep) {
        const T v = values[static_cast<std::size_t>(i)];
        lo_kept = lo_kept || v == lo;
        hi_kept = hi_kept || v == hi;
    }
    if (!lo_kept || !hi_kept) fail("global extreme dropped");
    // Every run of NaN keeps at least one NaN.
    for (std::size_t i = 0; i < n;) {
        if (!std::isnan(values[i])) {
            ++i;
            continue;
        }
        bool any = false;
        std::size_t j = i;
        for (; j < n && std::isnan(values[j]); ++j) any = any || kept[j];
        if (!any) fail("NaN gap lost");
        i = j;
    }
    if (n <= bins && keep.size() > n) fail("more kept than given");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const std::size_t bins = 1 + data[0] % 64;
    const bool as_float = data[1] & 1;
    data += 2;
    size -= 2;
    // Each sample: a time step (0..7, or a far jump) and a value from a small alphabet with NaN.
    std::vector<std::int64_t> times;
    std::vector<double> values;
    std::int64_t t = -1000;
    for (std::size_t i = 0; i + 1 < size && times.size() < 2000; i += 2) {
        const std::uint8_t step = data[i], v = data[i + 1];
        t += (step & 0x80) ? (std::int64_t{1} << (step & 0x3F)) % (std::int64_t{1} << 40) : (step & 7);
        times.push_back(t);
        values.push_back(v % 17 == 0   ? NAN
                         : v == 255    ? INFINITY
                         : v == 254    ? -INFINITY
                                       : static_cast<double>(v % 23) - 11);
    }
    if (!times_non_decreasing(times.data(), times.size())) fail("built times decrease");
    (void)modal_time_step(times.data(), times.size());
    if (as_float) {
        std::vector<float> f(values.begin(), values.end());
        check(times, f, bins);
    } else {
        check(times, values, bins);
    }
    return 0;
}
