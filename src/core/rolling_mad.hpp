// Centred rolling median and rolling MAD (Hampel filter statistics) over a plain array, and the
// scaled MAD of one array, with the exact arithmetic of numpy's median and pandas' rolling
// median: an odd count takes the middle value, an even count (lo + hi) / 2.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumoreq::core {

// Statistics of every complete centred window of `window` samples: position i is judged by the
// window [i - (window - 1 - offset), i + offset] with offset = (window - 1) / 2. A window that runs
// past an end of the data or holds a non-finite value gives NaN at its position (the table
// library counts inf as missing in rolling windows). `median` and `mad` get n values each; the
// MAD is multiplied by `scale`.
void rolling_median_mad(const double* x, std::size_t n, std::size_t window, double scale,
                        double* median, double* mad);

// NaN takes the last value before it, then the leading NaN take the first value after them.
void fill_forward_backward(double* v, std::size_t n);

// median(|x - median(x)|) * scale with numpy's arithmetic in T (double or float); NaN when any
// value is NaN. `work` holds n scratch values and is reordered; n > 0.
double scaled_mad(double* work, std::size_t n, double scale);
float scaled_mad(float* work, std::size_t n, float scale);

}  // namespace lumoreq::core
