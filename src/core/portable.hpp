// Everything that depends on the compiler, the processor or the operating system, each behind
// a small function or type with a standard C++ branch. The rest of the native code is plain
// C++20 and includes this header instead of using extensions itself (tools/lint_portable.py
// checks that).
//
// Sections:
//   1. target detection            (LUMOREQ_SIMD_SSE2 / LUMOREQ_SIMD_NEON, LUMOREQ_GNU_BUILTINS)
//   2. checked integer arithmetic  (add_overflow, mul_overflow)
//   3. exact 64x64/64 scaling      (mul_div_floor, mul_div_ceil)
//   4. floating point              (rounded: keep a product out of a fused multiply-add;
//                                   computed_before_here: order a result before flag reads)
//   5. number parsing              (parse_double: locale-independent decimal text -> double)
//   6. 128-bit vectors             (simd::Vec<float|double>, simd::LaneCounter)
//   7. files and processes         (os::create_exclusive, os::write_all, os::sync, os::replace,
//                                   os::process_alive)
// New platform-specific pieces get their own section here; anything that needs heavy system
// headers (windows.h, unistd.h) goes into portable.cpp behind a plain declaration.
//
// Defining LUMOREQ_PORTABLE_GENERIC selects the standard C++ branch of every section, so the
// branch a less common compiler takes is built and tested on this one too.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <system_error>
#include <type_traits>

// ---- 1. target detection ----

#if !defined(LUMOREQ_PORTABLE_GENERIC) && (defined(__GNUC__) || defined(__clang__))
#define LUMOREQ_GNU_BUILTINS 1
#endif

#if !defined(LUMOREQ_PORTABLE_GENERIC) && (defined(__SSE2__) || defined(_M_X64) || defined(_M_AMD64))
#define LUMOREQ_SIMD_SSE2 1
#include <emmintrin.h>
#elif !defined(LUMOREQ_PORTABLE_GENERIC) && (defined(__aarch64__) || defined(_M_ARM64)) && \
    (defined(__ARM_NEON) || defined(_M_ARM64))
#define LUMOREQ_SIMD_NEON 1
#include <arm_neon.h>
#endif

// (not with clang-cl: its 128-bit division needs a runtime MSVC's linker does not have)
#if !defined(LUMOREQ_PORTABLE_GENERIC) && defined(LUMOREQ_GNU_BUILTINS) && defined(__SIZEOF_INT128__) && \
    !defined(_MSC_VER)
#define LUMOREQ_HAVE_INT128 1
#endif

#if defined(_MSC_VER)
#include <intrin.h>
#endif
#if !defined(LUMOREQ_PORTABLE_GENERIC) && defined(_MSC_VER) && !defined(__clang__) && defined(_M_X64)
#define LUMOREQ_MSVC_X64 1
#endif

