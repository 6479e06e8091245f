#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <numeric>
#include <string>
#include <tuple>
#include <vector>

#include "core/errors.h"
#include "core/fees.h"
#include "core/instrument.h"
#include "core/session.h"
#include "portfolio/engine.h"

using namespace tidemark;

namespace {

using Ev = EngineEventRecord;

struct Columns {
    std::vector<int64_t> ts;
    std::vector<double> open, high, low, close, volume;
    std::vector<uint8_t> entries, exits;

    BarArrays bars() const { return {ts, open, high, low, close, volume}; }
    SignalArrays signals(int8_t dir = 1) const { return {"SYM", entries, exits, std::nullopt, 1.0, dir}; }
    void push(double o, double h, double l, double c, bool entry = false, bool exit = false) {
        ts.push_back(int64_t(ts.size()) * 60'000'000'000LL);
        open.push_back(o), high.push_back(h), low.push_back(l), close.push_back(c), volume.push_back(1000.0);
        entries.push_back(entry), exits.push_back(exit);
    }
};
Columns closes(std::initializer_list<double> cs) {
    Columns c;
    for (double x : cs) c.push(x, x, x, x);
    return c;
}
// A wavy, drifting path with entries every 6 bars and exits 4 bars later.
Columns wave(std::size_t n) {
    Columns c;
    double prev = 100.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double x = 100.0 + 8.0 * std::sin(0.6 * double(i)) + 0.2 * double(i);
        c.push(prev, std::max(prev, x) + 1.2, std::min(prev, x) - 1.2, x, i % 6 == 0, i % 6 == 4);
        prev = x;
    }
    return c;
}
EngineParams params(double fees = 0.0) {
    EngineParams p;
    p.config.fees = fees;
    p.fee_model = FeeModel::percent(fees);
    return p;
}
BacktestConfig no_fees() {
    BacktestConfig c;
    c.fees = 0.0;
    return c;
}
SingleKernel single(const BacktestConfig& cfg) {
    return SingleKernel(cfg, FeeModel::percent(cfg.fees), SlippageModel::none(), price_basis::Close, "SYM", 1, nullptr);
}
StepIntents intents(bool entry, bool exit = false) {
    StepIntents in;
    in.entry = entry;
    in.exit = exit;
    return in;
}
std::vector<Ev> step(SingleKernel& sk, uint64_t i, double c, const StepIntents& in = {}) {
    std::vector<Ev> out;
    sk.step(i, Bar{int64_t(i), c, c, c, c, 1000.0}, in, out);
    return out;
}
double pnl_sum(const TradeList& trades) {
    return std::accumulate(trades.begin(), trades.end(), 0.0, [](double a, const Trade& t) { return a + t.pnl; });
}
std::string fault_text(const std::function<void()>& f) {
    try {
        f();
    } catch (const Fault& e) {
        return e.what();
    }
    return "<no fault>";
}

}  // namespace

TEST(EngineSingleKernel, EmptyRunAndFinishWithoutSteps) {
    Columns c;
    EngineResult r = run_backtest_loop(params(), c.bars(), c.signals(), nullptr);
    EXPECT_TRUE(r.equity_curve.empty() && r.drawdown_curve.empty() && r.returns.empty() && r.trades.empty());
    EXPECT_DOUBLE_EQ(r.metrics.end_value, 100000.0);
    // A position opened before any step is not force-closed.
    SingleKernel sk = single(BacktestConfig{});
    sk.kernel.fill_market_order(0, 0, 1, EntrySizing::All, true, 10.0, 100.0, 0.0, std::nullopt, std::nullopt, 0.0);
    EXPECT_TRUE(std::move(sk).finish().trades.empty());
}

TEST(EngineSingleKernel, OpenPositionClosesAtEndOfData) {
    Columns c = closes({100.0, 102.0, 104.0, 103.0});
    c.entries[0] = 1;
    EngineResult r = run_backtest_loop(params(0.001), c.bars(), c.signals(), nullptr);
    ASSERT_EQ(r.trades.size(), 1u);
    const Trade& t = r.trades[0];
    const double q = 100000.0 / 100.1;
    EXPECT_EQ(t.exit_reason, ExitReason::EndOfData);
    EXPECT_EQ(t.exit_idx, 3u);
    EXPECT_DOUBLE_EQ(t.exit_price, 103.0);
    EXPECT_DOUBLE_EQ(t.exit_fees, 0.0);
    EXPECT_NEAR(t.pnl, q * 3.0 - q * 0.1, 1e-7);
    ASSERT_EQ(r.equity_curve.size(), 4u);
    EXPECT_NEAR(r.equity_curve.back() - 100000.0, t.pnl, 1e-7);  // the force-close costs nothing
    EXPECT_DOUBLE_EQ(r.returns[0], 0.0);
    EXPECT_NEAR(r.returns[1], 0.02, 1e-12);                               // q x 102 over q x 100
    EXPECT_NEAR(r.drawdown_curve[0], (1.0 - 1.0 / 1.001) * 100.0, 1e-9);  // the entry fee below 100000
}

