#include "core/row_groups.hpp"

#include <string_view>
#include <tuple>
#include <unordered_map>

namespace lumoreq::core {
namespace {

struct KeyHash {
    std::size_t operator()(const std::tuple<std::int64_t, std::int64_t, std::int64_t>& k) const {
        std::uint64_t h = static_cast<std::uint64_t>(std::get<0>(k)) * 0x9E3779B97F4A7C15ull;
        h ^= static_cast<std::uint64_t>(std::get<1>(k)) + 0x632BE59BD9B4E019ull + (h << 6) + (h >> 2);
        h ^= static_cast<std::uint64_t>(std::get<2>(k)) + 0x85EBCA77C2B2AE63ull + (h << 6) + (h >> 2);
        return static_cast<std::size_t>(h);
    }
};

}  // namespace

RowGroups group_rows(const std::int64_t* a, const std::int64_t* b, const std::int64_t* c, std::size_t n) {
    RowGroups out;
    std::vector<std::int64_t> group_of(n);
    std::unordered_map<std::tuple<std::int64_t, std::int64_t, std::int64_t>, std::int64_t, KeyHash> ids;
    std::vector<std::int64_t> counts;
    std::int64_t last = -1;
    for (std::size_t i = 0; i < n; ++i) {
        // Series usually come in long runs of one key: skip the hash look-up within a run.
        if (last >= 0 && out.a[last] == a[i] && out.b[last] == b[i] && out.c[last] == c[i]) {
            group_of[i] = last;
            ++counts[last];
            continue;
        }
        auto [it, inserted] = ids.try_emplace({a[i], b[i], c[i]}, static_cast<std::int64_t>(out.a.size()));
        if (inserted) {
            out.a.push_back(a[i]);
            out.b.push_back(b[i]);
            out.c.push_back(c[i]);
            counts.push_back(0);
        }
        last = it->second;
        group_of[i] = last;
        ++counts[last];
    }
    // Counting sort of the row numbers by group keeps each group's rows ascending.
    out.offsets.assign(counts.size() + 1, 0);
    for (std::size_t g = 0; g < counts.size(); ++g) out.offsets[g + 1] = out.offsets[g] + counts[g];
    std::vector<std::int64_t> next(out.offsets.begin(), out.offsets.end() - 1);
    out.rows.resize(n);
    for (std::size_t i = 0; i < n; ++i) out.rows[static_cast<std::size_t>(next[group_of[i]]++)] = static_cast<std::int64_t>(i);
    return out;
}

}  // namespace lumoreq::core

namespace lumoreq::core {

template <typename Offset>
void factorize_string_chunk(const Offset* offsets, const char* data, const std::uint8_t* validity,
                            std::int64_t chunk_offset, std::size_t length, std::int64_t* codes, StringCodes& state) {
    std::unordered_map<std::string_view, std::int64_t> known;
    for (std::size_t u = 0; u < state.uniques.size(); ++u) known.emplace(state.uniques[u], static_cast<std::int64_t>(u));
    std::string_view last_text;
    std::int64_t last_code = -2;
    for (std::size_t i = 0; i < length; ++i) {
        const auto pos = static_cast<std::int64_t>(i) + chunk_offset;
        if (validity && !((validity[pos >> 3] >> (pos & 7)) & 1)) {
            if (state.uniques_before_first_missing < 0)
                state.uniques_before_first_missing = static_cast<std::int64_t>(state.uniques.size());
            codes[i] = -1;
            continue;
        }
        const std::string_view text(data + offsets[pos], static_cast<std::size_t>(offsets[pos + 1] - offsets[pos]));
        // Key columns come in long runs of one value: compare with the previous one first.
        if (last_code >= 0 && text == last_text) {
            codes[i] = last_code;
            continue;
        }
        auto it = known.find(text);
        if (it == known.end()) {
            state.uniques.emplace_back(text);
            it = known.emplace(text, static_cast<std::int64_t>(state.uniques.size() - 1)).first;
        }
        last_text = text;
        last_code = it->second;
        codes[i] = last_code;
    }
}

template void factorize_string_chunk<std::int32_t>(const std::int32_t*, const char*, const std::uint8_t*, std::int64_t,
                                                   std::size_t, std::int64_t*, StringCodes&);
template void factorize_string_chunk<std::int64_t>(const std::int64_t*, const char*, const std::uint8_t*, std::int64_t,
                                                   std::size_t, std::int64_t*, StringCodes&);

}  // namespace lumoreq::core
