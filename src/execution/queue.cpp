// The order matcher: whether an order the bar step found due actually fills
// (queue position, fill probability), at what price (slippage by one tick),
// how much (print volume, fill-or-kill), and on which side of the ledger.
#include "execution/queue.h"

#include <algorithm>
#include <cmath>

#include "execution/kernel.h"

namespace tidemark {

double next_uniform(uint64_t& state) {
    state += 0x9E3779B97F4A7C15ULL;
    uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    z = z ^ (z >> 31);
    return static_cast<double>(z >> 11) / 9007199254740992.0;  // 2^53
}

namespace {

// The displayed size queued ahead of a new order at `limit`, or nothing when
// the book cannot tell.
std::optional<double> ahead_in_book(const DepthBook& depth, Side side, double limit) {
    const bool buy = side == Side::Buy;
    const BookLevel* levels = buy ? depth.bids : depth.asks;
    const int n = std::min<int>(buy ? depth.n_bids : depth.n_asks, 5);
    for (int i = 0; i < n; ++i) {
        if (levels[i].price != limit) continue;
        if (std::isnan(levels[i].size)) return std::nullopt;
        return levels[i].size;
    }
    // A price better than the side's best joins the front of a new level.
    if (n > 0 && (buy ? limit > levels[0].price : limit < levels[0].price)) return 0.0;
    return std::nullopt;
}

}  // namespace

QueueVerdict queue_limit_gate(std::unordered_map<uint64_t, QueueEntry>& queue, const DepthBook& depth,
                              uint64_t order_id, Side side, double limit, double print_price, double print_size) {
    const bool buy = side == Side::Buy;
    if (buy ? print_price < limit : print_price > limit) {
        queue.erase(order_id);
        return QueueVerdict::Fill;
    }
    if (buy ? print_price > limit : print_price < limit) return QueueVerdict::Wait;
    if (!(print_price == limit)) return QueueVerdict::NotApplicable;  // NaN print or limit

    auto it = queue.find(order_id);
    if (it == queue.end() || it->second.limit_price != limit) {
        const std::optional<double> ahead = ahead_in_book(depth, side, limit);
        if (!ahead) return QueueVerdict::NotApplicable;
        QueueEntry e{order_id, *ahead, 0.0, limit, side};
        it = queue.insert_or_assign(order_id, e).first;
    }
    it->second.consumed += print_size;
    if (it->second.consumed > it->second.ahead) {
        queue.erase(it);
        return QueueVerdict::Fill;
    }
    return QueueVerdict::Wait;
}

void requeue_from_quote(std::unordered_map<uint64_t, QueueEntry>& queue, double bid, double bid_size, double ask,
                        double ask_size) {
    for (auto& [id, q] : queue) {
        const bool buy = q.side == Side::Buy;
        const double price = buy ? bid : ask;
        const double size = buy ? bid_size : ask_size;
        if (!(price > 0.0)) continue;
        const double ahead = std::max(q.ahead - q.consumed, 0.0);
        if (buy ? q.limit_price > price : q.limit_price < price) {
            q.ahead = q.consumed;
        } else if (price == q.limit_price && std::isfinite(size) && size >= 0.0 && size < ahead) {
            q.ahead = q.consumed + size;
        }
    }
}

// ---------------------------------------------------------------------------
// The matcher
// ---------------------------------------------------------------------------

void ExecutionKernel::refuse_order(uint64_t idx, const Order& order, const char* reason, bool counts,
                                   std::vector<EngineEventRecord>& out) {
    if (counts) ++refused_entries;
    const uint64_t id = order.order_id;
    reject_order(book.orders, out, idx, id, book.orders[static_cast<std::size_t>(id)].client_order_id, reason);
    // Refused after part of it filled, it leaves a position its children
    // protect.
    if (order.filled > 0) book.accept_children(idx, id, out);
}

std::optional<uint64_t> ExecutionKernel::position_added_to(const Order& order) const {
    if (order.sizing != Sizing::Units) return std::nullopt;
    for (const Position& p : ledger.positions) {
        if (!p.opening_order) continue;
        if (*p.opening_order == order.order_id) return p.position_id;
        // Slices of one schedule build one position.
        if (order.algo_id) {
            const Order* opener = book.find(*p.opening_order);
            if (opener && opener->algo_id == order.algo_id) return p.position_id;
        }
    }
    return std::nullopt;
}

void ExecutionKernel::match_order(uint64_t idx, const Bar& bar, const OrderAction& action,
                                  std::vector<EngineEventRecord>& out) {
    Order* found = book.find(action.order_id);
    if (!found) return;
    const uint64_t id = found->order_id;
    switch (action.kind) {
        case OrderAction::Triggered:
            // A sibling's fill may have canceled it since the walk.
            if (!is_working(found->status)) return;
            out.push_back(EngineEventRecord::order(EngineEventRecord::OrderTriggered, found->client_order_id, idx, id));
            return;
        case OrderAction::Expire:
            out.push_back(EngineEventRecord::order(EngineEventRecord::OrderExpired, found->client_order_id, idx, id));
            if (found->filled > 0) book.accept_children(idx, id, out);
            return;
        case OrderAction::Cancel:
            out.push_back(EngineEventRecord::order(EngineEventRecord::OrderCanceled, found->client_order_id, idx, id));
            if (found->filled > 0) book.accept_children(idx, id, out);
            return;
        case OrderAction::Reject:
            reject_order(book.orders, out, idx, id, found->client_order_id, action.reason);
            if (found->filled > 0) book.accept_children(idx, id, out);
            return;
        case OrderAction::Evaluate:
            break;
    }
    // One-cancels-other holds within a bar: a sibling that filled earlier in
    // this step has already canceled this order.
    if (!is_working(found->status)) return;

    Order& o = *found;
    const bool buy = o.is_buy();
    const OrderType& t = o.order_type;
    const bool triggered = o.status == OrderStatus::Triggered || o.status == OrderStatus::PartiallyFilled;
    // Triggered limit-if-touched and trailing stop-limit orders rest as
    // limits, like a triggered stop-limit: they never fill beyond the limit.
    const bool limit_like =
        t.kind == OrderType::Limit ||
        (triggered && (t.kind == OrderType::StopLimit || t.kind == OrderType::LimitIfTouched ||
                       t.kind == OrderType::TrailingStopLimit));
    double price = action.price;
    if (limit_like) {
        const double limit = t.kind == OrderType::TrailingStopLimit ? o.trail_limit.value_or(action.price) : t.price;
        QueueVerdict verdict = QueueVerdict::NotApplicable;
        if (config.queue_fill_model && tick)
            verdict = queue_limit_gate(book.queue, depth, id, o.side, limit, bar.close, bar.volume);
        if (verdict == QueueVerdict::Fill) {
            price = limit;
        } else {
            bool fills = verdict == QueueVerdict::NotApplicable;
            if (fills && config.fill_prob_limit < 1.0) fills = next_uniform(rng_state) < config.fill_prob_limit;
            if (!fills) {
                // Immediate-or-cancel and fill-or-kill orders do not rest.
                if (o.tif == TimeInForce::Ioc || o.tif == TimeInForce::Fok) book.cancel_remaining(idx, id, out);
                return;
            }
        }
    } else if (!std::isnan(price) && config.fill_prob_slippage > 0) {
        const double u = next_uniform(rng_state);
        if (u < config.fill_prob_slippage && instrument && instrument->price_increment > 0)
            price += buy ? instrument->price_increment : -instrument->price_increment;
    }

    const int8_t dir = buy ? 1 : -1;
    const bool partial = config.partial_fills && tick && bar.volume > 0;
    if (ledger.mode == PositionLedger::Netting) {
        if (!o.reduce_only && (ledger.flat() || ledger.positions.front().direction == dir)) {
            open_from_order(idx, bar, o, price, partial, out);
        } else if (!ledger.flat()) {
            reduce_from_order(idx, bar, o, price, partial, out);
        } else {
            refuse_order(idx, o, "reduce_only", true, out);
        }
    } else if (!o.reduce_only) {
        open_from_order(idx, bar, o, price, partial, out);
    } else {
        refuse_order(idx, o, "reduce_only", true, out);
    }
}

void ExecutionKernel::open_from_order(uint64_t idx, const Bar& bar, Order& o, double price, bool partial,
                                      std::vector<EngineEventRecord>& out) {
    const bool buy = o.is_buy();
    if (std::isnan(price)) price = fill_price_basis(price_basis, bar, buy, true);
    if (const std::optional<uint64_t> pos = position_added_to(o)) {
        add_from_order(idx, bar, o, *pos, price, partial, out);
        return;
    }
    if (ledger.mode == PositionLedger::Netting && !ledger.flat()) {
        refuse_order(idx, o, "position_open", true, out);
        return;
    }
    if (margin_call) return refuse_order(idx, o, reject_reason_text(RejectReason::MarginCall), true, out);
    if (drawdown_halt) return refuse_order(idx, o, reject_reason_text(RejectReason::DrawdownHalt), true, out);
    if (max_positions) {
        const uint64_t open = open_positions_override.value_or(ledger.open_count());
        if (open >= *max_positions)
            return refuse_order(idx, o, reject_reason_text(RejectReason::MaxPositions), true, out);
    }
    if (o.sizing == Sizing::CloseAll) return refuse_order(idx, o, "invalid_qty", true, out);

    const int8_t dir = buy ? 1 : -1;
    const uint64_t id = o.order_id;
    EntryFill fill;
    if (o.sizing == Sizing::Units) {
        const double remainder = o.quantity - o.filled;
        const double q = partial ? std::min(remainder, bar.volume) : remainder;
        if (!(q > 0)) return;
        if (q < remainder && o.tif == TimeInForce::Fok) return book.cancel_remaining(idx, id, out);
        if (!(round_quantity(q) > 0)) {
            // A print smaller than one lot (or increment) fills nothing: the
            // order waits for the next, unless it is immediate-or-cancel.
            // What is left of a partly filled order may itself be less than
            // one lot: it can never fill, so it is canceled rather than left
            // working. An order whose whole quantity is less than one lot is
            // refused by entry sizing.
            if (round_quantity(remainder) > 0) {
                if (o.tif == TimeInForce::Ioc) book.cancel_remaining(idx, id, out);
                return;
            }
            if (o.filled > 0) return book.cancel_remaining(idx, id, out);
        }
        fill = open_position(idx, bar.ts, dir, EntrySizing::All, true, q, price, bar.volume, o.stop_price,
                             o.target_price, step_atr);
    } else {
        fill = open_position(idx, bar.ts, dir, EntrySizing::Fraction, false, o.quantity, price, bar.volume,
                             o.stop_price, o.target_price, step_atr);
    }
    if (fill.kind == EntryFill::NotTaken) return refuse_order(idx, o, "unfillable", true, out);
    if (fill.kind == EntryFill::Refused) return refuse_order(idx, o, reject_reason_text(fill.reason), false, out);

    // The new position is the last one; later fills of this order add to it.
    ledger.positions.back().opening_order = id;
    const double order_qty = o.sizing == Sizing::Units ? o.quantity : fill.size;
    book.apply_fill(idx, id, book.orders[static_cast<std::size_t>(id)].client_order_id, fill.price, fill.size,
                    order_qty, out);
    note_entry(idx, dir, fill, out);
}

void ExecutionKernel::add_from_order(uint64_t idx, const Bar& bar, Order& o, uint64_t position_id, double price,
                                     bool partial, std::vector<EngineEventRecord>& out) {
    const uint64_t id = o.order_id;
    const double remainder = o.quantity - o.filled;
    double q = partial ? std::min(remainder, bar.volume) : remainder;
    if (!(q > 0)) return;
    if (q < remainder && o.tif == TimeInForce::Fok) return book.cancel_remaining(idx, id, out);

    const int8_t dir = o.is_buy() ? 1 : -1;
    const double p = price + slippage_model.amount_for(price, bar.volume) * dir;
    const double v = p * instrument_multiplier();
    q = round_quantity(q);
    if (!std::isfinite(p) || !std::isfinite(q)) return refuse_order(idx, o, "unfillable", true, out);
    if (!(q > 0)) {
        // As when opening: a print smaller than one lot waits for the next,
        // a remainder smaller than one lot is given up.
        if (round_quantity(remainder) > 0) return;
        return book.cancel_remaining(idx, id, out);
    }
    const UnitCost unit = unit_cost(dir, v);
    const FeeCharge fee = compute_fee_breakdown(fee_model, dir, true, v, q);
    const bool margin = account.kind == AccountType::Margin;
    Position* pos = ledger.find(position_id);
    const double old_price = pos->entry_price;
    const double avg = (p * q + old_price * pos->size) / (q + pos->size);
    if (margin && lender && lender->grouped_entry(*this, dir, position_id)) {
        // An option margined with its group: what the group locks with the
        // added units decides, as for an opening fill. Tried, then put back.
        const double size = pos->size, cash_before = cash;
        double& locked = locked_margin[position_id];
        const double locked_before = locked;
        pos->entry_price = avg;
        pos->size += q;
        cash -= fee.fee;
        locked += q * unit.margin;
        const bool funded = account_free_capital() >= 0.0;
        pos->entry_price = old_price;
        pos->size = size;
        cash = cash_before;
        locked = locked_before;
        if (!funded) return refuse_order(idx, o, "unfillable", true, out);
    } else {
        const double required = margin ? q * unit.margin + fee.fee : q * v + fee.fee;
        if (required > available_capital()) return refuse_order(idx, o, "unfillable", true, out);
    }

    pos->entry_price = avg;
    pos->size += q;
    pos->entry_fees += fee.fee;
    // The fill's itemised costs join the position's, so that every trade it
    // closes into still itemises all of its fees.
    if (!fee.breakdown) {
        pos->entry_breakdown.reset();
    } else if (pos->entry_breakdown) {
        *pos->entry_breakdown += *fee.breakdown;
    } else {
        pos->entry_breakdown = fee.breakdown;
    }
    if (!o.stop_price && !o.target_price) {
        const double shift = avg - old_price;
        if (pos->stop_price) *pos->stop_price += shift;
        if (pos->target_price) *pos->target_price += shift;
    }
    if (margin) {
        cash -= fee.fee;
        locked_margin[position_id] += q * unit.margin;
    } else {
        cash -= q * v + fee.fee;
    }
    book.apply_fill(idx, id, book.orders[static_cast<std::size_t>(id)].client_order_id, p, q, o.quantity, out);
    note_entry(idx, dir, {EntryFill::Opened, RejectReason::ZeroSize, p, q}, out);
}

void ExecutionKernel::reduce_from_order(uint64_t idx, const Bar& bar, Order& o, double price, bool partial,
                                        std::vector<EngineEventRecord>& out) {
    const Position& pos = ledger.positions.front();
    const uint64_t id = o.order_id;
    const uint64_t position_id = pos.position_id;
    if (std::isnan(price)) price = fill_price_basis(price_basis, bar, pos.is_long(), false);
    const double s = pos.size;
    const double needed = o.sizing == Sizing::Units ? std::min(o.quantity - o.filled, s) : s;
    const double q = partial ? std::min(needed, bar.volume) : needed;
    if (!(q > 0)) return;
    if (q < needed && o.tif == TimeInForce::Fok) return book.cancel_remaining(idx, id, out);

    // A close-all or fractional order is done when the position is flat:
    // closed over several prints, its filled quantity grows as the position
    // shrinks, so it completes at what it has filled plus what is left.
    const double order_qty = o.sizing == Sizing::Units ? std::min(o.quantity, o.filled + s) : o.filled + s;
    std::optional<EngineEventRecord> ev = fill_reduce_order(idx, bar.ts, position_id, q, price, bar.volume);
    if (!ev) return refuse_order(idx, o, "unfillable", false, out);
    book.apply_fill(idx, id, book.orders[static_cast<std::size_t>(id)].client_order_id, ev->trade->exit_price, q,
                    order_qty, out);
    keep_exit(std::move(*ev), out);
}

}  // namespace tidemark
