// The event-driven sessions: KernelSession and PortfolioSession.
#include <algorithm>
#include <array>

#include "portfolio/kernel_session.h"
#include "portfolio/session.h"
#include "python/classes.h"
#include "python/registry.h"
#include "python/views.h"

namespace tidemark::py {

namespace {

// ---------------------------------------------------------------------------
// What the two sessions share
// ---------------------------------------------------------------------------

// The intents that end a step or an apply call (entry, exit, atr, size_mult,
// stop_price, target_price; the first `n` of them given), read in place when
// each has exactly the expected type. False hands the call to the general
// binder, which also produces every error message.
bool read_intents_fast(PyObject* const* args, Py_ssize_t n, StepIntents& in) {
    bool* const flags[] = {&in.entry, &in.exit};
    for (Py_ssize_t i = 0; i < std::min<Py_ssize_t>(n, 2); ++i) {
        if (args[i] != Py_True && args[i] != Py_False) return false;
        *flags[i] = args[i] == Py_True;
    }
    if (n > 2) {
        if (!PyFloat_CheckExact(args[2])) return false;
        in.atr = PyFloat_AS_DOUBLE(args[2]);
    }
    std::optional<double>* const levels[] = {&in.size, &in.stop, &in.target};
    for (Py_ssize_t i = 3; i < n; ++i) {
        if (args[i] == Py_None) continue;
        if (!PyFloat_CheckExact(args[i])) return false;
        *levels[i - 3] = PyFloat_AS_DOUBLE(args[i]);
    }
    return true;
}

// The order calls of both sessions. A PortfolioSession call names its
// instrument first, where a KernelSession call has nothing: `Route` is that
// leading argument, handed to the session as it came.
template <class Rec, class... Route>
struct OrderCalls {
    static uint64_t submit_order(Rec& r, Route... route, std::string side, std::string kind, uint64_t submitted_idx,
                                 int64_t submitted_ts, std::string client_id, std::optional<double> units,
                                 std::optional<double> size_frac, std::optional<double> limit_price,
                                 std::optional<double> trigger_price, std::string tif,
                                 std::optional<int64_t> expire_ns, std::optional<double> stop_price,
                                 std::optional<double> target_price, std::optional<double> offset,
                                 std::string offset_kind, double limit_offset, bool post_only, bool reduce_only,
                                 std::optional<uint64_t> parent_id) {
        return r.session.submit_order(
            route..., OrderArgs{std::move(side), std::move(kind), submitted_idx, submitted_ts, std::move(client_id),
                                units, size_frac, limit_price, trigger_price, std::move(tif), expire_ns, stop_price,
                                target_price, offset, std::move(offset_kind), limit_offset, post_only, reduce_only,
                                parent_id});
    }
    static bool cancel_order(Rec& r, Route... route, uint64_t idx, uint64_t order_id) {
        return r.session.cancel_order(route..., idx, order_id);
    }
    static bool modify_order(Rec& r, Route... route, uint64_t order_id, std::optional<double> units,
                             std::optional<double> size_frac, std::optional<double> limit_price,
                             std::optional<double> trigger_price) {
        return r.session.modify_order(route..., order_id, units, size_frac, limit_price, trigger_price);
    }
    static std::vector<uint64_t> cancel_all_orders(Rec& r, Route... route, uint64_t idx) {
        return r.session.cancel_all_orders(route..., idx);
    }
    static void link_oco(Rec& r, Route... route, Seq<uint64_t> order_ids) {
        r.session.link_oco(route..., order_ids.items);
    }
    static void request_close(Rec& r, Route... route, uint64_t position_id) {
        r.session.request_close(route..., position_id);
    }
    static void set_underlying_price(Rec& r, Route... route, std::optional<double> price) {
        r.session.set_underlying_price(route..., price);
    }
    static PyRef positions(const Rec& r, Route... route) {
        return position_snapshots_to_py(r.session.positions(route...));
    }
    static std::optional<PositionSnapshot> position(const Rec& r, Route... route) {
        return r.session.position(route...);
    }
};

// The parameters of the order calls, as a KernelSession takes them.
constexpr Param kSubmitParams[] = {
    {"side"},
    {"kind"},
    {"submitted_idx"},
    {"submitted_ts"},
    {"client_id"},
    {"units", "None"},
    {"size_frac", "None"},
    {"limit_price", "None"},
    {"trigger_price", "None"},
    {"tif", "\"gtc\""},
    {"expire_ns", "None"},
    {"stop_price", "None"},
    {"target_price", "None"},
    {"offset", "None"},
    {"offset_kind", "\"price\""},
    {"limit_offset", "0.0"},
    {"post_only", "False"},
    {"reduce_only", "False"},
    {"parent_id", "None"},
};
constexpr Param kCancelParams[] = {{"idx"}, {"order_id"}};
constexpr Param kModifyParams[] = {
    {"order_id"}, {"units", "None"}, {"size_frac", "None"}, {"limit_price", "None"}, {"trigger_price", "None"}};
constexpr Param kCancelAllParams[] = {{"idx"}};
constexpr Param kOcoParams[] = {{"order_ids"}};
constexpr Param kCloseParams[] = {{"position_id"}};
constexpr Param kUnderlyingParams[] = {{"price", "None"}};

// What both sessions' `submit_order` accept, shared by their docstrings.
constexpr const char* kOrderTerms =
    "`side` is \"buy\" or \"sell\". `kind` is one of:\n"
    "  \"market\";\n"
    "  \"limit\" (needs `limit_price`);\n"
    "  \"stop_market\" (needs `trigger_price`);\n"
    "  \"stop_limit\" (needs `trigger_price` and `limit_price`);\n"
    "  \"market_if_touched\" (needs `trigger_price`);\n"
    "  \"limit_if_touched\" (needs `trigger_price` and `limit_price`);\n"
    "  \"market_to_limit\";\n"
    "  \"trailing_stop_market\" (needs `offset`, in `offset_kind` \"price\", \"bps\"\n"
    "  or \"ticks\");\n"
    "  \"trailing_stop_limit\" (as trailing_stop_market; once the trailing level is\n"
    "  reached it works a limit `limit_offset` beyond that level).\n"
    "`tif` is one of \"gtc\"; \"day\" (expires when the local trading date\n"
    "changes: local through the config's `session_tz_offset_ns`, which defaults\n"
    "to UTC, so NSE orders need `session_tz_offset_ns=IST_OFFSET_NS`); \"gtd\"\n"
    "(expires at `expire_ns`, which it requires); \"ioc\"; \"fok\"; \"at_open\" and\n"
    "\"at_close\" (market orders only: filled at the next bar's open or close).\n\n"
    "Exactly one of `units`/`size_frac` sizes an opening order (`size_frac` a\n"
    "fraction of the available capital in (0, 1]); omitting both closes the\n"
    "full position with a closing-side order. `post_only` applies to limit\n"
    "orders; a child order (`parent_id`) works once its parent has filled;\n"
    "`stop_price`/`target_price` set the exit levels of the position it opens.\n"
    "Orders are worked from the step after `submitted_idx`; a plain market\n"
    "order fills on that step itself (on the next under\n"
    "`fill_timing=\"next_bar_open\"`). A bad request raises ValueError and\n"
    "places nothing.\n"
    "Returns the engine order id (0, 1, ...).";

std::string order_doc(const char* first_line) { return std::string(first_line) + "\n\n" + kOrderTerms; }

// The same parameters as a PortfolioSession takes them: the instrument first.
template <std::size_t N>
constexpr std::array<Param, N + 1> routed(const Param (&params)[N]) {
    std::array<Param, N + 1> out{};
    out[0] = Param{"instrument"};
    for (std::size_t i = 0; i < N; ++i) out[i + 1] = params[i];
    return out;
}

// ---------------------------------------------------------------------------
// KernelSession
// ---------------------------------------------------------------------------

// The session and the buffer its steps collect their records in, kept so
// that a step allocates nothing but the list it returns.
struct KernelSessionRec {
    KernelSession session;
    std::vector<EngineEventRecord> scratch;
};

}  // namespace

template <>
struct PyClass<KernelSessionRec> {
    static constexpr const char* name = "KernelSession";
    static PyTypeObject* type();
};

namespace {

constexpr Param kKsNewParams[] = {
    {"symbol", "\"ASSET\""}, {"direction", "1"},        {"config", "None"},         {"instrument_config", "None"},
    {"instrument", "None"},  {"oms_type", "\"netting\""}, {"account_type", "\"cash\""}, {"leverage", "1.0"},
};
const Sig kKsNew{"KernelSession", "__new__", kKsNewParams};

KernelSessionRec ks_new(std::string symbol, int32_t direction, std::optional<Ref<BacktestConfig>> config,
                        std::optional<Ref<InstrumentConfig>> instrument_config,
                        std::optional<Ref<InstrumentSpec>> instrument, std::string oms_type, std::string account_type,
                        double leverage) {
    const BacktestConfig cfg = config ? **config : BacktestConfig{};
    return KernelSessionRec{KernelSession(std::move(symbol), direction, cfg,
                                          instrument_config ? &**instrument_config : nullptr,
                                          instrument ? &**instrument : nullptr, oms_type, account_type, leverage),
                            {}};
}

constexpr Param kKsStepParams[] = {
    {"idx"},          {"timestamp"},       {"open"},          {"high"},     {"low"},
    {"close"},        {"volume"},          {"entry", "False"}, {"exit", "False"}, {"atr", "0.0"},
    {"size_mult", "None"}, {"stop_price", "None"}, {"target_price", "None"},
};
const Sig kKsStep{"KernelSession", "step", kKsStepParams};

PyRef ks_step_bar(KernelSessionRec& r, uint64_t idx, const Bar& bar, const StepIntents& in) {
    r.scratch.clear();
    r.session.step(idx, bar, in, r.scratch);
    return engine_events_to_py(r.scratch);
}

PyRef ks_step(KernelSessionRec& r, uint64_t idx, int64_t timestamp, double open, double high, double low,
              double close, double volume, bool entry, bool exit, double atr, std::optional<double> size_mult,
              std::optional<double> stop_price, std::optional<double> target_price) {
    return ks_step_bar(r, idx, Bar{timestamp, open, high, low, close, volume},
                       StepIntents{size_mult, stop_price, target_price, atr, entry, exit});
}

// The per-bar call of a driver loop. The common call (positional arguments
// of exactly the expected types, a free session) converts in place; any
// other call goes through the general binder, which also produces every
// error message, so both paths behave alike.
PyObject* ks_step_fast(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    auto* obj = as_obj<KernelSessionRec>(self);
    auto general = [&] { return fastcall_method<kKsStep, &ks_step>(self, args, nargsf, kwnames); };
    if (kwnames || nargs < 7 || nargs > 13 || obj->borrow != 0) return general();
    if (!PyLong_CheckExact(args[0]) || !PyLong_CheckExact(args[1])) return general();
    double px[5];
    for (int i = 0; i < 5; ++i) {
        if (!PyFloat_CheckExact(args[2 + i])) return general();
        px[i] = PyFloat_AS_DOUBLE(args[2 + i]);
    }
    StepIntents in;
    if (!read_intents_fast(args + 7, nargs - 7, in)) return general();
    const unsigned long long idx = PyLong_AsUnsignedLongLong(args[0]);
    const long long ts = PyLong_AsLongLong(args[1]);
    if (PyErr_Occurred()) {
        // Out of range: the general path raises the error it names.
        PyErr_Clear();
        return general();
    }
    return guarded([&]() -> PyObject* {
        WriteBorrow g(obj);
        return to_py(ks_step_bar(obj->rec, idx, Bar{ts, px[0], px[1], px[2], px[3], px[4]}, in));
    });
}

double ks_cash(const KernelSessionRec& r) { return r.session.cash(); }
double ks_equity(const KernelSessionRec& r) { return r.session.equity(); }
double ks_free_capital(const KernelSessionRec& r) { return r.session.free_capital(); }
bool ks_is_in_position(const KernelSessionRec& r) { return r.session.is_in_position(); }
EngineResult ks_finish(KernelSessionRec& r) { return r.session.finish(); }

constexpr Param kKsTwapParams[] = {
    {"units"},         {"side"},      {"slices"}, {"interval_ns"}, {"submitted_idx"},
    {"submitted_ts"},  {"client_id"}, {"reduce_only", "False"},
};
const Sig kKsSubmitTwap{"KernelSession", "submit_twap", kKsTwapParams};

uint64_t ks_submit_twap(KernelSessionRec& r, double units, std::string side, uint32_t slices, int64_t interval_ns,
                        uint64_t submitted_idx, int64_t submitted_ts, std::string client_id, bool reduce_only) {
    return r.session.submit_twap(units, side, slices, interval_ns, submitted_idx, submitted_ts, std::move(client_id),
                                 reduce_only);
}

constexpr Param kKsCancelTwapParams[] = {{"algo_id"}, {"idx"}};
const Sig kKsCancelTwap{"KernelSession", "cancel_twap", kKsCancelTwapParams};

bool ks_cancel_twap(KernelSessionRec& r, uint64_t algo_id, uint64_t idx) { return r.session.cancel_twap(algo_id, idx); }

using KsOrders = OrderCalls<KernelSessionRec>;
const Sig kKsSubmit{"KernelSession", "submit_order", kSubmitParams};
const Sig kKsCancel{"KernelSession", "cancel_order", kCancelParams};
const Sig kKsModify{"KernelSession", "modify_order", kModifyParams};
const Sig kKsCancelAll{"KernelSession", "cancel_all_orders", kCancelAllParams};
const Sig kKsLinkOco{"KernelSession", "link_oco", kOcoParams};
const Sig kKsRequestClose{"KernelSession", "request_close", kCloseParams};
const Sig kKsUnderlying{"KernelSession", "set_underlying_price", kUnderlyingParams};

constexpr Param kKsLevelParams[] = {{"price"}, {"position_id", "None"}};
const Sig kKsSetStop{"KernelSession", "set_stop_price", kKsLevelParams};
const Sig kKsSetTarget{"KernelSession", "set_target_price", kKsLevelParams};
void ks_set_stop_price(KernelSessionRec& r, std::optional<double> price, std::optional<uint64_t> position_id) {
    r.session.set_stop_price(price, position_id);
}
void ks_set_target_price(KernelSessionRec& r, std::optional<double> price, std::optional<uint64_t> position_id) {
    r.session.set_target_price(price, position_id);
}

std::vector<uint64_t> ks_open_order_ids(const KernelSessionRec& r) { return r.session.open_order_ids(); }

PyTypeObject* build_kernel_session() {
    ClassSpec s = class_spec<KernelSessionRec>(
        "Per-bar simulation session for one instrument.\n\nDrive it by calling `step` once per bar in ascending "
        "order, then `finish` to\nobtain the standard backtest result. Scalars cross the boundary per bar, so a\n"
        "Python driver loop pays one call per bar with no array allocation.\n\n"
        "It runs the engine of `run_single_backtest`: fills, sizing, fees, stops and\n"
        "targets follow `config` and `instrument_config`. A margin account is\n"
        "called when equity is below the maintenance requirement read both from\n"
        "the positions' value and from their locked margin (scaled by the close\n"
        "over the entry price), so an entry that fits is not called at its own\n"
        "price by a rounding. An ATR stop or target\n"
        "(`set_atr_stop`, `set_atr_target`) is set from the `atr` passed to `step`:\n"
        "pass the bar's ATR (for example from `atr()`) as `atr=` on each step, or an\n"
        "entry gets no ATR stop or target. The session never squares off:\n"
        "`squareoff_time` is read by `run_spread_backtest` alone, so an intraday\n"
        "strategy closes its positions itself, for example with `exit=True` on the\n"
        "last bar of each day.");
    set_constructor<kKsNew, &ks_new>(s);
    PyMethodDef step_def = method<kKsStep, &ks_step>(
        "Advance the session by one bar.\n\n`entry`/`exit` carry the strategy's order intents for the bar; "
        "`stop_price`/\n`target_price` optionally pin explicit exit levels for an entry opened on\nthis bar, "
        "overriding the configured stop and target models.\n\n"
        "`entry` and `exit` must be Python `bool`s (a NumPy `bool_` raises\n"
        "TypeError: pass `bool(x)`). `size_mult` is the fraction of the available\n"
        "capital an entry uses; `None` uses all of it. `atr` is the bar's average\n"
        "true range, from which an ATR stop or target is set when an entry opens;\n"
        "with the default 0.0 the entry has none. Returns the step's `EngineEvent`s:\n"
        "first those of order calls made since the previous step, then the bar's.\n"
        "Steps go in ascending order; nothing checks it.");
    step_def.ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&ks_step_fast));
    s.methods = {
        step_def,
        method0<&ks_cash>("cash",
                          "Current cash; in a margin account it includes the locked initial\n"
                          "margin.\n\nSee `free_capital()` for what can fund a new position."),
        method0<&ks_equity>("equity", "Mark-to-market equity after the most recent step."),
        method0<&ks_free_capital>("free_capital", "Cash not locked as margin (margin mode); all cash otherwise."),
        method0<&ks_is_in_position>("is_in_position", "Whether a position is currently open."),
        method0<&KsOrders::position>("position", "Read-only view of the earliest open position, or `None` when flat."),
        method0<&KsOrders::positions>("positions", "Read-only views of every open position, in opening order."),
        method0<&ks_finish>("finish",
                            "Force-close any open position and compute final metrics.\n\nAn open position closes "
                            "at the last step's close with no exit fee, as a\ntrade with exit reason \"EndOfData\". "
                            "Consumes the session: a second\n`finish()` raises ValueError \"session is already finished\", "
                            "any other\ncall ValueError \"session is finished; create a new one\"."),
        method<kKsSubmitTwap, &ks_submit_twap>(
            "Register a TWAP schedule; returns its id.\n\n"
            "`slices` market orders \"client_id#k\", summing to `units`, are released one\n"
            "per step from the first step at or after `submitted_ts`, each next one\n"
            "`interval_ns` after the step that released the last, and build one\n"
            "position. The schedule reports an `algo_started` event when registered and\n"
            "an `algo_completed` one on the step that releases its last slice (or after\n"
            "`cancel_twap`)."),
        method<kKsCancelTwap, &ks_cancel_twap>("Stop a schedule and cancel the slices it has working."),
        method<kKsSubmit, &KsOrders::submit_order>(order_doc("Submit an order.").c_str()),
        method<kKsLinkOco, &KsOrders::link_oco>("Put working orders in one one-cancels-other group."),
        method<kKsCancel, &KsOrders::cancel_order>("Cancel a working order; `False` for unknown/finished ids."),
        method<kKsCancelAll, &KsOrders::cancel_all_orders>("Cancel every working order, returning canceled ids."),
        method<kKsUnderlying, &KsOrders::set_underlying_price>(
            "Set the underlying price used to settle options at expiry.\n\nAn option's own bars carry the "
            "option's price, so its intrinsic value needs\nthe underlying from elsewhere; without it, contracts "
            "settle at their own close."),
        method<kKsModify, &KsOrders::modify_order>("Replace a working order's prices and/or quantity."),
        method0<&ks_open_order_ids>("open_order_ids", "Ids of all non-terminal orders, in submission order."),
        method<kKsSetStop, &ks_set_stop_price>(
            "Overwrite a position's stop price; no-op when flat.\n\nWithout `position_id` targets the earliest open "
            "position."),
        method<kKsSetTarget, &ks_set_target_price>("Overwrite a position's target price; no-op when flat."),
        method<kKsRequestClose, &KsOrders::request_close>("Request a close of a specific position on the next step."),
    };
    return build_class(std::move(s));
}

}  // namespace

