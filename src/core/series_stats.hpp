// Descriptive statistics of one numeric series (count, min, max, mean, median, sample standard
// deviation) that come out bit for bit as pandas' Series reductions (skipna, no bottleneck) on
// numpy's own arithmetic: the same summation trees (pairwise blocks, and 8192-element chunks
// when numpy casts float32 or int64 to float64 on the fly), the same accumulator and count
// types, the same order of the two-pass variance, and the same NaN results. The chart helpers
// return these numbers in place of five pandas calls; nothing a caller sees may change.
//
// Values are read from a contiguous buffer and never written; the functions hold no state, leave
// the thread's floating-point exception flags as they found them, and are safe to call from
// several threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace lumoreq::core {

// One cheap pass: how many values are not NaN, and the smallest and largest of them (what a
// chart needs to scale an axis). min and max are pandas' Series.min()/max() bit for bit unless
// zero_extreme is set.
template <class T>
struct Summary {
    std::size_t count = 0;  // values that are not NaN
    T min{};                // NaN when count == 0
    T max{};                // NaN when count == 0
    // min or max is a zero while the values hold both +0.0 and -0.0: which of the two numpy's
    // min()/max() returns depends on its scan order, so a caller that needs the exact bits of
    // that zero asks numpy for it.
    bool zero_extreme = false;
};

// T is float or double.
template <class T>
Summary<T> summarize(const T* values, std::size_t n);

// Floating-point exceptions raised by the arithmetic behind one statistic. numpy raises the
// same ones doing the same arithmetic, and answers them (warning, error, callback ...) as its
// error state says, so a caller that must behave exactly like numpy lets numpy recompute a
// statistic whose flags its error state does not ignore.
enum FpFlag : unsigned {
    kFpInvalid = 1u,
    kFpDivideByZero = 2u,
    kFpOverflow = 4u,
    kFpUnderflow = 8u,
};

template <class T>
struct SeriesStats {
    // pandas answers mean, median and std of an integer series in float64, min and max in the
    // series' own type.
    using Real = std::conditional_t<std::is_integral_v<T>, double, T>;

    std::size_t size = 0;   // every value, NaN included
    std::size_t count = 0;  // values that are not NaN
    // Each as pandas computes it, NaN bits included. pandas answers with a plain Python float
    // NaN (not a value of type T) for every statistic when size == 0, and for the mean when
    // count == 0; that choice of type is left to the caller.
    Real mean{};
    Real median{};
    Real std{};
    T min{};
    T max{};
    bool min_sign_unknown = false;  // min is a zero of unknown sign (see Summary::zero_extreme)
    bool max_sign_unknown = false;
    unsigned mean_fp = 0;  // FpFlag bits
    unsigned median_fp = 0;
    unsigned std_fp = 0;
};

// T is float, double or std::int64_t. Reads the values a few times; the median copies only the
// values near the middle of a long series (all of them for a short one, or when the data fool
// its sample).
template <class T>
SeriesStats<T> series_stats(const T* values, std::size_t n);

extern template Summary<float> summarize<float>(const float*, std::size_t);
extern template Summary<double> summarize<double>(const double*, std::size_t);
extern template SeriesStats<float> series_stats<float>(const float*, std::size_t);
extern template SeriesStats<double> series_stats<double>(const double*, std::size_t);
extern template SeriesStats<std::int64_t> series_stats<std::int64_t>(const std::int64_t*, std::size_t);

}  // namespace lumoreq::core