namespace lumoreq::portable {

// ---- 2. checked integer arithmetic ----
// `out` receives the wrapped result; the return value tells whether it overflowed.

namespace generic {

template <class T>
bool add_overflow(T a, T b, T& out) {
    static_assert(std::is_integral_v<T> && !std::is_same_v<T, bool>);
    using U = std::make_unsigned_t<T>;
    out = static_cast<T>(static_cast<U>(a) + static_cast<U>(b));  // modular in C++20
    if constexpr (std::is_signed_v<T>)
        return (b > 0 && a > std::numeric_limits<T>::max() - b) ||
               (b < 0 && a < std::numeric_limits<T>::min() - b);
    else
        return out < a;
}

template <class T>
bool mul_overflow(T a, T b, T& out) {
    static_assert(std::is_integral_v<T> && !std::is_same_v<T, bool>);
    using U = std::make_unsigned_t<T>;
    out = static_cast<T>(static_cast<U>(a) * static_cast<U>(b));
    constexpr T kMax = std::numeric_limits<T>::max(), kMin = std::numeric_limits<T>::min();
    if (a == 0 || b == 0) return false;
    if constexpr (std::is_signed_v<T>) {
        if (a > 0) return b > 0 ? a > kMax / b : b < kMin / a;
        return b > 0 ? a < kMin / b : b < kMax / a;
    } else {
        return a > kMax / b;
    }
}

}  // namespace generic

template <class T>
inline bool add_overflow(T a, T b, T& out) {
#if defined(LUMOREQ_GNU_BUILTINS)
    return __builtin_add_overflow(a, b, &out);
#else
    return generic::add_overflow(a, b, out);
#endif
}

template <class T>
inline bool mul_overflow(T a, T b, T& out) {
#if defined(LUMOREQ_GNU_BUILTINS)
    return __builtin_mul_overflow(a, b, &out);
#else
    return generic::mul_overflow(a, b, out);
#endif
}

// ---- 3. exact 64x64/64 scaling ----
// floor(a * b / d) and ceil(a * b / d) with the 128-bit product kept exact; d > 0 and the
// quotient must fit 64 bits.

namespace generic {

struct U128 {
    std::uint64_t hi, lo;
};

inline U128 mul_64x64(std::uint64_t a, std::uint64_t b) {
    const std::uint64_t a_lo = a & 0xFFFFFFFFu, a_hi = a >> 32, b_lo = b & 0xFFFFFFFFu, b_hi = b >> 32;
    const std::uint64_t ll = a_lo * b_lo, lh = a_lo * b_hi, hl = a_hi * b_lo, hh = a_hi * b_hi;
    const std::uint64_t mid = (ll >> 32) + (lh & 0xFFFFFFFFu) + (hl & 0xFFFFFFFFu);
    return U128{hh + (lh >> 32) + (hl >> 32) + (mid >> 32), (mid << 32) | (ll & 0xFFFFFFFFu)};
}

// Quotient and remainder of hi:lo / d, one bit at a time (hi < d keeps the quotient in 64 bits).
inline std::uint64_t div_128_64(U128 n, std::uint64_t d, std::uint64_t& rem) {
    std::uint64_t r = n.hi, q = 0;
    for (int bit = 63; bit >= 0; --bit) {
        const bool carry = (r >> 63) != 0;
        r = (r << 1) | ((n.lo >> bit) & 1u);
        q <<= 1;
        if (carry || r >= d) {
            r -= d;
            q |= 1u;
        }
    }
    rem = r;
    return q;
}

inline std::uint64_t mul_div_floor(std::uint64_t a, std::uint64_t b, std::uint64_t d) {
    std::uint64_t rem;
    return div_128_64(mul_64x64(a, b), d, rem);
}

inline std::uint64_t mul_div_ceil(std::uint64_t a, std::uint64_t b, std::uint64_t d) {
    std::uint64_t rem;
    const std::uint64_t q = div_128_64(mul_64x64(a, b), d, rem);
    return q + (rem != 0);
}

}  // namespace generic

inline std::uint64_t mul_div_floor(std::uint64_t a, std::uint64_t b, std::uint64_t d) {
#if defined(LUMOREQ_HAVE_INT128)
    __extension__ typedef unsigned __int128 Wide;
    return static_cast<std::uint64_t>(static_cast<Wide>(a) * b / d);
#elif defined(LUMOREQ_MSVC_X64)
    std::uint64_t hi, rem;
    const std::uint64_t lo = _umul128(a, b, &hi);
    return _udiv128(hi, lo, d, &rem);
#else
    return generic::mul_div_floor(a, b, d);
#endif
}

inline std::uint64_t mul_div_ceil(std::uint64_t a, std::uint64_t b, std::uint64_t d) {
#if defined(LUMOREQ_HAVE_INT128)
    __extension__ typedef unsigned __int128 Wide;
    return static_cast<std::uint64_t>((static_cast<Wide>(a) * b + (d - 1)) / d);
#elif defined(LUMOREQ_MSVC_X64)
    std::uint64_t hi, rem;
    const std::uint64_t lo = _umul128(a, b, &hi);
    const std::uint64_t q = _udiv128(hi, lo, d, &rem);
    return q + (rem != 0);
#else
    return generic::mul_div_ceil(a, b, d);
#endif
}

// ---- 4. floating point ----
// A value rounded to double on its own, never fused with a following add: where the target
// has fused multiply-add, an empty asm statement pins the value in memory. The build also
// turns contraction off (-ffp-contract=off; MSVC's /fp:precise does not contract).
inline double rounded(double x) {
#if defined(LUMOREQ_GNU_BUILTINS)
#if defined(__FMA__) || defined(__ARM_FEATURE_FMA) || defined(__aarch64__)
    __asm__("" : "+m"(x));
#endif
    return x;
#elif defined(_MSC_VER) && !defined(LUMOREQ_PORTABLE_GENERIC)
    return x;
#else
    volatile double kept = x;  // unknown compiler: a store and a load cannot be fused
    return kept;
#endif
}

// The exception flags are read around a computation (fetestexcept): the value must exist
// before the flags are looked at. MSVC also has to be told that the flags are observed, with
// LUMOREQ_FENV_ACCESS at file scope of the reading source file.
#if defined(_MSC_VER) && !defined(__clang__)
#define LUMOREQ_FENV_ACCESS __pragma(fenv_access(on))
#else
#define LUMOREQ_FENV_ACCESS
#endif

template <class T>
inline void computed_before_here(T& value) {
#if defined(LUMOREQ_GNU_BUILTINS)
    __asm__ volatile("" : : "m"(value) : "memory");
#else
    volatile T kept = value;
    (void)kept;
#if defined(_MSC_VER)
    _ReadWriteBarrier();
#endif
#endif
}

// ---- 5. number parsing ----
// Decimal text to the nearest double, whatever the process locale: the contract of
// std::from_chars(first, last, value, std::chars_format::general) (no leading blank or '+';
// "inf", "infinity", "nan"; on result_out_of_range `value` is left as it was).
//
// parse_double_c_locale is the same contract built on the C library's strtod in the "C"
// locale, for standard libraries without a floating-point from_chars (libc++ today).
std::from_chars_result parse_double_c_locale(const char* first, const char* last, double& value);

inline std::from_chars_result parse_double(const char* first, const char* last, double& value) {
#if defined(__cpp_lib_to_chars) && __cpp_lib_to_chars >= 201611L && !defined(LUMOREQ_PORTABLE_GENERIC)
    return std::from_chars(first, last, value, std::chars_format::general);
#else
    return parse_double_c_locale(first, last, value);
#endif
}

// ---- 6. 128-bit vectors ----
// Vec<T> holds 16 bytes of float or double lanes. Comparisons give a Mask; select(m, a, b)
// takes a where m is set. min_of(a, b) is exactly `a < b ? a : b` per lane and max_of(a, b)
// `a > b ? a : b` (NaN and the sign of zero included), so every backend gives the same bits.
// SSE2 on x86-64, NEON on arm64, plain arrays elsewhere.
namespace simd {

template <class T>
struct Vec;
template <class T>
struct Mask;

#if defined(LUMOREQ_SIMD_SSE2)
template <>
struct Mask<double> {
    __m128d m;
};
template <>
struct Mask<float> {
    __m128 m;
};

template <>
struct Vec<double> {
    static constexpr std::size_t kLanes = 2;
    __m128d v;
    static Vec load(const double* p) { return {_mm_loadu_pd(p)}; }
    static Vec splat(double x) { return {_mm_set1_pd(x)}; }
    static Vec iota(double first) { return {_mm_set_pd(first + 1.0, first)}; }
    void store(double* p) const { _mm_storeu_pd(p, v); }
    friend Vec operator+(Vec a, Vec b) { return {_mm_add_pd(a.v, b.v)}; }
    friend Vec operator-(Vec a, Vec b) { return {_mm_sub_pd(a.v, b.v)}; }
    friend Mask<double> operator<(Vec a, Vec b) { return {_mm_cmplt_pd(a.v, b.v)}; }
    friend Mask<double> operator<=(Vec a, Vec b) { return {_mm_cmple_pd(a.v, b.v)}; }
    friend Mask<double> operator>=(Vec a, Vec b) { return {_mm_cmpge_pd(a.v, b.v)}; }
    friend Mask<double> operator==(Vec a, Vec b) { return {_mm_cmpeq_pd(a.v, b.v)}; }
};
template <>
struct Vec<float> {
    static constexpr std::size_t kLanes = 4;
    __m128 v;
    static Vec load(const float* p) { return {_mm_loadu_ps(p)}; }
    static Vec splat(float x) { return {_mm_set1_ps(x)}; }
    void store(float* p) const { _mm_storeu_ps(p, v); }
    friend Mask<float> operator==(Vec a, Vec b) { return {_mm_cmpeq_ps(a.v, b.v)}; }
};

inline Mask<double> operator&(Mask<double> a, Mask<double> b) { return {_mm_and_pd(a.m, b.m)}; }
inline Vec<double> select(Mask<double> m, Vec<double> a, Vec<double> b) {
    return {_mm_or_pd(_mm_and_pd(m.m, a.v), _mm_andnot_pd(m.m, b.v))};
}
// minpd/maxpd return their second operand unless the first compares less/greater.
inline Vec<double> min_of(Vec<double> a, Vec<double> b) { return {_mm_min_pd(a.v, b.v)}; }
inline Vec<double> max_of(Vec<double> a, Vec<double> b) { return {_mm_max_pd(a.v, b.v)}; }
inline Vec<float> min_of(Vec<float> a, Vec<float> b) { return {_mm_min_ps(a.v, b.v)}; }
inline Vec<float> max_of(Vec<float> a, Vec<float> b) { return {_mm_max_ps(a.v, b.v)}; }
inline Vec<double> abs(Vec<double> a) { return {_mm_andnot_pd(_mm_set1_pd(-0.0), a.v)}; }

// Per-lane counts of set mask lanes (a set lane is all ones, -1 as an integer); total() sums
// the lanes.
template <class T>
struct LaneCounter;
template <>
struct LaneCounter<double> {
    __m128i c = _mm_setzero_si128();
    void add(Mask<double> m) { c = _mm_sub_epi64(c, _mm_castpd_si128(m.m)); }
    std::int64_t total() const {
        alignas(16) std::int64_t lanes[2];
        _mm_store_si128(reinterpret_cast<__m128i*>(lanes), c);
        return lanes[0] + lanes[1];
    }
};
template <>
struct LaneCounter<float> {
    __m128i c = _mm_setzero_si128();
    void add(Mask<float> m) { c = _mm_sub_epi32(c, _mm_castps_si128(m.m)); }
    std::int64_t total() const {
        alignas(16) std::int32_t lanes[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(lanes), c);
        return std::int64_t{lanes[0]} + lanes[1] + lanes[2] + lanes[3];
    }
};

#elif defined(LUMOREQ_SIMD_NEON)
template <>
struct Mask<double> {
    uint64x2_t m;
};
template <>
struct Mask<float> {
    uint32x4_t m;
};

template <>
struct Vec<double> {
    static constexpr std::size_t kLanes = 2;
    float64x2_t v;
    static Vec load(const double* p) { return {vld1q_f64(p)}; }
    static Vec splat(double x) { return {vdupq_n_f64(x)}; }
    static Vec iota(double first) {
        const double lanes[2] = {first, first + 1.0};
        return {vld1q_f64(lanes)};
    }
    void store(double* p) const { vst1q_f64(p, v); }
    friend Vec operator+(Vec a, Vec b) { return {vaddq_f64(a.v, b.v)}; }
    friend Vec operator-(Vec a, Vec b) { return {vsubq_f64(a.v, b.v)}; }
    friend Mask<double> operator<(Vec a, Vec b) { return {vcltq_f64(a.v, b.v)}; }
    friend Mask<double> operator<=(Vec a, Vec b) { return {vcleq_f64(a.v, b.v)}; }
    friend Mask<double> operator>=(Vec a, Vec b) { return {vcgeq_f64(a.v, b.v)}; }
    friend Mask<double> operator==(Vec a, Vec b) { return {vceqq_f64(a.v, b.v)}; }
};
template <>
struct Vec<float> {
    static constexpr std::size_t kLanes = 4;
    float32x4_t v;
    static Vec load(const float* p) { return {vld1q_f32(p)}; }
    static Vec splat(float x) { return {vdupq_n_f32(x)}; }
    void store(float* p) const { vst1q_f32(p, v); }
    friend Mask<float> operator==(Vec a, Vec b) { return {vceqq_f32(a.v, b.v)}; }
};

inline Mask<double> operator&(Mask<double> a, Mask<double> b) { return {vandq_u64(a.m, b.m)}; }
inline Vec<double> select(Mask<double> m, Vec<double> a, Vec<double> b) { return {vbslq_f64(m.m, a.v, b.v)}; }
// Compare and select rather than vminq/vmaxq, which propagate NaN and order -0.0 below +0.0.
inline Vec<double> min_of(Vec<double> a, Vec<double> b) { return {vbslq_f64(vcltq_f64(a.v, b.v), a.v, b.v)}; }
inline Vec<double> max_of(Vec<double> a, Vec<double> b) { return {vbslq_f64(vcgtq_f64(a.v, b.v), a.v, b.v)}; }
inline Vec<float> min_of(Vec<float> a, Vec<float> b) { return {vbslq_f32(vcltq_f32(a.v, b.v), a.v, b.v)}; }
inline Vec<float> max_of(Vec<float> a, Vec<float> b) { return {vbslq_f32(vcgtq_f32(a.v, b.v), a.v, b.v)}; }
inline Vec<double> abs(Vec<double> a) { return {vabsq_f64(a.v)}; }

template <class T>
struct LaneCounter;
template <>
struct LaneCounter<double> {
    int64x2_t c = vdupq_n_s64(0);
    void add(Mask<double> m) { c = vsubq_s64(c, vreinterpretq_s64_u64(m.m)); }
    std::int64_t total() const { return vaddvq_s64(c); }
};
template <>
struct LaneCounter<float> {
    int32x4_t c = vdupq_n_s32(0);
    void add(Mask<float> m) { c = vsubq_s32(c, vreinterpretq_s32_u32(m.m)); }
    std::int64_t total() const { return vaddlvq_s32(c); }
};

#else
// Plain arrays with the same lane structure, so reductions across lanes happen in the same
// order as with the vector units.
template <class T>
struct Mask {
    static constexpr std::size_t kLanes = 16 / sizeof(T);
    bool m[kLanes];
};

template <class T>
struct Vec {
    static constexpr std::size_t kLanes = 16 / sizeof(T);
    T v[kLanes];
    static Vec load(const T* p) {
        Vec r;
        std::memcpy(r.v, p, sizeof r.v);
        return r;
    }
    static Vec splat(T x) {
        Vec r;
        for (std::size_t j = 0; j < kLanes; ++j) r.v[j] = x;
        return r;
    }
    static Vec iota(T first) {
        Vec r;
        for (std::size_t j = 0; j < kLanes; ++j) r.v[j] = first + static_cast<T>(j);
        return r;
    }
    void store(T* p) const { std::memcpy(p, v, sizeof v); }
    template <class Op>
    static Vec lanewise(Vec a, Vec b, Op op) {
        Vec r;
        for (std::size_t j = 0; j < kLanes; ++j) r.v[j] = op(a.v[j], b.v[j]);
        return r;
    }
    template <class Op>
    static Mask<T> compare(Vec a, Vec b, Op op) {
        Mask<T> r;
        for (std::size_t j = 0; j < kLanes; ++j) r.m[j] = op(a.v[j], b.v[j]);
        return r;
    }
    friend Vec operator+(Vec a, Vec b) { return lanewise(a, b, [](T x, T y) { return x + y; }); }
    friend Vec operator-(Vec a, Vec b) { return lanewise(a, b, [](T x, T y) { return x - y; }); }
    friend Mask<T> operator<(Vec a, Vec b) { return compare(a, b, [](T x, T y) { return x < y; }); }
    friend Mask<T> operator<=(Vec a, Vec b) { return compare(a, b, [](T x, T y) { return x <= y; }); }
    friend Mask<T> operator>=(Vec a, Vec b) { return compare(a, b, [](T x, T y) { return x >= y; }); }
    friend Mask<T> operator==(Vec a, Vec b) { return compare(a, b, [](T x, T y) { return x == y; }); }
};

template <class T>
Mask<T> operator&(Mask<T> a, Mask<T> b) {
    Mask<T> r;
    for (std::size_t j = 0; j < Mask<T>::kLanes; ++j) r.m[j] = a.m[j] && b.m[j];
    return r;
}
template <class T>
Vec<T> select(Mask<T> m, Vec<T> a, Vec<T> b) {
    Vec<T> r;
    for (std::size_t j = 0; j < Vec<T>::kLanes; ++j) r.v[j] = m.m[j] ? a.v[j] : b.v[j];
    return r;
}
template <class T>
Vec<T> min_of(Vec<T> a, Vec<T> b) {
    return Vec<T>::lanewise(a, b, [](T x, T y) { return x < y ? x : y; });
}
template <class T>
Vec<T> max_of(Vec<T> a, Vec<T> b) {
    return Vec<T>::lanewise(a, b, [](T x, T y) { return x > y ? x : y; });
}
template <class T>
Vec<T> abs(Vec<T> a) {
    // Clear the sign bit (NaN keeps its payload, as with the vector units).
    using Bits = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;
    for (std::size_t j = 0; j < Vec<T>::kLanes; ++j) {
        Bits b;
        std::memcpy(&b, &a.v[j], sizeof b);
        b &= ~(Bits{1} << (sizeof(Bits) * 8 - 1));
        std::memcpy(&a.v[j], &b, sizeof b);
    }
    return a;
}

template <class T>
struct LaneCounter {
    std::int64_t c[Vec<T>::kLanes] = {};
    void add(Mask<T> m) {
        for (std::size_t j = 0; j < Vec<T>::kLanes; ++j) c[j] += m.m[j];
    }
    std::int64_t total() const {
        std::int64_t sum = 0;
        for (std::int64_t x : c) sum += x;
        return sum;
    }
};
#endif

// One lane of a vector (for the final reduction across lanes).
template <class T>
T lane(Vec<T> a, std::size_t j) {
    T lanes[Vec<T>::kLanes];
    a.store(lanes);
    return lanes[j];
}

}  // namespace simd
}  // namespace lumoreq::portable

