// Wall-clock timing the benchmarks share: a duration in seconds, and the
// fastest of several runs of one piece of work (the page cache warm after
// the first, a busy moment of the machine left out).
#pragma once

#include <algorithm>
#include <chrono>
#include <functional>

namespace tolvane::bench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

inline double Best(int runs, const std::function<void()>& work) {
    double best = 1e9;
    for (int run = 0; run < runs; ++run) {
        auto start = Clock::now();
        work();
        best = std::min(best, Seconds(Clock::now() - start));
    }
    return best;
}

}  // namespace tolvane::bench
