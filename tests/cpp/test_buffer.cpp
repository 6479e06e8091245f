#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "core/buffer.h"
#include "core/vocabulary.h"

using tidemark::kBulkThreshold;
using tidemark::Series;

// Long series come from 2 MiB-aligned bulk storage, short ones from the
// ordinary heap; growing across the threshold and copying between the two
// must hand every block back to the allocator that made it (the sanitizer
// build reports any mismatch).
TEST(BulkStorage, LongSeriesAreAlignedAndEverySizeRoundTrips) {
    Series<double> big(kBulkThreshold / sizeof(double) + 1, 1.5);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(big.data()) % kBulkThreshold, 0u);
    EXPECT_EQ(big.back(), 1.5);

    Series<uint8_t> grown;
    for (std::size_t i = 0; i < kBulkThreshold + 10; ++i) grown.push_back(static_cast<uint8_t>(i));
    EXPECT_EQ(grown[kBulkThreshold + 9], static_cast<uint8_t>(kBulkThreshold + 9));

    Series<double> small{1.0, 2.0};
    Series<double> copy = big;
    copy = small;
    EXPECT_EQ(copy, small);
    small = big;
    EXPECT_EQ(small.size(), big.size());
    big.clear();
    big.shrink_to_fit();
    EXPECT_TRUE(big.empty());
}

// A freed block goes to exactly one later series of its size class; release returns it.
TEST(SeriesStorage, BlocksAreReusedWithinTheirClass) {
    auto kept = [] { return tidemark::series_cache_stats().blocks; };
    tidemark::series_cache_release();
    const std::size_t n = 100'000;  // 800 kB: a small-block class
    const double* first = Series<double>(n, 1.0).data();
    EXPECT_EQ(kept(), 1u);
    EXPECT_EQ(tidemark::series_cache_stats().bytes, tidemark::series_block_class(n * sizeof(double)));
    Series<double> b(n - 1000, 2.0);  // same class
    EXPECT_EQ(b.data(), first);
    EXPECT_EQ(kept(), 0u);
    Series<double> c(n, 3.0);  // the block is taken: a new one
    EXPECT_NE(c.data(), b.data());
    Series<double> d(4 * n, 4.0);  // another class never takes it
    EXPECT_NE(d.data(), first);
    EXPECT_TRUE(b.front() == 2.0 && c.back() == 3.0);

    const void* bulk = Series<uint8_t>(3 * kBulkThreshold + 1, 7).data();
    Series<int64_t> again(3 * kBulkThreshold / sizeof(int64_t) + 100, -1);
    EXPECT_EQ(static_cast<const void*>(again.data()), bulk);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(again.data()) % kBulkThreshold, 0u);

    tidemark::series_cache_release();
    EXPECT_EQ(kept(), 0u);
    EXPECT_EQ(tidemark::series_cache_stats().bytes, 0u);
}

TEST(SeriesStorage, ClassesAndTheBoundOnKeptBlocks) {
    for (auto [bytes, cls] : {std::pair<std::size_t, std::size_t>{64 << 10, 64 << 10}, {(64 << 10) + 1, 128 << 10},
                              {kBulkThreshold - 1, kBulkThreshold}, {kBulkThreshold + 1, 2 * kBulkThreshold}})
        EXPECT_EQ(tidemark::series_block_class(bytes), cls) << bytes;
    // A request too large to round is refused, not wrapped to a small block.
    EXPECT_THROW((void)tidemark::series_allocate(static_cast<std::size_t>(-1) - 5), std::bad_alloc);

    tidemark::series_cache_release();
    {
        std::vector<Series<double>> many;
        for (int i = 0; i < 300; ++i) many.emplace_back(10'000, double(i));
        for (int i = 0; i < 300; ++i) EXPECT_EQ(many[i][9'999], double(i));
    }
    EXPECT_LE(tidemark::series_cache_stats().blocks, 256u);
    tidemark::series_cache_release();
}

// Threads take and give blocks at once (the batch runners): no block goes to two series.
TEST(SeriesStorage, ConcurrentUseHandsEachBlockToOneSeries) {
    tidemark::series_cache_release();
    std::vector<std::thread> threads;
    std::atomic<int> bad{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &bad] {
            for (int round = 0; round < 200; ++round) {
                Series<int64_t> s(20'000 + (round % 3) * 10'000, t * 1000 + round);
                bad += static_cast<int>(std::count(s.begin(), s.end(), t * 1000 + round) != std::ssize(s));
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(bad.load(), 0);
    tidemark::series_cache_release();
}

// A trade made in reused storage, sized or in place, starts from its defaults.
TEST(SeriesStorage, TradesInReusedStorageStartFromTheirDefaults) {
    using tidemark::Trade;
    for (bool in_place : {false, true}) {
        tidemark::series_cache_release();
        const void* first = Series<uint8_t>(1000 * sizeof(Trade), 0xA5).data();
        tidemark::TradeList again(in_place ? 0 : 1000);
        again.reserve(1000);
        while (again.size() < 1000) again.emplace_back();
        EXPECT_EQ(static_cast<const void*>(again.data()), first) << in_place;
        for (const Trade& t : again) {
            ASSERT_TRUE(!t.fee_breakdown && t.symbol.empty() && t.id + t.entry_idx + t.exit_idx == 0u &&
                        t.entry_time + t.exit_time == 0 && t.direction == 1 &&
                        t.exit_reason == tidemark::ExitReason::Signal);
            for (double v : {t.entry_price, t.exit_price, t.size, t.pnl, t.pnl_pct, t.fees, t.entry_fees, t.exit_fees})
                ASSERT_EQ(v, 0.0);
        }
    }
    tidemark::series_cache_release();
}

// Below and above the streaming size, at any alignment, with a short tail: the bytes and nothing past them.
TEST(BlockCopy, CopiesEveryByteAndNothingElse) {
    const std::size_t t = tidemark::kStreamCopyThreshold;
    std::vector<unsigned char> src(t + 256);
    for (std::size_t i = 0; i < src.size(); ++i) src[i] = static_cast<unsigned char>(i * 131 + i / 251);
    std::vector<unsigned char> dst(t + 256);
    for (std::size_t bytes : {std::size_t{1}, std::size_t{100}, t - 1, t, t + 63, t + 129}) {
        for (std::size_t src_off : {0, 8, 5}) {
            for (std::size_t dst_off : {0, 16, 8, 3}) {
                std::fill(dst.begin(), dst.end(), static_cast<unsigned char>(0xA5));
                tidemark::copy_block(dst.data() + dst_off, src.data() + src_off, bytes);
                ASSERT_TRUE(std::equal(dst.begin() + dst_off, dst.begin() + dst_off + bytes, src.begin() + src_off))
                    << bytes << " " << src_off << " " << dst_off;
                ASSERT_TRUE(std::all_of(dst.begin(), dst.begin() + dst_off, [](unsigned char c) { return c == 0xA5; }));
                ASSERT_TRUE(std::all_of(dst.begin() + dst_off + bytes, dst.end(),
                                        [](unsigned char c) { return c == 0xA5; }));
            }
        }
    }
}

#if defined(__SANITIZE_ADDRESS__)
// A kept block stays poisoned: the sanitizer build still reports a read of a freed series.
TEST(SeriesStorageDeathTest, KeptBlocksStayPoisoned) {
    EXPECT_DEATH(
        {
            const double* gone = nullptr;
            {
                Series<double> s(50'000, 1.0);
                gone = s.data();
            }
            volatile double x = gone[10];
            (void)x;
        },
        "use-after-poison");
}
#endif
