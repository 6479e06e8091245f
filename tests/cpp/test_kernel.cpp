#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "core/fees.h"
#include "core/instrument.h"
#include "execution/kernel.h"
#include "execution/ledger.h"

using namespace tidemark;

namespace {

constexpr double kTol = 1e-9;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
using Ev = EngineEventRecord;
using std::nullopt;

BacktestConfig cfg_with(double fees) {
    BacktestConfig c;
    c.fees = fees;
    return c;
}
ExecutionKernel kernel(const BacktestConfig& cfg, int8_t dir = 1, SlippageModel slip = SlippageModel::none(),
                       uint8_t basis = price_basis::Close, const InstrumentConfig* ic = nullptr) {
    return ExecutionKernel(cfg, FeeModel::percent(cfg.fees), slip, basis, "SYM", dir, ic);
}
InstrumentSpec stock(double price_inc, double size_inc, double margin_init = 0.0, double margin_maint = 0.0) {
    return make_equity("SYM", price_inc, 1.0, size_inc, margin_init, margin_maint, 0.0, 0.0);
}
// A call with span 0.1 + exposure 0.05 premium margin.
InstrumentSpec call_option(double strike, double multiplier) {
    return make_option("OPT", strike, "call", 1'000'000'000'000, 1.0, multiplier, 0.05, nullopt, false, nullopt, 0.0,
                       0.0, 0.0, 0.0, 0.1, 0.05);
}
// Sized from capital: a fraction when given, else all of it.
std::optional<Ev> enter(ExecutionKernel& k, int8_t dir, double price, std::optional<double> frac = nullopt,
                        std::optional<double> stop = nullopt, std::optional<double> target = nullopt, double atr = 0) {
    return k.fill_market_order(0, 0, dir, frac ? EntrySizing::Fraction : EntrySizing::All, false, frac.value_or(1.0),
                               price, 0.0, stop, target, atr);
}
std::optional<Ev> enter_qty(ExecutionKernel& k, int8_t dir, double qty, double price) {
    return k.fill_market_order(0, 0, dir, EntrySizing::All, true, qty, price, 0.0, nullopt, nullopt, 0.0);
}
Bar bar(int64_t ts, double o, double h, double l, double c) { return Bar{ts, o, h, l, c, 1000.0}; }
Bar flat_bar(int64_t ts, double p) { return bar(ts, p, p, p, p); }
StepIntents intents(bool entry, bool exit = false) { return {nullopt, nullopt, nullopt, 0.0, entry, exit}; }
std::vector<Ev> step(ExecutionKernel& k, uint64_t idx, const Bar& b, const StepIntents& in = {}, bool tick = false) {
    std::vector<Ev> out;
    k.step_bar(idx, b, in, tick, out);
    return out;
}
void expect_rejected(const std::optional<Ev>& ev, RejectReason r) {
    ASSERT_TRUE(ev.has_value());
    EXPECT_EQ(ev->kind, Ev::EntryRejected);
    EXPECT_EQ(ev->reason, r);
}
Trade exited_trade(const std::vector<Ev>& evs, std::size_t i = 0) {
    if (evs.size() > i && evs[i].kind == Ev::Exited) return *evs[i].trade;
    ADD_FAILURE() << "no exited event at " << i;
    return {};
}
Position position(uint64_t id, int8_t dir, double size, double price, double fees = 0.0) {
    Position p;
    p.entry_price = price, p.size = size, p.entry_fees = fees, p.direction = dir, p.position_id = id;
    return p;
}
double stop_of(const ExecutionKernel& k, std::size_t i) { return k.ledger.positions.at(i).stop_price.value_or(kNaN); }
double target_of(const ExecutionKernel& k, std::size_t i) {
    return k.ledger.positions.at(i).target_price.value_or(kNaN);
}

}  // namespace

// --- entry sizing ---------------------------------------------------------

TEST(KernelEntrySizing, CashAccountUsesCapitalAndSnapsToIncrement) {
    auto k = kernel(cfg_with(0.001));
    EXPECT_NEAR(enter(k, 1, 100.0)->size, 100000.0 / 100.1, kTol);  // 999.000999..., kept without an instrument
    EXPECT_NEAR(k.cash, 0.0, 1e-8);

    auto k2 = kernel(cfg_with(0.001));
    k2.instrument = stock(0.0, 1.0);
    EXPECT_DOUBLE_EQ(enter(k2, 1, 100.0)->size, 999.0);
    EXPECT_NEAR(k2.cash, 100000.0 - 99900.0 - 99.9, 1e-8);
    auto k4 = kernel(cfg_with(0.001));
    k4.instrument = stock(0.0, 1.0);
    k4.ledger.mode = PositionLedger::Hedging;
    EXPECT_DOUBLE_EQ(enter_qty(k4, 1, 2.9999999999999, 100.0)->size, 3.0);  // within 1e-9: snaps
    EXPECT_DOUBLE_EQ(enter_qty(k4, 1, 2.999, 100.0)->size, 2.0);            // otherwise floors

    // Lot floor (the kernel's lot comes from the instrument config) before the increment.
    InstrumentConfig ic;
    ic.lot_size = 10.0;
    auto k3 = kernel(cfg_with(0.001), 1, SlippageModel::none(), price_basis::Close, &ic);
    EXPECT_DOUBLE_EQ(enter(k3, 1, 100.0)->size, 990.0);
}

