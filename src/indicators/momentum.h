// Momentum oscillators: RSI and the stochastic oscillator.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>

#include "core/buffer.h"
#include "indicators/extrema.h"
#include "indicators/volatility.h"

namespace tidemark {

// Wilder's gain and loss of one close-to-close change. A NaN change is no
// gain and a NaN loss, so the loss average (and the RSI) turns NaN.
inline double rsi_gain(double change) { return keep_if(change > 0.0, change); }
inline double rsi_loss(double change) { return keep_if(!(change > 0.0), -change); }

// RSI from the two averages; no loss at all reads 100 (a flat series too).
// Both sides are computed and one is selected, with a harmless divisor on
// the side not taken, so that a block of values vectorises.
inline double rsi_value(double avg_gain, double avg_loss) {
    const bool none = avg_loss == 0.0;
    const double ratio = avg_gain / (none ? 1.0 : avg_loss);
    const double v = 100.0 - 100.0 / (ratio + 1.0);
    return none ? 100.0 : v;
}

// rsi_value for four bars at once, read from and written to memory (the
// same operations lane by lane).
inline void rsi_values4(const double* avg_gain, const double* avg_loss, double* out) {
    F64x4 g, l;
    std::memcpy(&g, avg_gain, sizeof g);
    std::memcpy(&l, avg_loss, sizeof l);
    const auto none = l == 0.0;
    const F64x4 ratio = g / (none ? F64x4{} + 1.0 : l);
    const F64x4 v = none ? F64x4{} + 100.0 : 100.0 - 100.0 / (ratio + 1.0);
    std::memcpy(out, &v, sizeof v);
}

SeriesResult compute_rsi(std::span<const double> data, uint64_t period);

struct StochasticSeries {
    Series<double> k, d;
};
using StochasticResult = Outcome<StochasticSeries, IndicatorError>;

StochasticResult compute_stochastic(std::span<const double> high, std::span<const double> low,
                                    std::span<const double> close, uint64_t k_period, uint64_t d_period);

}  // namespace tidemark
