// The order matcher: the uniform draw stream and how many draws each kind of
// fill takes, the queue model against the five-level book, and the tick path
// (partial fills, fill-or-kill, latency).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/fees.h"
#include "core/instrument.h"
#include "execution/kernel.h"
#include "execution/queue.h"

using namespace tidemark;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
using Ev = EngineEventRecord;

ExecutionKernel make_kernel(const BacktestConfig& cfg) {
    return ExecutionKernel(cfg, FeeModel::percent(0.0), SlippageModel::none(), price_basis::Close, "SYM", 1, nullptr);
}

BacktestConfig no_fees() {
    BacktestConfig c;
    c.fees = 0.0;
    return c;
}

OrderArgs order(const char* side, const char* kind, uint64_t idx, double units) {
    OrderArgs a;
    a.side = side;
    a.kind = kind;
    a.submitted_idx = idx;
    a.submitted_ts = static_cast<int64_t>(idx);
    a.client_id = "c";
    a.units = units;
    return a;
}

std::vector<Ev> step(ExecutionKernel& k, uint64_t idx, const Bar& b, bool tick = false) {
    std::vector<Ev> out;
    k.step_bar(idx, b, StepIntents{}, tick, out);
    return out;
}

Bar bar(int64_t ts, double o, double h, double l, double c, double v = 1000.0) { return Bar{ts, o, h, l, c, v}; }
Bar print(int64_t ts, double p, double size) { return Bar{ts, p, p, p, p, size}; }

// The state after `n` draws from `seed`.
uint64_t advanced(uint64_t seed, int n) {
    for (int i = 0; i < n; ++i) next_uniform(seed);
    return seed;
}

std::vector<double> fill_prices(const std::vector<Ev>& evs) {
    std::vector<double> out;
    for (const Ev& e : evs)
        if (e.kind == Ev::OrderFilled) out.push_back(e.price);
    return out;
}

}  // namespace

// Values worked out independently from the published SplitMix64 constants.
TEST(Matcher, UniformDrawsFollowSplitMix64) {
    uint64_t s = 0;
    EXPECT_DOUBLE_EQ(next_uniform(s), 0.8833108082136426);
    EXPECT_EQ(s, 0x9E3779B97F4A7C15ULL);
    EXPECT_DOUBLE_EQ(next_uniform(s), 0.43152799704850997);
    EXPECT_DOUBLE_EQ(next_uniform(s), 0.026433771592597743);
    uint64_t seven = 7;
    EXPECT_DOUBLE_EQ(next_uniform(seven), 0.3898297483912715);
    uint64_t top = ~0ULL;  // the state wraps
    const double u = next_uniform(top);
    EXPECT_TRUE(u >= 0.0 && u < 1.0);
}

// --- queue model ---------------------------------------------------------

struct QueueCase {
    const char* name;
    Side side;
    double limit;
    std::vector<BookLevel> bids, asks;
    std::vector<std::pair<double, double>> prints;  // (price, size)
    std::vector<QueueVerdict> expected;
};

class QueueModel : public ::testing::TestWithParam<QueueCase> {};

TEST_P(QueueModel, VerdictPerPrint) {
    const QueueCase& c = GetParam();
    DepthBook depth;
    for (const BookLevel& l : c.bids) depth.bids[depth.n_bids++] = l;
    for (const BookLevel& l : c.asks) depth.asks[depth.n_asks++] = l;
    std::unordered_map<uint64_t, QueueEntry> queue;
    ASSERT_EQ(c.prints.size(), c.expected.size());
    for (std::size_t i = 0; i < c.prints.size(); ++i) {
        const QueueVerdict v = queue_limit_gate(queue, depth, 3, c.side, c.limit, c.prints[i].first, c.prints[i].second);
        EXPECT_EQ(v, c.expected[i]) << c.name << " print " << i;
        if (v == QueueVerdict::Fill) {
            EXPECT_EQ(queue.count(3), 0u) << "a fill leaves the queue";
        }
    }
}

