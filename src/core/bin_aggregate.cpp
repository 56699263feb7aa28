#include "core/bin_aggregate.hpp"

#include <cmath>
#include <limits>
#include <vector>

namespace lumoreq::core {
namespace {

// The bin of one time stamp (floor division), or -1 when it lies outside.
inline std::int64_t bin_of(std::int64_t stamp, std::int64_t origin, std::int64_t width, std::size_t bins) {
    if (stamp < origin) return -1;
    // stamp >= origin: the difference fits an unsigned 64-bit number, and its quotient is the floor
    const std::uint64_t k = (static_cast<std::uint64_t>(stamp) - static_cast<std::uint64_t>(origin)) /
                            static_cast<std::uint64_t>(width);
    return k < bins ? static_cast<std::int64_t>(k) : -1;
}

}  // namespace

template <class T>
void bin_reduce(const std::int64_t* stamps, const T* values, std::size_t n, std::int64_t origin,
                std::int64_t width, std::size_t bins, BinReduce how, T* out) {
    const T nan = std::numeric_limits<T>::quiet_NaN();
    std::vector<std::int64_t> nobs(bins, 0);
    if (how == BinReduce::Mean || how == BinReduce::Sum) {
        std::vector<T> sum(bins, T(0)), compensation(bins, T(0));
        for (std::size_t i = 0; i < n; ++i) {
            const std::int64_t k = bin_of(stamps[i], origin, width, bins);
            const T value = values[i];
            if (k < 0 || value != value) continue;
            ++nobs[k];
            // the resampler's compensated sum, operation for operation
            const T y = value - compensation[k];
            const T t = sum[k] + y;
            compensation[k] = t - sum[k] - y;
            // An infinity (given, or reached by overflow) leaves a compensation that would turn
            // the sum into NaN: the mean resets a NaN one, the sum any that is not finite.
            if (how == BinReduce::Sum ? !std::isfinite(compensation[k]) : compensation[k] != compensation[k])
                compensation[k] = T(0);
            sum[k] = t;
        }
        for (std::size_t k = 0; k < bins; ++k) {
            if (how == BinReduce::Sum)
                out[k] = sum[k];
            else
                out[k] = nobs[k] == 0 ? nan : sum[k] / static_cast<T>(nobs[k]);
        }
        return;
    }
    const bool maximum = how == BinReduce::Max;
    const T start = maximum ? -std::numeric_limits<T>::infinity() : std::numeric_limits<T>::infinity();
    std::vector<T> best(bins, start);
    for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t k = bin_of(stamps[i], origin, width, bins);
        const T value = values[i];
        if (k < 0 || value != value) continue;
        ++nobs[k];
        if (maximum ? value > best[k] : value < best[k]) best[k] = value;
    }
    for (std::size_t k = 0; k < bins; ++k) out[k] = nobs[k] == 0 ? nan : best[k];
}

template void bin_reduce<float>(const std::int64_t*, const float*, std::size_t, std::int64_t, std::int64_t,
                                std::size_t, BinReduce, float*);
template void bin_reduce<double>(const std::int64_t*, const double*, std::size_t, std::int64_t, std::int64_t,
                                 std::size_t, BinReduce, double*);

}  // namespace lumoreq::core
