// Names whose engines are not built yet. Each is registered with its final
// signature and documentation line so that the module's surface is complete;
// calling one binds its arguments as usual and then raises NotImplementedError.
// Each entry goes away when its engine lands.
#include "python/registry.h"

namespace tidemark::py {

namespace {

template <const Sig& S>
PyObject* placeholder_call(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Bound b{};
        bind_fast(S, args, nargs, kwnames, b);
        PyErr_Format(PyExc_NotImplementedError, "%s is not built yet", S.name);
        throw PyErrSet{};
    });
}

template <const Sig& S>
PyObject* placeholder_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        Bound b{};
        bind_tuple(S, args, kwargs, b);
        PyErr_Format(PyExc_NotImplementedError, "%s is not built yet", S.owner);
        throw PyErrSet{};
    });
}

template <const Sig& S>
PyMethodDef placeholder_def(const char* doc) {
    return {S.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&placeholder_call<S>)),
            METH_FASTCALL | METH_KEYWORDS, detail::make_doc(S.name, S.text_signature(false), doc)};
}

struct PlaceholderClass {
    const char* name;
    const char* doc;
};

template <const PlaceholderClass& C>
PyTypeObject* placeholder_type() {
    static PyTypeObject* t = [] {
        ClassSpec s;
        s.name = C.name;
        s.doc = C.doc;
        return build_class(std::move(s));
    }();
    return t;
}

template <const PlaceholderClass& C, const Sig& S>
PyTypeObject* placeholder_type_with_ctor() {
    static PyTypeObject* t = [] {
        ClassSpec s;
        s.name = C.name;
        s.doc = C.doc;
        s.ctor_sig = &S;
        s.tp_new = &placeholder_new<S>;
        return build_class(std::move(s));
    }();
    return t;
}

#define TM_FN(NAME, ...)                            \
    constexpr Param p_##NAME[] = {__VA_ARGS__};     \
    const Sig s_##NAME{nullptr, #NAME, p_##NAME};

// --- strategy runners ------------------------------------------------------

// --- market data -----------------------------------------------------------

// --- analytics ---------------------------------------------------------------
TM_FN(simulate_portfolio_mc, {"returns"}, {"weights"}, {"correlation_matrix"}, {"initial_value"},
      {"n_simulations", "10000"}, {"horizon_days", "252"}, {"seed", "42"})
TM_FN(optimize_portfolio, {"model"}, {"alpha"}, {"w_current"}, {"asset_ids"}, {"config"})
TM_FN(batch_optimize_portfolios, {"model"}, {"items"}, {"config"})

#undef TM_FN

// --- classes -------------------------------------------------------------------

#define TM_CTOR(CLASS, ...)                                 \
    constexpr Param pc_##CLASS[] = {__VA_ARGS__};           \
    const Sig sc_##CLASS{#CLASS, "__new__", pc_##CLASS};

TM_CTOR(OptimizerConfig, {"risk_aversion"}, {"turnover_penalty"}, {"position_cap"}, {"sector_ids"},
        {"sector_caps"}, {"no_trade_band", "0.0"}, {"min_trade_value", "0.0"}, {"portfolio_value", "0.0"},
        {"cash_max", "0.0"}, {"max_iter", "200"}, {"tolerance", "1e-8"}, {"short_cap", "0.0"},
        {"gross_max", "1.0"}, {"net_min", "0.0"}, {"net_max", "1.0"})
TM_CTOR(OptimizeItem, {"item_id"}, {"alpha"}, {"w_current"}, {"portfolio_value", "None"})

#undef TM_CTOR

constexpr PlaceholderClass kOptimizerConfig{"OptimizerConfig",
                                            "Constraint and objective configuration for the long-only optimizer."};
constexpr PlaceholderClass kOptimizationResult{"OptimizationResult", "Result of one optimization."};
constexpr PlaceholderClass kOptimizeItem{
    "OptimizeItem",
    "One user's book for `batch_optimize_portfolios`.\n\nThe item copies its arrays eagerly, under the interpreter "
    "lock, when it is\nconstructed, so that the batch loop can release the lock (the same pattern as\n"
    "`BatchSpreadItem`)."};

}  // namespace

void export_placeholders(Exports& ex) {
    ex.add_function(placeholder_def<s_simulate_portfolio_mc>("Run Monte Carlo forward simulation for a portfolio."));
    ex.add_function(placeholder_def<s_optimize_portfolio>("Optimize one long-only book seeded from current holdings."));
    ex.add_function(placeholder_def<s_batch_optimize_portfolios>(
        "Optimize many books against one risk model in parallel."));

    ex.add_class("OptimizerConfig", &placeholder_type_with_ctor<kOptimizerConfig, sc_OptimizerConfig>);
    ex.add_class("OptimizationResult", &placeholder_type<kOptimizationResult>);
    ex.add_class("OptimizeItem", &placeholder_type_with_ctor<kOptimizeItem, sc_OptimizeItem>);
}

}  // namespace tidemark::py