using QV = QueueVerdict;
INSTANTIATE_TEST_SUITE_P(
    Cases, QueueModel,
    ::testing::Values(
        QueueCase{"behind 50: the second print of 30 fills", Side::Buy, 100.0, {{100.0, 50.0}, {99.5, 10.0}}, {},
                  {{100.0, 30.0}, {100.0, 30.0}}, {QV::Wait, QV::Fill}},
        QueueCase{"consumed must exceed ahead", Side::Buy, 100.0, {{100.0, 50.0}}, {},
                  {{100.0, 25.0}, {100.0, 25.0}, {100.0, 0.5}}, {QV::Wait, QV::Wait, QV::Fill}},
        QueueCase{"a print through the limit fills at once", Side::Buy, 100.0, {{100.0, 50.0}}, {},
                  {{100.0, 30.0}, {99.5, 1.0}}, {QV::Wait, QV::Fill}},
        QueueCase{"a print above a buy limit waits", Side::Buy, 100.0, {{100.0, 50.0}}, {}, {{100.5, 80.0}},
                  {QV::Wait}},
        QueueCase{"above the best bid nobody is ahead", Side::Buy, 100.0, {{99.9, 500.0}}, {}, {{100.0, 1.0}},
                  {QV::Fill}},
        QueueCase{"below the best ask nobody is ahead", Side::Sell, 100.0, {}, {{100.1, 500.0}}, {{100.0, 1.0}},
                  {QV::Fill}},
        QueueCase{"a sell behind 20 at its ask", Side::Sell, 100.0, {}, {{100.0, 20.0}}, {{100.0, 15.0}, {100.0, 6.0}},
                  {QV::Wait, QV::Fill}},
        QueueCase{"a level of unknown size leaves it to chance", Side::Buy, 100.0, {{100.0, kNaN}}, {},
                  {{100.0, 1e9}}, {QV::NotApplicable}},
        QueueCase{"deeper than the book leaves it to chance", Side::Buy, 99.0, {{100.0, 5.0}}, {}, {{99.0, 1e9}},
                  {QV::NotApplicable}},
        QueueCase{"an empty side leaves it to chance", Side::Buy, 100.0, {}, {{100.5, 5.0}}, {{100.0, 1e9}},
                  {QV::NotApplicable}}));

TEST(QueueModelEntry, ANewLimitReplacesTheOldPlace) {
    DepthBook depth;
    depth.bids[0] = {101.0, 10.0};
    depth.bids[1] = {100.0, 50.0};
    depth.n_bids = 2;
    std::unordered_map<uint64_t, QueueEntry> queue;
    EXPECT_EQ(queue_limit_gate(queue, depth, 1, Side::Buy, 100.0, 100.0, 30.0), QueueVerdict::Wait);
    // Modified to 101: the 30 consumed at 100 no longer counts.
    EXPECT_EQ(queue_limit_gate(queue, depth, 1, Side::Buy, 101.0, 101.0, 5.0), QueueVerdict::Wait);
    EXPECT_DOUBLE_EQ(queue.at(1).consumed, 5.0);
    EXPECT_DOUBLE_EQ(queue.at(1).ahead, 10.0);
    EXPECT_EQ(queue_limit_gate(queue, depth, 1, Side::Buy, 101.0, 101.0, 5.5), QueueVerdict::Fill);
}

// --- draws taken per fill ------------------------------------------------

struct DrawCase {
    const char* name;
    const char* kind;         // order kind
    double fill_prob_limit;
    double fill_prob_slippage;
    bool with_instrument;     // price increment 0.05
    uint64_t seed;
    int draws;                // taken over the whole run
    std::vector<double> fills;  // fill prices, in order
};

class DrawCounts : public ::testing::TestWithParam<DrawCase> {};

