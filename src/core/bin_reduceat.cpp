#include "core/bin_reduceat.hpp"

#include <cmath>
#include <limits>

namespace lumoreq::core {

namespace {

// numpy's pairwise sum of n values converted to Acc (the same blocks, the same order).
template <class Acc, class T>
Acc pairwise_sum(const T* a, std::size_t n) {
    if (n < 8) {
        Acc res = -0.0;  // the identity of addition, so a run of negative zeros stays negative
        for (std::size_t i = 0; i < n; ++i) res += static_cast<Acc>(a[i]);
        return res;
    }
    if (n <= 128) {
        Acc r[8];
        for (std::size_t j = 0; j < 8; ++j) r[j] = static_cast<Acc>(a[j]);
        std::size_t i = 8;
        for (; i < n - (n % 8); i += 8)
            for (std::size_t j = 0; j < 8; ++j) r[j] += static_cast<Acc>(a[i + j]);
        Acc res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) res += static_cast<Acc>(a[i]);
        return res;
    }
    std::size_t n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise_sum<Acc>(a, n2) + pairwise_sum<Acc>(a + n2, n - n2);
}

}  // namespace

template <class T, class Out>
bool bin_reduceat(const std::int64_t* stamps, const T* values, std::size_t n, std::int64_t origin,
                  std::int64_t width, std::size_t bins, BinReduce how, Out* out) {
    const Out empty = how == BinReduce::Sum ? Out(0) : std::numeric_limits<Out>::quiet_NaN();
    for (std::size_t k = 0; k < bins; ++k) out[k] = empty;
    std::size_t s = 0;
    while (s < n) {
        const auto bin = static_cast<std::size_t>((stamps[s] - origin) / width);
        const std::int64_t bin_end = origin + static_cast<std::int64_t>(bin + 1) * width;
        std::size_t e = s + 1;
        while (e < n && stamps[e] < bin_end) ++e;
        if (bin < bins) {
            const std::size_t count = e - s;
            switch (how) {
                case BinReduce::Mean: {
                    const double sum = static_cast<double>(values[s]) + pairwise_sum<double>(values + s + 1, count - 1);
                    out[bin] = static_cast<Out>(sum / static_cast<double>(count));
                    break;
                }
                case BinReduce::Sum:
                    out[bin] = static_cast<Out>(values[s] + pairwise_sum<T>(values + s + 1, count - 1));
                    break;
                case BinReduce::Max:
                case BinReduce::Min: {
                    T best = values[s];
                    bool positive_zero = false, negative_zero = false;
                    for (std::size_t i = s; i < e; ++i) {
                        const T v = values[i];
                        if (v == T(0)) (std::signbit(v) ? negative_zero : positive_zero) = true;
                        if (how == BinReduce::Max ? v > best : v < best) best = v;
                    }
                    if (best == T(0) && positive_zero && negative_zero) return false;
                    out[bin] = static_cast<Out>(best);
                    break;
                }
            }
        }
        s = e;
    }
    return true;
}

template bool bin_reduceat<float, double>(const std::int64_t*, const float*, std::size_t, std::int64_t, std::int64_t,
                                          std::size_t, BinReduce, double*);
template bool bin_reduceat<double, double>(const std::int64_t*, const double*, std::size_t, std::int64_t,
                                           std::int64_t, std::size_t, BinReduce, double*);
template bool bin_reduceat<float, float>(const std::int64_t*, const float*, std::size_t, std::int64_t, std::int64_t,
                                         std::size_t, BinReduce, float*);

}  // namespace lumoreq::core
