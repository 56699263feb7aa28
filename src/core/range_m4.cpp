#include "core/range_m4.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/portable.hpp"

namespace lumoreq::core {
namespace {

constexpr std::int64_t kNaT = std::numeric_limits<std::int64_t>::min();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    std::int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

// Start of the bucket after the one holding `t` (saturating at the largest time).
std::int64_t bucket_end(std::int64_t t, std::int64_t bucket) {
    const std::int64_t start = floor_div(t, bucket) * bucket;
    std::int64_t end = 0;
    if (portable::add_overflow(start, bucket, end)) return std::numeric_limits<std::int64_t>::max();
    return end;
}

bool ordered(const std::int64_t* times, std::size_t n, std::int64_t previous) {
    for (std::size_t i = 0; i < n; ++i) {
        if (times[i] == kNaT || times[i] < previous) return false;
        previous = times[i];
    }
    return true;
}

}  // namespace

// ---- corners of one column or bucket ----

void CornerTracker::reset() {
    open_ = false;
    in_nan_ = false;
    nan_starts_.clear();
}

void CornerTracker::add_nan(std::uint64_t seq) {
    if (!in_nan_) nan_starts_.push_back(seq);
    in_nan_ = true;
}

void CornerTracker::add(std::uint64_t seq, std::int64_t time, double value) {
    in_nan_ = false;
    const KeptSample s{seq, time, value};
    if (!open_) {
        first_ = lo_ = hi_ = last_ = s;
        open_ = true;
        return;
    }
    last_ = s;
    if (value < lo_.value) lo_ = s;  // strict: the earliest of equal extremes stays
    if (value > hi_.value) hi_ = s;
}

int CornerTracker::corners(KeptSample out[4], unsigned& gaps) const {
    gaps = 0;
    if (!open_) {
        if (!nan_starts_.empty()) gaps = 1;
        return 0;
    }
    KeptSample picks[4] = {first_, lo_, hi_, last_};
    std::sort(picks, picks + 4, [](const KeptSample& a, const KeptSample& b) { return a.seq < b.seq; });
    int count = 0;
    for (const KeptSample& p : picks)
        if (count == 0 || out[count - 1].seq != p.seq) out[count++] = p;
    // NaN starts are ascending and never equal a corner's position: one walk sorts them into
    // the gaps before, between and after the corners.
    std::size_t j = 0;
    for (int k = 0; k <= count; ++k) {
        const std::uint64_t upper = k < count ? out[k].seq : std::numeric_limits<std::uint64_t>::max();
        bool any = false;
        while (j < nan_starts_.size() && nan_starts_[j] < upper) {
            any = true;
            ++j;
        }
        if (any) gaps |= 1u << k;
    }
    return count;
}

// ---- moments ----

void Moments::merge(std::int64_t n, double mean_b, double m2_b) {
    if (n <= 0) return;
    if (count == 0) {
        count = n;
        mean = mean_b;
        m2 = m2_b;
        return;
    }
    const double na = static_cast<double>(count), nb = static_cast<double>(n);
    const double total = na + nb;
    const double delta = mean_b - mean;
    mean += delta * (nb / total);
    m2 += m2_b + delta * delta * (na * nb / total);
    count += n;
}

template <typename T>
Moments moments_of(const T* values, std::size_t n) {
    Moments m;
    double sum = 0;
    std::int64_t count = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double v = static_cast<double>(values[i]);
        if (std::isnan(v)) continue;
        sum += v;
        ++count;
    }
    if (count == 0) return m;
    m.count = count;
    m.mean = sum / static_cast<double>(count);
    double m2 = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double v = static_cast<double>(values[i]);
        if (std::isnan(v)) continue;
        const double d = v - m.mean;
        m2 += d * d;
    }
    m.m2 = m2;
    return m;
}

template Moments moments_of<float>(const float*, std::size_t);
template Moments moments_of<double>(const double*, std::size_t);

// ---- the range reduction ----

RangeM4::RangeM4(std::int64_t t0, std::int64_t t1, std::size_t width)
    : t0_(t0),
      t1_(t1),
      width_(width == 0 ? 1 : width),
      span_(static_cast<std::uint64_t>(t1) - static_cast<std::uint64_t>(t0)),
      last_time_(kNaT) {
    out_t_.reserve(std::min<std::size_t>(4 * width_ + 16, 1u << 20));
    out_v_.reserve(out_t_.capacity());
}

