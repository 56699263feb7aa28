#include "core/packed_split.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <limits>
#include <numeric>
#include <thread>

#include "core/portable.hpp"

namespace lumoreq::core {

namespace {

// Sort key with NaT after every real time: INT64_MIN -> max, everything else keeps its order
// (and its differences: key(t + d) = key(t) + d while t + d is a time).
inline uint64_t sort_key(int64_t stamp) { return static_cast<uint64_t>(stamp) + 0x7FFFFFFFFFFFFFFFULL; }
inline int64_t from_sort_key(uint64_t key) { return static_cast<int64_t>(key - 0x7FFFFFFFFFFFFFFFULL); }

// Pieces of a row whose key lies below `bound`.
inline std::size_t pieces_below(const SplitRow& row, uint64_t bound, int64_t step) {
    if (bound <= row.first_key) return 0;
    if (bound > row.last_key) return row.count;
    // first < bound <= last: more than one piece and a positive step
    const uint64_t distance = bound - row.first_key;
    const auto s = static_cast<uint64_t>(step);
    return static_cast<std::size_t>(distance / s + (distance % s != 0));
}

// A repeated column ready to be written: each short row text staged in a zero-padded block of
// kRepeatSlack bytes, so an entry is one fixed-size copy.
struct StagedRow {
    const char* from = nullptr;
    std::size_t size = 0;
    bool missing = true;
};
struct StagedColumn {
    std::vector<char> blocks;
    std::vector<StagedRow> rows;
    int64_t* offsets = nullptr;
    char* data = nullptr;
    uint8_t* validity = nullptr;

    explicit StagedColumn(const RepeatedText& t)
        : blocks(t.rows.size() * kRepeatSlack, 0),
          rows(t.rows.size()),
          offsets(t.offsets),
          data(t.data),
          validity(t.validity) {
        for (std::size_t r = 0; r < t.rows.size(); ++r) {
            const TextCell& cell = t.rows[r];
            if (cell.missing) continue;
            const char* from = cell.data;
            if (cell.size <= kRepeatSlack) {
                if (cell.size > 0) std::memcpy(blocks.data() + r * kRepeatSlack, cell.data, cell.size);
                from = blocks.data() + r * kRepeatSlack;
            }
            rows[r] = {from, cell.size, false};
        }
    }
};

// One window's share of the outputs: entries [begin, end).
struct Sink {
    int64_t* stamps = nullptr;
    float* values = nullptr;
    int64_t* source_rows = nullptr;
    std::size_t begin = 0, end = 0;
    NumberColumn column;
    struct Text {
        const StagedColumn* column;
        int64_t at;     // bytes written before the next entry
        int64_t limit;  // the first byte another window writes (or the end of the buffer)
    };
    std::vector<Text> texts;

    void put_texts(std::size_t row, std::size_t o) {
        for (Text& t : texts) {
            const StagedColumn& c = *t.column;
            const StagedRow& s = c.rows[row];
            char* to = c.data + t.at;
            // The block's spare bytes land where the next entries go; near the window's end,
            // where the next window writes, entries are copied exactly.
            if (s.size <= kRepeatSlack && t.at + static_cast<int64_t>(kRepeatSlack) <= t.limit) {
                if (!s.missing) std::memcpy(to, s.from, kRepeatSlack);
            } else if (s.size > 0) {
                std::memcpy(to, s.from, s.size);
            }
            t.at += static_cast<int64_t>(s.size);
            c.offsets[o + 1] = t.at;
            if (c.validity != nullptr && !s.missing) set_valid(c.validity, o);
        }
    }

    // Bytes at the window's edges may hold bits of a neighbouring window too.
    void set_valid(uint8_t* bits, std::size_t o) const {
        const std::size_t byte = o >> 3;
        const auto mask = static_cast<uint8_t>(1u << (o & 7));
        if (byte == (begin >> 3) || byte == ((end - 1) >> 3))
            std::atomic_ref<uint8_t>(bits[byte]).fetch_or(mask, std::memory_order_relaxed);
        else
            bits[byte] = static_cast<uint8_t>(bits[byte] | mask);
    }
};

// Reads a row one piece at a time, in time order within the row.
struct PieceCursor {
    const char* at = nullptr;  // null: the row has no text
    const char* end = nullptr;
    std::size_t left = 0;
    int64_t stamp = kNaT;
    std::size_t row = 0;

