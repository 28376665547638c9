#include "fleet/statistics.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "bench/statistics.h"

namespace fpbench {

double MannWhitneyP(std::span<const double> a, std::span<const double> b) {
    const std::size_t m = a.size(), total = a.size() + b.size();
    if (a.empty() || b.empty()) return 1.0;
    // Doubled mid-ranks keep tied ranks whole numbers.
    std::vector<std::pair<double, bool>> pooled;
    for (const double value : a) pooled.emplace_back(value, true);
    for (const double value : b) pooled.emplace_back(value, false);
    std::sort(pooled.begin(), pooled.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
    std::vector<std::int64_t> rank(total);
    for (std::size_t i = 0; i < total;) {
        std::size_t j = i;
        while (j < total && pooled[j].first == pooled[i].first) ++j;
        for (std::size_t k = i; k < j; ++k) rank[k] = static_cast<std::int64_t>(i + 1 + j);  // 2 · mean of i+1..j
        i = j;
    }
    std::int64_t observed = 0, highest = 0;
    for (std::size_t i = 0; i < total; ++i) {
        if (pooled[i].second) observed += rank[i];
        highest += rank[i];
    }
    // ways[k][w]: subsets of k of the ranks seen so far whose doubled sum is w.
    std::vector<std::vector<double>> ways(m + 1, std::vector<double>(static_cast<std::size_t>(highest) + 1, 0.0));
    ways[0][0] = 1.0;
    for (std::size_t i = 0; i < total; ++i)
        for (std::size_t k = std::min(m, i + 1); k >= 1; --k)
            for (std::int64_t w = highest; w >= rank[i]; --w) ways[k][w] += ways[k - 1][w - rank[i]];
    // Doubled expectation m·(N + 1); as far from it as observed, either way.
    const std::int64_t expected = static_cast<std::int64_t>(m * (total + 1));
    const std::int64_t distance = std::llabs(observed - expected);
    double extreme = 0, all = 0;
    for (std::int64_t w = 0; w <= highest; ++w) {
        all += ways[m][w];
        if (std::llabs(w - expected) >= distance) extreme += ways[m][w];
    }
    return std::min(1.0, extreme / all);
}

double MedianAbsoluteDeviation(std::span<const double> values) {
    if (values.empty()) return -1.0;
    const double median = Median({values.begin(), values.end()});
    std::vector<double> deviations;
    for (const double value : values) deviations.push_back(std::fabs(value - median));
    return Median(std::move(deviations));
}

}  // namespace fpbench