TEST(KernelEntrySizing, MarginAccountRates) {
    auto k = kernel(cfg_with(0.001));
    k.account = AccountType::margin(0.5);  // leverage below 1 counts as 1: cost 100 x (0.001 + 1)
    const double q = enter(k, 1, 100.0)->size;
    EXPECT_NEAR(q, 100000.0 / 100.1, kTol);
    EXPECT_NEAR(k.locked_margin.at(0), q * 100.0, 1e-7);
    EXPECT_NEAR(k.cash, 100000.0 - 0.1 * q, 1e-7);  // only the fee leaves cash
    auto k2 = kernel(cfg_with(0.001));
    k2.account = AccountType::margin(2.0);  // rate 0.5: cost 100 x 0.501
    EXPECT_NEAR(enter(k2, 1, 100.0)->size, 100000.0 / 50.1, kTol);

    // The instrument's initial margin wins over leverage; locked margin and alloted capital cap what is available.
    auto k3 = kernel(cfg_with(0.0));
    k3.account = AccountType::margin(2.0);
    k3.instrument = stock(0.0, 0.0, 0.2);
    EXPECT_NEAR(enter(k3, 1, 100.0)->size, 5000.0, kTol);
    k3.ledger.mode = PositionLedger::Hedging;
    k3.alloted_capital = 20000.0;
    k3.locked_margin[0] = 90000.0;  // min(100000 - 90000, 20000) = 10000
    EXPECT_NEAR(enter(k3, 1, 100.0)->size, 500.0, kTol);
}

TEST(KernelEntrySizing, ShortOptionLocksSpanPlusExposureOfStrike) {
    BacktestConfig cfg = cfg_with(0.001);
    cfg.initial_capital = 1'000'000.0;
    auto k = kernel(cfg, -1);
    k.account = AccountType::margin(1.0);
    k.instrument = call_option(20000.0, 50.0);
    ASSERT_EQ(enter_qty(k, -1, 2.0, 100.0)->kind, Ev::Entered);
    EXPECT_NEAR(k.locked_margin.at(0), 2 * 50 * 0.15 * 20000.0, 1e-6);  // 150000 per unit
    EXPECT_NEAR(k.cash, 1'000'000.0 - 0.001 * 5000.0 * 2, 1e-6);
    EXPECT_NEAR(k.maintenance_margin(400.0), 300000.0, 1e-6);  // a sold option requires its lock

    auto k2 = kernel(cfg, -1);
    k2.account = AccountType::margin(1.0);
    k2.instrument = call_option(20000.0, 50.0);
    const double q = enter(k2, -1, 100.0)->size;
    EXPECT_NEAR(q, 1'000'000.0 / 150005.0, kTol);  // cost per unit 0.001 x 5000 + 150000
    EXPECT_NEAR(k2.locked_margin.at(0), q * 150000.0, 1e-6);
}

TEST(KernelEntrySizing, RefusalReasons) {
    InstrumentConfig ic;
    ic.lot_size = 2000.0;  // more than the ~999 affordable
    auto k = kernel(cfg_with(0.001), 1, SlippageModel::none(), price_basis::Close, &ic);
    expect_rejected(enter(k, 1, 100.0), RejectReason::ZeroSize);
    k.account = AccountType::margin(1.0);
    expect_rejected(enter(k, 1, 100.0), RejectReason::ZeroSize);
    k.instrument = stock(0.0, 0.0, 0.5);  // the instrument's own rate was used
    expect_rejected(enter(k, 1, 100.0), RejectReason::InsufficientMargin);
    EXPECT_TRUE(k.ledger.flat());
    EXPECT_DOUBLE_EQ(k.cash, 100000.0);

    auto k2 = kernel(cfg_with(0.001));
    expect_rejected(enter_qty(k2, 1, 1000.0, 100.0), RejectReason::InsufficientCapital);  // 100000 + fee 100
    EXPECT_NEAR(enter(k2, 1, 100.0)->size, 999.000999, 1e-6);  // sized from capital instead
    auto k3 = kernel(cfg_with(0.001));
    k3.account = AccountType::margin(4.0);
    expect_rejected(enter_qty(k3, 1, 4000.0, 100.0), RejectReason::InsufficientCapital);  // 100000 + 400
    EXPECT_EQ(enter_qty(k3, 1, 3980.0, 100.0)->kind, Ev::Entered);                      // 99500 + 398
    EXPECT_FALSE(enter_qty(k3, 1, 1.0, 100.0).has_value());  // netting: already open
}

TEST(KernelEntrySizing, NonFiniteInputsRefuseWithZeroSize) {
    auto k = kernel(cfg_with(0.001));
    expect_rejected(enter(k, 1, kNaN), RejectReason::ZeroSize);
    expect_rejected(enter(k, 1, kInf), RejectReason::ZeroSize);
    expect_rejected(enter(k, 1, 0.0), RejectReason::ZeroSize);  // unit cost 0: infinite quantity
    expect_rejected(enter(k, 1, 100.0, kNaN), RejectReason::ZeroSize);
    expect_rejected(enter_qty(k, 1, kNaN, 100.0), RejectReason::ZeroSize);
    expect_rejected(enter_qty(k, 1, kInf, 100.0), RejectReason::ZeroSize);
    EXPECT_TRUE(k.ledger.flat());
    EXPECT_DOUBLE_EQ(k.cash, 100000.0);
}

