// A minimal parallel loop for kernels whose items are independent: [0, n) is cut into
// contiguous blocks, one per worker thread. Plain C++; no shared state beyond what `body`
// touches, which must be disjoint per index.
#pragma once

#include <algorithm>
#include <cstddef>
#include <thread>
#include <vector>

namespace lumoreq::core {

inline unsigned worker_count(std::size_t n, std::size_t min_per_worker) {
    const unsigned hw = std::max(1u, std::thread::hardware_concurrency());
    const std::size_t by_size = min_per_worker ? n / min_per_worker : n;
    return static_cast<unsigned>(std::max<std::size_t>(1, std::min<std::size_t>(hw, by_size)));
}

// Calls body(begin, end) on disjoint blocks covering [0, n); blocks run on up to
// hardware_concurrency threads, each at least `min_per_worker` items long.
template <typename Body>
void parallel_blocks(std::size_t n, std::size_t min_per_worker, Body&& body) {
    const unsigned workers = worker_count(n, min_per_worker);
    if (workers <= 1) {
        body(std::size_t{0}, n);
        return;
    }
    std::vector<std::thread> threads;
    threads.reserve(workers - 1);
    const std::size_t step = (n + workers - 1) / workers;
    for (unsigned w = 1; w < workers; ++w) {
        const std::size_t b = std::min(n, w * step), e = std::min(n, b + step);
        if (b < e) threads.emplace_back([&body, b, e] { body(b, e); });
    }
    body(std::size_t{0}, std::min(n, step));
    for (auto& t : threads) t.join();
}

}  // namespace lumoreq::core
