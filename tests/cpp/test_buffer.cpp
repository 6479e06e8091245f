#include <gtest/gtest.h>

#include <cstdint>

#include "core/buffer.h"

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
