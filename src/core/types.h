// Plain engine records shared by every part of tidemark. Nothing here knows
// about Python: the binding layer wraps these structs as they stand.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/buffer.h"

namespace tidemark {

// ---------------------------------------------------------------------------
// Run configuration
// ---------------------------------------------------------------------------

enum class FillTiming : uint8_t {
    SameBarClose = 0,
    NextBarOpen = 1,
    SameBarOpenLookahead = 2,
};

// Stop-loss rule. `value` is the fraction for Fixed/Trailing and the ATR
// multiple for Atr.
struct StopModel {
    enum Kind : uint8_t { None = 0, Fixed = 1, Atr = 2, Trailing = 3 };
    Kind kind = None;
    double value = 0.0;
    uint64_t period = 0;

    static StopModel fixed(double pct) { return {Fixed, pct, 0}; }
    static StopModel atr(double mult, uint64_t period) { return {Atr, mult, period}; }
    static StopModel trailing(double pct) { return {Trailing, pct, 0}; }
};

// Take-profit rule. `value` is the fraction for Fixed, the ATR multiple for
// Atr and the reward/risk ratio for RiskReward.
struct TargetModel {
    enum Kind : uint8_t { None = 0, Fixed = 1, Atr = 2, RiskReward = 3 };
    Kind kind = None;
    double value = 0.0;
    uint64_t period = 0;

    static TargetModel fixed(double pct) { return {Fixed, pct, 0}; }
    static TargetModel atr(double mult, uint64_t period) { return {Atr, mult, period}; }
    static TargetModel risk_reward(double ratio) { return {RiskReward, ratio, 0}; }
};

struct BacktestConfig {
    double initial_capital = 100000.0;
    double fees = 0.001;
    double slippage = 0.0;
    bool upon_bar_close = true;
    bool apply_slippage = true;
    std::optional<double> periods_per_year;
    double risk_free_rate = 0.0;
    std::optional<double> session_minutes;
    std::optional<std::string> fee_segment;
    std::optional<uint64_t> max_positions;
    std::optional<double> max_drawdown_pct;
    bool legacy_annualization = false;
    double fill_prob_limit = 1.0;
    double fill_prob_slippage = 0.0;
    bool queue_fill_model = false;
    bool partial_fills = false;
    int64_t order_latency_ns = 0;
    int64_t session_tz_offset_ns = 0;
    std::optional<uint32_t> squareoff_time_minutes;
    double limit_slippage = 0.0;
    bool liquidate_on_margin_call = false;
    uint64_t fill_seed = 0;
    bool bar_path_adaptive = false;
    std::optional<FillTiming> fill_timing;
    StopModel stop;
    TargetModel target;

    // The timing the engine runs with: an explicit policy wins, otherwise the
    // deprecated flag decides.
    FillTiming resolved_fill_timing() const {
        if (fill_timing) return *fill_timing;
        return upon_bar_close ? FillTiming::SameBarClose : FillTiming::NextBarOpen;
    }
};

// ---------------------------------------------------------------------------
// Instruments
// ---------------------------------------------------------------------------

enum class OptionRight : uint8_t { Call = 0, Put = 1 };

struct InstrumentKind {
    enum Tag : uint8_t { Cash = 0, CurrencyPair = 1, Contract = 2, Option = 3, Index = 4 };
    Tag tag = Cash;
    // Contract and Option only.
    std::optional<std::string> underlying;
    // Option only.
    double strike = 0.0;
    OptionRight right = OptionRight::Call;
    bool binary = false;
};

struct InstrumentSpec {
    std::string symbol;
    InstrumentKind kind;
    double price_increment = 0.0;
    double size_increment = 0.0;
    double lot_size = 1.0;
    double multiplier = 1.0;
    double margin_init = 0.0;
    double margin_maint = 0.0;
    double maker_fee = 0.0;
    double taker_fee = 0.0;
    double settlement_fee = 0.0;
    double span_pct = 0.0;
    double exposure_pct = 0.0;
    std::optional<int64_t> activation_ns;
    std::optional<int64_t> expiration_ns;

    bool is_option() const { return kind.tag == InstrumentKind::Option; }
    bool tradable() const { return kind.tag != InstrumentKind::Index; }
};

// Per-instrument overrides. The models stay absent until a setter runs, which
// is different from an explicit "none" rule.
struct InstrumentConfig {
    std::optional<double> lot_size;
    std::optional<double> alloted_capital;
    std::optional<double> existing_qty;
    std::optional<double> avg_price;
    std::optional<StopModel> stop;
    std::optional<TargetModel> target;
};

// Stop or target rule chosen for a run: the instrument override when it has
// one set, else the run configuration's; the two choices are independent.
inline StopModel effective_stop(const BacktestConfig& cfg, const InstrumentConfig* ic) {
    return (ic && ic->stop) ? *ic->stop : cfg.stop;
}
inline TargetModel effective_target(const BacktestConfig& cfg, const InstrumentConfig* ic) {
    return (ic && ic->target) ? *ic->target : cfg.target;
}

// The ATR period a run needs: the ATR stop's period, else the ATR target's.
inline std::optional<uint64_t> atr_period_for(const StopModel& stop, const TargetModel& target) {
    if (stop.kind == StopModel::Atr) return stop.period;
    if (target.kind == TargetModel::Atr) return target.period;
    return std::nullopt;
}

// ---------------------------------------------------------------------------
// Bars
// ---------------------------------------------------------------------------

struct Bar {
    int64_t ts = 0;
    double open = 0.0;
    double high = 0.0;
    double low = 0.0;
    double close = 0.0;
    double volume = 0.0;
};

// A finished bar of the bar builders: the same record the kernel steps on.
using OhlcvBar = Bar;

// ---------------------------------------------------------------------------
// Ticks
// ---------------------------------------------------------------------------

// The size of the trade a tick row reports: the last traded quantity when the
// feed carried one, else what the two quantity deltas moved together.
inline double tick_trade_size(double ltq, double buy_qty_delta, double sell_qty_delta) {
    return ltq > 0.0 ? ltq : std::fabs(buy_qty_delta) + std::fabs(sell_qty_delta);
}

// Buy-initiated minus sell-initiated quantity of a tick row; the deltas' own
// signs carry no meaning, only their magnitudes do.
inline double tick_signed_flow(double buy_qty_delta, double sell_qty_delta) {
    return std::fabs(buy_qty_delta) - std::fabs(sell_qty_delta);
}

// Boolean series are kept one byte per element so that NumPy `bool` arrays
// copy in one block; any non-zero byte is true.
using BoolVec = Series<uint8_t>;

// How many series a list holds and how long each one is, told without the
// values, so that a shape can be checked before any value is copied.
struct SeriesLengths {
    std::size_t count = 0;
    std::function<std::size_t(std::size_t)> length;  // of series i < count

    static SeriesLengths of(const std::vector<Series<double>>& list) {
        return {list.size(), [&list](std::size_t i) { return list[i].size(); }};
    }
};

}  // namespace tidemark
