#include "core/rolling_mad.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace lumoreq::core {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The window kept sorted. A new value goes after the values equal to it and a leaving value
// takes the first equal one, so equal values (0.0 and -0.0) keep their arrival order, as in the
// table library's skiplist: the median then has the same bits, sign of zero included.
class SortedWindow {
public:
    explicit SortedWindow(std::size_t capacity) { values_.reserve(capacity + 1); }

    void insert(double v) { values_.insert(std::upper_bound(values_.begin(), values_.end(), v), v); }
    void erase(double v) {
        auto it = std::lower_bound(values_.begin(), values_.end(), v);
        if (it != values_.end() && *it == v) values_.erase(it);
    }
    const double* data() const { return values_.data(); }
    std::size_t size() const { return values_.size(); }

private:
    std::vector<double> values_;
};

template <typename T>
T middle_of_sorted(const T* v, std::size_t n) {
    if (n % 2 == 1) return v[n / 2];
    return static_cast<T>((v[n / 2 - 1] + v[n / 2]) / static_cast<T>(2));
}

// Median of |v[i] - med| over a sorted run: the distances grow outwards on both sides of the
// first value >= med, so the k-th smallest comes from merging the two sides, O(n) and no sort.
double sorted_distance_median(const double* v, std::size_t n, double med) {
    const std::size_t split = static_cast<std::size_t>(std::lower_bound(v, v + n, med) - v);
    std::size_t left = split, right = split;  // next candidates: v[left - 1] and v[right]
    const std::size_t want_hi = n / 2;         // index of the upper middle distance
    double previous = 0.0, current = 0.0;
    for (std::size_t taken = 0; taken <= want_hi; ++taken) {
        previous = current;
        const bool has_left = left > 0, has_right = right < n;
        const double dl = has_left ? std::fabs(v[left - 1] - med) : 0.0;
        const double dr = has_right ? std::fabs(v[right] - med) : 0.0;
        if (has_left && (!has_right || dl <= dr)) {
            current = dl;
            --left;
        } else {
            current = dr;
            ++right;
        }
    }
    if (n % 2 == 1) return current;
    return (previous + current) / 2.0;
}

}  // namespace

void rolling_median_mad(const double* x, std::size_t n, std::size_t window, double scale,
                        double* median, double* mad) {
    std::fill(median, median + n, kNaN);
    std::fill(mad, mad + n, kNaN);
    if (window == 0 || window > n) return;
    const std::size_t lead = window / 2;  // samples before the judged one in its window
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
    for (std::size_t j = 0; j < window; ++j) add(x[j]);
    for (std::size_t start = 0;; ++start) {
        if (missing == 0) {
            const double* v = sorted.data();
            const double med = middle_of_sorted(v, window);
            median[start + lead] = med;
            mad[start + lead] = sorted_distance_median(v, window, med) * scale;
        }
        if (start + window >= n) break;
        add(x[start + window]);  // in before out, as the library's rolling median does
        drop(x[start]);
    }
}

void fill_forward_backward(double* v, std::size_t n) {
    std::size_t first_valid = n;
    double last = kNaN;
    for (std::size_t i = 0; i < n; ++i) {
        if (std::isnan(v[i])) {
            v[i] = last;
        } else {
            last = v[i];
            if (first_valid == n) first_valid = i;
        }
    }
    if (first_valid < n) std::fill(v, v + first_valid, v[first_valid]);
}

namespace {

template <typename T>
T scaled_mad_impl(T* work, std::size_t n, T scale) {
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
