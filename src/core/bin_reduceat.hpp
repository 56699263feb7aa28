// One series' samples reduced per fixed-width time bin the way the table library's resampler
// reduces them when the values hold no NaN: it then hands sorted bins to numpy's ufunc.reduceat,
// which starts each bin from its first value and adds the rest by numpy's pairwise summation
// (blocks of up to 128 values in eight running sums, halved above that). Means add in double and
// divide by the count in double; sums add in the values' own type; an empty bin gives NaN (zero
// for the sum).
//
// Plain C++: reads the two input buffers, writes only `out`, holds no state; safe to call from
// several threads at once.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/bin_aggregate.hpp"

namespace lumoreq::core {

// `stamps` ascending, every one at or after `origin`, the last in bin `bins - 1`; `values` free
// of NaN. `out` holds `bins` values: double for the mean, T otherwise. False (and `out` left
// unspecified) for a maximum or minimum of zero over a bin that holds zeros of both signs, whose
// sign numpy's vector units pick by lane.
template <class T, class Out>
bool bin_reduceat(const std::int64_t* stamps, const T* values, std::size_t n, std::int64_t origin,
                  std::int64_t width, std::size_t bins, BinReduce how, Out* out);

extern template bool bin_reduceat<float, double>(const std::int64_t*, const float*, std::size_t, std::int64_t,
                                                 std::int64_t, std::size_t, BinReduce, double*);
extern template bool bin_reduceat<double, double>(const std::int64_t*, const double*, std::size_t, std::int64_t,
                                                  std::int64_t, std::size_t, BinReduce, double*);
extern template bool bin_reduceat<float, float>(const std::int64_t*, const float*, std::size_t, std::int64_t,
                                                std::int64_t, std::size_t, BinReduce, float*);

}  // namespace lumoreq::core
