// Outcome records of runs, as handed to the boundary.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/buffer.h"
#include "core/vocabulary.h"
#include "metrics/metrics.h"

namespace tidemark {

// The outcome of one single-instrument run.
struct EngineResult {
    BacktestMetrics metrics;
    Series<double> equity_curve;
    Series<double> drawdown_curve;  // percent below the running peak
    TradeList trades;
    Series<double> returns;
};

// One instrument's share of a shared-capital run.
struct InstrumentSummary {
    std::string symbol;
    uint64_t trades = 0;
    double pnl = 0.0;
    uint64_t rejected_entries = 0;
};

struct PortfolioResult {
    EngineResult result;
    std::vector<InstrumentSummary> per_instrument;
    uint64_t rejected_entries = 0;
    bool halted = false;
    std::optional<uint64_t> halted_at;
};

}  // namespace tidemark
