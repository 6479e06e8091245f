#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "strategies/own_stats.h"

using namespace tidemark;

// Both ways of taking the mean (sum / count for the basket, options and pairs,
// running for the independent multi-strategy mode) give these figures.
TEST(OwnLoopStats, LegacyRatiosFromTradeReturns) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    struct Case {
        std::vector<double> pct;
        double sharpe, sortino;
    };
    const Case cases[] = {
        {{}, 0.0, 0.0},
        {{5.0}, 0.0, kInf},
        {{-5.0}, 0.0, 0.0},
        // mean 0.1, sample sd sqrt(0.06 / 2), downside sqrt(0.01 / 2)
        {{-10.0, 20.0, 20.0}, 0.1 * std::sqrt(252.0) / std::sqrt(0.03), 0.1 * std::sqrt(252.0) / std::sqrt(0.005)},
    };
    for (const Case& c : cases) {
        std::vector<Trade> trades(c.pct.size());
        for (std::size_t i = 0; i < c.pct.size(); ++i) trades[i].pnl_pct = c.pct[i];
        for (bool welford : {false, true}) {
            const SharpeSortino r = legacy_trade_ratios(trades, welford);
            EXPECT_NEAR(r.sharpe, c.sharpe, 1e-9 * std::fabs(c.sharpe));
            if (std::isinf(c.sortino)) EXPECT_EQ(r.sortino, c.sortino);
            else EXPECT_NEAR(r.sortino, c.sortino, 1e-9 * std::fabs(c.sortino));
        }
    }
}
