// What strategies get back from the engine (EngineEvent, PositionSnapshot)
// and the vectorised strategy runners.
#include "python/classes.h"
#include "python/registry.h"
#include "strategies/options.h"
#include "strategies/pairs.h"
#include "strategies/tick.h"

namespace tidemark::py {

namespace {

// ---------------------------------------------------------------------------
// Engine events and position views
// ---------------------------------------------------------------------------

void export_engine_views(Exports&) {}

// ---------------------------------------------------------------------------
// Options, pairs and tick-level runners
// ---------------------------------------------------------------------------

// Full Unicode lower-casing, as Python's str.lower() does it: the runners
// accept their mode texts in any capitalisation and quote the lowered text.
std::string unicode_lower(const std::string& text) {
    PyRef u = PyRef::check(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
    PyRef low = PyRef::check(PyObject_CallMethod(u.get(), "lower", nullptr));
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(low.get(), &n);
    if (!s) throw_py();
    return std::string(s, static_cast<std::size_t>(n));
}

int8_t checked_direction(int32_t direction) {
    if (direction != 1 && direction != -1)
        throw RuleError("direction must be 1 (long) or -1 (short), got " + std::to_string(direction));
    return static_cast<int8_t>(direction);
}

BacktestConfig config_or_default(const std::optional<Ref<BacktestConfig>>& config) {
    return config ? **config : BacktestConfig{};
}

constexpr Param kRunOptionsParams[] = {
    {"timestamps"}, {"open"}, {"high"}, {"low"}, {"close"}, {"volume"}, {"option_prices"}, {"entries"},
    {"exits"}, {"direction", "1"}, {"symbol", "\"OPTION\""}, {"config", "None"}, {"option_type", "\"call\""},
    {"strike_selection", "\"atm\""}, {"size_type", "\"percent\""}, {"size_value", "1.0"}, {"lot_size", "1"},
    {"strike_interval", "50.0"}, {"option_open_prices", "None"},
};
const Sig kRunOptions{nullptr, "run_options_backtest", kRunOptionsParams};

EngineResult run_options_backtest(Series<int64_t> timestamps, Series<double> open, Series<double> high,
                                  Series<double> low, Series<double> close, Series<double> volume,
                                  Series<double> option_prices, BoolVec entries, BoolVec exits, int32_t direction,
                                  std::string symbol, std::optional<Ref<BacktestConfig>> config,
                                  std::string option_type, std::string strike_selection, std::string size_type,
                                  double size_value, uint64_t lot_size, double strike_interval,
                                  std::optional<Series<double>> option_open_prices) {
    (void)open, (void)high, (void)low, (void)volume;
    if (option_open_prices && option_open_prices->size() != option_prices.size())
        throw RuleError("option_open_prices has " + std::to_string(option_open_prices->size()) +
                        " entries but option_prices has " + std::to_string(option_prices.size()) +
                        "; the two series must cover the same bars");
    OptionsInputs in;
    in.direction = checked_direction(direction);
    OptionsParams params;
    params.right = parse_option_type(unicode_lower(option_type));
    params.strike = parse_strike_selection(unicode_lower(strike_selection));
    params.size_type = parse_option_size_type(unicode_lower(size_type));
    params.size_value = size_value;
    if (params.size_type == OptionSizeType::Contracts) params.contracts = contract_count(size_value);
    params.lot_size = lot_size;
    params.strike_interval = strike_interval;
    params.config = config_or_default(config);

    in.timestamps = timestamps;
    in.bar_count = close.size();
    in.premiums = option_prices;
    if (option_open_prices) in.open_premiums = std::span<const double>(*option_open_prices);
    in.entries = entries;
    in.exits = exits;
    in.symbol = std::move(symbol);
    return run_options_strategy(params, in);
}

constexpr Param kRunPairsParams[] = {
    {"leg1_timestamps"}, {"leg1_open"}, {"leg1_high"}, {"leg1_low"}, {"leg1_close"}, {"leg1_volume"},
    {"leg2_timestamps"}, {"leg2_open"}, {"leg2_high"}, {"leg2_low"}, {"leg2_close"}, {"leg2_volume"},
    {"entries"}, {"exits"}, {"direction", "1"}, {"symbol", "\"PAIR\""}, {"config", "None"},
    {"hedge_ratio", "1.0"}, {"dynamic_hedge", "False"},
};
const Sig kRunPairs{nullptr, "run_pairs_backtest", kRunPairsParams};

EngineResult run_pairs_backtest(Series<int64_t> leg1_timestamps, Series<double> leg1_open, Series<double> leg1_high,
                                Series<double> leg1_low, Series<double> leg1_close, Series<double> leg1_volume,
                                Series<int64_t> leg2_timestamps, Series<double> leg2_open, Series<double> leg2_high,
                                Series<double> leg2_low, Series<double> leg2_close, Series<double> leg2_volume,
                                BoolVec entries, BoolVec exits, int32_t direction, std::string symbol,
                                std::optional<Ref<BacktestConfig>> config, double hedge_ratio, bool dynamic_hedge) {
    (void)leg1_high, (void)leg1_low, (void)leg1_volume, (void)leg2_high, (void)leg2_low, (void)leg2_volume;
    const int8_t dir = checked_direction(direction);
    PairsParams params;
    params.config = config_or_default(config);
    params.hedge_ratio = hedge_ratio;
    params.dynamic_hedge = dynamic_hedge;
    const PairLeg leg1{leg1_timestamps, leg1_open, leg1_close};
    const PairLeg leg2{leg2_timestamps, leg2_open, leg2_close};
    return run_pairs_strategy(params, leg1, leg2, entries, exits, dir, symbol);
}

constexpr Param kRunTickParams[] = {
    {"timestamps"}, {"ltp"}, {"bid"}, {"ask"}, {"buy_qty_delta"}, {"sell_qty_delta"}, {"oi"}, {"entries"},
    {"exits"}, {"symbol", "\"TICK\""}, {"initial_capital", "100000.0"}, {"fees", "0.001"}, {"slippage", "0.0"},
    {"stop_loss_pct", "5.0"}, {"take_profit_pct", "10.0"}, {"max_hold_seconds", "1800"},
    {"entry_cooldown_ticks", "10"}, {"max_trades", "...", "18446744073709551615"}, {"lot_size", "1"},
    {"quantity", "1"}, {"fee_segment", "None"},
};
const Sig kRunTick{nullptr, "run_tick_backtest", kRunTickParams};

EngineResult run_tick_backtest(Series<int64_t> timestamps, Series<double> ltp, Series<double> bid,
                               Series<double> ask, Series<double> buy_qty_delta, Series<double> sell_qty_delta,
                               Series<double> oi, BoolVec entries, BoolVec exits, std::string symbol,
                               double initial_capital, double fees, double slippage, double stop_loss_pct,
                               double take_profit_pct, uint64_t max_hold_seconds, uint64_t entry_cooldown_ticks,
                               uint64_t max_trades, uint32_t lot_size, int64_t quantity,
                               std::optional<std::string> fee_segment) {
    (void)buy_qty_delta, (void)sell_qty_delta, (void)oi;
    TickParams params;
    params.config.initial_capital = initial_capital;
    params.config.fees = fees;
    params.config.slippage = slippage;
    params.config.fee_segment = std::move(fee_segment);
    params.stop_loss_pct = stop_loss_pct;
    params.take_profit_pct = take_profit_pct;
    params.max_hold_seconds = max_hold_seconds;
    params.entry_cooldown_ticks = entry_cooldown_ticks;
    params.max_trades = max_trades;
    params.quantity = quantity;
    params.lot_size = lot_size;
    const TickColumns ticks{timestamps, ltp, bid, ask, entries, exits};
    return run_tick_strategy(params, ticks, symbol);
}

void export_single_runners(Exports& ex) {
    ex.add_function(function_def<kRunOptions, &run_options_backtest>(
        "Run options backtest.\n\n"
        "Backtests one option on its premium series: `option_prices` holds the premium\n"
        "of every bar (and `option_open_prices`, when given, the opening premium that\n"
        "next-bar fills use). At most one position is held, sized in whole contracts of\n"
        "`lot_size` units by `size_type`: \"percent\" and \"risk\" commit `size_value` times\n"
        "the cash, \"notional\" spends `size_value`, \"contracts\" buys `size_value`\n"
        "contracts (truncated). The position is always carried as bought premium, so\n"
        "its profit is (exit premium - entry premium) x quantity less fees whatever\n"
        "`direction` says; the direction only decides which fills count as buys for the\n"
        "itemised fee schedule. `option_type`, `strike_selection` and `strike_interval`\n"
        "are checked and recorded but do not change the result."));
    ex.add_function(function_def<kRunPairs, &run_pairs_backtest>(
        "Run pairs trading backtest.\n\n"
        "Leg 1 takes `direction`, leg 2 the opposite. An entry commits half the cash\n"
        "to leg 1 and half, times the hedge ratio, to leg 2; with `dynamic_hedge` the\n"
        "ratio is re-estimated at each entry as the least-squares slope of leg 1's\n"
        "close on leg 2's over the last 21 bars, held between 0.1 and 10. Each round\n"
        "trip is reported as two trades, \"{symbol}_LEG1\" and \"{symbol}_LEG2\", each\n"
        "carrying half of the pair's profit, fees and return."));
    ex.add_function(function_def<kRunTick, &run_tick_backtest>(
        "Run tick-level backtest on a single instrument.\n\n"
        "All arrays must have one length N. `buy_qty_delta` and `sell_qty_delta` must\n"
        "already be per-tick deltas (the difference from the previous tick), not a\n"
        "broker's cumulative totals. `entries` and `exits` are boolean arrays the\n"
        "caller computed beforehand. Returns a `PyBacktestResult` with the same fields\n"
        "as `run_single_backtest`; its curves have one point per closed trade."));
}

// ---------------------------------------------------------------------------
// Option spreads and their parallel batch
// ---------------------------------------------------------------------------

void export_spread_runners(Exports&) {}

// ---------------------------------------------------------------------------
// Basket, shared-capital portfolio and multi-strategy runners
// ---------------------------------------------------------------------------

void export_multi_runners(Exports&) {}

}  // namespace

void export_strategies(Exports& ex) {
    export_engine_views(ex);
    export_single_runners(ex);
    export_spread_runners(ex);
    export_multi_runners(ex);
}

}  // namespace tidemark::py
