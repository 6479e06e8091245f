#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "portfolio/row_sort.h"

using namespace tidemark;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Rows that stress each path: sizes around the insertion and radix limits,
// ties, signed zeros, infinities, values equal in their top bits, heavy tails.
std::vector<std::vector<double>> rows() {
    std::mt19937_64 rng(42);
    std::normal_distribution<double> normal;
    std::uniform_int_distribution<int> small(0, 9);
    std::vector<std::vector<double>> out;
    for (std::size_t n : {0, 1, 2, 19, 20, 21, 255, 256, 257, 1000, 3001}) {
        std::vector<double> plain(n), ties(n), close(n), wild(n);
        for (std::size_t i = 0; i < n; ++i) {
            plain[i] = normal(rng);
            ties[i] = small(rng) - 4.5 * (i % 2);
            close[i] = 1.0 + std::ldexp(static_cast<double>(small(rng)), -45) + std::ldexp(normal(rng), -40);
            wild[i] = std::exp(normal(rng) * 20.0) * (i % 3 ? 1.0 : -1.0);
        }
        if (n > 4) {
            ties[0] = -0.0;
            ties[1] = 0.0;
            wild[2] = kInf;
            wild[3] = -kInf;
        }
        out.push_back(plain);
        out.push_back(ties);
        out.push_back(close);
        out.push_back(wild);
    }
    return out;
}

}  // namespace

TEST(RowSorter, OrdersEveryPositionAscending) {
    RowSorter sorter;
    for (const auto& v : rows()) {
        const auto& order = sorter.order(v);
        ASSERT_EQ(order.size(), v.size());
        std::vector<std::size_t> seen(order.begin(), order.end());
        std::sort(seen.begin(), seen.end());
        for (std::size_t i = 0; i < seen.size(); ++i) ASSERT_EQ(seen[i], i);
        for (std::size_t i = 1; i < order.size(); ++i) ASSERT_LE(v[order[i - 1]], v[order[i]]) << v.size();
    }
}

TEST(RowSorter, SkipsNaNWhenAsked) {
    RowSorter sorter;
    std::mt19937_64 rng(7);
    for (auto v : rows()) {
        for (std::size_t i = 0; i < v.size(); ++i)
            if (rng() % 4 == 0) v[i] = kNaN;
        const auto& order = sorter.order(v, true);
        const auto finite = static_cast<std::size_t>(std::count_if(v.begin(), v.end(), [](double x) {
            return !std::isnan(x);
        }));
        ASSERT_EQ(order.size(), finite);
        for (std::size_t pos : order) ASSERT_FALSE(std::isnan(v[pos]));
        for (std::size_t i = 1; i < order.size(); ++i) ASSERT_LE(v[order[i - 1]], v[order[i]]);
    }
}

TEST(RowSorter, SelectsTheKthSmallest) {
    RowSorter sorter;
    for (const auto& v : rows()) {
        std::vector<double> sorted = v;
        std::sort(sorted.begin(), sorted.end());
        for (std::size_t k : {std::size_t{0}, v.size() / 7, v.size() / 2, v.size() - 1}) {
            if (k >= v.size()) continue;
            const double got = sorter.select(v, k);
            // equal values (0.0 and -0.0) are interchangeable
            ASSERT_EQ(got, sorted[k]) << v.size() << " k=" << k;
        }
    }
}
