// Statistics over a run's trades (counts, profits, streaks, durations, turnover).
#pragma once

#include <span>

#include "core/vocabulary.h"
#include "metrics/metrics.h"

namespace tidemark {

// Fills the trade-derived fields of `m` (every field computed from trades alone).
void compute_trade_stats(std::span<const Trade> trades, BacktestMetrics& m);

}  // namespace tidemark