void RangeM4::emit(const KeptSample& s, bool break_before) {
    if (break_before && !out_t_.empty()) {
        out_t_.push_back(s.time);
        out_v_.push_back(kNaN);
    }
    out_t_.push_back(s.time);
    out_v_.push_back(s.value);
}

void RangeM4::emit_before() {
    if (before_emitted_) return;
    before_emitted_ = true;
    if (!have_before_) return;
    emit(before_, false);
    pending_break_ = before_gap_;
}

void RangeM4::flush_column() {
    KeptSample picks[4];
    unsigned gaps = 0;
    const int n = tracker_.corners(picks, gaps);
    for (int k = 0; k < n; ++k) emit(picks[k], k == 0 ? (pending_break_ || (gaps & 1u)) : ((gaps >> k) & 1u) != 0);
    if (n > 0)
        pending_break_ = ((gaps >> n) & 1u) != 0;
    else
        pending_break_ = pending_break_ || (gaps & 1u);
    tracker_.reset();
}

void RangeM4::step(std::int64_t t, double v) {
    const std::uint64_t seq = seq_++;
    const bool nan = std::isnan(v);
    if (t < t0_) {
        if (nan) {
            if (have_before_) before_gap_ = true;
        } else {
            before_ = KeptSample{seq, t, v};
            have_before_ = true;
            before_gap_ = false;
        }
        return;
    }
    if (t >= t1_) {
        if (!have_after_) {
            if (nan)
                after_gap_ = true;
            else {
                after_ = KeptSample{seq, t, v};
                have_after_ = true;
            }
        }
        return;
    }
    if (!before_emitted_) emit_before();
    const std::uint64_t offset = static_cast<std::uint64_t>(t) - static_cast<std::uint64_t>(t0_);
    if (!column_open_ || offset >= next_edge_) {
        if (column_open_) flush_column();
        // Column of an offset: floor(offset * width / span), exact in 128 bits; the next edge
        // is the first offset of the next column, so the division runs once per column.
        column_ = static_cast<std::size_t>(portable::mul_div_floor(offset, width_, span_));
        if (column_ >= width_) column_ = width_ - 1;
        next_edge_ = column_ + 1 >= width_ ? std::numeric_limits<std::uint64_t>::max()
                                           : portable::mul_div_ceil(column_ + 1, span_, width_);
        column_open_ = true;
    }
    if (nan)
        tracker_.add_nan(seq);
    else
        tracker_.add(seq, t, v);
}

template <typename T>
bool RangeM4::feed(const std::int64_t* times, const T* values, std::size_t n) {
    if (finished_) return false;
    if (!ordered(times, n, any_ ? last_time_ : std::numeric_limits<std::int64_t>::min() + 1)) return false;
    if (n == 0) return true;
    for (std::size_t i = 0; i < n; ++i) step(times[i], static_cast<double>(values[i]));
    any_ = true;
    last_time_ = times[n - 1];
    const std::size_t a = static_cast<std::size_t>(std::lower_bound(times, times + n, t0_) - times);
    const std::size_t b = static_cast<std::size_t>(std::lower_bound(times + a, times + n, t1_) - times);
    if (b > a) {
        const Moments m = moments_of<T>(values + a, b - a);
        moments_.merge(m.count, m.mean, m.m2);
    }
    return true;
}

template bool RangeM4::feed<float>(const std::int64_t*, const float*, std::size_t);
template bool RangeM4::feed<double>(const std::int64_t*, const double*, std::size_t);

bool RangeM4::feed_buckets(const std::int64_t* starts, const std::int64_t* corner_times, const double* corner_values,
                           const std::uint8_t* ncorners, const std::uint8_t* gaps, const std::int64_t* counts,
                           const double* means, const double* m2s, std::size_t n) {
    if (finished_) return false;
    std::int64_t previous = any_ ? last_time_ : std::numeric_limits<std::int64_t>::min() + 1;
    auto fed = [&](std::int64_t t, double v) {
        if (t == kNaT || t < previous) return false;
        previous = t;
        step(t, v);
        return true;
    };
    for (std::size_t b = 0; b < n; ++b) {
        const int nc = std::min<int>(ncorners[b], 4);
        const unsigned g = gaps[b];
        const std::int64_t* ct = corner_times + 4 * b;
        const double* cv = corner_values + 4 * b;
        // The bucket as a short series: its corners, one NaN wherever NaN samples lay.
        for (int k = 0; k <= nc; ++k) {
            if ((g >> k) & 1u) {
                const std::int64_t at = nc == 0 ? starts[b] : ct[k < nc ? k : nc - 1];
                if (!fed(at, kNaN)) return false;
            }
            if (k < nc && !fed(ct[k], cv[k])) return false;
        }
        if (starts[b] >= t0_ && starts[b] < t1_) moments_.merge(counts[b], means[b], m2s[b]);
        any_ = true;
        last_time_ = previous;
    }
    return true;
}

