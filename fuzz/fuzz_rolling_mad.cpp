// libFuzzer target for the Hampel filter statistics: the sliding sorted window must give what
// a naive sort of every window gives (median, MAD, outliers and their medians), and the
// scaled MAD of a whole array what a naive sort gives.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/rolling_mad.hpp"

using namespace lumoreq::core;

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

double median_sorted(const std::vector<double>& v) {
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

struct Stats {
    double med, mad;
};

// The window statistics of every centre with a complete, finite window, by sorting each.
void naive_outliers(const std::vector<double>& x, std::size_t w, double scale, double factor, Outliers& out) {
    const std::size_t n = x.size();
    if (w == 0 || w > n) return;
    const std::size_t lead = w / 2;
    std::vector<bool> has(n, false);
    std::vector<Stats> stats(n);
    for (std::size_t s = 0; s + w <= n; ++s) {
        std::vector<double> v(x.begin() + s, x.begin() + s + w);
        if (!std::all_of(v.begin(), v.end(), [](double d) { return std::isfinite(d); })) continue;
        std::sort(v.begin(), v.end());
        const double med = median_sorted(v);
        std::vector<double> d(w);
        for (std::size_t k = 0; k < w; ++k) d[k] = std::fabs(v[k] - med);
        std::sort(d.begin(), d.end());
        has[s + lead] = true;
        stats[s + lead] = {med, median_sorted(d) * scale};
    }
    // Forward fill, then back fill at the start.
    std::size_t first = n;
    for (std::size_t i = 0; i < n; ++i)
        if (has[i]) {
            first = i;
            break;
        }
    if (first == n) return;
    Stats cur = stats[first];
    for (std::size_t i = 0; i < n; ++i) {
        if (has[i]) cur = stats[i];
        if (std::fabs(x[i] - cur.med) > factor * cur.mad) {
            out.positions.push_back(i);
            out.medians.push_back(cur.med);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const std::size_t window = data[0] % 16;
    const double factor = (data[1] % 8) * 0.5;
    data += 2;
    size -= 2;
    // Values from a small alphabet (so windows hold ties) or raw doubles, NaN and inf included.
    std::vector<double> x;
    for (std::size_t i = 0; i < size && x.size() < 200;) {
        if (data[i] < 0xF0 || i + 8 >= size) {
            x.push_back(static_cast<double>(data[i] % 13) - 6.0);
            i += 1;
        } else {
            double d;
            std::memcpy(&d, data + i + 1, 8);
            x.push_back(d);
            i += 9;
        }
    }
    const double scale = 1.4826;
    Outliers fast, naive;
    hampel_outliers(x.data(), x.size(), window, scale, factor, fast);
    naive_outliers(x, window, scale, factor, naive);
    if (fast.positions != naive.positions) fail("outlier positions differ from the naive windows");
    for (std::size_t k = 0; k < fast.medians.size(); ++k)
        if (std::memcmp(&fast.medians[k], &naive.medians[k], sizeof(double)) != 0 &&
            !(fast.medians[k] == 0 && naive.medians[k] == 0))
            fail("window median differs from the naive sort");

    // The float instantiation runs on the same data without a check of its own.
    std::vector<float> xf(x.begin(), x.end());
    Outliers f;
    hampel_outliers(xf.data(), xf.size(), window, scale, factor, f);

    if (!x.empty()) {
        std::vector<double> work = x;
        const double got = scaled_mad(work.data(), work.size(), 1.0);
        if (std::any_of(x.begin(), x.end(), [](double d) { return std::isnan(d); })) {
            if (!std::isnan(got)) fail("MAD of data with NaN is not NaN");
        } else if (std::all_of(x.begin(), x.end(), [](double d) { return std::isfinite(d); })) {
            std::vector<double> v = x;
            std::sort(v.begin(), v.end());
            const double med = median_sorted(v);
            for (double& d : v) d = std::fabs(d - med);
            std::sort(v.begin(), v.end());
            const double want = median_sorted(v);
            if (!(got == want || (std::isnan(got) && std::isnan(want))))
                fail("scaled MAD differs from the naive sort");
        }
    }
    return 0;
}
