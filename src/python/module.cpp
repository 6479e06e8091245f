// Module start-up: the one exported symbol, PyInit__tidemark, and the fixed
// order in which the module's 74 names are added.
#include <atomic>
#include <deque>

#include "python/registry.h"

namespace tidemark::py {

// ---------------------------------------------------------------------------
// Exports
// ---------------------------------------------------------------------------

void Exports::add(const std::string& name, Maker m) {
    if (!makers_.emplace(name, std::move(m)).second) throw Fault("name exported twice: " + name);
}

void Exports::add_class(const char* name, PyTypeObject* (*type)()) {
    add(name, [type](PyObject*) -> PyObject* { return Py_NewRef(reinterpret_cast<PyObject*>(type())); });
}

void Exports::add_function(const PyMethodDef& def) {
    // Function objects keep a pointer to their method record for life.
    static std::deque<PyMethodDef> defs;
    PyMethodDef* kept = &defs.emplace_back(def);
    add(def.ml_name, [kept](PyObject* module) -> PyObject* {
        PyRef modname = PyRef::check(PyModule_GetNameObject(module));
        return PyCFunction_NewEx(kept, module, modname.get());
    });
}

PyObject* Exports::make(const std::string& name, PyObject* module) const {
    auto it = makers_.find(name);
    if (it == makers_.end()) throw Fault("nothing provides the module name " + name);
    PyObject* v = it->second(module);
    if (!v) throw_py();
    return v;
}

namespace {

// ---------------------------------------------------------------------------
// Registration order
// ---------------------------------------------------------------------------

struct Constant {
    const char* name;
    bool is_float;
    double f;
    long long i;
};

constexpr Constant kConstants[] = {
    {"SESSION_NSE", true, 375.0, 0},
    {"SESSION_MCX", true, 870.0, 0},
    {"SESSION_CDS", true, 480.0, 0},
    {"SESSION_CONTINUOUS", true, 0.0, 0},
    {"IST_OFFSET_NS", false, 0.0, 19800000000000LL},
};

// Classes and functions, after the constants, in the order they are added.
constexpr const char* kOrder[] = {
    // configuration and result classes
    "BacktestConfig", "InstrumentConfig", "StopConfig", "TargetConfig", "BacktestResult", "BacktestMetrics",
    "Trade", "PortfolioResult", "InstrumentSummary",
    // backtest functions
    "run_single_backtest", "run_basket_backtest", "run_portfolio_backtest", "run_options_backtest",
    "run_pairs_backtest", "run_multi_backtest", "run_spread_backtest", "run_tick_backtest",
    // instruments and bars
    "InstrumentSpec", "Indicator", "BarAggregator", "aggregate_bars", "bars_from_ticks",
    // sessions
    "KernelSession", "PortfolioSession", "EngineEvent", "PositionSnapshot", "resolve_atr_period",
    "BatchSpreadItem", "batch_spread_backtest", "simulate_portfolio_mc",
    // analytics classes
    "RiskModel", "OptimizerConfig", "OptimizationResult", "RiskContributions", "OptimizeItem",
    "RebalanceSimResult", "RankIC",
    // analytics functions
    "estimate_covariance", "optimize_portfolio", "batch_optimize_portfolios", "compute_risk_contributions",
    "winsorize_panel", "zscore_panel", "rank_panel", "momentum_panel", "composite_scores", "rank_ic",
    "simulate_rebalance_policy", "indian_cost_schedule",
    // tick features
    "compute_tick_entry_signals", "compute_tick_exit_signals", "tick_spread_pct", "buy_sell_imbalance_delta",
    "return_window", "realized_vol_rolling", "oi_position_pct", "tick_velocity",
    // batch indicators
    "sma", "ema", "rsi", "macd", "stochastic", "atr", "bollinger_bands", "adx", "vwap", "supertrend",
    "rolling_min", "rolling_max",
};

static_assert(std::size(kConstants) + std::size(kOrder) == 74, "the module registers 74 names");

// Appends `name` to `__all__` (created on first use) and sets the attribute.
void add_name(PyObject* module, PyObject* name, PyObject* value) {
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_py();
        PyErr_Clear();
        all = PyList_New(0);
        if (!all) throw_py();
        if (PyObject_SetAttrString(module, "__all__", all) < 0) {
            Py_DECREF(all);
            throw_py();
        }
    }
    PyRef all_ref(all);
    if (!PyList_Check(all)) raise(PyExc_TypeError, "__all__ must be a list");
    if (PyList_Append(all, name) < 0) {
        PyObject *type, *val, *tb;
        PyErr_Fetch(&type, &val, &tb);
        PyRef text(val ? PyObject_Str(val) : nullptr);
        Py_XDECREF(type);
        Py_XDECREF(val);
        Py_XDECREF(tb);
        const char* desc = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
        PyErr_Clear();
        throw Fault(std::string("could not append __name__ to __all__: ") + (desc ? desc : "unknown error"));
    }
    if (PyObject_SetAttr(module, name, value) < 0) throw_py();
}

void module_body(PyObject* module) {
    for (const Constant& c : kConstants) {
        PyRef v = PyRef::check(c.is_float ? PyFloat_FromDouble(c.f) : PyLong_FromLongLong(c.i));
        PyRef name = PyRef::check(PyUnicode_FromString(c.name));
        add_name(module, name.get(), v.get());
    }
    Exports ex;
    export_records(ex);
    export_instruments(ex);
    export_sessions(ex);
    export_strategies(ex);
    export_indicators(ex);
    export_analytics(ex);
    for (const char* n : kOrder) {
        PyRef v(ex.make(n, module));
        // A function's name is read back from the function object itself.
        PyRef name = PyCFunction_Check(v.get()) ? PyRef::check(PyObject_GetAttrString(v.get(), "__name__"))
                                                : PyRef::check(PyUnicode_FromString(n));
        add_name(module, name.get(), v.get());
    }
}

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "_tidemark",
    "Python module entry point",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

std::atomic<int64_t> g_first_interpreter{-1};
PyObject* g_module = nullptr;

PyObject* init_module() {
    return guarded([]() -> PyObject* {
        PyInterpreterState* interp = PyInterpreterState_Get();
        int64_t id = PyInterpreterState_GetID(interp);
        if (id == -1) {
            if (!PyErr_Occurred())
                PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
            throw PyErrSet{};
        }
        int64_t expected = -1;
        if (!g_first_interpreter.compare_exchange_strong(expected, id) && expected != id)
            raise(PyExc_ImportError,
                  "_tidemark does not support subinterpreters: it can be imported only by the first interpreter "
                  "that loaded it in this process");
        if (g_module) return Py_NewRef(g_module);
        PyRef module = PyRef::check(PyModule_Create2(&kModuleDef, 1013));
        module_body(module.get());
        g_module = Py_NewRef(module.get());
        return module.release();
    });
}

}  // namespace

}  // namespace tidemark::py

PyMODINIT_FUNC PyInit__tidemark(void) { return tidemark::py::init_module(); }