// ---- 7. files and processes ----
// What the crash-safe writer needs of the operating system: POSIX calls on Linux and macOS,
// the Win32 API on Windows (in portable.cpp, so no system header leaks out of it). A failing
// call answers with the system's own error code and text instead of throwing.

namespace lumoreq::portable::os {

struct Status {
    int code = 0;        // errno on POSIX, GetLastError() on Windows; 0: done
    std::string reason;  // the system's text for `code`
    const char* step = "";  // the call that failed, where a function makes several ("open", "write", ...)
    explicit operator bool() const noexcept { return code == 0; }
};

long long process_id() noexcept;
// Whether a process with this id runs (one we may not signal counts as running).
bool process_alive(long long id) noexcept;
// Create an empty file that must not exist yet, with the permission bits of `mode_from` when
// that is a regular file.
Status create_exclusive(const std::filesystem::path& path, const std::filesystem::path& mode_from);
// Replace the contents of the existing file `path` with `bytes` and flush them to the disk, through
// one handle, so the failure of any step (a full disk, a quota, a size limit) is the system's own.
Status write_all(const std::filesystem::path& path, const char* bytes, std::size_t size);
// Flush a file's data to the disk.
Status sync(const std::filesystem::path& path);
// Flush a folder's entries (best effort: some file systems cannot, and Windows needs not).
void sync_folder(const std::filesystem::path& folder) noexcept;
// Rename `from` over `to` in one step.
Status replace(const std::filesystem::path& from, const std::filesystem::path& to);
// A system error code as the nearest errno value (the same number on POSIX).
int errno_of(int code) noexcept;
// The Windows error code behind `code` (the code itself on Windows), 0 elsewhere: Python maps it
// to errno by its own table when given as OSError's winerror.
int windows_error_of(int code) noexcept;

}  // namespace lumoreq::portable::os
