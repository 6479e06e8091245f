// The statistics of a finished run, computed from the curves and trades in
// a few passes whose sums are each taken in series order, so a figure never depends
// on how the loops were vectorised.
#include "metrics/metrics.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/lanes.h"
#include "core/numeric.h"
#include "metrics/annualization.h"
#include "metrics/trade_stats.h"

namespace tidemark {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kLegacyPeriodsPerYear = 365.0;
constexpr double kDefaultSessionMinutes = 375.0;

std::optional<double> drawdown_seconds(const DrawdownRuns& s, std::size_t curve_len,
                                       std::span<const int64_t> ts) {
    if (curve_len == 0 || ts.size() < 2 || s.longest == 0) return std::nullopt;
    const std::size_t last = s.first + s.longest - 1;
    if (last >= ts.size()) return std::nullopt;
    if (ts[last] < ts[s.first]) return std::nullopt;
    const uint64_t dt = static_cast<uint64_t>(ts[last]) - static_cast<uint64_t>(ts[s.first]);
    return static_cast<double>(dt) / 1e9;
}

// The second pass of the ratios, around the mean of the first.
struct RatioSums {
    double mean = 0.0;
    double sq_dev = 0.0, down_sq = 0.0, gains = 0.0, losses = 0.0;

    // A negative return adds its size, more than zero, to the losses.
    bool any_negative() const { return losses > 0.0; }
};

// Bit j of `mask` set where `x[j]` is a zero of either sign (k <= 256), a
// vector of lanes at a time.
template <std::size_t L>
[[gnu::always_inline]] inline void zero_mask_lanes(const double* x, std::size_t k, uint64_t* mask) {
    using V = lanes::F64<L>;
    using Bits = lanes::I64<L>;
    Bits lane_bit;
    for (std::size_t l = 0; l < L; ++l) lane_bit[l] = int64_t{1} << l;
    const V zero{};
    for (std::size_t w = 0; w * 64 < k; ++w) {
        const std::size_t end = std::min<std::size_t>(64, k - w * 64);
        const double* xw = x + w * 64;
        Bits acc{};
        std::size_t j = 0;
        for (; j + L <= end; j += L) {
            acc |= ((lanes::load<V>(xw + j) == zero) & lane_bit) << static_cast<int64_t>(j);
        }
        uint64_t bits = 0;
        for (std::size_t l = 0; l < L; ++l) bits |= static_cast<uint64_t>(acc[l]);
        for (; j < end; ++j) bits |= static_cast<uint64_t>(xw[j] == 0.0) << j;
        mask[w] = bits;
    }
}

TIDEMARK_LANE_VERSIONS(void, zero_mask, (const double* x, std::size_t k, uint64_t* mask), zero_mask_lanes,
                       (x, k, mask))

// The length of the run of bits equal to `set` from bit `j` on, up to `k`.
std::size_t run_length(const uint64_t* mask, std::size_t j, std::size_t k, bool set) {
    std::size_t at = j;
    while (at < k) {
        const uint64_t word = set ? ~mask[at / 64] : mask[at / 64];
        const uint64_t rest = word >> (at % 64);
        if (rest != 0) return std::min(k, at + static_cast<std::size_t>(std::countr_zero(rest))) - j;
        at = (at / 64 + 1) * 64;
    }
    return k - j;
}

// The second pass over a whole series. Each sum is taken in order, but a
// term that changes nothing may be added or left out: adding +0 or -0 leaves
// every one of these sums (never -0: they start at +0 and only grow) as it
// is. So a NaN, which is skipped, adds zeros; the part of the wrong sign is a
// zero; and a stretch of zero returns (an account that stands still) adds
// one and the same square to the deviations at every step and nothing to the
// other sums, which can be added in one go, to the same result.
void add_returns(RatioSums& sums, std::span<const double> returns) {
    constexpr std::size_t kTerms = 256;
    uint64_t zeros[kTerms / 64];
    const double* r = returns.data();
    const std::size_t n = returns.size();
    const double mean = sums.mean;
    double s[4] = {sums.sq_dev, sums.down_sq, sums.gains, sums.losses};
#if defined(__SSE2__)
    // A return's terms are formed in pairs beside the sums, which wait on
    // their previous addition anyway, with selects rather than branches (the
    // signs of returns are a coin toss): [deviation², downside²] is
    // [v - mean, min(v, 0)] squared, the first 0 for a NaN; [gain, loss] is
    // [max(v, 0), max(-v, 0)]. (min and max take the 0 when v is a NaN or a
    // zero of either sign, as the plain comparisons do.)
    __m128d dd = _mm_loadu_pd(s);
    __m128d gl = _mm_loadu_pd(s + 2);
    const __m128d zero = _mm_setzero_pd();
    const __m128d mean_lo = _mm_set_sd(mean);
    const __m128d negate_hi = _mm_set_pd(-0.0, 0.0);
    auto add_terms = [&](const double* x, std::size_t from, std::size_t to) {
        for (std::size_t j = from; j < to; ++j) {
            const __m128d v = _mm_set1_pd(x[j]);
            const __m128d t = _mm_move_sd(_mm_min_pd(v, zero), _mm_sub_sd(v, mean_lo));
            dd = _mm_add_pd(dd, _mm_and_pd(_mm_cmpeq_pd(v, v), _mm_mul_pd(t, t)));
            gl = _mm_add_pd(gl, _mm_max_pd(_mm_xor_pd(v, negate_hi), zero));
        }
    };
    auto deviations = [&]() { return _mm_cvtsd_f64(dd); };
    auto set_deviations = [&](double v) { dd = _mm_move_sd(dd, _mm_set_sd(v)); };
#else
    auto add_terms = [&](const double* x, std::size_t from, std::size_t to) {
        for (std::size_t j = from; j < to; ++j) {
            const double v = x[j];
            const double d = v - mean;
            const double below = v < 0.0 ? v : 0.0;
            s[0] += v == v ? d * d : 0.0;
            s[1] += below * below;
            s[2] += v > 0.0 ? v : 0.0;
            s[3] += v < 0.0 ? -v : 0.0;
        }
    };
    auto deviations = [&]() { return s[0]; };
    auto set_deviations = [&](double v) { s[0] = v; };
#endif
    std::size_t flat = 0;  // zero returns not yet added
    const double d = 0.0 - sums.mean;
    const double flat_term = d * d;
    // Each zero return adds this square to the deviations and nothing to the
    // other sums. Runs of zeros (an account that stands still between its
    // trades) are added in one go; one sum at a time would wait for each.
    auto add_flat = [&]() {
        set_deviations(add_repeated(deviations(), flat_term, flat));
        flat = 0;
    };
    for (std::size_t from = 0; from < n; from += kTerms) {
        const std::size_t k = std::min(kTerms, n - from);
        const double* x = r + from;
        zero_mask(x, k, zeros);
        std::size_t j = run_length(zeros, 0, k, true);
        flat += j;
        if (j == k) continue;
        while (j < k) {
            const std::size_t moving = run_length(zeros, j, k, false);
            if (flat > 0) add_flat();
            add_terms(x, j, j + moving);
            j += moving;
            const std::size_t still = run_length(zeros, j, k, true);
            flat += still;
            j += still;
        }
    }
    if (flat > 0) add_flat();
#if defined(__SSE2__)
    _mm_storeu_pd(s, dd);
    _mm_storeu_pd(s + 2, gl);
#endif
    sums.sq_dev = s[0];
    sums.down_sq = s[1];
    sums.gains = s[2];
    sums.losses = s[3];
}

// Whether the ratios are defined, by the sizes of the series and of its
// non-NaN part.
bool ratios_defined(std::size_t len, const ReturnSum& first) { return len >= 2 && first.count >= 2; }

ReturnRatios finish_ratios(double periods_per_year, double risk_free_rate, const ReturnSum& first,
                           const RatioSums& s) {
    ReturnRatios r;
    const double kd = static_cast<double>(first.count);
    const double variance = s.sq_dev / (kd - 1.0);
    const double p = periods_per_year;
    const double rf = p > 0.0 ? risk_free_rate / p : 0.0;
    const double excess = s.mean - rf;

    r.sharpe = variance > 0.0 ? std::sqrt(p) * excess / std::sqrt(variance) : 0.0;

    // Downside deviation spreads the losses over every period, not only the
    // losing ones.
    const double downside = s.down_sq / kd;
    if (!s.any_negative() || !(downside > 0.0)) {
        r.sortino = excess > 0.0 ? kInf : 0.0;
    } else {
        r.sortino = std::sqrt(p) * excess / std::sqrt(downside);
    }

    if (s.losses > 0.0) {
        r.omega = s.gains / s.losses;
    } else {
        r.omega = s.gains > 0.0 ? kInf : 1.0;
    }
    return r;
}

}  // namespace

