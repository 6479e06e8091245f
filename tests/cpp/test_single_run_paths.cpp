// The single run's own paths checked against plain computations: entry sizes
// found next to the first guess against a bisection from zero, a step that
// keeps its trades against one that makes records, and series grown without
// initialising against ones grown by value.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <random>
#include <vector>

#include "core/buffer.h"
#include "core/fees.h"
#include "execution/kernel.h"

using namespace tidemark;

namespace {

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The largest size below `q` whose cost and fee fit in `avail`, by halving
// over the bit patterns of the doubles between zero (which fits) and `q`.
double largest_fitting(const FeeModel& fees, bool buy, double price, double avail, double q) {
    auto fits = [&](double c) { return c * price + compute_fee(fees, buy, price, c) <= avail; };
    if (fits(q)) return q;
    uint64_t lo = 0;
    uint64_t hi = std::bit_cast<uint64_t>(q);
    while (hi - lo > 1) {
        const uint64_t mid = lo + (hi - lo) / 2;
        if (fits(std::bit_cast<double>(mid))) {
            lo = mid;
        } else {
            hi = mid;
        }
    }
    return std::bit_cast<double>(lo);
}

}  // namespace

// Costs in proportion to the size, where the size is most often found among
// the doubles next to the first guess: a flat fee above, equal to or below
// the sizing allowance, and the delivery segment's itemised costs.
TEST(EntrySizeNearGuess, IsTheLargestSizeThatFits) {
    std::mt19937_64 rng(41);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const double rates[] = {0.0, 0.0001, 0.001, 0.0025};
    int searched = 0;
    for (int trial = 0; trial < 4000; ++trial) {
        BacktestConfig cfg;
        cfg.fees = trial % 5 == 0 ? 0.0 : 0.001;
        cfg.initial_capital = std::pow(10.0, 1.0 + 6.0 * u(rng));
        const bool itemised = trial % 3 == 0;
        const FeeModel fees = itemised ? FeeModel::itemised(CostSegment::EquityDelivery)
                                       : FeeModel::percent(trial % 7 == 0 ? 0.004 * u(rng) : rates[trial % 4]);
        const double price = std::pow(10.0, -1.0 + 4.5 * u(rng));
        const int8_t dir = trial % 2 == 0 ? 1 : -1;
        ExecutionKernel k(cfg, fees, SlippageModel::none(), price_basis::Close, "SYM", dir, nullptr);
        const auto ev =
            k.fill_market_order(0, 0, dir, EntrySizing::All, false, 1.0, price, 0.0, std::nullopt, std::nullopt, 0.0);
        ASSERT_TRUE(ev.has_value());
        ASSERT_EQ(ev->kind, EngineEventRecord::Entered) << trial;
        const double q0 = cfg.initial_capital / ((1.0 + cfg.fees) * price);
        const double want = largest_fitting(fees, dir == 1, price, cfg.initial_capital, q0);
        searched += want != q0;
        EXPECT_TRUE(same_bits(ev->size, want)) << trial << ": " << ev->size << " vs " << want;
    }
    EXPECT_GT(searched, 1000);
}

// A step that keeps its trades builds the same trade as one that makes
// records, makes no entry or exit record, and leaves the kernel making
// records again at the next plain step.
TEST(StepKeepingTrades, SameTradesNoRecords) {
    BacktestConfig cfg;
    cfg.fee_segment = "NSE-DELIVERY";
    const FeeModel fees = fee_model_from_config(cfg);
    ExecutionKernel plain(cfg, fees, SlippageModel::fraction(0.001), price_basis::Close, "A LONG SYMBOL NAME", 1,
                          nullptr);
    ExecutionKernel keeping = plain;
    const Bar bars[] = {{1, 100, 101, 99, 100, 1000}, {2, 100, 104, 99, 103, 1000}, {3, 103, 103, 96, 97, 1000}};
    const StepIntents in[] = {{std::nullopt, std::nullopt, std::nullopt, 0.0, true, false},
                              {},
                              {std::nullopt, std::nullopt, std::nullopt, 0.0, false, true}};
    std::vector<EngineEventRecord> records;
    TradeList kept;
    for (std::size_t i = 0; i < std::size(bars); ++i) {
        std::vector<EngineEventRecord> out;
        plain.step_bar(i, bars[i], in[i], false, records);
        keeping.step_bar_keeping_trades(i, bars[i], in[i], kept, out);
        EXPECT_TRUE(out.empty()) << i;
    }
    ASSERT_EQ(records.size(), 2u);  // entered, exited
    ASSERT_EQ(records[1].kind, EngineEventRecord::Exited);
    ASSERT_EQ(kept.size(), 1u);
    const Trade& a = *records[1].trade;
    const Trade& b = kept[0];
    EXPECT_EQ(a.symbol, b.symbol);
    EXPECT_EQ(a.exit_idx, b.exit_idx);
    EXPECT_TRUE(same_bits(a.pnl, b.pnl) && same_bits(a.fees, b.fees) && same_bits(a.size, b.size));
    ASSERT_TRUE(a.fee_breakdown && b.fee_breakdown);
    EXPECT_TRUE(same_bits(a.fee_breakdown->total(), b.fee_breakdown->total()));
    EXPECT_TRUE(same_bits(plain.cash, keeping.cash));
    // The list was the caller's for that step only.
    std::vector<EngineEventRecord> again;
    keeping.step_bar(3, bars[0], in[0], false, again);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].kind, EngineEventRecord::Entered);
    EXPECT_EQ(kept.size(), 1u);
}

// Growing a series leaves what it held, with or without room to spare, and
// the elements appended are the caller's to write; a series made with a
// size, from storage that held other values, still starts at zeros.
TEST(SeriesAppend, KeepsWhatWasThereAndLeavesSizedSeriesZeroed) {
    for (std::size_t spare : {0u, 10u, 100000u}) {
        Series<double> s;
        s.reserve(3 + spare);
        for (double v : {1.5, -2.0, 3.25}) s.push_back(v);
        double* tail = append_uninitialized(s, 50000);
        ASSERT_EQ(s.size(), 50003u);
        EXPECT_EQ(tail, s.data() + 3);
        for (std::size_t i = 0; i < 50000; ++i) tail[i] = static_cast<double>(i);
        EXPECT_EQ(s[0], 1.5);
        EXPECT_EQ(s[1], -2.0);
        EXPECT_EQ(s[2], 3.25);
        EXPECT_EQ(s.back(), 49999.0);
    }
    { Series<double> dirty(100000, 7.0); }
    const Series<double> fresh(100000);
    for (double v : fresh) ASSERT_EQ(v, 0.0);
    Series<double> grown;
    grown.resize(100000);
    for (double v : grown) ASSERT_EQ(v, 0.0);
}
