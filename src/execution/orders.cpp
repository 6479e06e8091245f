// What a session's driver may do to a kernel between steps: place, cancel
// and modify orders, link them, ask for closes, move protective levels and
// run TWAP schedules. Nothing here fills anything: the records wait in the
// kernel's `events` and the effects come out of the next step.
#include <algorithm>
#include <cmath>
#include <string>

#include "core/errors.h"
#include "execution/kernel.h"

namespace tidemark {

uint64_t ExecutionKernel::submit_order(OrderArgs args) {
    const double increment = instrument ? instrument->price_increment : 0.0;
    return book.submit(build_order_request(std::move(args), increment), events);
}

bool ExecutionKernel::cancel_order(uint64_t idx, uint64_t order_id) { return book.cancel(idx, order_id, events); }

bool ExecutionKernel::modify_order(uint64_t order_id, std::optional<Sizing> sizing, double quantity,
                                   std::optional<double> limit_price, std::optional<double> trigger_price) {
    return book.modify(order_id, sizing, quantity, limit_price, trigger_price);
}

std::vector<uint64_t> ExecutionKernel::cancel_all_orders(uint64_t idx) { return book.cancel_all(idx, events); }

void ExecutionKernel::link_oco(std::span<const uint64_t> order_ids) {
    if (order_ids.empty()) return;
    uint64_t group = order_ids[0];
    for (uint64_t id : order_ids) group = std::min(group, id);
    for (uint64_t id : order_ids)
        if (Order* o = book.find(id)) o->oco_group = group;
}

namespace {

Position* position_to_change(PositionLedger& ledger, std::optional<uint64_t> position_id) {
    if (!position_id) return ledger.positions.empty() ? nullptr : &ledger.positions.front();
    Position* p = ledger.find(*position_id);
    if (!p) throw RuleError("unknown position id " + std::to_string(*position_id));
    return p;
}

}  // namespace

void ExecutionKernel::set_stop_price(std::optional<double> price, std::optional<uint64_t> position_id) {
    if (Position* p = position_to_change(ledger, position_id)) p->stop_price = price;
}

void ExecutionKernel::set_target_price(std::optional<double> price, std::optional<uint64_t> position_id) {
    if (Position* p = position_to_change(ledger, position_id)) p->target_price = price;
}

std::vector<uint64_t> ExecutionKernel::open_order_ids() const {
    std::vector<uint64_t> ids;
    for (const Order& o : book.orders)
        if (is_working(o.status)) ids.push_back(o.order_id);
    return ids;
}

uint64_t ExecutionKernel::register_twap(double units, Side side, uint32_t slices, int64_t interval_ns,
                                        uint64_t submitted_idx, int64_t submitted_ts, std::string client_id,
                                        bool reduce_only) {
    if (slices == 0) throw RuleError("slices must be >= 1");
    if (interval_ns <= 0) throw RuleError("interval must be > 0");
    if (!std::isfinite(units) || !(units > 0)) throw RuleError("total units must be finite and > 0");
    TwapAlgo a;
    a.tif = TimeInForce::Gtc;
    a.order_type.kind = OrderType::Market;
    a.client_id = std::move(client_id);
    a.algo_id = next_algo_id++;
    a.units = units;
    a.interval_ns = interval_ns;
    a.slices = slices;
    a.next_due_ns = submitted_ts;
    a.sent = 0;
    a.side = side;
    a.reduce_only = reduce_only;
    a.active = true;
    events.push_back(EngineEventRecord::order(EngineEventRecord::AlgoStarted, a.client_id, submitted_idx, a.algo_id));
    twaps.push_back(std::move(a));
    return twaps.back().algo_id;
}

bool ExecutionKernel::cancel_twap(uint64_t algo_id, uint64_t idx) {
    TwapAlgo* found = nullptr;
    for (TwapAlgo& a : twaps) {
        if (a.algo_id != algo_id) continue;
        found = &a;
        break;
    }
    if (!found || !found->active) return false;
    found->active = false;
    std::vector<uint64_t> slices;
    for (const Order& o : book.orders)
        if (o.algo_id == algo_id && is_working(o.status)) slices.push_back(o.order_id);
    for (uint64_t id : slices) book.cancel(idx, id, events);
    return true;
}

}  // namespace tidemark
