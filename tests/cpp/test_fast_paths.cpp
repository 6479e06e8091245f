// The engine's shortcuts checked bit for bit against the plain algorithms.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
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
constexpr const char* kSymbol = "A SYMBOL TOO LONG TO STAY IN PLACE";

bool same_opt(const std::optional<double>& a, const std::optional<double>& b) {
    return a.has_value() == b.has_value() && (!a || same_bits(*a, *b));
}

void expect_same_series(std::span<const double> a, std::span<const double> b, const char* what) {
    ASSERT_EQ(a.size(), b.size()) << what;
    for (std::size_t i = 0; i < a.size(); ++i) ASSERT_TRUE(same_bits(a[i], b[i])) << what << " differs at " << i;
}

void expect_same_results(const EngineResult& x, const EngineResult& y) {
    expect_same_series(x.equity_curve, y.equity_curve, "equity");
    expect_same_series(x.drawdown_curve, y.drawdown_curve, "drawdown");
    expect_same_series(x.returns, y.returns, "returns");
    ASSERT_EQ(x.trades.size(), y.trades.size());
    for (std::size_t i = 0; i < x.trades.size(); ++i) {
        const Trade &a = x.trades[i], &b = y.trades[i];
        EXPECT_TRUE(a.entry_idx == b.entry_idx && a.exit_idx == b.exit_idx && a.exit_reason == b.exit_reason &&
                    a.symbol == b.symbol && a.fee_breakdown.has_value() == b.fee_breakdown.has_value())
            << i;
        for (double Trade::*f : {&Trade::entry_price, &Trade::exit_price, &Trade::size, &Trade::pnl, &Trade::fees,
                                 &Trade::pnl_pct})
            EXPECT_TRUE(same_bits(a.*f, b.*f)) << "trade " << i;
        EXPECT_TRUE(!a.fee_breakdown || same_bits(a.fee_breakdown->total(), b.fee_breakdown->total()));
    }
    // Trade figures follow from the trades; these come from the curve summaries.
    using M = BacktestMetrics;
    const M &a = x.metrics, &b = y.metrics;
    for (double M::*f : {&M::total_return_pct, &M::sharpe_ratio, &M::sortino_ratio, &M::calmar_ratio, &M::omega_ratio,
                         &M::max_drawdown_pct, &M::end_value, &M::exposure_pct, &M::recovery_factor})
        EXPECT_TRUE(same_bits(a.*f, b.*f)) << a.*f << " vs " << b.*f;
    EXPECT_EQ(a.max_drawdown_duration, b.max_drawdown_duration);
    EXPECT_TRUE(same_opt(a.max_drawdown_duration_secs, b.max_drawdown_duration_secs));
}

