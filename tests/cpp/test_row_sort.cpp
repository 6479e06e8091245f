#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "portfolio/row_sort.h"

using tidemark::RowSorter;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

// The numbers of a row in ascending order, -0.0 before +0.0 (the order the
// selection keys give equal zeros).
std::vector<double> sorted_numbers(const std::vector<double>& row) {
    std::vector<double> out;
    for (double x : row)
        if (!std::isnan(x)) out.push_back(x);
    std::sort(out.begin(), out.end(), [](double a, double b) {
        return a < b || (a == b && std::signbit(a) && !std::signbit(b));
    });
    return out;
}

// Rows of every length class the sorter treats apart, drawn from spread
// numbers, heavy ties, two neighbouring doubles and signed zeros, with and
// without missing cells.
std::vector<std::vector<double>> rows() {
    std::mt19937_64 rng(11);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::uniform_int_distribution<int> small(0, 9);
    std::vector<std::vector<double>> out;
    for (std::size_t n : {1, 5, 33, 255, 256, 300, 3000}) {
        for (int kind = 0; kind < 4; ++kind) {
            for (double nan_share : {0.0, 0.2}) {
                std::vector<double> row(n);
                for (double& x : row) {
                    switch (kind) {
                        case 0: x = normal(rng); break;
                        case 1: x = small(rng); break;
                        case 2: x = small(rng) < 5 ? 1.0 : std::nextafter(1.0, 2.0); break;
                        default: x = small(rng) < 5 ? -0.0 : (small(rng) < 5 ? 0.0 : normal(rng) * 1e-310); break;
                    }
                    if (std::uniform_real_distribution<double>(0.0, 1.0)(rng) < nan_share) x = kNaN;
                }
                out.push_back(std::move(row));
            }
        }
    }
    return out;
}

}  // namespace

// The order is a permutation of the numbers' positions, ascending by value.
TEST(RowSorter, OrderSortsTheNumbers) {
    RowSorter sorter;
    for (const std::vector<double>& row : rows()) {
        const std::vector<double> want = sorted_numbers(row);
        const std::vector<std::size_t>& order = sorter.order(row, true);
        ASSERT_EQ(order.size(), want.size());
        std::vector<bool> seen(row.size());
        for (std::size_t q = 0; q < order.size(); ++q) {
            ASSERT_LT(order[q], row.size());
            ASSERT_FALSE(seen[order[q]]);
            seen[order[q]] = true;
            EXPECT_EQ(row[order[q]], want[q]) << "row of " << row.size() << ", position " << q;
        }
    }
}

// Both ranks of a pair, bit for bit, whether they part at the first byte, the
// last one or never.
TEST(RowSorter, SelectPairFindsBothRanks) {
    RowSorter sorter;
    for (const std::vector<double>& row : rows()) {
        const std::vector<double> want = sorted_numbers(row);
        const std::size_t m = want.size();
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
