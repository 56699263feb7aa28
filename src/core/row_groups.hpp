// Rows of a table grouped by three integer key columns (factorised codes; -1 marks a missing
// key), groups numbered in order of first appearance.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace lumoreq::core {

struct RowGroups {
    // Per group: the three codes of its key.
    std::vector<std::int64_t> a, b, c;
    // Rows of group g are rows[offsets[g] .. offsets[g + 1]), ascending.
    std::vector<std::int64_t> offsets;
    std::vector<std::int64_t> rows;
};

RowGroups group_rows(const std::int64_t* a, const std::int64_t* b, const std::int64_t* c, std::size_t n);

}  // namespace lumoreq::core

namespace lumoreq::core {

// Codes of one chunk of an Arrow string column (offsets of `Offset` width, UTF-8 bytes, optional
// validity bitmap), continuing the numbering of `state`. Missing strings get -1.
struct StringCodes {
    std::deque<std::string> uniques;  // in order of first appearance; a deque never moves its strings
    std::int64_t uniques_before_first_missing = -1;  // -1: no missing value seen
};

template <typename Offset>
void factorize_string_chunk(const Offset* offsets, const char* data, const std::uint8_t* validity,
                            std::int64_t chunk_offset, std::size_t length, std::int64_t* codes, StringCodes& state);

extern template void factorize_string_chunk<std::int32_t>(const std::int32_t*, const char*, const std::uint8_t*,
                                                          std::int64_t, std::size_t, std::int64_t*, StringCodes&);
extern template void factorize_string_chunk<std::int64_t>(const std::int64_t*, const char*, const std::uint8_t*,
                                                          std::int64_t, std::size_t, std::int64_t*, StringCodes&);

}  // namespace lumoreq::core
