// Market data: bar aggregation, tick features and tick signals, batch
// indicators and the streaming Indicator.
#include "python/registry.h"

#include "indicators/momentum.h"
#include "indicators/streaming.h"
#include "indicators/strength.h"
#include "indicators/trend.h"
#include "indicators/volatility.h"

namespace tidemark::py {

namespace {

// ---------------------------------------------------------------------------
// Bar aggregation
// ---------------------------------------------------------------------------

void export_bar_aggregation(Exports&) {}

// ---------------------------------------------------------------------------
// Tick features and tick signals
// ---------------------------------------------------------------------------

void export_tick_features(Exports&) {}

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

F64 py_sma(F64 data, uint64_t period) { return unwrap(compute_sma(data, period)); }
F64 py_ema(F64 data, uint64_t period) { return unwrap(compute_ema(data, period)); }
F64 py_rsi(F64 data, uint64_t period) { return unwrap(compute_rsi(data, period)); }

F64x3 py_macd(F64 data, uint64_t fast_period, uint64_t slow_period, uint64_t signal_period) {
    MacdSeries r = unwrap(compute_macd(data, fast_period, slow_period, signal_period));
    return {std::move(r.macd), std::move(r.signal), std::move(r.histogram)};
}

F64x2 py_stochastic(F64 high, F64 low, F64 close, uint64_t k_period, uint64_t d_period) {
    StochasticSeries r = unwrap(compute_stochastic(high, low, close, k_period, d_period));
    return {std::move(r.k), std::move(r.d)};
}

F64 py_atr(F64 high, F64 low, F64 close, uint64_t period) { return unwrap(compute_atr(high, low, close, period)); }

F64x3 py_bollinger_bands(F64 data, uint64_t period, double std_dev) {
    BollingerSeries r = unwrap(compute_bollinger(data, period, std_dev));
    return {std::move(r.upper), std::move(r.middle), std::move(r.lower)};
}

F64 py_adx(F64 high, F64 low, F64 close, uint64_t period) { return unwrap(compute_adx(high, low, close, period)); }

F64 py_vwap(F64 high, F64 low, F64 close, F64 volume) { return unwrap(compute_vwap(high, low, close, volume)); }

std::tuple<F64, Series<int8_t>> py_supertrend(F64 high, F64 low, F64 close, uint64_t period, double multiplier) {
    SupertrendSeries r = unwrap(compute_supertrend(high, low, close, period, multiplier));
    return {std::move(r.line), std::move(r.direction)};
}

F64 py_rolling_min(F64 data, uint64_t period) { return unwrap(compute_rolling_min(data, period)); }
F64 py_rolling_max(F64 data, uint64_t period) { return unwrap(compute_rolling_max(data, period)); }

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

// The streaming Indicator wraps the engine's StreamingIndicator as it stands.
template <>
struct PyClass<StreamingIndicator> {
    static constexpr const char* name = "Indicator";
    static PyTypeObject* type();
};

// None while warming up, a float, or a tuple of two or three floats.
template <>
struct To<IndicatorValue> {
    static PyObject* make(const IndicatorValue& v) {
        switch (v.size) {
            case 0: Py_RETURN_NONE;
            case 1: return PyFloat_FromDouble(v.v[0]);
            case 2: return To<std::tuple<double, double>>::make({v.v[0], v.v[1]});
            default: return To<std::tuple<double, double, double>>::make({v.v[0], v.v[1], v.v[2]});
        }
    }
};

namespace {

const IndicatorValue& ind_update_bar(StreamingIndicator& s, double, double high, double low, double close) {
    return s.update_bar(high, low, close);
}
// Returns the value after the reset, which is always None.
const IndicatorValue& ind_reset(StreamingIndicator& s) {
    s.reset();
    return s.value();
}
const IndicatorValue& ind_value(const StreamingIndicator& s) { return s.value(); }
bool ind_initialized(const StreamingIndicator& s) { return s.initialized(); }
const char* ind_kind(const StreamingIndicator& s) { return s.kind_name(); }
std::string ind_repr(const StreamingIndicator& s) { return std::string("Indicator(kind=") + s.kind_name() + ")"; }

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

PyTypeObject* build_indicator() {
    using S = StreamingIndicator;
    ClassSpec s = class_spec<S>("Streaming indicator with batch-identical values.");
    s.getset = {
        ro_fn<&ind_value>("value", "Latest value (`None` during warmup)."),
        ro_fn<&ind_initialized>("initialized", "Whether the warmup period has completed."),
        ro_fn<&ind_kind>("kind"),
    };
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
        method<kIndUpdateBar, &ind_update_bar>(
            "Feed one bar. Price-series cores consume the close; bar cores (atr,\n"
            "donchian) consume high/low/close. Returns the new value, if warm."),
        method0<&ind_reset>("reset", "Forget all state."),
    };
    s.repr = &repr_impl<&ind_repr>;
    return build_class(std::move(s));
}

}  // namespace

PyTypeObject* PyClass<StreamingIndicator>::type() {
    static PyTypeObject* t = build_indicator();
    return t;
}

namespace {

void export_batch_indicators(Exports& ex) {
    static const PyMethodDef defs[] = {
        function_def<kSma, &py_sma>("Simple Moving Average."),
        function_def<kEma, &py_ema>("Exponential Moving Average."),
        function_def<kRsi, &py_rsi>("Relative Strength Index."),
        function_def<kMacd, &py_macd>("MACD indicator."),
        function_def<kStochastic, &py_stochastic>("Stochastic oscillator."),
        function_def<kAtr, &py_atr>("Average True Range."),
        function_def<kBollinger, &py_bollinger_bands>("Bollinger Bands."),
        function_def<kAdx, &py_adx>("Average Directional Index."),
        function_def<kVwap, &py_vwap>("Volume Weighted Average Price."),
        function_def<kSupertrend, &py_supertrend>("Supertrend indicator."),
        function_def<kRollingMin, &py_rolling_min>("Rolling minimum (Lowest Low Value)."),
        function_def<kRollingMax, &py_rolling_max>("Rolling maximum (Highest High Value)."),
    };
    for (const PyMethodDef& d : defs) ex.add_function(d);
    ex.add_class("Indicator", &PyClass<StreamingIndicator>::type);
}

}  // namespace

void export_indicators(Exports& ex) {
    export_bar_aggregation(ex);
    export_tick_features(ex);
    export_batch_indicators(ex);
}

}  // namespace tidemark::py
