#include "core/series_stats.hpp"

#include <algorithm>
#include <bit>
#include <cfenv>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "core/portable.hpp"

LUMOREQ_FENV_ACCESS

namespace lumoreq::core {
namespace {

// numpy's float add.reduce over a run of n values: blocks of at most 128 values are summed with
// eight interleaved accumulators, longer runs are halved (the split a multiple of 8) and the
// halves' sums added. `load(i)` gives the i-th addend already in the accumulator type.
constexpr std::size_t kPairwiseBlock = 128;

template <class Acc, class Load>
Acc pairwise_sum(const Load& load, std::size_t begin, std::size_t n) {
    if (n < 8) {
        Acc res = -0.0;
        for (std::size_t i = 0; i < n; ++i) res += load(begin + i);
        return res;
    }
    if (n <= kPairwiseBlock) {
        Acc r[8];
        for (std::size_t j = 0; j < 8; ++j) r[j] = load(begin + j);
        std::size_t i = 8;
        for (; i < n - n % 8; i += 8)
            for (std::size_t j = 0; j < 8; ++j) r[j] += load(begin + i + j);
        Acc res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) res += load(begin + i);
        return res;
    }
    std::size_t n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise_sum<Acc>(load, begin, n2) + pairwise_sum<Acc>(load, begin + n2, n - n2);
}

// A whole-array sum that needs no cast: one pairwise run added to the identity 0.
template <class Acc, class Load>
Acc whole_sum(const Load& load, std::size_t n) {
    Acc acc = 0;
    acc += pairwise_sum<Acc>(load, 0, n);
    return acc;
}

// A sum that casts as it goes (float32 or int64 summed as float64): numpy converts the values
// through a buffer of this many elements and adds one pairwise run per buffer, in order.
constexpr std::size_t kCastBuffer = 8192;

template <class Acc, class Load>
Acc buffered_sum(const Load& load, std::size_t n) {
    Acc acc = 0;
    for (std::size_t begin = 0; begin < n; begin += kCastBuffer)
        acc += pairwise_sum<Acc>(load, begin, std::min(kCastBuffer, n - begin));
    return acc;
}

// numpy squares into an array and sums it afterwards, so every square is rounded on its own.
// Where the compiler may fuse a multiply with the following add, keep the product apart.
inline double rounded_square(double d) {
    return portable::rounded(d * d);
}

template <class T>
bool is_nan(T v) {
    if constexpr (std::is_floating_point_v<T>)
        return v != v;
    else
        return false;
}

// Order statistics on the values' bit patterns, mapped to unsigned keys that sort as the
// values do (-0.0 just below +0.0, which numpy's median cannot tell apart: its sum from 0
// makes either zero +0.0). A long series is read once more after a small sample has bracketed
// the wanted ranks; only the values inside the bracket are copied, and narrowed by radix
// histograms of 16 key bits at a time. Nothing is sorted in full.
template <class T>
struct SortKey {
    using U = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;
    static constexpr U kSign = U(1) << (sizeof(U) * 8 - 1);
    static U of(T v) {
        const U b = std::bit_cast<U>(v);
        return (b & kSign) ? ~b : (b | kSign);
    }
    static T value(U k) { return std::bit_cast<T>((k & kSign) ? (k & ~kSign) : ~k); }
};

constexpr unsigned kRadixBits = 16;
constexpr std::size_t kRadixBuckets = std::size_t{1} << kRadixBits;
constexpr std::size_t kSmallSelection = std::size_t{1} << 14;  // selected directly below this
constexpr std::size_t kSampleFrom = std::size_t{1} << 17;      // bracket by a sample from here on
constexpr std::size_t kSampleSize = std::size_t{1} << 14;

struct RankBuckets {
    std::size_t lo = 0, hi = 0;  // buckets holding ranks lo and hi
    std::size_t below = 0;       // keys in buckets before `lo`
};

RankBuckets locate_ranks(const std::vector<std::size_t>& hist, std::size_t lo, std::size_t hi) {
    RankBuckets b;
    std::size_t cum = 0;
    bool lo_found = false;
    for (std::size_t i = 0; i < hist.size(); ++i) {
        if (!lo_found && cum + hist[i] > lo) {
            b.lo = i;
            b.below = cum;
            lo_found = true;
        }
        if (cum + hist[i] > hi) {
            b.hi = i;
            break;
        }
        cum += hist[i];
    }
    return b;
}

// The keys of ranks lo and hi (hi == lo or lo + 1; 0-based, ascending, both below the size)
// among `keys`, which it reorders and shrinks.
template <class U>
std::pair<U, U> select_in_keys(std::vector<U>& keys, std::size_t lo, std::size_t hi) {
    std::vector<std::size_t> hist;
    // The first digit is a key's top 16 bits; later digits are read only among keys that share
    // every digit above.
    for (unsigned shift = sizeof(U) * 8 - kRadixBits; keys.size() > kSmallSelection; shift -= kRadixBits) {
        auto digit = [shift](U k) { return static_cast<std::size_t>((k >> shift) & (kRadixBuckets - 1)); };
        hist.assign(kRadixBuckets, 0);
        for (U k : keys) ++hist[digit(k)];
        const RankBuckets b = locate_ranks(hist, lo, hi);
        if (b.lo != b.hi) {
            // Ranks in two buckets: the lower one is its bucket's largest key, the upper one
            // the smallest of its own.
            U lo_key = 0, hi_key = ~U(0);
            for (U k : keys) {
                const std::size_t d = digit(k);
                if (d == b.lo) lo_key = std::max(lo_key, k);
                if (d == b.hi) hi_key = std::min(hi_key, k);
            }
            return {lo_key, hi_key};
        }
        if (hist[b.lo] != keys.size())
            keys.erase(std::remove_if(keys.begin(), keys.end(), [&](U k) { return digit(k) != b.lo; }),
                       keys.end());
        lo -= b.below;
        hi -= b.below;
        if (shift == 0) break;  // every key left is the same
    }
    std::nth_element(keys.begin(), keys.begin() + static_cast<std::ptrdiff_t>(hi), keys.end());
    const U hi_key = keys[hi];
    const U lo_key =
        lo < hi ? *std::max_element(keys.begin(), keys.begin() + static_cast<std::ptrdiff_t>(hi)) : hi_key;
    return {lo_key, hi_key};
}

// The values of ranks lo and hi (hi == lo or lo + 1; 0-based, ascending) among the `count`
// non-NaN values get(0) .. get(n - 1); both ranks must be below `count`.
template <class T, class Get>
std::pair<T, T> select_ranks(const Get& get, std::size_t n, std::size_t count, std::size_t lo,
                             std::size_t hi) {
    using Key = SortKey<T>;
    using U = typename Key::U;
    std::vector<U> keys;
    if (count >= kSampleFrom) {
        // An evenly spaced sample brackets the ranks with a margin of four standard errors of
        // a sample quantile; one pass then counts the values below the bracket and keeps those
        // inside. An unlucky sample (checked, not assumed) falls back to all values.
        std::vector<T> sample;
        sample.reserve(kSampleSize);
        const std::size_t stride = n / kSampleSize;
        for (std::size_t i = 0; i < kSampleSize; ++i) {
            const T v = get(i * stride);
            if (v == v) sample.push_back(v);
        }
        if (sample.size() >= kSampleSize / 4) {
            const double s = static_cast<double>(sample.size());
            const double margin = 2.0 * std::sqrt(s) + 8.0;
            const double at_lo = static_cast<double>(lo) / static_cast<double>(count) * s - margin;
            const double at_hi = static_cast<double>(hi) / static_cast<double>(count) * s + margin + 1.0;
            auto sample_rank = [&](double at) {
                const auto it = sample.begin() + static_cast<std::ptrdiff_t>(at);
                std::nth_element(sample.begin(), it, sample.end());
                return *it;
            };
            const T from = at_lo < 0 ? -std::numeric_limits<T>::infinity() : sample_rank(at_lo);
            const T to = at_hi >= s ? std::numeric_limits<T>::infinity() : sample_rank(at_hi);
            // Keys inside the bracket are those whose distance above `first` is at most `span`
            // (one unsigned compare, one well-predicted branch); NaN keys lie beyond the keys
            // of both infinities, so never inside.
            // (The two bounds may be zeros of either sign, equal as numbers but not as keys.)
            const U first = std::min(Key::of(from), Key::of(to));
            const U span = std::max(Key::of(from), Key::of(to)) - first;
            std::size_t below = 0;
            const double expected = (at_hi - at_lo) / s * static_cast<double>(count);
            keys.reserve(static_cast<std::size_t>(expected * 1.5) + 64);
            // Blocks are counted branch-free; only those holding bracketed keys are read again.
            constexpr std::size_t kBlock = 1024;
            for (std::size_t begin = 0; begin < n; begin += kBlock) {
                const std::size_t end = std::min(n, begin + kBlock);
                std::uint32_t block_below = 0, block_inside = 0;
                for (std::size_t i = begin; i < end; ++i) {
                    const T v = get(i);
                    const U k = Key::of(v);
                    block_below += (v == v) & (k < first);
                    block_inside += U(k - first) <= span;
                }
                below += block_below;
                if (block_inside == 0) continue;
                for (std::size_t i = begin; i < end; ++i) {
                    const U k = Key::of(get(i));
                    if (U(k - first) <= span) keys.push_back(k);
                }
            }
            if (below <= lo && below + keys.size() > hi) {
                const auto [a, b] = select_in_keys(keys, lo - below, hi - below);
                return {Key::value(a), Key::value(b)};
            }
            keys.clear();
        }
    }
    keys.reserve(count);
    for (std::size_t i = 0; i < n; ++i) {
        const T v = get(i);
        if (v == v) keys.push_back(Key::of(v));
    }
    const auto [a, b] = select_in_keys(keys, lo, hi);
    return {Key::value(a), Key::value(b)};
}

// Runs `compute` with the exception flags cleared, stores its result, and answers the flags
// it raised. The barrier makes the result exist before the flags are read (the compiler does
// not treat the flags as something the arithmetic writes).
template <class R, class F>
unsigned fp_flags_of(R& result, const F& compute) {
    std::feclearexcept(FE_ALL_EXCEPT);
    result = compute();
    portable::computed_before_here(result);
    const int raised = std::fetestexcept(FE_ALL_EXCEPT);
    unsigned flags = 0;
    if (raised & FE_INVALID) flags |= kFpInvalid;
    if (raised & FE_DIVBYZERO) flags |= kFpDivideByZero;
    if (raised & FE_OVERFLOW) flags |= kFpOverflow;
    if (raised & FE_UNDERFLOW) flags |= kFpUnderflow;
    return flags;
}

// numpy's median of the `count` non-NaN values among get(0 .. n - 1): the middle one, or the
// two middle ones, selected, then their mean, which sums them in Real (from 0, pairwise) and
// divides the sum by the element count as float64 before casting back. Only that mean's
// arithmetic can raise flags numpy reports; the empty case (0 / 0) numpy answers quietly.
template <class Real, class Get>
Real median_of(const Get& get, std::size_t n, std::size_t count, unsigned& fp) {
    if (count == 0) {
        // The mean of an empty slice, 0 / 0 at run time: the platform's default NaN.
        volatile double zero = 0.0;
        return static_cast<Real>(zero / zero);
    }
    const std::size_t k = count / 2;
    const std::size_t taken = count % 2 == 1 ? 1 : 2;
    const auto [low, high] = select_ranks<Real>(get, n, count, taken == 1 ? k : k - 1, k);
    const Real middle[2] = {taken == 1 ? high : low, high};
    Real median;
    fp = fp_flags_of(median, [&] {
        const Real sum = whole_sum<Real>([&](std::size_t i) { return middle[i]; }, taken);
        return static_cast<Real>(static_cast<double>(sum) / static_cast<double>(taken));
    });
    return median;
}

// The caller's exception flags are put back on the way out.
class KeepFpFlags {
public:
    KeepFpFlags() { std::fegetexceptflag(&saved_, FE_ALL_EXCEPT); }
    ~KeepFpFlags() { std::fesetexceptflag(&saved_, FE_ALL_EXCEPT); }
    KeepFpFlags(const KeepFpFlags&) = delete;
    KeepFpFlags& operator=(const KeepFpFlags&) = delete;

private:
    std::fexcept_t saved_;
};

}  // namespace

