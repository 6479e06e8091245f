// Multi-strategy runner: several signal sets on the bars of one instrument,
// merged into one set for a single engine run, or run independently on equal
// shares of the capital and summed.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "core/types.h"
#include "portfolio/engine.h"
#include "portfolio/results.h"

namespace tidemark {

// Any text but the four named modes (compared exactly) means Any.
enum class CombineMode : uint8_t { Any = 0, All = 1, Majority = 2, Weighted = 3, Independent = 4 };

CombineMode parse_combine_mode(std::string_view text);

// One strategy's signals, views of storage the caller keeps for the length
// of the run. The weight is carried, but no mode reads it.
struct StrategySignals {
    std::string name;
    std::span<const uint8_t> entries;
    std::span<const uint8_t> exits;
    double weight = 1.0;
    int8_t direction = 1;
};

// Every strategy's entries must have the bar count (a fault otherwise). With
// no strategies, or with no bars in the independent mode, the result is empty.
EngineResult run_multi_strategy(const BacktestConfig& cfg, const BarArrays& bars,
                                std::span<const StrategySignals> strategies, CombineMode mode);

}  // namespace tidemark
