// Rows of a table grouped by three key columns. Each key column is given as runs (row where a
// run starts, code of its value; -1 marks a missing key): tables hold their series in long runs,
// so the work is per run, not per row. Groups are numbered in order of first appearance.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace lumoreq::core {

struct Run {
    std::int64_t start;
    std::int64_t code;
};

struct RowGroups {
    // Per group: the three codes of its key.
    std::vector<std::int64_t> a, b, c;
    // Per group: its row ranges [begin, end), ascending, as flat pairs.
    std::vector<std::vector<std::int64_t>> ranges;
};

RowGroups group_runs(const std::vector<Run>& a, const std::vector<Run>& b, const std::vector<Run>& c,
                     std::int64_t n);

// Runs of an integer code column.
std::vector<Run> runs_of_codes(const std::int64_t* codes, std::size_t n);

// Distinct strings of an Arrow string column, continued chunk by chunk.
struct StringCodes {
    std::deque<std::string> uniques;                 // in order of first appearance; a deque never moves its strings
    std::int64_t uniques_before_first_missing = -1;  // -1: no missing value seen
};

// Appends the runs of one chunk (offsets of `Offset` width, UTF-8 bytes, optional validity
// bitmap); `first_row` is the chunk's first row in the whole column.
template <typename Offset>
void string_chunk_runs(const Offset* offsets, const char* data, const std::uint8_t* validity,
                       std::int64_t chunk_offset, std::size_t length, std::int64_t first_row, StringCodes& state,
                       std::vector<Run>& runs);

extern template void string_chunk_runs<std::int32_t>(const std::int32_t*, const char*, const std::uint8_t*,
                                                     std::int64_t, std::size_t, std::int64_t, StringCodes&,
                                                     std::vector<Run>&);
extern template void string_chunk_runs<std::int64_t>(const std::int64_t*, const char*, const std::uint8_t*,
                                                     std::int64_t, std::size_t, std::int64_t, StringCodes&,
                                                     std::vector<Run>&);

}  // namespace lumoreq::core
