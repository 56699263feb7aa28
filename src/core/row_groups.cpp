#include "core/row_groups.hpp"

#include <algorithm>
#include <cstring>
#include <map>
#include <string_view>
#include <tuple>
#include <unordered_map>

namespace lumoreq::core {

namespace {
void push_run(std::vector<Run>& runs, std::int64_t row, std::int64_t code) {
    if (runs.empty() || runs.back().code != code) runs.push_back({row, code});
}
}  // namespace

std::vector<Run> runs_of_codes(const std::int64_t* codes, std::size_t n) {
    std::vector<Run> runs;
    for (std::size_t i = 0; i < n; ++i) push_run(runs, static_cast<std::int64_t>(i), codes[i]);
    return runs;
}

namespace {

// True when the `count` validity bits from bit `pos` are all set.
bool all_valid(const std::uint8_t* validity, std::int64_t pos, std::size_t count) {
    std::int64_t bit = pos;
    const std::int64_t stop = pos + static_cast<std::int64_t>(count);
    for (; bit < stop && (bit & 7); ++bit)
        if (!((validity[bit >> 3] >> (bit & 7)) & 1)) return false;
    for (; bit + 8 <= stop; bit += 8)
        if (validity[bit >> 3] != 0xFF) return false;
    for (; bit < stop; ++bit)
        if (!((validity[bit >> 3] >> (bit & 7)) & 1)) return false;
    return true;
}

// True when the `count` rows after row `pos` (a valid row `len` bytes long) are valid, `len`
// bytes long each, and hold the same bytes as row `pos`. Rows sit back to back in the data
// buffer, so that is one check that the offsets step by `len` and one comparison of the bytes
// with themselves shifted by one row.
template <typename Offset>
bool repeats(const Offset* offsets, const char* data, const std::uint8_t* validity, std::int64_t pos,
             std::size_t len, std::size_t count) {
    if (validity && !all_valid(validity, pos + 1, count)) return false;
    const Offset step = static_cast<Offset>(len);
    bool steady = true;
    for (std::size_t j = 1; j <= count; ++j)
        steady &= offsets[pos + static_cast<std::int64_t>(j) + 1] - offsets[pos + static_cast<std::int64_t>(j)] == step;
    if (!steady) return false;
    const char* base = data + offsets[pos];
    return len == 0 || std::memcmp(base + len, base, count * len) == 0;
}

}  // namespace

template <typename Offset>
void string_chunk_runs(const Offset* offsets, const char* data, const std::uint8_t* validity,
                       std::int64_t chunk_offset, std::size_t length, std::int64_t first_row, StringCodes& state,
                       std::vector<Run>& runs) {
    std::unordered_map<std::string_view, std::int64_t> known;
    for (std::size_t u = 0; u < state.uniques.size(); ++u) known.emplace(state.uniques[u], static_cast<std::int64_t>(u));
    const char* last_ptr = nullptr;
    std::size_t last_len = 0;
    std::int64_t last_code = -2;
    // Key columns come in long runs of one value: once a run has lasted a while, whole blocks
    // of rows are checked at once (doubling while they keep matching). A failed block check
    // costs at most as many rows as the run already proved, and row-by-row work resumes.
    constexpr std::size_t kFirstBlock = 64, kLastBlock = std::size_t{1} << 16;
    std::size_t block = kFirstBlock, run_rows = 0;
    for (std::size_t i = 0; i < length; ++i) {
        const auto pos = static_cast<std::int64_t>(i) + chunk_offset;
        const auto row = first_row + static_cast<std::int64_t>(i);
        if (validity && !((validity[pos >> 3] >> (pos & 7)) & 1)) {
            if (state.uniques_before_first_missing < 0)
                state.uniques_before_first_missing = static_cast<std::int64_t>(state.uniques.size());
            push_run(runs, row, -1);
            last_code = -2;
            run_rows = 0;
            continue;
        }
        const char* ptr = data + offsets[pos];
        const auto len = static_cast<std::size_t>(offsets[pos + 1] - offsets[pos]);
        // Within a run the value repeats: compare with the previous one before hashing.
        if (last_code >= 0 && len == last_len && (len == 0 || std::memcmp(ptr, last_ptr, len) == 0)) {
            // (the chunk's last rows in one shorter block, rather than row by row)
            const std::size_t span = std::min(block, length - 1 - i);
            if (++run_rows >= block && span > 0) {
                if (repeats(offsets, data, validity, pos, len, span)) {
                    i += span;
                    run_rows += span;
                    block = std::min(block * 2, kLastBlock);
                } else {
                    block = kFirstBlock;
                    run_rows = 0;
                }
            }
            continue;
        }
        const std::string_view text(ptr, len);
        auto it = known.find(text);
        if (it == known.end()) {
            state.uniques.emplace_back(text);
            it = known.emplace(state.uniques.back(), static_cast<std::int64_t>(state.uniques.size() - 1)).first;
        }
        last_ptr = ptr;
        last_len = len;
        last_code = it->second;
        run_rows = 0;
        block = kFirstBlock;
        push_run(runs, row, last_code);
    }
}

template void string_chunk_runs<std::int32_t>(const std::int32_t*, const char*, const std::uint8_t*, std::int64_t,
                                              std::size_t, std::int64_t, StringCodes&, std::vector<Run>&);
template void string_chunk_runs<std::int64_t>(const std::int64_t*, const char*, const std::uint8_t*, std::int64_t,
                                              std::size_t, std::int64_t, StringCodes&, std::vector<Run>&);

RowGroups group_runs(const std::vector<Run>& a, const std::vector<Run>& b, const std::vector<Run>& c,
                     std::int64_t n) {
    RowGroups out;
    std::map<std::tuple<std::int64_t, std::int64_t, std::int64_t>, std::size_t> ids;
    std::size_t ia = 0, ib = 0, ic = 0;
    std::int64_t row = 0;
    while (row < n) {
        // Advance each column to the run holding `row`; the segment ends where any run ends.
        while (ia + 1 < a.size() && a[ia + 1].start <= row) ++ia;
        while (ib + 1 < b.size() && b[ib + 1].start <= row) ++ib;
        while (ic + 1 < c.size() && c[ic + 1].start <= row) ++ic;
        std::int64_t end = n;
        if (ia + 1 < a.size()) end = std::min(end, a[ia + 1].start);
        if (ib + 1 < b.size()) end = std::min(end, b[ib + 1].start);
        if (ic + 1 < c.size()) end = std::min(end, c[ic + 1].start);
        const auto key = std::make_tuple(a[ia].code, b[ib].code, c[ic].code);
        auto [it, inserted] = ids.try_emplace(key, out.a.size());
        if (inserted) {
            out.a.push_back(a[ia].code);
            out.b.push_back(b[ib].code);
            out.c.push_back(c[ic].code);
            out.ranges.emplace_back();
        }
        auto& ranges = out.ranges[it->second];
        if (!ranges.empty() && ranges.back() == row)
            ranges.back() = end;  // touching segments of one group merge
        else {
            ranges.push_back(row);
            ranges.push_back(end);
        }
        row = end;
    }
    return out;
}

}  // namespace lumoreq::core