TEST(KernelEntrySizing, CashNeverOverdrawnUnderItemisedFees) {
    // A delivery buy costs 0.001 + 0.0000307 + 0.000001 + 0.00015 + 0.18 x 0.0000317 = 0.001187406 of notional,
    // a sell 0.001037406; both exceed the flat 0.001 sizing allowance.
    auto make = [](std::optional<double> lot, double size_inc, double capital) {
        BacktestConfig c = cfg_with(0.001);
        c.fee_segment = "NSE-DELIVERY";
        c.initial_capital = capital;
        InstrumentConfig ic;
        ic.lot_size = lot;
        ExecutionKernel k(c, fee_model_from_config(c), SlippageModel::none(), price_basis::Close, "SYM", 1, &ic);
        if (size_inc > 0) k.instrument = stock(0.0, size_inc);
        return k;
    };
    auto k = make(nullopt, 0.0, 100000.0);
    EXPECT_NEAR(enter(k, 1, 100.0)->size, 100000.0 / 100.1187406, 1e-6);
    EXPECT_GE(k.cash, 0.0);
    EXPECT_LT(k.cash, 1e-6);
    auto k2 = make(nullopt, 1.0, 100000.0);
    EXPECT_DOUBLE_EQ(enter(k2, 1, 100.0)->size, 998.0);  // 999 would need 100018.62
    EXPECT_NEAR(k2.cash, 100000.0 - 99800.0 * 1.001187406, 1e-7);
    auto k3 = make(5.0, 0.0, 100110.0);
    EXPECT_DOUBLE_EQ(enter(k3, 1, 100.0)->size, 995.0);  // 1000 would need 100118.74
    EXPECT_NEAR(k3.cash, 100110.0 - 99500.0 * 1.001187406, 1e-7);
    auto k4 = make(1000.0, 0.0, 100110.0);
    expect_rejected(enter(k4, 1, 100.0), RejectReason::ZeroSize);
    EXPECT_DOUBLE_EQ(k4.cash, 100110.0);
    auto k5 = make(nullopt, 1.0, 100000.0);
    EXPECT_DOUBLE_EQ(enter(k5, -1, 100.0)->size, 998.0);  // 999 would need 100003.64
    auto k6 = make(nullopt, 0.0, 100000.0);
    expect_rejected(enter_qty(k6, 1, 999.0, 100.0), RejectReason::InsufficientCapital);
}

// --- stop and target levels -----------------------------------------------

TEST(KernelLevels, AlignedToPriceIncrementAgainstTheTrader) {
    BacktestConfig cfg = cfg_with(0.0);
    cfg.stop = StopModel::fixed(0.0297);
    cfg.target = TargetModel::fixed(0.0297);
    auto k = kernel(cfg);
    k.instrument = stock(0.05, 0.0);
    k.ledger.mode = PositionLedger::Hedging;
    enter_qty(k, 1, 1.0, 100.0);
    enter_qty(k, -1, 1.0, 100.0);
    enter(k, 1, 100.0, 0.01, 97.03, 102.97);
    EXPECT_NEAR(stop_of(k, 0), 97.0, kTol);      // 97.03 floored for a long
    EXPECT_NEAR(target_of(k, 0), 102.95, kTol);  // 102.97 floored
    EXPECT_NEAR(stop_of(k, 1), 103.0, kTol);     // 102.97 ceiled for a short
    EXPECT_NEAR(target_of(k, 1), 97.05, kTol);   // 97.03 ceiled
    EXPECT_DOUBLE_EQ(stop_of(k, 2), 97.03);      // explicit levels stay as given
    EXPECT_DOUBLE_EQ(target_of(k, 2), 102.97);
}

TEST(KernelLevels, RiskRewardAndAtr) {
    BacktestConfig cfg = cfg_with(0.0);
    cfg.target = TargetModel::risk_reward(2.0);
    auto k = kernel(cfg);
    k.ledger.mode = PositionLedger::Hedging;
    enter(k, 1, 100.0, 0.1);
    enter(k, 1, 100.0, 0.1, 95.0);  // an explicit stop does not feed the ratio
    EXPECT_FALSE(k.ledger.positions[0].target_price || k.ledger.positions[1].target_price);
    // The ratio uses the stop before alignment: 100 + 2 x 2.97 = 105.94 -> 105.9 (not 106.0).
    cfg.stop = StopModel::fixed(0.0297);
    auto k2 = kernel(cfg);
    k2.instrument = stock(0.05, 0.0);
    enter(k2, 1, 100.0);
    EXPECT_NEAR(stop_of(k2, 0), 97.0, kTol);
    EXPECT_NEAR(target_of(k2, 0), 105.9, kTol);

    cfg.stop = StopModel::atr(1.5, 14);
    cfg.target = TargetModel::atr(3.0, 14);
    auto k3 = kernel(cfg);
    k3.ledger.mode = PositionLedger::Hedging;
    enter(k3, -1, 100.0, 0.1, nullopt, nullopt, 2.0);
    enter(k3, 1, 100.0, 0.1, nullopt, nullopt, 0.0);
    EXPECT_DOUBLE_EQ(stop_of(k3, 0), 103.0);
    EXPECT_DOUBLE_EQ(target_of(k3, 0), 94.0);
    EXPECT_FALSE(k3.ledger.positions[1].stop_price || k3.ledger.positions[1].target_price);  // no ATR yet

    // Levels come from the slipped fill: 100 + 0.5, stop 100.5 x 0.9.
    BacktestConfig c2 = cfg_with(0.0);
    c2.stop = StopModel::fixed(0.1);
    auto k4 = kernel(c2, 1, SlippageModel::fixed(0.5));
    EXPECT_DOUBLE_EQ(enter(k4, 1, 100.0)->price, 100.5);
    EXPECT_NEAR(stop_of(k4, 0), 90.45, kTol);
}

