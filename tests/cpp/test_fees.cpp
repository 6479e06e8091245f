#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>

#include "core/fees.h"

using namespace tidemark;

namespace {

constexpr double kTol = 1e-9;

BacktestConfig config_with(std::optional<std::string> segment, double fees = 0.002) {
    BacktestConfig cfg;
    cfg.fees = fees;
    cfg.fee_segment = std::move(segment);
    return cfg;
}

void expect_breakdown(const FeeBreakdown& b, double brokerage, double stt, double exchange_txn, double sebi,
                      double stamp, double gst) {
    EXPECT_NEAR(b.brokerage, brokerage, kTol);
    EXPECT_NEAR(b.stt, stt, kTol);
    EXPECT_NEAR(b.exchange_txn, exchange_txn, kTol);
    EXPECT_NEAR(b.sebi_fee, sebi, kTol);
    EXPECT_NEAR(b.stamp_duty, stamp, kTol);
    EXPECT_NEAR(b.gst, gst, kTol);
}

}  // namespace

TEST(FeesSegmentText, ParsesExchangeAndProduct) {
    struct Case {
        const char* text;
        CostSegment want;
    };
    const Case cases[] = {
        {"NSE", CostSegment::EquityIntraday},     {"BSE", CostSegment::EquityIntraday},
        {"nse-delivery", CostSegment::EquityDelivery}, {"BSE-Delivery", CostSegment::EquityDelivery},
        {"NSE-CNC", CostSegment::EquityIntraday}, {"NSE-", CostSegment::EquityIntraday},
        {"NFO-OPT", CostSegment::OptionsNfo},     {"NFO-CE", CostSegment::OptionsNfo},
        {"BFO-PE", CostSegment::OptionsNfo},      {"nfo-opt", CostSegment::OptionsNfo},
        {"NFO-FUT", CostSegment::FuturesNfo},     {"NFO", CostSegment::FuturesNfo},
        {"NFO-OPTIONS", CostSegment::FuturesNfo}, {"NFO-OPT-X", CostSegment::FuturesNfo},
        {"MCX-FUT", CostSegment::FuturesMcx},     {"mcx-pe", CostSegment::OptionsMcx},
        {"CDS", CostSegment::FuturesCds},         {"BCD-CE", CostSegment::OptionsCds},
        {"cds-opt", CostSegment::OptionsCds},
    };
    for (const Case& c : cases) {
        const auto seg = parse_fee_segment(c.text);
        ASSERT_TRUE(seg.has_value()) << c.text;
        EXPECT_EQ(*seg, c.want) << c.text;
        const FeeModel m = fee_model_from_config(config_with(c.text));
        EXPECT_EQ(m.kind, FeeModel::Itemised) << c.text;
        EXPECT_EQ(m.segment, c.want) << c.text;
    }
}

TEST(FeesSegmentText, UnknownExchangeFallsBackToFlatRate) {
    for (const char* text : {"NSEX", "LSE", "", "-OPT", "NS", " NSE", "NSE -OPT", "N\xc3\x89"}) {
        EXPECT_FALSE(parse_fee_segment(text).has_value()) << text;
        const FeeModel m = fee_model_from_config(config_with(text, 0.0025));
        EXPECT_EQ(m.kind, FeeModel::Percent) << text;
        EXPECT_EQ(m.rate, 0.0025) << text;
    }
    const FeeModel absent = fee_model_from_config(config_with(std::nullopt, 0.0007));
    EXPECT_EQ(absent.kind, FeeModel::Percent);
    EXPECT_EQ(absent.rate, 0.0007);
}

