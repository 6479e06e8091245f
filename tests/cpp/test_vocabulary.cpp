#include <gtest/gtest.h>

#include "core/vocabulary.h"
#include "data/book.h"

using namespace tidemark;

namespace {

OrderType make(OrderType::Kind k, double price = 0.0, double trigger = 0.0) {
    OrderType t;
    t.kind = k;
    t.price = price;
    t.trigger = trigger;
    return t;
}

OrderType trailing(OrderType::Kind k, TrailingOffset::Kind ok, double value, double limit_offset = 0.0) {
    OrderType t;
    t.kind = k;
    t.offset = {ok, value};
    t.limit_offset = limit_offset;
    return t;
}

}  // namespace

TEST(VocabularyReasons, RefusedEntryNameAndRefusedOrderTextShareACode) {
    EXPECT_STREQ(reject_reason_name(RejectReason::InsufficientCapital), "InsufficientCapital");
    EXPECT_STREQ(reject_reason_text(RejectReason::InsufficientCapital), "insufficient_capital");

    const char* names[] = {"MaxPositions", "DrawdownHalt",        "ZeroSize",           "Expired",
                           "Inactive",     "InsufficientCapital", "InsufficientMargin", "MarginCall"};
    const char* texts[] = {"max_positions", "drawdown_halt",        "zero_size",           "expired",
                           "inactive",      "insufficient_capital", "insufficient_margin", "margin_call"};
    for (int i = 0; i < 8; ++i) {
        const auto r = static_cast<RejectReason>(i);
        EXPECT_STREQ(reject_reason_name(r), names[i]) << i;
        EXPECT_STREQ(reject_reason_text(r), texts[i]) << i;
    }
}

TEST(VocabularyReasons, ExitReasonNamesByCode) {
    const char* names[] = {"Signal", "StopLoss",   "TakeProfit",  "TrailingStop", "EndOfData",
                           "Order",  "Settlement", "Liquidation", "TimeExit",     "Squareoff"};
    for (int i = 0; i < 10; ++i) {
        EXPECT_STREQ(exit_reason_name(static_cast<ExitReason>(i)), names[i]) << i;
    }
}

TEST(VocabularyEvents, KindTextsByCode) {
    const char* texts[] = {"entered",        "exited",        "entry_rejected", "order_accepted",
                           "order_triggered", "order_filled", "order_canceled", "order_expired",
                           "order_rejected", "margin_call",   "algo_started",   "algo_completed"};
    for (int i = 0; i < 12; ++i) {
        EXPECT_STREQ(event_kind_text(static_cast<EngineEventRecord::Kind>(i)), texts[i]) << i;
    }
}

TEST(VocabularyOrderType, KindsWithoutFields) {
    EXPECT_EQ(format_order_type(make(OrderType::Market)), "Market");
    EXPECT_EQ(format_order_type(make(OrderType::MarketToLimit, 5.0, 6.0)), "MarketToLimit");
}

TEST(VocabularyOrderType, PriceAndTriggerFieldsInOrder) {
    EXPECT_EQ(format_order_type(make(OrderType::Limit, 101.5)), "Limit { price: 101.5 }");
    EXPECT_EQ(format_order_type(make(OrderType::StopMarket, 0.0, 99.0)), "StopMarket { trigger: 99.0 }");
    EXPECT_EQ(format_order_type(make(OrderType::StopLimit, 98.5, 99.0)), "StopLimit { trigger: 99.0, price: 98.5 }");
    EXPECT_EQ(format_order_type(make(OrderType::MarketIfTouched, 0.0, 105.0)), "MarketIfTouched { trigger: 105.0 }");
    EXPECT_EQ(format_order_type(make(OrderType::LimitIfTouched, 104.0, 105.25)),
              "LimitIfTouched { trigger: 105.25, price: 104.0 }");
}

TEST(VocabularyOrderType, NumbersUseExponentFormOutsideTheFixedRange) {
    EXPECT_EQ(format_order_type(make(OrderType::Limit, 0.00005)), "Limit { price: 5e-5 }");
    EXPECT_EQ(format_order_type(make(OrderType::Limit, 1e16)), "Limit { price: 1e16 }");
    EXPECT_EQ(format_order_type(make(OrderType::Limit, 100.0)), "Limit { price: 100.0 }");
}

TEST(VocabularyOrderType, TrailingKinds) {
    EXPECT_EQ(format_order_type(trailing(OrderType::TrailingStopMarket, TrailingOffset::Price, 2.0)),
              "TrailingStopMarket { offset: Price(2.0) }");
    EXPECT_EQ(format_order_type(trailing(OrderType::TrailingStopMarket, TrailingOffset::Bps, 25.0)),
              "TrailingStopMarket { offset: Bps(25.0) }");
    EXPECT_EQ(format_order_type(trailing(OrderType::TrailingStopLimit, TrailingOffset::Price, 2.0, 0.5)),
              "TrailingStopLimit { offset: Price(2.0), limit_offset: 0.5 }");
    EXPECT_EQ(format_trailing_offset({TrailingOffset::Bps, 0.5}), "Bps(0.5)");
}

TEST(VocabularyEvents, RejectOrderAlwaysRecordsButOnlyRejectsWorkingOrders) {
    std::vector<Order> orders(3);
    orders[0].order_id = 0;
    orders[0].status = OrderStatus::Accepted;
    orders[1].order_id = 1;
    orders[1].status = OrderStatus::Filled;
    orders[2].order_id = 2;
    orders[2].status = OrderStatus::New;
    std::vector<EngineEventRecord> events;

    reject_order(orders, events, 7, 0, "A", reject_reason_text(RejectReason::MarginCall));
    reject_order(orders, events, 8, 1, "B", "unfillable");
    reject_order(orders, events, 9, 42, "C", "reduce_only");

    EXPECT_EQ(orders[0].status, OrderStatus::Rejected);
    EXPECT_EQ(orders[1].status, OrderStatus::Filled);  // final statuses never change
    EXPECT_EQ(orders[2].status, OrderStatus::New);     // an unknown id touches nothing
    ASSERT_EQ(events.size(), 3u);
    const char* texts[] = {"margin_call", "unfillable", "reduce_only"};
    const char* ids[] = {"A", "B", "C"};
    const uint64_t order_ids[] = {0, 1, 42};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(events[i].kind, EngineEventRecord::OrderRejected);
        EXPECT_STREQ(events[i].reject_text, texts[i]);
        EXPECT_EQ(events[i].client_order_id, ids[i]);
        EXPECT_EQ(events[i].idx, 7u + i);
        EXPECT_EQ(events[i].order_id, order_ids[i]);
    }
}
