#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "data/aggregate.h"
#include "data/events.h"

using namespace tidemark;

namespace {

std::unique_ptr<BarBuilder> build(const char* unit, uint32_t step, int64_t tz = 0, double brick = 0.0) {
    BuildResult r = build_bar_builder(unit, step, tz, brick);
    EXPECT_TRUE(r.ok()) << unit;
    return std::move(r.value());
}

SourceRecord rec(int64_t ts, double close, double volume = 1.0, double signed_size = 0.0) {
    return {ts, close, close, close, close, volume, signed_size};
}

}  // namespace

// Every builder renders its kind and its whole state; the fields below were
// written out by hand from the builders' definitions.
TEST(BarBuilderDebug, FreshBuildersRenderTheirParameters) {
    EXPECT_EQ(build("m", 5, -3)->debug(),
              "TimeBarBuilder { width_ns: 300000000000, align_offset_ns: -3, window: None, partial: None }");
    EXPECT_EQ(build("month", 3, 7)->debug(),
              "CalendarBarBuilder { spec: BarSpec { step: 3, unit: Month }, align_offset_ns: 7, window: None, "
              "partial: None }");
    EXPECT_EQ(build("y", 1)->debug(),
              "CalendarBarBuilder { spec: BarSpec { step: 1, unit: Year }, align_offset_ns: 0, window: None, "
              "partial: None }");
    EXPECT_EQ(build("tick", 10)->debug(),
              "CountBarBuilder { threshold: Ticks(10), accumulated: 0.0, ticks: 0, last_ts: 0, partial: None }");
    EXPECT_EQ(build("volume", 1000)->debug(),
              "CountBarBuilder { threshold: Volume(1000.0), accumulated: 0.0, ticks: 0, last_ts: 0, partial: None }");
    EXPECT_EQ(build("value", 1)->debug(),
              "CountBarBuilder { threshold: Value(1.0), accumulated: 0.0, ticks: 0, last_ts: 0, partial: None }");
    EXPECT_EQ(build("renko", 3, 0, -5.0)->debug(), "RenkoBarBuilder { brick: 3.0, anchor: None, pending: [] }");
    EXPECT_EQ(build("tick_runs", 4)->debug(),
              "FlowBarBuilder { magnitude: Tick, rule: Runs, threshold: 4.0, partial: None, buy: 0.0, sell: 0.0, "
              "prev_close: None, prev_sign: 1.0, last_ts: 0 }");
    EXPECT_EQ(build("value_imbalance", 2)->debug(),
              "FlowBarBuilder { magnitude: Value, rule: Imbalance, threshold: 2.0, partial: None, buy: 0.0, "
              "sell: 0.0, prev_close: None, prev_sign: 1.0, last_ts: 0 }");
}

