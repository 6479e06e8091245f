#include "indicators/volatility.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "core/lanes.h"
#include "indicators/trend.h"

namespace tidemark {

std::string IndicatorError::text() const {
    if (kind == DataLengthMismatch) {
        return "Data length mismatch: expected " + std::to_string(expected) + ", got " +
               std::to_string(got);
    }
    return "Invalid parameter: " + message;
}

std::optional<IndicatorError> check_lengths(std::size_t reference, std::initializer_list<std::size_t> others) {
    for (std::size_t len : others)
        if (len != reference) return IndicatorError::length_mismatch(reference, len);
    return std::nullopt;
}

std::optional<IndicatorError> atr_input_error(std::size_t high, std::size_t low, std::size_t close,
                                              uint64_t period) {
    if (auto e = check_lengths(close, {high, low})) return e;
    if (period == 0) return IndicatorError::invalid("ATR period must be > 0");
    return std::nullopt;
}

namespace {

// The Wilder ATR is one chain of a rounded product and a rounded sum per bar,
// six cycles a bar however wide the vector unit. Over a long series it is
// run as K chains at once, one per vector lane, each over its own stretch of
// bars: every lane but the first starts from a guess `warm` bars before its
// stretch. Two chains through the same true ranges meet: each step shrinks
// their distance by the factor 1 - 1/p, and once it is within a rounding of
// the value the roundings make the two values the same number, after which
// they stay the same. So the guessed chain is checked where it takes over:
// its value at the last bar before its stretch must be, bit for bit, the
// value the lane before it (checked itself) computed there; if it is not,
// the stretch is recomputed one bar at a time from that value until the
// two chains meet. Either way every value is the one the single chain
// gives. Merging takes about p * (log(distance / rounding) + 0.6) steps; the
// warm-up allows 48 p, so that a recomputation is rare and short.
constexpr std::size_t kWilderLanes = 8;

inline std::size_t wilder_warmup(std::size_t p) { return 48 * p + 64; }

// True ranges of bars [i0, i1) into tr[0 .. i1 - i0), as true_range gives them:
// without a NaN the plain maxima are maxNum (see true_range_pair); a stretch
// with one is taken again with the NaN-aware pairwise maxima.
template <class V>
[[gnu::always_inline]] inline void true_range_lanes(const double* h, const double* l, const double* c,
                                                    std::size_t i0, std::size_t i1, double* tr) {
    using I = lanes::IntOf<V>;
    constexpr std::size_t N = lanes::count<V>;
    const I abs_mask = I{} + std::numeric_limits<int64_t>::max();
    std::size_t i = i0;
    // A NaN among the three makes the sum of their products with 0 NaN (as
    // does an infinity, which is then only taken again the slow way): found
    // with arithmetic, as ORed compare masks are taken apart lane by lane
    // where the unit cannot move them between its registers whole.
    V lost{};
    for (; i + N <= i1; i += N) {
        const V hv = lanes::load<V>(h + i), lv = lanes::load<V>(l + i), pc = lanes::load<V>(c + i - 1);
        const V range = hv - lv;
        const V up = reinterpret_cast<V>(reinterpret_cast<I>(hv - pc) & abs_mask);
        const V down = reinterpret_cast<V>(reinterpret_cast<I>(lv - pc) & abs_mask);
        lost = lost + (range + up + down) * 0.0;
        const V m = range > up ? range : up;
        lanes::store(tr + i - i0, m > down ? m : down);
    }
    bool nan = false;
    for (std::size_t l = 0; l < N; ++l) nan |= lost[l] != lost[l];
    if (nan) [[unlikely]] i = i0;
    for (; i < i1; ++i) tr[i - i0] = true_range(h[i], l[i], c[i - 1]);
}

struct WilderLanesArgs {
    const double *h, *l, *c;
    double* o;
    std::size_t first, n;    // true ranges of bars [first, n) into o first
    const std::size_t* bar;  // bar[k]: the first bar of lane k
    std::size_t warm, steps;
    Smoother w;
    const double* start;
    double* probe;
};

// The true ranges, then the K chains side by side through them, M vectors of
// N lanes: lane k steps through bars bar[k] .. bar[k] + steps - 1, writing
// its values in place of the true ranges from step `warm` on (lane 0 from
// step 0); its value after step warm - 1 is left in probe[k]. A lane reads
// each true range before the lane below it reaches that bar. The true
// ranges go first, in one pass in order: read from eight places at once,
// the inputs would come from memory at a fraction of the speed.
template <class V, std::size_t M>
[[gnu::always_inline]] inline void wilder_lanes(const WilderLanesArgs& args) {
    constexpr std::size_t N = lanes::count<V>;
    static_assert(M * N == kWilderLanes);
    double* const o = args.o;
    for (std::size_t i0 = args.first; i0 < args.n; i0 += 4096)
        true_range_lanes<V>(args.h, args.l, args.c, i0, std::min(args.n, i0 + 4096), o + i0);
    const V alpha = V{} + args.w.alpha, keep = V{} + args.w.keep;
    double* base[kWilderLanes];
    for (std::size_t k = 0; k < kWilderLanes; ++k) base[k] = o + args.bar[k];
    V a[M];
    for (std::size_t m = 0; m < M; ++m)
        for (std::size_t j = 0; j < N; ++j) a[m][j] = args.start[m * N + j];
    std::size_t t = 0;
    for (; t < args.warm; ++t) {
        for (std::size_t m = 0; m < M; ++m) {
            V x;
            for (std::size_t j = 0; j < N; ++j) x[j] = base[m * N + j][t];
            a[m] = alpha * x + keep * a[m];
        }
        base[0][t] = a[0][0];
    }
    for (std::size_t m = 0; m < M; ++m)
        for (std::size_t j = 0; j < N; ++j) args.probe[m * N + j] = a[m][j];
    for (; t < args.steps; ++t) {
        for (std::size_t m = 0; m < M; ++m) {
            V x;
            for (std::size_t j = 0; j < N; ++j) x[j] = base[m * N + j][t];
            a[m] = alpha * x + keep * a[m];
            for (std::size_t j = 0; j < N; ++j) base[m * N + j][t] = a[m][j];
        }
    }
}

template <std::size_t L>
[[gnu::always_inline]] inline void wilder_chains_lanes(const WilderLanesArgs& a) {
    wilder_lanes<lanes::F64<L>, kWilderLanes / L>(a);
}

TIDEMARK_LANE_VERSIONS(void, wilder_chains, (const WilderLanesArgs& a), wilder_chains_lanes, (a))

bool same_bits(double a, double b) { return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b); }

}  // namespace

