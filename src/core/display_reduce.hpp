// Reduction of a long line series to what a raster of a given width can show.
//
// The time span of the series is cut into `bins` equal columns; inside each column every
// unbroken run of values keeps its first, minimum, maximum and last sample (in time order).
// Drawn as a connected line, that is the same set of pixels as drawing every sample when a
// column is no wider than a pixel, and it keeps the global extremes (so autoscaled limits do not
// move), the first and the last sample, and every NaN gap (one NaN sample marks each gap).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace lumoreq::core {

// True when the times never decrease: the reduction walks columns left to right.
bool times_non_decreasing(const std::int64_t* times, std::size_t n);

// Indices (ascending) of the samples to keep. `times` must be non-decreasing; `bins` >= 1.
// Works on float and double values; no allocation besides the result.
template <typename T>
std::vector<std::int64_t> min_max_reduce_indices(const std::int64_t* times, const T* values, std::size_t n,
                                                 std::size_t bins);

extern template std::vector<std::int64_t> min_max_reduce_indices<float>(const std::int64_t*, const float*,
                                                                        std::size_t, std::size_t);
extern template std::vector<std::int64_t> min_max_reduce_indices<double>(const std::int64_t*, const double*,
                                                                         std::size_t, std::size_t);

// The kept indices, or nothing when the times decrease somewhere or hold NaT.
template <typename T>
std::optional<std::vector<std::int64_t>> reduce_if_ordered(const std::int64_t* times, const T* values, std::size_t n,
                                                           std::size_t bins) {
    if (!times_non_decreasing(times, n)) return std::nullopt;
    return min_max_reduce_indices<T>(times, values, n, bins);
}

// The most frequent difference between consecutive times, and how many differences there
// were. Among equally frequent differences the first one to appear wins.
struct ModalStep {
    std::int64_t step = 0;
    std::size_t count = 0;  // number of differences (n - 1 for n >= 1 times)
};
ModalStep modal_time_step(const std::int64_t* times, std::size_t n);

}  // namespace lumoreq::core
