// Statistics over a run's trades (counts, profits, streaks, durations, turnover).
#pragma once

#include <span>

#include "core/vocabulary.h"
#include "metrics/metrics.h"

namespace tidemark {

// Fills the trade-derived fields of `m` (every field computed from trades alone).
// Returns the bars held by all trades, summed in trade order, which the
// exposure is made of too: the trades need not be read for it again.
double compute_trade_stats(std::span<const Trade> trades, BacktestMetrics& m);

}  // namespace tidemark
