// Packed observation rows: one text field holding many samples separated by single blanks.
// Stripping, splitting, number parsing and sample timestamps, on raw UTF-8 buffers. The
// numbers follow the table library's text-to-number conversion (pandas.to_numeric with
// errors="coerce", then a cast to float32) exactly, including its choice between an
// integer and a floating column. Plain C++; every function is safe to call from several
// threads at once (no shared mutable state).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

namespace lumoreq::core {

// The value used for a missing timestamp (numpy's NaT).
inline constexpr int64_t kNaT = INT64_MIN;

// One text cell of a column: a view of UTF-8 bytes, or a missing value (None / NaN).
struct TextCell {
    const char* data = nullptr;
    std::size_t size = 0;
    bool missing = true;

    static TextCell text(const char* d, std::size_t n) { return TextCell{d, n, false}; }
    std::string_view view() const { return {data, size}; }
};

// What the library's conversion makes of one text.
struct ParsedNumber {
    enum Kind : uint8_t {
        NotANumber,         // empty, or not accepted: NaN
        Real,               // accepted with a fraction, an exponent, or as infinity
        Integer,            // plain digits within [INT64_MIN, UINT64_MAX]
        IntegerOutOfRange,  // plain digits outside that range: only `real` is used
    };
    Kind kind = NotANumber;
    double real = 0.0;       // the parsed double (all kinds but NotANumber)
    uint64_t magnitude = 0;  // Integer: absolute value
    bool negative = false;   // Integer: sign (never set for zero)
};

// Parses one whole text as the library does: surrounding ASCII blanks allowed, a plain
// decimal number (correctly rounded), "inf"/"infinity" with an optional sign in any case,
// and nothing else (an embedded NUL makes the text not a number).
ParsedNumber parse_number(std::string_view text);

// The text without the leading and trailing white space that Python's str.strip() removes
// (the Unicode white-space characters), for valid UTF-8 input.
std::string_view strip_whitespace(std::string_view utf8);

// Column-wide conversion: the library returns integers for a column whose every entry is a
// plain integer and doubles otherwise, so the float32 of "-0" or of a 19-digit integer
// depends on the other entries. Values are written as the floating result; the few entries
// whose integer result differs are remembered and patched by `finish`.
class NumberColumn {
public:
    // Writes the float32 of one entry to `out[index]`.
    void add_text(std::string_view text, float* out, std::size_t index);
    void add_missing(float* out, std::size_t index);
    // Applies the column's integer-or-floating choice to `out`.
    void finish(float* out) const;
    bool floating() const { return float_ || (uint_ && sint_) || !int_; }
    // Takes in the entries another part of the same column has seen (written to the same `out`).
    void absorb(const NumberColumn& other);

private:
    bool float_ = false, int_ = false, uint_ = false, sint_ = false;
    std::vector<std::pair<std::size_t, float>> integer_results_;
};

// Converts a whole column (no stripping, no splitting) into `out` (size of `cells`).
void parse_column(std::span<const TextCell> cells, float* out);

}  // namespace lumoreq::core