    // Opens pieces [first, last) of `plan`; `first` is skipped over in the text.
    void open(const SplitRow& plan, std::size_t number, std::size_t first, std::size_t last, int64_t step) {
        row = number;
        left = last - first;
        at = plan.text;
        end = plan.text + plan.size;
        if (at != nullptr)
            for (std::size_t k = 0; k < first; ++k) at = static_cast<const char*>(std::memchr(at, ' ', end - at)) + 1;
        // Within the range checked by the plan.
        stamp = plan.start == kNaT ? kNaT : plan.start + static_cast<int64_t>(first) * step;
    }

    // Writes the next piece at output position o; true while the row has more.
    bool emit(Sink& sink, int64_t step, std::size_t o) {
        if (at == nullptr) {
            sink.column.add_missing(sink.values, o);
        } else {
            // pieces are short: a plain scan beats a library call per piece
            const char* piece_end = at;
            while (piece_end < end && *piece_end != ' ') ++piece_end;
            sink.column.add_text(std::string_view(at, static_cast<std::size_t>(piece_end - at)), sink.values, o);
            at = piece_end + 1;
        }
        sink.stamps[o] = stamp;
        if (sink.source_rows != nullptr) sink.source_rows[o] = static_cast<int64_t>(row);
        if (!sink.texts.empty()) sink.put_texts(row, o);
        if (--left == 0) return false;
        if (stamp != kNaT) stamp += step;
        return true;
    }
};

// The rows laid into chains, each ascending in time and in row number (a series' rows usually
// form one); merging the chains on (time, row number) gives exactly the stable sort of the
// samples by time.
struct Chains {
    std::vector<std::size_t> heads;
    std::vector<std::size_t> next;  // the row after each row in its chain; npos at the end
    static constexpr std::size_t npos = SIZE_MAX;
};

// More chains than this and a plain sort is the better way.
constexpr std::size_t kMaxChains = 256;

// Greedy chaining: each row goes after the chain whose last time is the latest one not after
// the row's first time (equal times are fine: the later row sorts after). False when the rows
// need more than kMaxChains chains.
bool build_chains(const SplitPlan& plan, Chains& chains) {
    const std::size_t n_rows = plan.rows.size();
    chains.next.assign(n_rows, Chains::npos);
    std::vector<std::size_t> tails_row;
    std::vector<std::pair<uint64_t, std::size_t>> tails;  // (last key, chain), sorted
    for (std::size_t r = 0; r < n_rows; ++r) {
        const SplitRow& p = plan.rows[r];
        auto it = std::upper_bound(tails.begin(), tails.end(), std::make_pair(p.first_key, SIZE_MAX));
        std::size_t chain;
        if (it == tails.begin()) {
            if (chains.heads.size() == kMaxChains) return false;
            chain = chains.heads.size();
            chains.heads.push_back(r);
            tails_row.push_back(r);
        } else {
            --it;
            chain = it->second;
            chains.next[tails_row[chain]] = r;
            tails_row[chain] = r;
            tails.erase(it);
        }
        const auto entry = std::make_pair(p.last_key, chain);
        tails.insert(std::upper_bound(tails.begin(), tails.end(), entry), entry);
    }
    return true;
}

// A window of sort keys [low, high) (no bound where `has_low` / `has_high` is false).
struct Window {
    bool has_low = false, has_high = false;
    uint64_t low = 0, high = 0;

