#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

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

namespace {

using tidemark::rolling_extreme;

// The windowed extreme as stated: every window rescanned from the start value,
// NaN skipped, and NaN where nothing beat the start value.
template <bool Max>
std::vector<double> rescan(const std::vector<double>& x, std::size_t p) {
    const double start = Max ? -kInf : kInf;
    std::vector<double> out(x.size(), kNaN);
    for (std::size_t i = p - 1; i < x.size(); ++i) {
        double e = start;
        for (std::size_t j = i + 1 - p; j <= i; ++j)
            if (!std::isnan(x[j])) e = Max ? max_num(e, x[j]) : min_num(e, x[j]);
        out[i] = e == start ? kNaN : e;
    }
    return out;
}

enum class Stretch { Gaps, Infinities, SignedZeros, Flat };

// A walk in quarters (exact in binary) kept at least 1 away from zero, below
// it when `negative`, with stretches of `kind` written over it at every other
// edge of the kernel's runs of blocks (starting there, ending there or across
// it, 1 to 2p + 1 long) and at a few places between: the runs between hold
// none, so the plain and the exact folds meet at the edges.
std::vector<double> stretched_walk(Stretch kind, std::size_t n, std::size_t p, bool negative, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<double> x(n);
    int64_t level = 400;
    for (double& v : x) {
        level = std::max<int64_t>(4, level + static_cast<int64_t>(rng() % 9) - 4);
        v = (negative ? -1.0 : 1.0) * static_cast<double>(level) / 4.0;
    }
    const std::size_t run = std::max<std::size_t>(1, 2048 / p) * p;
    const std::size_t lengths[] = {1, 3, std::max<std::size_t>(1, p - 1), p, p + 1, 2 * p + 1};
    std::vector<std::size_t> at;
    for (std::size_t edge = p, c = 0; edge < n; edge += 2 * run, ++c) {
        const std::size_t len = lengths[c % 6];
        at.push_back(c % 3 == 0 ? edge : c % 3 == 1 ? edge - std::min(edge, len) : edge - std::min(edge, len / 2));
        at.push_back(len);
    }
    for (int r = 0; r < 3; ++r) {
        at.push_back(rng() % n);
        at.push_back(1 + rng() % (3 * p));
    }
    const double zero[] = {0.0, -0.0}, infinities[] = {kInf, -kInf};
    for (std::size_t s = 0; s < at.size(); s += 2) {
        const std::size_t from = at[s], to = std::min(n, at[s] + at[s + 1]);
        const double held = from > 0 ? x[from - 1] : 1.0;
        for (std::size_t i = from; i < to; ++i) {
            switch (kind) {
                case Stretch::Gaps: x[i] = kNaN; break;
                // All of one infinity, or one mixed with NaN: each way with each.
                case Stretch::Infinities:
                    x[i] = s / 2 % 2 == 0 || rng() % 2 ? infinities[s / 4 % 2] : kNaN;
                    break;
                case Stretch::SignedZeros: x[i] = rng() % 4 == 0 ? kNaN : zero[rng() % 2]; break;
                // Held at the last value, or at zero of alternating sign.
                case Stretch::Flat: x[i] = s % 4 == 0 ? zero[i % 2] : held; break;
            }
        }
    }
    return x;
}

template <bool Max>
void expect_rescan(const std::vector<double>& x, std::size_t p) {
    const double untouched = 12345.0;
    std::vector<double> o(x.size(), untouched);
    rolling_extreme<Max>(x.data(), x.size(), p, o.data());
    const std::vector<double> want = rescan<Max>(x, p);
    std::size_t wrong = 0, first = x.size();
    for (std::size_t i = 0; i < x.size(); ++i) {
        const bool ok = i + 1 < p ? same_bits(o[i], untouched) : same_bits(o[i], want[i]);
        if (!ok && wrong++ == 0) first = i;
    }
    EXPECT_EQ(wrong, 0u) << (Max ? "max" : "min") << " first at " << first << ": " << o[first] << " for "
                         << want[first];
}

}  // namespace

// Every stretch the plain fold must not get wrong, at the edges between the
// runs it folds plainly and those it folds exactly, for blocks shorter and
// longer than a run and a partial block at the end: the bits of a rescan.
TEST(Extrema, RollingExtremesOnStretchedWalks) {
    for (Stretch kind : {Stretch::Gaps, Stretch::Infinities, Stretch::SignedZeros, Stretch::Flat}) {
        for (std::size_t p : {1, 2, 3, 14, 200, 1023, 2048, 2049}) {
            const std::size_t n = std::max<std::size_t>(5 * 2048, 3 * p) + p / 2 + 3;
            SCOPED_TRACE(testing::Message() << "stretch " << static_cast<int>(kind) << " period " << p);
            // Zeros are the extremes of a walk on the far side of them.
            expect_rescan<true>(stretched_walk(kind, n, p, kind == Stretch::SignedZeros, p), p);
            expect_rescan<false>(stretched_walk(kind, n, p, false, p), p);
        }
    }
}

// Series with nothing else: all NaN, all of one infinity, NaN and the start
// value, zeros of both signs.
TEST(Extrema, RollingExtremesOfSeriesWithoutNumbers) {
    const std::size_t n = 5000;
    const std::vector<double> pattern[] = {{kNaN}, {kInf}, {-kInf}, {kNaN, -kInf}, {kNaN, kInf}, {-0.0, kNaN, 0.0},
                                           {-0.0}};
    for (const auto& fill : pattern) {
        std::vector<double> x(n);
        for (std::size_t i = 0; i < n; ++i) x[i] = fill[i * 7 / 5 % fill.size()];
        for (std::size_t p : {1, 2, 14, 2049}) {
            SCOPED_TRACE(testing::Message() << "first value " << fill[0] << " period " << p);
            expect_rescan<true>(x, p);
            expect_rescan<false>(x, p);
        }
    }
}
