#include "core/gzip.hpp"

#include <zlib.h>

#include <cstdint>
#include <cstring>

namespace lumoreq::core {

bool gunzip(std::string_view in, std::string& out) {
    out.clear();
    if (in.empty()) return true;  // no member at all: nothing to decompress
    // Inflate straight into `out`. ISIZE of the last member (the size modulo 2^32) is a good
    // first guess of the output size; the buffer grows when the guess is short.
    size_t capacity = 1 << 16;
    if (in.size() >= 18) {
        uint32_t isize;
        std::memcpy(&isize, in.data() + in.size() - 4, 4);
        // Trusted only up to deflate's largest expansion (about 1032:1), so four corrupt
        // bytes cannot make a tiny value allocate a gigabyte.
        if (isize < (1u << 30) && isize / 1032 <= in.size()) capacity = static_cast<size_t>(isize) + 1;
    }
    out.resize(capacity);
    z_stream zs{};
    if (inflateInit2(&zs, 16 + MAX_WBITS) != Z_OK) return false;
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    size_t remaining = in.size();
    size_t produced = 0;
    bool ok = true;
    while (ok) {
        if (produced == out.size()) out.resize(out.size() * 2);
        const size_t room = out.size() - produced;
        const uInt out_chunk = room > (1u << 30) ? (1u << 30) : static_cast<uInt>(room);
        const uInt in_chunk = remaining > (1u << 30) ? (1u << 30) : static_cast<uInt>(remaining);
        zs.next_out = reinterpret_cast<Bytef*>(out.data() + produced);
        zs.avail_out = out_chunk;
        zs.avail_in = in_chunk;
        const int rc = inflate(&zs, Z_NO_FLUSH);
        remaining -= in_chunk - zs.avail_in;
        produced += out_chunk - zs.avail_out;
        if (rc == Z_STREAM_END) {
            if (remaining == 0) break;
            // Another member follows (concatenated gzip files decompress to the joined text).
            if (inflateReset(&zs) != Z_OK) ok = false;
        } else if (rc == Z_BUF_ERROR) {
            // No progress possible: fine only when the output was full (it grows next round).
            if (zs.avail_out != 0) ok = false;  // truncated stream
        } else if (rc != Z_OK) {
            ok = false;
        }
    }
    inflateEnd(&zs);
    out.resize(produced);
    return ok;
}

}  // namespace lumoreq::core
