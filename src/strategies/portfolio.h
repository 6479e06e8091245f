// Shared-capital portfolio runner: one execution kernel per instrument, all
// drawing on one cash pool that the runner lends to a kernel for each step
// and takes back afterwards, with a portfolio-wide position limit and a
// drawdown kill-switch gating every entry before it reaches a kernel.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "core/types.h"
#include "portfolio/results.h"
#include "strategies/instruments.h"

namespace tidemark {

enum class AllocationMode : uint8_t {
    EqualWeight = 0,  // the pool divided across the slots that could still open
    Full = 1,         // each entry may take the whole remaining pool
};

// "equal_weight" or "full", exactly; anything else is a RuleError.
AllocationMode parse_allocation(std::string_view text);

// The checks of a run that the arrays' lengths and the allocation decide, in
// order: at least one instrument, one bar count, a known allocation
// (RuleErrors); then each instrument's entries against the bar count and its
// exits against its entries, and every instrument's bar columns (faults).
// Returns the allocation. A run makes them before it reads any column or
// makes anything of the bar count's size.
AllocationMode check_portfolio_shapes(std::span<const InstrumentShape> shapes, std::string_view allocation);

// Every instrument must pass check_portfolio_shapes.
PortfolioResult run_portfolio_strategy(const BacktestConfig& cfg, std::span<const InstrumentData> instruments,
                                       std::string_view allocation, const InstrumentConfigs& configs);

}  // namespace tidemark
