// What strategies get back from the engine (EngineEvent, PositionSnapshot)
// and the vectorised strategy runners.
#include "core/format.h"
#include "python/classes.h"
#include "python/registry.h"
#include "python/views.h"

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
        "One observable outcome of a session step.\n\n`kind` is `\"entered\"`, `\"exited\"`, `\"entry_rejected\"`, or "
        "one of the\norder-lifecycle kinds (`\"order_accepted\"`, `\"order_triggered\"`,\n`\"order_filled\"`, "
        "`\"order_canceled\"`, `\"order_expired\"`,\n`\"order_rejected\"`); the optional fields are populated "
        "according to the\nkind.");
    s.getset = {
        ro_fn<&event_kind>("kind"),
        ro<&E::idx>("idx"),
        ro_fn<&event_price>("price", "Fill price, for `entered`/`order_filled` events."),
        ro_fn<&event_size>("size", "Position size, for `entered`/`order_filled` events."),
        ro_fn<&event_direction>("direction", "Trade direction (1 long, -1 short), for `entered` events."),
        ro_fn<&event_trade>("trade", "Completed trade, for `exited` events."),
        ro_fn<&event_reject_reason>("reject_reason", "Refusal reason, for `entry_rejected`/`order_rejected` events."),
        ro_fn<&event_order_id>("order_id", "Engine order id, for `order_*` events."),
        ro_fn<&event_client_order_id>("client_order_id", "Caller-supplied order identifier, for `order_*` events."),
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
    PyRef list = PyRef::check(PyList_New(static_cast<Py_ssize_t>(records.size())));
    for (std::size_t i = 0; i < records.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), new_object(std::move(records[i])));
    records.clear();
    return list;
}

PyRef position_snapshots_to_py(std::vector<PositionSnapshot>&& snapshots) {
    PyRef list = PyRef::check(PyList_New(static_cast<Py_ssize_t>(snapshots.size())));
    for (std::size_t i = 0; i < snapshots.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), new_object(std::move(snapshots[i])));
    return list;
}

namespace {

void export_engine_views(Exports& ex) {
    ex.add_class("EngineEvent", &PyClass<EngineEventRecord>::type);
    ex.add_class("PositionSnapshot", &PyClass<PositionSnapshot>::type);
}

// ---------------------------------------------------------------------------
// Options, pairs and tick-level runners
// ---------------------------------------------------------------------------

void export_single_runners(Exports&) {}

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
