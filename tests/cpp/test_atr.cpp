#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "indicators/volatility.h"

using tidemark::compute_atr;
using tidemark::IndicatorError;
using V = tidemark::Series<double>;

namespace {
// True ranges 2, 3 (gap to previous close), 4 (low below previous close), 7, 1.
const V kHigh{10, 12, 11, 15, 14};
const V kLow{8, 9, 7, 12, 13};
const V kClose{9, 11, 8, 14, 13.5};
}  // namespace

TEST(AtrSeries, SeedIsMeanOfFirstTrueRangesThenWilderSmoothing) {
    const auto r = compute_atr(kHigh, kLow, kClose, 3);
    ASSERT_TRUE(r.ok());
    const V& a = r.value();
    ASSERT_EQ(a.size(), 5u);
    EXPECT_TRUE(std::isnan(a[0]));
    EXPECT_TRUE(std::isnan(a[1]));
    EXPECT_DOUBLE_EQ(a[2], 3.0);
    EXPECT_DOUBLE_EQ(a[3], 13.0 / 3.0);
    EXPECT_DOUBLE_EQ(a[4], 29.0 / 9.0);
}

TEST(AtrSeries, TooFewBarsIsAllNan) {
    const V h(kHigh.begin(), kHigh.begin() + 3), l(kLow.begin(), kLow.begin() + 3),
        c(kClose.begin(), kClose.begin() + 3);
    const auto r = compute_atr(h, l, c, 3);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r.value().size(), 3u);
    for (double v : r.value()) EXPECT_TRUE(std::isnan(v));

    const auto one = compute_atr(V{5}, V{4}, V{4.5}, 1);
    ASSERT_TRUE(one.ok());
    ASSERT_EQ(one.value().size(), 1u);
    EXPECT_TRUE(std::isnan(one.value()[0]));

    const auto empty = compute_atr(V{}, V{}, V{}, 14);
    ASSERT_TRUE(empty.ok());
    EXPECT_TRUE(empty.value().empty());
}

TEST(AtrSeries, PeriodOneIsTheTrueRange) {
    const auto r = compute_atr(kHigh, kLow, kClose, 1);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value(), (V{2, 3, 4, 7, 1}));
}

TEST(AtrSeries, NanCandidatesLoseToNumbers) {
    const double nan = std::nan("");
    // A NaN previous close leaves only high - low (2, not the gap of 10).
    const auto a = compute_atr(V{10, 20}, V{9, 18}, V{nan, 19}, 1);
    ASSERT_TRUE(a.ok());
    EXPECT_EQ(a.value()[1], 2.0);
    // All three candidates NaN.
    const auto b = compute_atr(V{10, nan}, V{9, nan}, V{9.5, 9.5}, 1);
    ASSERT_TRUE(b.ok());
    EXPECT_TRUE(std::isnan(b.value()[1]));
    // -0 (high - low) against +0 (the gaps): +0 wins.
    const auto c = compute_atr(V{0.0, -0.0}, V{0.0, 0.0}, V{0.0, 0.0}, 1);
    ASSERT_TRUE(c.ok());
    EXPECT_FALSE(std::signbit(c.value()[1]));
}

TEST(AtrErrors, LengthsCheckedBeforePeriodHighBeforeLow) {
    const auto low_short = compute_atr(V{1, 2, 3}, V{1, 2}, V{1, 2, 3}, 0);
    ASSERT_FALSE(low_short.ok());
    EXPECT_EQ(low_short.error().kind, IndicatorError::DataLengthMismatch);
    EXPECT_EQ(low_short.error().expected, 3u);
    EXPECT_EQ(low_short.error().got, 2u);
    EXPECT_EQ(low_short.error().text(), "Data length mismatch: expected 3, got 2");

    const auto both = compute_atr(V{1, 2, 3, 4}, V{1}, V{1, 2, 3}, 2);
    ASSERT_FALSE(both.ok());
    EXPECT_EQ(both.error().got, 4u);
}

TEST(AtrErrors, ZeroPeriodIsInvalid) {
    const auto r = compute_atr(kHigh, kLow, kClose, 0);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, IndicatorError::InvalidParameter);
    EXPECT_EQ(r.error().text(), "Invalid parameter: ATR period must be > 0");
}

namespace {

// (high, low, close) of a walk long enough for compute_atr to run its chains
// side by side, from exactly rounded steps.
std::array<V, 3> walk(std::size_t n) {
    std::array<V, 3> w{V(n), V(n), V(n)};
    std::mt19937_64 rng(99);
    double level = 100.0;
    for (std::size_t i = 0; i < n; ++i) {
        level *= 1.0 + static_cast<double>(static_cast<int>(rng() % 201) - 100) / 10000.0;
        w[0][i] = level + static_cast<double>(rng() % 64) / 32.0;
        w[1][i] = level - static_cast<double>(rng() % 64) / 32.0;
        w[2][i] = level;
    }
    return w;
}

}  // namespace

