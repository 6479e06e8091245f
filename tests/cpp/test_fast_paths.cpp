// The engine's shortcuts checked against the plain algorithms, bit for bit:
// the run's quiet stretches (an idle kernel, a kernel that only holds
// positions) against one full step per bar, the entry-size search against
// the bisection, the signal cursor, the curve summaries and the counted
// median spacing against direct computations.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/fees.h"
#include "core/instrument.h"
#include "indicators/volatility.h"
#include "portfolio/engine.h"
#include "signals/processor.h"

using namespace tidemark;

namespace {

constexpr int64_t kStart = 1'700'000'000'000'000'000;

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void expect_same_series(std::span<const double> a, std::span<const double> b, const char* what) {
    ASSERT_EQ(a.size(), b.size()) << what;
    for (std::size_t i = 0; i < a.size(); ++i)
        ASSERT_TRUE(same_bits(a[i], b[i])) << what << " differs at " << i << ": " << a[i] << " vs " << b[i];
}

void expect_same_optional(const std::optional<double>& a, const std::optional<double>& b, const char* what) {
    ASSERT_EQ(a.has_value(), b.has_value()) << what;
    if (a) {
        EXPECT_TRUE(same_bits(*a, *b)) << what << ": " << *a << " vs " << *b;
    }
}

void expect_same_metrics(const BacktestMetrics& a, const BacktestMetrics& b) {
    const double da[] = {a.total_return_pct, a.sharpe_ratio,   a.sortino_ratio,   a.calmar_ratio,
                         a.omega_ratio,      a.max_drawdown_pct, a.win_rate_pct,   a.profit_factor,
                         a.expectancy,       a.sqn,            a.open_trade_pnl,  a.start_value,
                         a.end_value,        a.total_fees_paid, a.best_trade_pct, a.worst_trade_pct,
                         a.avg_trade_return_pct, a.avg_holding_period, a.exposure_pct, a.payoff_ratio,
                         a.recovery_factor, a.total_turnover};
    const double db[] = {b.total_return_pct, b.sharpe_ratio,   b.sortino_ratio,   b.calmar_ratio,
                         b.omega_ratio,      b.max_drawdown_pct, b.win_rate_pct,   b.profit_factor,
                         b.expectancy,       b.sqn,            b.open_trade_pnl,  b.start_value,
                         b.end_value,        b.total_fees_paid, b.best_trade_pct, b.worst_trade_pct,
                         b.avg_trade_return_pct, b.avg_holding_period, b.exposure_pct, b.payoff_ratio,
                         b.recovery_factor, b.total_turnover};
    for (std::size_t i = 0; i < std::size(da); ++i) EXPECT_TRUE(same_bits(da[i], db[i])) << "metric " << i;
    EXPECT_EQ(a.max_drawdown_duration, b.max_drawdown_duration);
    EXPECT_EQ(a.total_trades, b.total_trades);
    EXPECT_EQ(a.total_closed_trades, b.total_closed_trades);
    EXPECT_EQ(a.winning_trades, b.winning_trades);
    EXPECT_EQ(a.max_consecutive_wins, b.max_consecutive_wins);
    EXPECT_EQ(a.max_consecutive_losses, b.max_consecutive_losses);
    expect_same_optional(a.max_drawdown_duration_secs, b.max_drawdown_duration_secs, "dd secs");
    expect_same_optional(a.avg_win_pct, b.avg_win_pct, "avg win");
    expect_same_optional(a.avg_loss_pct, b.avg_loss_pct, "avg loss");
    expect_same_optional(a.avg_holding_period_secs, b.avg_holding_period_secs, "holding secs");
}

void expect_same_trades(const TradeList& a, const TradeList& b) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        const Trade& x = a[i];
        const Trade& y = b[i];
        EXPECT_EQ(x.entry_idx, y.entry_idx) << i;
        EXPECT_EQ(x.exit_idx, y.exit_idx) << i;
        EXPECT_EQ(x.exit_reason, y.exit_reason) << i;
        for (auto [u, v] : {std::pair{x.entry_price, y.entry_price}, {x.exit_price, y.exit_price}, {x.size, y.size},
                            {x.pnl, y.pnl}, {x.fees, y.fees}, {x.pnl_pct, y.pnl_pct}})
            EXPECT_TRUE(same_bits(u, v)) << "trade " << i << ": " << u << " vs " << v;
        ASSERT_EQ(x.fee_breakdown.has_value(), y.fee_breakdown.has_value());
        if (x.fee_breakdown) {
            EXPECT_TRUE(same_bits(x.fee_breakdown->total(), y.fee_breakdown->total()));
        }
    }
}

