// Trend indicators: moving averages, MACD, VWAP and the supertrend.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/buffer.h"
#include "indicators/volatility.h"

namespace tidemark {

// The batch SMA with p >= 1: NaN before index p-1; the first window summed in
// index order, then per step the leaving value subtracted before the entering
// one is added. Shared by `sma` and the Bollinger middle band.
Series<double> sma_series(std::span<const double> data, std::size_t p);

SeriesResult compute_sma(std::span<const double> data, uint64_t period);
SeriesResult compute_ema(std::span<const double> data, uint64_t period);

struct MacdSeries {
    Series<double> macd, signal, histogram;
};
using MacdResult = Outcome<MacdSeries, IndicatorError>;

MacdResult compute_macd(std::span<const double> data, uint64_t fast_period, uint64_t slow_period,
                        uint64_t signal_period);

// Cumulative volume-weighted typical price from the first bar.
SeriesResult compute_vwap(std::span<const double> high, std::span<const double> low, std::span<const double> close,
                          std::span<const double> volume);

struct SupertrendSeries {
    Series<double> line;
    Series<int8_t> direction;  // 1 up, -1 down, 0 no value
};
using SupertrendResult = Outcome<SupertrendSeries, IndicatorError>;

SupertrendResult compute_supertrend(std::span<const double> high, std::span<const double> low,
                                    std::span<const double> close, uint64_t period, double multiplier);

}  // namespace tidemark