    std::size_t first_piece(const SplitRow& row, int64_t step) const {
        return has_low ? pieces_below(row, low, step) : 0;
    }
    std::size_t end_piece(const SplitRow& row, int64_t step) const {
        return has_high ? pieces_below(row, high, step) : row.count;
    }
};

// Merges the pieces of every chain that fall in the window into the sink, by a loser-tree
// tournament on (time, row number).
void cut_window(const SplitPlan& plan, const Chains& chains, const Window& window, Sink& sink) {
    const int64_t step = plan.step;
    const std::size_t k = chains.heads.size();
    std::size_t leaves = 1;
    while (leaves < k) leaves *= 2;
    std::vector<PieceCursor> cursors(leaves);
    std::vector<std::size_t> chain_row(leaves, Chains::npos);
    // Tournament keys per leaf; an exhausted (or padding) leaf holds the largest pair.
    std::vector<uint64_t> key(leaves, UINT64_MAX), rank(leaves, UINT64_MAX);

    // Opens the first row from `r` on (along its chain) with pieces in the window.
    auto open_from = [&](std::size_t leaf, std::size_t r) {
        for (; r != Chains::npos; r = chains.next[r]) {
            const SplitRow& row = plan.rows[r];
            const std::size_t first = window.first_piece(row, step), last = window.end_piece(row, step);
            if (first < last) {
                chain_row[leaf] = r;
                cursors[leaf].open(row, r, first, last, step);
                key[leaf] = sort_key(cursors[leaf].stamp);
                rank[leaf] = r;
                return;
            }
            if (last == 0) break;  // this row and every later one of the chain lie beyond the window
        }
        chain_row[leaf] = Chains::npos;
        key[leaf] = UINT64_MAX;
        rank[leaf] = UINT64_MAX;
    };
    for (std::size_t c = 0; c < k; ++c) open_from(c, chains.heads[c]);

    auto less = [&](std::size_t a, std::size_t b) {
        return key[a] < key[b] || (key[a] == key[b] && rank[a] < rank[b]);
    };
    // Loser tree: node i holds the loser of its match, the overall winner is kept apart.
    std::vector<std::size_t> loser(leaves, 0);
    std::vector<std::size_t> winner_of(2 * leaves);
    for (std::size_t i = 0; i < leaves; ++i) winner_of[leaves + i] = i;
    for (std::size_t node = leaves - 1; node >= 1; --node) {
        const std::size_t a = winner_of[2 * node], b = winner_of[2 * node + 1];
        if (less(b, a)) {
            winner_of[node] = b;
            loser[node] = a;
        } else {
            winner_of[node] = a;
            loser[node] = b;
        }
    }
    std::size_t winner = leaves > 1 ? winner_of[1] : 0;

    std::size_t o = sink.begin;
    while (rank[winner] != UINT64_MAX) {
        PieceCursor& cur = cursors[winner];
        if (cur.emit(sink, step, o++))
            key[winner] = sort_key(cur.stamp);
        else
            open_from(winner, chains.next[chain_row[winner]]);
        for (std::size_t node = (winner + leaves) >> 1; node >= 1; node >>= 1)
            if (less(loser[node], winner)) std::swap(loser[node], winner);
    }
}

// Stable sort of (key, index) by key: merges the ascending runs the data already has.
void natural_merge_sort(std::vector<uint64_t>& keys, std::vector<uint32_t>& index) {
    const std::size_t n = keys.size();
    std::vector<std::size_t> bounds{0};
    for (std::size_t i = 1; i < n; ++i)
        if (keys[i] < keys[i - 1]) bounds.push_back(i);
    bounds.push_back(n);
    if (bounds.size() <= 2) return;

    std::vector<uint64_t> keys_buf(n);
    std::vector<uint32_t> index_buf(n);
    while (bounds.size() > 2) {
        std::vector<std::size_t> merged{0};
        std::size_t r = 0;
        for (; r + 2 < bounds.size(); r += 2) {
            const std::size_t a = bounds[r], b = bounds[r + 1], e = bounds[r + 2];
            std::size_t i = a, j = b, o = a;
            while (i < b && j < e) {
                // Take from the right run only when strictly smaller: equal keys keep order.
                if (keys[j] < keys[i]) {
                    keys_buf[o] = keys[j];
                    index_buf[o++] = index[j++];
                } else {
                    keys_buf[o] = keys[i];
                    index_buf[o++] = index[i++];
                }
            }
            for (; i < b; ++i, ++o) keys_buf[o] = keys[i], index_buf[o] = index[i];
            for (; j < e; ++j, ++o) keys_buf[o] = keys[j], index_buf[o] = index[j];
            merged.push_back(e);
        }
        if (r + 1 < bounds.size()) {
            // An odd run out: carried over as it is.
            const auto a = static_cast<std::ptrdiff_t>(bounds[r]);
            const auto e = static_cast<std::ptrdiff_t>(bounds[r + 1]);
            std::copy(keys.begin() + a, keys.begin() + e, keys_buf.begin() + a);
            std::copy(index.begin() + a, index.begin() + e, index_buf.begin() + a);
            merged.push_back(bounds[r + 1]);
        }
        keys.swap(keys_buf);
        index.swap(index_buf);
        bounds.swap(merged);
    }
}

// Falling times within rows, or rows too entangled for a merge: cut in row order, then a
// stable sort by time, then the repeated columns in the sorted order.
SplitStatus cut_and_sort(const SplitPlan& plan, Sink& sink) {
    const std::size_t n = plan.total;
    if (n > std::numeric_limits<uint32_t>::max()) return SplitStatus::TooLarge;
    std::vector<uint32_t> rows_of(n);
    {
        Sink rows_only;
        rows_only.stamps = sink.stamps;
        rows_only.values = sink.values;
        rows_only.begin = 0;
        rows_only.end = n;
        std::size_t o = 0;
        PieceCursor cur;
        for (std::size_t r = 0; r < plan.rows.size(); ++r) {
            const std::size_t first = o;
            cur.open(plan.rows[r], r, 0, plan.rows[r].count, plan.step);
            while (cur.emit(rows_only, plan.step, o++)) {
            }
            std::fill(rows_of.begin() + static_cast<std::ptrdiff_t>(first), rows_of.begin() + static_cast<std::ptrdiff_t>(o),
                      static_cast<uint32_t>(r));
        }
        sink.column = std::move(rows_only.column);
    }
    std::vector<uint64_t> keys(n);
    for (std::size_t i = 0; i < n; ++i) keys[i] = sort_key(sink.stamps[i]);
    std::vector<uint32_t> order(n);
    std::iota(order.begin(), order.end(), uint32_t{0});
    natural_merge_sort(keys, order);

    for (std::size_t i = 0; i < n; ++i) sink.stamps[i] = from_sort_key(keys[i]);
    std::vector<uint64_t>().swap(keys);
    {
        // The integer results the column remembers are by generated position: patched first.
        sink.column.finish(sink.values);
        sink.column = NumberColumn();
        std::vector<float> by_generation(sink.values, sink.values + n);
        for (std::size_t i = 0; i < n; ++i) sink.values[i] = by_generation[order[i]];
    }
    for (std::size_t i = 0; i < n; ++i) {
        const uint32_t row = rows_of[order[i]];
        if (sink.source_rows != nullptr) sink.source_rows[i] = row;
        if (!sink.texts.empty()) sink.put_texts(row, i);
    }
    return SplitStatus::Ok;
}


// Runs body(w) for w in [0, n) on n threads (the caller's among them); the first exception
// thrown is rethrown once all have finished.
template <typename Body>
void run_windows(std::size_t n, Body&& body) {
    std::vector<std::exception_ptr> errors(n);
    auto guarded = [&](std::size_t w) {
        try {
            body(w);
        } catch (...) {
            errors[w] = std::current_exception();
        }
    };
    std::vector<std::thread> threads;
    std::size_t w = 1;
    try {
        threads.reserve(n > 0 ? n - 1 : 0);
        for (; w < n; ++w) threads.emplace_back(guarded, w);
    } catch (...) {
        // no thread to be had: the caller cuts the remaining windows itself
    }
    if (n > 0) guarded(0);
    for (; w < n; ++w) guarded(w);
    for (auto& t : threads) t.join();
    for (const auto& e : errors)
        if (e) std::rethrow_exception(e);
}

}  // namespace

unsigned split_threads(std::size_t total) {
    // Fewer samples than this per window and a thread costs more than it saves; past a few
    // threads the memory bus is the limit.
    constexpr std::size_t kMinPerWindow = std::size_t{1} << 14;
    constexpr unsigned kMaxThreads = 8;
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    return static_cast<unsigned>(std::clamp<std::size_t>(total / kMinPerWindow, 1, std::min(cores, kMaxThreads)));
}

SplitStatus plan_split(std::span<const TextCell> rows, std::span<const int64_t> starts, int64_t step,
                       SplitPlan& plan) {
    if (rows.size() > std::numeric_limits<uint32_t>::max() || starts.size() != rows.size())
        return SplitStatus::TooLarge;
    plan.rows.assign(rows.size(), SplitRow{});
    plan.step = step;
    plan.total = 0;
    for (std::size_t r = 0; r < rows.size(); ++r) {
        SplitRow& p = plan.rows[r];
        p.start = starts[r];
        int64_t last = p.start;
        if (!rows[r].missing) {
            const std::string_view text = strip_whitespace(rows[r].view());
            // a stripped empty text still has a position to read from
            p.text = text.data() != nullptr ? text.data() : "";
            p.size = text.size();
            p.count = 1 + static_cast<std::size_t>(std::count(text.begin(), text.end(), ' '));
            // The offsets of a row, then its times, must stay in 64 bits (times move
            // monotonically with the piece number, so the last piece bounds them).
            int64_t last_offset;
            if (portable::mul_overflow(static_cast<int64_t>(p.count - 1), step, last_offset))
                return SplitStatus::TimeOverflow;
            if (p.start != kNaT && (portable::add_overflow(p.start, last_offset, last) || last == kNaT))
                return SplitStatus::TimeOverflow;
        }
        p.first_key = sort_key(p.start);
        p.last_key = sort_key(last);
        plan.total += p.count;
    }
    return SplitStatus::Ok;
}

bool repeated_size(const SplitPlan& plan, std::span<const TextCell> rows, RepeatedSize& out) {
    if (rows.size() != plan.rows.size()) return false;
    out = RepeatedSize{};
    for (std::size_t r = 0; r < rows.size(); ++r) {
        const std::size_t count = plan.rows[r].count;
        if (rows[r].missing) {
            out.missing += count;
            continue;
        }
        uint64_t bytes;
        if (portable::mul_overflow(static_cast<uint64_t>(rows[r].size), static_cast<uint64_t>(count), bytes) ||
            portable::add_overflow(out.bytes, bytes, out.bytes))
            return false;
    }
    return out.bytes <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) - kRepeatSlack;
}

