// What strategies get back from the engine (EngineEvent, PositionSnapshot)
// and the vectorised strategy runners.
#include "python/classes.h"
#include "python/registry.h"
#include "strategies/basket.h"
#include "strategies/instruments.h"
#include "strategies/multi.h"
#include "strategies/options.h"
#include "strategies/pairs.h"
#include "strategies/portfolio.h"
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

// One row of `instruments`: timestamps, open, high, low, close, volume,
// entries, exits, direction, weight, symbol.
using InstrumentTuple = std::tuple<Series<int64_t>, Series<double>, Series<double>, Series<double>, Series<double>,
                                   Series<double>, BoolVec, BoolVec, int32_t, double, std::string>;

}  // namespace

// `instrument_configs`: a dict from symbol to InstrumentConfig, each value
// copied so that nothing refers to the Python objects after the call.
template <>
struct From<InstrumentConfigs> {
    static InstrumentConfigs get(PyObject* o) {
        if (!PyDict_Check(o)) raise_cannot_convert(o, "PyDict");
        InstrumentConfigs out;
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(o, &pos, &key, &value)) {
            std::string symbol = From<std::string>::get(key);
            const Ref<InstrumentConfig> cfg = From<Ref<InstrumentConfig>>::get(value);
            out.by_symbol.insert_or_assign(std::move(symbol), *cfg);
        }
        return out;
    }
};

namespace {

// The rows become owned instrument records (their arrays were copied when
// they were read, and are moved here); the first row with a bad direction
// ends the call.
std::vector<InstrumentData> instrument_records(Seq<InstrumentTuple>& rows) {
    std::vector<InstrumentData> out;
    out.reserve(rows.items.size());
    for (InstrumentTuple& row : rows.items) {
        InstrumentData d;
        d.timestamps = std::move(std::get<0>(row));
        d.open = std::move(std::get<1>(row));
        d.high = std::move(std::get<2>(row));
        d.low = std::move(std::get<3>(row));
        d.close = std::move(std::get<4>(row));
        d.volume = std::move(std::get<5>(row));
        d.entries = std::move(std::get<6>(row));
        d.exits = std::move(std::get<7>(row));
        d.direction = checked_direction(std::get<8>(row));
        d.weight = std::get<9>(row);
        d.symbol = std::move(std::get<10>(row));
        out.push_back(std::move(d));
    }
    return out;
}

constexpr Param kRunBasketParams[] = {
    {"instruments"}, {"config", "None"}, {"sync_mode", "\"all\""}, {"instrument_configs", "None"},
};
const Sig kRunBasket{nullptr, "run_basket_backtest", kRunBasketParams};

EngineResult run_basket_backtest(Seq<InstrumentTuple> instruments, std::optional<Ref<BacktestConfig>> config,
                                 std::string sync_mode, std::optional<InstrumentConfigs> instrument_configs) {
    const std::vector<InstrumentData> data = instrument_records(instruments);
    return run_basket_strategy(config_or_default(config), data, parse_sync_mode(sync_mode),
                               instrument_configs ? *instrument_configs : InstrumentConfigs{});
}

constexpr Param kRunPortfolioParams[] = {
    {"instruments"}, {"config", "None"}, {"allocation", "\"equal_weight\""}, {"instrument_configs", "None"},
};
const Sig kRunPortfolio{nullptr, "run_portfolio_backtest", kRunPortfolioParams};

PortfolioResult run_portfolio_backtest(Seq<InstrumentTuple> instruments, std::optional<Ref<BacktestConfig>> config,
                                       std::string allocation, std::optional<InstrumentConfigs> instrument_configs) {
    const std::vector<InstrumentData> data = instrument_records(instruments);
    return run_portfolio_strategy(config_or_default(config), data, allocation,
                                  instrument_configs ? *instrument_configs : InstrumentConfigs{});
}

// One item of `strategies`: entries, exits, direction, weight, name.
using StrategyTuple = std::tuple<BoolVec, BoolVec, int32_t, double, std::string>;

constexpr Param kRunMultiParams[] = {
    {"timestamps"}, {"open"}, {"high"}, {"low"}, {"close"}, {"volume"}, {"strategies"}, {"config", "None"},
    {"combine_mode", "\"any\""},
};
const Sig kRunMulti{nullptr, "run_multi_backtest", kRunMultiParams};

EngineResult run_multi_backtest(Series<int64_t> timestamps, Series<double> open, Series<double> high,
                                Series<double> low, Series<double> close, Series<double> volume,
                                Seq<StrategyTuple> strategies, std::optional<Ref<BacktestConfig>> config,
                                std::string combine_mode) {
    std::vector<StrategySignals> signals;
    signals.reserve(strategies.items.size());
    for (StrategyTuple& item : strategies.items) {
        StrategySignals s;
        s.entries = std::move(std::get<0>(item));
        s.exits = std::move(std::get<1>(item));
        s.direction = checked_direction(std::get<2>(item));
        s.weight = std::get<3>(item);
        s.name = std::move(std::get<4>(item));
        signals.push_back(std::move(s));
    }
    const BarArrays bars{timestamps, open, high, low, close, volume};
    return run_multi_strategy(config_or_default(config), bars, signals, parse_combine_mode(combine_mode));
}

void export_multi_runners(Exports& ex) {
    ex.add_function(function_def<kRunBasket, &run_basket_backtest>("Run basket/collective backtest."));
    ex.add_function(function_def<kRunPortfolio, &run_portfolio_backtest>(
        "Run a shared-capital portfolio backtest.\n\n"
        "Simulates every instrument against one cash pool, with `max_positions` and\n"
        "the drawdown kill-switch (set on `config`) gating each entry *before* it\n"
        "opens -- so the reported metrics describe the constrained run.\n\n"
        "This is not the same as running one backtest per symbol and summing the\n"
        "equity curves: there each symbol gets its own private capital, so N symbols\n"
        "deploy N times the account and no cross-symbol limit can be applied.\n\n"
        "`allocation`: \"equal_weight\" (default) divides the pool across the slots\n"
        "that could still open; \"full\" lets each entry take the whole remaining pool."));
    ex.add_function(function_def<kRunMulti, &run_multi_backtest>("Run multi-strategy backtest."));
}

}  // namespace

void export_strategies(Exports& ex) {
    export_engine_views(ex);
    export_single_runners(ex);
    export_spread_runners(ex);
    export_multi_runners(ex);
}

}  // namespace tidemark::py