PyTypeObject* PyClass<KernelSessionRec>::type() {
    static PyTypeObject* t = build_kernel_session();
    return t;
}

namespace {

void export_kernel_session(Exports& ex) { ex.add_class("KernelSession", &PyClass<KernelSessionRec>::type); }

// ---------------------------------------------------------------------------
// PortfolioSession
// ---------------------------------------------------------------------------

// The session and the buffer its applies collect their records in.
struct PortfolioSessionRec {
    PortfolioSession session;
    std::vector<EngineEventRecord> scratch;
};

}  // namespace

template <>
struct PyClass<PortfolioSessionRec> {
    static constexpr const char* name = "PortfolioSession";
    static PyTypeObject* type();
};

namespace {

using PsRec = PortfolioSessionRec;

constexpr Param kPsNewParams[] = {{"config", "None"}, {"account_type", "\"cash\""}, {"leverage", "1.0"}};
const Sig kPsNew{"PortfolioSession", "__new__", kPsNewParams};

PsRec ps_new(std::optional<Ref<BacktestConfig>> config, std::string account_type, double leverage) {
    const BacktestConfig cfg = config ? **config : BacktestConfig{};
    return PsRec{PortfolioSession(cfg, account_type, leverage), {}};
}

constexpr Param kPsAddParams[] = {
    {"symbol"}, {"direction", "1"}, {"instrument_config", "None"}, {"instrument", "None"}, {"oms_type", "\"netting\""}};
const Sig kPsAdd{"PortfolioSession", "add_instrument", kPsAddParams};
uint64_t ps_add_instrument(PsRec& r, std::string symbol, int32_t direction,
                           std::optional<Ref<InstrumentConfig>> instrument_config,
                           std::optional<Ref<InstrumentSpec>> instrument, std::string oms_type) {
    return r.session.add_instrument(std::move(symbol), direction, instrument_config ? &**instrument_config : nullptr,
                                    instrument ? &**instrument : nullptr, oms_type);
}

constexpr Param kPsAdoptParams[] = {{"instrument"}, {"timestamp_ns"}, {"price"}, {"size"}};
const Sig kPsAdopt{"PortfolioSession", "adopt_position", kPsAdoptParams};
uint64_t ps_adopt_position(PsRec& r, uint64_t instrument, int64_t timestamp_ns, double price, double size) {
    return r.session.adopt_position(instrument, timestamp_ns, price, size);
}

std::size_t ps_len(const PsRec& r) { return r.session.len(); }

// --- data --------------------------------------------------------------------

constexpr Param kPsSetBarsParams[] = {{"instrument"}, {"timestamps"}, {"open"}, {"high"},
                                      {"low"},        {"close"},      {"volume"}};
const Sig kPsSetBars{"PortfolioSession", "set_bars", kPsSetBarsParams};
void ps_set_bars(PsRec& r, uint64_t instrument, Series<int64_t> timestamps, Series<double> open, Series<double> high,
                 Series<double> low, Series<double> close, Series<double> volume) {
    r.session.set_bars(instrument, BarColumns{std::move(timestamps), std::move(open), std::move(high), std::move(low),
                                              std::move(close), std::move(volume)});
}

constexpr Param kPsSetTicksParams[] = {
    {"instrument"},        {"timestamps"},    {"ltp"},           {"bid", "None"},     {"ask", "None"},
    {"buy_qty_delta", "None"}, {"sell_qty_delta", "None"}, {"ltq", "None"}, {"bid_qty", "None"}, {"ask_qty", "None"},
    {"oi", "None"},
};
const Sig kPsSetTicks{"PortfolioSession", "set_ticks", kPsSetTicksParams};
using OptColumn = std::optional<Series<double>>;
void ps_set_ticks(PsRec& r, uint64_t instrument, Series<int64_t> timestamps, Series<double> ltp, OptColumn bid,
                  OptColumn ask, OptColumn buy_qty_delta, OptColumn sell_qty_delta, OptColumn ltq, OptColumn bid_qty,
                  OptColumn ask_qty, OptColumn oi) {
    const std::size_t n = timestamps.size();
    if (ltp.size() != n) throw RuleError("all tick arrays must share one length");
    TickColumns t;
    t.timestamps = std::move(timestamps);
    t.ltp = std::move(ltp);
    t.bid = optional_tick_column(std::move(bid), n);
    t.ask = optional_tick_column(std::move(ask), n);
    t.buy_qty_delta = optional_tick_column(std::move(buy_qty_delta), n);
    t.sell_qty_delta = optional_tick_column(std::move(sell_qty_delta), n);
    t.oi = optional_tick_column(std::move(oi), n);
    t.ltq = optional_tick_column(std::move(ltq), n);
    t.bid_qty = optional_tick_column(std::move(bid_qty), n);
    t.ask_qty = optional_tick_column(std::move(ask_qty), n);
    r.session.set_ticks(instrument, std::move(t));
}

constexpr Param kPsSetDepthParams[] = {{"instrument"}, {"timestamps"}, {"bid_prices"}, {"bid_sizes"},
                                       {"ask_prices"}, {"ask_sizes"}};
const Sig kPsSetDepth{"PortfolioSession", "set_depth", kPsSetDepthParams};
LevelMatrix level_matrix(const MatrixF64& m) { return {std::span<const double>(m.data), m.rows, m.cols}; }
void ps_set_depth(PsRec& r, uint64_t instrument, Series<int64_t> timestamps, MatrixF64 bid_prices,
                  MatrixF64 bid_sizes, MatrixF64 ask_prices, MatrixF64 ask_sizes) {
    r.session.set_depth(instrument, timestamps, level_matrix(bid_prices), level_matrix(bid_sizes),
                        level_matrix(ask_prices), level_matrix(ask_sizes));
}

const Sig kPsSeal{"PortfolioSession", "seal", {}};
void ps_seal(PsRec& r) { r.session.seal(); }

constexpr Param kPsPushBarParams[] = {{"instrument"}, {"timestamp"}, {"open"}, {"high"},
                                      {"low"},        {"close"},     {"volume"}};
const Sig kPsPushBar{"PortfolioSession", "push_bar", kPsPushBarParams};
void ps_push_bar(PsRec& r, uint64_t instrument, int64_t timestamp, double open, double high, double low, double close,
                 double volume) {
    r.session.push_bar(instrument, Bar{timestamp, open, high, low, close, volume});
}

constexpr Param kPsPushTickParams[] = {
    {"instrument"},       {"timestamp"},         {"ltp"},        {"bid", "0.0"},     {"ask", "0.0"},
    {"buy_qty_delta", "0.0"}, {"sell_qty_delta", "0.0"}, {"ltq", "0.0"}, {"bid_qty", "0.0"}, {"ask_qty", "0.0"},
    {"oi", "0.0"},
};
const Sig kPsPushTick{"PortfolioSession", "push_tick", kPsPushTickParams};
int32_t ps_push_tick(PsRec& r, uint64_t instrument, int64_t timestamp, double ltp, double bid, double ask,
                     double buy_qty_delta, double sell_qty_delta, double ltq, double bid_qty, double ask_qty,
                     double oi) {
    return r.session.push_tick(
        instrument, TickRow{timestamp, ltp, bid, ask, buy_qty_delta, sell_qty_delta, oi, ltq, bid_qty, ask_qty});
}

constexpr Param kPsPushDepthParams[] = {{"instrument"}, {"timestamp"}, {"bids"}, {"asks"}};
const Sig kPsPushDepth{"PortfolioSession", "push_depth", kPsPushDepthParams};
using Levels = Seq<std::tuple<double, double>>;
void ps_push_depth(PsRec& r, uint64_t instrument, int64_t timestamp, Levels bids, Levels asks) {
    DepthSnapshot snap;
    snap.ts = timestamp;
    LevelFilter b(snap.levels.bids, snap.levels.n_bids);
    for (const auto& [price, size] : bids.items) b.offer(price, size);
    LevelFilter a(snap.levels.asks, snap.levels.n_asks);
    for (const auto& [price, size] : asks.items) a.offer(price, size);
    r.session.push_depth(instrument, snap);
}

// --- the cursor --------------------------------------------------------------

using BarView = std::tuple<uint64_t, uint64_t, int64_t, double, double, double, double, double>;
std::optional<BarView> ps_current(const PsRec& r) {
    const ScheduleEntry* e = r.session.pending();
    if (!e || e->kind != ScheduleKind::Bar) return std::nullopt;
    return BarView{e->instrument, e->local_idx, e->ts, e->a, e->b, e->c, e->d, e->e};
}

using EventView = std::tuple<const char*, uint64_t, uint64_t, int64_t, double, double, double, double, double>;
std::optional<EventView> ps_current_event(const PsRec& r) {
    const ScheduleEntry* e = r.session.pending();
    if (!e) return std::nullopt;
    const char* kind = schedule_kind_text(e->kind);
    switch (e->kind) {
        case ScheduleKind::Bar: return EventView{kind, e->instrument, e->local_idx, e->ts, e->a, e->b, e->c, e->d, e->e};
        // A trade shows its open interest; the signed flow stays inside.
        case ScheduleKind::Trade: return EventView{kind, e->instrument, e->local_idx, e->ts, e->a, e->b, e->d, 0.0, 0.0};
        case ScheduleKind::Quote: return EventView{kind, e->instrument, e->local_idx, e->ts, e->a, e->b, e->c, e->d, 0.0};
        case ScheduleKind::Book: break;
    }
    const DepthBook& d = r.session.depth_of(*e).levels;
    const BookLevel bid = d.n_bids > 0 ? d.bids[0] : BookLevel{};
    const BookLevel ask = d.n_asks > 0 ? d.asks[0] : BookLevel{};
    return EventView{kind, e->instrument, e->local_idx, e->ts, bid.price, ask.price, bid.size, ask.size, 0.0};
}

PyRef levels_to_py(const BookLevel* levels, uint8_t count) {
    return list_of(count, [&](std::size_t i) {
        return to_py(std::tuple<double, double>{levels[i].price, levels[i].size});
    });
}

PyRef ps_current_depth(const PsRec& r) {
    const ScheduleEntry* e = r.session.pending();
    if (!e || e->kind != ScheduleKind::Book) return PyRef(Py_NewRef(Py_None));
    const DepthBook& d = r.session.depth_of(*e).levels;
    PyRef bids = levels_to_py(d.bids, d.n_bids);
    PyRef asks = levels_to_py(d.asks, d.n_asks);
    return PyRef::check(PyTuple_Pack(2, bids.get(), asks.get()));
}

uint64_t ps_remaining(const PsRec& r) { return r.session.remaining(); }

// --- applying events -----------------------------------------------------------

constexpr Param kPsApplyParams[] = {{"entry", "False"},    {"exit", "False"},       {"atr", "0.0"},
                                    {"size_mult", "None"}, {"stop_price", "None"}, {"target_price", "None"}};
const Sig kPsApply{"PortfolioSession", "apply_current", kPsApplyParams};

PyRef ps_apply_intents(PsRec& r, const StepIntents& in) {
    r.scratch.clear();
    r.session.apply_current(in, r.scratch);
    return engine_events_to_py(r.scratch);
}

PyRef ps_apply_current(PsRec& r, bool entry, bool exit, double atr, std::optional<double> size_mult,
                       std::optional<double> stop_price, std::optional<double> target_price) {
    return ps_apply_intents(r, StepIntents{size_mult, stop_price, target_price, atr, entry, exit});
}

// The per-event call of a driver loop. Positional arguments of exactly the
// expected types on a free session convert in place; any other call goes
// through the general binder, which also produces every error message.
PyObject* ps_apply_fast(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    auto* obj = as_obj<PsRec>(self);
    auto general = [&] { return fastcall_method<kPsApply, &ps_apply_current>(self, args, nargsf, kwnames); };
    if (kwnames || nargs > 6 || obj->borrow != 0) return general();
    StepIntents in;
    if (!read_intents_fast(args, nargs, in)) return general();
    return guarded([&]() -> PyObject* {
        WriteBorrow g(obj);
        return to_py(ps_apply_intents(obj->rec, in));
    });
}

double ps_cash(const PsRec& r) { return r.session.cash(); }
double ps_free_capital(const PsRec& r) { return r.session.free_capital(); }
double ps_equity(const PsRec& r) { return r.session.equity(); }
bool ps_is_halted(const PsRec& r) { return r.session.is_halted(); }
PortfolioResult ps_finish(PsRec& r) { return r.session.finish(); }

// --- orders --------------------------------------------------------------------

using PsOrders = OrderCalls<PsRec, uint64_t>;
constexpr auto kPsSubmitParams = routed(kSubmitParams);
constexpr auto kPsCancelParams = routed(kCancelParams);
constexpr auto kPsModifyParams = routed(kModifyParams);
constexpr auto kPsCancelAllParams = routed(kCancelAllParams);
constexpr auto kPsOcoParams = routed(kOcoParams);
constexpr auto kPsCloseParams = routed(kCloseParams);
constexpr auto kPsUnderlyingParams = routed(kUnderlyingParams);
const Sig kPsSubmit{"PortfolioSession", "submit_order", kPsSubmitParams};
const Sig kPsCancel{"PortfolioSession", "cancel_order", kPsCancelParams};
const Sig kPsModify{"PortfolioSession", "modify_order", kPsModifyParams};
const Sig kPsCancelAll{"PortfolioSession", "cancel_all_orders", kPsCancelAllParams};
const Sig kPsLinkOco{"PortfolioSession", "link_oco", kPsOcoParams};
const Sig kPsRequestClose{"PortfolioSession", "request_close", kPsCloseParams};
const Sig kPsUnderlying{"PortfolioSession", "set_underlying_price", kPsUnderlyingParams};

constexpr Param kPsInstrumentParam[] = {{"instrument"}};
const Sig kPsWorking{"PortfolioSession", "working_orders", kPsInstrumentParam};
const Sig kPsPositions{"PortfolioSession", "positions", kPsInstrumentParam};
const Sig kPsPosition{"PortfolioSession", "position", kPsInstrumentParam};

PyRef ps_working_orders(const PsRec& r, uint64_t instrument) {
    std::vector<WorkingOrder> orders = r.session.working_orders(instrument);
    return list_of(orders.size(), [&](std::size_t i) {
        WorkingOrder& w = orders[i];
        return to_py(std::tuple<uint64_t, std::string, const char*, std::string, const char*, double, double>{
            w.order_id, std::move(w.client_id), w.side, std::move(w.kind), w.status, w.filled, w.units});
    });
}

PyTypeObject* build_portfolio_session() {
    ClassSpec s = class_spec<PsRec>(
        "Multi-instrument session over deterministically merged bar streams.\n\nOne shared account funds every "
        "instrument. With `account_type=\"margin\"`\nthey also share one pool of locked initial margin, so leverage "
        "applies\nportfolio-wide and a margin call halts all instruments at once.\n\nProtocol: `add_instrument` + "
        "`set_bars` per symbol, `seal()`, then loop\n`current()` / `apply_current(...)` to completion and `finish()`."
        "\n\nAn entry without `size_mult` takes the whole free pool (what\n"
        "`allocation=\"full\"` does in `run_portfolio_backtest`); pass `size_mult` to\n"
        "leave room for the other instruments. Unlike that runner, which takes every\n"
        "exit of a bar before any entry, the session applies one event at a time,\n"
        "instrument by instrument at one timestamp: an entry is sized from what is\n"
        "free before a later instrument's exit on the same bar. ATR stops need\n"
        "`atr=` on each `apply_current`, and nothing squares off, as in\n"
        "`KernelSession`.\n\n"
        "The account is valued once per instant, the run of events that share one\n"
        "timestamp: after its last bar or trade event, with every instrument at\n"
        "its mark of that instant. There it runs the margin check, takes the\n"
        "instant's one equity, drawdown and return sample (after the liquidation\n"
        "a call brings, as `KernelSession` does) and runs the drawdown\n"
        "kill-switch; a margin call's liquidation closes each instrument at its own\n"
        "bar of the instant (its last before it when it has none there). A\n"
        "position's maintenance requirement is its locked margin scaled by its\n"
        "mark over its entry price and by the maintenance rate over the initial\n"
        "one (a sold option's: its locked margin), so an entry that fits is not\n"
        "called at the marks it was made at. Push every instrument's row of a\n"
        "minute before applying any: a row pushed after its instant was valued\n"
        "starts a new valuation, with a second sample of the same timestamp.\n\n"
        "Sums across instruments (equity, requirement, locked margin, the closes\n"
        "of a liquidation or of `finish`) and the metrics do not depend on the\n"
        "order of `add_instrument`; instruments that enter or exit at one instant\n"
        "meet the pool in that order. An option that joins other legs of its\n"
        "group is held to what the group's margin grows by with it, fees\n"
        "included: given units fill if that fits the free capital (else\n"
        "\"insufficient_capital\"), an entry sized from the free capital takes the\n"
        "largest size that leaves `free_capital()` at 0 or above (or takes no\n"
        "more than its `size_mult` of it).");
    set_constructor<kPsNew, &ps_new>(s);
    PyMethodDef apply_def = method<kPsApply, &ps_apply_current>(
        "Step the pending event through its instrument's kernel and advance.\n\nReturns the step's `EngineEvent`s "
        "(an empty list once the schedule is\ndrained). `entry`/`exit` are the strategy's intents for a bar or "
        "trade\nevent; a quote or depth event only returns what the instrument's order\ncalls queued since its "
        "last event.\n\n"
        "The arguments are those of `KernelSession.step`: `entry`/`exit` Python\n"
        "`bool`s, `size_mult` the fraction of the free pool an entry uses (`None`:\n"
        "all of it, leaving nothing for the other instruments), `atr` the ATR an\n"
        "ATR stop or target is set from (0.0: none).\n\n"
        "The last bar or trade event of an instant (the next pending event is\n"
        "later, or none is pending) also values the account: its list carries\n"
        "the instant's \"margin_call\" (the equity and requirement that called it)\n"
        "with the liquidation's exits, at each instrument's bar of the instant,\n"
        "and then it takes the instant's equity sample, after those exits. An\n"
        "option entry that joins other legs of its group is sized by what the\n"
        "group's margin grows by with it.");
    apply_def.ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&ps_apply_fast));
    s.methods = {
        method<kPsAdd, &ps_add_instrument>("Register an instrument; returns its index for routing."),
        method<kPsAdopt, &ps_adopt_position>(
            "Book a long position the account already holds; returns its id.\n\nThe position is paid from the pool "
            "(or its full margin locked) with no\nfee, order or trade, and must come before the first bar or trade "
            "is\napplied."),
        method<kPsSetBars, &ps_set_bars>("Attach an instrument's bar arrays (ascending timestamps)."),
        method<kPsSetTicks, &ps_set_ticks>(
            "Attach an instrument's tick arrays (ascending timestamps).\n\nA row with `ltp > 0` yields a trade print, "
            "a row with both `bid > 0` and\n`ask > 0` yields a quote; the trade precedes the quote of the same row."),
        method<kPsSetDepth, &ps_set_depth>(
            "Attach an instrument's depth snapshots.\n\nThe arrays are `(n_snapshots, levels)`, best level first "
            "(bids descending,\nasks ascending); levels beyond the book's capacity are truncated."),
        method<kPsSeal, &ps_seal>("Merge all streams into the deterministic schedule."),
        method<kPsPushBar, &ps_push_bar>("Append one live bar to the schedule tail (seals first, idempotent)."),
        method<kPsPushTick, &ps_push_tick>(
            "Append one live feed row to the schedule tail.\n\nReturns how many events were appended (0-2); drive "
            "them with\n`current_event()`/`apply_current()`."),
        method<kPsPushDepth, &ps_push_depth>(
            "Append one live depth snapshot to the schedule tail.\n\n`bids`/`asks` are `(price, size)` lists, best "
            "level first."),
        method0<&ps_current>(
            "current",
            "The pending event: `(instrument, local_idx, ts, o, h, l, c, v)`.\n\nFor bar sessions only: a session "
            "carrying ticks must use\n`current_event`; this returns `None` on a non-bar event rather than\n"
            "presenting a print as a bar."),
        method0<&ps_current_event>(
            "current_event",
            "The pending event, tagged by kind:\n\n`(\"bar\", instrument, local_idx, ts, o, h, l, c, v)`,\n"
            "`(\"trade\", instrument, local_idx, ts, price, size, oi, 0.0, 0.0)`,\n`(\"quote\", instrument, "
            "local_idx, ts, bid, ask, bid_size, ask_size, 0.0)`,\n`(\"book\", instrument, local_idx, ts, best_bid, "
            "best_ask, bid_size, ask_size, 0.0)`\n(see `current_depth` for every level); a size is `NaN` when the "
            "feed\ncarried none."),
        method0<&ps_current_depth>(
            "current_depth",
            "Full levels of the pending depth event, or `None` for other kinds.\n\nReturns `(bids, asks)` as "
            "`(price, size)` lists, best first."),
        method0<&ps_remaining>("remaining", "Events pushed or merged but not yet applied."),
        apply_def,
        method0<&ps_cash>("cash",
                          "Pool cash; in margin mode it includes locked initial margin.\n\nSee `free_capital()` for "
                          "what can fund a new position."),
        method0<&ps_free_capital>("free_capital", "Pool cash not locked as margin (all of it in a cash account)."),
        method0<&ps_equity>("equity", "Portfolio equity: pool plus every instrument's last-known mark."),
        method0<&ps_is_halted>("is_halted", "Whether a margin call or drawdown kill-switch has latched."),
        method0<&ps_finish>("finish",
                            "Force-close all instruments and compute portfolio metrics.\n\n"
                            "Every instrument that has had a bar or trade closes its positions at its\n"
                            "last price with no exit fee (exit reason \"EndOfData\"); an instrument never\n"
                            "priced keeps them. Returns a `PortfolioResult` and consumes the session:\n"
                            "a second `finish()` raises ValueError \"session is already finished\",\n"
                            "any other call ValueError \"session is finished; create a new one\"."),
        method<kPsSubmit, &PsOrders::submit_order>(
            order_doc("Submit a typed order routed to one instrument's kernel.\n\n"
                      "The parameters after `instrument` are those of `KernelSession.submit_order`.\n"
                      "`submitted_idx` counts in the instrument's `local_idx`; while another\n"
                      "instrument's event is pending it is replaced by this instrument's last\n"
                      "applied `local_idx`.")
                .c_str()),
        method<kPsCancel, &PsOrders::cancel_order>(
            "Cancel a working order of one instrument; `False` for unknown or finished ids."),
        method<kPsModify, &PsOrders::modify_order>("Replace a working order's prices and/or quantity on one instrument."),
        method<kPsCancelAll, &PsOrders::cancel_all_orders>(
            "Cancel every working order of one instrument, returning the canceled ids."),
        method<kPsLinkOco, &PsOrders::link_oco>("Put working orders of one instrument in one one-cancels-other group."),
        method<kPsRequestClose, &PsOrders::request_close>(
            "Request a close of one of the instrument's positions on its next step."),
        method<kPsUnderlying, &PsOrders::set_underlying_price>(
            "Set the underlying price one instrument settles its options against."),
        method<kPsWorking, &ps_working_orders>(
            "Working orders of one instrument as\n`(order_id, client_id, side, kind, status, filled_qty, units)`.\n\n"
            "`units` is `nan` for a capital-fraction or close-all order; status is\n`accepted`, `triggered` or "
            "`partially_filled`. `kind` is the order kind's\nname in lower case without underscores "
            "(\"stoplimit\" for a \"stop_limit\"\norder)."),
        method<kPsPositions, &PsOrders::positions>("Open positions of one instrument, in opening order."),
        method<kPsPosition, &PsOrders::position>("Earliest open position of one instrument, or None."),
    };
    s.length = &len_impl<&ps_len>;
    return build_class(std::move(s));
}

}  // namespace

PyTypeObject* PyClass<PortfolioSessionRec>::type() {
    static PyTypeObject* t = build_portfolio_session();
    return t;
}

namespace {

void export_portfolio_session(Exports& ex) { ex.add_class("PortfolioSession", &PyClass<PortfolioSessionRec>::type); }

}  // namespace

void export_sessions(Exports& ex) {
    export_kernel_session(ex);
    export_portfolio_session(ex);
}

}  // namespace tidemark::py
