#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

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

// Every builder renders its kind and its whole state; the texts were written
// out by hand from the builders' definitions.
TEST(BarBuilderDebug, BuildersRenderTheirParametersAndState) {
    const std::string cal = "CalendarBarBuilder { spec: BarSpec { step: ";
    const std::string count = "CountBarBuilder { threshold: ";
    const std::string count_tail = ", accumulated: 0.0, ticks: 0, last_ts: 0, partial: None }";
    const std::string flow = "FlowBarBuilder { magnitude: ";
    const std::string flow_tail =
        ", partial: None, buy: 0.0, sell: 0.0, prev_close: None, prev_sign: 1.0, last_ts: 0 }";
    const std::pair<std::unique_ptr<BarBuilder>, std::string> fresh[] = {
        {build("m", 5, -3),
         "TimeBarBuilder { width_ns: 300000000000, align_offset_ns: -3, window: None, partial: None }"},
        {build("month", 3, 7), cal + "3, unit: Month }, align_offset_ns: 7, window: None, partial: None }"},
        {build("y", 1), cal + "1, unit: Year }, align_offset_ns: 0, window: None, partial: None }"},
        {build("tick", 10), count + "Ticks(10)" + count_tail},
        {build("volume", 1000), count + "Volume(1000.0)" + count_tail},
        {build("value", 1), count + "Value(1.0)" + count_tail},
        {build("renko", 3, 0, -5.0), "RenkoBarBuilder { brick: 3.0, anchor: None, pending: [] }"},
        {build("tick_runs", 4), flow + "Tick, rule: Runs, threshold: 4.0" + flow_tail},
        {build("value_imbalance", 2), flow + "Value, rule: Imbalance, threshold: 2.0" + flow_tail},
    };
    for (const auto& [b, text] : fresh) EXPECT_EQ(b->debug(), text);

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
    auto runs = build("volume_runs", 100);
    runs->push(rec(9, 50.0, 30.0, -2.0));
    EXPECT_EQ(runs->debug(),
              "FlowBarBuilder { magnitude: Volume, rule: Runs, threshold: 100.0, partial: Some(Partial { open: 50.0, "
              "high: 50.0, low: 50.0, close: 50.0, volume: 30.0 }), buy: 0.0, sell: 30.0, prev_close: Some(50.0), "
              "prev_sign: 1.0, last_ts: 9 }");
}

// Bricks handed out are dropped from the queue's storage once they are half
// of it; the unread ones must survive that, oldest first.
TEST(RenkoBuilder, UndrainedQueueKeepsOnlyUnreadBricks) {
    auto b = build("renko", 1, 0, 1.0);
    b->push(rec(0, 0.0));
    for (int k = 1; k <= 50; ++k) {
        auto bar = b->push(rec(k, 3.0 * k));  // three bricks per record, one handed out
        ASSERT_TRUE(bar);
        EXPECT_EQ(bar->open, k - 1.0);
    }
    double open = 50.0;  // 150 bricks made, 50 read: 100 remain
    while (auto bar = b->next_pending()) EXPECT_EQ(bar->open, open++);
    EXPECT_EQ(open, 150.0);
    EXPECT_FALSE(b->flush());
}

TEST(AggregationErrorText, UnknownUnitIsQuotedWithEscapes) {
    EXPECT_EQ(build_bar_builder("a\"b\\\n\t\x01", 0, 0, 0.0).error().text(),
              "unknown aggregation unit \"a\\\"b\\\\\\n\\t\\u{1}\"");
}

// What the session tests cannot see: the signed flow, the instrument and the
// streams, and columns left empty.
TEST(FeedEvents, TradeCarriesItsFlowAndQuoteItsStream) {
    TickColumns t;
    t.timestamps = {10, 40};
    t.ltp = {100.0, 101.0};
    t.bid = {99.0, 0.0};
    t.ask = {101.0, 103.0};
    t.buy_qty_delta = {5.0, -2.0};
    t.sell_qty_delta = {-3.0, 1.0};
    t.oi = {7.0, 8.0};
    t.ltq = {0.0, 4.0};
    t.bid_qty = {-1.0, 0.0};
    t.ask_qty = {std::nan(""), 0.0};
    TickColumns bare;  // empty columns read as zeros: no size, flow or open interest
    bare.timestamps = {1};
    bare.ltp = {10.0};
    // Row 0: a trade of |5| + |-3| = 8 with flow 5 - 3 = 2, then its quote with
    // no sizes (-1 and NaN). Row 1: the traded quantity is the size, the flow
    // |-2| - |1|; a zero bid makes no quote.
    const auto got = feed_events_from_ticks(t, 3, 11, 12), one = feed_events_from_ticks(bare, 0, 0, 1);
    const std::vector<FeedEvent> want = {FeedEvent::trade(10, 100.0, 8.0, 2.0, 7.0, 3, 11),
                                         FeedEvent::quote(10, 99.0, 101.0, NAN, NAN, 3, 12),
                                         FeedEvent::trade(40, 101.0, 4.0, 1.0, 8.0, 3, 11),
                                         FeedEvent::trade(1, 10.0, 0.0, 0.0, 0.0, 0, 0)};
    ASSERT_EQ(got.size() + one.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        const FeedEvent& g = i < got.size() ? got[i] : one[i - got.size()];
        const FeedEvent& w = want[i];
        EXPECT_EQ(g.kind, w.kind) << i;
        EXPECT_EQ(g.ts, w.ts) << i;
        for (auto f : {&FeedEvent::a, &FeedEvent::b, &FeedEvent::c, &FeedEvent::d, &FeedEvent::e})
            EXPECT_TRUE(g.*f == w.*f || (std::isnan(g.*f) && std::isnan(w.*f))) << i;
        EXPECT_EQ(g.instrument, w.instrument) << i;
        EXPECT_EQ(g.stream, w.stream) << i;
    }
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
    EXPECT_EQ(FeedEvent::book(5, 4'294'967'295u, 2, 9).depth_index(), 4'294'967'295u);
    EXPECT_EQ(FeedEvent::bar(6, 1, 2, 0.5, 1.5, 10, 1, 0).e, 10.0);
}
