// Trend strength: Wilder's average directional index.
#pragma once

#include <cstdint>
#include <span>

#include "indicators/volatility.h"

namespace tidemark {

SeriesResult compute_adx(std::span<const double> high, std::span<const double> low, std::span<const double> close,
                         uint64_t period);

}  // namespace tidemark
