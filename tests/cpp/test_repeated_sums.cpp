// Sums of one value repeated, taken in one go, against the plain loop of rounded sums, bit for bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "metrics/metrics.h"

using namespace tidemark;

namespace {
bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }
}  // namespace

TEST(AddRepeated, MatchesTheLoop) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        double sum, x;
        std::size_t k;
    };
    std::vector<Case> cases = {
        {0.0, 1e-9, 100000},  {1.0, 0.1, 100000},  // from zero; across many binades
        {1.0, 0x1p-53, 1000}, {1.0 + 0x1p-52, 0x1p-53, 1000}, {1.0, 3 * 0x1p-53, 5000},  // ties to even
        {0x1p52 - 64, 1.0, 200}, {1.0, 0x1p-60, 1'000'000},  // into a binade with units of 2; lost to rounding
        {0.0, 4.9406564584124654e-324, 3000}, {1e308, 1e307, 100},  // subnormal steps; into infinity
        {-0.0, 0.0, 3}, {-0.0, -0.0, 3}, {inf, 1.0, 4}, {1.0, inf, 4}, {nan, 1.0, 4}, {1.0, nan, 4},
        {3.0, 7.0, 0}, {5.0, -0.25, 300},
    };
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (int i = 0; i < 400; ++i) {
        const double sum = i % 5 == 0 ? 0.0 : std::ldexp(u(rng), static_cast<int>(u(rng) * 60) - 30);
        double x = std::ldexp(u(rng), static_cast<int>(u(rng) * 60) - 40);
        // Every fourth value sits on a half unit of a nearby binade.
        if (i % 4 == 1 && sum > 0) {
            int e = 0;
            std::frexp(sum, &e);
            x = std::ldexp(static_cast<double>(rng() % 16) + 0.5, e - 53 + static_cast<int>(rng() % 3));
        }
        cases.push_back({sum, x, static_cast<std::size_t>(1 + rng() % 20000)});
    }
    for (const Case& c : cases) {
        double want = c.sum;
        for (std::size_t i = 0; i < c.k; ++i) want += c.x;
        const double got = add_repeated(c.sum, c.x, c.k);
        EXPECT_TRUE(same_bits(got, want) || (std::isnan(got) && std::isnan(want)))
            << std::hexfloat << c.sum << " + " << c.x << " x " << c.k << ": " << got << " vs " << want;
    }
}

// The ratios read the returns' second pass over runs of zeros in one go.
TEST(AddRepeated, RatiosOfFlatStretchesMatchThePlainPasses) {
    std::mt19937_64 rng(3);
    std::normal_distribution<double> step(0.0002, 0.01);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (int trial = 0; trial < 20; ++trial) {
        std::vector<double> r;
        while (r.size() < 20000) {
            const std::size_t held = static_cast<std::size_t>(u(rng) * 40);
            for (std::size_t i = 0; i < held; ++i) r.push_back(step(rng));
            // Flat runs short and long enough to span whole blocks, zeros of either sign.
            const std::size_t flat = static_cast<std::size_t>(u(rng) * (trial % 2 ? 1500 : 9));
            for (std::size_t i = 0; i < flat; ++i) r.push_back(u(rng) < 0.1 ? -0.0 : 0.0);
            if (u(rng) < 0.02) r.push_back(std::numeric_limits<double>::quiet_NaN());
        }
        const double ppy = 252.0 * 375.0, rf = 0.05;
        double sum = 0.0, sq = 0.0, down = 0.0, gains = 0.0, losses = 0.0, count = 0.0;
        for (double x : r)
            if (!std::isnan(x)) sum += x, count += 1.0;
        const double mean = sum / count;
        for (double x : r) {
            if (std::isnan(x)) continue;
            sq += (x - mean) * (x - mean);
            down += x < 0.0 ? x * x : 0.0;
            (x < 0.0 ? losses : gains) += std::fabs(x);
        }
        const double excess = mean - rf / ppy;
        const double sharpe = std::sqrt(ppy) * excess / std::sqrt(sq / (count - 1.0));
        const ReturnRatios got = return_ratios(ppy, rf, r);
        ASSERT_GT(losses, 0.0);
        EXPECT_TRUE(same_bits(got.sharpe, sharpe)) << trial << ": " << got.sharpe << " vs " << sharpe;
        EXPECT_TRUE(same_bits(got.sortino, std::sqrt(ppy) * excess / std::sqrt(down / count))) << trial;
        EXPECT_TRUE(same_bits(got.omega, gains / losses)) << trial;
    }
}

// Infinite, NaN and signed-zero returns among the others: each term formed
// by comparisons, summed in order, whatever way the pass forms them.
TEST(AddRepeated, RatiosOfNonFiniteReturnsMatchThePlainPasses) {
    const double inf = std::numeric_limits<double>::infinity(), nan = std::numeric_limits<double>::quiet_NaN();
    std::mt19937_64 rng(8);
    std::uniform_real_distribution<double> u(-0.02, 0.02);
    auto same = [](double a, double b) { return same_bits(a, b) || (std::isnan(a) && std::isnan(b)); };
    for (int trial = 0; trial < 30; ++trial) {
        std::vector<double> r(3000);
        for (double& x : r) {
            const int odd = static_cast<int>(rng() % 400);
            x = odd == 0 ? inf : odd == 1 ? -inf : odd == 2 ? nan : odd < 40 ? (odd % 2 ? 0.0 : -0.0) : u(rng);
        }
        // Some series with one infinity only, some with both (a NaN mean).
        if (trial % 3 == 0) std::replace(r.begin(), r.end(), -inf, 0.5);
        double sum = 0.0, count = 0.0, sq = 0.0, down = 0.0, gains = 0.0, losses = 0.0;
        for (double x : r)
            if (!std::isnan(x)) sum += x, count += 1.0;
        const double mean = sum / count, ppy = 252.0;
        for (double x : r) {
            sq += x == x ? (x - mean) * (x - mean) : 0.0;
            down += x < 0.0 ? x * x : 0.0;
            gains += x > 0.0 ? x : 0.0;
            losses += x < 0.0 ? -x : 0.0;
        }
        const ReturnRatios got = return_ratios(ppy, 0.0, r);
        const double var = sq / (count - 1.0), downside = down / count;
        EXPECT_TRUE(same(got.sharpe, var > 0.0 ? std::sqrt(ppy) * mean / std::sqrt(var) : 0.0)) << trial;
        if (losses > 0.0 && downside > 0.0) {
            EXPECT_TRUE(same(got.sortino, std::sqrt(ppy) * mean / std::sqrt(downside))) << trial;
            EXPECT_TRUE(same(got.omega, gains / losses)) << trial;
        }
    }
}
