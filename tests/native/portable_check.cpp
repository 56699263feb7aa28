// Checks of the portability layer, built and run by `make portable` on the build machine.
//
// 1. The standard C++ branches (what MSVC and other compilers take) against exact 128-bit
//    reference arithmetic: checked add/multiply, the 64x64/64 scaling.
// 2. The C-library number parser against std::from_chars on tricky decimal texts.
// 3. `--digest`: a digest of the vector kernels' results on random series (NaN, signed zeros,
//    infinities, every length modulo the lane count). The Makefile builds this file twice,
//    with the vector units and with LUMOREQ_PORTABLE_GENERIC, and the digests must agree.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "core/display_reduce.hpp"
#include "core/portable.hpp"
#include "core/rolling_mad.hpp"
#include "core/series_stats.hpp"

namespace {

namespace portable = lumoreq::portable;
namespace core = lumoreq::core;

int failures = 0;

void fail(const std::string& what) {
    if (++failures <= 20) std::fprintf(stderr, "FAIL %s\n", what.c_str());
}

struct SplitMix {
    std::uint64_t s;
    std::uint64_t next() {
        std::uint64_t z = (s += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
};

// The reference is exact 128-bit arithmetic (this driver only runs on GCC or Clang).
__extension__ typedef __int128 I128;
__extension__ typedef unsigned __int128 U128;

template <class T>
std::vector<T> edge_values(SplitMix& rng) {
    constexpr T kMax = std::numeric_limits<T>::max(), kMin = std::numeric_limits<T>::min();
    std::vector<T> v = {0, 1, 2, 3, kMax, static_cast<T>(kMax - 1), static_cast<T>(kMax / 2),
                        static_cast<T>(kMax / 2 + 1), kMin, static_cast<T>(kMin + 1)};
    if constexpr (std::is_signed_v<T>) {
        for (T x : {T(-1), T(-2), T(-3), static_cast<T>(kMin / 2), static_cast<T>(kMin / 2 - 1)}) v.push_back(x);
    }
    // around the square root of the range, where products start to overflow
    const double root = std::sqrt(static_cast<double>(kMax));
    for (int d = -2; d <= 2; ++d) {
        v.push_back(static_cast<T>(root + d));
        if constexpr (std::is_signed_v<T>) v.push_back(static_cast<T>(-(root + d)));
    }
    for (int i = 0; i < 200; ++i) {
        const std::uint64_t r = rng.next();
        v.push_back(static_cast<T>(r >> (r % 64)));  // all magnitudes
    }
    return v;
}

template <class T>
void check_checked_arithmetic(const char* type, SplitMix& rng) {
    const auto values = edge_values<T>(rng);
    constexpr I128 kMax = std::numeric_limits<T>::max(), kMin = std::numeric_limits<T>::min();
    for (T a : values) {
        for (T b : values) {
            const I128 sum = static_cast<I128>(a) + b;
            bool product_ovf;
            I128 product = 0;
            if constexpr (std::is_signed_v<T>) {
                product = static_cast<I128>(a) * b;
                product_ovf = product > kMax || product < kMin;
            } else {
                const U128 wide = static_cast<U128>(a) * b;
                product_ovf = wide > static_cast<U128>(kMax);
                product = static_cast<I128>(wide & static_cast<U128>(kMax));
            }
            const bool sum_ovf = sum > kMax || sum < kMin;
            T g{}, d{};
            const bool g_add = portable::generic::add_overflow(a, b, g);
            const bool d_add = portable::add_overflow(a, b, d);
            if (g_add != sum_ovf || d_add != sum_ovf || (!sum_ovf && (g != static_cast<T>(sum) || d != g)))
                fail(std::string("add_overflow<") + type + "> " + std::to_string(a) + " + " + std::to_string(b));
            const bool g_mul = portable::generic::mul_overflow(a, b, g);
            const bool d_mul = portable::mul_overflow(a, b, d);
            if (g_mul != product_ovf || d_mul != product_ovf ||
                (!product_ovf && (g != static_cast<T>(product) || d != g)))
                fail(std::string("mul_overflow<") + type + "> " + std::to_string(a) + " * " + std::to_string(b));
            // the wrapped result on overflow is the same on every branch
            if (g != d) fail(std::string("wrapped product differs <") + type + ">");
        }
    }
}

void check_scaling(SplitMix& rng) {
    const std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    std::vector<std::uint64_t> values = {0, 1, 2, 3, 0xFFFFFFFFull, 0x100000000ull, kMax, kMax - 1, kMax / 3};
    for (int i = 0; i < 300; ++i) {
        const std::uint64_t r = rng.next();
        values.push_back(r >> (r % 64));
    }
    for (std::uint64_t a : values) {
        for (std::uint64_t b : values) {
            for (std::uint64_t d : {std::uint64_t{1}, std::uint64_t{7}, a | 1u, b + 1, kMax, rng.next() | 1u}) {
                if (d == 0) continue;
                const U128 p = static_cast<U128>(a) * b;
                if (p / d > kMax || (p + d - 1) / d > kMax) continue;  // quotient must fit
                const auto floor_ref = static_cast<std::uint64_t>(p / d);
                const auto ceil_ref = static_cast<std::uint64_t>((p + d - 1) / d);
                if (portable::generic::mul_div_floor(a, b, d) != floor_ref || portable::mul_div_floor(a, b, d) != floor_ref)
                    fail("mul_div_floor " + std::to_string(a) + " " + std::to_string(b) + " " + std::to_string(d));
                if (portable::generic::mul_div_ceil(a, b, d) != ceil_ref || portable::mul_div_ceil(a, b, d) != ceil_ref)
                    fail("mul_div_ceil " + std::to_string(a) + " " + std::to_string(b) + " " + std::to_string(d));
            }
        }
    }
}

void compare_parse(const std::string& text) {
    const char* first = text.data();
    const char* last = first + text.size();
    double expected = -12345.0, got = -12345.0;
    const auto e = std::from_chars(first, last, expected, std::chars_format::general);
    const auto g = portable::parse_double_c_locale(first, last, got);
    if (e.ec != g.ec || e.ptr != g.ptr || std::memcmp(&expected, &got, sizeof got) != 0) {
        if (e.ec == std::errc() && g.ec == std::errc() && std::isnan(expected) && std::isnan(got) && e.ptr == g.ptr)
            return;  // NaN payloads are not part of the contract
        fail("parse \"" + text + "\"");
    }
}

void check_parsing(SplitMix& rng) {
    for (const char* t : {"0", "-0", "1", "-1", ".5", "5.", "-.5", "1e", "1e+", "1e-", "1e5", "1E-5", "+1", " 1",
                          "", "-", ".", "e5", "0x1p3", "inf", "-inf", "INF", "Infinity", "infinit", "nan", "-NaN",
                          "nan(abc_1)", "nan(", "nan()", "1.7976931348623157e308", "1.7976931348623159e308",
                          "2.2250738585072011e-308", "4.9406564584124654e-324", "2.4703282292062327e-324",
                          "2.4703282292062328e-324", "1e-400", "-1e400", "9007199254740993", "0.1", "123.456e-2x",
                          "00000000000000000000000001.5", "1e999999999999", "1e-999999999999",
                          "0.000000000000000000000000000000000000000000000000000000000000000000000000001e380"}) {
        compare_parse(t);
    }
    const char digits[] = "0123456789";
    for (int i = 0; i < 20000; ++i) {
        std::string s;
        if (rng.next() % 4 == 0) s += '-';
        const int int_digits = static_cast<int>(rng.next() % 25), frac_digits = static_cast<int>(rng.next() % 25);
        for (int k = 0; k < int_digits; ++k) s += digits[rng.next() % 10];
        if (frac_digits || rng.next() % 2) s += '.';
        for (int k = 0; k < frac_digits; ++k) s += digits[rng.next() % 10];
        if (rng.next() % 2) {
            s += rng.next() % 2 ? 'e' : 'E';
            const int sign = static_cast<int>(rng.next() % 3);
            if (sign) s += sign == 1 ? '+' : '-';
            s += std::to_string(rng.next() % 360);
        }
        compare_parse(s);
    }
}

// ---- digest of the vector kernels ----

struct Digest {
    std::uint64_t h = 0xCBF29CE484222325ULL;
    template <class T>
    void add(const T& v) {
        unsigned char bytes[sizeof(T)];
        std::memcpy(bytes, &v, sizeof(T));
        for (unsigned char b : bytes) h = (h ^ b) * 0x100000001B3ULL;
    }
};

template <class T>
std::vector<T> random_series(SplitMix& rng, std::size_t n, int flavour) {
    std::vector<T> v(n);
    double level = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t r = rng.next();
        level += static_cast<double>(static_cast<std::int64_t>(r % 2001) - 1000) / 100.0;  // a trend
        T x = static_cast<T>(flavour == 0 ? level : static_cast<double>(r % 7) - 3.0);  // many ties
        if (flavour >= 3) {  // zeros of both signs as the extreme: which one a lane keeps matters
            const T zero = (r >> 8) % 2 ? T(0) : -T(0);
            x = (r >> 9) % 3 ? zero : (flavour == 3 ? T(1) : T(-1));
        }
        switch ((r >> 20) % 40) {
            case 0: x = std::numeric_limits<T>::quiet_NaN(); break;
            case 1: x = T(0); break;
            case 2: x = -T(0); break;
            case 3: if (flavour == 2) x = -std::numeric_limits<T>::infinity(); break;
            case 4: if (flavour == 2) x = std::numeric_limits<T>::infinity(); break;
            default: break;
        }
        v[i] = x;
    }
    return v;
}

template <class T>
void digest_kernels(Digest& d, SplitMix& rng) {
    for (std::size_t n : {0, 1, 2, 3, 4, 5, 7, 8, 9, 31, 100, 4095, 4096, 4097, 5003, 20000}) {
        for (int flavour = 0; flavour < 5; ++flavour) {
            const auto v = random_series<T>(rng, n, flavour);
            const auto s = core::summarize(v.data(), n);
            d.add(s.count);
            d.add(s.min);
            d.add(s.max);
            d.add(s.zero_extreme);
            const auto st = core::series_stats(v.data(), n);
            d.add(st.mean);
            d.add(st.std);
            d.add(st.median);
            std::vector<T> finite;
            for (T x : v)
                if (std::isfinite(x)) finite.push_back(x);
            for (std::size_t window : {1, 2, 3, 7, 20, 64}) {
                core::Outliers found;
                core::hampel_outliers(finite.data(), finite.size(), window, 1.4826, 3.0, found);
                d.add(found.positions.size());
                for (std::size_t p : found.positions) d.add(p);
                for (double m : found.medians) d.add(m);
            }
            std::vector<T> work = finite;
            d.add(core::scaled_mad(work.data(), work.size(), static_cast<T>(1.4826)));
            // line reduction over a time span wide enough that offset * bins needs 128 bits
            std::vector<std::int64_t> times(n);
            std::int64_t t = std::numeric_limits<std::int64_t>::min() / 2;
            for (std::size_t i = 0; i < n; ++i) {
                const std::uint64_t r = rng.next();
                t += r % 8 == 0 ? 0 : static_cast<std::int64_t>(r >> 20);  // repeated times too
                times[i] = t;
            }
            for (std::size_t bins : {1, 3, 640, 1919}) {
                const auto picks = core::min_max_reduce_indices<T>(times.data(), v.data(), n, bins);
                d.add(picks.size());
                for (auto p : picks) d.add(p);
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    SplitMix rng{20261208};
    if (argc > 1 && std::strcmp(argv[1], "--digest") == 0) {
        Digest d;
        digest_kernels<double>(d, rng);
        digest_kernels<float>(d, rng);
        std::printf("%016llx\n", static_cast<unsigned long long>(d.h));
        return 0;
    }
    check_checked_arithmetic<std::int64_t>("int64", rng);
    check_checked_arithmetic<std::int32_t>("int32", rng);
    check_checked_arithmetic<std::uint64_t>("uint64", rng);
    check_scaling(rng);
    check_parsing(rng);
    if (failures) {
        std::fprintf(stderr, "%d failure(s)\n", failures);
        return 1;
    }
    std::puts("portable checks passed");
    return 0;
}