TEST(KernelConstruction, ModelsTimingAndInstrumentConfig) {
    BacktestConfig cfg = cfg_with(0.0);
    cfg.stop = StopModel::fixed(0.02);
    cfg.target = TargetModel::fixed(0.1);
    InstrumentConfig ic;
    ic.stop = StopModel::fixed(0.05);
    ic.alloted_capital = 50000.0;
    auto k = kernel(cfg, 1, SlippageModel::none(), price_basis::Close, &ic);
    EXPECT_NEAR(enter(k, 1, 100.0)->size, 500.0, kTol);  // capped by the alloted capital
    EXPECT_NEAR(stop_of(k, 0), 95.0, kTol);              // the instrument's stop ...
    EXPECT_NEAR(target_of(k, 0), 110.0, kTol);           // ... with the run's target

    EXPECT_EQ(k.fill_timing, FillTiming::SameBarClose);
    cfg.upon_bar_close = false;
    cfg.order_latency_ns = -5;
    EXPECT_EQ(kernel(cfg).fill_timing, FillTiming::NextBarOpen);
    EXPECT_EQ(kernel(cfg).latency_ns, 0);
    cfg.fill_timing = FillTiming::SameBarOpenLookahead;
    EXPECT_EQ(kernel(cfg).fill_timing, FillTiming::SameBarOpenLookahead);
}

// --- closing --------------------------------------------------------------

TEST(KernelClose, SlippageAlwaysAgainstTheTrader) {
    auto k = kernel(cfg_with(0.0), 1, SlippageModel::fixed(0.5));
    k.ledger.mode = PositionLedger::Hedging;
    EXPECT_DOUBLE_EQ(enter_qty(k, 1, 10.0, 100.0)->price, 100.5);
    EXPECT_DOUBLE_EQ(enter_qty(k, -1, 10.0, 100.0)->price, 99.5);
    auto ev = k.close_position(0, 110.0, ExitReason::Signal, 3, 30, 0.0);
    EXPECT_DOUBLE_EQ(ev->trade->exit_price, 109.5);
    EXPECT_NEAR(ev->trade->pnl, 10 * 9.0, kTol);
    EXPECT_DOUBLE_EQ(k.close_position(1, 90.0, ExitReason::Signal, 3, 30, 0.0)->trade->exit_price, 90.5);
    const double cash = k.cash;
    EXPECT_FALSE(k.close_position(1, 90.0, ExitReason::Signal, 3, 30, 0.0).has_value());
    EXPECT_DOUBLE_EQ(k.cash, cash);
    EXPECT_DOUBLE_EQ(SlippageModel::volume_scaled(1.0, 0.01).amount_for(100.0, 100.0), 0.5);  // 1 / (1 + 1)
    EXPECT_DOUBLE_EQ(SlippageModel::volume_scaled(1.0, 0.01).amount_for(100.0, 0.0), 1.0);
}

TEST(KernelClose, CashAccountShortMovesWithItsProfit) {
    auto k = kernel(cfg_with(0.001), -1);
    enter_qty(k, -1, 10.0, 100.0);
    EXPECT_NEAR(k.cash, 100000.0 - 1000.0 - 1.0, kTol);                 // debited like a long
    EXPECT_NEAR(k.equity(90.0), 98999.0 + 10 * (200.0 - 90.0), kTol);  // marked at 2 x entry - close
    auto ev = k.close_position(0, 90.0, ExitReason::Signal, 1, 10, 0.0);
    EXPECT_NEAR(ev->trade->pnl, 100.0 - 1.0 - 0.9, kTol);
    EXPECT_NEAR(k.cash, 100000.0 + ev->trade->pnl, kTol);
}

// --- ledger ---------------------------------------------------------------

TEST(LedgerClose, PnlFeesAndIds) {
    PositionLedger ledger;
    ledger.symbol = "ABC";
    ledger.positions = {position(0, 1, 10.0, 100.0, 1.0), position(1, -1, 5.0, 200.0, 1.0), position(2, 1, 3.0, 0.0),
                        position(3, 1, 1.0, 50.0)};
    ledger.next_trade_id = 7;
    ExitDetails ex;
    ex.exit_price = 110.0;
    ex.exit_fee = 1.1;
    auto t = close_in_ledger(ledger, 0, ex);
    EXPECT_NEAR(t->pnl, 97.9, kTol);  // 100 - (1 + 1.1)
    EXPECT_NEAR(t->pnl_pct, 9.79, kTol);
    EXPECT_EQ(t->id, 7u);
    EXPECT_EQ(t->symbol, "ABC");

    ex.exit_price = 190.0;
    ex.exit_fee = 0.95;
    t = close_in_ledger(ledger, 1, ex);
    EXPECT_NEAR(t->pnl, 50.0 - 1.95, kTol);
    EXPECT_NEAR(t->pnl_pct, 4.805, kTol);  // 48.05 on 1000
    EXPECT_FALSE(close_in_ledger(ledger, 0, ex).has_value());  // unknown now; no id is used
    EXPECT_EQ(ledger.next_trade_id, 9u);

    ex.exit_fee = 0.0;
    EXPECT_DOUBLE_EQ(close_in_ledger(ledger, 2, ex)->pnl_pct, 0.0);  // no entry notional
    ASSERT_EQ(ledger.positions.size(), 1u);
    EXPECT_EQ(ledger.positions[0].position_id, 3u);
    ledger.multiplier = 50.0;
    ex.exit_price = 52.0;
    t = close_in_ledger(ledger, 3, ex);
    EXPECT_DOUBLE_EQ(t->pnl, 100.0);
    EXPECT_DOUBLE_EQ(t->pnl_pct, 4.0);
}

