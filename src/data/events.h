// Market-data events: one timestamped bar, trade, quote or depth snapshot of
// one instrument's stream, and the tick-row rule that turns tick columns into
// trades and quotes. Sessions merge these events into their schedule; the bar
// aggregation reads trades from the same rule, so a tick means the same thing
// everywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "core/buffer.h"
#include "core/types.h"

namespace tidemark {

// The feed numbering; it orders events at one timestamp when streams merge.
enum class FeedEventKind : uint8_t { Bar = 0, Quote = 1, Trade = 2, Book = 3 };

// One event of one stream. The five payload slots mean, by kind:
//   bar    open, high, low, close, volume
//   trade  price, size, signed flow (buy minus sell quantity), open interest
//   quote  bid, ask, bid size, ask size (NaN where the feed carried none)
//   book   the snapshot's index in the session's depth store, in slot a
// Unused slots hold 0.0.
struct FeedEvent {
    FeedEventKind kind = FeedEventKind::Bar;
    int64_t ts = 0;
    double a = 0.0;
    double b = 0.0;
    double c = 0.0;
    double d = 0.0;
    double e = 0.0;
    uint32_t instrument = 0;
    // Identifies the stream the event came from; only breaks merge ties.
    uint32_t stream = 0;

    static FeedEvent bar(int64_t ts, double open, double high, double low, double close, double volume,
                         uint32_t instrument, uint32_t stream) {
        return {FeedEventKind::Bar, ts, open, high, low, close, volume, instrument, stream};
    }
    static FeedEvent trade(int64_t ts, double price, double size, double signed_flow, double oi,
                           uint32_t instrument, uint32_t stream) {
        return {FeedEventKind::Trade, ts, price, size, signed_flow, oi, 0.0, instrument, stream};
    }
    static FeedEvent quote(int64_t ts, double bid, double ask, double bid_size, double ask_size,
                           uint32_t instrument, uint32_t stream) {
        return {FeedEventKind::Quote, ts, bid, ask, bid_size, ask_size, 0.0, instrument, stream};
    }
    // Every 32-bit index is exact in a double, so a book event stays as small
    // as the others.
    static FeedEvent book(int64_t ts, uint32_t depth_index, uint32_t instrument, uint32_t stream) {
        return {FeedEventKind::Book, ts, static_cast<double>(depth_index), 0.0, 0.0, 0.0, 0.0, instrument, stream};
    }
    uint32_t depth_index() const { return static_cast<uint32_t>(a); }
};

// One feed row, its values in the column order of `TickColumns`.
struct TickRow {
    int64_t ts = 0;
    double ltp = 0.0;
    double bid = 0.0;
    double ask = 0.0;
    double buy_qty_delta = 0.0;
    double sell_qty_delta = 0.0;
    double oi = 0.0;
    double ltq = 0.0;
    double bid_qty = 0.0;
    double ask_qty = 0.0;
};

// The tick columns of one instrument, row i of every column describing one
// feed row. `ltp` fixes the row count. Every other float column either has
// that length or is empty: an empty column reads as zeros, which is what a
// column the caller did not give holds, without storing them.
struct TickColumns {
    Series<int64_t> timestamps;
    Series<double> ltp;
    Series<double> bid;
    Series<double> ask;
    Series<double> buy_qty_delta;
    Series<double> sell_qty_delta;
    Series<double> oi;
    Series<double> ltq;
    Series<double> bid_qty;
    Series<double> ask_qty;

    std::size_t rows() const { return ltp.size(); }
    // Row i, the columns left empty reading as zeros.
    TickRow row(std::size_t i) const {
        const auto at = [i](const Series<double>& col) { return col.empty() ? 0.0 : col[i]; };
        return {timestamps[i], ltp[i],  at(bid),     at(ask),    at(buy_qty_delta), at(sell_qty_delta),
                at(oi),        at(ltq), at(bid_qty), at(ask_qty)};
    }
};

// A broken column set is a fault of the caller, which checks lengths when
// it takes the columns in.
void check_tick_columns(const TickColumns& t);

// The tick-row rule: a trade when the last price is above 0, then a quote
// when bid and ask are both above 0 (a NaN fails either test). The trade
// precedes the quote because the print is what that book state followed.
// Trades carry `trade_stream`, quotes `quote_stream`; returns the number of
// events given to `sink`.
template <class Sink>
int tick_row_events(const TickRow& r, uint32_t instrument, uint32_t trade_stream, uint32_t quote_stream,
                    Sink&& sink) {
    int n = 0;
    if (r.ltp > 0.0) {
        sink(FeedEvent::trade(r.ts, r.ltp, tick_trade_size(r.ltq, r.buy_qty_delta, r.sell_qty_delta),
                              tick_signed_flow(r.buy_qty_delta, r.sell_qty_delta), r.oi, instrument, trade_stream));
        ++n;
    }
    if (r.bid > 0.0 && r.ask > 0.0) {
        constexpr double kNone = std::numeric_limits<double>::quiet_NaN();
        sink(FeedEvent::quote(r.ts, r.bid, r.ask, r.bid_qty > 0.0 ? r.bid_qty : kNone,
                              r.ask_qty > 0.0 ? r.ask_qty : kNone, instrument, quote_stream));
        ++n;
    }
    return n;
}

// The tick-row rule over every row in order. `sink` receives each event as
// it is made, so callers that consume events at once never hold the list.
template <class Sink>
void for_each_tick_event(const TickColumns& t, uint32_t instrument, uint32_t trade_stream, uint32_t quote_stream,
                         Sink&& sink) {
    check_tick_columns(t);
    const std::size_t n = t.rows();
    for (std::size_t i = 0; i < n; ++i) {
        tick_row_events(t.row(i), instrument, trade_stream, quote_stream, sink);
    }
}

}  // namespace tidemark
