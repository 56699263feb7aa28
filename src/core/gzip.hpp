// gzip decompression of whole in-memory values (the compressed OBSVALUE of minute and
// second tables). Plain C++; safe to call from several threads at once.
#pragma once

#include <string>
#include <string_view>

namespace lumoreq::core {

// Decompresses a complete gzip stream of one or more members into `out`. Returns false when
// the input is not a well-formed stream (bad magic, corrupt data, CRC or length mismatch,
// truncation, trailing bytes that are not a member); `out` is then unspecified.
bool gunzip(std::string_view in, std::string& out);

}  // namespace lumoreq::core