template <class T>
Summary<T> summarize(const T* values, std::size_t n) {
    KeepFpFlags keep;  // comparing with NaN raises "invalid"
    // 16-byte vectors of values, with per-lane counts: the compare-and-select below stays
    // branch-free, which matters on a trending series, where new extremes come often and at
    // random. NaN compares false and is skipped throughout.
    using V = portable::simd::Vec<T>;
    constexpr std::size_t kLanes = V::kLanes;
    constexpr std::size_t kBlock = 4096;  // lane counters cannot overflow within a block
    const T inf = std::numeric_limits<T>::infinity();
    V lo = V::splat(inf), hi = V::splat(-inf);
    std::size_t count = 0;
    std::size_t i = 0;
    while (n - i >= kLanes) {
        const std::size_t end = i + std::min(kBlock, (n - i) / kLanes * kLanes);
        portable::simd::LaneCounter<T> present;
        for (; i < end; i += kLanes) {
            const V v = V::load(values + i);
            lo = portable::simd::min_of(v, lo);  // v < lo ? v : lo
            hi = portable::simd::max_of(v, hi);  // v > hi ? v : hi
            present.add(v == v);
        }
        count += static_cast<std::size_t>(present.total());
    }
    T lo_all = inf, hi_all = -inf;
    for (std::size_t j = 0; j < kLanes; ++j) {
        const T lo_j = portable::simd::lane(lo, j), hi_j = portable::simd::lane(hi, j);
        lo_all = lo_j < lo_all ? lo_j : lo_all;
        hi_all = hi_j > hi_all ? hi_j : hi_all;
    }
    for (; i < n; ++i) {
        const T v = values[i];
        count += (v == v);
        lo_all = v < lo_all ? v : lo_all;
        hi_all = v > hi_all ? v : hi_all;
    }
    Summary<T> s;
    s.count = count;
    if (count == 0) {
        s.min = s.max = std::numeric_limits<T>::quiet_NaN();
        return s;
    }
    s.min = lo_all;
    s.max = hi_all;
    if (lo_all == 0 || hi_all == 0) {
        // A zero extreme (rare): its sign is known only if the zeros all have one sign.
        bool pos_zero = false, neg_zero = false;
        for (std::size_t k = 0; k < n && !(pos_zero && neg_zero); ++k)
            if (values[k] == 0) (std::signbit(values[k]) ? neg_zero : pos_zero) = true;
        s.zero_extreme = pos_zero && neg_zero;
    }
    return s;
}

