#include "core/text_replace.hpp"

namespace lumoreq::core {

bool replace_all(std::string_view text, std::string_view needle, std::string_view replacement,
                 std::string& out) {
    size_t pos = text.find(needle);
    if (needle.empty() || pos == std::string_view::npos) return false;
    size_t count = 0;
    for (size_t p = pos; p != std::string_view::npos; p = text.find(needle, p + needle.size())) ++count;
    std::string result;
    result.reserve(text.size() + count * replacement.size() - count * needle.size());
    size_t from = 0;
    for (; pos != std::string_view::npos; pos = text.find(needle, from)) {
        result.append(text.substr(from, pos - from));
        result.append(replacement);
        from = pos + needle.size();
    }
    result.append(text.substr(from));
    out.swap(result);
    return true;
}

}  // namespace lumoreq::core
