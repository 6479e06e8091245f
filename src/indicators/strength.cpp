#include "indicators/strength.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "indicators/extrema.h"

namespace tidemark {

namespace {

// ADX needs seven divisions a bar and the divider, not the adder, sets its
// pace: the plus and minus sides go through it as pairs.
using Pair = F64x2;

struct DirectionalMove {
    Pair dm;  // (+DM, -DM)
    double tr;
};

[[gnu::always_inline]] inline DirectionalMove directional_move(const double* h, const double* l, const double* c, std::size_t i) {
    const double up = h[i] - h[i - 1];
    const double down = l[i - 1] - l[i];
    return {Pair{keep_if((up > 0.0) & (up > down), up), keep_if((down > up) & (down > 0.0), down)},
            true_range(h[i], l[i], c[i - 1])};
}

// DX from the smoothed sums; 0 where it cannot be formed. A NaN true range
// makes its sum NaN, the test fails and DX falls to 0, not NaN.
double directional_index(Pair s_dm, double s_tr) {
    if (!(s_tr > 0.0)) return 0.0;
    const Pair di = s_dm * 100.0 / s_tr;  // (+DI, -DI)
    const double sum = di[0] + di[1];
    if (!(sum > 0.0)) return 0.0;
    return std::fabs(di[0] - di[1]) * 100.0 / sum;
}

// directional_index for four bars at once, from their smoothed sums in
// memory: the same operations lane by lane, every lane computed and the
// zeros selected where a test fails.
[[gnu::always_inline]] inline void directional_index4(const double* s_plus, const double* s_minus, const double* s_tr, double* dx) {
    F64x4 plus, minus, tr;
    std::memcpy(&plus, s_plus, sizeof plus);
    std::memcpy(&minus, s_minus, sizeof minus);
    std::memcpy(&tr, s_tr, sizeof tr);
    const F64x4 di_plus = plus * 100.0 / tr, di_minus = minus * 100.0 / tr;
    const F64x4 sum = di_plus + di_minus;
    const F64x4 diff = di_plus - di_minus;
    const F64x4 abs_diff = reinterpret_cast<F64x4>(reinterpret_cast<I64x4>(diff) & std::numeric_limits<int64_t>::max());
    const F64x4 v = abs_diff * 100.0 / sum;
    const F64x4 r = (tr > 0.0) & (sum > 0.0) ? v : F64x4{};
    std::memcpy(dx, &r, sizeof r);
}

}  // namespace

TIDEMARK_VECTOR_CLONES
SeriesResult compute_adx(std::span<const double> high, std::span<const double> low, std::span<const double> close,
                         uint64_t period) {
    const std::size_t n = close.size();
    if (auto e = check_lengths(n, {high.size(), low.size()})) return *e;
    if (period == 0) return IndicatorError::invalid("ADX period must be > 0");

    // 2p > n, written so that a huge period cannot overflow.
    if (period > n / 2) return nan_series(n);
    const std::size_t p = static_cast<std::size_t>(period);
    Series<double> out = warmup_series(n, 2 * p - 1);
    const double pd = static_cast<double>(p);
    const double pm1 = static_cast<double>(p - 1);
    const double* h = high.data();
    const double* l = low.data();
    const double* c = close.data();
    double* o = out.data();

    // Plain sums of bars 1 .. p, then Wilder's running sums S - S/p + new.
    Pair s_dm = {0.0, 0.0};
    double s_tr = 0.0;
    for (std::size_t i = 1; i <= p; ++i) {
        const DirectionalMove m = directional_move(h, l, c, i);
        s_dm += m.dm;
        s_tr += m.tr;
    }
    auto smooth = [&](const DirectionalMove& m) {
        s_dm = s_dm - s_dm / pd + m.dm;
        s_tr = s_tr - s_tr / pd + m.tr;
    };
    // ADX seeds at 2p - 1 on the mean of DX[p .. 2p-1], then smooths.
    double dx_sum = directional_index(s_dm, s_tr);
    for (std::size_t i = p + 1; i < 2 * p; ++i) {
        smooth(directional_move(h, l, c, i));
        dx_sum += directional_index(s_dm, s_tr);
    }
    double adx = dx_sum / pd;
    o[2 * p - 1] = adx;

    // From here on three chains step a bar each: the smoothed (+DM, -DM, TR)
    // sums and the ADX itself, each through a division. The divider sets the
    // pace, so its work is packed into as few vector instructions as the
    // lanes allow: the three sums step as one vector (lane by lane the steps
    // above), and the DX of each bar, which no sum depends on, is formed
    // kLag bars behind the sums, four bars at a time, from sums parked in a
    // ring. The ADX chain takes the DX in order, a step beside each step of
    // the sums: two chains that wait on the divider side by side, and not
    // one stretch of each in turn, which would fill the scheduler with the
    // waiting steps of one and stall the other.
    const F64x4 pd4 = F64x4{} + pd;
    F64x4 sums = {s_dm[0], s_dm[1], s_tr, 0.0};
    constexpr std::size_t kLag = 64;
    constexpr std::size_t kMask = kLag - 1;
    alignas(32) double ring_plus[kLag], ring_minus[kLag], ring_tr[kLag];
    const std::size_t first = 2 * p;
    // Ring slots count from the first bar of this stretch, so that a group
    // of four never straddles the end of the ring.
    auto step_sums = [&](std::size_t i, std::size_t slot, double tr) {
        const double up = h[i] - h[i - 1];
        const double down = l[i - 1] - l[i];
        const F64x4 move = {keep_if((up > 0.0) & (up > down), up), keep_if((down > up) & (down > 0.0), down), tr, 0.0};
        sums = sums - sums / pd4 + move;
        ring_plus[slot] = sums[0];
        ring_minus[slot] = sums[1];
        ring_tr[slot] = sums[2];
    };
    alignas(32) double dx[4];
    std::size_t i = first;
    // True ranges two bars at a time (the same values as true_range).
    alignas(32) double tr[4];
    auto true_ranges = [&](std::size_t i) {
        true_range_pair(h + i, l + i, c + i - 1, tr[0], tr[1]);
        true_range_pair(h + i + 2, l + i + 2, c + i + 1, tr[2], tr[3]);
    };
    // A bar with neither high nor low (a missing bar) has a NaN true range,
    // and a NaN never leaves the running TR sum: from there on every DX is
    // 0 and the ADX only decays, which the tail below takes without the
    // sums. Checked once per group of four bars, after the group.
    auto tr_sum_lost = [&] { return sums[2] != sums[2]; };
    bool lost = false;
    for (; i + 4 <= n && i < first + kLag && !lost; i += 4) {
        true_ranges(i);
        for (std::size_t k = 0; k < 4; ++k) step_sums(i + k, i - first + k, tr[k]);
        lost = tr_sum_lost();
    }
    for (; i + 4 <= n && !lost; i += 4) {
        // The bars kLag back share their ring slots with these: their DX is
        // taken before the slots are written.
        const std::size_t s = (i - first) & kMask;
        directional_index4(ring_plus + s, ring_minus + s, ring_tr + s, dx);
        true_ranges(i);
        for (std::size_t k = 0; k < 4; ++k) {
            step_sums(i + k, s + k, tr[k]);
            adx = (adx * pm1 + dx[k]) / pd;
            o[i - kLag + k] = adx;
        }
        lost = tr_sum_lost();
    }
    for (std::size_t j = i >= first + kLag ? i - kLag : first; j < i; j += 4) {
        const std::size_t s = (j - first) & kMask;
        directional_index4(ring_plus + s, ring_minus + s, ring_tr + s, dx);
        for (std::size_t k = 0; k < 4; ++k) {
            adx = (adx * pm1 + dx[k]) / pd;
            o[j + k] = adx;
        }
    }
    s_dm = Pair{sums[0], sums[1]};
    s_tr = sums[2];
    if (s_tr != s_tr) {
        // DX is 0 from here on: the ADX steps as before with a DX of 0, and
        // once a step gives back the same value (0, or a subnormal the
        // division rounds back to itself) every later one does. The steps
        // down there would run on subnormal numbers, dozens of times slower
        // than on normal ones.
        for (; i < n; ++i) {
            const double next = (adx * pm1 + 0.0) / pd;
            if (std::bit_cast<uint64_t>(next) == std::bit_cast<uint64_t>(adx)) break;
            adx = next;
            o[i] = adx;
        }
        std::fill(o + i, o + n, adx);
        return out;
    }
    for (; i < n; ++i) {
        smooth(directional_move(h, l, c, i));
        adx = (adx * pm1 + directional_index(s_dm, s_tr)) / pd;
        o[i] = adx;
    }
    return out;
}

}  // namespace tidemark
