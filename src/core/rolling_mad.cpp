#include "core/rolling_mad.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "core/portable.hpp"

namespace lumoreq::core {
namespace {


// The window kept sorted. A new value goes after the values equal to it and a leaving value
// takes the first equal one, so equal values (0.0 and -0.0) keep their arrival order, as in the
// table library's skiplist: the median then has the same bits, sign of zero included.
class SortedWindow {
public:
    // One spare slot before and three after the values: the pairwise loops of replace() may
    // read one place outside and write one place past the end.
    explicit SortedWindow(std::size_t capacity)
        : a_(capacity + 4), b_(capacity + 4), cur_(a_.data() + 1), next_(b_.data() + 1) {}

    void insert(double v) {
        const std::size_t at = static_cast<std::size_t>(std::upper_bound(cur_, cur_ + size_, v) - cur_);
        std::copy_backward(cur_ + at, cur_ + size_, cur_ + size_ + 1);
        cur_[at] = v;
        ++size_;
    }
    void erase(double v) {
        const std::size_t at = static_cast<std::size_t>(std::lower_bound(cur_, cur_ + size_, v) - cur_);
        if (at == size_ || cur_[at] != v) return;
        std::copy(cur_ + at + 1, cur_ + size_, cur_ + at);
        --size_;
    }
    // Insert `in`, then erase `out` (both finite, `out` present) in one branch-free pass: the
    // values between the leaving value's slot and the arriving value's slot move by one place.
    void replace(double out, double in) {
        const double* v = cur_;
        const std::size_t n = size_;
        std::size_t first_out = 0, upto_in = 0;  // lower_bound(out) and upper_bound(in)
        count_below(v, n, out, in, first_out, upto_in);
        const bool rightwards = in >= out;  // then `out` was counted in upto_in
        const std::size_t slot = upto_in - rightwards;
        // Rightwards the block [first_out, slot) takes its right neighbour; leftwards the block
        // (slot, first_out] takes its left neighbour.
        const std::size_t lo = rightwards ? first_out : slot + 1;
        const std::size_t hi = rightwards ? slot : first_out + 1;
        shift_block(v, next_, n, lo, hi, rightwards ? v + 1 : v - 1);
        next_[slot] = in;
        std::swap(cur_, next_);
    }
    const double* data() const { return cur_; }
    std::size_t size() const { return size_; }

private:
    static void count_below(const double* v, std::size_t n, double out, double in, std::size_t& below_out,
                            std::size_t& upto_in) {
        using V = portable::simd::Vec<double>;
        std::size_t i = 0;
        const V o = V::splat(out), w = V::splat(in);
        portable::simd::LaneCounter<double> c_out, c_in;
        for (; i + 2 <= n; i += 2) {
            const V x = V::load(v + i);
            c_out.add(x < o);
            c_in.add(x <= w);
        }
        below_out = static_cast<std::size_t>(c_out.total());
        upto_in = static_cast<std::size_t>(c_in.total());
        for (; i < n; ++i) {
            below_out += v[i] < out;
            upto_in += v[i] <= in;
        }
    }

    // w[i] = neighbour[i] for lo <= i < hi, v[i] elsewhere.
    static void shift_block(const double* v, double* w, std::size_t n, std::size_t lo, std::size_t hi,
                            const double* neighbour) {
        using V = portable::simd::Vec<double>;
        const V lo_d = V::splat(static_cast<double>(lo)), hi_d = V::splat(static_cast<double>(hi));
        const V two = V::splat(2.0);
        V index = V::iota(0.0);
        for (std::size_t i = 0; i < n; i += 2) {  // may write w[n]: a spare slot
            const auto moved = (index >= lo_d) & (index < hi_d);
            portable::simd::select(moved, V::load(neighbour + i), V::load(v + i)).store(w + i);
            index = index + two;
        }
    }

