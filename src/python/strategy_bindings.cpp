// What strategies get back from the engine (EngineEvent, PositionSnapshot)
// and the vectorised strategy runners.
#include <memory>
#include <tuple>

#include "python/classes.h"
#include "python/registry.h"
#include "strategies/spreads.h"

namespace tidemark::py {

namespace {

// ---------------------------------------------------------------------------
// Engine events and position views
// ---------------------------------------------------------------------------

void export_engine_views(Exports&) {}

// ---------------------------------------------------------------------------
// Options, pairs and tick-level runners
// ---------------------------------------------------------------------------

void export_single_runners(Exports&) {}

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
        out.items.reserve(static_cast<std::size_t>(n));
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

// `underlying_close` and `spread_type` are the caller's bookkeeping: checked
// and copied like every argument, read by nothing.
EngineResult run_spread_backtest(Series<int64_t> timestamps, Series<double> underlying_close,
                                 Seq<Series<double>> legs_premiums, Seq<LegConfig> leg_configs, BoolVec entries,
                                 BoolVec exits, std::optional<Ref<BacktestConfig>> config, std::string spread_type,
                                 std::optional<double> max_loss, std::optional<double> target_profit,
                                 std::optional<Seq<int64_t>> leg_expiry_timestamps,
                                 std::optional<Seq<Series<double>>> legs_open_premiums) {
    (void)underlying_close;
    SpreadArrays arrays;
    arrays.premiums = std::move(legs_premiums.items);
    if (legs_open_premiums) {
        PremiumSeries& opens = legs_open_premiums->items;
        bool mirrors = opens.size() == arrays.premiums.size();
        for (std::size_t l = 0; mirrors && l < opens.size(); ++l) mirrors = opens[l].size() == arrays.premiums[l].size();
        if (!mirrors)
            throw RuleError(
                "legs_open_premiums must mirror legs_premiums exactly -- same number of legs, same number of bars "
                "per leg");
        arrays.open_premiums = std::move(opens);
    }
    arrays.entries = std::move(entries);
    arrays.exits = std::move(exits);

    SpreadParams params;
    params.legs = spread_legs_from_configs(leg_configs.items, LegMessage::Single);
    if (leg_expiry_timestamps) {
        if (leg_expiry_timestamps->items.size() != params.legs.size())
            throw RuleError("leg_expiry_timestamps has " + std::to_string(leg_expiry_timestamps->items.size()) +
                            " entries but there are " + std::to_string(params.legs.size()) +
                            " legs; each leg needs its own expiry, matched by position. Guessing would settle the "
                            "wrong leg.");
        params.leg_expiries = std::move(leg_expiry_timestamps->items);
    }
    if (config) params.config = **config;
    params.fee_model = fee_model_from_config(params.config);
    params.max_loss = max_loss;
    params.target_profit = target_profit;
    params.spread_type = std::move(spread_type);
    // A run over arrays that do not fit would report a flat, trade-free run as
    // if it had succeeded.
    if (std::optional<std::string> problem = spread_shape_problem(params, timestamps.size(), arrays))
        throw RuleError(*problem);
    return run_spread_strategy(params, timestamps, arrays);
}

constexpr Param kBatchItemParams[] = {
    {"strategy_id"}, {"legs_premiums"}, {"leg_configs"}, {"entries"}, {"exits"}, {"spread_type", "\"custom\""},
    {"max_loss", "None"}, {"target_profit", "None"}, {"legs_open_premiums", "None"},
};
const Sig kBatchItemNew{"BatchSpreadItem", "__new__", kBatchItemParams};

// Nothing is validated here: option types, leg counts and lengths are the
// batch's business.
BatchSpreadItemRec new_batch_spread_item(std::string strategy_id, Seq<Series<double>> legs_premiums,
                                         Seq<LegConfig> leg_configs, BoolVec entries, BoolVec exits,
                                         std::string spread_type, std::optional<double> max_loss,
                                         std::optional<double> target_profit,
                                         std::optional<Seq<Series<double>>> legs_open_premiums) {
    auto arrays = std::make_shared<SpreadArrays>();
    arrays->premiums = std::move(legs_premiums.items);
    if (legs_open_premiums) arrays->open_premiums = std::move(legs_open_premiums->items);
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

constexpr Param kBatchSpreadParams[] = {{"timestamps"}, {"underlying_close"}, {"items"}, {"config", "None"}};
const Sig kBatchSpread{nullptr, "batch_spread_backtest", kBatchSpreadParams};

// Everything the workers read is copied out of Python first; the lock is
// released only around the parallel run, and the results become Python
// objects after it is taken back.
PyRef batch_spread_backtest(Series<int64_t> timestamps, Series<double> underlying_close, BatchItemsArg items,
                            std::optional<Ref<BacktestConfig>> config) {
    (void)underlying_close;
    const BacktestConfig cfg = config ? **config : BacktestConfig{};
    std::vector<SpreadItem> work;
    work.reserve(items.items.size());
    for (BatchSpreadItemRec& item : items.items) {
        SpreadItem w;
        w.params.config = cfg;
        w.params.max_loss = item.max_loss;
        w.params.target_profit = item.target_profit;
        w.params.legs = spread_legs_from_configs(item.leg_configs, LegMessage::Batch);
        w.params.spread_type = std::move(item.spread_type);
        w.arrays = std::move(item.arrays);
        work.push_back(std::move(w));
    }

    std::vector<EngineResult> results;
    {
        AllowThreads unlocked;
        results = run_spread_batch(work, timestamps);
    }

    PyRef list = PyRef::check(PyList_New(static_cast<Py_ssize_t>(results.size())));
    for (std::size_t i = 0; i < results.size(); ++i) {
        PyObject* pair = to_py(std::tuple<std::string, EngineResult>{std::move(items.items[i].strategy_id),
                                                                     std::move(results[i])});
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
    }
    return list;
}

void export_spread_runners(Exports& ex) {
    ex.add_function(function_def<kRunSpread, &run_spread_backtest>(
        "Run spread backtest (multi-leg options).\n\n"
        "Each leg is valued by its own premium series; `leg_configs` holds one\n"
        "(option_type, strike, quantity, lot_size) tuple per series. `entries`,\n"
        "`exits` and every premium series must have the length of `timestamps`."));
    ex.add_class("BatchSpreadItem", &PyClass<BatchSpreadItemRec>::type);
    ex.add_function(function_def<kBatchSpread, &batch_spread_backtest>(
        "Run multiple spread backtests in parallel on a work-stealing thread pool.\n\n"
        "Returns a list of (strategy_id, BacktestResult) tuples in item order, each\n"
        "equal to a run of that item alone. An item whose arrays do not fit its legs\n"
        "or `timestamps` gets a flat result at the initial capital with no trades."));
}

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
