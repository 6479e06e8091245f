// The shared-capital runner, which steps holding kernels ahead and visits
// only the instruments due at a bar, checked bit for bit against the plain
// loop: every holding kernel stepped in full on every bar, every instrument
// looked at in every phase.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "execution/kernel.h"
#include "indicators/volatility.h"
#include "metrics/metrics.h"
#include "portfolio/engine.h"
#include "strategies/own_stats.h"
#include "strategies/portfolio.h"

using namespace tidemark;

namespace {

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

struct Plain {
    ExecutionKernel kernel;
    ProcessedSignals sig;
    Series<double> atr;
    const InstrumentData* data;
    InstrumentSummary summary;
};

// Phases A to D of every bar, then the end of the data, as plainly as they
// can be written.
PortfolioResult plain_portfolio(const BacktestConfig& cfg, std::span<const InstrumentData> ins, AllocationMode mode,
                                const InstrumentConfigs& configs) {
    const std::size_t n = ins.front().close.size();
    const EngineParams params = engine_params_for(cfg);
    const bool next_bar = cfg.resolved_fill_timing() == FillTiming::NextBarOpen;
    BacktestConfig kcfg = cfg;
    if (next_bar) kcfg.fill_timing = FillTiming::SameBarOpenLookahead;
    std::vector<Plain> slots;
    for (const InstrumentData& d : ins) {
        const InstrumentConfig* ic = configs.find(d.symbol);
        Series<double> atr;
        if (auto p = atr_period_for(effective_stop(cfg, ic), effective_target(cfg, ic)))
            if (SeriesResult r = compute_atr(d.high, d.low, d.close, *p)) atr = std::move(r.value());
        slots.push_back({ExecutionKernel(kcfg, params.fee_model, params.slippage, params.price_basis, d.symbol,
                                         d.direction, ic),
                         own_loop_signals(d.entries, d.exits, next_bar), std::move(atr), &d, {d.symbol}});
        slots.back().kernel.cash = 0.0;
    }
    std::optional<uint64_t> max_pos;
    if (cfg.max_positions && *cfg.max_positions != 0) max_pos = *cfg.max_positions;
    const bool kill = cfg.max_drawdown_pct && *cfg.max_drawdown_pct > 0;
    BarCurves curves(n, cfg.initial_capital, true);
    TradeList trades;
    double pool = cfg.initial_capital;
    PortfolioResult out;
    std::vector<EngineEventRecord> ev;
    auto step = [&](Plain& s, std::size_t t, bool entry, bool exit) {
        StepIntents in;
        in.atr = t < s.atr.size() ? s.atr[t] : 0.0;
        in.entry = entry;
        in.exit = exit;
        ev.clear();
        s.kernel.step_bar(t, s.data->bar(t), in, false, ev);
    };
    auto book = [&](Plain& s, Trade&& tr) {
        ++s.summary.trades;
        s.summary.pnl += tr.pnl;
        trades.push_back(std::move(tr));
    };
    for (std::size_t t = 0; t < n; ++t) {
        for (Plain& s : slots) {
            if (s.kernel.ledger.flat()) continue;
            step(s, t, false, s.sig.exit_signals[t] != 0);
            for (EngineEventRecord& e : ev)
                if (e.kind == EngineEventRecord::Exited) book(s, std::move(*e.trade));
            pool += s.kernel.cash;
            s.kernel.cash = 0.0;
        }
        std::size_t open = 0;
        for (const Plain& s : slots) open += !s.kernel.ledger.flat();
        for (Plain& s : slots) {
            if (!s.kernel.ledger.flat() || !s.sig.entry_signals[t]) continue;
            if (out.halted || (max_pos && open >= *max_pos)) {
                ++s.summary.rejected_entries;
                ++out.rejected_entries;
                continue;
            }
            double budget = pool;
            if (mode == AllocationMode::EqualWeight) {
                const uint64_t k = max_pos ? *max_pos : slots.size();
                if (k <= open) continue;
                budget = pool / static_cast<double>(k - open);
            }
            if (!(budget > 0.0) || budget < 1e-9 * cfg.initial_capital) continue;
            s.kernel.cash = budget;
            step(s, t, true, false);
            pool -= budget - s.kernel.cash;
            s.kernel.cash = 0.0;
            for (const EngineEventRecord& e : ev) open += e.kind == EngineEventRecord::Entered;
        }
        double value = 0.0;
        for (const Plain& s : slots)
            if (!s.kernel.ledger.flat()) value += s.kernel.open_value(s.data->close[t]);
        curves.mark(t, pool + value);
        if (kill && !out.halted && curves.peak > 0.0 && curves.drawdown[t] >= *cfg.max_drawdown_pct) {
            out.halted = true;
            out.halted_at = t;
        }
    }
    for (Plain& s : slots) {
        if (s.kernel.ledger.flat() || n == 0) continue;
        TradeList closed;
        s.kernel.force_close_all(n - 1, s.data->timestamps[n - 1], s.data->close[n - 1], closed);
        for (Trade& tr : closed) book(s, std::move(tr));
        pool += s.kernel.cash;
        s.kernel.cash = 0.0;
    }
    if (n > 0) curves.equity[n - 1] = pool;
    BacktestMetrics m = compute_metrics(curves.equity, curves.drawdown, curves.returns, trades,
                                        ins.front().timestamps.first(n), cfg);
    out.result = run_result(std::move(m), std::move(curves), std::move(trades));
    for (Plain& s : slots) out.per_instrument.push_back(s.summary);
    return out;
}

void expect_same(const PortfolioResult& x, const PortfolioResult& y) {
    auto series = [](std::span<const double> a, std::span<const double> b, const char* what) {
        ASSERT_EQ(a.size(), b.size()) << what;
        for (std::size_t i = 0; i < a.size(); ++i) ASSERT_TRUE(same_bits(a[i], b[i])) << what << " at " << i;
    };
    series(x.result.equity_curve, y.result.equity_curve, "equity");
    series(x.result.drawdown_curve, y.result.drawdown_curve, "drawdown");
    series(x.result.returns, y.result.returns, "returns");
    ASSERT_EQ(x.result.trades.size(), y.result.trades.size());
    for (std::size_t i = 0; i < x.result.trades.size(); ++i) {
        const Trade &a = x.result.trades[i], &b = y.result.trades[i];
        ASSERT_TRUE(a.id == b.id && a.symbol == b.symbol && a.entry_idx == b.entry_idx && a.exit_idx == b.exit_idx &&
                    a.exit_reason == b.exit_reason && a.direction == b.direction)
            << "trade " << i;
        for (double Trade::*f : {&Trade::entry_price, &Trade::exit_price, &Trade::size, &Trade::pnl, &Trade::fees,
                                 &Trade::entry_fees, &Trade::exit_fees, &Trade::pnl_pct})
            ASSERT_TRUE(same_bits(a.*f, b.*f)) << "trade " << i;
    }
    ASSERT_EQ(x.per_instrument.size(), y.per_instrument.size());
    for (std::size_t i = 0; i < x.per_instrument.size(); ++i) {
        const InstrumentSummary &a = x.per_instrument[i], &b = y.per_instrument[i];
        EXPECT_TRUE(a.symbol == b.symbol && a.trades == b.trades && same_bits(a.pnl, b.pnl) &&
                    a.rejected_entries == b.rejected_entries)
            << "instrument " << i;
    }
    EXPECT_TRUE(x.rejected_entries == y.rejected_entries && x.halted == y.halted && x.halted_at == y.halted_at);
    using M = BacktestMetrics;
    for (double M::*f : {&M::total_return_pct, &M::sharpe_ratio, &M::sortino_ratio, &M::max_drawdown_pct,
                         &M::end_value, &M::exposure_pct, &M::profit_factor})
        EXPECT_TRUE(same_bits(x.result.metrics.*f, y.result.metrics.*f));
}

// An instrument's columns, which its view points into.
struct Columns {
    Series<int64_t> ts;
    Series<double> open, high, low, close, volume;
    BoolVec entries, exits;
    std::string symbol;
    int8_t dir;
    InstrumentData view() const { return {ts, open, high, low, close, volume, symbol, entries, exits, 1.0, dir}; }
};
std::vector<InstrumentData> views(const std::vector<Columns>& cols) {
    std::vector<InstrumentData> out;
    for (const Columns& c : cols) out.push_back(c.view());
    return out;
}

// Seeded random walks, daily bars, long and short; the entry and exit rates
// vary by instrument, so that some hold for long stretches and some trade on
// most bars.
std::vector<Columns> market(std::size_t k, std::size_t n, uint64_t seed, double vol) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> step(0.0, vol);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<Columns> out(k);
    for (std::size_t j = 0; j < k; ++j) {
        Columns& d = out[j];
        const double in_rate = 0.005 + 0.2 * u(rng), out_rate = 0.005 + 0.2 * u(rng);
        double p = 50.0 + 100.0 * u(rng);
        for (std::size_t i = 0; i < n; ++i) {
            const double open = p * (1.0 + 0.3 * step(rng));
            p = open * (1.0 + step(rng));
            d.ts.push_back(int64_t(i) * 86'400'000'000'000);
            d.open.push_back(open);
            d.high.push_back(std::max(open, p) * (1.0 + std::fabs(step(rng))));
            d.low.push_back(std::min(open, p) * (1.0 - std::fabs(step(rng))));
            d.close.push_back(p);
            d.volume.push_back(1.0 + 1000.0 * u(rng));
            d.entries.push_back(u(rng) < in_rate);
            d.exits.push_back(u(rng) < out_rate);
        }
        d.symbol = "S" + std::to_string(j);
        d.dir = (j + seed) % 3 ? 1 : -1;
    }
    return out;
}

