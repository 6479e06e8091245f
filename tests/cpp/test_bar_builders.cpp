#include <gtest/gtest.h>

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

// Each builder renders its whole state, empty or not; texts written out by hand.
TEST(BarBuilderDebug, BuildersRenderTheirParametersAndState) {
    EXPECT_EQ(build("month", 3, 7)->debug(), "CalendarBarBuilder { spec: BarSpec { step: 3, unit: Month }, "
                                             "align_offset_ns: 7, window: None, partial: None }");
    const std::string count_tail = ", accumulated: 0.0, ticks: 0, last_ts: 0, partial: None }";
    EXPECT_EQ(build("tick", 10)->debug(), "CountBarBuilder { threshold: Ticks(10)" + count_tail);
    EXPECT_EQ(build("volume", 1000)->debug(), "CountBarBuilder { threshold: Volume(1000.0)" + count_tail);
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

// Read bricks are dropped once they are half the queue; the unread must survive, oldest first.
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

TEST(FeedEvents, ShortColumnIsAFaultNotAnOverread) {
    TickColumns t;
    t.timestamps = {1, 2}, t.ltp = {10.0, 11.0}, t.oi = {1.0};
    const auto ignore = [](const FeedEvent&) {};
    EXPECT_THROW(for_each_tick_event(t, 0, 0, 1, ignore), Fault);
    t.oi.clear(), t.timestamps = {1};
    EXPECT_THROW(for_each_tick_event(t, 0, 0, 1, ignore), Fault);
}

TEST(FeedEvents, BookIndexRoundTripsThroughItsSlot) {
    EXPECT_EQ(FeedEvent::book(5, 4'294'967'295u, 2, 9).depth_index(), 4'294'967'295u);
    EXPECT_EQ(FeedEvent::bar(6, 1, 2, 0.5, 1.5, 10, 1, 0).e, 10.0);
}
