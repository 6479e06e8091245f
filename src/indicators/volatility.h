// Volatility kernels shared by the execution kernel and the indicator
// functions: the error type of every indicator kernel, the average true
// range, Bollinger bands and rolling extremes.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/buffer.h"
#include "core/errors.h"
#include "core/numeric.h"
#include "indicators/extrema.h"
#include "indicators/smoothing.h"

namespace tidemark {

struct IndicatorError {
    enum Kind : uint8_t { DataLengthMismatch = 0, InvalidParameter = 1 };
    Kind kind = InvalidParameter;
    std::size_t expected = 0;
    std::size_t got = 0;
    std::string message;

    static IndicatorError length_mismatch(std::size_t expected, std::size_t got) {
        return {DataLengthMismatch, expected, got, {}};
    }
    static IndicatorError invalid(std::string msg) { return {InvalidParameter, 0, 0, std::move(msg)}; }
    // "Data length mismatch: expected 3, got 2" / "Invalid parameter: ..."
    std::string text() const;
};

using SeriesResult = Outcome<Series<double>, IndicatorError>;

// Kernels run their serial chains a block at a time, apart from the work
// that does not depend on the previous bar, which the vector unit takes.
inline constexpr std::size_t kBlock = 256;

// The first of `others` whose length differs from `reference` (the close),
// as a length mismatch.
std::optional<IndicatorError> check_lengths(std::size_t reference, std::initializer_list<std::size_t> others);

// A series of n NaN, the starting state of every indicator output.
inline Series<double> nan_series(std::size_t n) {
    return Series<double>(n, std::numeric_limits<double>::quiet_NaN());
}

// A series of n values of which the first `warm` (all, if warm >= n) are NaN
// and the others left unwritten, for a kernel that writes every value past
// its warm-up once: filling the whole series first would be a pass over the
// output for nothing, as long as the kernel itself.
inline Series<double> warmup_series(std::size_t n, std::size_t warm) {
    Series<double> out;
    double* o = append_uninitialized(out, n);
    std::fill(o, o + std::min(warm, n), std::numeric_limits<double>::quiet_NaN());
    return out;
}

// True range of a bar against the previous close: the NaN-ignoring maximum
// of high - low, |high - prev| and |low - prev|, taken pairwise in that
// order, so a missing previous close leaves high - low.
inline double true_range(double high, double low, double prev_close) {
    return max_num(max_num(high - low, std::fabs(high - prev_close)), std::fabs(low - prev_close));
}

// The true ranges of two consecutive bars (prev_close[k] is the close before
// bar k), formed together by one vector instruction per step where the
// platform has them; the values are those of true_range.
inline void true_range_pair(const double* high, const double* low, const double* prev_close, double& first,
                            double& second) {
#if defined(__SSE2__)
    const __m128d abs_mask = _mm_castsi128_pd(_mm_set1_epi64x(std::numeric_limits<int64_t>::max()));
    const __m128d h = _mm_loadu_pd(high), l = _mm_loadu_pd(low), pc = _mm_loadu_pd(prev_close);
    const __m128d range = _mm_sub_pd(h, l);
    const __m128d up = _mm_and_pd(_mm_sub_pd(h, pc), abs_mask);
    const __m128d down = _mm_and_pd(_mm_sub_pd(l, pc), abs_mask);
    // Without a NaN among them the plain maximum, which keeps its second
    // operand on a tie, is maxNum: the gaps are never -0, so a range of -0
    // that ties with the first gives way to its +0, and what then ties with
    // the second is the same number.
    const __m128d nan = _mm_or_pd(_mm_cmpunord_pd(range, up), _mm_cmpunord_pd(down, down));
    const __m128d tr = _mm_movemask_pd(nan) == 0 ? _mm_max_pd(_mm_max_pd(range, up), down)
                                                 : max_num(max_num(range, up), down);
    first = _mm_cvtsd_f64(tr);
    second = _mm_cvtsd_f64(_mm_unpackhi_pd(tr, tr));
#else
    first = true_range(high[0], low[0], prev_close[0]);
    second = true_range(high[1], low[1], prev_close[1]);
#endif
}

// The Wilder ATR over bars [0, n) with n > p >= 1, a stretch of bars at a
// time: run_to calls emit(i, atr) for the bars i = p-1 .. n-1 before its end
// that it has not been given yet. The seed is the mean of the first p true
// ranges (the first bar's range is high - low), summed in index order; the
// streaming ATR follows the same steps, so the two agree bit for bit, however
// the bars are split. True ranges are formed two bars at a time; they do not
// depend on the smoothing chain and run beside it.
//
// Over a flat stretch (true range +0, as a halted instrument gives) a step
// only scales the average by keep: it decays into the subnormals, where every
// product is slow, down to a value the step no longer moves, and stays there.
// A step is a pure function of the average and the true range, so once a step
// by +0 is seen to leave the average as it was, every later +0 leaves it too:
// from there on the value is held, not stepped, and given to `held` instead
// of `emit` (by default the same), so that a caller can reuse what it made of
// it. Only an average below the smallest normal number can be held; that is
// tested once per stretch of bars, which otherwise run as if there were no
// such test.
class AtrPass {
public:
    AtrPass(std::span<const double> high, std::span<const double> low, std::span<const double> close,
            std::size_t p)
        : h_(high.data()), l_(low.data()), c_(close.data()), n_(close.size()), p_(p), w_(Smoother::wilder(p)) {}