TEST(LedgerPartialClose, FlatFeesShareAndCash) {
    auto k = kernel(cfg_with(0.001));
    enter_qty(k, 1, 10.0, 100.0);  // entry fee 1
    const Trade t = *k.fill_reduce_order(5, 50, 0, 4.0, 110.0, 0.0)->trade;
    EXPECT_NEAR(t.entry_fees, 0.4, kTol);
    EXPECT_NEAR(t.exit_fees, 0.44, kTol);
    EXPECT_NEAR(t.pnl, 40.0 - 0.84, kTol);
    EXPECT_NEAR(t.pnl_pct, 39.16 / 400.0 * 100.0, kTol);
    EXPECT_EQ(t.exit_reason, ExitReason::Order);
    EXPECT_DOUBLE_EQ(k.ledger.positions[0].size, 6.0);
    EXPECT_NEAR(k.ledger.positions[0].entry_fees, 0.6, kTol);
    EXPECT_NEAR(k.cash, 100000.0 - 1001.0 + 440.0 - 0.44, kTol);

    auto rest = k.fill_reduce_order(6, 60, 0, 6.0, 110.0, 0.0);  // the whole remainder
    EXPECT_NEAR(rest->trade->pnl, 60.0 - 0.6 - 0.66, kTol);
    EXPECT_EQ(rest->trade->id, 1u);
    EXPECT_NEAR(k.cash, 100000.0 + t.pnl + rest->trade->pnl, 1e-8);
    EXPECT_FALSE(k.fill_reduce_order(7, 70, 0, 1.0, 110.0, 0.0).has_value());
}

TEST(LedgerPartialClose, ItemisedBreakdownSplitsProRata) {
    ExecutionKernel k(cfg_with(0.001), FeeModel::itemised(CostSegment::EquityIntraday), SlippageModel::none(),
                      price_basis::Close, "SYM", 1, nullptr);
    enter_qty(k, 1, 10.0, 100.0);
    // Buy of 1000: brokerage 0.3 + exchange 0.0307 + sebi 0.001 + stamp 0.03 + gst 0.059706 = 0.421406.
    EXPECT_NEAR(k.ledger.positions[0].entry_fees, 0.421406, kTol);
    const Trade t = *k.fill_reduce_order(1, 10, 0, 4.0, 110.0, 0.0)->trade;
    // Sell of 440: 0.132 + stt 0.11 + 0.013508 + 0.00044 + gst 0.02627064 = 0.28221864.
    EXPECT_NEAR(t.fees, 0.28221864 + 0.4 * 0.421406, kTol);
    ASSERT_TRUE(t.fee_breakdown);
    EXPECT_NEAR(t.fee_breakdown->total(), t.fees, kTol);
    EXPECT_NEAR(t.fee_breakdown->stamp_duty, 0.4 * 0.03, kTol);
    const Position& p = k.ledger.positions[0];
    ASSERT_TRUE(p.entry_breakdown);
    EXPECT_NEAR(p.entry_breakdown->total(), p.entry_fees, kTol);
    EXPECT_NEAR(p.entry_breakdown->stamp_duty, 0.6 * 0.03, kTol);

    const Trade t2 = *k.close_position(0, 110.0, ExitReason::Signal, 2, 20, 0.0)->trade;
    // Sell of 660: 0.198 + 0.165 + 0.020262 + 0.00066 + 0.03940596 = 0.42332796.
    EXPECT_NEAR(t2.fees, 0.6 * 0.421406 + 0.42332796, kTol);
    EXPECT_NEAR(t2.fee_breakdown->total(), t2.fees, kTol);
    EXPECT_NEAR(k.cash, 100000.0 + t.pnl + t2.pnl, 1e-8);
}

TEST(LedgerPartialClose, MultiplierAndMarginLock) {
    auto k = kernel(cfg_with(0.001));
    k.instrument = make_perpetual("PERP", 1.0, 50.0, 0.0, 0.0, nullopt, 0.0, 0.0, 0.0, 0.0);
    k.ledger.multiplier = 50.0;
    enter_qty(k, 1, 10.0, 100.0);  // notional 50000, fee 50
    auto ev = k.fill_reduce_order(1, 10, 0, 4.0, 110.0, 0.0);
    EXPECT_NEAR(ev->trade->exit_fees, 0.001 * 110.0 * 50.0 * 4.0, kTol);  // 22
    EXPECT_NEAR(ev->trade->pnl, 4 * 10 * 50.0 - 22.0 - 20.0, kTol);
    EXPECT_NEAR(k.cash, 100000.0 - 50050.0 + 22000.0 - 22.0, kTol);

    auto m = kernel(cfg_with(0.001));
    m.account = AccountType::margin(4.0);
    enter_qty(m, 1, 10.0, 100.0);  // fee 1, lock 250
    m.fill_reduce_order(1, 10, 0, 4.0, 110.0, 0.0);
    EXPECT_NEAR(m.locked_margin.at(0), 150.0, kTol);
    EXPECT_NEAR(m.cash, 100000.0 - 1.0 + 39.16 + 0.4, kTol);  // pnl plus the entry-fee share
    m.close_position(0, 110.0, ExitReason::Signal, 2, 20, 0.0);
    EXPECT_TRUE(m.locked_margin.empty());
    EXPECT_NEAR(m.cash, 100000.0 + 39.16 + (60.0 - 0.6 - 0.66), 1e-8);
}

