#include "data/events.h"

#include "core/errors.h"

namespace tidemark {

void check_tick_columns(const TickColumns& t) {
    const std::size_t n = t.rows();
    if (t.timestamps.size() != n) fail_assert_eq("tick timestamps and ltp lengths", t.timestamps.size(), n);
    for (const Series<double>* col : {&t.bid, &t.ask, &t.buy_qty_delta, &t.sell_qty_delta, &t.oi, &t.ltq,
                                      &t.bid_qty, &t.ask_qty}) {
        if (!col->empty() && col->size() != n) fail_assert_eq("tick column and ltp lengths", col->size(), n);
    }
}

}  // namespace tidemark
