#include "fleet/statistics.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "bench/statistics.h"
#include "fleet/thresholds.h"

namespace fpbench {

namespace {

// The values of both samples ranked together: doubled mid-ranks (whole
// numbers, ties included) and each run of ties' length.
struct Ranked {
    std::vector<std::int64_t> doubled_rank;  // in the pooled order: a's values, then b's
    std::vector<std::size_t> ties;
};

Ranked RankTogether(std::span<const double> a, std::span<const double> b) {
    const std::size_t total = a.size() + b.size();
    std::vector<std::pair<double, std::size_t>> pooled;
    pooled.reserve(total);
    for (const double value : a) pooled.emplace_back(value, pooled.size());
    for (const double value : b) pooled.emplace_back(value, pooled.size());
    std::sort(pooled.begin(), pooled.end());
    Ranked ranked{std::vector<std::int64_t>(total), {}};
    for (std::size_t i = 0; i < total;) {
        std::size_t j = i + 1;
        while (j < total && pooled[j].first == pooled[i].first) ++j;
        for (std::size_t k = i; k < j; ++k) ranked.doubled_rank[pooled[k].second] = static_cast<std::int64_t>(i + 1 + j);
        ranked.ties.push_back(j - i);
        i = j;
    }
    return ranked;
}

// The exact p: the ways each doubled rank sum of m of the pooled values arises, counted.
double ExactP(const std::vector<std::int64_t>& rank, std::size_t m, std::int64_t observed) {
    const std::size_t total = rank.size();
    std::int64_t highest = 0;
    for (const std::int64_t r : rank) highest += r;
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

double NormalP(std::size_t m, std::size_t n, std::int64_t observed, const std::vector<std::size_t>& ties) {
    const double big_n = static_cast<double>(m + n), mn = static_cast<double>(m) * static_cast<double>(n);
    double tied = 0;
    for (const std::size_t t : ties) tied += std::pow(static_cast<double>(t), 3) - static_cast<double>(t);
    const double variance = mn / 12 * (big_n + 1 - tied / (big_n * (big_n - 1)));
    if (!(variance > 0)) return 1.0;
    // |U - m·n/2| equals |R - m·(N + 1)/2| for the rank sum R of the first sample.
    const double distance = std::fabs(static_cast<double>(observed) / 2 - static_cast<double>(m) * (big_n + 1) / 2);
    const double z = std::max(0.0, distance - 0.5) / std::sqrt(variance);
    return std::min(1.0, std::erfc(z / std::sqrt(2.0)));
}

}  // namespace

double MannWhitneyP(std::span<const double> a, std::span<const double> b) {
    const auto finite = [](double value) { return std::isfinite(value); };
    if (!std::all_of(a.begin(), a.end(), finite) || !std::all_of(b.begin(), b.end(), finite))
        return std::numeric_limits<double>::quiet_NaN();
    if (a.empty() || b.empty()) return 1.0;
    const Ranked ranked = RankTogether(a, b);
    std::int64_t observed = 0;
    for (std::size_t i = 0; i < a.size(); ++i) observed += ranked.doubled_rank[i];
    return a.size() + b.size() <= judging::kExactTrials ? ExactP(ranked.doubled_rank, a.size(), observed)
                                                          : NormalP(a.size(), b.size(), observed, ranked.ties);
}

double SelectMedian(std::span<double> values) {
    if (values.empty()) return -1.0;
    const std::size_t k = values.size();
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(k / 2);
    std::nth_element(values.begin(), middle, values.end());
    if (k % 2 == 1) return *middle;
    return (*std::max_element(values.begin(), middle) + *middle) * 0.5;
}

double MedianAbsoluteDeviation(std::span<const double> values) {
    if (values.empty()) return -1.0;
    std::vector<double> deviations(values.begin(), values.end());
    const double median = SelectMedian(deviations);
    for (std::size_t i = 0; i < values.size(); ++i) deviations[i] = std::fabs(values[i] - median);
    return SelectMedian(deviations);
}

}  // namespace fpbench