TEST(BarBuilderDebug, StateShowsWindowPartialAndQueue) {
    auto time = build("s", 1);
    time->push({2'500'000'000, 1.0, 2.0, 0.5, 1.5, 10.0, 0.0});
    EXPECT_EQ(time->debug(),
              "TimeBarBuilder { width_ns: 1000000000, align_offset_ns: 0, window: Some(2), partial: "
              "Some(Partial { open: 1.0, high: 2.0, low: 0.5, close: 1.5, volume: 10.0 }) }");

    auto renko = build("renko", 1, 0, 1.0);
    renko->push(rec(1, 100.4));
    renko->push(rec(2, 102.5, 7.0));  // two bricks, the first returned
    EXPECT_EQ(renko->debug(),
              "RenkoBarBuilder { brick: 1.0, anchor: Some(102.0), pending: [OhlcvBar { timestamp: 2, open: 101.0, "
              "high: 102.0, low: 101.0, close: 102.0, volume: 7.0 }] }");

    auto flow = build("volume_runs", 100);
    flow->push(rec(9, 50.0, 30.0, -2.0));
    EXPECT_EQ(flow->debug(),
              "FlowBarBuilder { magnitude: Volume, rule: Runs, threshold: 100.0, partial: Some(Partial { open: 50.0, "
              "high: 50.0, low: 50.0, close: 50.0, volume: 30.0 }), buy: 0.0, sell: 30.0, prev_close: Some(50.0), "
              "prev_sign: 1.0, last_ts: 9 }");
}

// Bricks handed out are dropped from the queue's storage once they are half
// of it, so a caller that never drains does not keep every brick ever read.
TEST(RenkoBuilder, UndrainedQueueKeepsOnlyUnreadBricks) {
    auto b = build("renko", 1, 0, 1.0);
    b->push(rec(0, 0.0));
    double close = 0.0;
    for (int k = 1; k <= 50; ++k) {
        close += 3.0;  // three bricks per record, one handed out
        auto bar = b->push(rec(k, close));
        ASSERT_TRUE(bar);
        EXPECT_DOUBLE_EQ(bar->open, static_cast<double>(k - 1));  // the oldest unread brick
    }
    // 150 bricks made, 50 read: 100 remain, oldest first.
    std::size_t left = 0;
    double expect_open = 50.0;
    while (auto bar = b->next_pending()) {
        EXPECT_DOUBLE_EQ(bar->open, expect_open);
        expect_open += 1.0;
        ++left;
    }
    EXPECT_EQ(left, 100u);
    EXPECT_FALSE(b->flush());
}

// The unit text is quoted as a string literal would be.
TEST(AggregationErrorText, UnknownUnitIsQuotedWithEscapes) {
    EXPECT_EQ(build_bar_builder("a\"b\\\n\t\x01", 0, 0, 0.0).error().text(),
              "unknown aggregation unit \"a\\\"b\\\\\\n\\t\\u{1}\"");
}

// The tick-row rule as the sessions see it, quotes included.
TEST(FeedEvents, TradeThenQuotePerRowWithMissingSizesAsNaN) {
    TickColumns t;
    t.timestamps = {10, 20, 30, 40};
    t.ltp = {100.0, 0.0, std::nan(""), 101.0};
    t.bid = {99.0, 98.0, 97.0, 0.0};
    t.ask = {101.0, 102.0, std::nan(""), 103.0};
    t.buy_qty_delta = {5.0, 0.0, 0.0, -2.0};
    t.sell_qty_delta = {-3.0, 0.0, 0.0, 1.0};
    t.oi = {7.0, 0.0, 0.0, 8.0};
    t.ltq = {0.0, 0.0, 0.0, 4.0};
    t.bid_qty = {-1.0, 6.0, 0.0, 0.0};
    t.ask_qty = {std::nan(""), 9.0, 0.0, 0.0};
    const auto ev = feed_events_from_ticks(t, 3, 11, 12);
    ASSERT_EQ(ev.size(), 4u);
    // Row 0: a trade of |5| + |-3| = 8 with flow 5 - 3 = 2, then its quote.
    EXPECT_EQ(ev[0].kind, FeedEventKind::Trade);
    EXPECT_EQ(ev[0].ts, 10);
    EXPECT_EQ(ev[0].a, 100.0);
    EXPECT_EQ(ev[0].b, 8.0);
    EXPECT_EQ(ev[0].c, 2.0);
    EXPECT_EQ(ev[0].d, 7.0);
    EXPECT_EQ(ev[0].instrument, 3u);
    EXPECT_EQ(ev[0].stream, 11u);
    EXPECT_EQ(ev[1].kind, FeedEventKind::Quote);
    EXPECT_EQ(ev[1].a, 99.0);
    EXPECT_EQ(ev[1].b, 101.0);
    EXPECT_TRUE(std::isnan(ev[1].c));  // bid size -1: none
    EXPECT_TRUE(std::isnan(ev[1].d));
    EXPECT_EQ(ev[1].stream, 12u);
    // Row 1: no price, a quote with both sizes. Row 2: NaN price and ask, nothing.
    EXPECT_EQ(ev[2].kind, FeedEventKind::Quote);
    EXPECT_EQ(ev[2].ts, 20);
    EXPECT_EQ(ev[2].c, 6.0);
    EXPECT_EQ(ev[2].d, 9.0);
    // Row 3: the traded quantity is the size; a zero bid makes no quote.
    EXPECT_EQ(ev[3].kind, FeedEventKind::Trade);
    EXPECT_EQ(ev[3].ts, 40);
    EXPECT_EQ(ev[3].b, 4.0);
    EXPECT_EQ(ev[3].c, 1.0);  // |-2| - |1|
}

TEST(FeedEvents, TradedQuantityWinsAndEmptyColumnsReadAsZeros) {
    TickColumns t;
    t.timestamps = {1, 2};
    t.ltp = {10.0, 11.0};
    t.ltq = {4.0, 0.0};
    t.buy_qty_delta = {-2.0, 0.0};
    t.sell_qty_delta = {1.0, 0.0};
    const auto ev = feed_events_from_ticks(t, 0, 0, 1);
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[0].b, 4.0);
    EXPECT_EQ(ev[0].c, 1.0);  // |-2| - |1|
    EXPECT_EQ(ev[0].d, 0.0);  // no open interest column
    EXPECT_EQ(ev[1].b, 0.0);  // nothing traded, no deltas
}

TEST(FeedEvents, ShortColumnIsAFaultNotAnOverread) {
    TickColumns t;
    t.timestamps = {1, 2};
    t.ltp = {10.0, 11.0};
    t.oi = {1.0};
    EXPECT_THROW(feed_events_from_ticks(t, 0, 0, 1), Fault);
    t.oi.clear();
    t.timestamps = {1};
    EXPECT_THROW(feed_events_from_ticks(t, 0, 0, 1), Fault);
}

TEST(FeedEvents, BookIndexRoundTripsThroughItsSlot) {
    const FeedEvent e = FeedEvent::book(5, 4'294'967'295u, 2, 9);
    EXPECT_EQ(e.kind, FeedEventKind::Book);
    EXPECT_EQ(e.depth_index(), 4'294'967'295u);
    const FeedEvent b = FeedEvent::bar(6, 1, 2, 0.5, 1.5, 10, 1, 0);
    EXPECT_EQ(b.kind, FeedEventKind::Bar);
    EXPECT_EQ(b.e, 10.0);
}
