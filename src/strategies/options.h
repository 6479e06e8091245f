// Options runner: one position at a time in whole contracts on a precomputed
// premium series, with its own loop and its own subset of the statistics.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/types.h"
#include "portfolio/results.h"

namespace tidemark {

struct StrikeSelection {
    enum Kind : uint8_t { Atm = 0, Itm = 1, Otm = 2 };
    Kind kind = Atm;
    uint8_t depth = 0;  // 1 or 2 for Itm and Otm
};

enum class OptionSizeType : uint8_t { Contracts = 0, Percent = 1, Notional = 2, Risk = 3 };

struct OptionsParams {
    BacktestConfig config;
    OptionSizeType size_type = OptionSizeType::Percent;
    uint64_t contracts = 0;   // Contracts: the fixed count
    double size_value = 1.0;  // other size types
    StrikeSelection strike;
    uint64_t lot_size = 1;
    double strike_interval = 50.0;
    OptionRight right = OptionRight::Call;
};

// Parsers of the runner's text settings. They take text that the caller has
// already lower-cased and throw RuleError quoting it.
OptionRight parse_option_type(std::string_view lowered);
StrikeSelection parse_strike_selection(std::string_view lowered);
OptionSizeType parse_option_size_type(std::string_view lowered);

// A contract count from a float: truncated toward zero; NaN, infinities and
// negative values give 0 and values past the largest count give that count.
uint64_t contract_count(double v);

struct OptionsInputs {
    std::span<const int64_t> timestamps;
    std::size_t bar_count = 0;  // the length of the underlying's `close`
    std::span<const double> premiums;
    std::optional<std::span<const double>> open_premiums;
    std::span<const uint8_t> entries;
    std::span<const uint8_t> exits;
    std::string symbol;
    int8_t direction = 1;
};

// The strategy loop. The position is always carried as bought premium: cash
// pays premium x quantity on entry and receives it on exit whatever the
// direction, which only decides the fee side of each fill.
EngineResult run_options_strategy(const OptionsParams& params, const OptionsInputs& in);

}  // namespace tidemark
