// Packed rows cut into samples: every row's text split at single blanks, each piece stamped
// with its row's start plus its position times the step, all samples in stable time order,
// and the row's other text columns repeated for each of its samples. Plain C++; every function
// is safe to call from several threads at once (each call writes only its own outputs).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/packed_text.hpp"

namespace lumoreq::core {

enum class SplitStatus {
    Ok,
    TimeOverflow,  // a timestamp left the 64-bit range: the caller lets the library raise
    TooLarge,      // more rows or pieces than this implementation indexes
};

// One source row ready to be cut: its stripped text, its piece count and the sort keys of its
// first and last piece (NaT sorts after every time).
struct SplitRow {
    const char* text = nullptr;  // null for a missing text (one sample without value)
    std::size_t size = 0;
    std::size_t count = 1;
    int64_t start = kNaT;
    uint64_t first_key = 0, last_key = 0;
};

struct SplitPlan {
    std::vector<SplitRow> rows;
    std::size_t total = 0;  // samples of all rows
    int64_t step = 0;
};

// Reads every row once: strips its text, counts its pieces and checks that its times stay in
// 64 bits. The plan points into the texts of `rows`, which must outlive it.
SplitStatus plan_split(std::span<const TextCell> rows, std::span<const int64_t> starts, int64_t step,
                       SplitPlan& plan);

// A text column of the source rows repeated for every sample (an Arrow string column with
// 64-bit offsets): entry i holds the text of sample i's row.
struct RepeatedText {
    std::span<const TextCell> rows;  // one cell per source row
    int64_t* offsets = nullptr;      // plan.total + 1 entries
    char* data = nullptr;            // repeated_size().bytes + kRepeatSlack bytes
    uint8_t* validity = nullptr;     // (repeated_size().missing + 7) / 8 bytes when some entry is missing
};

struct RepeatedSize {
    uint64_t bytes = 0;
    std::size_t missing = 0;
};
// Bytes the data buffer needs beyond the count of repeated_size: short texts are copied in
// whole blocks.
inline constexpr std::size_t kRepeatSlack = 16;

// The size of a repeated column, from each row's piece count (no pass over the samples).
// False when `rows` does not have one cell per row of the plan.
bool repeated_size(const SplitPlan& plan, std::span<const TextCell> rows, RepeatedSize& out);

// Cuts the planned rows into the outputs, each of plan.total entries: the samples in ascending
// time order, rows with equal times in source order (rows first, then pieces); piece k of a
// row is stamped start + k * step, a missing text gives one sample (NaN) at the row's start,
// a missing start gives NaT for every piece. `source_rows` (may be null) receives each sample's
// row number; every repeated column is filled. `threads` threads (the caller's among them) cut
// disjoint time windows at once; the result does not depend on their number.
SplitStatus split_planned(const SplitPlan& plan, int64_t* stamps, float* values, int64_t* source_rows,
                          std::span<const RepeatedText> texts, unsigned threads);

// The threads worth starting for a split of `total` samples on this machine.
unsigned split_threads(std::size_t total);

// The two steps in one, single-threaded and without repeated columns; `count_pieces` gives the
// size of the outputs.
std::size_t count_pieces(std::span<const TextCell> rows);
SplitStatus split_rows(std::span<const TextCell> rows, std::span<const int64_t> starts, int64_t step,
                       int64_t* stamps, float* values, int64_t* source_rows);

}  // namespace lumoreq::core
