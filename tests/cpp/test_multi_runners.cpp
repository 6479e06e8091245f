#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "core/errors.h"
#include "signals/synchronizer.h"
#include "strategies/basket.h"
#include "strategies/portfolio.h"

using namespace tidemark;

namespace {

std::vector<std::span<const uint8_t>> views(const std::vector<std::vector<uint8_t>>& v) {
    return {v.begin(), v.end()};
}

// Six daily bars, flat within each bar, entering on bars 1 and 4 and leaving on 3.
InstrumentData instrument(Series<double> close, int8_t direction, const char* symbol) {
    InstrumentData d;
    for (int64_t i = 0; i < 6; ++i) d.timestamps.push_back(i * 86'400'000'000'000LL);
    d.open = d.high = d.low = d.close = close;
    d.volume.assign(6, 1.0);
    d.entries = {0, 1, 0, 0, 1, 0};
    d.exits = {0, 0, 0, 1, 0, 0};
    d.direction = direction;
    d.symbol = symbol;
    return d;
}

double pnl_sum(const TradeList& trades) {
    return std::accumulate(trades.begin(), trades.end(), 0.0, [](double s, const Trade& t) { return s + t.pnl; });
}

}  // namespace

// A flag column shorter than the bars is a fault, not a read past its end.
TEST(Synchronizer, ShortFlagColumnsAreFaults) {
    std::vector<std::vector<uint8_t>> flags(3, std::vector<uint8_t>(6, 2)), none(3, std::vector<uint8_t>(6, 0));
    flags[1].pop_back();
    const auto f = views(flags);
    EXPECT_THROW(synchronize_signals(f, views(none), SyncMode::Any), Fault);
    EXPECT_THROW(count_set_flags(f, 6), Fault);
    EXPECT_EQ(count_set_flags(f, 5)[4], 3u);
}

TEST(MultiInstrumentRunners, BooksBalanceWithLongAndShortLegs) {
    const std::vector<InstrumentData> data = {
        instrument({10, 10, 12, 11, 13, 9}, 1, "A"),
        instrument({20, 21, 18, 22, 19, 24}, -1, "B"),
    };
    BacktestConfig cfg;
    cfg.fee_segment = "NSE";
    const EngineResult basket = run_basket_strategy(cfg, data, SyncMode::All, {});
    ASSERT_EQ(basket.trades.size(), 4u);
    EXPECT_NEAR(basket.metrics.end_value - cfg.initial_capital, pnl_sum(basket.trades), 1e-6);

    cfg.max_positions = 1;
    const PortfolioResult port = run_portfolio_strategy(cfg, data, "equal_weight", {});
    EXPECT_EQ(port.rejected_entries, 2u);
    EXPECT_NEAR(port.result.equity_curve.back() - cfg.initial_capital, pnl_sum(port.result.trades), 1e-6);
}