TEST(KernelMaintenance, RequirementByAccountAndInstrument) {
    auto k = kernel(cfg_with(0.0));
    k.ledger.positions = {position(0, 1, 10.0, 100.0), position(1, -1, 10.0, 100.0)};
    k.account = AccountType::margin(4.0);
    k.account.kind = AccountType::Cash;
    EXPECT_DOUBLE_EQ(k.maintenance_margin(100.0), 0.0);
    k.account = AccountType::margin(1.0);
    EXPECT_DOUBLE_EQ(k.maintenance_margin(100.0), 0.0);
    k.account = AccountType::margin(4.0);
    EXPECT_DOUBLE_EQ(k.maintenance_margin(100.0), 2 * 0.125 * 100.0 * 10.0);
    k.instrument = stock(0.0, 0.0, 0.0, 0.2);
    EXPECT_DOUBLE_EQ(k.maintenance_margin(100.0), 2 * 0.2 * 100.0 * 10.0);
    k.instrument = stock(0.0, 0.0, 0.5, 0.0);
    EXPECT_DOUBLE_EQ(k.maintenance_margin(100.0), 2 * 0.25 * 100.0 * 10.0);
    k.instrument = stock(0.0, 0.0, 1.0, 0.0);
    EXPECT_DOUBLE_EQ(k.maintenance_margin(100.0), 0.0);
    k.instrument = make_perpetual("PERP", 1.0, 50.0, 0.0, 0.0, nullopt, 0.0, 0.2, 0.0, 0.0);
    EXPECT_DOUBLE_EQ(k.maintenance_margin(100.0), 2 * 0.2 * 50.0 * 100.0 * 10.0);
    // Premium margin: the short adds its lock (nothing without locks); the long at rate 1 adds nothing.
    k.account = AccountType::margin(1.0);
    k.instrument = call_option(20000.0, 1.0);
    EXPECT_DOUBLE_EQ(k.maintenance_margin(100.0), 0.0);
    k.locked_margin[1] = 1234.0;
    EXPECT_DOUBLE_EQ(k.maintenance_margin(100.0), 1234.0);
}

// --- bar step -------------------------------------------------------------

TEST(KernelStep, StopAndTargetOnTheSameBar) {
    struct Case {
        int8_t dir;
        bool adaptive;
        double close;  // the bar opens at 100
        ExitReason want;
        double price;
    } const cases[] = {
        {1, false, 99.0, ExitReason::StopLoss, 95.0},     // the stop wins by default
        {1, true, 99.0, ExitReason::TakeProfit, 110.0},   // closed down: the target came first
        {1, true, 100.0, ExitReason::StopLoss, 95.0},
        {-1, true, 100.0, ExitReason::TakeProfit, 90.0},  // a short: closed at or above the open
        {-1, true, 99.0, ExitReason::StopLoss, 105.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.dir) << " adaptive=" << c.adaptive << " close=" << c.close);
        BacktestConfig cfg = cfg_with(0.0);
        cfg.stop = StopModel::fixed(0.05);
        cfg.target = TargetModel::fixed(0.1);
        cfg.bar_path_adaptive = c.adaptive;
        auto k = kernel(cfg, c.dir);
        step(k, 0, flat_bar(0, 100.0), intents(true));
        const Trade t = exited_trade(step(k, 1, bar(1, 100.0, 111.0, 89.0, c.close)));
        EXPECT_EQ(t.exit_reason, c.want);
        EXPECT_NEAR(t.exit_price, c.price, kTol);
    }
}

TEST(KernelStep, GapsFillAtTheOpenAndTargetsPayLimitSlippage) {
    BacktestConfig cfg = cfg_with(0.0);
    cfg.stop = StopModel::fixed(0.05);
    for (int8_t dir : {int8_t{1}, int8_t{-1}}) {
        auto k = kernel(cfg, dir);
        step(k, 0, flat_bar(0, 100.0), intents(true));
        const double open = dir > 0 ? 90.0 : 110.0;  // beyond the stop at 95 / 105
        EXPECT_DOUBLE_EQ(exited_trade(step(k, 1, bar(1, open, open + 2, open - 2, open))).exit_price, open);
    }
    BacktestConfig c2 = cfg_with(0.0);
    c2.limit_slippage = 0.001;
    StepIntents in = intents(true);
    in.target = 100.0;
    auto s = kernel(c2, -1);
    step(s, 0, flat_bar(0, 105.0), in);
    const Trade t = exited_trade(step(s, 1, bar(1, 104.0, 104.0, 99.0, 101.0)));
    EXPECT_EQ(t.exit_reason, ExitReason::TakeProfit);
    EXPECT_NEAR(t.exit_price, 100.1, kTol);
    in.target = 110.0;
    auto l = kernel(c2, 1);
    step(l, 0, flat_bar(0, 105.0), in);
    EXPECT_NEAR(exited_trade(step(l, 1, bar(1, 106.0, 111.0, 105.0, 108.0))).exit_price, 109.89, kTol);
}

