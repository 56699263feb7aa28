// libFuzzer target for the fixed-column catalogue reader: any bytes either fail the UTF-8
// check or parse into columns of one length whose byte ranges stay inside the text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/catalogue_line.hpp"

using namespace lumoreq::catalogue;

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

// ASCII classes plus a few non-ASCII ones (the host's tables are richer; the reader must
// not depend on which characters count).
bool is_space(char32_t c) {
    return c == ' ' || (c >= 9 && c <= 13) || c == 0x85 || c == 0xA0 || c == 0x3000;
}
int decimal(char32_t c) {
    if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
    if (c >= 0xFF10 && c <= 0xFF19) return static_cast<int>(c - 0xFF10);  // full-width digits
    return -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (!valid_utf8(text)) return 0;
    const CharClasses cc{is_space, decimal};
    const Catalogue cat = parse_catalogue(text, cc, size % 2 == 0);
    const std::size_t n = cat.size();
    if (cat.lon.size() != n || cat.magnitude.size() != n || cat.seconds.size() != n ||
        cat.time_ok.size() != n || cat.name_start.size() != n || cat.name_size.size() != n)
        fail("columns of different lengths");
    for (std::size_t i = 0; i < n; ++i) {
        if (cat.name_size[i] > size || cat.name_start[i] > size - cat.name_size[i])
            fail("name outside the text");
        if (cat.name_size[i] > 0 && !valid_utf8(text.substr(cat.name_start[i], cat.name_size[i])))
            fail("name cut inside a character");
    }
    if (size % 2 == 0) {
        if (cat.time_start.size() != n || cat.time_size.size() != n) fail("time texts missing");
        for (std::size_t i = 0; i < n; ++i)
            if (cat.time_size[i] > size || cat.time_start[i] > size - cat.time_size[i])
                fail("time outside the text");
    }
    // The number and time parsers on their own, over the decoded text.
    std::u32string points;
    for (std::size_t i = 0; i < size;) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const std::size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        char32_t cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
        for (std::size_t k = 1; k < len; ++k)
            cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        points.push_back(cp);
        i += len;
    }
    double value;
    if (parse_host_float(points.data(), points.size(), cc, value) && points.empty())
        fail("empty text is a float");
    std::int64_t seconds;
    (void)parse_event_time(points.data(), points.size(), cc, seconds);
    (void)is_clock_word(points.data(), points.size());
    return 0;
}