    std::vector<double> a_, b_;
    double* cur_;
    double* next_;
    std::size_t size_ = 0;
};

template <typename T>
T middle_of_sorted(const T* v, std::size_t n) {
    if (n % 2 == 1) return v[n / 2];
    return static_cast<T>((v[n / 2 - 1] + v[n / 2]) / static_cast<T>(2));
}

// The h-th smallest of |v[i] - med| over a sorted run. Along the run the distances fall, then
// rise (rounding is monotone), so the h nearest values form a block of h neighbours and the
// answer is the smallest, over all such blocks, of the larger distance at the block's two ends:
// a branch-free O(n) scan. Distances are never NaN and min/max are exact, so the order of the
// comparisons does not change the result.
double nth_distance(const double* v, std::size_t n, double med, std::size_t h) {
    double best = std::numeric_limits<double>::infinity();
    std::size_t a = 0;
    using V = portable::simd::Vec<double>;
    const V m = V::splat(med);
    V best2 = V::splat(best);
    for (; a + 2 + (h - 1) <= n; a += 2) {
        const V left = portable::simd::abs(V::load(v + a) - m);
        const V right = portable::simd::abs(V::load(v + a + h - 1) - m);
        best2 = portable::simd::min_of(best2, portable::simd::max_of(left, right));
    }
    best = std::min(portable::simd::lane(best2, 0), portable::simd::lane(best2, 1));
    for (; a + h <= n; ++a)
        best = std::min(best, std::max(std::fabs(v[a] - med), std::fabs(v[a + h - 1] - med)));
    return best;
}

// numpy's median of |v - med| over a sorted run.
double distance_median(const double* v, std::size_t n, double med) {
    if (n % 2 == 1) return nth_distance(v, n, med, n / 2 + 1);
    return (nth_distance(v, n, med, n / 2) + nth_distance(v, n, med, n / 2 + 1)) / 2.0;
}

}  // namespace

template <typename T>
void hampel_outliers(const T* x, std::size_t n, std::size_t window, double scale, double factor,
                     Outliers& found) {
    if (window == 0 || window > n) return;  // no complete window: nothing is judged an outlier
    const std::size_t lead = window / 2;   // samples before the judged one in its window
    auto value = [x](std::size_t j) { return static_cast<double>(x[j]); };
    auto judge = [&](std::size_t from, std::size_t to, double med, double mad) {
        const double threshold = factor * mad;
        for (std::size_t i = from; i < to; ++i)
            if (std::fabs(value(i) - med) > threshold) {  // NaN never qualifies
                found.positions.push_back(i);
                found.medians.push_back(med);
            }
    };
    SortedWindow sorted(window);
    std::size_t missing = 0;
    auto add = [&](double v) {
        if (std::isfinite(v)) sorted.insert(v);
        else ++missing;
    };
    auto drop = [&](double v) {
        if (std::isfinite(v)) sorted.erase(v);
        else --missing;
    };
    for (std::size_t j = 0; j < window; ++j) add(value(j));

    // Positions without a complete window wait for the next complete one: they take the last
    // statistics before them (forward fill) or, at the start, the first ones after (back fill).
    bool have_last = false;
    double last_med = 0.0, last_mad = 0.0;
    std::size_t undecided = 0;  // first position not yet judged
    for (std::size_t start = 0;; ++start) {
        if (missing == 0) {
            const double* v = sorted.data();
            const double med = middle_of_sorted(v, window);
            const double mad = distance_median(v, window, med) * scale;
            const std::size_t at = start + lead;
            if (have_last) judge(undecided, at, last_med, last_mad);
            else judge(undecided, at, med, mad);
            judge(at, at + 1, med, mad);
            undecided = at + 1;
            have_last = true;
            last_med = med;
            last_mad = mad;
        }
        if (start + window >= n) break;
        const double in = value(start + window), out = value(start);
        if (std::isfinite(in) && std::isfinite(out)) {
            sorted.replace(out, in);
        } else {
            add(in);  // in before out, as the library's rolling median does
            drop(out);
        }
    }
    if (have_last) judge(undecided, n, last_med, last_mad);
}

template void hampel_outliers<double>(const double*, std::size_t, std::size_t, double, double, Outliers&);
template void hampel_outliers<float>(const float*, std::size_t, std::size_t, double, double, Outliers&);

namespace {

template <typename T>
T scaled_mad_impl(T* work, std::size_t n, T scale) {
    if (n == 0) return std::numeric_limits<T>::quiet_NaN();  // no median of nothing
    for (std::size_t i = 0; i < n; ++i)
        if (std::isnan(work[i])) return std::numeric_limits<T>::quiet_NaN();
    std::sort(work, work + n);
    const T med = middle_of_sorted(work, n);
    for (std::size_t i = 0; i < n; ++i) {
        work[i] = std::fabs(work[i] - med);
        if (std::isnan(work[i])) return std::numeric_limits<T>::quiet_NaN();  // inf - inf
    }
    std::sort(work, work + n);
    return middle_of_sorted(work, n) * scale;
}

}  // namespace

double scaled_mad(double* work, std::size_t n, double scale) { return scaled_mad_impl(work, n, scale); }

float scaled_mad(float* work, std::size_t n, float scale) { return scaled_mad_impl(work, n, scale); }

}  // namespace lumoreq::core