TEST(FeesSegmentText, NamesRoundTrip) {
    const char* names[] = {"equity_intraday", "equity_delivery", "futures_nfo", "options_nfo",
                           "futures_mcx",     "options_mcx",     "futures_cds", "options_cds"};
    for (int i = 0; i < kCostSegmentCount; ++i) {
        const auto s = static_cast<CostSegment>(i);
        EXPECT_STREQ(segment_name(s), names[i]);
        EXPECT_EQ(segment_from_name(names[i]), s);
        // The depository sell charge is the same for every segment.
        EXPECT_EQ(segment_rates(s).dp_charge_per_isin, 15.34);
    }
    EXPECT_FALSE(segment_from_name("Equity_Intraday").has_value());
    EXPECT_FALSE(segment_from_name("NSE").has_value());
    EXPECT_FALSE(segment_from_name("").has_value());
}

TEST(FeesItemised, EquityIntradayWorkedExample) {
    const FeeModel m = FeeModel::itemised(CostSegment::EquityIntraday);
    expect_breakdown(itemised_fee_breakdown(CostSegment::EquityIntraday, true, 1000.0, 100.0), 20.0, 0.0, 3.07, 0.1,
                     3.0, 4.1706);
    EXPECT_NEAR(compute_fee(m, true, 1000.0, 100.0), 30.3406, kTol);

    expect_breakdown(itemised_fee_breakdown(CostSegment::EquityIntraday, false, 1000.0, 100.0), 20.0, 25.0, 3.07,
                     0.1, 0.0, 4.1706);
    EXPECT_NEAR(compute_fee(m, false, 1000.0, 100.0), 52.3406, kTol);
}

TEST(FeesItemised, EverySegmentBothSides) {
    // Fill of 50,000 notional: below the brokerage cap where a rate applies.
    struct Case {
        CostSegment seg;
        double buy;
        double sell;
    };
    const Case cases[] = {
        {CostSegment::EquityIntraday, 21.0703, 32.0703}, {CostSegment::EquityDelivery, 59.3703, 51.8703},
        {CostSegment::FuturesNfo, 19.8387, 43.8387},     {CostSegment::OptionsNfo, 46.1217, 119.6217},
        {CostSegment::FuturesMcx, 19.998, 23.998},       {CostSegment::OptionsMcx, 49.821, 73.321},
        {CostSegment::FuturesCds, 18.0155, 17.9655},     {CostSegment::OptionsCds, 42.058, 42.008},
    };
    for (const Case& c : cases) {
        const FeeModel m = FeeModel::itemised(c.seg);
        EXPECT_NEAR(compute_fee(m, true, 500.0, 100.0), c.buy, kTol) << segment_name(c.seg);
        EXPECT_NEAR(compute_fee(m, false, 500.0, 100.0), c.sell, kTol) << segment_name(c.seg);
        for (bool buy : {true, false}) {
            EXPECT_EQ(itemised_fee_breakdown(c.seg, buy, 500.0, 100.0).total(), compute_fee(m, buy, 500.0, 100.0));
        }
    }
}

TEST(FeesItemised, OptionsPayFlatBrokerageOnTinyNotional) {
    const FeeBreakdown b = itemised_fee_breakdown(CostSegment::OptionsNfo, true, 0.05, 1.0);
    expect_breakdown(b, 20.0, 0.0, 1.7765e-5, 5e-8, 1.5e-6, 3.6000032067);
    EXPECT_NEAR(compute_fee(FeeModel::itemised(CostSegment::OptionsNfo), true, 0.05, 1.0), 23.6000225217, kTol);
}

TEST(FeesItemised, DeliveryChargesSttBothSidesAndNoBrokerage) {
    expect_breakdown(itemised_fee_breakdown(CostSegment::EquityDelivery, true, 500.0, 10.0), 0.0, 5.0, 0.1535, 0.005,
                     0.75, 0.02853);
    expect_breakdown(itemised_fee_breakdown(CostSegment::EquityDelivery, false, 500.0, 10.0), 0.0, 5.0, 0.1535, 0.005,
                     0.0, 0.02853);
}