using Cfg = BacktestConfig&;
using Ics = InstrumentConfigs&;
struct Case {
    const char* name;
    void (*setup)(Cfg, Ics);
    bool halts = false;  // the kill-switch trips in some run
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }
const Case kCases[] = {
    {"fees and slippage", [](Cfg c, Ics) { c.slippage = 0.0005; }},
    {"fixed stop and target, itemised costs", [](Cfg c, Ics) {
         c.fee_segment = "NSE-DELIVERY"; c.stop = StopModel::fixed(0.03); c.target = TargetModel::fixed(0.05);
     }},
    {"trailing stop at the open",
     [](Cfg c, Ics) { c.fill_timing = FillTiming::SameBarOpenLookahead; c.stop = StopModel::trailing(0.02); }},
    {"atr stop, risk-reward target",
     [](Cfg c, Ics) { c.stop = StopModel::atr(2.0, 14); c.target = TargetModel::risk_reward(1.5); }},
    {"next-bar fills", [](Cfg c, Ics) { c.fill_timing = FillTiming::NextBarOpen; c.fee_segment = "NFO-FUT"; }},
    {"plain fills, position limit and kill-switch",
     [](Cfg c, Ics) { c.max_positions = 3; c.max_drawdown_pct = 30.0; }, true},
    {"stop and target on one bar, read by its path", [](Cfg c, Ics) {
         c.stop = StopModel::fixed(0.01); c.target = TargetModel::fixed(0.01); c.bar_path_adaptive = true;
     }},
    {"instrument lots, capital and stops", [](Cfg c, Ics ics) {
         c.stop = StopModel::fixed(0.02);
         ics.by_symbol["S0"].lot_size = 7.0;
         ics.by_symbol["S1"].alloted_capital = 20000.0;
         ics.by_symbol["S2"].stop = StopModel::atr(1.5, 5);
         ics.by_symbol["S3"].stop = StopModel::trailing(0.05);
     }},
};