SeriesResult compute_atr(std::span<const double> high, std::span<const double> low,
                         std::span<const double> close, uint64_t period) {
    const std::size_t n = close.size();
    if (auto e = atr_input_error(high.size(), low.size(), n, period)) return *e;

    // p bars give a seed but nothing to smooth it with: at least p + 1 are needed.
    if (n == 0 || n <= period) return nan_series(n);
    const std::size_t p = static_cast<std::size_t>(period);
    Series<double> out = warmup_series(n, p - 1);
    double* o = out.data();
    AtrPass pass(high, low, close, p);
    pass.run_to(p, [o](std::size_t i, double v) { o[i] = v; });
    const std::size_t first = p, rest = n - p;
    const std::size_t warm = wilder_warmup(p);
    if (p > rest / (8 * kWilderLanes * 48) || rest < 8 * kWilderLanes * warm) {
        pass.run_to(n, [o](std::size_t i, double v) { o[i] = v; });
        return out;
    }
    const double* h = high.data();
    const double* l = low.data();
    const double* c = close.data();
    const Smoother w = Smoother::wilder(p);
    // Lane k covers bars [bar_k, bar_k + steps), bar_k = first + k * len:
    // the first lane all of them, the others from bar_k + warm on.
    const std::size_t len = (rest - warm) / kWilderLanes, steps = len + warm;
    std::size_t bar[kWilderLanes];
    double start[kWilderLanes], probe[kWilderLanes];
    for (std::size_t k = 0; k < kWilderLanes; ++k) {
        bar[k] = first + k * len;
        // A guess near the level of the true ranges the lane starts on.
        double sum = 0.0;
        for (std::size_t i = bar[k]; i < bar[k] + p; ++i) sum += true_range(h[i], l[i], c[i - 1]);
        const double guess = sum / static_cast<double>(p);
        start[k] = k == 0 ? o[p - 1] : (guess == guess ? guess : o[p - 1]);
    }
    wilder_chains(WilderLanesArgs{h, l, c, o, first, n, bar, warm, steps, w, start, probe});
    for (std::size_t k = 1; k < kWilderLanes; ++k) {
        const std::size_t own = bar[k] + warm;  // the lane's first bar of its own
        double v = o[own - 1];
        if (same_bits(v, probe[k])) continue;
        for (std::size_t i = own; i < bar[k] + steps; ++i) {
            v = w.step(v, true_range(h[i], l[i], c[i - 1]));
            if (same_bits(v, o[i])) break;
            o[i] = v;
        }
    }
    double v = o[bar[kWilderLanes - 1] + steps - 1];
    for (std::size_t i = bar[kWilderLanes - 1] + steps; i < n; ++i) {
        v = w.step(v, true_range(h[i], l[i], c[i - 1]));
        o[i] = v;
    }
    return out;
}

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Sum of squared deviations of x[0 .. p) from m, in index order.
double squared_deviations(const double* x, std::size_t p, double m) {
    double dev = 0.0;
    for (std::size_t j = 0; j < p; ++j) {
        const double d = x[j] - m;
        dev += d * d;
    }
    return dev;
}

}  // namespace