TEST(KernelStep, TrailingStopRatchetsAndIsTestedNextStep) {
    BacktestConfig cfg = cfg_with(0.0);
    cfg.stop = StopModel::trailing(0.05);
    auto k = kernel(cfg);
    step(k, 0, flat_bar(0, 100.0), intents(true));
    EXPECT_NEAR(stop_of(k, 0), 95.0, kTol);
    // The low of 100 is under the new level, but the level moves only after the test.
    EXPECT_TRUE(step(k, 1, bar(1, 100.0, 110.0, 100.0, 108.0)).empty());
    EXPECT_NEAR(stop_of(k, 0), 104.5, kTol);
    EXPECT_TRUE(step(k, 2, bar(2, 107.0, 108.0, 105.0, 106.0)).empty());
    EXPECT_NEAR(stop_of(k, 0), 104.5, kTol);
    const Trade t = exited_trade(step(k, 3, bar(3, 104.0, 104.2, 103.0, 103.5)));
    EXPECT_EQ(t.exit_reason, ExitReason::StopLoss);
    EXPECT_DOUBLE_EQ(t.exit_price, 104.0);

    // An explicit stop above the candidate (0.95 x 112 = 106.4) is kept.
    auto k2 = kernel(cfg);
    StepIntents in = intents(true);
    in.stop = 108.0;
    step(k2, 0, flat_bar(0, 110.0), in);
    step(k2, 1, bar(1, 110.0, 112.0, 109.0, 111.0));
    EXPECT_DOUBLE_EQ(stop_of(k2, 0), 108.0);
}

TEST(KernelStep, NextBarOpenDefersEntriesAndExits) {
    BacktestConfig cfg = cfg_with(0.0);
    cfg.upon_bar_close = false;
    auto k = kernel(cfg, 1, SlippageModel::none(), price_basis::Open);
    auto at = [&](uint64_t i, StepIntents in = {}) {  // bar i opens at 100 + 2i
        const double o = 100.0 + 2.0 * double(i);
        return step(k, i, bar(int64_t(i), o, o + 1, o - 1, o + 0.5), in);
    };
    EXPECT_TRUE(at(0, intents(true)).empty());
    EXPECT_TRUE(step(k, 1, flat_bar(1, 101.5), {}, true).empty());  // a trade print keeps the deferred work
    auto evs = at(2, intents(true));
    ASSERT_EQ(evs.size(), 1u);
    EXPECT_EQ(evs[0].kind, Ev::Entered);
    EXPECT_DOUBLE_EQ(evs[0].price, 104.0);
    EXPECT_TRUE(at(3, intents(false, true)).empty());  // bar 2's entry wish meets an open position: dropped
    EXPECT_EQ(k.ledger.open_count(), 1u);
    EXPECT_DOUBLE_EQ(exited_trade(at(4)).exit_price, 108.0);
    EXPECT_TRUE(at(5, intents(true, true)).empty());
    evs = at(6);  // the exit wish finds nothing open; the entry opens
    ASSERT_EQ(evs.size(), 1u);
    EXPECT_DOUBLE_EQ(evs[0].price, 112.0);
    EXPECT_TRUE(at(7, intents(true, true)).empty());
    evs = at(8);  // close first, then enter at the same open
    ASSERT_EQ(evs.size(), 2u);
    EXPECT_DOUBLE_EQ(exited_trade(evs).exit_price, 116.0);
    EXPECT_EQ(evs[1].kind, Ev::Entered);
    EXPECT_DOUBLE_EQ(evs[1].price, 116.0);
    // On a trade print the exit intent is acted on at once.
    EXPECT_DOUBLE_EQ(exited_trade(step(k, 9, flat_bar(9, 117.0), intents(false, true), true)).exit_price, 117.0);
    EXPECT_EQ(k.refused_entries, 0u);
}

TEST(KernelStep, PriceBasisTakesTheAdverseExtreme) {
    const Bar b = bar(0, 100.0, 110.0, 90.0, 104.0);
    EXPECT_DOUBLE_EQ(fill_price_basis(6, b, true, true), 90.0);
    for (int8_t dir : {int8_t{1}, int8_t{-1}}) {  // a long buys the high and sells the low
        auto k = kernel(cfg_with(0.0), dir, SlippageModel::none(), price_basis::Adverse);
        EXPECT_DOUBLE_EQ(step(k, 0, b, intents(true)).at(0).price, dir > 0 ? 110.0 : 90.0);
        EXPECT_DOUBLE_EQ(exited_trade(step(k, 1, b, intents(false, true))).exit_price, dir > 0 ? 90.0 : 110.0);
    }
    auto k = kernel(cfg_with(0.0), 1, SlippageModel::none(), price_basis::Ohlc4);
    step(k, 0, b, intents(true));
    k.close_requests = {99, 0};  // unknown ids are ignored
    EXPECT_DOUBLE_EQ(exited_trade(step(k, 1, bar(1, 100.0, 110.0, 98.0, 104.0))).exit_price, 103.0);
    EXPECT_TRUE(k.close_requests.empty());
}

