// Basket runner: the instruments' signals are combined into one entry and one
// exit series, the whole basket opens together (each instrument sized by its
// weight's share of the cash) and closes together, in its own loop with its
// own statistics.
#pragma once

#include <span>

#include "core/types.h"
#include "portfolio/results.h"
#include "signals/synchronizer.h"
#include "strategies/instruments.h"

namespace tidemark {

// Every instrument must have the first one's bar count and signals of that
// length (faults otherwise). With no instruments the result is empty.
EngineResult run_basket_strategy(const BacktestConfig& cfg, std::span<const InstrumentData> instruments,
                                 SyncMode mode, const InstrumentConfigs& configs);

}  // namespace tidemark
