// The event-driven sessions: KernelSession and PortfolioSession.
#include <algorithm>

#include "portfolio/kernel_session.h"
#include "python/classes.h"
#include "python/registry.h"
#include "python/views.h"

namespace tidemark::py {

namespace {

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

PyRef ks_step(KernelSessionRec& r, uint64_t idx, int64_t timestamp, double open, double high, double low,
              double close, double volume, bool entry, bool exit, double atr, std::optional<double> size_mult,
              std::optional<double> stop_price, std::optional<double> target_price) {
    const Bar bar{timestamp, open, high, low, close, volume};
    const StepIntents in{size_mult, stop_price, target_price, atr, entry, exit};
    r.scratch.clear();
    r.session.step(idx, bar, in, r.scratch);
    return engine_events_to_py(r.scratch);
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
    bool flags[2] = {false, false};
    for (Py_ssize_t i = 7; i < std::min<Py_ssize_t>(nargs, 9); ++i) {
        if (args[i] != Py_True && args[i] != Py_False) return general();
        flags[i - 7] = args[i] == Py_True;
    }
    double atr = 0.0;
    if (nargs > 9) {
        if (!PyFloat_CheckExact(args[9])) return general();
        atr = PyFloat_AS_DOUBLE(args[9]);
    }
    std::optional<double> opt[3];
    for (Py_ssize_t i = 10; i < nargs; ++i) {
        if (args[i] == Py_None) continue;
        if (!PyFloat_CheckExact(args[i])) return general();
        opt[i - 10] = PyFloat_AS_DOUBLE(args[i]);
    }
    const unsigned long long idx = PyLong_AsUnsignedLongLong(args[0]);
    const long long ts = PyLong_AsLongLong(args[1]);
    if (PyErr_Occurred()) {
        // Out of range: the general path raises the error it names.
        PyErr_Clear();
        return general();
    }
    return guarded([&]() -> PyObject* {
        WriteBorrow g(obj);
        return to_py(ks_step(obj->rec, idx, ts, px[0], px[1], px[2], px[3], px[4], flags[0], flags[1], atr, opt[0],
                             opt[1], opt[2]));
    });
}

double ks_cash(const KernelSessionRec& r) { return r.session.cash(); }
double ks_equity(const KernelSessionRec& r) { return r.session.equity(); }
double ks_free_capital(const KernelSessionRec& r) { return r.session.free_capital(); }
bool ks_is_in_position(const KernelSessionRec& r) { return r.session.is_in_position(); }
std::optional<PositionSnapshot> ks_position(const KernelSessionRec& r) { return r.session.position(); }
PyRef ks_positions(const KernelSessionRec& r) { return position_snapshots_to_py(r.session.positions()); }
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

constexpr Param kKsSubmitParams[] = {
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
const Sig kKsSubmit{"KernelSession", "submit_order", kKsSubmitParams};

uint64_t ks_submit_order(KernelSessionRec& r, std::string side, std::string kind, uint64_t submitted_idx,
                         int64_t submitted_ts, std::string client_id, std::optional<double> units,
                         std::optional<double> size_frac, std::optional<double> limit_price,
                         std::optional<double> trigger_price, std::string tif, std::optional<int64_t> expire_ns,
                         std::optional<double> stop_price, std::optional<double> target_price,
                         std::optional<double> offset, std::string offset_kind, double limit_offset, bool post_only,
                         bool reduce_only, std::optional<uint64_t> parent_id) {
    OrderArgs a;
    a.side = std::move(side);
    a.kind = std::move(kind);
    a.submitted_idx = submitted_idx;
    a.submitted_ts = submitted_ts;
    a.client_id = std::move(client_id);
    a.units = units;
    a.size_frac = size_frac;
    a.limit_price = limit_price;
    a.trigger_price = trigger_price;
    a.tif = std::move(tif);
    a.expire_ns = expire_ns;
    a.stop_price = stop_price;
    a.target_price = target_price;
    a.offset = offset;
    a.offset_kind = std::move(offset_kind);
    a.limit_offset = limit_offset;
    a.post_only = post_only;
    a.reduce_only = reduce_only;
    a.parent_id = parent_id;
    return r.session.submit_order(std::move(a));
}

constexpr Param kKsCancelParams[] = {{"idx"}, {"order_id"}};
const Sig kKsCancel{"KernelSession", "cancel_order", kKsCancelParams};
bool ks_cancel_order(KernelSessionRec& r, uint64_t idx, uint64_t order_id) {
    return r.session.cancel_order(idx, order_id);
}

constexpr Param kKsModifyParams[] = {
    {"order_id"}, {"units", "None"}, {"size_frac", "None"}, {"limit_price", "None"}, {"trigger_price", "None"}};
const Sig kKsModify{"KernelSession", "modify_order", kKsModifyParams};
bool ks_modify_order(KernelSessionRec& r, uint64_t order_id, std::optional<double> units,
                     std::optional<double> size_frac, std::optional<double> limit_price,
                     std::optional<double> trigger_price) {
    return r.session.modify_order(order_id, units, size_frac, limit_price, trigger_price);
}

constexpr Param kKsIdxParam[] = {{"idx"}};
const Sig kKsCancelAll{"KernelSession", "cancel_all_orders", kKsIdxParam};
PyRef ks_cancel_all_orders(KernelSessionRec& r, uint64_t idx) {
    const std::vector<uint64_t> ids = r.session.cancel_all_orders(idx);
    PyRef list = PyRef::check(PyList_New(static_cast<Py_ssize_t>(ids.size())));
    for (std::size_t i = 0; i < ids.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), to_py(ids[i]));
    return list;
}

constexpr Param kKsOcoParams[] = {{"order_ids"}};
const Sig kKsLinkOco{"KernelSession", "link_oco", kKsOcoParams};
void ks_link_oco(KernelSessionRec& r, Seq<uint64_t> order_ids) { r.session.link_oco(order_ids.items); }

constexpr Param kKsCloseParams[] = {{"position_id"}};
const Sig kKsRequestClose{"KernelSession", "request_close", kKsCloseParams};
void ks_request_close(KernelSessionRec& r, uint64_t position_id) { r.session.request_close(position_id); }

constexpr Param kKsUnderlyingParams[] = {{"price", "None"}};
const Sig kKsUnderlying{"KernelSession", "set_underlying_price", kKsUnderlyingParams};
void ks_set_underlying_price(KernelSessionRec& r, std::optional<double> price) {
    r.session.set_underlying_price(price);
}

constexpr Param kKsLevelParams[] = {{"price"}, {"position_id", "None"}};
const Sig kKsSetStop{"KernelSession", "set_stop_price", kKsLevelParams};
const Sig kKsSetTarget{"KernelSession", "set_target_price", kKsLevelParams};
void ks_set_stop_price(KernelSessionRec& r, std::optional<double> price, std::optional<uint64_t> position_id) {
    r.session.set_stop_price(price, position_id);
}
void ks_set_target_price(KernelSessionRec& r, std::optional<double> price, std::optional<uint64_t> position_id) {
    r.session.set_target_price(price, position_id);
}

PyRef ks_open_order_ids(const KernelSessionRec& r) {
    const std::vector<uint64_t> ids = r.session.open_order_ids();
    PyRef list = PyRef::check(PyList_New(static_cast<Py_ssize_t>(ids.size())));
    for (std::size_t i = 0; i < ids.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), to_py(ids[i]));
    return list;
}

PyTypeObject* build_kernel_session() {
    ClassSpec s = class_spec<KernelSessionRec>(
        "Per-bar simulation session for one instrument.\n\nDrive it by calling `step` once per bar in ascending "
        "order, then `finish` to\nobtain the standard backtest result. Scalars cross the boundary per bar, so a\n"
        "Python driver loop pays one call per bar with no array allocation.");
    set_constructor<kKsNew, &ks_new>(s);
    PyMethodDef step_def = method<kKsStep, &ks_step>(
        "Advance the session by one bar.\n\n`entry`/`exit` carry the strategy's order intents for the bar; "
        "`stop_price`/\n`target_price` optionally pin explicit exit levels for an entry opened on\nthis bar, "
        "overriding the configured stop and target models.");
    step_def.ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&ks_step_fast));
    s.methods = {
        step_def,
        method0<&ks_cash>("cash", "Current uninvested cash."),
        method0<&ks_equity>("equity", "Mark-to-market equity after the most recent step."),
        method0<&ks_free_capital>("free_capital", "Cash not locked as margin (margin mode); all cash otherwise."),
        method0<&ks_is_in_position>("is_in_position", "Whether a position is currently open."),
        method0<&ks_position>("position", "Read-only view of the earliest open position, or `None` when flat."),
        method0<&ks_positions>("positions", "Read-only views of every open position, in opening order."),
        method0<&ks_finish>("finish",
                            "Force-close any open position and compute final metrics.\n\nConsumes the session; "
                            "further calls raise."),
        method<kKsSubmitTwap, &ks_submit_twap>("Register a TWAP schedule; returns its id."),
        method<kKsCancelTwap, &ks_cancel_twap>("Stop a schedule and cancel the slices it has working."),
        method<kKsSubmit, &ks_submit_order>(
            "Submit an order.\n\n`side` is \"buy\"/\"sell\"; `kind` is \"market\", \"limit\", \"stop_market\" or\n"
            "\"stop_limit\"; `tif` is \"gtc\", \"day\", \"gtd\" (requires `expire_ns`), \"ioc\" or\n\"fok\". Exactly "
            "one of `units`/`size_frac` sizes an opening order; omitting\nboth closes the full position with a "
            "closing-side order. Returns the engine\norder id."),
        method<kKsLinkOco, &ks_link_oco>("Put working orders in one one-cancels-other group."),
        method<kKsCancel, &ks_cancel_order>("Cancel a working order; `false` for unknown/finished ids."),
        method<kKsCancelAll, &ks_cancel_all_orders>("Cancel every working order, returning canceled ids."),
        method<kKsUnderlying, &ks_set_underlying_price>(
            "Set the underlying price used to settle options at expiry.\n\nAn option's own bars carry the "
            "option's price, so its intrinsic value needs\nthe underlying from elsewhere; without it, contracts "
            "settle at their own close."),
        method<kKsModify, &ks_modify_order>("Replace a working order's prices and/or quantity."),
        method0<&ks_open_order_ids>("open_order_ids", "Ids of all non-terminal orders, in submission order."),
        method<kKsSetStop, &ks_set_stop_price>(
            "Overwrite a position's stop price; no-op when flat.\n\nWithout `position_id` targets the earliest open "
            "position."),
        method<kKsSetTarget, &ks_set_target_price>("Overwrite a position's target price; no-op when flat."),
        method<kKsRequestClose, &ks_request_close>("Request a close of a specific position on the next step."),
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

void export_portfolio_session(Exports&) {}

}  // namespace

void export_sessions(Exports& ex) {
    export_kernel_session(ex);
    export_portfolio_session(ex);
}

}  // namespace tidemark::py