// A buy placed before bar 0 is worked on bars 1 and 2, both of which reach
// its limit (99.5) or trigger (101.5); market orders fill at bar 0's close.
TEST_P(DrawCounts, DrawsAndFillPrices) {
    const DrawCase& c = GetParam();
    BacktestConfig cfg = no_fees();
    cfg.fill_prob_limit = c.fill_prob_limit;
    cfg.fill_prob_slippage = c.fill_prob_slippage;
    cfg.fill_seed = c.seed;
    ExecutionKernel k = make_kernel(cfg);
    if (c.with_instrument) k.instrument = make_equity("SYM", 0.05, 1.0, 0.0, 0.0, 0.0, 0.0, 0.0);
    OrderArgs a = order("buy", c.kind, 0, 10.0);
    a.limit_price = 99.5;
    a.trigger_price = 101.5;
    k.submit_order(a);
    std::vector<Ev> all;
    for (const Bar& b : {bar(0, 100, 100, 100, 100), bar(1, 100, 102, 99, 101), bar(2, 101, 102, 99, 100)}) {
        std::vector<Ev> evs = step(k, static_cast<uint64_t>(b.ts), b);
        all.insert(all.end(), evs.begin(), evs.end());
    }
    EXPECT_EQ(k.rng_state, advanced(c.seed, c.draws)) << c.name;
    EXPECT_EQ(fill_prices(all), c.fills) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DrawCounts,
    ::testing::Values(
        DrawCase{"a certain limit fill takes no draw", "limit", 1.0, 0.0, false, 0, 0, {99.5}},
        // Seed 0 draws 0.883 then 0.432: the first evaluation misses, the second fills.
        DrawCase{"one draw per evaluation of a limit", "limit", 0.5, 0.0, false, 0, 2, {99.5}},
        DrawCase{"a limit never fills at probability 0", "limit", 0.0, 0.0, false, 0, 2, {}},
        DrawCase{"limits take no slippage draw", "limit", 1.0, 1.0, true, 0, 0, {99.5}},
        DrawCase{"a stop slips one tick when the draw hits", "stop_market", 1.0, 1.0, true, 0, 1, {101.55}},
        DrawCase{"without an instrument the draw is still taken", "stop_market", 1.0, 1.0, false, 0, 1, {101.5}},
        DrawCase{"a miss leaves the stop price", "stop_market", 1.0, 0.5, true, 0, 1, {101.5}},
        DrawCase{"plain market orders never draw", "market", 0.0, 1.0, true, 0, 0, {100.0}}));

TEST(Matcher, TheQueueModelDecidesWithoutADraw) {
    BacktestConfig cfg = no_fees();
    cfg.queue_fill_model = true;
    cfg.fill_prob_limit = 0.5;
    ExecutionKernel k = make_kernel(cfg);
    k.depth.bids[0] = {100.0, 50.0};
    k.depth.n_bids = 1;
    OrderArgs a = order("buy", "limit", 0, 5.0);
    a.limit_price = 100.0;
    k.submit_order(a);
    step(k, 0, print(0, 100.5, 10.0), true);
    EXPECT_TRUE(fill_prices(step(k, 1, print(1, 100.0, 30.0), true)).empty());
    // A fill by the queue is at the limit, ahead of the limit slippage.
    EXPECT_EQ(fill_prices(step(k, 2, print(2, 100.0, 30.0), true)), std::vector<double>{100.0});
    EXPECT_EQ(k.rng_state, 0u);
    // Bars are not prints: there the probability gate decides.
    OrderArgs b = order("sell", "limit", 3, 5.0);
    b.limit_price = 100.0;
    k.submit_order(b);
    step(k, 4, bar(4, 100, 101, 99, 100));
    EXPECT_EQ(k.rng_state, advanced(0, 1));
}

// --- the tick path -------------------------------------------------------