// A seeded random walk: gaps, spikes and the odd NaN-free flat stretch.
struct Market {
    std::vector<int64_t> ts;
    std::vector<double> open, high, low, close, volume, sizes;
    std::vector<uint8_t> entries, exits;
};
Market market(std::size_t n, uint64_t seed, double entry_rate, double exit_rate, double vol = 0.01) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> step(0.0, vol);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    Market m;
    double price = 100.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double open = price * (1.0 + 0.002 * step(rng));
        price = open * (1.0 + step(rng));
        const double wick = std::fabs(step(rng)) * price;
        // Minute bars with an hour's gap every seventh bar.
        m.ts.push_back(kStart + int64_t(i) * 60'000'000'000 + int64_t(i / 7) * 3'600'000'000'000);
        m.open.push_back(open);
        m.high.push_back(std::max(open, price) + wick);
        m.low.push_back(std::min(open, price) - wick);
        m.close.push_back(price);
        m.volume.push_back(1000.0 + 100.0 * u(rng));
        m.sizes.push_back(0.2 + 0.8 * u(rng));
        m.entries.push_back(u(rng) < entry_rate);
        m.exits.push_back(u(rng) < exit_rate);
    }
    return m;
}

// The plain run: every bar stepped in full, the metrics taken from the
// finished curves.
EngineResult plain_run(const EngineParams& params, const BarArrays& bars, const SignalArrays& signals,
                       const InstrumentConfig* ic) {
    const std::size_t n = bars.close.size();
    const ProcessedSignals sig = process_signals(signals.entries, signals.exits);
    SingleKernel sk(params.config, params.fee_model, params.slippage, params.price_basis, signals.symbol,
                    signals.direction, ic);
    Series<double> atr;
    if (auto period = atr_period_for(effective_stop(params.config, ic), effective_target(params.config, ic))) {
        SeriesResult res = compute_atr(bars.high, bars.low, bars.close, *period);
        if (res) atr = std::move(res.value());
    }
    for (std::size_t i = 0; i < n; ++i) {
        StepIntents in;
        if (signals.position_sizes) in.size = (*signals.position_sizes)[i];
        in.atr = i < atr.size() ? atr[i] : 0.0;
        in.entry = sig.entry_signals[i] != 0;
        in.exit = sig.exit_signals[i] != 0;
        std::vector<EngineEventRecord> events;
        sk.step(i, Bar{bars.timestamps[i], bars.open[i], bars.high[i], bars.low[i], bars.close[i], bars.volume[i]},
                in, events);
    }
    const BacktestConfig cfg = sk.config;
    EngineResult r = std::move(sk).finish(bars.timestamps);
    r.metrics = compute_metrics(r.equity_curve, r.drawdown_curve, r.returns, r.trades, bars.timestamps, cfg);
    return r;
}

struct Case {
    const char* name;
    double entry_rate;
    double exit_rate;
    void (*setup)(EngineParams&, InstrumentConfig&, bool& use_ic, bool& sized, int8_t& dir);
};

void none(EngineParams&, InstrumentConfig&, bool&, bool&, int8_t&) {}

