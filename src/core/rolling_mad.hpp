// Centred rolling median and rolling MAD (Hampel filter statistics) over a plain array, and the
// scaled MAD of one array, with the exact arithmetic of numpy's median and pandas' rolling
// median: an odd count takes the middle value, an even count (lo + hi) / 2.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace lumoreq::core {

// The Hampel filter's verdict on a series. Position i is judged by its centred window of
// `window` samples, [i - window / 2, i + (window - 1) / 2]. A window that runs past an end of the
// data or holds a non-finite value has no statistics (the table library counts inf as missing
// in rolling windows); its position takes those of the last complete window before it, or at
// the start of the first one after it. Position i is an outlier when
// |x[i] - median| > factor * MAD * scale (in double; NaN never is). The outliers' positions
// (ascending) and their medians are appended to `found`. O(n * window) time, O(window) memory.
struct Outliers {
    std::vector<std::size_t> positions;
    std::vector<double> medians;
};

template <typename T>
void hampel_outliers(const T* x, std::size_t n, std::size_t window, double scale, double factor,
                     Outliers& found);

// median(|x - median(x)|) * scale with numpy's arithmetic in T (double or float); NaN when any
// value is NaN. `work` holds n scratch values and is reordered; n > 0.
double scaled_mad(double* work, std::size_t n, double scale);
float scaled_mad(float* work, std::size_t n, float scale);

}  // namespace lumoreq::core