TEST(TickPath, PartialFillsFollowThePrintSizeIntoOnePosition) {
    BacktestConfig cfg = no_fees();
    cfg.partial_fills = true;
    ExecutionKernel k = make_kernel(cfg);
    k.submit_order(order("buy", "market", 0, 100.0));
    std::vector<double> sizes;
    for (uint64_t i = 0; i < 4; ++i)
        for (const Ev& e : step(k, i, print(static_cast<int64_t>(i), 100.0 + static_cast<double>(i), 40.0), true))
            if (e.kind == Ev::OrderFilled) sizes.push_back(e.size);
    EXPECT_EQ(sizes, (std::vector<double>{40.0, 40.0, 20.0}));
    ASSERT_EQ(k.ledger.positions.size(), 1u);
    EXPECT_DOUBLE_EQ(k.ledger.positions[0].size, 100.0);
    // Average of 40 at 100, 40 at 101 and 20 at 102.
    EXPECT_NEAR(k.ledger.positions[0].entry_price, (4000.0 + 4040.0 + 2040.0) / 100.0, 1e-9);
    EXPECT_EQ(k.book.orders[0].status, OrderStatus::Filled);
}

TEST(TickPath, FillOrKillLargerThanThePrintIsCanceled) {
    BacktestConfig cfg = no_fees();
    cfg.partial_fills = true;
    ExecutionKernel k = make_kernel(cfg);
    OrderArgs a = order("buy", "market", 0, 100.0);
    a.tif = "fok";
    k.submit_order(a);
    std::vector<Ev> evs = step(k, 0, print(0, 100.0, 40.0), true);
    ASSERT_EQ(evs.size(), 2u);
    EXPECT_EQ(evs[0].kind, Ev::OrderAccepted);
    EXPECT_EQ(evs[1].kind, Ev::OrderCanceled);
    EXPECT_TRUE(k.ledger.flat());
}

TEST(TickPath, LatencyHoldsAnOrderBackUntilItHasArrived) {
    BacktestConfig cfg = no_fees();
    cfg.order_latency_ns = 1000;
    ExecutionKernel k = make_kernel(cfg);
    k.ledger.mode = PositionLedger::Hedging;  // both orders open a position
    OrderArgs a = order("buy", "market", 0, 1.0);
    a.submitted_ts = 5000;
    k.submit_order(a);
    OrderArgs l = order("buy", "limit", 0, 1.0);
    l.submitted_ts = 5000;
    l.limit_price = 101.0;
    k.submit_order(l);
    EXPECT_TRUE(fill_prices(step(k, 0, print(5999, 100.0, 1.0), true)).empty());
    EXPECT_TRUE(fill_prices(step(k, 1, print(5999, 100.0, 1.0), true)).empty());
    EXPECT_EQ(fill_prices(step(k, 2, print(6000, 100.0, 1.0), true)), (std::vector<double>{101.0, 100.0}));
}

TEST(TickPath, LatencyNearTheEndOfTimeDoesNotWrap) {
    BacktestConfig cfg = no_fees();
    cfg.order_latency_ns = 1000;
    ExecutionKernel k = make_kernel(cfg);
    OrderArgs a = order("buy", "market", 0, 1.0);
    a.submitted_ts = std::numeric_limits<int64_t>::max() - 10;
    k.submit_order(a);
    // Arrival saturates at the largest time instead of wrapping to the past.
    EXPECT_TRUE(fill_prices(step(k, 0, print(0, 100.0, 1.0), true)).empty());
    EXPECT_EQ(fill_prices(step(k, 1, print(std::numeric_limits<int64_t>::max(), 100.0, 1.0), true)),
              std::vector<double>{100.0});
}

