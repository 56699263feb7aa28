// libFuzzer target for the packed-text kernels: number parsing, white-space stripping and
// the split of packed rows into time-sorted samples. Besides the sanitizers' checks it
// verifies what must hold for any input: plain decimal texts parse to the correctly rounded
// double, stripping stays inside the text and is idempotent, and the split emits every piece
// exactly once in non-decreasing time order, the same whatever the number of threads, with
// each sample's repeated text that of its row.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "core/packed_split.hpp"
#include "core/packed_text.hpp"

using namespace lumoreq::core;

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// [-]digits[.digits][e[+-]digits], or with the digits only after the point: the texts the
// library parses exactly, so strtod (C locale) must agree bit for bit.
bool plain_decimal(std::string_view s) {
    std::size_t i = 0, digits = 0;
    if (i < s.size() && s[i] == '-') ++i;
    while (i < s.size() && is_digit(s[i])) ++i, ++digits;
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && is_digit(s[i])) ++i, ++digits;
    }
    if (digits == 0) return false;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        std::size_t exp_digits = 0;
        while (i < s.size() && is_digit(s[i])) ++i, ++exp_digits;
        if (exp_digits == 0) return false;
    }
    return i == s.size();
}

void check_number(std::string_view text) {
    const ParsedNumber n = parse_number(text);
    if (n.kind == ParsedNumber::Integer && n.negative && n.magnitude == 0) fail("negative zero integer");
    if (plain_decimal(text)) {
        if (n.kind == ParsedNumber::NotANumber) fail("plain decimal rejected");
        const std::string copy(text);
        const double expected = std::strtod(copy.c_str(), nullptr);
        if (std::memcmp(&expected, &n.real, sizeof expected) != 0)
            fail("plain decimal not correctly rounded");
    }
    if (std::memchr(text.data(), '\0', text.size()) != nullptr && n.kind != ParsedNumber::NotANumber)
        fail("text with NUL accepted");
}

void check_strip(std::string_view text) {
    const std::string_view s = strip_whitespace(text);
    if (s.data() < text.data() || s.data() + s.size() > text.data() + text.size())
        fail("strip out of bounds");
    const std::string_view again = strip_whitespace(s);
    if (again.size() != s.size()) fail("strip not idempotent");
}