// A seeded random walk of minute bars with an hour's gap every seventh bar.
struct Market {
    std::vector<int64_t> ts;
    std::vector<double> open, high, low, close, volume, sizes;
    std::vector<uint8_t> entries, exits;
    Bar bar(std::size_t i) const { return {ts[i], open[i], high[i], low[i], close[i], volume[i]}; }
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

struct RunSetup {
    EngineParams p;
    std::optional<InstrumentConfig> ic;
    bool sized = false;
    int8_t dir = 1;
};

// Every bar stepped in full, the metrics taken from the finished curves.
EngineResult plain_run(const RunSetup& s, const Market& m) {
    const ProcessedSignals sig = process_signals(m.entries, m.exits);
    const InstrumentConfig* ic = s.ic ? &*s.ic : nullptr;
    SingleKernel sk(s.p.config, s.p.fee_model, s.p.slippage, s.p.price_basis, kSymbol, s.dir, ic);
    Series<double> atr;
    if (auto period = atr_period_for(effective_stop(s.p.config, ic), effective_target(s.p.config, ic)))
        if (SeriesResult res = compute_atr(m.high, m.low, m.close, *period)) atr = std::move(res.value());
    for (std::size_t i = 0; i < m.close.size(); ++i) {
        StepIntents in;
        if (s.sized) in.size = m.sizes[i];
        in.atr = i < atr.size() ? atr[i] : 0.0;
        in.entry = sig.entry_signals[i] != 0;
        in.exit = sig.exit_signals[i] != 0;
        std::vector<EngineEventRecord> events;
        sk.step(i, m.bar(i), in, events);
    }
    const BacktestConfig cfg = sk.config;
    EngineResult r = std::move(sk).finish(m.ts);
    r.metrics = compute_metrics(r.equity_curve, r.drawdown_curve, r.returns, r.trades, m.ts, cfg);
    return r;
}

struct Case {
    const char* name;
    double entry_rate, exit_rate;
    void (*setup)(RunSetup&);
};
// Long-only stops, targets and itemised costs at the close are pinned by the
// seeded Python run; these reach the other stretch loops and fill paths.
const Case kCases[] = {
    {"trailing stop, fixed target, short, sized entries", 0.03, 0.01,
     [](RunSetup& s) {
         s.p.config.stop = StopModel::trailing(0.02);
         s.p.config.target = TargetModel{TargetModel::Fixed, 0.03, 0};
         s.sized = true;
         s.dir = -1;
     }},
    {"stop and target on one bar, read by its path", 0.05, 0.0,
     [](RunSetup& s) {
         s.p.config.stop = StopModel::fixed(0.004);
         s.p.config.target = TargetModel{TargetModel::Fixed, 0.004, 0};
         s.p.config.bar_path_adaptive = true;
         s.p.config.limit_slippage = 0.001;
     }},
    {"next bar open, atr stop, drawdown halt", 0.05, 0.05,
     [](RunSetup& s) {
         s.p.config.fill_timing = FillTiming::NextBarOpen;
         s.p.price_basis = price_basis::Open;
         s.p.config.stop = StopModel::atr(2.0, 14);
         s.p.config.max_drawdown_pct = 3.0;
     }},
    {"nothing watched, long", 0.03, 0.03, [](RunSetup&) {}},
    {"nothing watched, short, sized entries", 0.02, 0.02, [](RunSetup& s) { s.dir = -1, s.sized = true; }},
    {"instrument lots and capital", 0.03, 0.03,
     [](RunSetup& s) {
         s.ic.emplace().lot_size = 25.0;
         s.ic->alloted_capital = 40000.0;
         s.ic->stop = StopModel::fixed(0.01);
         s.p.config.fee_segment = "NFO-FUT";
         s.p.fee_model = fee_model_from_config(s.p.config);
     }},
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class QuietStretches : public ::testing::TestWithParam<Case> {};

TEST_P(QuietStretches, RunMatchesOneFullStepPerBar) {
    const Case& c = GetParam();
    for (uint64_t seed : {1u, 2u, 3u}) {
        const Market m = market(3000, seed, c.entry_rate, c.exit_rate);
        RunSetup s;
        s.p.fee_model = FeeModel::percent(s.p.config.fees);
        c.setup(s);
        SignalArrays sig{kSymbol, m.entries, m.exits, std::nullopt, 1.0, s.dir};
        if (s.sized) sig.position_sizes = std::span<const double>(m.sizes);
        const EngineResult plain = plain_run(s, m);
        SCOPED_TRACE(std::string(c.name) + ", seed " + std::to_string(seed));
        ASSERT_GT(plain.trades.size(), 0u);
        const BarArrays bars{m.ts, m.open, m.high, m.low, m.close, m.volume};
        expect_same_results(run_backtest_loop(s.p, bars, sig, s.ic ? &*s.ic : nullptr), plain);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, QuietStretches, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return "case" + std::to_string(info.index); });

// A column shorter than `close` fails at its end, also inside a holding stretch.
TEST(QuietStretches, ShortColumnFailsAtItsEnd) {
    Market m = market(200, 9, 0.0, 0.0);
    m.entries[3] = 1;
    m.low.resize(150);
    EngineParams p;
    p.fee_model = FeeModel::percent(p.config.fees);
    try {
        run_backtest_loop(p, {m.ts, m.open, m.high, m.low, m.close, m.volume},
                          {"SYM", m.entries, m.exits, std::nullopt, 1.0, 1}, nullptr);
        FAIL() << "no failure";
    } catch (const std::exception& e) {
        EXPECT_NE(std::string(e.what()).find("the len is 150 but the index is 150"), std::string::npos) << e.what();
    }
}

ExecutionKernel base_kernel(const BacktestConfig& cfg) {
    return ExecutionKernel(cfg, FeeModel::percent(cfg.fees), SlippageModel::none(), price_basis::Close, "SYM", 1,
                           nullptr);
}
void enter(ExecutionKernel& k, int8_t dir, double fraction = 1.0) {
    k.fill_market_order(0, 0, dir, fraction < 1.0 ? EntrySizing::Fraction : EntrySizing::All, false, fraction, 100.0,
                        0.0, std::nullopt, std::nullopt, 0.0);
}

struct Holding {
    const char* name;
    void (*setup)(ExecutionKernel&);
};
const Holding kHoldings[] = {
    {"long, trailing stop only", [](ExecutionKernel& k) { k.stop_model = StopModel::trailing(0.02); enter(k, 1); }},
    {"margin account near its call", [](ExecutionKernel& k) { k.account = AccountType::margin(20.0); enter(k, 1); }},
    {"cash short, nothing watched", [](ExecutionKernel& k) { enter(k, -1, 0.7); }},
    {"contract that expires",
     [](ExecutionKernel& k) {
         k.instrument = make_futures_contract("FUT", kStart + 10 * 3'600'000'000'000LL, 1.0, 10.0, 0.05, std::nullopt,
                                               std::nullopt, 0.1, 0.05, 0.0, 0.0);
         k.ledger.multiplier = 10.0;
         k.account = AccountType::margin(1.0);
         enter(k, 1, 0.5);
     }},
};
void PrintTo(const Holding& h, std::ostream* os) { *os << h.name; }

class HoldingStretch : public ::testing::TestWithParam<Holding> {};

// One kernel steps every bar in full, its copy takes every stretch it can:
// the same equity at every bar, the same records and the same final state.
TEST_P(HoldingStretch, MatchesTheFullStep) {
    BacktestConfig cfg;
    cfg.fees = 0.0005;
    ExecutionKernel full = base_kernel(cfg);
    GetParam().setup(full);
    ExecutionKernel quick = full;
    const Market m = market(400, 4, 0.0, 0.0, 0.003);
    const std::size_t n = m.close.size();
    std::vector<double> want(n), got(n);
    std::vector<EngineEventRecord> a, q;
    for (std::size_t i = 1; i < n; ++i) {
        full.step_bar(i, m.bar(i), StepIntents{}, false, a);
        want[i] = full.equity(m.close[i]);
    }
    std::size_t shortcuts = 0;
    for (std::size_t i = 1; i < n; ++i) {
        const std::size_t k = !quick.only_holding() ? 0
                              : quick.step_holding(std::span(m.ts).subspan(i), std::span(m.high).subspan(i),
                                                   std::span(m.low).subspan(i), std::span(m.close).subspan(i),
                                                   got.data() + i);
        shortcuts += k;
        if ((i += k) == n) break;
        quick.step_bar(i, m.bar(i), StepIntents{}, false, q);
        got[i] = quick.equity(m.close[i]);
    }
    expect_same_series(got, want, "equity");
    ASSERT_EQ(a.size(), q.size());
    for (std::size_t j = 0; j < a.size(); ++j) EXPECT_TRUE(a[j].kind == q[j].kind && a[j].idx == q[j].idx) << j;
    ASSERT_EQ(full.ledger.positions.size(), quick.ledger.positions.size());
    for (std::size_t p = 0; p < full.ledger.positions.size(); ++p) {
        const Position &x = full.ledger.positions[p], &y = quick.ledger.positions[p];
        EXPECT_TRUE(same_bits(x.highest, y.highest) && same_bits(x.lowest, y.lowest) &&
                    same_opt(x.stop_price, y.stop_price));
    }
    EXPECT_TRUE(same_bits(full.cash, quick.cash) && full.margin_called() == quick.margin_called());
    EXPECT_GT(shortcuts, 10u);
}

INSTANTIATE_TEST_SUITE_P(Holdings, HoldingStretch, ::testing::ValuesIn(kHoldings),
                         [](const auto& info) { return "holding" + std::to_string(info.index); });

// Two positions (a hedging ledger) are left to the full step.
TEST(HoldingStretch, HedgingLedgerTakesNoShortcut) {
    ExecutionKernel k = base_kernel(BacktestConfig{});
    k.ledger.mode = PositionLedger::Hedging;
    enter(k, 1, 0.4);
    enter(k, -1, 0.4);
    ASSERT_TRUE(k.only_holding() && k.ledger.positions.size() == 2u);
    const int64_t ts[] = {1, 2};
    const double px[] = {100.0, 101.0};
    double eq[2];
    EXPECT_EQ(k.step_holding(ts, px, px, px, eq), 0u);
}

// A kernel stepped in full and its copy, which takes the plain step where it
// can, through entries and exits at awkward prices and capitals: the same
// cash, position, trades and refusals after every step.
TEST(PlainStep, MatchesTheFullStep) {
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    std::mt19937_64 rng(23);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    auto pick = [&](std::initializer_list<double> odd, double usual) {
        return u(rng) < 0.1 ? *(odd.begin() + rng() % odd.size()) : usual;
    };
    std::size_t taken[2] = {};  // steps left to the full step, steps taken plainly
    for (int trial = 0; trial < 400; ++trial) {
        BacktestConfig cfg;
        cfg.fees = pick({0.0, -0.0005, 0.5}, 0.004 * u(rng));
        cfg.initial_capital = pick({0.0, -100.0, 1e-300, inf}, std::pow(10.0, 1.0 + 6.0 * u(rng)));
        if (trial % 7 == 0) cfg.max_positions = 1;
        ExecutionKernel full(cfg, FeeModel::percent(cfg.fees), SlippageModel::none(), price_basis::Close, kSymbol,
                             trial % 2 ? 1 : -1, nullptr);
        if (trial % 11 == 0) full.ledger.multiplier = 2.5;
        ASSERT_TRUE(full.plain_fills());
        ExecutionKernel quick = full;
        TradeList want, got;
        std::vector<EngineEventRecord> a, q;
        for (uint64_t i = 0; i < 12; ++i) {
            const double c = pick({0.0, -0.0, -3.0, nan, inf, 1e-310}, std::pow(10.0, -1.0 + 4.5 * u(rng)));
            const Bar bar{kStart + int64_t(i), c, c * 1.01, c * 0.99, c, 1000.0};
            StepIntents in;
            in.entry = i % 2 == 0 || u(rng) < 0.1;
            in.exit = i % 2 == 1 || u(rng) < 0.1;
            if (u(rng) < 0.3) in.size = pick({0.0, -0.5, nan, 2.0}, u(rng));
            in.atr = u(rng);
            full.step_bar_keeping_trades(i, bar, in, want, a);
            const bool plain = quick.plain_step(i, bar.ts, bar.close, in, got);
            ++taken[plain];
            if (!plain) quick.step_bar_keeping_trades(i, bar, in, got, q);
            SCOPED_TRACE("trial " + std::to_string(trial) + ", step " + std::to_string(i));
            ASSERT_TRUE(same_bits(full.cash, quick.cash)) << full.cash << " vs " << quick.cash;
            ASSERT_EQ(full.refused_entries, quick.refused_entries);
            ASSERT_EQ(full.ledger.positions.size(), quick.ledger.positions.size());
            for (std::size_t k = 0; k < full.ledger.positions.size(); ++k) {
                const Position &x = full.ledger.positions[k], &y = quick.ledger.positions[k];
                EXPECT_TRUE(x.entry_idx == y.entry_idx && x.position_id == y.position_id && x.entry_ts == y.entry_ts &&
                            x.direction == y.direction && x.open == y.open && !y.entry_breakdown &&
                            same_opt(x.stop_price, y.stop_price) && same_opt(x.target_price, y.target_price));
                for (double Position::*f : {&Position::entry_price, &Position::size, &Position::highest,
                                            &Position::lowest, &Position::entry_fees})
                    EXPECT_TRUE(same_bits(x.*f, y.*f));
            }
            ASSERT_EQ(want.size(), got.size());
            if (want.empty()) continue;
            const Trade &x = want.back(), &y = got.back();
            EXPECT_TRUE(x.id == y.id && x.entry_idx == y.entry_idx && x.exit_idx == y.exit_idx &&
                        x.entry_time == y.entry_time && x.exit_time == y.exit_time && x.direction == y.direction &&
                        x.exit_reason == y.exit_reason && x.symbol == y.symbol && !x.fee_breakdown && !y.fee_breakdown);
            for (double Trade::*f : {&Trade::entry_price, &Trade::exit_price, &Trade::size, &Trade::pnl,
                                     &Trade::pnl_pct, &Trade::fees, &Trade::entry_fees, &Trade::exit_fees})
                EXPECT_TRUE(same_bits(x.*f, y.*f));
        }
    }
    EXPECT_GT(taken[1], 1500u);  // both ways taken often
    EXPECT_GT(taken[0], 500u);
}

// Slippage, another price basis, margin, lots, stops and itemised costs
// leave every step to the full one; so do a level to watch and pending work.
TEST(PlainStep, OnlyForPlainFills) {
    const BacktestConfig cfg;
    EXPECT_TRUE(base_kernel(cfg).plain_fills());
    for (auto [slip, basis] : {std::pair(SlippageModel::fraction(0.001), price_basis::Close),
                               std::pair(SlippageModel::none(), price_basis::Open)})
        EXPECT_FALSE(ExecutionKernel(cfg, FeeModel::percent(cfg.fees), slip, basis, "SYM", 1, nullptr).plain_fills());
    for (auto change : {+[](ExecutionKernel& k) { k.account = AccountType::margin(2.0); },
                        +[](ExecutionKernel& k) { k.lot_size = 25.0; },
                        +[](ExecutionKernel& k) { k.stop_model = StopModel::fixed(0.01); },
                        +[](ExecutionKernel& k) { k.fee_model = FeeModel::itemised(CostSegment::EquityDelivery); }}) {
        ExecutionKernel k = base_kernel(cfg);
        change(k);
        EXPECT_FALSE(k.plain_fills());
    }
    ExecutionKernel k = base_kernel(cfg);
    TradeList trades;
    std::vector<EngineEventRecord> out;
    StepIntents entry, exit;
    entry.entry = exit.exit = true;
    entry.stop = 90.0;
    const Bar bar{kStart, 100.0, 101.0, 99.0, 100.0, 1000.0};
    EXPECT_FALSE(k.plain_step(0, bar.ts, bar.close, entry, trades));
    k.step_bar_keeping_trades(0, bar, entry, trades, out);
    EXPECT_FALSE(k.plain_step(1, bar.ts, bar.close, exit, trades));
    k = base_kernel(cfg);
    k.request_close(0);
    entry.stop.reset();
    EXPECT_FALSE(k.plain_step(0, bar.ts, bar.close, entry, trades));
    EXPECT_TRUE(trades.empty() && k.ledger.flat());
}

// The largest size up to `q` (whole lots when `lot` > 0) whose cost and fee
// fit in `avail`, by halving over the bit patterns of the doubles in [0, q].
double largest_fitting(const FeeModel& fees, bool buy, double price, double avail, double q, double lot) {
    auto round = [lot](double c) { return lot > 0 ? lot * std::floor(c / lot) : c; };
    auto fits = [&](double c) { return round(c) * price + compute_fee(fees, buy, price, round(c)) <= avail; };
    if (fits(q)) return q;
    uint64_t lo = 0, hi = std::bit_cast<uint64_t>(q);
    while (hi - lo > 1) {
        const uint64_t mid = lo + (hi - lo) / 2;
        (fits(std::bit_cast<double>(mid)) ? lo : hi) = mid;
    }
    return round(std::bit_cast<double>(lo));
}

// Flat, proportional and itemised costs, with and without lots: the largest size that fits.
TEST(EntrySizeSearch, IsTheLargestSizeThatFits) {
    const char* segments[] = {"NSE-DELIVERY", "NSE", "NFO-FUT", "NFO-OPT", "MCX-FUT", "CDS-OPT"};
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    int searched = 0;
    for (int trial = 0; trial < 6000; ++trial) {
        BacktestConfig cfg;
        cfg.fees = trial % 5 == 0 ? 0.0 : 0.001;
        cfg.initial_capital = std::pow(10.0, 1.0 + 6.0 * u(rng));
        const double price = std::pow(10.0, -1.0 + 4.5 * u(rng));
        const int8_t dir = rng() % 2 ? 1 : -1;
        const double lot = rng() % 3 == 0 ? 25.0 : 0.0;
        FeeModel fees = FeeModel::percent(trial % 10 == 0 ? 0.0 : 0.004 * u(rng));
        if (trial % 2) {
            cfg.fee_segment = segments[(trial / 2) % std::size(segments)];
            fees = fee_model_from_config(cfg);
        }
        InstrumentConfig ic;
        if (lot > 0) ic.lot_size = lot;
        ExecutionKernel k(cfg, fees, SlippageModel::none(), price_basis::Close, "SYM", dir, &ic);
        const auto ev = k.fill_market_order(0, 0, dir, EntrySizing::All, false, 1.0, price, 0.0, std::nullopt,
                                            std::nullopt, 0.0);
        ASSERT_TRUE(ev.has_value());
        const double q0 = cfg.initial_capital / ((1.0 + cfg.fees) * price);
        const double q = lot > 0 ? lot * std::floor(q0 / lot) : q0;
        const double want = largest_fitting(fees, dir == 1, price, cfg.initial_capital, q, lot);
        searched += want != q;
        ASSERT_EQ(ev->kind, want > 0 ? EngineEventRecord::Entered : EngineEventRecord::EntryRejected) << trial;
        EXPECT_TRUE(want <= 0 || same_bits(ev->size, want)) << trial << ": " << ev->size << " vs " << want;
    }
    EXPECT_GT(searched, 2000);
}

TEST(MedianSpacing, CountedLikeSorted) {
    std::mt19937_64 rng(31);
    constexpr int64_t kMin = 60'000'000'000;
    for (int kind = 1; kind < 6; ++kind) {
        for (std::size_t n : {2u, 33u, 34u, 200u, 5001u}) {
            std::vector<int64_t> ts(n);
            std::vector<uint64_t> steps;
            int64_t t = kind == 5 ? INT64_MAX - 20 * kMin : 0;
            for (std::size_t i = 0; i < n; ++i) {
                ts[i] = t;
                if (i > 0 && ts[i] > ts[i - 1]) steps.push_back(uint64_t(ts[i]) - uint64_t(ts[i - 1]));
                int64_t step = kMin;
                if (kind == 1 && i % 375 == 374) step = 17 * 60 * kMin;  // overnight gaps
                if (kind == 2) step = kMin * int64_t(1 + rng() % 3);     // a few spacings
                if (kind == 3) step = int64_t(rng() % 1000) - 100;        // irregular, some backwards
                if (kind == 4 && i % 50 == 0) step = 0;                   // repeated stamps
                if (kind == 5 && i >= 100) step = 2 * kMin;              // wraps past the top, then wider
                t = int64_t(uint64_t(t) + uint64_t(step));
            }
            std::sort(steps.begin(), steps.end());
            const std::size_t c = steps.size();
            if (c == 0) continue;
            const double m = c % 2 ? double(steps[c / 2]) : (double(steps[c / 2 - 1]) + double(steps[c / 2])) / 2.0;
            EXPECT_TRUE(same_bits(resolve_periods_per_year(std::nullopt, 375.0, 365.0, ts, true),
                                  31'536'000'000'000'000.0 / m))
                << kind << " " << n;
            // Counted a stretch at a time, as a run passes them.
            PositiveSteps counted;
            for (std::size_t from = 1, to = 1; from < n; from = to)
                counted.count(ts.data(), from, to = std::min(n, from + 1 + rng() % 700));
            EXPECT_TRUE(same_bits(resolve_periods_per_year(std::nullopt, 375.0, 365.0, ts, true, counted),
                                  31'536'000'000'000'000.0 / m))
                << kind << " " << n << " in stretches";
        }
    }
}

// A run's curves marked in blocks of every length, against the same
// equities marked one step at a time (the loop the blocks replace).
TEST(CurveBlocks, MatchSingleSteps) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    std::mt19937_64 rng(17);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (double capital : {1e5, 0.0, -50.0, nan}) {
        for (int trial = 0; trial < 40; ++trial) {
            std::vector<double> eq;
            double e = std::isnan(capital) ? 100.0 : capital + 10.0;
            for (int i = 0; i < 1500; ++i) {
                e *= 1.0 + 0.02 * (u(rng) - (trial % 3 == 0 ? 0.4 : 0.5));  // new peaks, or mostly under water
                const double w = u(rng);
                eq.push_back(w < 0.01 ? 0.0 : w < 0.015 ? -0.0 : w < 0.02 ? nan : w < 0.022 ? inf : w < 0.03 ? -e : e);
            }
            BacktestConfig cfg;
            cfg.initial_capital = capital;
            SingleKernel blocks(cfg, FeeModel::percent(0.0), SlippageModel::none(), price_basis::Close, "S", 1,
                                nullptr);
            blocks.keep_timestamps = false;
            SingleKernel steps = blocks;
            const std::vector<int64_t> ts(eq.size(), 0);
            for (std::size_t at = 0; at < eq.size();) {
                const std::size_t k = std::min<std::size_t>(eq.size() - at, 1 + rng() % (trial % 2 ? 40 : 300));
                blocks.mark_many(std::span(eq).subspan(at, k), std::span(ts).subspan(at, k));
                for (std::size_t j = at; j < at + k; ++j)
                    steps.mark_many(std::span(eq).subspan(j, 1), std::span(ts).subspan(j, 1));
                at += k;
            }
            SCOPED_TRACE("capital " + std::to_string(capital) + ", trial " + std::to_string(trial));
            expect_same_series(blocks.equity_curve, steps.equity_curve, "equity");
            expect_same_series(blocks.drawdown_curve, steps.drawdown_curve, "drawdown");
            expect_same_series(blocks.returns, steps.returns, "returns");
            const CurveSummary &a = blocks.summary, &b = steps.summary;
            EXPECT_TRUE(same_bits(a.returns.sum, b.returns.sum) && a.returns.count == b.returns.count);
            EXPECT_TRUE(same_bits(a.drawdown.max_pct, b.drawdown.max_pct) && a.drawdown.longest == b.drawdown.longest &&
                        a.drawdown.first == b.drawdown.first && a.drawdown.run == b.drawdown.run);
            EXPECT_TRUE(same_bits(blocks.peak_equity, steps.peak_equity));
        }
    }
}

}  // namespace