TEST(TickPath, InHedgingLaterFillsAddToThePositionTheOrderOpened) {
    BacktestConfig cfg = no_fees();
    cfg.partial_fills = true;
    ExecutionKernel k = make_kernel(cfg);
    k.ledger.mode = PositionLedger::Hedging;
    k.submit_order(order("buy", "market", 0, 5.0));
    step(k, 0, print(0, 100.0, 10.0), true);
    k.submit_order(order("buy", "market", 1, 8.0));
    step(k, 1, print(1, 110.0, 6.0), true);
    step(k, 2, print(2, 120.0, 6.0), true);
    ASSERT_EQ(k.ledger.positions.size(), 2u);
    EXPECT_DOUBLE_EQ(k.ledger.positions[0].size, 5.0);
    EXPECT_DOUBLE_EQ(k.ledger.positions[0].entry_price, 100.0);
    // 6 at 110, then the remaining 2 at 120.
    EXPECT_DOUBLE_EQ(k.ledger.positions[1].size, 8.0);
    EXPECT_DOUBLE_EQ(k.ledger.positions[1].entry_price, (660.0 + 240.0) / 8.0);
}

namespace {

OrderRequest limit_request(double qty, TimeInForce tif = TimeInForce::Gtc,
                           std::optional<uint64_t> parent = std::nullopt) {
    OrderRequest r;
    r.sizing = Sizing::Units;
    r.quantity = qty;
    r.order_type.kind = OrderType::Limit;
    r.order_type.price = 100.0;
    r.tif = tif;
    r.client_order_id = "x";
    r.parent_id = parent;
    return r;
}

}  // namespace

TEST(OrderBookRules, FillsChildrenAndSiblings) {
    OrderBook b;
    std::vector<Ev> ev;
    const uint64_t parent = b.submit(limit_request(1.0), ev);
    const uint64_t kept = b.submit(limit_request(1.0, TimeInForce::Gtc, parent), ev);
    const uint64_t dropped = b.submit(limit_request(1.0, TimeInForce::Gtc, parent), ev);
    const uint64_t sibling = b.submit(limit_request(1.0), ev);
    const uint64_t done = b.submit(limit_request(1.0), ev);
    for (uint64_t id : {parent, sibling, done}) b.find(id)->oco_group = parent;
    b.find(done)->status = OrderStatus::Filled;  // final orders stay as they are
    EXPECT_TRUE(b.cancel(0, dropped, ev));
    ev.clear();

    // A partial fill cancels nobody; the completing one (within 1e-9) accepts
    // the waiting child and cancels the working sibling only.
    b.apply_fill(3, parent, "x", 100.0, 0.5, 1.0, ev);
    EXPECT_EQ(b.find(parent)->status, OrderStatus::PartiallyFilled);
    ASSERT_EQ(ev.size(), 1u);
    b.apply_fill(4, parent, "x", 100.0, 0.499999999999, 1.0, ev);
    EXPECT_EQ(b.find(parent)->status, OrderStatus::Filled);
    ASSERT_EQ(ev.size(), 4u);
    EXPECT_TRUE(ev[1].kind == Ev::OrderFilled && ev[2].kind == Ev::OrderAccepted && ev[3].kind == Ev::OrderCanceled);
    EXPECT_DOUBLE_EQ(ev[1].size, 0.499999999999);  // this fill, not the total
    EXPECT_TRUE(ev[2].order_id == kept && ev[3].order_id == sibling);
    EXPECT_EQ(b.find(dropped)->status, OrderStatus::Canceled);
    EXPECT_EQ(b.find(done)->status, OrderStatus::Filled);
}

TEST(OrderBookRules, OnlyImmediateOrCancelDropsAPartialRemainder) {
    OrderBook b;
    std::vector<Ev> ev;
    const uint64_t ioc = b.submit(limit_request(2.0, TimeInForce::Ioc), ev);
    const uint64_t fok = b.submit(limit_request(2.0, TimeInForce::Fok), ev);
    b.queue[ioc] = QueueEntry{ioc, 1.0, 0.0, 100.0, Side::Buy};
    b.apply_fill(1, ioc, "x", 100.0, 1.0, 2.0, ev);
    b.apply_fill(1, fok, "x", 100.0, 1.0, 2.0, ev);
    EXPECT_EQ(b.find(ioc)->status, OrderStatus::Canceled);
    EXPECT_EQ(b.queue.count(ioc), 0u);
    EXPECT_EQ(b.find(fok)->status, OrderStatus::PartiallyFilled);
}
