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

// The checks of a basket run that the arrays' lengths decide, in the order
// the run makes them (all faults): every instrument's close against the
// first's, its entries against that bar count, the exits of one length among
// themselves and with the entries, then every instrument's bar columns. A
// run makes them before it reads any column or makes anything of the bar
// count's size.
void check_basket_shapes(std::span<const InstrumentShape> shapes);

// Every instrument must pass check_basket_shapes. With no instruments the
// result is empty.
EngineResult run_basket_strategy(const BacktestConfig& cfg, std::span<const InstrumentData> instruments,
                                 SyncMode mode, const InstrumentConfigs& configs);

}  // namespace tidemark
