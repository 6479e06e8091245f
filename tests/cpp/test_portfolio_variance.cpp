// w' Sigma w and Sigma w against the plain row-by-row dot products, bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "analytics/covariance.h"

using namespace tidemark;

namespace {
bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }
}  // namespace

TEST(PortfolioVariance, MatchesTheRowDotProducts) {
    std::mt19937_64 rng(17);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::uniform_int_distribution<int> e(-30, 10);
    // Sizes around the unrolled rows (4) and the strip of sums (512); a
    // symmetric matrix whose entries span many binades and both signs, so
    // that any change in the order of the additions shows in the last bits.
    for (std::size_t n : {1u, 2u, 3u, 4u, 5u, 7u, 9u, 511u, 512u, 513u, 1027u}) {
        RiskModel m;
        m.n_assets = n;
        m.cov.assign(n * n, 0.0);
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = i; j < n; ++j) m.cov[i * n + j] = m.cov[j * n + i] = std::ldexp(u(rng), e(rng));
        std::vector<double> w(n), want_g(n, 0.0), g(n, 7.0);
        for (double& x : w) x = std::ldexp(u(rng), static_cast<int>(rng() % 20) - 10);
        if (n > 2) w[1] = 0.0, w[2] = -0.0;
        double want = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = 0; j < n; ++j) want_g[i] += m.cov[i * n + j] * w[j];
            want += w[i] * want_g[i];
        }
        const double got = portfolio_variance(m, w, g);
        EXPECT_TRUE(same_bits(got, want)) << n << ": " << std::hexfloat << got << " vs " << want;
        EXPECT_TRUE(same_bits(portfolio_variance(m, w), want)) << n << ": without the sums";
        for (std::size_t i = 0; i < n; ++i)
            ASSERT_TRUE(same_bits(g[i], want_g[i])) << n << ", row " << i << ": " << g[i] << " vs " << want_g[i];
    }
}
