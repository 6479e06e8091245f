// The order book of one kernel: typed orders in submission order, and the
// queue positions of resting limit orders. Also the validated order request
// a session hands to the book, and the account type of a session.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/vocabulary.h"

namespace tidemark {

enum class Sizing : uint8_t { Units = 0, SizeFrac = 1, CloseAll = 2 };

struct Order {
    std::optional<double> stop_price;
    std::optional<double> target_price;
    std::optional<uint64_t> parent_id;
    // The TWAP schedule that released this order, if any.
    std::optional<uint64_t> algo_id;
    std::optional<uint64_t> oco_group;
    std::optional<double> trail_mark;
    std::optional<double> trail_limit;
    Sizing sizing = Sizing::Units;
    double quantity = 0.0;
    TimeInForce tif = TimeInForce::Gtc;
    int64_t expire_ns = 0;
    OrderType order_type;
    std::string client_order_id;
    uint64_t order_id = 0;
    uint64_t submitted_idx = 0;
    int64_t submitted_ts = 0;
    double filled = 0.0;
    Side side = Side::Buy;
    bool post_only = false;
    bool reduce_only = false;
    OrderStatus status = OrderStatus::New;

    bool is_buy() const { return side == Side::Buy; }
    // Whether its bracket children work: once it has filled completely, or
    // once it has ended with part of its quantity filled, since the position
    // that part opened needs their protection as much as a whole one does.
    bool releases_children() const {
        return status == OrderStatus::Filled || (!is_working(status) && filled > 0);
    }
    // A market order the bar step takes itself: no parent, and not tied to
    // the open or the close of a bar.
    bool is_plain_market() const {
        return order_type.kind == OrderType::Market && !parent_id && tif != TimeInForce::AtOpen &&
               tif != TimeInForce::AtClose;
    }
};

struct QueueEntry {
    uint64_t order_id = 0;
    double ahead = 0.0;
    double consumed = 0.0;
    double limit_price = 0.0;
    Side side = Side::Buy;
};

struct BookLevel {
    double price = 0.0;
    double size = 0.0;
};

// The last depth snapshot seen: up to five levels a side, best first.
struct DepthBook {
    BookLevel bids[5];
    BookLevel asks[5];
    uint8_t n_bids = 0;
    uint8_t n_asks = 0;
};

struct AccountType {
    enum Kind : uint8_t { Cash = 0, Margin = 1 };
    Kind kind = Cash;
    double leverage = 1.0;

    static AccountType cash() { return {}; }
    static AccountType margin(double leverage) { return {Margin, leverage}; }
};

// "cash" (the leverage is ignored) or "margin" with a positive leverage;
// throws RuleError otherwise.
AccountType parse_account_type(std::string_view account_type, double leverage);

// The raw arguments of a session's submit_order, as the driver gave them.
struct OrderArgs {
    std::string side;
    std::string kind;
    uint64_t submitted_idx = 0;
    int64_t submitted_ts = 0;
    std::string client_id;
    std::optional<double> units;
    std::optional<double> size_frac;
    std::optional<double> limit_price;
    std::optional<double> trigger_price;
    std::string tif = "gtc";
    std::optional<int64_t> expire_ns;
    std::optional<double> stop_price;
    std::optional<double> target_price;
    std::optional<double> offset;
    std::string offset_kind = "price";
    double limit_offset = 0.0;
    bool post_only = false;
    bool reduce_only = false;
    std::optional<uint64_t> parent_id;
};

// A validated order, ready for the book.
struct OrderRequest {
    Side side = Side::Buy;
    Sizing sizing = Sizing::CloseAll;
    double quantity = 0.0;
    OrderType order_type;
    TimeInForce tif = TimeInForce::Gtc;
    int64_t expire_ns = 0;
    uint64_t submitted_idx = 0;
    int64_t submitted_ts = 0;
    std::string client_order_id;
    std::optional<double> stop_price;
    std::optional<double> target_price;
    bool post_only = false;
    bool reduce_only = false;
    std::optional<uint64_t> parent_id;
    std::optional<uint64_t> algo_id;
};

// Validates the arguments in a fixed order and throws RuleError with the
// first broken rule. `price_increment` is the instrument's (0 without one);
// it turns "ticks" offsets into prices.
OrderRequest build_order_request(OrderArgs args, double price_increment);

// The trailing distance of a trailing order; throws RuleError.
TrailingOffset resolve_offset(double price_increment, std::string_view kind, std::optional<double> offset,
                              std::string_view offset_kind);

// The sizing `units` or `size_frac` asks for, by the rules of a new order:
// none when neither is given; throws RuleError.
struct SizingChange {
    std::optional<Sizing> sizing;
    double quantity = 0.0;
};
SizingChange parse_sizing_change(std::optional<double> units, std::optional<double> size_frac);

// The orders of one kernel. Order ids count from 0 and orders are never
// removed, so an order's id is also its position in `orders`.
class OrderBook {
public:
    std::vector<Order> orders;
    uint64_t next_order_id = 0;
    std::unordered_map<uint64_t, QueueEntry> queue;

    Order* find(uint64_t order_id);
    const Order* find(uint64_t order_id) const;

    // Appends the order; children and plain market orders wait (status new,
    // no record), every other order is accepted with an "order_accepted".
    uint64_t submit(OrderRequest req, std::vector<EngineEventRecord>& events);
    // Books one fill of `fill_qty`; the order completes at `order_qty`.
    // Completing accepts its children and cancels its one-cancels-other
    // siblings.
    void apply_fill(uint64_t idx, uint64_t order_id, std::string_view client_order_id, double price,
                    double fill_qty, double order_qty, std::vector<EngineEventRecord>& events);
    // True when the order was working and is now canceled. An order that had
    // filled part of its quantity accepts its children.
    bool cancel(uint64_t idx, uint64_t order_id, std::vector<EngineEventRecord>& events);
    // Cancels what is left of a working order and drops its queue place.
    void cancel_remaining(uint64_t idx, uint64_t order_id, std::vector<EngineEventRecord>& events);
    // Accepts the waiting children of `parent_id` (a parent that released
    // them), in list order.
    void accept_children(uint64_t idx, uint64_t parent_id, std::vector<EngineEventRecord>& events);
    // Cancels every working order; returns their ids in list order.
    std::vector<uint64_t> cancel_all(uint64_t idx, std::vector<EngineEventRecord>& events);
    // New sizing (absent: unchanged), limit and trigger prices by the rules
    // of the order's kind; false for unknown, final or refused changes.
    bool modify(uint64_t order_id, std::optional<Sizing> sizing, double quantity, std::optional<double> limit_price,
                std::optional<double> trigger_price);

    // Positions in `orders` of every working order, in list order (after
    // dropping the ones that finished since the last call).
    const std::vector<std::size_t>& working();
    bool any_working() const { return !working_.empty(); }

private:
    // Every working order's position, ascending; may also hold orders that
    // have finished since the last compaction.
    std::vector<std::size_t> working_;
};

// Refuses an order: a working order becomes rejected (a final one keeps its
// status), and an "order_rejected" record with `reason` is appended whether
// or not the order was found.
void reject_order(std::vector<Order>& orders, std::vector<EngineEventRecord>& events, uint64_t idx,
                  uint64_t order_id, std::string_view client_order_id, const char* reason);

}  // namespace tidemark
