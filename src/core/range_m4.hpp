// M4 reduction of a series onto a requested time range, and the min/max summaries that serve it.
//
// A range [t0, t1) is cut into `width` equal columns (one per pixel column of a chart). Inside
// each column the first, smallest, largest and last finite sample are kept (M4: a line through
// them, in time order, lights the same pixels of that column as a line through every sample).
// A NaN sample breaks the line: between two kept samples that have a NaN sample somewhere between
// them in the series, the output holds one NaN point, so no gap is drawn over and none is
// invented. The last finite sample before t0 and the first at or after t1 are kept too, so the
// line reaches the panel's edges.
//
// Summaries cut time into buckets of a fixed length (aligned to the epoch). A bucket keeps its
// kept samples ("corners", at most four, in time order), where NaN samples lie between them
// (five bits), and the count, mean and sum of squared deviations of its finite samples. Fed back
// as a short series (corners with one NaN between those that had NaN between them), a bucket
// gives the same M4 result as its raw samples for every column it lies inside of, and coarser
// buckets built from finer ones equal those built from the raw samples.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace lumoreq::core {

// One kept sample: its position in the feed (orders samples of equal time), time and value.
struct KeptSample {
    std::uint64_t seq = 0;
    std::int64_t time = 0;
    double value = 0;
};

// First, smallest, largest and last finite sample of one column or bucket, and where NaN
// samples were met (the feed position of the first NaN after each finite sample).
class CornerTracker {
public:
    void reset();
    void add_nan(std::uint64_t seq);
    void add(std::uint64_t seq, std::int64_t time, double value);
    bool empty() const { return !open_ && nan_starts_.empty(); }
    // The corners in feed order (duplicates removed) and the gap bits: bit k set when a NaN lies
    // before corner k (after corner k-1); bit `count` when one lies after the last corner (with
    // no corner: bit 0 when there was a NaN at all).
    int corners(KeptSample out[4], unsigned& gaps) const;

private:
    bool open_ = false;
    bool in_nan_ = false;
    KeptSample first_, lo_, hi_, last_;
    std::vector<std::uint64_t> nan_starts_;
};

// Count, mean and sum of squared deviations of finite values (merged as Chan et al. do).
struct Moments {
    std::int64_t count = 0;
    double mean = 0;
    double m2 = 0;
    void merge(std::int64_t n, double mean_b, double m2_b);
};

template <typename T>
Moments moments_of(const T* values, std::size_t n);

// The streaming range reduction. Feed samples (or summary buckets) in time order, then finish.
class RangeM4 {
public:
    // t1 > t0 and width >= 1 (checked by the caller).
    RangeM4(std::int64_t t0, std::int64_t t1, std::size_t width);

    // False when a time is NaT or earlier than one fed before (nothing of this call is kept
    // after that sample).
    template <typename T>
    bool feed(const std::int64_t* times, const T* values, std::size_t n);

    // Buckets of a summary level, `n` of them: corners (4 per bucket, `ncorners` used), gap
    // bits, and the moments of each bucket. A bucket's moments count when it starts inside the
    // range (the caller only feeds levels whose buckets nest in the columns).
    bool feed_buckets(const std::int64_t* starts, const std::int64_t* corner_times, const double* corner_values,
                      const std::uint8_t* ncorners, const std::uint8_t* gaps, const std::int64_t* counts,
                      const double* means, const double* m2s, std::size_t n);

    void finish();

    // The points to draw: times and values, a NaN value marks a break in the line.
    const std::vector<std::int64_t>& times() const { return out_t_; }
    const std::vector<double>& values() const { return out_v_; }
    const Moments& moments() const { return moments_; }
    std::int64_t samples_in_range() const { return in_range_; }

private:
    void step(std::int64_t t, double v);
    void flush_column();
    void emit(const KeptSample& s, bool break_before);
    void emit_before();

    std::int64_t t0_, t1_;
    std::size_t width_;
    std::uint64_t span_;
    std::uint64_t seq_ = 0;
    std::int64_t last_time_;
    bool any_ = false;
    std::size_t column_ = 0;
    bool column_open_ = false;
    std::uint64_t next_edge_ = 0;
    CornerTracker tracker_;
    bool pending_break_ = false;
    bool have_before_ = false, before_gap_ = false, before_emitted_ = false;
    KeptSample before_;
    bool have_after_ = false, after_gap_ = false;
    KeptSample after_;
    bool finished_ = false;
    std::int64_t in_range_ = 0;
    Moments moments_;
    std::vector<std::int64_t> out_t_;
    std::vector<double> out_v_;
};

// One summary level: one row per bucket that holds at least one sample (finite or NaN).
struct SummaryLevel {
    std::int64_t bucket = 0;  // length, in the times' unit
    std::vector<std::int64_t> starts;
    std::vector<std::int64_t> corner_times;  // 4 per bucket (unused: the last used one)
    std::vector<double> corner_values;       // 4 per bucket (unused: NaN)
    std::vector<std::uint8_t> ncorners, gaps;
    std::vector<std::int64_t> counts, nans;
    std::vector<double> means, m2s;
    std::size_t size() const { return starts.size(); }
};

// The level of `bucket` from raw samples (times non-decreasing, no NaT; false otherwise).
template <typename T>
bool summarize(const std::int64_t* times, const T* values, std::size_t n, std::int64_t bucket, SummaryLevel& out);

// A coarser level from a finer one (`bucket` a multiple of the finer bucket length).
void coarsen(const SummaryLevel& fine, std::int64_t bucket, SummaryLevel& out);

}  // namespace lumoreq::core