double add_repeated(double sum, double x, std::size_t k) {
    constexpr uint64_t kOne = uint64_t{1} << 52;  // the implicit bit
    constexpr uint64_t kTop = kOne << 1;          // a binade's width in its own units
    while (k > 0) {
        // A zero, an infinity or a NaN: after one sum, more sums change
        // nothing.
        if (x == 0.0 || !std::isfinite(x) || !std::isfinite(sum)) return sum + x;
        // A sum below `x` or too small to have a full unit: plain sums, until
        // it has outgrown `x`. (A negative `x` is only ever added plainly.)
        if (!(x > 0.0 && x <= sum && sum >= std::numeric_limits<double>::min())) {
            sum += x;
            --k;
            continue;
        }
        // In units of the last place of `sum`'s binade, `sum` is the integer
        // s and `x` is `whole` units and a part, whose size against half a
        // unit is all rounding asks: read off the bits.
        const uint64_t sb = std::bit_cast<uint64_t>(sum);
        const uint64_t xb = std::bit_cast<uint64_t>(x);
        const uint64_t biased = sb >> 52;
        const uint64_t s = kOne | (sb & (kOne - 1));
        const uint64_t x_biased = xb >> 52;
        const uint64_t mx = x_biased == 0 ? (xb & (kOne - 1)) : kOne | (xb & (kOne - 1));
        const uint64_t shift = biased - (x_biased == 0 ? 1 : x_biased);  // x <= sum
        const uint64_t whole = shift >= 64 ? 0 : mx >> shift;
        const uint64_t rest = shift == 0 ? 0 : shift >= 64 ? mx : mx & ((uint64_t{1} << shift) - 1);
        const uint64_t half = shift == 0 ? 1 : shift > 64 ? ~uint64_t{0} : uint64_t{1} << (shift - 1);
        // While the exact sum stays below the binade's top, rounding to
        // nearest adds `whole` units, or one more past the half; a tie goes
        // to the even result, which makes each later step add the same.
        auto step = [&](uint64_t at) {
            if (rest != half || shift == 0) return rest < half || shift == 0 ? whole : whole + 1;
            return (at + whole) % 2 == 0 ? whole : whole + 1;
        };
        // Without a tie every step adds the same number of units; when the
        // last of the `k` steps still starts low enough to stay below the
        // top, all of them are one product away (a stretch of equal terms
        // in a sum already much larger, the common case).
        if (rest != half || shift == 0) {
            const uint64_t inc = rest < half || shift == 0 ? whole : whole + 1;
            const unsigned __int128 last_start =
                static_cast<unsigned __int128>(s) + static_cast<unsigned __int128>(k - 1) * inc;
            if (last_start + whole + 1 <= kTop) {
                const uint64_t at = s + static_cast<uint64_t>(k) * inc;
                return std::bit_cast<double>(at == kTop ? (biased + 1) << 52 : (biased << 52) | (at - kOne));
            }
        }
        if (s + whole + 1 > kTop) {
            sum += x;  // this sum crosses into the next binade
            --k;
            continue;
        }
        uint64_t at = s + step(s);
        --k;
        if (k > 0 && at + whole + 1 <= kTop) {
            const uint64_t inc = step(at);
            if (inc == 0) {
                k = 0;  // `x` is lost to rounding: the sum stands still
            } else {
                // The steps whose exact sum stays below the top.
                const uint64_t fit = (kTop - whole - 1 - at) / inc + 1;
                const uint64_t t = std::min<uint64_t>(k, fit);
                at += t * inc;
                k -= t;
            }
        }
        // The top itself is the first number of the next binade (infinity
        // past the largest).
        sum = std::bit_cast<double>(at == kTop ? (biased + 1) << 52 : (biased << 52) | (at - kOne));
    }
    return sum;
}