void RangeM4::finish() {
    if (finished_) return;
    if (column_open_) flush_column();
    emit_before();
    if (have_after_) emit(after_, pending_break_ || after_gap_);
    finished_ = true;
}

// ---- summaries ----

namespace {

void push_bucket(SummaryLevel& out, std::int64_t start, const CornerTracker& tracker, const Moments& m,
                 std::int64_t nans) {
    KeptSample picks[4];
    unsigned gaps = 0;
    const int n = tracker.corners(picks, gaps);
    out.starts.push_back(start);
    for (int k = 0; k < 4; ++k) {
        const bool used = k < n;
        out.corner_times.push_back(used ? picks[k].time : (n > 0 ? picks[n - 1].time : start));
        out.corner_values.push_back(used ? picks[k].value : kNaN);
    }
    out.ncorners.push_back(static_cast<std::uint8_t>(n));
    out.gaps.push_back(static_cast<std::uint8_t>(gaps));
    out.counts.push_back(m.count);
    out.nans.push_back(nans);
    out.means.push_back(m.mean);
    out.m2s.push_back(m.m2);
}

void clear_level(SummaryLevel& out, std::int64_t bucket) {
    out = SummaryLevel{};
    out.bucket = bucket;
}

}  // namespace

template <typename T>
bool summarize(const std::int64_t* times, const T* values, std::size_t n, std::int64_t bucket, SummaryLevel& out) {
    clear_level(out, bucket);
    if (bucket <= 0 || !ordered(times, n, std::numeric_limits<std::int64_t>::min() + 1)) return false;
    CornerTracker tracker;
    std::size_t i = 0;
    while (i < n) {
        const std::int64_t end = bucket_end(times[i], bucket);
        std::size_t j = i;
        tracker.reset();
        for (; j < n && times[j] < end; ++j) {
            const double v = static_cast<double>(values[j]);
            if (std::isnan(v))
                tracker.add_nan(j);
            else
                tracker.add(j, times[j], v);
        }
        const Moments m = moments_of<T>(values + i, j - i);
        push_bucket(out, end - bucket, tracker, m, static_cast<std::int64_t>(j - i) - m.count);
        i = j;
    }
    return true;
}

template bool summarize<float>(const std::int64_t*, const float*, std::size_t, std::int64_t, SummaryLevel&);
template bool summarize<double>(const std::int64_t*, const double*, std::size_t, std::int64_t, SummaryLevel&);

void coarsen(const SummaryLevel& fine, std::int64_t bucket, SummaryLevel& out) {
    clear_level(out, bucket);
    if (bucket <= 0) return;
    CornerTracker tracker;
    std::uint64_t seq = 0;
    std::size_t i = 0;
    const std::size_t n = fine.size();
    while (i < n) {
        const std::int64_t start = floor_div(fine.starts[i], bucket) * bucket;
        tracker.reset();
        Moments m;
        std::int64_t nans = 0;
        std::size_t j = i;
        for (; j < n && floor_div(fine.starts[j], bucket) * bucket == start; ++j) {
            const int nc = std::min<int>(fine.ncorners[j], 4);
            const unsigned g = fine.gaps[j];
            for (int k = 0; k <= nc; ++k) {
                if ((g >> k) & 1u) tracker.add_nan(seq++);
                if (k < nc) tracker.add(seq++, fine.corner_times[4 * j + k], fine.corner_values[4 * j + k]);
            }
            m.merge(fine.counts[j], fine.means[j], fine.m2s[j]);
            nans += fine.nans[j];
        }
        push_bucket(out, start, tracker, m, nans);
        i = j;
    }
}

}  // namespace lumoreq::core
