#include <gtest/gtest.h>

#include <vector>

#include "core/errors.h"
#include "signals/synchronizer.h"

using namespace tidemark;

// A flag column shorter than the bars is a fault, not a read past its end.
TEST(Synchronizer, ShortFlagColumnsAreFaults) {
    std::vector<std::vector<uint8_t>> flags(3, std::vector<uint8_t>(6, 2)), none(3, std::vector<uint8_t>(6, 0));
    flags[1].pop_back();
    const std::vector<std::span<const uint8_t>> f(flags.begin(), flags.end()), n(none.begin(), none.end());
    EXPECT_THROW(synchronize_signals(f, n, SyncMode::Any), Fault);
    EXPECT_THROW(count_set_flags(f, 6), Fault);
    EXPECT_EQ(count_set_flags(f, 5)[4], 3u);
}