void ReturnSum::add_many(const double* x, std::size_t k) {
    // A zero in place of a NaN, and a zero added rather than skipped: the
    // sum, which starts at +0 and so is never -0, is left as it is by
    // either zero. The additions stay one chain, in series order.
    std::size_t numbers = 0;
    double s = sum;
    for (std::size_t j = 0; j < k; ++j) {
        const bool number = x[j] == x[j];
        numbers += number;
        s += number ? x[j] : 0.0;
    }
    sum = s;
    count += numbers;
    seen += k;
}

ReturnSum sum_returns(std::span<const double> returns) {
    ReturnSum first;
    for (double x : returns) first.add(x);
    return first;
}

ReturnRatios return_ratios(double periods_per_year, double risk_free_rate,
                           std::span<const double> returns) {
    if (returns.size() < 2) return ReturnRatios{0.0, 0.0, 1.0};
    const ReturnSum first = sum_returns(returns);
    if (!ratios_defined(returns.size(), first)) return ReturnRatios{0.0, 0.0, 1.0};
    RatioSums s;
    s.mean = first.sum / static_cast<double>(first.count);
    add_returns(s, returns);
    return finish_ratios(periods_per_year, risk_free_rate, first, s);
}

double config_periods_per_year(const BacktestConfig& cfg, std::span<const int64_t> timestamps,
                               const PositiveSteps* counted) {
    if (cfg.legacy_annualization) return kLegacyPeriodsPerYear;
    const bool continuous = cfg.session_minutes.has_value() && *cfg.session_minutes <= 0.0;
    const double session = cfg.session_minutes.value_or(kDefaultSessionMinutes);
    if (counted)
        return resolve_periods_per_year(cfg.periods_per_year, session, kLegacyPeriodsPerYear, timestamps, continuous,
                                        *counted);
    return resolve_periods_per_year(cfg.periods_per_year, session, kLegacyPeriodsPerYear, timestamps, continuous);
}