TEST(EngineSingleKernel, ReturnFromZeroEquityIsZero) {
    SingleKernel sk = single(no_fees());
    step(sk, 0, 100.0, intents(true));  // 1000 units, cash 0
    step(sk, 1, 0.0);
    step(sk, 2, 50.0);
    EXPECT_DOUBLE_EQ(sk.returns[1], -1.0);
    EXPECT_DOUBLE_EQ(sk.returns[2], 0.0);
    EXPECT_DOUBLE_EQ(sk.drawdown_curve[2], 50.0);
}

TEST(EngineSingleKernel, DrawdownHaltLatches) {
    BacktestConfig cfg = no_fees();
    cfg.max_drawdown_pct = 10.0;
    SingleKernel sk = single(cfg);
    step(sk, 0, 100.0, intents(true));
    step(sk, 1, 90.01);
    EXPECT_FALSE(sk.kernel.drawdown_halted());
    step(sk, 2, 90.0);  // 100000 -> 90000
    EXPECT_TRUE(sk.kernel.drawdown_halted());
    // The open position is untouched; after recovery the halt still refuses entries.
    step(sk, 3, 120.0, intents(false, true));
    EXPECT_DOUBLE_EQ(sk.drawdown_curve[3], 0.0);
    auto evs = step(sk, 4, 120.0, intents(true));
    ASSERT_EQ(evs.size(), 1u);
    EXPECT_EQ(evs[0].reason, RejectReason::DrawdownHalt);
    EngineResult r = std::move(sk).finish();
    ASSERT_EQ(r.trades.size(), 1u);
    EXPECT_NEAR(r.trades[0].pnl, 20000.0, 1e-7);
}

TEST(EngineSingleKernel, ZeroLimitsMeanNoLimit) {
    BacktestConfig cfg = no_fees();
    cfg.max_positions = 0;
    cfg.max_drawdown_pct = 0.0;
    SingleKernel sk = single(cfg);
    EXPECT_EQ(step(sk, 0, 100.0, intents(true)).at(0).kind, Ev::Entered);
    step(sk, 1, 50.0, intents(false, true));
    EXPECT_FALSE(sk.kernel.drawdown_halted());
    EXPECT_EQ(step(sk, 2, 50.0, intents(true)).at(0).kind, Ev::Entered);
    cfg.max_positions = 1;  // a flat kernel counts 0 open positions
    cfg.max_drawdown_pct = -5.0;
    SingleKernel sk2 = single(cfg);
    EXPECT_FALSE(sk2.kernel.max_drawdown_pct.has_value());
    EXPECT_EQ(step(sk2, 0, 100.0, intents(true)).at(0).kind, Ev::Entered);
}

TEST(EngineLoop, ColumnFaults) {
    Columns c = closes({100.0, 101.0, 102.0, 103.0, 104.0});
    SignalArrays s = c.signals();
    std::vector<uint8_t> four(4, 0);
    s.entries = s.exits = four;
    const std::string msg = fault_text([&] { run_backtest_loop(params(), c.bars(), s, nullptr); });
    EXPECT_NE(msg.find("OHLCV and signals must have same length"), std::string::npos) << msg;
    EXPECT_NE(msg.find("left: 5"), std::string::npos) << msg;

    Columns v = c;
    v.volume.pop_back();
    EXPECT_EQ(fault_text([&] { run_backtest_loop(params(), v.bars(), v.signals(), nullptr); }),
              "index out of bounds: the len is 4 but the index is 4");
    v.open.resize(3);  // the first column read at the missing index is named
    EXPECT_EQ(fault_text([&] { run_backtest_loop(params(), v.bars(), v.signals(), nullptr); }),
              "index out of bounds: the len is 3 but the index is 3");
    std::vector<double> sizes(2, 0.5);
    s = c.signals();
    s.position_sizes = std::span<const double>(sizes);
    EXPECT_EQ(fault_text([&] { run_backtest_loop(params(), c.bars(), s, nullptr); }),
              "index out of bounds: the len is 2 but the index is 2");
    Columns l = c;  // longer columns are read only up to the length of close
    l.open.push_back(1.0);
    EXPECT_EQ(run_backtest_loop(params(), l.bars(), l.signals(), nullptr).equity_curve.size(), 5u);
}

// The account moves by exactly the profit of the closed trades, whatever the direction, account or fee model.
class EngineAccounting : public testing::TestWithParam<std::tuple<int, bool, bool>> {};