SplitStatus split_planned(const SplitPlan& plan, int64_t* stamps, float* values, int64_t* source_rows,
                          std::span<const RepeatedText> texts, unsigned threads) {
    const std::size_t n = plan.total;
    std::vector<StagedColumn> staged;
    staged.reserve(texts.size());
    for (const RepeatedText& t : texts) {
        staged.emplace_back(t);
        t.offsets[0] = 0;
        if (t.validity != nullptr) std::memset(t.validity, 0, (n + 7) / 8);
    }
    auto sink_for = [&](std::size_t begin, std::size_t end, const std::vector<int64_t>& at) {
        Sink sink;
        sink.stamps = stamps;
        sink.values = values;
        sink.source_rows = source_rows;
        sink.begin = begin;
        sink.end = end;
        for (std::size_t j = 0; j < staged.size(); ++j) sink.texts.push_back({&staged[j], at[j], INT64_MAX});
        return sink;
    };
    const std::vector<int64_t> no_bytes(staged.size(), 0);

    Chains chains;
    if (plan.step < 0 || !build_chains(plan, chains)) {
        Sink sink = sink_for(0, n, no_bytes);
        const SplitStatus status = cut_and_sort(plan, sink);
        if (status == SplitStatus::Ok) sink.column.finish(values);
        return status;
    }

    // Time windows holding about equal shares of the samples: each boundary is the smallest key
    // below which at least its share lies. All samples of one time fall in one window.
    const std::size_t windows = std::clamp<std::size_t>(threads, 1, std::max<std::size_t>(1, n));
    std::vector<Window> bounds(windows);
    for (std::size_t w = 1; w < windows; ++w) {
        const std::size_t share = n / windows * w;
        uint64_t lo = 0, hi = UINT64_MAX;
        while (lo < hi) {
            const uint64_t mid = lo + (hi - lo) / 2;
            std::size_t below = 0;
            for (const SplitRow& row : plan.rows) below += pieces_below(row, mid, plan.step);
            if (below >= share)
                hi = mid;
            else
                lo = mid + 1;
        }
        bounds[w - 1].has_high = bounds[w].has_low = true;
        bounds[w - 1].high = bounds[w].low = lo;
    }
    // Each window's first entry and first byte of every repeated column.
    std::vector<Sink> sinks;
    sinks.reserve(windows);
    std::size_t begin = 0;
    for (std::size_t w = 0; w < windows; ++w) {
        std::size_t end = 0;
        std::vector<int64_t> at(staged.size(), 0);
        for (std::size_t r = 0; r < plan.rows.size(); ++r) {
            const SplitRow& row = plan.rows[r];
            const std::size_t first = bounds[w].first_piece(row, plan.step);
            end += bounds[w].end_piece(row, plan.step);
            for (std::size_t j = 0; j < staged.size(); ++j)
                at[j] += static_cast<int64_t>(first * staged[j].rows[r].size);
        }
        if (w > 0)
            for (std::size_t j = 0; j < staged.size(); ++j) sinks[w - 1].texts[j].limit = at[j];
        sinks.push_back(sink_for(begin, end, at));
        begin = end;
    }
    run_windows(windows, [&](std::size_t w) {
        if (sinks[w].begin < sinks[w].end) cut_window(plan, chains, bounds[w], sinks[w]);
    });
    NumberColumn column;
    for (const Sink& sink : sinks) column.absorb(sink.column);
    column.finish(values);
    return SplitStatus::Ok;
}

std::size_t count_pieces(std::span<const TextCell> rows) {
    std::size_t total = 0;
    for (const TextCell& cell : rows) {
        if (cell.missing) {
            ++total;
            continue;
        }
        const std::string_view text = strip_whitespace(cell.view());
        total += 1 + static_cast<std::size_t>(std::count(text.begin(), text.end(), ' '));
    }
    return total;
}

SplitStatus split_rows(std::span<const TextCell> rows, std::span<const int64_t> starts, int64_t step,
                       int64_t* stamps, float* values, int64_t* source_rows) {
    SplitPlan plan;
    const SplitStatus status = plan_split(rows, starts, step, plan);
    if (status != SplitStatus::Ok) return status;
    return split_planned(plan, stamps, values, source_rows, {}, 1);
}

}  // namespace lumoreq::core
