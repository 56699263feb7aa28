// One series' samples gathered into fixed-width time bins and reduced per bin, bit for bit as
// the table library's resampler reduces them for a fixed-width rule (its grouped mean, sum, max
// and min over float32 or float64 values, when the values hold a NaN): bins are [origin + k *
// width, origin + (k + 1) * width); NaN values are skipped; mean and sum add in time order with
// the same compensated (Kahan) summation in the values' own type (the mean resets a compensation
// that became NaN, the sum one that is not finite); the mean divides by the count in that type;
// an empty bin gives NaN, except for the sum, which gives zero.
//
// Plain C++: reads the two input buffers, writes only `out`, holds no state; safe to call from
// several threads at once.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumoreq::core {

enum class BinReduce { Mean, Sum, Max, Min };

// `out` holds `bins` values. A sample whose bin falls outside [0, bins) is left out, as the
// resampler leaves out rows without a group.
template <class T>
void bin_reduce(const std::int64_t* stamps, const T* values, std::size_t n, std::int64_t origin,
                std::int64_t width, std::size_t bins, BinReduce how, T* out);

}  // namespace lumoreq::core