TEST_P(EngineAccounting, FinalEquityMatchesTradePnl) {
    const auto [dir, margin, itemised] = GetParam();
    BacktestConfig cfg;
    cfg.limit_slippage = 0.0002;
    cfg.stop = StopModel::fixed(0.06);
    cfg.target = TargetModel::fixed(0.06);
    if (itemised) cfg.fee_segment = "NSE-DELIVERY";
    SingleKernel sk(cfg, fee_model_from_config(cfg), SlippageModel::fraction(0.0005), price_basis::Close, "SYM",
                    int8_t(dir), nullptr);
    if (margin) sk.kernel.account = AccountType::margin(2.0);
    const Columns c = wave(57);
    for (std::size_t i = 0; i < c.close.size(); ++i) {
        std::vector<Ev> out;
        sk.step(i, Bar{c.ts[i], c.open[i], c.high[i], c.low[i], c.close[i], 1000.0},
                intents(c.entries[i] != 0, c.exits[i] != 0), out);
        if (!margin) {
            EXPECT_GE(sk.kernel.cash, -1e-6) << "bar " << i;
        }
    }
    const double last = sk.equity_curve.back();
    EngineResult r = std::move(sk).finish();
    for (ExitReason why : {ExitReason::Signal, ExitReason::StopLoss, ExitReason::TakeProfit, ExitReason::EndOfData})
        EXPECT_TRUE(std::any_of(r.trades.begin(), r.trades.end(), [&](const Trade& t) { return t.exit_reason == why; }))
            << int(why);
    EXPECT_NEAR(last - cfg.initial_capital, pnl_sum(r.trades), 1e-6);
    for (const Trade& t : r.trades) EXPECT_NEAR(itemised ? t.fee_breakdown.value().total() : t.fees, t.fees, 1e-9);
}

INSTANTIATE_TEST_SUITE_P(LongShortCashMargin, EngineAccounting,
                         testing::Combine(testing::Values(1, -1), testing::Bool(), testing::Bool()));

TEST(EngineAccountingLoop, CashShortWithMultiplier) {
    // 4 contracts x 25 sold at 100: debited 10000 + fee 10, then marked at 25 x 4 x (200 - close).
    SingleKernel sk = single(BacktestConfig{});
    sk.kernel.instrument = make_perpetual("PERP", 1.0, 25.0, 0.0, 0.0, std::nullopt, 0.0, 0.0, 0.0, 0.0);
    sk.kernel.ledger.multiplier = 25.0;
    sk.kernel.fill_market_order(0, 0, -1, EntrySizing::All, true, 4.0, 100.0, 0.0, std::nullopt, std::nullopt, 0.0);
    step(sk, 0, 90.0);
    EXPECT_NEAR(sk.equity_curve[0], 100000.0 - 10010.0 + 100.0 * 110.0, 1e-8);
    const double pnl = step(sk, 1, 80.0, intents(false, true)).at(0).trade->pnl;
    EXPECT_NEAR(pnl, 4 * 25 * 20.0 - 10.0 - 0.001 * 80.0 * 25.0 * 4.0, 1e-8);
    EXPECT_NEAR(sk.equity_curve[1] - 100000.0, pnl, 1e-8);

    Columns w = wave(40);  // and through the array loop
    EngineParams p = params(0.001);
    p.config.stop = StopModel::trailing(0.04);
    p.slippage = SlippageModel::fixed(0.05);
    EngineResult r = run_backtest_loop(p, w.bars(), w.signals(-1), nullptr);
    ASSERT_FALSE(r.trades.empty());
    EXPECT_NEAR(r.equity_curve.back() - 100000.0, pnl_sum(r.trades), 1e-6);
}

TEST(TimeRules, SaturatingAddAndFloorDays) {
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
    constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
    constexpr int64_t kMinute = 60'000'000'000LL;
    EXPECT_EQ(saturating_add(kMax - 5, 10), kMax);
    EXPECT_EQ(saturating_add(kMin, -1), kMin);
    EXPECT_EQ(saturating_add(-5, 3), -2);
    EXPECT_EQ(floor_div(-kNanosPerDay, kNanosPerDay), -1);
    EXPECT_EQ(floor_div(-kNanosPerDay - 1, kNanosPerDay), -2);
    EXPECT_EQ(floor_div(7, -2), -4);
    EXPECT_EQ(trading_day(-1, 0), -1);
    EXPECT_EQ(trading_day(0, -1), -1);
    EXPECT_EQ(trading_day(kNanosPerDay - kMinute, 330 * kMinute), 1);  // 23:59 UTC is the next day at +05:30
    EXPECT_EQ(trading_day(kMax, kNanosPerDay), kMax / kNanosPerDay);
    EXPECT_EQ(trading_day(kMin, -kNanosPerDay), kMin / kNanosPerDay - 1);
}
