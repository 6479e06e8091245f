// Market data: bar aggregation, tick features and tick signals, batch
// indicators and the streaming Indicator.
#include "data/aggregate.h"
#include "indicators/momentum.h"
#include "indicators/streaming.h"
#include "indicators/strength.h"
#include "indicators/tick_features.h"
#include "indicators/trend.h"
#include "indicators/volatility.h"
#include "python/registry.h"

namespace tidemark::py {

// ---------------------------------------------------------------------------
// Bar aggregation
// ---------------------------------------------------------------------------

// The streaming aggregator: its own builder, and the step and unit text it
// was made with, for display.
struct BarAggregatorRec {
    std::string unit;
    std::unique_ptr<BarBuilder> builder;
    uint32_t step = 1;
};

template <>
struct PyClass<BarAggregatorRec> {
    static constexpr const char* name = "BarAggregator";
    static PyTypeObject* type();
};

namespace {

// A finished bar as Python sees it: None, or (timestamp, open, high, low,
// close, volume).
using BarTuple = std::tuple<int64_t, double, double, double, double, double>;

std::optional<BarTuple> bar_tuple(const std::optional<OhlcvBar>& b) {
    if (!b) return std::nullopt;
    return BarTuple{b->ts, b->open, b->high, b->low, b->close, b->volume};
}

constexpr Param kAggregatorParams[] = {{"step"}, {"unit"}, {"tz_offset_ns", "0"}, {"brick_size", "0.0"}};
const Sig kAggregatorNew{"BarAggregator", "__new__", kAggregatorParams};

BarAggregatorRec new_bar_aggregator(uint32_t step, std::string unit, int64_t tz_offset_ns, double brick_size) {
    std::unique_ptr<BarBuilder> builder = make_bar_builder(unit, step, tz_offset_ns, brick_size);
    return {std::move(unit), std::move(builder), step};
}

constexpr Param kPushBarParams[] = {{"timestamp"}, {"open"}, {"high"}, {"low"}, {"close"}, {"volume"}};
const Sig kPushBar{"BarAggregator", "push_bar", kPushBarParams};
constexpr Param kPushTradeParams[] = {{"timestamp"}, {"price"}, {"size"}, {"signed_size", "0.0"}};
const Sig kPushTrade{"BarAggregator", "push_trade", kPushTradeParams};

std::optional<BarTuple> aggregator_push_bar(BarAggregatorRec& a, int64_t timestamp, double open, double high,
                                            double low, double close, double volume) {
    return bar_tuple(a.builder->push({timestamp, open, high, low, close, volume, 0.0}));
}

std::optional<BarTuple> aggregator_push_trade(BarAggregatorRec& a, int64_t timestamp, double price, double size,
                                              double signed_size) {
    return bar_tuple(a.builder->push({timestamp, price, price, price, price, size, signed_size}));
}

std::optional<BarTuple> aggregator_next_pending(BarAggregatorRec& a) { return bar_tuple(a.builder->next_pending()); }
std::optional<BarTuple> aggregator_flush(BarAggregatorRec& a) { return bar_tuple(a.builder->flush()); }

PyTypeObject* build_bar_aggregator() {
    using A = BarAggregatorRec;
    ClassSpec s = class_spec<A>(
        "Streaming bar aggregator.\n\n"
        "Push source records (finer bars or trades) in ascending time order; a\n"
        "completed bar is returned as `(timestamp, open, high, low, close,\nvolume)` when its boundary is crossed. "
        "Time bars are stamped with their\nwindow-end timestamp, so a bar labeled `t` contains only data before `t`."
        "\n\n`step`, `unit`, `tz_offset_ns` and `brick_size` are those of\n"
        "`aggregate_bars`: bars pushed one at a time, draining `next_pending` after\n"
        "each push and calling `flush` at the end, give the bars it returns.");
    set_constructor<kAggregatorNew, &new_bar_aggregator>(s);
    s.getset = {ro<&A::step>("step"), ro<&A::unit>("unit")};
    s.methods = {
        method<kPushBar, &aggregator_push_bar>("Push one bar; returns the completed coarser bar, if any."),
        method<kPushTrade, &aggregator_push_trade>(
            "Push one trade; returns the completed bar, if any.\n\n"
            "`signed_size` is buy-initiated minus sell-initiated volume, which the\n"
            "signed-flow units consume; `0.0` means unknown, and those units then\n"
            "classify direction by the tick rule."),
        method0<&aggregator_next_pending>(
            "next_pending",
            "A bar completed alongside the last push but held back.\n\n"
            "One large move can complete several Renko bricks at once; `push` returns\n"
            "only the first. Drain this after every push or those bars are lost."),
        method0<&aggregator_flush>("flush", "Emit any in-progress bar at end of data."),
    };
    return build_class(std::move(s));
}

constexpr Param kAggregateBarsParams[] = {{"timestamps"}, {"open"},         {"high"}, {"low"},
                                          {"close"},      {"volume"},       {"step"}, {"unit"},
                                          {"tz_offset_ns", "0"}, {"brick_size", "0.0"}};
const Sig kAggregateBars{nullptr, "aggregate_bars", kAggregateBarsParams};

std::vector<OhlcvBar> py_aggregate_bars(ArrayArg<int64_t> timestamps, ArrayArg<double> open, ArrayArg<double> high,
                                        ArrayArg<double> low, ArrayArg<double> close, ArrayArg<double> volume,
                                        uint32_t step, std::string unit, int64_t tz_offset_ns, double brick_size) {
    return aggregate_bars(timestamps, open, high, low, close, volume, {step, unit, tz_offset_ns, brick_size});
}

constexpr Param kBarsFromTicksParams[] = {{"timestamps"}, {"ltp"},  {"buy_qty_delta"},     {"sell_qty_delta"},
                                          {"step"},       {"unit"}, {"tz_offset_ns", "0"}, {"brick_size", "0.0"}};
const Sig kBarsFromTicks{nullptr, "bars_from_ticks", kBarsFromTicksParams};

std::vector<OhlcvBar> py_bars_from_ticks(Series<int64_t> timestamps, Series<double> ltp, Series<double> buy_qty_delta,
                                         Series<double> sell_qty_delta, uint32_t step, std::string unit,
                                         int64_t tz_offset_ns, double brick_size) {
    // The copied columns move in; the columns a bare tick array lacks (bid,
    // ask, open interest, traded and quoted quantities) stay empty, which
    // reads as zeros.
    TickColumns ticks;
    ticks.timestamps = std::move(timestamps);
    ticks.ltp = std::move(ltp);
    ticks.buy_qty_delta = std::move(buy_qty_delta);
    ticks.sell_qty_delta = std::move(sell_qty_delta);
    return bars_from_ticks(ticks, {step, unit, tz_offset_ns, brick_size});
}

}  // namespace

PyTypeObject* PyClass<BarAggregatorRec>::type() {
    static PyTypeObject* t = build_bar_aggregator();
    return t;
}

namespace {

void export_bar_aggregation(Exports& ex) {
    ex.add_class("BarAggregator", &PyClass<BarAggregatorRec>::type);
    ex.add_function(function_def<kAggregateBars, &py_aggregate_bars>(
        "Aggregate bars into coarser bars.\n\n"
        "The final in-progress bar is included (flushed at end of data). Supported\n"
        "units (exact, lower case):\n"
        "  time: \"ms\"/\"millisecond\", \"s\"/\"sec\"/\"second\", \"m\"/\"min\"/\"minute\",\n"
        "  \"h\"/\"hour\", \"d\"/\"day\", \"w\"/\"week\";\n"
        "  calendar: \"month\", \"y\"/\"year\";\n"
        "  counts, with `step` as the threshold: \"tick\" (records), \"volume\",\n"
        "  \"value\" (close x volume);\n"
        "  \"renko\": bricks of `brick_size` (of `step` when `brick_size` <= 0);\n"
        "  signed flow: \"tick_imbalance\", \"tick_runs\", \"volume_imbalance\",\n"
        "  \"volume_runs\", \"value_imbalance\", \"value_runs\".\n"
        "Returns six new arrays `(timestamps, open, high, low, close, volume)`.\n\n"
        "Time and calendar bars are stamped with their window's end, and each\n"
        "input stamp is read as a point in time. For input bars that are\n"
        "themselves stamped at their end (those of `bars_from_ticks` or this\n"
        "function) the last bar of each window then falls into the next one, and\n"
        "an NSE day of 1-minute bars gives 76 five-minute bars, not 75: pass\n"
        "`timestamps - width` (the input bars' width in ns) to re-aggregate them.\n"
        "Windows align to the epoch on the local clock of `tz_offset_ns`, so hourly\n"
        "NSE bars start at 09:15 with `tz_offset_ns=IST_OFFSET_NS - 15 * 60 * 10**9`;\n"
        "a step that does not divide a day, such as 75 minutes, cannot be anchored\n"
        "(its windows move from day to day): count 75 one-minute bars with \"tick\"\n"
        "instead. Count and flow bars carry the stamp of the record that completed\n"
        "them, Renko bricks that of the record that made them."));
    ex.add_function(function_def<kBarsFromTicks, &py_bars_from_ticks>(
        "Build bars from raw tick arrays (`ltp` + buy/sell quantity deltas).\n\n"
        "Ticks whose `ltp` is not above 0 (zero, negative or NaN) are skipped: such\n"
        "a tick has no print, as in `run_tick_backtest`.\n\n"
        "`step`, `unit`, `tz_offset_ns` and `brick_size` are those of\n"
        "`aggregate_bars`. A tick's size is |buy delta| + |sell delta| and its\n"
        "signed flow |buy delta| - |sell delta|. Time bars are stamped at their\n"
        "window's end: shift them back by one bar width before passing them to\n"
        "`aggregate_bars`."));
}

// ---------------------------------------------------------------------------
// Tick features and tick signals
// ---------------------------------------------------------------------------

constexpr Param kEntryParams[] = {
    {"spread_pct"},           {"bsi_delta"},         {"return_1m"},         {"spread_pct_max", "5.0"},
    {"bsi_min", "0.0"},       {"return_1m_min_abs", "0.0"}, {"return_direction", "1"}, {"cooldown_ticks", "10"},
};
const Sig kEntrySignals{nullptr, "compute_tick_entry_signals", kEntryParams};

BoolVec py_entry_signals(ArrayArg<double> spread_pct, ArrayArg<double> bsi_delta, ArrayArg<double> return_1m,
                         double spread_pct_max, double bsi_min, double return_1m_min_abs, int8_t return_direction,
                         uint64_t cooldown_ticks) {
    return tick_entry_signals(spread_pct, bsi_delta, return_1m,
                              {spread_pct_max, bsi_min, return_1m_min_abs, return_direction, cooldown_ticks});
}

constexpr Param kExitParams[] = {{"timestamps_ns"}, {"eod_exit_time_ns", "0"}};
const Sig kExitSignals{nullptr, "compute_tick_exit_signals", kExitParams};

BoolVec py_exit_signals(ArrayArg<int64_t> timestamps_ns, int64_t eod_exit_time_ns) {
    return tick_exit_signals(timestamps_ns, eod_exit_time_ns);
}

constexpr Param kSpreadParams[] = {{"bid"}, {"ask"}};
const Sig kSpread{nullptr, "tick_spread_pct", kSpreadParams};

Series<double> py_spread_pct(ArrayArg<double> bid, ArrayArg<double> ask) { return tick_spread_pct(bid, ask); }

constexpr Param kBsiParams[] = {{"buy_qty_cumulative"}, {"sell_qty_cumulative"}};
const Sig kBsi{nullptr, "buy_sell_imbalance_delta", kBsiParams};

Series<double> py_bsi_delta(ArrayArg<double> buy_qty_cumulative, ArrayArg<double> sell_qty_cumulative) {
    return buy_sell_imbalance_delta(buy_qty_cumulative, sell_qty_cumulative);
}

constexpr Param kReturnParams[] = {{"timestamps_ns"}, {"ltp"}, {"window_seconds", "60.0"}};
const Sig kReturn{nullptr, "return_window", kReturnParams};

Series<double> py_return_window(ArrayArg<int64_t> timestamps_ns, ArrayArg<double> ltp, double window_seconds) {
    return return_window(timestamps_ns, ltp, window_seconds);
}

constexpr Param kVolParams[] = {{"timestamps_ns"}, {"ltp"}, {"window_seconds", "300.0"}};
const Sig kVol{nullptr, "realized_vol_rolling", kVolParams};

Series<double> py_realized_vol(ArrayArg<int64_t> timestamps_ns, ArrayArg<double> ltp, double window_seconds) {
    return realized_vol_rolling(timestamps_ns, ltp, window_seconds);
}

constexpr Param kOiParams[] = {{"oi"}, {"oi_day_high"}, {"oi_day_low"}};
const Sig kOi{nullptr, "oi_position_pct", kOiParams};

Series<double> py_oi_position(ArrayArg<double> oi, double oi_day_high, double oi_day_low) {
    return oi_position_pct(oi, oi_day_high, oi_day_low);
}

constexpr Param kVelocityParams[] = {{"timestamps_ns"}, {"window_seconds", "60.0"}};
const Sig kVelocity{nullptr, "tick_velocity", kVelocityParams};

Series<double> py_tick_velocity(ArrayArg<int64_t> timestamps_ns, double window_seconds) {
    return tick_velocity(timestamps_ns, window_seconds);
}

void export_tick_features(Exports& ex) {
    ex.add_function(function_def<kEntrySignals, &py_entry_signals>(
        "Compute tick momentum entry signals from per-tick feature arrays.\n\n"
        "All input arrays have the same length N. Returns a bool array of length N\n"
        "where True marks a valid entry tick (all gates passed, not in cooldown).\n\n"
        "Gates: the spread limit (a `spread_pct` above `spread_pct_max` fails), the\n"
        "BSI minimum (a `bsi_delta` below `bsi_min` fails; 0.0 = disabled), the\n"
        "return gate (|`return_1m`| >= `return_1m_min_abs`; 0.0 = disabled; NaN\n"
        "always fails) and the cooldown of `cooldown_ticks` ticks between\n"
        "consecutive entries. A NaN spread or BSI passes its gate.\n\n"
        "`return_direction` is read only with the return gate on: a positive one\n"
        "takes a `return_1m` >= 0, a negative one a `return_1m` <= 0, and 0 either\n"
        "sign. With the gate off neither the size nor the sign of `return_1m` is\n"
        "checked, so a zero or negative return passes under 1."));
    ex.add_function(function_def<kExitSignals, &py_exit_signals>(
        "Compute time-based exit signals (EOD / session-end).\n\n"
        "`exit[i]` is True for every tick with timestamp >= `eod_exit_time_ns`; 0\n"
        "disables (all False). `timestamps_ns` are nanoseconds since the epoch (an\n"
        "int64 array).\n\n"
        "`eod_exit_time_ns` is an instant on the same clock, not a time of day:\n"
        "one cut-off for the whole array, so data of several days needs one call\n"
        "per day."));
    ex.add_function(function_def<kSpread, &py_spread_pct>(
        "Per-tick bid/ask spread as percentage of mid price.\n\n"
        "Returns 0.0 where the mid is not above 0, as where bid and ask are both 0."));
    ex.add_function(function_def<kBsi, &py_bsi_delta>(
        "Per-tick delta BSI from the broker's cumulative session totals.\n\n"
        "The inputs must be the raw cumulative running sums, not deltas. The result\n"
        "is the buy share of each tick's flow, in [0, 1]; 0.5 is neutral, and is the\n"
        "value of element 0 and of every tick without flow (a step down of a sum,\n"
        "such as a reset, or a NaN counts as no flow)."));
    ex.add_function(function_def<kReturn, &py_return_window>(
        "Per-tick lookback return over a time window.\n\n"
        "In percent, from the last tick at or before `window_seconds` earlier.\n"
        "Returns NaN for ticks without such a tick, and where either price is\n"
        "not above 0."));
    ex.add_function(function_def<kVol, &py_realized_vol>(
        "Rolling realized volatility proxy: stddev of log-returns over a time window (as %).\n\n"
        "Returns NaN for ticks whose window holds fewer than 2 returns between\n"
        "prices above 0."));
    ex.add_function(function_def<kOi, &py_oi_position>(
        "Per-tick OI position within the day's high/low range, in percent.\n\n"
        "(oi - oi_day_low) / (oi_day_high - oi_day_low) x 100, not clamped: an `oi`\n"
        "outside the range gives a value outside [0, 100] (250 in a range of 100\n"
        "to 200 gives 150). All NaN unless `oi_day_high` is above `oi_day_low`."));
    ex.add_function(function_def<kVelocity, &py_tick_velocity>(
        "Rolling tick velocity: ticks per minute over the preceding window_seconds.\n\n"
        "Counts each tick and the earlier ones less than `window_seconds` before it.\n"
        "Element 0 is 0.0, and so is every element when `window_seconds` is not\n"
        "above 0."));
}

// ---------------------------------------------------------------------------
// Batch indicators and the streaming Indicator
// ---------------------------------------------------------------------------

// An indicator kernel's refusal is the caller's error: ValueError with its text.
template <class T>
T unwrap(Outcome<T, IndicatorError>&& r) {
    if (!r) throw RuleError(r.error().text());
    return std::move(r.value());
}

using F64 = Series<double>;
using F64x2 = std::tuple<F64, F64>;
using F64x3 = std::tuple<F64, F64, F64>;
using In = ArrayArg<double>;

F64 py_sma(In data, uint64_t period) { return unwrap(compute_sma(data, period)); }
F64 py_ema(In data, uint64_t period) { return unwrap(compute_ema(data, period)); }
F64 py_rsi(In data, uint64_t period) { return unwrap(compute_rsi(data, period)); }

F64x3 py_macd(In data, uint64_t fast_period, uint64_t slow_period, uint64_t signal_period) {
    MacdSeries r = unwrap(compute_macd(data, fast_period, slow_period, signal_period));
    return {std::move(r.macd), std::move(r.signal), std::move(r.histogram)};
}

F64x2 py_stochastic(In high, In low, In close, uint64_t k_period, uint64_t d_period) {
    StochasticSeries r = unwrap(compute_stochastic(high, low, close, k_period, d_period));
    return {std::move(r.k), std::move(r.d)};
}

F64 py_atr(In high, In low, In close, uint64_t period) { return unwrap(compute_atr(high, low, close, period)); }

F64x3 py_bollinger_bands(In data, uint64_t period, double std_dev) {
    BollingerSeries r = unwrap(compute_bollinger(data, period, std_dev));
    return {std::move(r.upper), std::move(r.middle), std::move(r.lower)};
}

F64 py_adx(In high, In low, In close, uint64_t period) { return unwrap(compute_adx(high, low, close, period)); }

F64 py_vwap(In high, In low, In close, In volume) { return unwrap(compute_vwap(high, low, close, volume)); }

std::tuple<F64, Series<int8_t>> py_supertrend(In high, In low, In close, uint64_t period, double multiplier) {
    SupertrendSeries r = unwrap(compute_supertrend(high, low, close, period, multiplier));
    return {std::move(r.line), std::move(r.direction)};
}

F64 py_rolling_min(In data, uint64_t period) { return unwrap(compute_rolling_min(data, period)); }
F64 py_rolling_max(In data, uint64_t period) { return unwrap(compute_rolling_max(data, period)); }

constexpr Param kDataPeriod[] = {{"data"}, {"period"}};
constexpr Param kHlcPeriod[] = {{"high"}, {"low"}, {"close"}, {"period"}};
constexpr Param kMacdParams[] = {{"data"}, {"fast_period", "12"}, {"slow_period", "26"}, {"signal_period", "9"}};
constexpr Param kStochasticParams[] = {{"high"}, {"low"}, {"close"}, {"k_period", "14"}, {"d_period", "3"}};
constexpr Param kBollingerParams[] = {{"data"}, {"period", "20"}, {"std_dev", "2.0"}};
constexpr Param kVwapParams[] = {{"high"}, {"low"}, {"close"}, {"volume"}};
constexpr Param kSupertrendParams[] = {{"high"}, {"low"}, {"close"}, {"period", "10"}, {"multiplier", "3.0"}};

const Sig kSma{nullptr, "sma", kDataPeriod};
const Sig kEma{nullptr, "ema", kDataPeriod};
const Sig kRsi{nullptr, "rsi", kDataPeriod};
const Sig kMacd{nullptr, "macd", kMacdParams};
const Sig kStochastic{nullptr, "stochastic", kStochasticParams};
const Sig kAtr{nullptr, "atr", kHlcPeriod};
const Sig kBollinger{nullptr, "bollinger_bands", kBollingerParams};
const Sig kAdx{nullptr, "adx", kHlcPeriod};
const Sig kVwap{nullptr, "vwap", kVwapParams};
const Sig kSupertrend{nullptr, "supertrend", kSupertrendParams};
const Sig kRollingMin{nullptr, "rolling_min", kDataPeriod};
const Sig kRollingMax{nullptr, "rolling_max", kDataPeriod};

}  // namespace

// The streaming Indicator: the engine's StreamingIndicator, and the object
// its last update returned, kept for reuse (see update_to_py).
struct IndicatorRec {
    StreamingIndicator ind;
    PyRef last;
};

template <>
struct PyClass<IndicatorRec> {
    static constexpr const char* name = "Indicator";
    static PyTypeObject* type();
};

// The static constructors make the engine's indicator; the object holds it.
template <>
struct To<StreamingIndicator> {
    static PyObject* make(StreamingIndicator&& s) { return new_object(IndicatorRec{std::move(s), {}}); }
};

namespace {

// None while warming up, a float, or a tuple of two or three floats.
PyObject* value_to_py(const IndicatorValue& v) {
    switch (v.size) {
        case 0: Py_RETURN_NONE;
        case 1: return to_py(v.v[0]);
        case 2: return to_py(std::tuple<double, double>{v.v[0], v.v[1]});
        default: return to_py(std::tuple<double, double, double>{v.v[0], v.v[1], v.v[2]});
    }
}

// Whether this reference is the only one, so that the object may be changed
// without anyone seeing it.
bool sole_owner(PyObject* o) {
#ifdef Py_GIL_DISABLED
    // Another thread's references are not all counted here.
    (void)o;
    return false;
#else
    return Py_REFCNT(o) == 1;
#endif
}

void refill_float(PyObject* f, double v) { reinterpret_cast<PyFloatObject*>(f)->ob_fval = v; }

// As value_to_py, for the value an update returns. A driver loop reads each
// value and drops it before the next bar: once only this object holds the
// last one, it is filled with the new numbers and handed out again (as the
// interpreter itself reuses a float nobody else holds), which spares the
// allocation and release of a float, or a tuple and its floats, per bar, and
// the garbage collections that so many tracked tuples set off. A value the
// caller kept is left alone and a new one made.
PyObject* update_to_py(IndicatorRec& r, const IndicatorValue& v) {
    if (v.size == 0) Py_RETURN_NONE;
    PyObject* last = r.last.get();
    if (last && sole_owner(last)) {
        if (v.size == 1 && PyFloat_CheckExact(last)) {
            refill_float(last, v.v[0]);
            return Py_NewRef(last);
        }
        if (v.size > 1 && PyTuple_CheckExact(last) && PyTuple_GET_SIZE(last) == v.size) {
            for (Py_ssize_t i = 0; i < v.size; ++i) {
                PyObject* item = PyTuple_GET_ITEM(last, i);
                if (sole_owner(item)) {
                    refill_float(item, v.v[i]);
                } else {
                    PyTuple_SET_ITEM(last, i, to_py(v.v[i]));
                    Py_DECREF(item);
                }
            }
            return Py_NewRef(last);
        }
    }
    PyRef fresh = PyRef::check(value_to_py(v));
    r.last = PyRef(Py_NewRef(fresh.get()));
    return fresh.release();
}

PyRef ind_update_bar(IndicatorRec& r, double, double high, double low, double close) {
    return PyRef(update_to_py(r, r.ind.update_bar(high, low, close)));
}
// Returns the value after the reset, which is always None.
PyRef ind_reset(IndicatorRec& r) {
    r.ind.reset();
    return PyRef(value_to_py(r.ind.value()));
}
PyRef ind_value(const IndicatorRec& r) { return PyRef(value_to_py(r.ind.value())); }
bool ind_initialized(const IndicatorRec& r) { return r.ind.initialized(); }
const char* ind_kind(const IndicatorRec& r) { return r.ind.kind_name(); }
std::string ind_repr(const IndicatorRec& r) { return std::string("Indicator(kind=") + r.ind.kind_name() + ")"; }

constexpr Param kPeriod[] = {{"period"}};
constexpr Param kIndBollingerParams[] = {{"period"}, {"k", "2.0"}};
constexpr Param kIndMacdParams[] = {{"fast", "12"}, {"slow", "26"}, {"signal", "9"}};
constexpr Param kUpdateBarParams[] = {{"_open"}, {"high"}, {"low"}, {"close"}};

const Sig kIndSma{"Indicator", "sma", kPeriod};
const Sig kIndEma{"Indicator", "ema", kPeriod};
const Sig kIndWilderMa{"Indicator", "wilder_ma", kPeriod};
const Sig kIndWma{"Indicator", "wma", kPeriod};
const Sig kIndRoc{"Indicator", "roc", kPeriod};
const Sig kIndStddev{"Indicator", "stddev", kPeriod};
const Sig kIndRsi{"Indicator", "rsi", kPeriod};
const Sig kIndAtr{"Indicator", "atr", kPeriod};
const Sig kIndDonchian{"Indicator", "donchian", kPeriod};
const Sig kIndBollinger{"Indicator", "bollinger", kIndBollingerParams};
const Sig kIndMacd{"Indicator", "macd", kIndMacdParams};
const Sig kIndUpdateBar{"Indicator", "update_bar", kUpdateBarParams};

// The per-bar call of a driver loop. Four floats by position on a free object
// are read in place; any other call goes through the general binder, which
// also produces every error message, so both paths behave alike.
PyObject* ind_update_bar_fast(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    auto* obj = as_obj<IndicatorRec>(self);
    if (kwnames || PyVectorcall_NARGS(nargsf) != 4 || obj->borrow != 0 || !PyFloat_CheckExact(args[0]) ||
        !PyFloat_CheckExact(args[1]) || !PyFloat_CheckExact(args[2]) || !PyFloat_CheckExact(args[3]))
        return fastcall_method<kIndUpdateBar, &ind_update_bar>(self, args, nargsf, kwnames);
    return guarded([&]() -> PyObject* {
        WriteBorrow g(obj);
        IndicatorRec& r = obj->rec;
        return update_to_py(r, r.ind.update_bar(PyFloat_AS_DOUBLE(args[1]), PyFloat_AS_DOUBLE(args[2]),
                                                PyFloat_AS_DOUBLE(args[3])));
    });
}

PyTypeObject* build_indicator() {
    using S = StreamingIndicator;
    ClassSpec s = class_spec<IndicatorRec>(
        "Streaming indicator with batch-identical values.\n\n"
        "Made by the static constructors, it takes one bar per `update_bar` and\n"
        "returns the new value, or None while warming up. EMA, RSI, ATR and MACD\n"
        "equal the batch functions bit for bit (ATR has its value from index\n"
        "`period - 1`, MACD only from the signal line's first value); SMA and the\n"
        "Bollinger middle may differ from them in the last bits. The batch `atr`\n"
        "needs `period + 1` bars: on exactly `period` bars it gives only NaN, while\n"
        "this one gives its seed on its `period`-th bar. A period of 0 counts as 1; a\n"
        "negative one raises OverflowError.");
    s.getset = {
        ro_fn<&ind_value>("value", "Latest value (`None` during warmup)."),
        ro_fn<&ind_initialized>("initialized", "Whether the warmup period has completed."),
        ro_fn<&ind_kind>("kind"),
    };
    PyMethodDef update_bar_def = method<kIndUpdateBar, &ind_update_bar>(
        "Feed one bar. Price-series cores consume the close; bar cores (atr,\n"
        "donchian) consume high/low/close. Returns the new value, if warm.");
    update_bar_def.ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&ind_update_bar_fast));
    s.methods = {
        static_method<kIndSma, &S::sma>(nullptr),
        static_method<kIndEma, &S::ema>(nullptr),
        static_method<kIndWilderMa, &S::wilder_ma>("Wilder-smoothed moving average (alpha = 1/period)."),
        static_method<kIndWma, &S::wma>(nullptr),
        static_method<kIndRoc, &S::roc>("Rate of change over `period` bars, in percent."),
        static_method<kIndStddev, &S::stddev>("Rolling population standard deviation."),
        static_method<kIndRsi, &S::rsi>(nullptr),
        static_method<kIndAtr, &S::atr>(nullptr),
        static_method<kIndDonchian, &S::donchian>("Highest-high / lowest-low channel; value is `(upper, lower)`."),
        static_method<kIndBollinger, &S::bollinger>("Bollinger bands; value is `(middle, upper, lower)`."),
        static_method<kIndMacd, &S::macd>("MACD; value is `(macd, signal, histogram)`."),
        update_bar_def,
        method0<&ind_reset>("reset", "Forget all state."),
    };
    s.repr = &repr_impl<&ind_repr>;
    return build_class(std::move(s));
}

}  // namespace

