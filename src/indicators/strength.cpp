#include "indicators/strength.h"

#include <cmath>

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

DirectionalMove directional_move(const double* h, const double* l, const double* c, std::size_t i) {
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

}  // namespace

SeriesResult compute_adx(std::span<const double> high, std::span<const double> low, std::span<const double> close,
                         uint64_t period) {
    const std::size_t n = close.size();
    if (auto e = check_lengths(n, {high.size(), low.size()})) return *e;
    if (period == 0) return IndicatorError::invalid("ADX period must be > 0");

    Series<double> out = nan_series(n);
    // 2p > n, written so that a huge period cannot overflow.
    if (period > n / 2) return out;
    const std::size_t p = static_cast<std::size_t>(period);
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
    for (std::size_t i = 2 * p; i < n; ++i) {
        smooth(directional_move(h, l, c, i));
        adx = (adx * pm1 + directional_index(s_dm, s_tr)) / pd;
        o[i] = adx;
    }
    return out;
}

}  // namespace tidemark