TEST(FeesItemised, SignsOfPriceAndQuantityDoNotMatter) {
    const FeeBreakdown pos = itemised_fee_breakdown(CostSegment::FuturesNfo, false, 200.0, 100.0);
    const FeeBreakdown neg = itemised_fee_breakdown(CostSegment::FuturesNfo, false, -200.0, -100.0);
    expect_breakdown(pos, 6.0, 10.0, 0.366, 0.02, 0.0, 1.14948);
    expect_breakdown(neg, 6.0, 10.0, 0.366, 0.02, 0.0, 1.14948);
}

TEST(FeesItemised, NaNNotionalStillPaysTheBrokerageCap) {
    const FeeBreakdown b = itemised_fee_breakdown(CostSegment::EquityIntraday, true, std::nan(""), 10.0);
    EXPECT_EQ(b.brokerage, 20.0);
    EXPECT_TRUE(std::isnan(b.exchange_txn));
    EXPECT_TRUE(std::isnan(compute_fee(FeeModel::itemised(CostSegment::FuturesMcx), false, 100.0, std::nan(""))));
    EXPECT_EQ(itemised_fee_breakdown(CostSegment::FuturesMcx, false, 100.0, std::nan("")).brokerage, 20.0);
}

TEST(FeesPercent, RateTimesSignedPriceTimesAbsoluteQuantity) {
    const FeeModel m = FeeModel::percent(0.001);
    EXPECT_DOUBLE_EQ(compute_fee(m, true, 1000.0, 100.0), 100.0);
    EXPECT_DOUBLE_EQ(compute_fee(m, false, 1000.0, -100.0), 100.0);
    EXPECT_DOUBLE_EQ(compute_fee(m, true, -10.0, 5.0), -0.05);
    EXPECT_EQ(compute_fee(FeeModel::percent(0.0), true, 1000.0, 100.0), 0.0);
}

TEST(FeesLeg, BuyRulesWhenALongOpensOrAShortCloses) {
    const FeeModel m = FeeModel::itemised(CostSegment::EquityIntraday);
    // opening, is_long
    EXPECT_NEAR(compute_leg_fee(m, true, true, 1000.0, 100.0), 30.3406, kTol);
    EXPECT_NEAR(compute_leg_fee(m, false, false, 1000.0, 100.0), 30.3406, kTol);
    EXPECT_NEAR(compute_leg_fee(m, false, true, 1000.0, 100.0), 52.3406, kTol);
    EXPECT_NEAR(compute_leg_fee(m, true, false, 1000.0, 100.0), 52.3406, kTol);

    const FeeModel flat = FeeModel::percent(0.001);
    for (bool opening : {true, false}) {
        for (bool is_long : {true, false}) {
            EXPECT_DOUBLE_EQ(compute_leg_fee(flat, opening, is_long, 1000.0, 100.0), 100.0);
        }
    }
}

TEST(FeesBreakdown, SideFollowsDirectionAndOpeningAndSumsToTheFee) {
    const FeeModel m = FeeModel::itemised(CostSegment::EquityIntraday);
    struct Case {
        int direction;
        bool opening;
        double fee;
        double stamp;
    };
    const Case cases[] = {
        {1, true, 30.3406, 3.0},   // long opens: buy
        {1, false, 52.3406, 0.0},  // long closes: sell
        {-1, true, 52.3406, 0.0},  // short opens: sell
        {-1, false, 30.3406, 3.0}, // short closes: buy
    };
    for (const Case& c : cases) {
        const FeeCharge ch = compute_fee_breakdown(m, c.direction, c.opening, 1000.0, 100.0);
        ASSERT_TRUE(ch.breakdown.has_value());
        EXPECT_NEAR(ch.fee, c.fee, kTol);
        EXPECT_EQ(ch.breakdown->stamp_duty, c.stamp);
        EXPECT_EQ(ch.breakdown->total(), ch.fee);
    }

    const FeeCharge flat = compute_fee_breakdown(FeeModel::percent(0.001), -1, true, 1000.0, 100.0);
    EXPECT_FALSE(flat.breakdown.has_value());
    EXPECT_DOUBLE_EQ(flat.fee, 100.0);
}