PyTypeObject* PyClass<IndicatorRec>::type() {
    static PyTypeObject* t = build_indicator();
    return t;
}

namespace {

// The closing paragraph of every batch indicator's docstring.
#define TIDEMARK_INDICATOR_INPUTS \
    "\n\nInputs are one-dimensional float64 arrays of one length (nothing is\n" \
    "converted); unequal lengths raise ValueError."
#define TIDEMARK_INDICATOR_PERIODS \
    TIDEMARK_INDICATOR_INPUTS " A period of 0 raises ValueError,\n" \
    "a negative one OverflowError."

void export_batch_indicators(Exports& ex) {
    static const PyMethodDef defs[] = {
        function_def<kSma, &py_sma>(
            "Simple Moving Average.\n\n"
            "The mean of the last `period` values of `data`, as a new float64 array of\n"
            "the input's length, NaN where no value exists yet.\n"
            "First valid index: `period - 1` (all NaN for fewer than `period` values).\n"
            "NaN input: a NaN stays in the running sum, so it and every later value\n"
            "are NaN."
            TIDEMARK_INDICATOR_PERIODS),
        function_def<kEma, &py_ema>(
            "Exponential Moving Average.\n\n"
            "Seeded with the mean of the first `period` values, then smoothed with\n"
            "alpha = 2 / (period + 1); a new float64 array of the input's length.\n"
            "First valid index: `period - 1` (all NaN for fewer than `period` values).\n"
            "NaN input: it and every later value are NaN."
            TIDEMARK_INDICATOR_PERIODS),
        function_def<kRsi, &py_rsi>(
            "Relative Strength Index.\n\n"
            "Wilder's RSI of the close-to-close changes, 0 to 100 (100 when there is no\n"
            "loss): the first average gain and loss are the means of the first `period`\n"
            "changes, then smoothed with alpha = 1 / period.\n"
            "First valid index: `period` (`period` changes need `period + 1` values;\n"
            "all NaN with fewer).\n"
            "NaN input: it and every later value are NaN."
            TIDEMARK_INDICATOR_PERIODS),
        function_def<kMacd, &py_macd>(
            "MACD indicator.\n\n"
            "Returns `(macd, signal, histogram)`, float64 arrays of the input's length:\n"
            "macd = EMA(fast_period) - EMA(slow_period), signal = EMA(signal_period) of\n"
            "macd seeded with the mean of its first `signal_period` values, histogram =\n"
            "macd - signal. `fast_period` must be below `slow_period`.\n"
            "First valid index: macd `slow_period - 1`; signal and histogram\n"
            "`slow_period + signal_period - 2`.\n"
            "NaN input: it and every later value of all three are NaN."
            TIDEMARK_INDICATOR_PERIODS),
        function_def<kStochastic, &py_stochastic>(
            "Stochastic oscillator.\n\n"
            "Returns `(k, d)`: %K = 100 x (close - lowest low) / (highest high - lowest\n"
            "low) over `k_period` bars (50 where that range is not above 0), %D the\n"
            "mean of the last `d_period` %K values.\n"
            "First valid index: k `k_period - 1`; d `k_period + d_period - 2`.\n"
            "NaN input: a NaN high or low is skipped inside its window; a NaN close\n"
            "makes that %K NaN, and so every %D whose window holds it."
            TIDEMARK_INDICATOR_PERIODS),
        function_def<kAtr, &py_atr>(
            "Average True Range.\n\n"
            "Wilder's ATR: the true range is max(high - low, |high - previous close|,\n"
            "|low - previous close|), the first bar's range is high - low; the seed is\n"
            "the mean of the first `period` true ranges, then smoothing with\n"
            "alpha = 1 / period.\n"
            "First valid index: `period - 1` (the seed; all NaN unless there are at\n"
            "least `period + 1` bars).\n"
            "NaN input: a NaN among a true range's three terms is skipped; a bar whose\n"
            "true range has no number at all (high and low both NaN, say) makes it and\n"
            "every later value NaN."
            TIDEMARK_INDICATOR_PERIODS),
        function_def<kBollinger, &py_bollinger_bands>(
            "Bollinger Bands.\n\n"
            "Returns `(upper, middle, lower)`: middle the SMA of `period` values, the\n"
            "bands `std_dev` population standard deviations above and below it\n"
            "(`std_dev` must be > 0). The streaming `Indicator.bollinger` gives\n"
            "(middle, upper, lower) instead.\n"
            "First valid index: `period - 1` (all NaN for fewer than `period` values).\n"
            "NaN input: it and every later value of all three are NaN."
            TIDEMARK_INDICATOR_PERIODS),
        function_def<kAdx, &py_adx>(
            "Average Directional Index.\n\n"
            "Wilder's ADX: the directional index DX from the `period`-bar Wilder sums\n"
            "of +DM, -DM and the true range, first averaged over `period` values of DX,\n"
            "then smoothed with alpha = 1 / period.\n"
            "First valid index: `2 * period - 1` (all NaN for fewer than `2 * period`\n"
            "bars).\n"
            "NaN input: never NaN after the warm-up. A NaN high or low counts as no\n"
            "directional move; a bar whose true range has no number at all leaves DX\n"
            "at 0 from then on, so the ADX decays towards 0."
            TIDEMARK_INDICATOR_PERIODS),
        function_def<kVwap, &py_vwap>(
            "Volume Weighted Average Price.\n\n"
            "Cumulative from the first bar, with no daily reset: the sum of typical\n"
            "price (high + low + close) / 3 times volume over the sum of volume.\n"
            "First valid index: `0` (NaN while the summed volume is not above 0).\n"
            "NaN input: it and every later value are NaN."
            TIDEMARK_INDICATOR_INPUTS),
        function_def<kSupertrend, &py_supertrend>(
            "Supertrend indicator.\n\n"
            "Returns `(line, direction)`: bands `multiplier` x ATR(`period`) around\n"
            "(high + low) / 2, tightened while the close stays inside; direction is 1\n"
            "(up, line = lower band) or -1 (down, line = upper band) as int8, and 0\n"
            "where there is no value. The first value is a down trend unless the close\n"
            "is above the upper band.\n"
            "First valid index: line `period - 1`; direction `period - 1` (all empty\n"
            "unless there are at least `period + 1` bars).\n"
            "NaN input: a NaN high or low makes that bar's line NaN; a bar whose true\n"
            "range has no number at all makes every later line NaN."
            TIDEMARK_INDICATOR_PERIODS),
        function_def<kRollingMin, &py_rolling_min>(
            "Rolling minimum (Lowest Low Value).\n\n"
            "The least value of each window of `period` values.\n"
            "First valid index: `period - 1` (all NaN for fewer than `period` values).\n"
            "NaN input: skipped inside the window; NaN only where a window holds no\n"
            "number."
            TIDEMARK_INDICATOR_PERIODS),
        function_def<kRollingMax, &py_rolling_max>(
            "Rolling maximum (Highest High Value).\n\n"
            "The greatest value of each window of `period` values.\n"
            "First valid index: `period - 1` (all NaN for fewer than `period` values).\n"
            "NaN input: skipped inside the window; NaN only where a window holds no\n"
            "number."
            TIDEMARK_INDICATOR_PERIODS),
    };
#undef TIDEMARK_INDICATOR_PERIODS
#undef TIDEMARK_INDICATOR_INPUTS
    for (const PyMethodDef& d : defs) ex.add_function(d);
    ex.add_class("Indicator", &PyClass<IndicatorRec>::type);
}

}  // namespace

void export_indicators(Exports& ex) {
    export_bar_aggregation(ex);
    export_tick_features(ex);
    export_batch_indicators(ex);
}

}  // namespace tidemark::py