    template <class Emit>
    void run_to(std::size_t end, Emit&& emit) {
        run_to(end, emit, emit);
    }

    template <class Emit, class Held>
    void run_to(std::size_t end, Emit&& emit, Held&& held) {
        end = std::min(end, n_);
        if (next_ == 0) {
            if (end < p_) return;
            double sum = 0.0;
            sum += h_[0] - l_[0];
            std::size_t i = 1;
            for (; i + 2 <= p_; i += 2) {
                double first, second;
                true_range_pair(h_ + i, l_ + i, c_ + i - 1, first, second);
                sum += first;
                sum += second;
            }
            if (i < p_) sum += true_range(h_[i], l_[i], c_[i - 1]);
            atr_ = sum / static_cast<double>(p_);
            emit(p_ - 1, atr_);
            next_ = p_;
        }
        std::size_t i = next_;
        while (i + 2 <= end) {
            const std::size_t stop = i + std::min<std::size_t>(kStretch, (end - i) & ~std::size_t{1});
            if (!(atr_ < std::numeric_limits<double>::min())) [[likely]] {
                for (; i < stop; i += 2) {
                    double first, second;
                    true_range_pair(h_ + i, l_ + i, c_ + i - 1, first, second);
                    atr_ = w_.step(atr_, first);
                    emit(i, atr_);
                    atr_ = w_.step(atr_, second);
                    emit(i + 1, atr_);
                }
                continue;
            }
            for (; i < stop; i += 2) {
                double first, second;
                true_range_pair(h_ + i, l_ + i, c_ + i - 1, first, second);
                if ((std::bit_cast<uint64_t>(first) | std::bit_cast<uint64_t>(second)) == 0 &&
                    same_bits(atr_, fixed_)) {
                    held(i, atr_);
                    held(i + 1, atr_);
                    continue;
                }
                step_watching(first);
                emit(i, atr_);
                step_watching(second);
                emit(i + 1, atr_);
            }
        }
        if (i < end) {
            atr_ = w_.step(atr_, true_range(h_[i], l_[i], c_[i - 1]));
            emit(i, atr_);
            ++i;
        }
        next_ = std::max(next_, i);
    }

private:
    static constexpr std::size_t kStretch = 1024;

    // A step that notes the average as a fixed point of the step by +0 when
    // it is one.
    void step_watching(double tr) {
        const double next = w_.step(atr_, tr);
        if (std::bit_cast<uint64_t>(tr) == 0 && same_bits(next, atr_))
            fixed_ = atr_;
        atr_ = next;
    }

    const double* h_;
    const double* l_;
    const double* c_;
    std::size_t n_;
    std::size_t p_;
    Smoother w_;
    std::size_t next_ = 0;  // the next bar to smooth; 0 before the seed
    double atr_ = 0.0;
    // The last average seen to stay put under a step by +0 (+0 itself is one
    // for every period).
    double fixed_ = 0.0;
};

template <class Emit, class Held>
void atr_pass(std::span<const double> high, std::span<const double> low, std::span<const double> close,
              std::size_t p, Emit&& emit, Held&& held) {
    AtrPass(high, low, close, p).run_to(close.size(), emit, held);
}

// Why compute_atr refuses its inputs, if it does.
std::optional<IndicatorError> atr_input_error(std::size_t high, std::size_t low, std::size_t close,
                                              uint64_t period);

// Wilder average true range, one value per bar of `close`, NaN during warm-up.
SeriesResult compute_atr(std::span<const double> high, std::span<const double> low,
                         std::span<const double> close, uint64_t period);

struct BollingerSeries {
    Series<double> upper, middle, lower;
};
using BollingerResult = Outcome<BollingerSeries, IndicatorError>;

// Middle band = SMA; bands at std_dev population deviations around it.
BollingerResult compute_bollinger(std::span<const double> data, uint64_t period, double std_dev);

// NaN-ignoring minimum / maximum of each window of `period` values; NaN where
// the window holds no number (or only +inf for the minimum, -inf for the
// maximum).
SeriesResult compute_rolling_min(std::span<const double> data, uint64_t period);
SeriesResult compute_rolling_max(std::span<const double> data, uint64_t period);

}  // namespace tidemark