void check_split(std::string_view data, int64_t step, int64_t base) {
    // Rows are the input's lines; a line holding only 0x01 stands for a missing text.
    std::vector<TextCell> rows;
    std::vector<int64_t> starts;
    std::size_t begin = 0;
    while (begin <= data.size() && rows.size() < 64) {
        std::size_t end = data.find('\n', begin);
        if (end == std::string_view::npos) end = data.size();
        const std::string_view line = data.substr(begin, end - begin);
        if (line == "\x01")
            rows.emplace_back();
        else
            rows.push_back(TextCell::text(line.data(), line.size()));
        // Start times out of order, repeated, missing, and near the 64-bit edge.
        const int64_t k = static_cast<int64_t>(rows.size() % 7);
        starts.push_back(k == 5 ? kNaT : k == 6 ? INT64_MAX - 3 : base - k * 1000);
        begin = end + 1;
    }
    const std::size_t total = count_pieces(rows);
    if (total > (1u << 20)) return;
    std::vector<int64_t> stamps(total), source(total);
    std::vector<float> values(total);
    const SplitStatus status = split_rows(rows, starts, step, stamps.data(), values.data(), source.data());
    if (status != SplitStatus::Ok) return;
    std::vector<std::size_t> per_row(rows.size(), 0);
    for (std::size_t i = 0; i < total; ++i) {
        if (source[i] < 0 || static_cast<std::size_t>(source[i]) >= rows.size())
            fail("source row out of range");
        ++per_row[static_cast<std::size_t>(source[i])];
        if (i > 0) {
            const bool prev_nat = stamps[i - 1] == kNaT, nat = stamps[i] == kNaT;
            if (prev_nat && !nat) fail("NaT before a time");
            if (!prev_nat && !nat && stamps[i] < stamps[i - 1]) fail("times out of order");
        }
    }
    for (std::size_t r = 0; r < rows.size(); ++r)
        if (per_row[r] != count_pieces(std::span<const TextCell>(&rows[r], 1))) fail("piece count");
    // The order is the stable sort by time (NaT last) of the samples in row and piece order.
    std::vector<std::pair<int64_t, int64_t>> expected;  // (time, row)
    for (std::size_t r = 0; r < rows.size(); ++r) {
        const std::size_t count = count_pieces(std::span<const TextCell>(&rows[r], 1));
        for (std::size_t k = 0; k < count; ++k)
            expected.emplace_back(starts[r] == kNaT ? kNaT : starts[r] + static_cast<int64_t>(k) * step,
                                  static_cast<int64_t>(r));
    }
    auto before = [](int64_t a, int64_t b) { return a != kNaT && (b == kNaT || a < b); };
    std::stable_sort(expected.begin(), expected.end(),
                     [&](const auto& a, const auto& b) { return before(a.first, b.first); });
    for (std::size_t i = 0; i < total; ++i)
        if (stamps[i] != expected[i].first || source[i] != expected[i].second) fail("not the stable time order");

    // Cut again on several threads, the rows' own texts repeated per sample.
    SplitPlan plan;
    if (plan_split(rows, starts, step, plan) != SplitStatus::Ok) fail("plan refused a split that was made");
    RepeatedSize size;
    if (!repeated_size(plan, rows, size)) return;
    std::vector<int64_t> stamps2(total), offsets(total + 1);
    std::vector<float> values2(total);
    std::vector<char> bytes(size.bytes + kRepeatSlack);
    std::vector<uint8_t> validity((total + 7) / 8 + 1, 0xAB);
    const RepeatedText text{rows, offsets.data(), bytes.data(), size.missing > 0 ? validity.data() : nullptr};
    const unsigned threads = 2 + static_cast<unsigned>(base & 3);
    if (split_planned(plan, stamps2.data(), values2.data(), nullptr, {&text, 1}, threads) != SplitStatus::Ok)
        fail("threaded split refused");
    if (std::memcmp(stamps.data(), stamps2.data(), total * sizeof(int64_t)) != 0 ||
        std::memcmp(values.data(), values2.data(), total * sizeof(float)) != 0)
        fail("threads changed the split");
    for (std::size_t i = 0; i < total; ++i) {
        const TextCell& row = rows[static_cast<std::size_t>(source[i])];
        const bool valid = size.missing == 0 || ((validity[i >> 3] >> (i & 7)) & 1);
        if (valid == row.missing) fail("repeated text validity");
        const std::string_view got(bytes.data() + offsets[i], static_cast<std::size_t>(offsets[i + 1] - offsets[i]));
        if (got != (row.missing ? std::string_view() : row.view())) fail("repeated text");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, std::size_t size) {
    if (size == 0) return 0;
    const std::string_view data(reinterpret_cast<const char*>(bytes) + 1, size - 1);
    check_number(data);
    check_strip(data);
    // The first byte picks the spacing: positive, zero, negative, or huge.
    const int64_t steps[] = {60000000, 1, 0, -3600000000LL, INT64_MAX / 3, 1000000000};
    check_split(data, steps[bytes[0] % 6], (bytes[0] & 0x80 ? INT64_MIN + 100000 : 1704067200000000LL) + (bytes[0] >> 5 & 3));
    // Every blank-separated piece on its own as well.
    std::size_t begin = 0;
    while (begin <= data.size()) {
        std::size_t end = data.find(' ', begin);
        if (end == std::string_view::npos) end = data.size();
        check_number(data.substr(begin, end - begin));
        begin = end + 1;
    }
    return 0;
}