template <class T>
SeriesStats<T> series_stats(const T* values, std::size_t n) {
    using Real = typename SeriesStats<T>::Real;
    SeriesStats<T> st;
    st.size = n;
    if (n == 0) return st;
    KeepFpFlags keep;

    if constexpr (std::is_integral_v<T>) {
        st.count = n;
        st.min = *std::min_element(values, values + n);
        st.max = *std::max_element(values, values + n);
        const auto as_double = [&](std::size_t i) { return static_cast<double>(values[i]); };
        const double count = static_cast<double>(n);
        // Mean: float64 sum through the cast buffer, float64 count.
        st.mean_fp = fp_flags_of(st.mean, [&] { return buffered_sum<double>(as_double, n) / count; });
        // Variance: the values are converted to a float64 array first, then summed whole; at
        // most one value makes both the count and the divisor NaN.
        st.std_fp = fp_flags_of(st.std, [&] {
            double cnt = count, d = count - 1.0;
            if (count <= 1.0) cnt = d = std::numeric_limits<double>::quiet_NaN();
            const double avg = whole_sum<double>(as_double, n) / cnt;
            const double sq =
                whole_sum<double>([&](std::size_t i) { return rounded_square(avg - as_double(i)); }, n);
            return std::sqrt(sq / d);
        });
        st.median = median_of<double>(as_double, n, n, st.median_fp);
        return st;
    } else {
        const Summary<T> s = summarize(values, n);
        st.count = s.count;
        st.min = s.min;
        st.max = s.max;
        st.min_sign_unknown = s.zero_extreme && s.min == 0;
        st.max_sign_unknown = s.zero_extreme && s.max == 0;

        // NaN takes part as +0.0 (pandas fills it before summing), so the summation tree keeps
        // numpy's shape.
        const auto filled = [&](std::size_t i) { return is_nan(values[i]) ? T(0) : values[i]; };
        const auto filled_wide = [&](std::size_t i) { return static_cast<double>(filled(i)); };
        const T count = static_cast<T>(static_cast<std::int64_t>(s.count));

        // Mean: summed and divided in the series' own type, the count cast to that type too.
        T own_sum;
        const unsigned own_sum_fp = fp_flags_of(own_sum, [&] { return whole_sum<T>(filled, n); });
        if (s.count > 0)
            st.mean_fp = own_sum_fp | fp_flags_of(st.mean, [&] { return static_cast<T>(own_sum / count); });
        else
            st.mean = std::numeric_limits<T>::quiet_NaN();

        // Variance, two passes in float64: the mean (for a float64 series the very sum above,
        // which pandas computes twice with the same flags), then the sum of squared
        // deviations; the divisor count - 1 is formed in the series' own type and is NaN (as
        // is the count) when at most one value is present. The float64 result is cast back to
        // T before the square root.
        double wide_sum;
        unsigned wide_sum_fp;
        if constexpr (std::is_same_v<T, float>) {
            wide_sum_fp = fp_flags_of(wide_sum, [&] { return buffered_sum<double>(filled_wide, n); });
        } else {
            wide_sum = own_sum;
            wide_sum_fp = own_sum_fp;
        }
        const auto standard_deviation = [&] {
            T cnt = count, d = count - T(1);
            if (count <= T(1)) cnt = d = std::numeric_limits<T>::quiet_NaN();
            const double avg = wide_sum / static_cast<double>(cnt);
            // pandas squares the deviation of every position, the filled NaN ones too, then
            // zeroes those: their square can still overflow or underflow.
            [[maybe_unused]] volatile double filled_square = 0.0;
            if (s.count < n) filled_square = rounded_square(avg - 0.0);
            const double sq = whole_sum<double>(
                [&](std::size_t i) {
                    return is_nan(values[i]) ? 0.0 : rounded_square(avg - static_cast<double>(values[i]));
                },
                n);
            const T var = static_cast<T>(sq / static_cast<double>(d));
            return std::sqrt(var);
        };
        st.std_fp = wide_sum_fp | fp_flags_of(st.std, standard_deviation);

        st.median = median_of<Real>([&](std::size_t i) { return values[i]; }, n, s.count, st.median_fp);
        return st;
    }
}

template Summary<float> summarize<float>(const float*, std::size_t);
template Summary<double> summarize<double>(const double*, std::size_t);
template SeriesStats<float> series_stats<float>(const float*, std::size_t);
template SeriesStats<double> series_stats<double>(const double*, std::size_t);
template SeriesStats<std::int64_t> series_stats<std::int64_t>(const std::int64_t*, std::size_t);

}  // namespace lumoreq::core
