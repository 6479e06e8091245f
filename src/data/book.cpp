#include "data/book.h"

namespace tidemark {

void reject_order(std::vector<Order>& orders, std::vector<EngineEventRecord>& events, uint64_t idx,
                  uint64_t order_id, std::string_view client_order_id, const char* reason) {
    for (Order& o : orders) {
        if (o.order_id != order_id) continue;
        if (is_working(o.status)) o.status = OrderStatus::Rejected;
        break;
    }
    EngineEventRecord e = EngineEventRecord::order(EngineEventRecord::OrderRejected, std::string(client_order_id), idx,
                                                   order_id);
    e.reject_text = reason;
    events.push_back(std::move(e));
}

}  // namespace tidemark
