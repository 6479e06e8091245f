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

std::vector<FeedEvent> feed_events_from_ticks(const TickColumns& t, uint32_t instrument, uint32_t trade_stream,
                                              uint32_t quote_stream) {
    std::vector<FeedEvent> out;
    out.reserve(2 * t.rows());
    for_each_tick_event(t, instrument, trade_stream, quote_stream, [&](const FeedEvent& ev) { out.push_back(ev); });
    return out;
}

}  // namespace tidemark