// A pass run a stretch at a time, however the bars are split (stretches
// that end before the seed, empty ones, ones past the end, odd and even
// lengths, ends inside a flat stretch long enough for the pass to hold its
// fixed point), gives compute_atr's values bit for bit, NaN bars included.
TEST(AtrSeries, PassInStretchesMatchesTheWholeSeries) {
    auto [h, l, c] = walk(70'000);
    const std::size_t n = c.size();
    for (V* col : {&h, &l, &c}) std::fill(col->begin() + 20'000, col->begin() + 45'000, c[19'999]);
    h[60'040] = c[60'077] = std::nan("");
    const std::vector<std::vector<std::size_t>> splits = {
        {n}, {3, 9, 10, 10, 11, 150, 150, 299, 30'000, 30'001, 60'050, n + 5},
        {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, n}};
    for (std::size_t p : {std::size_t{1}, std::size_t{2}, std::size_t{14}}) {
        const auto whole = compute_atr(h, l, c, p);
        ASSERT_TRUE(whole.ok());
        for (const auto& ends : splits) {
            V out(n, std::nan(""));
            tidemark::AtrPass pass(h, l, c, p);
            std::size_t written = 0;
            for (std::size_t end : ends) {
                pass.run_to(end, [&](std::size_t i, double v) {
                    ASSERT_EQ(i, std::max(written, p - 1));
                    out[i] = v;
                    written = i + 1;
                });
            }
            for (std::size_t i = 0; i < n; ++i)
                ASSERT_EQ(std::memcmp(&whole.value()[i], &out[i], sizeof(double)), 0) << "p " << p << " bar " << i;
        }
    }
}

// Two bars' true ranges formed together are those of true_range, bit for
// bit, on every mix of edge values: signed zeros (a range of -0 tying with a
// gap of +0), NaN in any column, infinities and a low above the high.
TEST(AtrSeries, PairedTrueRangesMatchSingleOnes) {
    const double nan = std::nan(""), inf = std::numeric_limits<double>::infinity();
    const double values[] = {0.0, -0.0, 1.0, 2.5, -3.0, nan, inf, -inf};
    for (double h0 : values)
        for (double l0 : values)
            for (double c0 : values)
                for (double h1 : {0.0, -0.0, 4.0, nan}) {
                    const double high[2] = {h0, h1}, low[2] = {l0, -0.0}, prev[2] = {c0, 0.0};
                    double first = 0.0, second = 0.0;
                    tidemark::true_range_pair(high, low, prev, first, second);
                    const double want_first = tidemark::true_range(h0, l0, c0);
                    const double want_second = tidemark::true_range(h1, -0.0, 0.0);
                    ASSERT_EQ(std::memcmp(&first, &want_first, sizeof first), 0) << h0 << " " << l0 << " " << c0;
                    ASSERT_EQ(std::memcmp(&second, &want_second, sizeof second), 0) << h1;
                }
}


// One bar of edge values (signed zeros, infinities, NaN of several payloads
// and signs) at every position within a vector of the chains' true ranges,
// and a later missing bar of another NaN, give the single chain's values bit
// for bit, except that once the average is NaN a NaN true range replaces it
// (where two NaN meet in the single chain's sum, the compiler picks one).
TEST(AtrSeries, ChainsMatchTheSingleChainOnEveryEdgeBar) {
    const double nan = std::nan(""), inf = std::numeric_limits<double>::infinity();
    const double values[] = {0.0, -0.0, 2.5, -3.0, nan, std::bit_cast<double>(uint64_t{0x7FF8000000000123}),
                             std::bit_cast<double>(uint64_t{0xFFF8000000000456}), inf, -inf};
    auto base = walk(12'000);
    for (V& col : base) col[8000] = std::bit_cast<double>(uint64_t{0x7FF8000000000789});
    for (std::size_t p : {std::size_t{1}, std::size_t{2}})
        for (std::size_t at = 6000; at < 6008; ++at)
            for (double hv : values)
                for (double lv : values)
                    for (double cv : values) {
                        auto [h, l, c] = base;
                        h[at] = hv;
                        l[at] = lv;
                        c[at - 1] = cv;
                        const auto got = compute_atr(h, l, c, p);
                        ASSERT_TRUE(got.ok());
                        V single(c.size());
                        tidemark::AtrPass(h, l, c, p).run_to(c.size(), [&](std::size_t i, double v) { single[i] = v; });
                        double want = single[p - 1];
                        for (std::size_t i = p - 1; i < c.size(); ++i) {
                            const double tr = i < p ? 0.0 : tidemark::true_range(h[i], l[i], c[i - 1]);
                            if (i >= p) want = want != want ? (tr != tr ? tr : want) : single[i];
                            ASSERT_EQ(std::bit_cast<uint64_t>(got.value()[i]), std::bit_cast<uint64_t>(want))
                                << "p " << p << " bar " << i << " edge bar " << at << ": " << hv << " " << lv << " "
                                << cv;
                        }
                    }
}

namespace {

// compute_atr's values against the single chain's, bit for bit.
void expect_single_chain(const V& h, const V& l, const V& c, std::size_t p, const std::string& what) {
    const auto got = compute_atr(h, l, c, p);
    ASSERT_TRUE(got.ok());
    V want(c.size(), std::nan(""));
    tidemark::AtrPass(h, l, c, p).run_to(c.size(), [&](std::size_t i, double v) { want[i] = v; });
    for (std::size_t i = 0; i < c.size(); ++i)
        ASSERT_EQ(std::bit_cast<uint64_t>(got.value()[i]), std::bit_cast<uint64_t>(want[i]))
            << what << ": p " << p << " n " << c.size() << " bar " << i;
}

}  // namespace

// Lanes start from estimates of the chain a few periods before their own
// bars, from stretches of a couple of warm-ups on: every length from one to
// three warm-ups (where the lanes start to pay, and where a lane is shorter
// than its warm-up) gives the single chain's values.
TEST(AtrSeries, LanesMatchTheSingleChainWhereTheyStartToPay) {
    const auto [h, l, c] = walk(8'000);
    for (std::size_t p : {2, 14, 50, 200, 500}) {
        const std::size_t warm = 4 * p + 64;
        for (std::size_t n = p + warm; n <= std::min<std::size_t>(h.size(), p + 3 * warm); n += 1 + warm / 16) {
            const V hn(h.begin(), h.begin() + n), ln(l.begin(), l.begin() + n), cn(c.begin(), c.begin() + n);
            expect_single_chain(hn, ln, cn, p, "walk");
        }
    }
}

// A long run of true range +0 leaves the lanes and is stepped beside the
// true ranges after it, a shorter one stays with them: runs from right after
// the seed, on chunk edges of 1024 bars and off them, to the end of the
// series, ended by a missing bar, and entered with a negative average (where
// a step is not the product alone).
TEST(AtrSeries, FlatRunsMatchTheSingleChain) {
    struct Run {
        const char* what;
        std::size_t from, to;  // bars held flat; to == 0: to the end
        bool gap_after, negative_before;
    };
    const double nan = std::nan("");
    for (std::size_t p : {1, 2, 3, 14, 200}) {
        const Run runs[] = {{"after the seed", p, p + 3000, false, false},
                            {"one chunk off its edges", 5000, 6024, false, false},
                            {"on chunk edges", p + 3 * 1024, p + 8 * 1024, false, false},
                            {"to the end", 9000, 0, false, false},
                            {"ended by a missing bar", 9000, 13'500, true, false},
                            {"from a negative average", 14'000, 18'000, false, true}};
        for (const Run& run : runs) {
            auto [h, l, c] = walk(20'000);
            const std::size_t to = run.to ? run.to : c.size();
            if (run.negative_before) {
                // high below low and no previous close: the true range is high - low < 0
                for (std::size_t i = run.from - 40 * p - 40; i < run.from; ++i) {
                    std::swap(h[i], l[i]);
                    c[i - 1] = nan;
                }
            }
            const double level = std::isnan(c[run.from - 1]) ? l[run.from - 1] : c[run.from - 1];
            for (V* col : {&h, &l, &c}) std::fill(col->begin() + run.from, col->begin() + to, level);
            if (run.negative_before) c[run.from - 1] = nan;
            if (run.gap_after) h[to] = l[to] = c[to] = nan;
            expect_single_chain(h, l, c, p, run.what);
        }
    }
}

// A run of +0 long enough to leave the lanes is guessed beside the bars
// before it (stepped in the lanes or one at a time) by a chain that starts a
// warm-up before the run: its steps of the run are kept only where they are
// the chain's. Walks of every length from a warm-up to a few before runs to
// the end of the series and runs ended by a walk, at the periods where the
// guess meets the chain soon, late or not at all, give the single chain's
// values.
TEST(AtrSeries, RunsGuessedBesideTheBarsBeforeThemMatchTheSingleChain) {
    const auto [wh, wl, wc] = walk(16'000);
    for (std::size_t p : {1, 2, 14, 50, 200, 500}) {
        const std::size_t warm = 4 * p + 64;
        for (std::size_t before = p + warm; before <= p + 6 * warm; before += 1 + warm / 5) {
            for (std::size_t length : {std::size_t{0}, std::size_t{3000}}) {
                V h = wh, l = wl, c = wc;
                const std::size_t to = length ? before + length : c.size();
                for (V* col : {&h, &l, &c}) std::fill(col->begin() + before, col->begin() + to, c[before - 1]);
                expect_single_chain(h, l, c, p, length ? "run and walk" : "run to the end");
            }
        }
    }
}

// The bars after a chunk that ends in +0 are looked at for the run's length
// without their true ranges: a bar whose high, low and previous close are
// the same number holds the run only if that number is finite. Short runs
// ended by missing bars (every column the same NaN), and a run up to a
// chunk's last bar whose close is +inf followed by bars all +inf (their true
// ranges NaN), give the single chain's values.
TEST(AtrSeries, TheLookPastAChunkStopsAtBarsThatAreNotFlat) {
    const auto [wh, wl, wc] = walk(16'000);
    const double nan = std::nan("");
    for (std::size_t p : {1, 2, 14, 50, 200, 500}) {
        const std::size_t warm = 4 * p + 64;
        for (std::size_t before = p + warm; before <= p + 6 * warm; before += 1 + warm / 5) {
            V h = wh, l = wl, c = wc;
            const std::size_t to = before + 1500;
            for (V* col : {&h, &l, &c}) std::fill(col->begin() + before, col->begin() + to, c[before - 1]);
            for (V* col : {&h, &l, &c}) std::fill(col->begin() + to, col->begin() + to + 1000, nan);
            expect_single_chain(h, l, c, p, "run and missing bars");
        }
        V h = wh, l = wl, c = wc;
        const std::size_t edge = p + 4 * 1024, inf_to = edge + 2000;
        for (V* col : {&h, &l, &c}) std::fill(col->begin() + edge - 704, col->begin() + edge, c[edge - 705]);
        for (V* col : {&h, &l, &c}) std::fill(col->begin() + edge, col->begin() + inf_to, HUGE_VAL);
        c[edge - 1] = HUGE_VAL;
        expect_single_chain(h, l, c, p, "run and infinite bars");
    }
}

// Series long enough for the chains that take their own true ranges (from
// 2^19 bars) and for those that also write past the caches (from 3 * 2^18),
// against the single chain over every bar: flat stretches where a chain
// takes over, late in the first chain's bars (its place then steps a copy of
// the next) and to the end, missing bars, and periods whose seed leaves the
// first chain 0-3 bars short of an aligned start.
TEST(AtrSeries, LongSeriesMatchTheSingleChain) {
    const double nan = std::nan("");
    for (std::size_t n : {std::size_t{1} << 19, (std::size_t{3} << 18) + 2'049}) {
        const auto base = walk(n);
        const std::size_t q = n / 4;
        struct Case {
            const char* what;
            std::size_t from, to;  // bars held flat (none where from == to)
            std::size_t missing;   // a missing bar (none where 0)
        };
        const Case cases[] = {{"walk", 0, 0, 0},
                              {"flat where the chains take over", q - 100, 3 * q + 4'000, 0},
                              {"flat late in the first chain", q - 60'000, q - 20'000, 0},
                              {"flat from a third to the end", n / 3, n, 0},
                              {"flat, then a missing bar", q + q / 2, q + q / 2 + 30'000, 3 * q + q / 2},
                              {"a missing bar late in the last chain", 0, 0, n - 3'000}};
        for (const Case& k : cases) {
            auto [h, l, c] = base;
            if (k.from < k.to)
                for (V* col : {&h, &l, &c}) std::fill(col->begin() + k.from, col->begin() + k.to, c[k.from - 1]);
            if (k.missing) h[k.missing] = l[k.missing] = c[k.missing] = nan;
            for (std::size_t p : {1, 2, 3, 4, 14, 500}) expect_single_chain(h, l, c, p, k.what);
        }
    }
}

// A period so long that a stretch left after a stop is longer than the
// chains' smallest piece but shorter than their warm-up: a missing bar
// 66,000 bars before the end of 6,000,000 at period 17,000.
TEST(AtrSeries, LongPeriodWithABarMissingNearTheEnd) {
    auto [h, l, c] = walk(6'000'000);
    const std::size_t m = c.size() - 66'000;
    h[m] = l[m] = c[m] = std::nan("");
    expect_single_chain(h, l, c, 17'000, "long period");
}
