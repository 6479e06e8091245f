// Tick-level runner: one long position at a time on tick data, bought at the
// ask and protected by a stop and a target fixed at entry, closed at the bid
// on an exit signal or after a holding-time limit, with a cool-down between
// trades. Its curves have one point per closed trade.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/types.h"
#include "core/vocabulary.h"
#include "portfolio/results.h"

namespace tidemark {

struct TickParams {
    BacktestConfig config;  // initial capital, fees, slippage and fee segment
    double stop_loss_pct = 5.0;
    double take_profit_pct = 10.0;
    uint64_t max_hold_seconds = 1800;  // 0: no time exit
    uint64_t entry_cooldown_ticks = 10;
    uint64_t max_trades = UINT64_MAX;
    int64_t quantity = 1;
    uint32_t lot_size = 1;
};

struct TickColumns {
    std::span<const int64_t> timestamps;
    std::span<const double> ltp;
    std::span<const double> bid;
    std::span<const double> ask;
    std::span<const uint8_t> entries;
    std::span<const uint8_t> exits;
};

// Throws RuleError for a negative quantity before anything else.
EngineResult run_tick_strategy(const TickParams& params, const TickColumns& ticks, const std::string& symbol);

// Curves with one point per trade (the initial capital first) and the full
// statistics of those curves; no trades gives the bare starting point.
EngineResult build_tick_result(double initial_capital, TradeList trades);

}  // namespace tidemark