bool config_reads_spacing(const BacktestConfig& cfg) {
    return !cfg.legacy_annualization && !(cfg.periods_per_year && *cfg.periods_per_year > 0.0);
}

BacktestMetrics compute_metrics(std::span<const double> equity_curve,
                                std::span<const double> drawdown_curve,
                                std::span<const double> returns, std::span<const Trade> trades,
                                std::span<const int64_t> timestamps, const BacktestConfig& cfg) {
    // Both curves in one loop: each is a chain of dependent steps, and side
    // by side they overlap.
    CurveSummary kept;
    const std::size_t both = std::min(drawdown_curve.size(), returns.size());
    for (std::size_t i = 0; i < both; ++i) {
        kept.drawdown.add(drawdown_curve[i]);
        kept.returns.add(returns[i]);
    }
    for (std::size_t i = both; i < drawdown_curve.size(); ++i) kept.drawdown.add(drawdown_curve[i]);
    for (std::size_t i = both; i < returns.size(); ++i) kept.returns.add(returns[i]);
    return compute_metrics(equity_curve, drawdown_curve, returns, trades, timestamps, cfg, kept);
}

BacktestMetrics compute_metrics(std::span<const double> equity_curve,
                                std::span<const double> drawdown_curve,
                                std::span<const double> returns, std::span<const Trade> trades,
                                std::span<const int64_t> timestamps, const BacktestConfig& cfg,
                                const CurveSummary& kept) {
    BacktestMetrics m;
    const std::size_t n = equity_curve.size();

    m.start_value = cfg.initial_capital;
    m.end_value = n > 0 ? equity_curve.back() : cfg.initial_capital;
    m.total_return_pct = (m.end_value - m.start_value) / m.start_value * 100.0;

    const DrawdownRuns& dd = kept.drawdown;
    m.max_drawdown_pct = dd.max_pct;
    m.max_drawdown_duration = dd.longest;
    m.max_drawdown_duration_secs = drawdown_seconds(dd, drawdown_curve.size(), timestamps);

    const ReturnSum& first = kept.returns;
    ReturnRatios r{0.0, 0.0, 1.0};
    if (ratios_defined(returns.size(), first)) {
        RatioSums sums;
        sums.mean = first.sum / static_cast<double>(first.count);
        add_returns(sums, returns);
        const PositiveSteps* counted = kept.steps ? &*kept.steps : nullptr;
        r = finish_ratios(config_periods_per_year(cfg, timestamps, counted), cfg.risk_free_rate, first, sums);
    }
    m.sharpe_ratio = r.sharpe;
    m.sortino_ratio = r.sortino;
    m.omega_ratio = r.omega;

    if (m.max_drawdown_pct > 0.0) {
        m.calmar_ratio = m.total_return_pct / m.max_drawdown_pct;
    } else {
        m.calmar_ratio = m.total_return_pct > 0.0 ? kInf : 0.0;
    }

    const double gain = m.end_value - m.start_value;
    if (m.start_value > 0.0 && m.max_drawdown_pct > 0.0) {
        const double worst_loss = m.start_value * m.max_drawdown_pct / 100.0;
        m.recovery_factor = worst_loss > 0.0 ? gain / worst_loss : 0.0;
    } else {
        m.recovery_factor = gain > 0.0 ? kInf : 0.0;
    }

    const double held = compute_trade_stats(trades, m);
    if (n > 0) m.exposure_pct = std::min(held / static_cast<double>(n) * 100.0, 100.0);
    return m;
}

}  // namespace tidemark
