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

// Five instruments, flags raised by 0..5 of them on bars 0..5.
TEST(Synchronizer, ThresholdsByMode) {
    std::vector<std::vector<uint8_t>> flags(5, std::vector<uint8_t>(6, 0));
    for (std::size_t t = 0; t < 6; ++t)
        for (std::size_t k = 0; k < t; ++k) flags[k][t] = 2;  // any non-zero byte is a set flag
    const auto f = views(flags);
    const CombinedSignals all = synchronize_signals(f, f, SyncMode::All);
    const CombinedSignals any = synchronize_signals(f, f, SyncMode::Any);
    EXPECT_EQ(all.entries, (BoolVec{0, 0, 0, 0, 0, 1}));
    EXPECT_EQ(all.exits, (BoolVec{0, 1, 1, 1, 1, 1}));
    EXPECT_EQ(any.entries, (BoolVec{0, 1, 1, 1, 1, 1}));
    EXPECT_EQ(any.exits, (BoolVec{0, 0, 0, 0, 0, 1}));
    EXPECT_EQ(synchronize_signals(f, f, SyncMode::Majority).entries, (BoolVec{0, 0, 0, 1, 1, 1}));
    EXPECT_EQ(synchronize_signals(f, f, SyncMode::Master).exits, (BoolVec{0, 1, 1, 1, 1, 1}));
    EXPECT_EQ(parse_sync_mode("MASTER"), SyncMode::All);

    flags[3].pop_back();
    EXPECT_THROW(synchronize_signals(views(flags), f, SyncMode::Any), Fault);
    EXPECT_THROW(count_set_flags(views(flags), 6), Fault);
    EXPECT_EQ(count_set_flags(views(flags), 5)[4], 4u);
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
