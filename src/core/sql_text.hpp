// Pieces of SQL text built from values that come from callers or from data: such a value must
// never change the structure of a statement. Plain C++; safe to call from several threads.
#pragma once

#include <string>
#include <string_view>

namespace lumoreq::core {

// 'text' with every embedded single quote doubled: a literal that always ends where it should.
std::string sql_quote(std::string_view text);

// True for an optional '-' followed by one or more ASCII digits and nothing else.
bool is_plain_integer(std::string_view text);

// True for a name made only of the characters of an unquoted Oracle identifier
// (ASCII letters, digits, '_', '$', '#'), starting with a letter.
bool is_plain_identifier(std::string_view text);

// text as a LIKE pattern that matches it literally, with a backslash as the ESCAPE
// character: '%', '_' and the backslash itself each get a backslash in front.
std::string sql_like_literal(std::string_view text);

// "name" with embedded double quotes doubled.
std::string sql_quote_identifier(std::string_view text);

// SQLAlchemy's text() reads ":word" anywhere, even inside quotes. A colon inside a quoted
// literal or quoted identifier is written "\:" so that text() leaves it as a colon; colons
// outside quotes (the statement's own bind parameters) are left alone.
std::string escape_colons_in_quotes(std::string_view sql);

}  // namespace lumoreq::core
