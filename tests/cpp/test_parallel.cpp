#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/parallel.h"
#include "strategies/spreads.h"

using namespace tidemark;

namespace {

// Uneven work, so that items finish out of order.
uint64_t spin(std::size_t i) {
    uint64_t x = i;
    for (std::size_t k = 0; k < (i % 7) * 20000; ++k) x = x * 6364136223846793005ULL + 1442695040888963407ULL;
    return x;
}

}  // namespace

TEST(ParallelMap, ResultsFollowItemOrderWithMoreItemsThanThreads) {
    const std::size_t n = 16 * pool_thread_count() + 3;
    std::vector<std::size_t> items(n);
    std::iota(items.begin(), items.end(), 0);
    const auto out = parallel_map(std::span<std::size_t>(items), [](std::size_t& i) {
        i += 1000;  // items are the caller's to change
        return std::make_pair(i - 1000, spin(i - 1000));
    });
    ASSERT_EQ(out.size(), n);
    for (std::size_t i = 0; i < n; ++i)
        EXPECT_TRUE(out[i].first == i && out[i].second == spin(i) && items[i] == i + 1000) << i;
}

// A failing item never takes the pool down: its exception, of any type,
// reaches the calling thread, and it is the one of the lowest failing index
// whichever worker failed first.
TEST(ParallelMap, LowestFailingIndexIsRethrownOnTheCallingThread) {
    const std::size_t n = 8 * pool_thread_count() + 40;
    const std::thread::id caller = std::this_thread::get_id();
    for (int round = 0; round < 5; ++round) {
        std::vector<std::size_t> items(n);
        std::iota(items.begin(), items.end(), 0);
        std::atomic<std::size_t> ran_below{0};
        try {
            parallel_map(std::span<std::size_t>(items), [&](std::size_t& i) -> int {
                if (i < 25) ++ran_below;
                // Later failures tend to happen first.
                if (i == 25) std::this_thread::sleep_for(std::chrono::milliseconds(5));
                if (i == 25 || i == 31 || i == n - 1) throw std::runtime_error("item " + std::to_string(i));
                return static_cast<int>(spin(i) & 1);
            });
            FAIL() << "the failure was swallowed";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "item 25");
            EXPECT_EQ(std::this_thread::get_id(), caller);
        }
        // Every item before the reported failure ran.
        EXPECT_EQ(ran_below.load(), 25u);
    }
    std::vector<int> items(50, 0);
    EXPECT_THROW(parallel_map(std::span<int>(items), [](int&) -> int { throw 42; }), int);
}

// Squareoff minutes and days at the ends of the timestamp range, extreme
// quantities and lot sizes, and NaN premiums run without undefined behaviour.
TEST(SpreadEngine, ExtremeInputsStayDefined) {
    const int64_t lo = std::numeric_limits<int64_t>::min(), hi = std::numeric_limits<int64_t>::max();
    const std::vector<int64_t> ts = {lo, lo + 1, -1, 0, hi - 1, hi};
    SpreadParams p;
    p.config.squareoff_time_minutes = 0;
    p.legs = {SpreadLeg{100.0, std::numeric_limits<uint64_t>::max(), std::numeric_limits<int32_t>::min(),
                        OptionRight::Call},
              SpreadLeg{100.0, 1, 1, OptionRight::Put}};
    p.leg_expiries = std::vector<int64_t>{hi, hi - 1};
    p.fee_model = FeeModel::itemised(CostSegment::OptionsNfo);
    for (int64_t offset : {lo, int64_t{0}, hi}) {
        p.config.session_tz_offset_ns = offset;
        SpreadArrays a;
        a.premiums = {Series<double>{1.0, 2.0, std::nan(""), 4.0, 5.0, 6.0}, Series<double>(6, 1.0)};
        a.entries = BoolVec{1, 1, 1, 1, 1, 1};
        a.exits = BoolVec{0, 0, 0, 0, 0, 0};
        const EngineResult r = run_spread_strategy(p, ts, a);
        EXPECT_TRUE(r.equity_curve.size() == 6 && r.drawdown_curve.size() == 6 && r.returns.size() == 6);
    }
}
