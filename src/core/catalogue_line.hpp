// Fixed-column earthquake catalogue lines: cut by characters, stripped and parsed the way the
// host interpreter would (str.strip, float(), and the table library's "%Y%m%d%H%M%S" parser).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace lumoreq::catalogue {

// Unicode classification borrowed from the host, so whitespace and decimal digits are those
// of the interpreter's own Unicode database. Both must be safe to call from any thread.
struct CharClasses {
    bool (*is_space)(char32_t);  // str.isspace() for one character
    int (*decimal)(char32_t);    // decimal digit value, -1 when the character is none
};

// Strict UTF-8, as the host's "utf-8" codec accepts it (no surrogates, no overlongs).
bool valid_utf8(std::string_view bytes);

// float() of a text given as code points; false where float() raises ValueError.
bool parse_host_float(const char32_t* text, std::size_t n, const CharClasses& cc, double& out);

// Seconds since the epoch of a stripped 14-character time text read with "%Y%m%d%H%M%S"
// (the table library's pattern, which also takes shorter digit runs); false means NaT.
bool parse_event_time(const char32_t* text, std::size_t n, const CharClasses& cc, std::int64_t& seconds);

// The table library reads "now" and "today" as the wall clock; such texts are left to it.
bool is_clock_word(const char32_t* text, std::size_t n);

struct Catalogue {
    std::vector<std::int64_t> seconds;  // valid only where time_ok
    std::vector<std::uint8_t> time_ok;
    std::vector<double> lat, lon, magnitude;
    std::vector<std::size_t> name_start;  // byte range of the stripped place name
    std::vector<std::size_t> name_size;   // 0: no name
    std::vector<std::size_t> time_start;  // byte range of the stripped time text, when asked for
    std::vector<std::size_t> time_size;
    bool has_clock_word = false;
    std::size_t size() const { return lat.size(); }
};

// Every non-blank line of valid UTF-8 text; "\r\n", "\r" and "\n" each end a line. The time
// texts themselves are kept only when asked for (the wall-clock words need them).
Catalogue parse_catalogue(std::string_view utf8, const CharClasses& cc, bool keep_time_text = false);

}  // namespace lumoreq::catalogue
