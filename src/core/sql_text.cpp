#include "core/sql_text.hpp"

namespace lumoreq::core {

namespace {
bool ascii_digit(char c) { return c >= '0' && c <= '9'; }
bool ascii_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

std::string quote_with(std::string_view text, char q) {
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back(q);
    for (char c : text) {
        out.push_back(c);
        if (c == q) out.push_back(q);
    }
    out.push_back(q);
    return out;
}
}  // namespace

std::string sql_quote(std::string_view text) { return quote_with(text, '\''); }

std::string sql_quote_identifier(std::string_view text) { return quote_with(text, '"'); }

std::string sql_like_literal(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '%' || c == '_' || c == '\\') out += '\\';
        out += c;
    }
    return out;
}

bool is_plain_integer(std::string_view text) {
    if (!text.empty() && text.front() == '-') text.remove_prefix(1);
    if (text.empty()) return false;
    for (char c : text)
        if (!ascii_digit(c)) return false;
    return true;
}

bool is_plain_identifier(std::string_view text) {
    if (text.empty() || !ascii_letter(text.front())) return false;
    for (char c : text)
        if (!ascii_letter(c) && !ascii_digit(c) && c != '_' && c != '$' && c != '#') return false;
    return true;
}

std::string escape_colons_in_quotes(std::string_view sql) {
    std::string out;
    out.reserve(sql.size() + 8);
    char quote = 0;  // the quote character we are inside, or 0
    for (char c : sql) {
        if (quote) {
            if (c == ':') out.push_back('\\');
            // A doubled quote closes and reopens: the state comes out right either way.
            if (c == quote) quote = 0;
        } else if (c == '\'' || c == '"') {
            quote = c;
        }
        out.push_back(c);
    }
    return out;
}

}  // namespace lumoreq::core
