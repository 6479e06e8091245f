// Per-tick microstructure features and the gated entry and exit signals of
// the tick-level backtest. Each function is pure: one new array of the
// leading input's length. Timestamps are int64 nanoseconds, expected in
// ascending order; the windowed features look for the window edge among the
// earlier ticks.
#pragma once

#include <cstdint>
#include <span>

#include "core/buffer.h"
#include "core/types.h"

namespace tidemark {

// Seconds as whole nanoseconds, saturating at the int64 range; NaN is 0.
int64_t window_seconds_to_ns(double seconds);

struct TickEntryGates {
    double spread_pct_max = 5.0;     // always applied; NaN spreads pass
    double bsi_min = 0.0;            // applied when > 0; NaN passes
    double return_1m_min_abs = 0.0;  // applied when > 0; NaN fails
    int8_t return_direction = 1;     // +1 needs a return >= 0, -1 <= 0, 0 either
    uint64_t cooldown_ticks = 10;    // ticks that must lie between two entries
};

// Entry flags of length spread_pct.size(). A tick beyond the end of an array
// whose gate is on is never an entry; an array whose gate is off is not read.
BoolVec tick_entry_signals(std::span<const double> spread_pct, std::span<const double> bsi_delta,
                           std::span<const double> return_1m, const TickEntryGates& gates);

// True from the first tick at or after `eod_exit_time_ns`; 0 disables.
BoolVec tick_exit_signals(std::span<const int64_t> timestamps_ns, int64_t eod_exit_time_ns);

// (ask - bid) / mid x 100 per tick; 0.0 where the mid is not above 0.
// Unequal lengths raise RuleError.
Series<double> tick_spread_pct(std::span<const double> bid, std::span<const double> ask);

// Buy share of each tick's flow, from cumulative session totals: 0.5 on the
// first tick and where nothing traded; a falling total counts as no flow.
// Unequal lengths raise RuleError.
Series<double> buy_sell_imbalance_delta(std::span<const double> buy_qty_cumulative,
                                        std::span<const double> sell_qty_cumulative);

// Percent change from the last earlier tick at or before t - window; NaN
// without one, or when either price is not above 0. Unequal lengths raise
// RuleError.
Series<double> return_window(std::span<const int64_t> timestamps_ns, std::span<const double> ltp,
                             double window_seconds);

// Sample standard deviation, in percent, of the log returns between the
// ticks from the first one at or after t - window up to this one; pairs with
// a price not above 0 are skipped, and fewer than two returns give NaN.
// Unequal lengths raise RuleError.
Series<double> realized_vol_rolling(std::span<const int64_t> timestamps_ns, std::span<const double> ltp,
                                    double window_seconds);

// Where each open interest lies in the day's range, in percent, unclamped;
// NaN everywhere when the range is not above 0.
Series<double> oi_position_pct(std::span<const double> oi, double oi_day_high, double oi_day_low);

// Ticks per minute in (t - window, t], this tick included; 0.0 on the first
// tick and everywhere when the window is not above 0.
Series<double> tick_velocity(std::span<const int64_t> timestamps_ns, double window_seconds);

}  // namespace tidemark