TEST(KernelStep, EntryGateRefusalsAreCounted) {
    auto k = kernel(cfg_with(0.0));
    k.instrument = stock(0.0, 0.0);
    k.instrument->activation_ns = 1000;
    k.margin_call = true;
    expect_rejected(step(k, 0, flat_bar(500, 100.0), intents(true)).at(0), RejectReason::Inactive);  // checked first
    expect_rejected(step(k, 1, flat_bar(1000, 100.0), intents(true)).at(0), RejectReason::MarginCall);
    k.margin_call = false;
    k.set_drawdown_halt();
    expect_rejected(step(k, 2, flat_bar(1001, 100.0), intents(true)).at(0), RejectReason::DrawdownHalt);
    k.drawdown_halt = false;
    k.max_positions = 2;
    k.open_positions_override = 2;
    expect_rejected(step(k, 3, flat_bar(1002, 100.0), intents(true)).at(0), RejectReason::MaxPositions);
    EXPECT_EQ(k.refused_entries, 4u);
    k.open_positions_override.reset();
    EXPECT_EQ(step(k, 4, flat_bar(1003, 100.0), intents(true)).at(0).kind, Ev::Entered);
    EXPECT_TRUE(step(k, 5, flat_bar(1004, 100.0), intents(true)).empty());  // open: ignored silently

    InstrumentConfig ic;  // a sizing refusal is an event but not a gate refusal
    ic.lot_size = 2000.0;
    auto k2 = kernel(cfg_with(0.001), 1, SlippageModel::none(), price_basis::Close, &ic);
    expect_rejected(step(k2, 0, flat_bar(0, 100.0), intents(true)).at(0), RejectReason::ZeroSize);
    EXPECT_EQ(k2.refused_entries, 0u);
}

TEST(KernelStep, SettlementAtExpiryEndsTrading) {
    auto make = [](bool binary) {
        auto k = kernel(cfg_with(0.001));
        k.instrument = make_option("OPT", 100.0, "call", 1000, 1.0, 1.0, 0.05, nullopt, binary, nullopt, 0.0, 0.0,
                                   0.0, 0.0, 0.0, 0.0);
        k.underlying_price = 120.0;
        enter_qty(k, 1, 2.0, 5.0);  // fee 0.01
        return k;
    };
    auto k = make(false);
    k.close_requests = {42};
    k.deferred = DeferredIntent{};
    auto evs = step(k, 3, flat_bar(1000, 7.0), intents(true));
    ASSERT_EQ(evs.size(), 2u);
    const Trade t = exited_trade(evs);
    EXPECT_EQ(t.exit_reason, ExitReason::Settlement);
    EXPECT_DOUBLE_EQ(t.exit_price, 20.0);  // intrinsic 120 - 100
    EXPECT_NEAR(t.pnl, 2 * 15.0 - 0.01, kTol);
    EXPECT_NEAR(k.cash, 100000.0 + t.pnl, 1e-8);
    expect_rejected(evs[1], RejectReason::Expired);
    EXPECT_FALSE(k.deferred.has_value());
    EXPECT_EQ(k.close_requests.size(), 1u);  // no later stage ran
    expect_rejected(step(k, 4, flat_bar(2000, 7.0), intents(true)).at(0), RejectReason::Expired);
    EXPECT_EQ(k.refused_entries, 2u);

    auto b = make(true);
    EXPECT_DOUBLE_EQ(exited_trade(step(b, 3, flat_bar(1000, 7.0))).exit_price, 1.0);
    auto c = make(false);
    c.instrument->settlement_fee = 0.001;
    c.underlying_price.reset();  // without an underlying: the bar's close
    const Trade tc = exited_trade(step(c, 3, flat_bar(1000, 7.0)));
    EXPECT_DOUBLE_EQ(tc.exit_price, 7.0);
    EXPECT_NEAR(tc.exit_fees, 0.001 * 7.0 * 2.0, kTol);
}

TEST(KernelStep, MarginCallLatchesAndLiquidates) {
    for (bool liquidate : {true, false}) {
        BacktestConfig cfg = cfg_with(0.0);
        cfg.liquidate_on_margin_call = liquidate;
        auto k = kernel(cfg);
        k.account = AccountType::margin(4.0);
        enter_qty(k, 1, 3000.0, 100.0);  // locks 75000
        // At 70: equity 100000 - 90000 = 10000 < 0.125 x 70 x 3000 = 26250.
        auto evs = step(k, 1, bar(1, 75.0, 76.0, 69.0, 70.0), intents(true));
        ASSERT_EQ(evs.size(), liquidate ? 3u : 1u);  // while still open the entry intent is ignored
        EXPECT_EQ(evs[0].kind, Ev::MarginCall);
        EXPECT_NEAR(evs[0].price, 10000.0, 1e-8);
        EXPECT_NEAR(evs[0].size, 26250.0, 1e-8);
        if (liquidate) {
            const Trade t = exited_trade(evs, 1);
            EXPECT_EQ(t.exit_reason, ExitReason::Liquidation);
            EXPECT_DOUBLE_EQ(t.exit_price, 70.0);
            EXPECT_NEAR(k.cash, 10000.0, 1e-8);
            expect_rejected(evs[2], RejectReason::MarginCall);
        }
        // The latch holds: no second call even lower down.
        EXPECT_EQ(step(k, 2, bar(2, 60.0, 61.0, 59.0, 60.0)).size(), 0u);
        EXPECT_EQ(k.ledger.open_count(), liquidate ? 0u : 1u);
    }
}
