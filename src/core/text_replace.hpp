// Literal text replacement for whole columns of packed rows (the "NULLALL" marker of a day
// without samples). Plain C++; safe to call from several threads at once.
#pragma once

#include <string>
#include <string_view>

namespace lumoreq::core {

// Every occurrence of `needle` in `text`, left to right and without overlaps (as a regular
// expression of plain letters does), replaced by `replacement` into `out`. Returns false, and
// leaves `out` untouched, when `needle` does not occur. `needle` must not be empty.
bool replace_all(std::string_view text, std::string_view needle, std::string_view replacement,
                 std::string& out);

}  // namespace lumoreq::core