const Case kCases[] = {
    {"sparse signals, flat fee", 0.02, 0.02, none},
    {"dense signals", 0.4, 0.4, none},
    {"entries only", 0.01, 0.0, none},
    {"no signals", 0.0, 0.0, none},
    {"atr stop, risk-reward target, itemised costs, slippage", 0.03, 0.02,
     [](EngineParams& p, InstrumentConfig&, bool&, bool&, int8_t&) {
         p.config.fee_segment = "NSE-DELIVERY";
         p.fee_model = fee_model_from_config(p.config);
         p.config.stop = StopModel::atr(2.0, 14);
         p.config.target = TargetModel{TargetModel::RiskReward, 1.5, 0};
         p.slippage = SlippageModel::fraction(0.0005);
     }},
    {"trailing stop, fixed target, short, sized entries", 0.03, 0.01,
     [](EngineParams& p, InstrumentConfig&, bool&, bool& sized, int8_t& dir) {
         p.config.stop = StopModel::trailing(0.02);
         p.config.target = TargetModel{TargetModel::Fixed, 0.03, 0};
         sized = true;
         dir = -1;
     }},
    {"stop and target on one bar, read by its path", 0.05, 0.0,
     [](EngineParams& p, InstrumentConfig&, bool&, bool&, int8_t&) {
         p.config.stop = StopModel::fixed(0.004);
         p.config.target = TargetModel{TargetModel::Fixed, 0.004, 0};
         p.config.bar_path_adaptive = true;
         p.config.limit_slippage = 0.001;
     }},
    {"next bar open, drawdown halt", 0.05, 0.05,
     [](EngineParams& p, InstrumentConfig&, bool&, bool&, int8_t&) {
         p.config.fill_timing = FillTiming::NextBarOpen;
         p.price_basis = price_basis::Open;
         p.config.max_drawdown_pct = 3.0;
     }},
    {"instrument lots and capital", 0.03, 0.03,
     [](EngineParams& p, InstrumentConfig& ic, bool& use_ic, bool&, int8_t&) {
         use_ic = true;
         ic.lot_size = 25.0;
         ic.alloted_capital = 40000.0;
         ic.stop = StopModel::fixed(0.01);
         p.config.fee_segment = "NFO-FUT";
         p.fee_model = fee_model_from_config(p.config);
     }},
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class QuietStretches : public ::testing::TestWithParam<Case> {};

TEST_P(QuietStretches, RunMatchesOneFullStepPerBar) {
    const Case& c = GetParam();
    for (uint64_t seed : {1u, 2u, 3u}) {
        const Market m = market(3000, seed, c.entry_rate, c.exit_rate);
        EngineParams p;
        InstrumentConfig ic;
        bool use_ic = false, sized = false;
        int8_t dir = 1;
        p.fee_model = FeeModel::percent(p.config.fees);
        c.setup(p, ic, use_ic, sized, dir);
        const BarArrays bars{m.ts, m.open, m.high, m.low, m.close, m.volume};
        SignalArrays sig{"SYM", m.entries, m.exits, std::nullopt, 1.0, dir};
        if (sized) sig.position_sizes = std::span<const double>(m.sizes);
        const EngineResult fast = run_backtest_loop(p, bars, sig, use_ic ? &ic : nullptr);
        const EngineResult plain = plain_run(p, bars, sig, use_ic ? &ic : nullptr);
        SCOPED_TRACE(std::string(c.name) + ", seed " + std::to_string(seed));
        ASSERT_GT(c.entry_rate > 0 ? plain.trades.size() : 1u, 0u);
        expect_same_series(fast.equity_curve, plain.equity_curve, "equity");
        expect_same_series(fast.drawdown_curve, plain.drawdown_curve, "drawdown");
        expect_same_series(fast.returns, plain.returns, "returns");
        expect_same_trades(fast.trades, plain.trades);
        expect_same_metrics(fast.metrics, plain.metrics);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, QuietStretches, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return "case" + std::to_string(info.index); });

// A column shorter than `close` still fails where the plain run reads past
// it, also when that index lies inside a quiet stretch.
TEST(QuietStretches, ShortColumnFailsAtItsEnd) {
    Market m = market(200, 9, 0.0, 0.0);
    m.entries[3] = 1;
    m.low.resize(150);
    EngineParams p;
    p.fee_model = FeeModel::percent(p.config.fees);
    const BarArrays bars{m.ts, m.open, m.high, m.low, m.close, m.volume};
    const SignalArrays sig{"SYM", m.entries, m.exits, std::nullopt, 1.0, 1};
    try {
        run_backtest_loop(p, bars, sig, nullptr);
        FAIL() << "no failure";
    } catch (const std::exception& e) {
        EXPECT_NE(std::string(e.what()).find("the len is 150 but the index is 150"), std::string::npos) << e.what();
    }
}

// --- the kernel's holding stretch ----------------------------------------

struct Holding {
    const char* name;
    void (*setup)(ExecutionKernel&);
};

ExecutionKernel base_kernel(const BacktestConfig& cfg) {
    return ExecutionKernel(cfg, FeeModel::percent(cfg.fees), SlippageModel::none(), price_basis::Close, "SYM", 1,
                           nullptr);
}

const Holding kHoldings[] = {
    {"long with stop and target",
     [](ExecutionKernel& k) {
         k.fill_market_order(0, 0, 1, EntrySizing::All, false, 1.0, 100.0, 0.0, 97.0, 106.0, 0.0);
     }},
    {"short, trailing stop",
     [](ExecutionKernel& k) {
         k.stop_model = StopModel::trailing(0.03);
         k.fill_market_order(0, 0, -1, EntrySizing::All, false, 1.0, 100.0, 0.0, std::nullopt, std::nullopt, 0.0);
     }},
    {"long, trailing stop, no target",
     [](ExecutionKernel& k) {
         k.stop_model = StopModel::trailing(0.02);
         k.fill_market_order(0, 0, 1, EntrySizing::All, false, 1.0, 100.0, 0.0, std::nullopt, std::nullopt, 0.0);
     }},
    {"margin account near its call",
     [](ExecutionKernel& k) {
         k.account = AccountType::margin(20.0);
         k.fill_market_order(0, 0, 1, EntrySizing::All, false, 1.0, 100.0, 0.0, std::nullopt, std::nullopt, 0.0);
     }},
    {"contract that expires",
     [](ExecutionKernel& k) {
         k.instrument = make_futures_contract("FUT", kStart + 10 * 3'600'000'000'000LL, 1.0, 10.0, 0.05, std::nullopt,
                                               std::nullopt, 0.1, 0.05, 0.0, 0.0);
         k.ledger.multiplier = 10.0;
         k.account = AccountType::margin(1.0);
         k.fill_market_order(0, 0, 1, EntrySizing::Fraction, false, 0.5, 100.0, 0.0, std::nullopt, std::nullopt, 0.0);
     }},
};

void PrintTo(const Holding& h, std::ostream* os) { *os << h.name; }

class HoldingStretch : public ::testing::TestWithParam<Holding> {};

// Two kernels from one state: one steps every bar in full, the other lets
// step_holding take every stretch it can and steps in full only where it
// stops. Their states and equities must never part.
TEST_P(HoldingStretch, MatchesTheFullStep) {
    BacktestConfig cfg;
    cfg.fees = 0.0005;
    ExecutionKernel full = base_kernel(cfg);
    GetParam().setup(full);
    ExecutionKernel quick = full;
    const Market m = market(400, 4, 0.0, 0.0, 0.003);
    std::vector<double> held(m.close.size());
    std::size_t i = 1;
    std::size_t shortcuts = 0;
    while (i < m.close.size()) {
        std::size_t k = 0;
        if (quick.only_holding()) {
            const std::size_t len = m.close.size() - i;
            k = quick.step_holding(std::span(m.ts).subspan(i, len), std::span(m.high).subspan(i, len),
                                   std::span(m.low).subspan(i, len), std::span(m.close).subspan(i, len), held.data());
            shortcuts += k;
        }
        for (std::size_t j = 0; j < k; ++j) {
            std::vector<EngineEventRecord> out;
            const Bar b{m.ts[i + j], m.open[i + j], m.high[i + j], m.low[i + j], m.close[i + j], m.volume[i + j]};
            full.step_bar(i + j, b, StepIntents{}, false, out);
            ASSERT_TRUE(out.empty()) << "the full step did something at " << i + j;
            ASSERT_TRUE(same_bits(held[j], full.equity(m.close[i + j]))) << "equity at " << i + j;
        }
        i += k;
        if (i == m.close.size()) break;
        const Bar b{m.ts[i], m.open[i], m.high[i], m.low[i], m.close[i], m.volume[i]};
        std::vector<EngineEventRecord> a, q;
        full.step_bar(i, b, StepIntents{}, false, a);
        quick.step_bar(i, b, StepIntents{}, false, q);
        ASSERT_EQ(a.size(), q.size()) << "events at " << i;
        ++i;
        ASSERT_EQ(full.ledger.positions.size(), quick.ledger.positions.size());
        for (std::size_t p = 0; p < full.ledger.positions.size(); ++p) {
            const Position& x = full.ledger.positions[p];
            const Position& y = quick.ledger.positions[p];
            EXPECT_TRUE(same_bits(x.highest, y.highest) && same_bits(x.lowest, y.lowest)) << "extremes at " << i;
            expect_same_optional(x.stop_price, y.stop_price, "stop");
        }
        EXPECT_TRUE(same_bits(full.cash, quick.cash)) << "cash at " << i;
        EXPECT_EQ(full.margin_called(), quick.margin_called());
    }
    EXPECT_GT(shortcuts, 10u);
}

INSTANTIATE_TEST_SUITE_P(Holdings, HoldingStretch, ::testing::ValuesIn(kHoldings),
                         [](const auto& info) { return "holding" + std::to_string(info.index); });

// The step of an idle kernel without intents changes nothing; with work
// pending the kernel is not idle, and a settled contract stays idle.
TEST(IdleKernel, WhatCountsAsIdle) {
    BacktestConfig cfg;
    ExecutionKernel k = base_kernel(cfg);
    EXPECT_TRUE(k.idle());
    EXPECT_FALSE(k.only_holding());
    k.deferred = DeferredIntent{};
    EXPECT_FALSE(k.idle());
    k.deferred.reset();
    k.close_requests.push_back(7);
    EXPECT_FALSE(k.idle());
    k.close_requests.clear();
    k.events.push_back(EngineEventRecord::entry_rejected(0, RejectReason::ZeroSize));
    EXPECT_FALSE(k.idle());
    k.events.clear();
    k.fill_market_order(0, 0, 1, EntrySizing::Fraction, false, 0.4, 100.0, 0.0, std::nullopt, std::nullopt, 0.0);
    EXPECT_FALSE(k.idle());
    EXPECT_TRUE(k.only_holding());
    // Two positions (a hedging ledger) are left to the full step.
    k.ledger.mode = PositionLedger::Hedging;
    k.fill_market_order(0, 0, -1, EntrySizing::Fraction, false, 0.4, 100.0, 0.0, std::nullopt, std::nullopt, 0.0);
    ASSERT_EQ(k.ledger.positions.size(), 2u);
    const std::vector<int64_t> ts{1, 2};
    const std::vector<double> px{100.0, 101.0};
    double eq[2];
    EXPECT_EQ(k.step_holding(ts, px, px, px, eq), 0u);
}

// --- entry sizing under costs the allowance undershoots --------------------

// The sizing bisection as it stands in the plain algorithm: proportional
// cuts, then halving between the last fitting and the first failing size.
double bisected_size(const FeeModel& fees, bool buy, double v, double avail, double q,
                     double (*round)(double, double), double step) {
    auto total = [&](double c) {
        const double qq = round(c, step);
        return qq * v + compute_fee(fees, buy, v, qq);
    };
    if (!(q * v + compute_fee(fees, buy, v, q) > avail)) return q;
    double hi = q;
    double lo = q * (avail / (q * v + compute_fee(fees, buy, v, q)));
    for (int i = 0; i < 8 && lo > 0 && total(lo) > avail; ++i) lo *= avail / total(lo);
    if (!(lo > 0) || total(lo) > avail) lo = 0.0;
    for (int i = 0; i < 128; ++i) {
        const double mid = lo + (hi - lo) / 2;
        if (mid <= lo || mid >= hi) break;
        if (total(mid) <= avail) {
            lo = mid;
        } else {
            hi = mid;
        }
    }
    return round(lo, step);
}
double no_rounding(double q, double) { return q; }
double whole_lots(double q, double lot) { return lot * std::floor(q / lot); }

TEST(EntrySizeSearch, EndsWhereTheBisectionEnds) {
    const char* segments[] = {"NSE-DELIVERY", "NSE", "NFO-FUT", "NFO-OPT", "MCX-FUT", "CDS-OPT"};
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    int searched = 0;
    for (int trial = 0; trial < 3000; ++trial) {
        BacktestConfig cfg;
        cfg.fee_segment = segments[trial % std::size(segments)];
        cfg.initial_capital = std::pow(10.0, 1.0 + 6.0 * u(rng));
        const double price = std::pow(10.0, -1.0 + 4.5 * u(rng));
        const int8_t dir = trial % 2 == 0 ? 1 : -1;
        const bool lots = trial % 3 == 0;
        InstrumentConfig ic;
        if (lots) ic.lot_size = 25.0;
        const FeeModel fees = fee_model_from_config(cfg);
        ExecutionKernel k(cfg, fees, SlippageModel::none(), price_basis::Close, "SYM", dir, &ic);
        const auto ev = k.fill_market_order(0, 0, dir, EntrySizing::All, false, 1.0, price, 0.0, std::nullopt,
                                            std::nullopt, 0.0);
        ASSERT_TRUE(ev.has_value());
        const double q0 = cfg.initial_capital / ((1.0 + cfg.fees) * price);
        const double expected = lots ? bisected_size(fees, dir == 1, price, cfg.initial_capital,
                                                     whole_lots(q0, 25.0), whole_lots, 25.0)
                                     : bisected_size(fees, dir == 1, price, cfg.initial_capital, q0, no_rounding, 0.0);
        searched += expected != (lots ? whole_lots(q0, 25.0) : q0);
        if (expected > 0) {
            ASSERT_EQ(ev->kind, EngineEventRecord::Entered) << trial;
            EXPECT_TRUE(same_bits(ev->size, expected)) << trial << ": " << ev->size << " vs " << expected;
        } else {
            EXPECT_EQ(ev->kind, EngineEventRecord::EntryRejected) << trial;
        }
    }
    EXPECT_GT(searched, 500);
}

// --- the signal cursor ----------------------------------------------------

TEST(SignalCursorReading, MatchesTheBarByBarReading) {
    std::mt19937_64 rng(17);
    for (auto [max_open, pyramiding] : {std::pair<std::size_t, bool>{1, false}, {3, true}, {3, false}, {0, true}}) {
        for (int density : {2, 5, 40}) {
            BoolVec en(997), ex(997);
            for (std::size_t i = 0; i < en.size(); ++i) {
                en[i] = rng() % density == 0 ? uint8_t(1 + rng() % 255) : 0;
                ex[i] = rng() % density == 0;
            }
            // The reading bar by bar: an entry while below the cap, an exit
            // while open and not entering.
            const std::size_t cap = pyramiding ? max_open : std::min<std::size_t>(max_open, 1);
            BoolVec want_en(en.size(), 0), want_ex(en.size(), 0);
            std::size_t open = 0;
            for (std::size_t i = 0; i < en.size(); ++i) {
                if (en[i] && open < cap) {
                    want_en[i] = 1;
                    ++open;
                } else if (open > 0 && !en[i] && ex[i]) {
                    want_ex[i] = 1;
                    open = 0;
                }
            }
            const ProcessedSignals got = process_signals(en, ex, max_open, pyramiding);
            EXPECT_EQ(got.entry_signals, want_en);
            EXPECT_EQ(got.exit_signals, want_ex);
        }
    }
}

// --- curve summaries and the median spacing ---------------------------------

TEST(CurveSummaries, RepeatedStepsCountLikeSingleOnes) {
    std::mt19937_64 rng(23);
    const double values[] = {0.0, -0.0, 1.5, 3.0, std::nan(""), -2.0, 0.25};
    DrawdownRuns one, many;
    ReturnSum sum_one, sum_many;
    for (int i = 0; i < 400; ++i) {
        const double v = values[rng() % std::size(values)];
        const std::size_t k = rng() % 5;
        for (std::size_t j = 0; j < k; ++j) one.add(v);
        many.add_repeated(v, k);
        const double r = rng() % 2 ? 0.0 : std::nan("");
        for (std::size_t j = 0; j < k; ++j) sum_one.add(r);
        sum_many.add_zeros(r, k);
    }
    EXPECT_TRUE(same_bits(one.max_pct, many.max_pct));
    EXPECT_EQ(one.longest, many.longest);
    EXPECT_EQ(one.first, many.first);
    EXPECT_EQ(one.seen, many.seen);
    EXPECT_EQ(sum_one.count, sum_many.count);
    EXPECT_EQ(sum_one.seen, sum_many.seen);
    EXPECT_TRUE(same_bits(sum_one.sum, sum_many.sum));
}

// The median of the positive steps, taken by sorting them all.
double sorted_median(std::span<const int64_t> ts) {
    std::vector<uint64_t> steps;
    for (std::size_t i = 1; i < ts.size(); ++i)
        if (ts[i] > ts[i - 1]) steps.push_back(uint64_t(ts[i]) - uint64_t(ts[i - 1]));
    std::sort(steps.begin(), steps.end());
    const std::size_t c = steps.size();
    if (c == 0) return 0.0;
    return c % 2 ? double(steps[c / 2]) : (double(steps[c / 2 - 1]) + double(steps[c / 2])) / 2.0;
}

TEST(MedianSpacing, CountedLikeSorted) {
    std::mt19937_64 rng(31);
    constexpr int64_t kMin = 60'000'000'000;
    std::vector<std::vector<int64_t>> series;
    for (int kind = 0; kind < 6; ++kind) {
        for (std::size_t n : {2u, 33u, 34u, 200u, 5001u}) {
            std::vector<int64_t> ts(n);
            int64_t t = kind == 5 ? INT64_MAX - 20 * kMin : 0;
            for (std::size_t i = 0; i < n; ++i) {
                ts[i] = t;
                int64_t step = kMin;
                if (kind == 1 && i % 375 == 374) step = 17 * 60 * kMin;      // overnight gaps
                if (kind == 2) step = kMin * int64_t(1 + rng() % 3);         // a few spacings
                if (kind == 3) step = int64_t(rng() % 1000) - 100;            // irregular, some backwards
                if (kind == 4 && i % 50 == 0) step = 0;                       // repeated stamps
                // Over the top of the range, wrapping to the bottom, then
                // wider: counted with the wrap, the median would move.
                if (kind == 5 && i >= 100) step = 2 * kMin;
                t = int64_t(uint64_t(t) + uint64_t(step));
            }
            series.push_back(ts);
        }
    }
    for (const auto& ts : series) {
        const double m = sorted_median(ts);
        if (!(m > 0)) continue;
        // A continuous market turns the median straight into the factor.
        EXPECT_TRUE(same_bits(resolve_periods_per_year(std::nullopt, 375.0, 365.0, ts, true),
                              31'536'000'000'000'000.0 / m))
            << ts.size();
    }
}

}  // namespace
