#include "data/book.h"

#include <algorithm>

#include "core/errors.h"
#include "core/format.h"

namespace tidemark {

AccountType parse_account_type(std::string_view account_type, double leverage) {
    if (account_type == "cash") return AccountType::cash();
    if (account_type == "margin") {
        if (!(leverage > 0)) throw RuleError("leverage must be > 0");
        return AccountType::margin(leverage);
    }
    throw RuleError("account_type must be 'cash' or 'margin', got " + debug_quote(account_type));
}

SizingChange parse_sizing_change(std::optional<double> units, std::optional<double> size_frac) {
    if (units && size_frac) throw RuleError("pass units or size_frac, not both");
    if (units) {
        if (!(*units > 0)) throw RuleError("units must be > 0");
        return {Sizing::Units, *units};
    }
    if (size_frac) {
        if (!(*size_frac > 0 && *size_frac <= 1)) throw RuleError("size_frac must be in (0, 1]");
        return {Sizing::SizeFrac, *size_frac};
    }
    return {};
}

TrailingOffset resolve_offset(double price_increment, std::string_view kind, std::optional<double> offset,
                              std::string_view offset_kind) {
    if (!offset) throw RuleError(std::string(kind) + " needs offset");
    if (!(*offset > 0)) throw RuleError("offset must be > 0");
    if (offset_kind == "bps") return {TrailingOffset::Bps, *offset};
    if (offset_kind == "price") return {TrailingOffset::Price, *offset};
    if (offset_kind == "ticks") {
        if (!(price_increment > 0)) throw RuleError("offset_kind='ticks' needs an instrument with price_increment");
        return {TrailingOffset::Price, *offset * price_increment};
    }
    throw RuleError("offset_kind must be 'price', 'bps', or 'ticks', got " + debug_quote(offset_kind));
}

namespace {

double need_limit(const OrderArgs& a) {
    if (!a.limit_price) throw RuleError(a.kind + " needs limit_price");
    return *a.limit_price;
}

double need_trigger(const OrderArgs& a) {
    if (!a.trigger_price) throw RuleError(a.kind + " needs trigger_price");
    return *a.trigger_price;
}

OrderType parse_order_type(const OrderArgs& a, double price_increment) {
    OrderType t;
    const std::string& k = a.kind;
    if (k == "market") {
        t.kind = OrderType::Market;
    } else if (k == "limit") {
        t.kind = OrderType::Limit;
        t.price = need_limit(a);
    } else if (k == "stop_market") {
        t.kind = OrderType::StopMarket;
        t.trigger = need_trigger(a);
    } else if (k == "stop_limit") {
        t.kind = OrderType::StopLimit;
        t.trigger = need_trigger(a);
        t.price = need_limit(a);
    } else if (k == "market_if_touched") {
        t.kind = OrderType::MarketIfTouched;
        t.trigger = need_trigger(a);
    } else if (k == "limit_if_touched") {
        t.kind = OrderType::LimitIfTouched;
        t.trigger = need_trigger(a);
        t.price = need_limit(a);
    } else if (k == "market_to_limit") {
        t.kind = OrderType::MarketToLimit;
    } else if (k == "trailing_stop_market") {
        t.kind = OrderType::TrailingStopMarket;
        t.offset = resolve_offset(price_increment, k, a.offset, a.offset_kind);
    } else if (k == "trailing_stop_limit") {
        t.kind = OrderType::TrailingStopLimit;
        t.offset = resolve_offset(price_increment, k, a.offset, a.offset_kind);
        t.limit_offset = a.limit_offset;
    } else {
        throw RuleError("unknown order kind " + debug_quote(k));
    }
    return t;
}

TimeInForce parse_tif(const OrderArgs& a, OrderType::Kind kind) {
    const std::string& t = a.tif;
    if (t == "gtc") return TimeInForce::Gtc;
    if (t == "day") return TimeInForce::Day;
    if (t == "gtd") {
        if (!a.expire_ns) throw RuleError("gtd orders need expire_ns");
        return TimeInForce::Gtd;
    }
    if (t == "ioc") return TimeInForce::Ioc;
    if (t == "fok") return TimeInForce::Fok;
    if (t == "at_open" || t == "at_close") {
        if (kind != OrderType::Market) throw RuleError("at_open/at_close apply to market orders");
        return t == "at_open" ? TimeInForce::AtOpen : TimeInForce::AtClose;
    }
    throw RuleError("unknown tif " + debug_quote(t));
}

}  // namespace

OrderRequest build_order_request(OrderArgs a, double price_increment) {
    OrderRequest r;
    if (a.side == "buy") {
        r.side = Side::Buy;
    } else if (a.side == "sell") {
        r.side = Side::Sell;
    } else {
        throw RuleError("unknown side " + debug_quote(a.side));
    }

    // An order that gives neither size closes the whole position.
    const SizingChange sizing = parse_sizing_change(a.units, a.size_frac);
    r.sizing = sizing.sizing.value_or(Sizing::CloseAll);
    r.quantity = sizing.quantity;

    r.order_type = parse_order_type(a, price_increment);
    r.tif = parse_tif(a, r.order_type.kind);
    if (r.tif == TimeInForce::Gtd) r.expire_ns = *a.expire_ns;
    if (a.post_only && r.order_type.kind != OrderType::Limit) throw RuleError("post_only applies to limit orders");

    r.submitted_idx = a.submitted_idx;
    r.submitted_ts = a.submitted_ts;
    r.client_order_id = std::move(a.client_id);
    r.stop_price = a.stop_price;
    r.target_price = a.target_price;
    r.post_only = a.post_only;
    r.reduce_only = a.reduce_only;
    r.parent_id = a.parent_id;
    return r;
}

// ---------------------------------------------------------------------------
// OrderBook
// ---------------------------------------------------------------------------

Order* OrderBook::find(uint64_t order_id) {
    return order_id < orders.size() ? &orders[static_cast<std::size_t>(order_id)] : nullptr;
}

const Order* OrderBook::find(uint64_t order_id) const {
    return order_id < orders.size() ? &orders[static_cast<std::size_t>(order_id)] : nullptr;
}

uint64_t OrderBook::submit(OrderRequest req, std::vector<EngineEventRecord>& events) {
    Order o;
    o.stop_price = req.stop_price;
    o.target_price = req.target_price;
    o.parent_id = req.parent_id;
    o.algo_id = req.algo_id;
    o.sizing = req.sizing;
    o.quantity = req.quantity;
    o.tif = req.tif;
    o.expire_ns = req.expire_ns;
    o.order_type = req.order_type;
    o.client_order_id = std::move(req.client_order_id);
    o.order_id = next_order_id++;
    o.submitted_idx = req.submitted_idx;
    o.submitted_ts = req.submitted_ts;
    o.side = req.side;
    o.post_only = req.post_only;
    o.reduce_only = req.reduce_only;
    o.status = OrderStatus::New;

    // A child waits for its parent to release it, which accepts it; a child
    // whose parent has already released its children would never see that
    // happen again, so it is accepted at once.
    bool waits = o.is_plain_market();
    if (o.parent_id) {
        const Order* parent = find(*o.parent_id);
        waits = !(parent && parent->releases_children());
    }
    if (!waits) {
        o.status = OrderStatus::Accepted;
        events.push_back(
            EngineEventRecord::order(EngineEventRecord::OrderAccepted, o.client_order_id, o.submitted_idx, o.order_id));
    }
    working_.push_back(orders.size());
    orders.push_back(std::move(o));
    return orders.back().order_id;
}

void OrderBook::apply_fill(uint64_t idx, uint64_t order_id, std::string_view client_order_id, double price,
                           double fill_qty, double order_qty, std::vector<EngineEventRecord>& events) {
    Order* o = find(order_id);
    bool complete = false;
    if (o) {
        o->filled += fill_qty;
        complete = o->filled + 1e-9 >= order_qty;
        if (o->status != OrderStatus::New)
            o->status = complete ? OrderStatus::Filled : OrderStatus::PartiallyFilled;
    }
    EngineEventRecord e =
        EngineEventRecord::order(EngineEventRecord::OrderFilled, std::string(client_order_id), idx, order_id);
    e.price = price;
    e.size = fill_qty;
    events.push_back(std::move(e));
    if (!o) return;

    if (!complete) {
        if (o->tif == TimeInForce::Ioc) cancel_remaining(idx, order_id, events);
        return;
    }
    const std::optional<uint64_t> group = o->oco_group;
    accept_children(idx, order_id, events);
    if (!group) return;
    for (std::size_t i : working_) {
        Order& sib = orders[i];
        if (sib.order_id == order_id || sib.oco_group != group || !is_working(sib.status)) continue;
        sib.status = OrderStatus::Canceled;
        events.push_back(
            EngineEventRecord::order(EngineEventRecord::OrderCanceled, sib.client_order_id, idx, sib.order_id));
        if (sib.filled > 0) accept_children(idx, sib.order_id, events);
    }
}

void OrderBook::accept_children(uint64_t idx, uint64_t parent_id, std::vector<EngineEventRecord>& events) {
    for (std::size_t i : working_) {
        Order& child = orders[i];
        if (child.parent_id == parent_id && child.status == OrderStatus::New) {
            child.status = OrderStatus::Accepted;
            events.push_back(
                EngineEventRecord::order(EngineEventRecord::OrderAccepted, child.client_order_id, idx, child.order_id));
        }
    }
}

bool OrderBook::cancel(uint64_t idx, uint64_t order_id, std::vector<EngineEventRecord>& events) {
    Order* o = find(order_id);
    if (!o || !is_working(o->status)) return false;
    o->status = OrderStatus::Canceled;
    events.push_back(EngineEventRecord::order(EngineEventRecord::OrderCanceled, o->client_order_id, idx, order_id));
    if (o->filled > 0) accept_children(idx, order_id, events);
    return true;
}

void OrderBook::cancel_remaining(uint64_t idx, uint64_t order_id, std::vector<EngineEventRecord>& events) {
    if (cancel(idx, order_id, events)) queue.erase(order_id);
}

std::vector<uint64_t> OrderBook::cancel_all(uint64_t idx, std::vector<EngineEventRecord>& events) {
    std::vector<uint64_t> ids;
    for (std::size_t i : working()) {
        Order& o = orders[i];
        o.status = OrderStatus::Canceled;
        ids.push_back(o.order_id);
    }
    for (uint64_t id : ids)
        events.push_back(EngineEventRecord::order(EngineEventRecord::OrderCanceled, find(id)->client_order_id, idx, id));
    return ids;
}

bool OrderBook::modify(uint64_t order_id, std::optional<Sizing> sizing, double quantity,
                       std::optional<double> limit_price, std::optional<double> trigger_price) {
    Order* o = find(order_id);
    if (!o || !is_working(o->status)) return false;
    OrderType& t = o->order_type;
    // A refused change may come after a price has been written; the order
    // keeps that price and its sizing stays as it was.
    switch (t.kind) {
        case OrderType::Limit:
            if (limit_price) t.price = *limit_price;
            if (trigger_price) return false;
            break;
        case OrderType::StopMarket:
        case OrderType::MarketIfTouched:
            if (trigger_price) t.trigger = *trigger_price;
            if (limit_price) return false;
            break;
        case OrderType::StopLimit:
        case OrderType::LimitIfTouched:
            if (limit_price) t.price = *limit_price;
            if (trigger_price) {
                if (o->status == OrderStatus::Triggered) return false;
                t.trigger = *trigger_price;
            }
            break;
        default:
            return false;
    }
    if (sizing) {
        o->sizing = *sizing;
        o->quantity = quantity;
    }
    return true;
}

const std::vector<std::size_t>& OrderBook::working() {
    std::erase_if(working_, [this](std::size_t i) { return !is_working(orders[i].status); });
    return working_;
}

void reject_order(std::vector<Order>& orders, std::vector<EngineEventRecord>& events, uint64_t idx,
                  uint64_t order_id, std::string_view client_order_id, const char* reason) {
    Order* found = nullptr;
    // A kernel's ids are positions in its list; other lists are searched.
    if (order_id < orders.size() && orders[static_cast<std::size_t>(order_id)].order_id == order_id) {
        found = &orders[static_cast<std::size_t>(order_id)];
    } else {
        for (Order& o : orders) {
            if (o.order_id != order_id) continue;
            found = &o;
            break;
        }
    }
    if (found && is_working(found->status)) found->status = OrderStatus::Rejected;
    EngineEventRecord e = EngineEventRecord::order(EngineEventRecord::OrderRejected, std::string(client_order_id), idx,
                                                   order_id);
    e.reject_text = reason;
    events.push_back(std::move(e));
}

}  // namespace tidemark