class PortfolioRunner : public ::testing::TestWithParam<Case> {};

TEST_P(PortfolioRunner, MatchesThePlainLoop) {
    const Case& c = GetParam();
    bool halted = false;
    for (uint64_t seed : {1u, 2u, 3u}) {
        // Up to 40 instruments, past one stretch of kept values (256 bars)
        // and one ring of queued bars (1,024).
        const auto cols = market(3 + 12 * (seed - 1) + (seed == 3 ? 10 : 0), seed == 2 ? 2500 : 1200, seed,
                                 seed == 1 ? 0.02 : 0.005);
        const auto ins = views(cols);
        for (AllocationMode mode : {AllocationMode::EqualWeight, AllocationMode::Full}) {
            BacktestConfig cfg;
            InstrumentConfigs ics;
            c.setup(cfg, ics);
            const bool full = mode == AllocationMode::Full;
            SCOPED_TRACE(std::string(c.name) + ", seed " + std::to_string(seed) + (full ? ", full" : ", equal weight"));
            const PortfolioResult plain = plain_portfolio(cfg, ins, mode, ics);
            ASSERT_GT(plain.result.trades.size(), 2u);
            halted |= plain.halted;
            expect_same(run_portfolio_strategy(cfg, ins, full ? "full" : "equal_weight", ics), plain);
        }
    }
    EXPECT_EQ(halted, c.halts);
}

INSTANTIATE_TEST_SUITE_P(Cases, PortfolioRunner, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return "case" + std::to_string(info.index); });

// A column shorter than `close` fails before the first bar as reading its
// first missing bar would, also where no holder would ever read past it (the
// only trade closes on bar 300).
TEST(PortfolioRunner, ShortColumnFailsBeforeTheRun) {
    auto cols = market(3, 600, 5, 0.001);
    for (Columns& d : cols) std::ranges::fill(d.entries, 0), std::ranges::fill(d.exits, 0);
    cols[1].entries[3] = cols[1].exits[300] = 1;
    for (std::size_t cut : {0u, 150u, 400u}) {
        auto ins = views(cols);
        ins[1].volume = ins[1].volume.first(cut);
        const std::string at = std::to_string(cut);
        try {
            run_portfolio_strategy({}, ins, "full", {});
            ADD_FAILURE() << cut;
        } catch (const Fault& e) {
            EXPECT_EQ(std::string(e.what()), "index out of bounds: the len is " + at + " but the index is " + at);
        }
    }
}

}  // namespace
