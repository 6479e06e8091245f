#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "analytics/row_sort.h"

using tidemark::RowSorter;

// Every length class; spread values, ties, neighbouring doubles, signed zeros; with and without NaN.
TEST(RowSorter, OrderAndSelectPairAgreeWithASort) {
    std::mt19937_64 rng(11);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::uniform_int_distribution<int> small(0, 9);
    RowSorter sorter;
    for (std::size_t n : {1, 5, 33, 255, 256, 300, 3000}) {
        for (int kind = 0; kind < 4; ++kind) {
            for (double nan_share : {0.0, 0.2}) {
                SCOPED_TRACE(testing::Message() << n << " cells, kind " << kind << ", NaN share " << nan_share);
                std::vector<double> row(n);
                for (double& x : row) {
                    switch (kind) {
                        case 0: x = normal(rng); break;
                        case 1: x = small(rng); break;
                        case 2: x = small(rng) < 5 ? 1.0 : std::nextafter(1.0, 2.0); break;
                        default: x = small(rng) < 5 ? -0.0 : (small(rng) < 5 ? 0.0 : normal(rng) * 1e-310); break;
                    }
                    if (std::uniform_real_distribution<double>(0.0, 1.0)(rng) < nan_share) x = std::nan("");
                }
                // -0.0 before +0.0, as the selection keys order equal zeros.
                std::vector<double> want = row;
                std::erase_if(want, [](double x) { return std::isnan(x); });
                std::sort(want.begin(), want.end(), [](double a, double b) {
                    return a < b || (a == b && std::signbit(a) && !std::signbit(b));
                });
                const std::size_t m = want.size();
                const std::vector<std::size_t>& order = sorter.order(row, true);
                ASSERT_EQ(order.size(), m);
                std::vector<bool> seen(n);
                for (std::size_t q = 0; q < m; ++q) {
                    ASSERT_TRUE(order[q] < n && !seen[order[q]]) << order[q];
                    seen[order[q]] = true;
                    EXPECT_EQ(row[order[q]], want[q]) << "position " << q;
                }
                if (m == 0) continue;
                const std::size_t pairs[][2] = {{0, m - 1}, {m / 20, m - 1 - m / 20}, {m / 2, m / 2}, {m / 3, m / 2}};
                for (const auto& k : pairs) {
                    ASSERT_EQ(sorter.load(row, true), m);
                    const auto [lo, hi] = sorter.select_pair(k[0], k[1]);
                    EXPECT_EQ(std::bit_cast<uint64_t>(lo), std::bit_cast<uint64_t>(want[k[0]])) << "k_lo " << k[0];
                    EXPECT_EQ(std::bit_cast<uint64_t>(hi), std::bit_cast<uint64_t>(want[k[1]])) << "k_hi " << k[1];
                }
            }
        }
    }
}
