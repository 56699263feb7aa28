#include "core/text_gather.hpp"

#include <cstring>
#include <vector>


namespace lumoreq::core {

bool gather_size(std::span<const TextCell> rows, std::span<const std::int64_t> picks, GatherSize& out) {
    // Per row once, then one lookup per entry (the rows are few, the entries many).
    std::vector<std::uint32_t> length(rows.size());
    for (std::size_t r = 0; r < rows.size(); ++r) {
        if (!rows[r].missing && rows[r].size > UINT32_MAX - 1) return false;
        length[r] = rows[r].missing ? UINT32_MAX : static_cast<std::uint32_t>(rows[r].size);
    }
    const auto n_rows = static_cast<std::uint64_t>(rows.size());
    std::uint64_t bytes = 0;
    std::size_t missing = 0;
    for (const std::int64_t r : picks) {
        if (static_cast<std::uint64_t>(r) >= n_rows) return false;
        const std::uint32_t len = length[static_cast<std::size_t>(r)];
        if (len == UINT32_MAX)
            ++missing;
        else
            bytes += len;
    }
    out.bytes = bytes;
    out.missing = missing;
    return true;
}

template <typename Offset>
void gather_texts(std::span<const TextCell> rows, std::span<const std::int64_t> picks, Offset* offsets, char* data,
                  std::uint8_t* validity) {
    // The rows are few and the entries many: each short row is staged once in a block of
    // kGatherSlack bytes, so an entry is one fixed-size copy (the bytes past its end are
    // overwritten by the next entry, or land in the slack).
    constexpr std::size_t block = kGatherSlack;
    struct Staged {
        const char* from;
        std::size_t size;
        bool missing;
    };
    std::vector<char> blocks(rows.size() * block, 0);
    std::vector<Staged> staged(rows.size());
    for (std::size_t r = 0; r < rows.size(); ++r) {
        const TextCell& cell = rows[r];
        if (cell.missing) {
            staged[r] = {nullptr, 0, true};
        } else if (cell.size <= block) {
            if (cell.size > 0) std::memcpy(blocks.data() + r * block, cell.data, cell.size);
            staged[r] = {blocks.data() + r * block, cell.size, false};
        } else {
            staged[r] = {cell.data, cell.size, false};
        }
    }
    const std::size_t n = picks.size();
    if (validity != nullptr) std::memset(validity, 0, (n + 7) / 8);
    Offset at = 0;
    offsets[0] = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const Staged& row = staged[static_cast<std::size_t>(picks[i])];
        if (row.size <= block) {
            if (!row.missing) std::memcpy(data + at, row.from, block);
        } else {
            std::memcpy(data + at, row.from, row.size);
        }
        at += static_cast<Offset>(row.size);
        offsets[i + 1] = at;
        if (validity != nullptr && !row.missing)
            validity[i >> 3] = static_cast<std::uint8_t>(validity[i >> 3] | (1u << (i & 7)));
    }
}

template void gather_texts<std::int32_t>(std::span<const TextCell>, std::span<const std::int64_t>, std::int32_t*,
                                         char*, std::uint8_t*);
template void gather_texts<std::int64_t>(std::span<const TextCell>, std::span<const std::int64_t>, std::int64_t*,
                                         char*, std::uint8_t*);

}  // namespace lumoreq::core