TIDEMARK_VECTOR_CLONES
BollingerResult compute_bollinger(std::span<const double> data, uint64_t period, double std_dev) {
    if (period == 0) return IndicatorError::invalid("Bollinger Bands period must be > 0");
    if (std_dev <= 0.0) return IndicatorError::invalid("Bollinger Bands std_dev must be > 0");

    const std::size_t n = data.size();
    if (period > n) return BollingerSeries{nan_series(n), nan_series(n), nan_series(n)};
    const std::size_t p = static_cast<std::size_t>(period);
    BollingerSeries r{warmup_series(n, p - 1), warmup_series(n, p - 1), warmup_series(n, p - 1)};
    const double pd = static_cast<double>(p);
    const double* x = data.data();

    // The middle band is the SMA, its running sum stepped as sma_series steps
    // it, in the same pass as the deviation sums below: the three chains
    // step side by side.
    double sum = 0.0;
    for (std::size_t i = 0; i < p; ++i) sum += x[i];

    // The deviation sum of each window, sum (x - m)^2, costs p operations if
    // taken afresh at every index. Instead the window keeps running sums of
    // (x - c) and (x - c)^2 around a centre c, from which
    //   sum (x - m)^2 = S2 - 2 (m - c) S1 + p (m - c)^2.
    // The centre is the middle band at the last refresh, where the sums are
    // taken afresh (so that index gets the direct sum exactly). A refresh
    // comes every p steps, which bounds the drift of the running sums, and
    // whenever the deviation has shrunk to a small part of the squares it was
    // computed from (a spike leaving the window), where the subtraction would
    // cancel most of the digits. Both cost O(p) at most once per p steps in
    // ordinary data, so the whole series is O(n) whatever the period.
    constexpr double kCancellation = 1.0 / 1024.0;
    double* mid = r.middle.data();
    double* up = r.upper.data();
    double* lo = r.lower.data();
    double dev_block[kBlock];
    double c = 0.0, s1 = 0.0, s2 = 0.0, peak = 0.0;
    std::size_t since = p;  // steps since the last refresh; p forces one
    auto deviation = [&](std::size_t i, double m) {
        double dev;
        if (!(std::fabs(m) <= std::numeric_limits<double>::max())) [[unlikely]] {
            if (std::isnan(m)) {
                // A NaN holds the running middle sum for good: no bands.
                dev = m;
            } else {
                dev = squared_deviations(x + i + 1 - p, p, m);
                since = p;
            }
            return dev;
        }
        bool refresh = since >= p;
        if (!refresh) {
            const double out_c = x[i - p] - c, in_c = x[i] - c;
            s1 = s1 - out_c;
            s1 = s1 + in_c;
            s2 = s2 - out_c * out_c;
            s2 = s2 + in_c * in_c;
            peak = s2 > peak ? s2 : peak;
            const double d = m - c;
            dev = s2 - 2.0 * d * s1 + pd * d * d;
            refresh = !(dev >= peak * kCancellation) || !std::isfinite(s2);
            ++since;
        }
        if (refresh) [[unlikely]] {
            c = m;
            s1 = 0.0;
            s2 = 0.0;
            for (std::size_t k = i + 1 - p; k <= i; ++k) {
                const double d = x[k] - c;
                s1 += d;
                s2 += d * d;
            }
            dev = s2;
            peak = s2;
            since = 0;
        }
        return dev;
    };
    // The square roots and divisions of a block, which depend on no other
    // bar, go through the vector unit together.
    auto bands = [&](std::size_t i0, std::size_t len) {
        for (std::size_t j = 0; j < len; ++j) {
            const double sd = std_dev * std::sqrt(dev_block[j] / pd);
            up[i0 + j] = mid[i0 + j] + sd;
            lo[i0 + j] = mid[i0 + j] - sd;
        }
    };
    mid[p - 1] = sum / pd;
    dev_block[0] = deviation(p - 1, mid[p - 1]);
    bands(p - 1, 1);
    for (std::size_t i0 = p; i0 < n; i0 += kBlock) {
        const std::size_t len = i0 + kBlock < n ? kBlock : n - i0;
        for (std::size_t j = 0; j < len; ++j) {
            const std::size_t i = i0 + j;
            sum = sum - x[i - p];
            sum = sum + x[i];
            const double m = sum / pd;
            mid[i] = m;
            dev_block[j] = deviation(i, m);
        }
        bands(i0, len);
    }
    return r;
}

namespace {

template <bool Max>
SeriesResult rolling_extreme_series(std::span<const double> data, uint64_t period) {
    if (period == 0) return IndicatorError::invalid("period must be at least 1");
    const std::size_t n = data.size();
    if (period > n) return nan_series(n);
    const std::size_t p = static_cast<std::size_t>(period);
    Series<double> out = warmup_series(n, p - 1);
    rolling_extreme<Max>(data.data(), n, p, out.data());
    return out;
}

}  // namespace

SeriesResult compute_rolling_min(std::span<const double> data, uint64_t period) {
    return rolling_extreme_series<false>(data, period);
}

SeriesResult compute_rolling_max(std::span<const double> data, uint64_t period) {
    return rolling_extreme_series<true>(data, period);
}

}  // namespace tidemark
