// libFuzzer target for the gzip path: any bytes either decompress or are refused, never
// read or write out of bounds. Inputs are tried as they come and wrapped as a valid stream
// of the same bytes, which must decompress back to exactly those bytes.
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/gzip.hpp"

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

std::string gzip_of(std::string_view plain, int level) {
    z_stream z{};
    if (deflateInit2(&z, level, Z_DEFLATED, 16 + 15, 8, Z_DEFAULT_STRATEGY) != Z_OK) fail("deflateInit2");
    std::string out(deflateBound(&z, plain.size()) + 32, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(plain.data()));
    z.avail_in = static_cast<uInt>(plain.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    if (deflate(&z, Z_FINISH) != Z_STREAM_END) fail("deflate");
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view in(reinterpret_cast<const char*>(data), size);
    std::string out;
    (void)lumoreq::core::gunzip(in, out);

    if (size > 4096) return 0;  // the round trip below is for small inputs only
    const std::string packed = gzip_of(in, size % 10);
    if (!lumoreq::core::gunzip(packed, out) || out != in) fail("round trip");
    // Two members in a row are one stream of both texts.
    if (!lumoreq::core::gunzip(packed + packed, out) || out != std::string(in) + std::string(in))
        fail("two members");
    // A cut-off stream is refused.
    if (!packed.empty() && lumoreq::core::gunzip(std::string_view(packed).substr(0, packed.size() - 1), out))
        fail("truncated stream accepted");
    return 0;
}
