// Text columns repeated row by row: the texts of a few source rows copied into a new Arrow-style
// string column (offsets, bytes, validity bits) in the order given by a row number per output
// entry. Plain C++; safe to call from several threads at once (writes only the given outputs).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/packed_text.hpp"

namespace lumoreq::core {

// Size of the gathered column: its bytes and how many entries are missing. False when a row
// number lies outside `rows`.
struct GatherSize {
    std::uint64_t bytes = 0;
    std::size_t missing = 0;
};
bool gather_size(std::span<const TextCell> rows, std::span<const std::int64_t> picks, GatherSize& out);

// Bytes `data` needs beyond the count of gather_size: short texts are copied in whole blocks.
inline constexpr std::size_t kGatherSlack = 16;

// Writes entry i as the text of rows[picks[i]]: `offsets` has picks.size() + 1 entries,
// `data` the bytes gather_size counted plus kGatherSlack, `validity` (when not null; LSB-first bits, one per
// entry, padded to whole bytes) a cleared bit for a missing text. Row numbers must have been
// checked by gather_size; an offset width too narrow for the byte count is the caller's to
// refuse.
template <typename Offset>
void gather_texts(std::span<const TextCell> rows, std::span<const std::int64_t> picks, Offset* offsets, char* data,
                  std::uint8_t* validity);

extern template void gather_texts<std::int32_t>(std::span<const TextCell>, std::span<const std::int64_t>,
                                                std::int32_t*, char*, std::uint8_t*);
extern template void gather_texts<std::int64_t>(std::span<const TextCell>, std::span<const std::int64_t>,
                                                std::int64_t*, char*, std::uint8_t*);

}  // namespace lumoreq::core
