#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "indicators/extrema.h"

using tidemark::max_num;
using tidemark::min_num;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

bool same_bits(double a, double b) { return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b); }

}  // namespace

// maxNum / minNum: a NaN loses to a number, +0 beats -0 for the maximum and
// -0 beats +0 for the minimum, whatever the operand order.
TEST(Extrema, MaxNumAndMinNum) {
    struct Case {
        double a, b, max, min;
    };
    const Case cases[] = {
        {1.0, 2.0, 2.0, 1.0},    {2.0, 1.0, 2.0, 1.0},      {-0.0, 0.0, 0.0, -0.0},  {0.0, -0.0, 0.0, -0.0},
        {-0.0, -0.0, -0.0, -0.0}, {kNaN, 3.0, 3.0, 3.0},    {3.0, kNaN, 3.0, 3.0},   {-kInf, kNaN, -kInf, -kInf},
        {kInf, -kInf, kInf, -kInf}, {-5.0, -5.0, -5.0, -5.0},
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(same_bits(max_num(c.a, c.b), c.max)) << c.a << " " << c.b;
        EXPECT_TRUE(same_bits(min_num(c.a, c.b), c.min)) << c.a << " " << c.b;
    }
    // Two NaN give the second operand, as the scalar rule reads.
    const double other = -std::numeric_limits<double>::quiet_NaN();
    EXPECT_TRUE(same_bits(max_num(kNaN, other), other));
    EXPECT_TRUE(same_bits(min_num(kNaN, other), other));
}
