#include "core/gzip.hpp"

#include <zlib.h>

#include <cstdint>
#include <cstring>

namespace lumoreq::core {

bool gunzip(std::string_view in, std::string& out) {
    out.clear();
    if (in.empty()) return true;  // no member at all: nothing to decompress
    if (in.size() >= 18) {
        // ISIZE of the last member is a good first guess of the output size.
        uint32_t isize;
        std::memcpy(&isize, in.data() + in.size() - 4, 4);
        if (isize < (1u << 30)) out.reserve(isize + 1);
    }
    z_stream zs{};
    if (inflateInit2(&zs, 16 + MAX_WBITS) != Z_OK) return false;
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    size_t remaining = in.size();
    bool ok = true;
    char buffer[1 << 16];
    while (ok) {
        const uInt chunk = remaining > (1u << 30) ? (1u << 30) : static_cast<uInt>(remaining);
        zs.avail_in = chunk;
        zs.next_out = reinterpret_cast<Bytef*>(buffer);
        zs.avail_out = sizeof buffer;
        const int rc = inflate(&zs, Z_NO_FLUSH);
        remaining -= chunk - zs.avail_in;
        out.append(buffer, sizeof buffer - zs.avail_out);
        if (rc == Z_STREAM_END) {
            if (remaining == 0) break;
            // Another member follows (concatenated gzip files decompress to the joined text).
            if (inflateReset(&zs) != Z_OK) ok = false;
        } else if (rc == Z_BUF_ERROR) {
            if (remaining == 0 && zs.avail_out != 0) ok = false;  // truncated stream
        } else if (rc != Z_OK) {
            ok = false;
        }
    }
    inflateEnd(&zs);
    return ok;
}

}  // namespace lumoreq::core
