// What strategies get back from the engine (EngineEvent, PositionSnapshot)
// and the vectorised strategy runners.
#include <algorithm>
#include <memory>
#include <tuple>

#include "core/format.h"
#include "portfolio/kernel_session.h"
#include "python/classes.h"
#include "python/registry.h"
#include "python/views.h"
#include "strategies/basket.h"
#include "strategies/instruments.h"
#include "strategies/multi.h"
#include "strategies/options.h"
#include "strategies/pairs.h"
#include "strategies/portfolio.h"
#include "strategies/spreads.h"
#include "strategies/tick.h"

namespace tidemark::py {

namespace {

// ---------------------------------------------------------------------------
// Engine events and position views
// ---------------------------------------------------------------------------

std::optional<double> event_price(const EngineEventRecord& e) {
    switch (e.kind) {
        case EngineEventRecord::Entered:
        case EngineEventRecord::OrderFilled:
        case EngineEventRecord::MarginCall: return e.price;
        case EngineEventRecord::Exited: return e.trade->exit_price;
        default: return std::nullopt;
    }
}

std::optional<double> event_size(const EngineEventRecord& e) {
    switch (e.kind) {
        case EngineEventRecord::Entered:
        case EngineEventRecord::OrderFilled:
        case EngineEventRecord::MarginCall: return e.size;
        case EngineEventRecord::Exited: return e.trade->size;
        default: return std::nullopt;
    }
}

std::optional<int32_t> event_direction(const EngineEventRecord& e) {
    if (e.kind == EngineEventRecord::Entered) return e.direction;
    if (e.kind == EngineEventRecord::Exited) return e.trade->direction;
    return std::nullopt;
}

std::optional<Trade> event_trade(const EngineEventRecord& e) { return e.trade; }

// A refused entry reports the reason's name, a refused order its text.
std::optional<const char*> event_reject_reason(const EngineEventRecord& e) {
    if (e.kind == EngineEventRecord::EntryRejected) return reject_reason_name(e.reason);
    if (e.kind == EngineEventRecord::OrderRejected && e.reject_text) return e.reject_text;
    return std::nullopt;
}

bool carries_order(const EngineEventRecord& e) {
    return e.kind >= EngineEventRecord::OrderAccepted && e.kind != EngineEventRecord::MarginCall;
}

std::optional<uint64_t> event_order_id(const EngineEventRecord& e) {
    if (carries_order(e)) return e.order_id;
    return std::nullopt;
}

std::optional<std::string> event_client_order_id(const EngineEventRecord& e) {
    if (carries_order(e)) return e.client_order_id;
    return std::nullopt;
}

const char* event_kind(const EngineEventRecord& e) { return event_kind_text(e.kind); }

std::string event_repr(const EngineEventRecord& e) {
    return std::string("EngineEvent(kind=") + event_kind_text(e.kind) + ", idx=" + std::to_string(e.idx) + ")";
}

PyTypeObject* build_engine_event() {
    using E = EngineEventRecord;
    ClassSpec s = class_spec<E>(
        "One observable outcome of a session step.\n\n"
        "`kind` is one of:\n"
        "  `\"entered\"`: a position opened, or grew by a fill (`price`, `size`,\n"
        "  `direction`);\n"
        "  `\"exited\"`: a position closed, in whole or in part (`trade`; `price`,\n"
        "  `size` and `direction` from it);\n"
        "  `\"entry_rejected\"`: an entry intent refused (`reject_reason` a name\n"
        "  such as `\"MarginCall\"` or `\"ZeroSize\"`);\n"
        "  the order-lifecycle kinds `\"order_accepted\"`, `\"order_triggered\"`,\n"
        "  `\"order_filled\"` (`price` and `size` of this fill), `\"order_canceled\"`,\n"
        "  `\"order_expired\"` and `\"order_rejected\"` (`reject_reason` a text such\n"
        "  as `\"insufficient_capital\"` or `\"post_only\"`), each with `order_id`\n"
        "  and `client_order_id`;\n"
        "  `\"margin_call\"`: equity fell below the maintenance requirement (`price`\n"
        "  the equity, `size` the requirement);\n"
        "  the algo kinds `\"algo_started\"` and `\"algo_completed\"` of a TWAP\n"
        "  schedule (`order_id` the algo id, `client_order_id` its client id).\n"
        "A field its kind does not carry is None.");
    s.getset = {
        ro_fn<&event_kind>("kind"),
        ro<&E::idx>("idx"),
        ro_fn<&event_price>("price",
                            "Fill price, for `entered`/`order_filled` events.\n\n"
                            "The exit price for `exited`, the account equity for `margin_call`."),
        ro_fn<&event_size>("size",
                           "The size of this fill, for `entered`/`order_filled` events.\n\n"
                           "A position built from several fills (a TWAP, partial fills) reports\n"
                           "each; `position()` has the total. The closed size for `exited`, the\n"
                           "maintenance requirement for `margin_call`."),
        ro_fn<&event_direction>("direction", "Trade direction (1 long, -1 short), for `entered`/`exited` events."),
        ro_fn<&event_trade>("trade", "Completed trade, for `exited` events."),
        ro_fn<&event_reject_reason>("reject_reason", "Refusal reason, for `entry_rejected`/`order_rejected` events."),
        ro_fn<&event_order_id>("order_id", "Engine order id, for `order_*` events; the algo id for `algo_*` events."),
        ro_fn<&event_client_order_id>("client_order_id",
                                      "Caller-supplied order identifier, for `order_*` and `algo_*` events."),
    };
    s.repr = &repr_impl<&event_repr>;
    return build_class(std::move(s));
}

int32_t snapshot_direction(const PositionSnapshot& p) { return p.direction; }

std::string snapshot_repr(const PositionSnapshot& p) {
    return "PositionSnapshot(entry_idx=" + std::to_string(p.entry_idx) + ", entry_price=" + fmt_fixed(p.entry_price, 2) +
           ", size=" + fmt_fixed(p.size, 2) + ", direction=" + std::to_string(p.direction) + ")";
}

PyTypeObject* build_position_snapshot() {
    using P = PositionSnapshot;
    ClassSpec s = class_spec<P>("Read-only view of the session's open position.");
    s.getset = {
        ro<&P::position_id>("position_id", "Ledger position id, unique within a session."),
        ro<&P::entry_idx>("entry_idx"),
        ro<&P::entry_price>("entry_price"),
        ro<&P::size>("size"),
        ro_fn<&snapshot_direction>("direction", "1 for long, -1 for short."),
        ro<&P::stop_price>("stop_price"),
        ro<&P::target_price>("target_price"),
    };
    s.repr = &repr_impl<&snapshot_repr>;
    return build_class(std::move(s));
}

}  // namespace

PyTypeObject* PyClass<EngineEventRecord>::type() {
    static PyTypeObject* t = build_engine_event();
    return t;
}

PyTypeObject* PyClass<PositionSnapshot>::type() {
    static PyTypeObject* t = build_position_snapshot();
    return t;
}

PyRef engine_events_to_py(std::vector<EngineEventRecord>& records) {
    // The records move out into their objects; the vector keeps its storage.
    PyRef list(to_py(std::move(records)));
    records.clear();
    return list;
}

PyRef position_snapshots_to_py(std::vector<PositionSnapshot>&& snapshots) {
    return PyRef(to_py(std::move(snapshots)));
}

namespace {

void export_engine_views(Exports& ex) {
    ex.add_class("EngineEvent", &PyClass<EngineEventRecord>::type);
    ex.add_class("PositionSnapshot", &PyClass<PositionSnapshot>::type);
}

// ---------------------------------------------------------------------------
// Options, pairs and tick-level runners
// ---------------------------------------------------------------------------

// Full Unicode lower-casing, as Python's str.lower() does it: the runners
// accept their mode texts in any capitalisation and quote the lowered text.
// Called by name on an exact str, the method makes no bound-method object,
// so no collection (and no finalizer) can start while input arrays are read
// in place.
std::string unicode_lower(const std::string& text) {
    static PyObject* name = nullptr;
    if (!name && !(name = PyUnicode_InternFromString("lower"))) throw_py();
    PyRef u = PyRef::check(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
    PyRef low = PyRef::check(PyObject_CallMethodNoArgs(u.get(), name));
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(low.get(), &n);
    if (!s) throw_py();
    return std::string(s, static_cast<std::size_t>(n));
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

// Every bar column is held to `option_prices` before the run, as `close` and
// the signals are, in the runner's words for them, the columns the run never
// reads included: a column of another length is a slip in the caller's data
// whichever it is, and a short `timestamps` would otherwise pass or fail by
// where the trades fall. (`exits` is held to `entries` by the signal
// processor, before the first bar too.)
void check_option_columns(const ArrayArg<int64_t>& timestamps, const ArrayArg<double>& open,
                          const ArrayArg<double>& high, const ArrayArg<double>& low, const ArrayArg<double>& close,
                          const ArrayArg<double>& volume, const ArrayArg<double>& option_prices,
                          const BoolArg& entries) {
    const std::size_t n = option_prices.size();
    const auto same = [n](const char* what, std::size_t size) {
        if (size != n) fail_assert_eq(what, size, n);
    };
    same("timestamps must match option prices length", timestamps.size());
    same("open must match option prices length", open.size());
    same("high must match option prices length", high.size());
    same("low must match option prices length", low.size());
    same("option prices must match OHLCV length", close.size());
    same("volume must match option prices length", volume.size());
    same("signals must match option prices length", entries.size());
}

EngineResult run_options_backtest(ArrayArg<int64_t> timestamps, ArrayArg<double> open, ArrayArg<double> high,
                                  ArrayArg<double> low, ArrayArg<double> close, ArrayArg<double> volume,
                                  ArrayArg<double> option_prices, BoolArg entries, BoolArg exits, int32_t direction,
                                  std::string symbol, std::optional<Ref<BacktestConfig>> config,
                                  std::string option_type, std::string strike_selection, std::string size_type,
                                  double size_value, uint64_t lot_size, double strike_interval,
                                  std::optional<ArrayArg<double>> option_open_prices) {
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
    check_option_columns(timestamps, open, high, low, close, volume, option_prices, entries);

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

EngineResult run_pairs_backtest(ArrayArg<int64_t> leg1_timestamps, ArrayArg<double> leg1_open,
                                ArrayArg<double> leg1_high, ArrayArg<double> leg1_low, ArrayArg<double> leg1_close,
                                ArrayArg<double> leg1_volume, ArrayArg<int64_t> leg2_timestamps,
                                ArrayArg<double> leg2_open, ArrayArg<double> leg2_high, ArrayArg<double> leg2_low,
                                ArrayArg<double> leg2_close, ArrayArg<double> leg2_volume, BoolArg entries,
                                BoolArg exits, int32_t direction, std::string symbol,
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

EngineResult run_tick_backtest(ArrayArg<int64_t> timestamps, ArrayArg<double> ltp, ArrayArg<double> bid,
                               ArrayArg<double> ask, ArrayArg<double> buy_qty_delta, ArrayArg<double> sell_qty_delta,
                               ArrayArg<double> oi, BoolArg entries, BoolArg exits, std::string symbol,
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

// How the array runners read their signals, for their docstrings.
#define TIDEMARK_SIGNAL_READING(session)                                          \
    "\n\nSignals are read one position at a time, from the signals alone: an\n"  \
    "entry the account refuses still counts as open until the next exit signal,\n" \
    "and the entries before that signal are ignored; an exit on a bar that also\n" \
    "enters is ignored. Give such an entry an exit signal, or use `" session "`\n"  \
    "when entries must follow fills."

void export_single_runners(Exports& ex) {
    ex.add_function(function_def<kRunOptions, &run_options_backtest>(
        "Run options backtest.\n\n"
        "Backtests one option on its premium series: `option_prices` holds the premium\n"
        "of every bar (and `option_open_prices`, when given, the opening premium that\n"
        "next-bar fills use). Every array must have the length of `option_prices`.\n"
        "An `option_open_prices` that has not raises ValueError before any other\n"
        "argument or array is checked; any other raises PanicException naming it\n"
        "before the run, as a short `close` always did: the first in signature\n"
        "order, after the checks of `direction`, `option_type`, `strike_selection`\n"
        "and `size_type`. `timestamps` must ascend, which nothing checks.\n"
        "At most one position is held, sized in whole contracts of `lot_size` units\n"
        "by `size_type`: \"percent\" and \"risk\" commit `size_value` times the\n"
        "cash, \"notional\" spends `size_value`, \"contracts\" buys `size_value`\n"
        "contracts (truncated); nothing caps it, so \"percent\" with `size_value=100`\n"
        "commits 100 times the cash. `lot_size=0` buys no units, so no trade is made\n"
        "and no fee charged. The position is always carried as bought premium, so\n"
        "its profit is (exit premium - entry premium) x quantity less fees whatever\n"
        "`direction` says; the direction only decides which fills count as buys for the\n"
        "itemised fee schedule. `option_type`, `strike_selection` and `strike_interval`\n"
        "are checked and recorded but do not change the result. `config.slippage` is\n"
        "not applied, nor are the stops and targets of `config`. An entry at a premium\n"
        "of 0 or below is skipped; an exit takes the premium as given, a negative one\n"
        "included (under the flat `fees` its fee is then negative too). A position open\n"
        "at the end closes at the last premium, paying its exit fee (exit reason\n"
        "\"EndOfData\")."
        TIDEMARK_SIGNAL_READING("KernelSession")));
    ex.add_function(function_def<kRunPairs, &run_pairs_backtest>(
        "Run pairs trading backtest.\n\n"
        "Leg 1 takes `direction`, leg 2 the opposite. An entry commits half the cash\n"
        "to leg 1 and half, times the hedge ratio, to leg 2; with `dynamic_hedge` the\n"
        "ratio is re-estimated at each entry as the least-squares slope of leg 1's\n"
        "close on leg 2's over the last 21 bars, held between 0.1 and 10. Each round\n"
        "trip is reported as two trades, \"{symbol}_LEG1\" and \"{symbol}_LEG2\", each\n"
        "carrying half of the pair's profit, fees and return, so a leg's `pnl` is\n"
        "not that leg's own. `config.slippage` is not applied. A pair open at the\n"
        "end closes at the last closes, paying its exit fees (exit reason\n"
        "\"EndOfData\")."
        TIDEMARK_SIGNAL_READING("PortfolioSession")));
    ex.add_function(function_def<kRunTick, &run_tick_backtest>(
        "Run tick-level backtest on a single instrument.\n\n"
        "All arrays must have one length N. `buy_qty_delta` and `sell_qty_delta` must\n"
        "already be per-tick deltas (the difference from the previous tick), not a\n"
        "broker's cumulative totals. `entries` and `exits` are boolean arrays the\n"
        "caller computed beforehand. Returns a `BacktestResult` with the same fields\n"
        "as `run_single_backtest`; its `returns()` has one value per trade, starting\n"
        "with the first trade's (not a 0), and its equity and drawdown curves one\n"
        "point more, the starting capital first.\n\n"
        "A tick whose `ltp` is not above 0 (NaN included) has no print: the stop and\n"
        "target tests skip it, and an exit that would sell at that `ltp` (no bid\n"
        "above 0 either) waits for the next tick with a price, or at the end of the\n"
        "data takes the last price above 0 seen since the entry; a waiting exit\n"
        "keeps its reason (\"Signal\" or \"TimeExit\").\n\n"
        "Long only. `stop_loss_pct` and `take_profit_pct` are percents (5.0 is 5 %),\n"
        "unlike the fractions of `BacktestConfig`; `fees` and `slippage` are\n"
        "fractions. A position open at the end, with no exit waiting, closes at the\n"
        "last tick, paying its exit fee (exit reason \"EndOfData\")."));
}

// ---------------------------------------------------------------------------
// Option spreads and their parallel batch
// ---------------------------------------------------------------------------

// The binding templates are specialised for the records of this section, so
// they are declared outside the file's anonymous namespace.
}  // namespace

// A BatchSpreadItem. Its arrays are copied once, when the item is made, and
// are never changed afterwards (Python cannot reach them), so a batch shares
// them instead of copying them again and no later change to the object can
// reach a run.
struct BatchSpreadItemRec {
    std::string strategy_id;
    std::vector<LegConfig> leg_configs;  // option types checked by the batch
    std::shared_ptr<const SpreadArrays> arrays;
    std::string spread_type;
    std::optional<double> max_loss;
    std::optional<double> target_profit;
};

namespace {
PyTypeObject* build_batch_spread_item();
}  // namespace

template <>
struct PyClass<BatchSpreadItemRec> {
    static constexpr const char* name = "BatchSpreadItem";
    static PyTypeObject* type() {
        static PyTypeObject* t = build_batch_spread_item();
        return t;
    }
};

// A leg as the 4-tuple (option type, strike, quantity, lot size).
template <>
struct From<LegConfig> {
    static LegConfig get(PyObject* o) {
        auto [type, strike, quantity, lot_size] = From<std::tuple<std::string, double, int32_t, uint64_t>>::get(o);
        return LegConfig{std::move(type), strike, quantity, lot_size};
    }
};
template <>
struct Quiet<LegConfig> {
    static bool check(PyObject* o) { return Quiet<std::tuple<std::string, double, int32_t, uint64_t>>::check(o); }
};

// The `items` of a batch, copied out element by element while the lock is
// held. No borrow outlives the copy, so nothing refers to the Python objects
// once the lock is released.
struct BatchItemsArg {
    std::vector<BatchSpreadItemRec> items;
};

template <>
struct From<BatchItemsArg> {
    static BatchItemsArg get(PyObject* o) {
        BatchItemsArg out;
        const Py_ssize_t n = detail::sequence_length(o);
        detail::reserve_items(out.items, n);
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyRef item = detail::sequence_item(o, i);
            Ref<BatchSpreadItemRec> rec = From<Ref<BatchSpreadItemRec>>::get(item.get());
            out.items.push_back(*rec);
        }
        return out;
    }
};

namespace {

constexpr Param kRunSpreadParams[] = {
    {"timestamps"}, {"underlying_close"}, {"legs_premiums"}, {"leg_configs"}, {"entries"}, {"exits"},
    {"config", "None"}, {"spread_type", "\"custom\""}, {"max_loss", "None"}, {"target_profit", "None"},
    {"leg_expiry_timestamps", "None"}, {"legs_open_premiums", "None"},
};
const Sig kRunSpread{nullptr, "run_spread_backtest", kRunSpreadParams};

// The legs and expiries of a run, refused as run_spread_backtest refuses its
// arguments, in its order: the opening premiums against the premiums, the
// option types, one expiry per leg, then every series and signal against the
// legs and the bars. Reads the lengths of the series, never their values.
SpreadParams spread_shape(const ArrayArg<int64_t>& timestamps, const SeriesList& legs_premiums,
                          const Seq<LegConfig>& leg_configs, const BoolArg& entries, const BoolArg& exits,
                          const std::optional<Seq<int64_t>>& leg_expiry_timestamps,
                          const std::optional<SeriesList>& legs_open_premiums) {
    if (legs_open_premiums)
        if (std::optional<std::string> problem =
                open_premiums_mirror_problem(legs_premiums.lengths(), legs_open_premiums->lengths()))
            throw RuleError(*problem);

    SpreadParams params;
    params.legs = spread_legs_from_configs(leg_configs.items, LegMessage::Single);
    if (leg_expiry_timestamps) {
        if (leg_expiry_timestamps->items.size() != params.legs.size())
            throw RuleError("leg_expiry_timestamps has " + std::to_string(leg_expiry_timestamps->items.size()) +
                            " entries but there are " + std::to_string(params.legs.size()) +
                            " legs; each leg needs its own expiry, matched by position. Guessing would settle the "
                            "wrong leg.");
        params.leg_expiries = leg_expiry_timestamps->items;
    }
    // A run over arrays that do not fit would report a flat, trade-free run as
    // if it had succeeded.
    std::optional<SeriesLengths> open_lengths;
    if (legs_open_premiums) open_lengths = legs_open_premiums->lengths();
    if (std::optional<std::string> problem = spread_shape_problem(params, timestamps.size(), legs_premiums.lengths(),
                                                                  open_lengths, entries.size(), exits.size()))
        throw RuleError(*problem);
    return params;
}

// `underlying_close` and `spread_type` are the caller's bookkeeping: checked
// like every argument, read by nothing. The series are copied only once
// their lengths fit the legs and the bars (see spread_lengths).
EngineResult run_spread_backtest(ArrayArg<int64_t> timestamps, ArrayArg<double> underlying_close,
                                 SeriesList legs_premiums, Seq<LegConfig> leg_configs, BoolArg entries,
                                 BoolArg exits, std::optional<Ref<BacktestConfig>> config, std::string spread_type,
                                 std::optional<double> max_loss, std::optional<double> target_profit,
                                 std::optional<Seq<int64_t>> leg_expiry_timestamps,
                                 std::optional<SeriesList> legs_open_premiums) {
    (void)underlying_close;
    SpreadParams params =
        spread_shape(timestamps, legs_premiums, leg_configs, entries, exits, leg_expiry_timestamps, legs_open_premiums);
    if (config) params.config = **config;
    params.fee_model = fee_model_from_config(params.config);
    params.max_loss = max_loss;
    params.target_profit = target_profit;
    params.spread_type = std::move(spread_type);
    SpreadArrays arrays;
    arrays.premiums = legs_premiums.take();
    if (legs_open_premiums) arrays.open_premiums = legs_open_premiums->take();
    arrays.entries = entries.take();
    arrays.exits = exits.take();
    // The copies, once more: they are what runs (see SeriesList::take).
    if (std::optional<std::string> problem = spread_shape_problem(params, timestamps.size(), arrays))
        throw RuleError(*problem);
    return run_spread_strategy(params, timestamps, arrays);
}

// The length rule of run_spread_backtest (see function_def).
void spread_lengths(const ArrayArg<int64_t>& timestamps, const ArrayArg<double>&, const SeriesList& legs_premiums,
                    const Seq<LegConfig>& leg_configs, const BoolArg& entries, const BoolArg& exits,
                    const std::optional<Ref<BacktestConfig>>&, const std::string&, const std::optional<double>&,
                    const std::optional<double>&, const std::optional<Seq<int64_t>>& leg_expiry_timestamps,
                    const std::optional<SeriesList>& legs_open_premiums) {
    (void)spread_shape(timestamps, legs_premiums, leg_configs, entries, exits, leg_expiry_timestamps,
                       legs_open_premiums);
}

// The same rule from the lengths of the series reached so far: timestamps,
// then underlying_close, which nothing compares, then the premium series,
// entries, exits and the opening premium series, each of which must have the
// length of timestamps whatever else the call holds.
bool spread_refused(std::span<const std::size_t> n) {
    return n.size() > 2 && std::any_of(n.begin() + 2, n.end(), [&](std::size_t length) { return length != n[0]; });
}

constexpr Param kBatchItemParams[] = {
    {"strategy_id"}, {"legs_premiums"}, {"leg_configs"}, {"entries"}, {"exits"}, {"spread_type", "\"custom\""},
    {"max_loss", "None"}, {"target_profit", "None"}, {"legs_open_premiums", "None"},
};
const Sig kBatchItemNew{"BatchSpreadItem", "__new__", kBatchItemParams};

// Nothing is validated here: option types, leg counts and lengths are the
// batch's business. Only series that could never fit in memory are refused.
BatchSpreadItemRec new_batch_spread_item(std::string strategy_id, SeriesList legs_premiums,
                                         Seq<LegConfig> leg_configs, BoolVec entries, BoolVec exits,
                                         std::string spread_type, std::optional<double> max_loss,
                                         std::optional<double> target_profit,
                                         std::optional<SeriesList> legs_open_premiums) {
    auto arrays = std::make_shared<SpreadArrays>();
    arrays->premiums = legs_premiums.take();
    if (legs_open_premiums) arrays->open_premiums = legs_open_premiums->take();
    arrays->entries = std::move(entries);
    arrays->exits = std::move(exits);
    return BatchSpreadItemRec{std::move(strategy_id), std::move(leg_configs.items), std::move(arrays),
                              std::move(spread_type), max_loss, target_profit};
}

PyTypeObject* build_batch_spread_item() {
    using R = BatchSpreadItemRec;
    ClassSpec s = class_spec<R>("A single spread backtest item for batch execution.");
    set_constructor<kBatchItemNew, &new_batch_spread_item>(s);
    s.getset = {
        rw<&R::strategy_id>("strategy_id"),
        rw<&R::spread_type>("spread_type"),
        rw<&R::max_loss>("max_loss"),
        rw<&R::target_profit>("target_profit"),
    };
    return build_class(std::move(s));
}

// One item of a batch as it runs, refused as run_spread_backtest refuses the
// same arguments, in its order: the opening premiums against the premiums,
// the option types, then every series and signal against the legs and the
// bars.
SpreadItem batch_item(BatchSpreadItemRec& item, const BacktestConfig& config, std::size_t bars) {
    SpreadItem w;
    w.arrays = std::move(item.arrays);
    const SpreadArrays& a = *w.arrays;
    if (a.open_premiums)
        if (std::optional<std::string> problem =
                open_premiums_mirror_problem(SeriesLengths::of(a.premiums), SeriesLengths::of(*a.open_premiums)))
            throw RuleError(*problem);
    w.params.config = config;
    w.params.max_loss = item.max_loss;
    w.params.target_profit = item.target_profit;
    w.params.legs = spread_legs_from_configs(item.leg_configs, LegMessage::Batch);
    w.params.spread_type = std::move(item.spread_type);
    // An item whose arrays do not fit would come back as a flat run without
    // trades, a failure passed off as a result.
    if (std::optional<std::string> problem = spread_shape_problem(w.params, bars, a)) throw RuleError(*problem);
    return w;
}

constexpr Param kBatchSpreadParams[] = {{"timestamps"}, {"underlying_close"}, {"items"}, {"config", "None"}};
const Sig kBatchSpread{nullptr, "batch_spread_backtest", kBatchSpreadParams};

// Everything the workers read is copied out of Python first; the lock is
// released only around the parallel run, and the results become Python
// objects after it is taken back.
PyRef batch_spread_backtest(Series<int64_t> timestamps, Series<double> underlying_close, BatchItemsArg items,
                            std::optional<Ref<BacktestConfig>> config) {
    (void)underlying_close;
    const BacktestConfig cfg = config_or_default(config);
    std::vector<SpreadItem> work;
    work.reserve(items.items.size());
    // An item refused fails the whole call, before any item runs, naming the
    // first such item: among a thousand, the message alone must say which.
    for (BatchSpreadItemRec& item : items.items) {
        try {
            work.push_back(batch_item(item, cfg, timestamps.size()));
        } catch (const RuleError& e) {
            throw RuleError("item '" + item.strategy_id + "': " + e.what());
        }
    }

    std::vector<EngineResult> results;
    {
        AllowThreads unlocked;
        results = run_spread_batch(work, timestamps);
    }

    return list_of(results.size(), [&](std::size_t i) {
        return to_py(
            std::tuple<std::string, EngineResult>{std::move(items.items[i].strategy_id), std::move(results[i])});
    });
}

void export_spread_runners(Exports& ex) {
    ex.add_function(function_def<kRunSpread, &run_spread_backtest, &spread_lengths, &spread_refused>(
        "Run spread backtest (multi-leg options).\n\n"
        "Each leg is valued by its own premium series; `leg_configs` holds one\n"
        "(option_type, strike, quantity, lot_size) tuple per series. `entries`,\n"
        "`exits` and every premium series must have the length of `timestamps`, else\n"
        "ValueError. Premiums are taken as given, negative ones included; fees are\n"
        "charged per leg on |premium| x |quantity| x lot size, and a leg of quantity 0\n"
        "or lot size 0 holds no units: it is valued at 0 and pays no fee.\n\n"
        "This is the only runner that reads `config.squareoff_time`: the legs close\n"
        "on the first bar of each local day at or after it (exit reason\n"
        "\"Squareoff\"). The time is local through `config.session_tz_offset_ns`,\n"
        "which defaults to UTC: \"15:15\" without `session_tz_offset_ns=IST_OFFSET_NS`\n"
        "never fires on NSE data. `timestamps` must ascend, which nothing checks: the\n"
        "first bar of a day is taken in array order, so unsorted bars move the\n"
        "square-off. The stops and targets of `config` are not read; `max_loss` and\n"
        "`target_profit` (currency) limit the open legs' P&L instead.\n\n"
        "A leg settles on the first bar at or after its `leg_expiry_timestamps` entry,\n"
        "at that bar's premium, with no exit fee: no brokerage and no STT on the\n"
        "exercise of a bought leg that expires in the money. Subtract that STT by hand\n"
        "(the rate in force x settlement premium x quantity x lot size). A spread\n"
        "open at the end closes at the last premiums, paying its exit fees (exit\n"
        "reason \"EndOfData\"): `metrics.end_value` includes those fees, the last\n"
        "point of the equity curve does not."));
    ex.add_class("BatchSpreadItem", &PyClass<BatchSpreadItemRec>::type);
    ex.add_function(function_def<kBatchSpread, &batch_spread_backtest>(
        "Run multiple spread backtests in parallel on a work-stealing thread pool.\n\n"
        "Returns a list of (strategy_id, BacktestResult) tuples in item order, each\n"
        "equal to `run_spread_backtest` of that item alone, without expiries. Before\n"
        "any item runs, every item is checked as `run_spread_backtest` checks it, in\n"
        "its order: opening premiums against premiums, option types, then legs\n"
        "against premium series and a series, `entries` or `exits` against\n"
        "`timestamps`. The first item refused fails the whole call with ValueError\n"
        "reading \"item '{strategy_id}': \" followed by the reason (for arrays, the\n"
        "message `run_spread_backtest` gives). Fees and the end of the data are as\n"
        "in `run_spread_backtest`."));
}

// ---------------------------------------------------------------------------
// Basket, shared-capital portfolio and multi-strategy runners
// ---------------------------------------------------------------------------

// One row of `instruments`: timestamps, open, high, low, close, volume,
// entries, exits, direction, weight, symbol. The arrays of all rows are read
// in place or all copied (see From<Seq<T>>).
using InstrumentTuple = std::tuple<ArrayArg<int64_t>, ArrayArg<double>, ArrayArg<double>, ArrayArg<double>,
                                   ArrayArg<double>, ArrayArg<double>, BoolArg, BoolArg, int32_t, double, std::string>;

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

// PyDict_Next walks the table itself (a subclass's methods are not called),
// keys are read as str and values as records: nothing runs.
template <>
struct Quiet<InstrumentConfigs> {
    static bool check(PyObject*) { return true; }
};

namespace {

// The rows as the engine reads them: views of the arrays the rows hold
// (the caller's, or copies), good while `rows` is; the first row with a bad
// direction ends the call.
std::vector<InstrumentData> instrument_records(const Seq<InstrumentTuple>& rows) {
    std::vector<InstrumentData> out;
    out.reserve(rows.items.size());
    for (const InstrumentTuple& row : rows.items) {
        InstrumentData d;
        d.timestamps = std::get<0>(row);
        d.open = std::get<1>(row);
        d.high = std::get<2>(row);
        d.low = std::get<3>(row);
        d.close = std::get<4>(row);
        d.volume = std::get<5>(row);
        d.entries = std::get<6>(row);
        d.exits = std::get<7>(row);
        d.direction = checked_direction(std::get<8>(row));
        d.weight = std::get<9>(row);
        d.symbol = std::get<10>(row);
        out.push_back(std::move(d));
    }
    return out;
}

// The rows' lengths, all the runners check before they read a column; the
// first row with a bad direction ends the call, as in instrument_records.
std::vector<InstrumentShape> instrument_shapes(const Seq<InstrumentTuple>& rows) {
    std::vector<InstrumentShape> out;
    out.reserve(rows.items.size());
    for (const InstrumentTuple& row : rows.items) {
        (void)checked_direction(std::get<8>(row));
        out.push_back({std::get<0>(row).size(), std::get<1>(row).size(), std::get<2>(row).size(),
                       std::get<3>(row).size(), std::get<4>(row).size(), std::get<5>(row).size(),
                       std::get<6>(row).size(), std::get<7>(row).size()});
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

// The length rule of run_basket_backtest (see function_def): the rows, then
// the runner's checks.
void basket_lengths(const Seq<InstrumentTuple>& instruments, const std::optional<Ref<BacktestConfig>>&,
                    const std::string&, const std::optional<InstrumentConfigs>&) {
    check_basket_shapes(instrument_shapes(instruments));
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

// The length rule of run_portfolio_backtest.
void portfolio_lengths(const Seq<InstrumentTuple>& instruments, const std::optional<Ref<BacktestConfig>>&,
                       const std::string& allocation, const std::optional<InstrumentConfigs>&) {
    (void)check_portfolio_shapes(instrument_shapes(instruments), allocation);
}

// The shapes of the rows whose eight arrays have been reached, from the
// lengths in the order reached. Every check of the two runners holds for each
// row, against the first: rows reached later can only add a refusal, so a
// refusal of these rows is the call's (see LengthGate).
std::vector<InstrumentShape> reached_shapes(std::span<const std::size_t> n) {
    std::vector<InstrumentShape> out;
    for (std::size_t i = 0; i + 8 <= n.size(); i += 8)
        out.push_back({n[i], n[i + 1], n[i + 2], n[i + 3], n[i + 4], n[i + 5], n[i + 6], n[i + 7]});
    return out;
}

bool basket_refused(std::span<const std::size_t> n) {
    const std::vector<InstrumentShape> shapes = reached_shapes(n);
    return detail::refuses([&] { check_basket_shapes(shapes); });
}

// Any valid allocation: only the lengths are asked about.
bool portfolio_refused(std::span<const std::size_t> n) {
    const std::vector<InstrumentShape> shapes = reached_shapes(n);
    return !shapes.empty() && detail::refuses([&] { (void)check_portfolio_shapes(shapes, "equal_weight"); });
}

// One item of `strategies`: entries, exits, direction, weight, name. The
// arrays of all items are read in place or all copied, as the rows of
// `instruments` are.
using StrategyTuple = std::tuple<BoolArg, BoolArg, int32_t, double, std::string>;

constexpr Param kRunMultiParams[] = {
    {"timestamps"}, {"open"}, {"high"}, {"low"}, {"close"}, {"volume"}, {"strategies"}, {"config", "None"},
    {"combine_mode", "\"any\""},
};
const Sig kRunMulti{nullptr, "run_multi_backtest", kRunMultiParams};

EngineResult run_multi_backtest(ArrayArg<int64_t> timestamps, ArrayArg<double> open, ArrayArg<double> high,
                                ArrayArg<double> low, ArrayArg<double> close, ArrayArg<double> volume,
                                Seq<StrategyTuple> strategies, std::optional<Ref<BacktestConfig>> config,
                                std::string combine_mode) {
    std::vector<StrategySignals> signals;
    signals.reserve(strategies.items.size());
    for (StrategyTuple& item : strategies.items) {
        StrategySignals s;
        s.entries = std::get<0>(item);
        s.exits = std::get<1>(item);
        s.direction = checked_direction(std::get<2>(item));
        s.weight = std::get<3>(item);
        s.name = std::move(std::get<4>(item));
        signals.push_back(std::move(s));
    }
    const BarArrays bars{timestamps, open, high, low, close, volume};
    return run_multi_strategy(config_or_default(config), bars, signals, parse_combine_mode(combine_mode));
}

void export_multi_runners(Exports& ex) {
    ex.add_function(function_def<kRunBasket, &run_basket_backtest, &basket_lengths, &basket_refused>(
        "Run basket/collective backtest.\n\n"
        "`sync_mode` combines the instruments' signals per bar: \"all\" enters when\n"
        "every instrument enters and exits when any exits, \"any\" the reverse,\n"
        "\"majority\" both when at least N - N//2 agree, \"master\" follows the first\n"
        "instrument. Any other text, a misspelling included, acts as \"all\". The\n"
        "whole basket opens and closes together; `config.slippage` is not applied,\n"
        "and a basket open at the end closes at the last closes, paying its exit\n"
        "fees (exit reason \"EndOfData\"). Bars are paired by position; no\n"
        "timestamps are compared."
        TIDEMARK_SIGNAL_READING("PortfolioSession")));
    ex.add_function(function_def<kRunPortfolio, &run_portfolio_backtest, &portfolio_lengths, &portfolio_refused>(
        "Run a shared-capital portfolio backtest.\n\n"
        "Simulates every instrument against one cash pool, with `max_positions` and\n"
        "the drawdown kill-switch (set on `config`) gating each entry *before* it\n"
        "opens -- so the reported metrics describe the constrained run.\n\n"
        "This is not the same as running one backtest per symbol and summing the\n"
        "equity curves: there each symbol gets its own private capital, so N symbols\n"
        "deploy N times the account and no cross-symbol limit can be applied.\n\n"
        "`allocation`: \"equal_weight\" (default) divides the pool across the slots\n"
        "that could still open; \"full\" lets each entry take the whole remaining pool.\n"
        "Any other text raises ValueError. Each bar takes every instrument's exits\n"
        "before any entry, so an entry can spend what an exit of its bar frees (a\n"
        "`PortfolioSession` applies one instrument's event at a time instead). Bars\n"
        "are paired by position; no timestamps are compared. Positions open at the\n"
        "end close at the last close with no exit fee (exit reason \"EndOfData\")."
        TIDEMARK_SIGNAL_READING("PortfolioSession")
        "\n`rejected_entries` counts only the first refusal of such an entry."));
    ex.add_function(function_def<kRunMulti, &run_multi_backtest>(
        "Run multi-strategy backtest.\n\n"
        "`strategies` holds (entries, exits, direction, weight, name) tuples; the\n"
        "weight is not read. `combine_mode` \"any\", \"all\", \"majority\" (more than\n"
        "half) or \"weighted\" (the same as \"majority\") merges the entries (any\n"
        "exit exits) into one run of the `run_single_backtest` engine under the\n"
        "first strategy's name and direction; \"independent\" runs each strategy on\n"
        "`initial_capital / len(strategies)` and sums the equity curves. Any other\n"
        "text, a misspelling included, acts as \"any\"."
        TIDEMARK_SIGNAL_READING("KernelSession")));
}

#undef TIDEMARK_SIGNAL_READING

}  // namespace

void export_strategies(Exports& ex) {
    export_engine_views(ex);
    export_single_runners(ex);
    export_spread_runners(ex);
    export_multi_runners(ex);
}

}  // namespace tidemark::py
