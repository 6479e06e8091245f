// Pairs runner: one entry and one exit series drive a position that is long
// one leg and short the other, sized half and half (the second half scaled by
// a static or re-estimated hedge ratio), with its own loop and statistics.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "core/types.h"
#include "portfolio/results.h"

namespace tidemark {

struct PairsParams {
    BacktestConfig config;
    double hedge_ratio = 1.0;
    // Bars before the entry bar in the estimation window (21 bars in all).
    uint64_t hedge_lookback = 20;
    bool dynamic_hedge = false;
};

// The columns of one leg that the runner reads.
struct PairLeg {
    std::span<const int64_t> timestamps;
    std::span<const double> open;
    std::span<const double> close;
};

// Least-squares slope of `y` on `x` over bars [last - lookback, last], held
// between 0.1 and 10; `fallback` when the window is too short or `x` is flat.
double estimate_hedge_ratio(std::span<const double> y, std::span<const double> x, std::size_t last,
                            uint64_t lookback, double fallback);

EngineResult run_pairs_strategy(const PairsParams& params, const PairLeg& leg1, const PairLeg& leg2,
                                std::span<const uint8_t> entries, std::span<const uint8_t> exits, int8_t direction,
                                const std::string& symbol);

}  // namespace tidemark
