// The merged schedule of a multi-instrument session: every bar, trade, quote
// and depth stream of every instrument in one deterministic order, and the
// records it is made of.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/buffer.h"
#include "data/book.h"
#include "data/events.h"

namespace tidemark {

// The schedule numbering, what every consumer of an entry switches on.
enum class ScheduleKind : uint8_t { Bar = 0, Trade = 1, Quote = 2, Book = 3 };

ScheduleKind schedule_kind(FeedEventKind k);

// The kind text a driver sees: "bar", "trade", "quote", "book".
const char* schedule_kind_text(ScheduleKind k);

// One instrument's bar stream, kept as the columns it arrived in so that
// attaching a million bars copies them once.
struct BarColumns {
    Series<int64_t> timestamps;
    Series<double> open;
    Series<double> high;
    Series<double> low;
    Series<double> close;
    Series<double> volume;

    std::size_t size() const { return timestamps.size(); }
    // Throws RuleError unless every column has the length of `timestamps`.
    void check_lengths() const;
};

// One order-book picture: up to five levels a side, best first, as the feed
// gave them.
struct DepthSnapshot {
    DepthBook levels;
    int64_t ts = 0;
};

// Takes the levels of one side in the order given, keeping those whose price
// is above 0 (a NaN is dropped) until the book's five are filled. Sizes are
// taken as given.
class LevelFilter {
public:
    LevelFilter(BookLevel (&side)[5], uint8_t& count) : side_(side), count_(count) { count_ = 0; }
    void offer(double price, double size) {
        if (count_ < 5 && price > 0.0) side_[count_++] = {price, size};
    }

private:
    BookLevel (&side_)[5];
    uint8_t& count_;
};

// One entry of the schedule. For a book entry slot `a` holds the snapshot's
// index in the session's depth store. The instrument index is held in 32 bits
// (the feed's width) so that an entry fills one cache line.
struct ScheduleEntry {
    int64_t ts = 0;
    double a = 0.0;
    double b = 0.0;
    double c = 0.0;
    double d = 0.0;
    double e = 0.0;
    uint64_t local_idx = 0;
    uint32_t instrument = 0;
    ScheduleKind kind = ScheduleKind::Bar;

    // The entry of a feed event, its instrument and local index left for the
    // caller to give.
    static ScheduleEntry of(const FeedEvent& ev) {
        return {.ts = ev.ts, .a = ev.a, .b = ev.b, .c = ev.c, .d = ev.d, .e = ev.e, .kind = schedule_kind(ev.kind)};
    }
    uint32_t depth_index() const { return static_cast<uint32_t>(a); }
};

// One stream of the merge. Its events are read on demand from storage the
// caller owns and keeps unchanged until the merge returns; the trades and the
// quotes of a tick set are two streams over the same rows, each taking its
// own kind by the tick-row rule.
struct MergeStream {
    enum Source : uint8_t { Bars, Events, Depth, Trades, Quotes };
    Source source = Events;
    uint32_t id = 0;
    uint32_t instrument = 0;
    // The number of events the stream yields.
    std::size_t size = 0;
    const BarColumns* bars = nullptr;
    const FeedEvent* events = nullptr;
    const TickColumns* ticks = nullptr;
    // Depth: the store and the index of the stream's first snapshot in it.
    const DepthSnapshot* depth = nullptr;
    uint32_t depth_base = 0;

    // The next event from `cursor` on (an event index, or a tick row index
    // for Trades and Quotes, advanced past what was read), or false at the
    // end of the stream.
    bool next(std::size_t& cursor, FeedEvent& out) const;
};

// An element of the merge heap: one stream's next event, by its merge key
// (the event itself waits with its stream), and its position in the stream.
struct MergeNode {
    int64_t ts = 0;
    // Merge priority in the high half, stream id in the low half.
    uint64_t rank = 0;
    uint64_t position = 0;
    uint64_t stream = 0;
};

// The merge order: timestamp, then trades before quotes before books before
// bars, then stream id, then position. No two nodes compare equal.
bool merge_before(const MergeNode& x, const MergeNode& y);

// Moves the node at `pos` towards the root while it sorts before its parent.
void schedule_sift_up(std::vector<MergeNode>& heap, std::size_t pos);

// Appends every event of `streams` to `schedule` by a k-way merge: the heap
// holds one node per stream, so a stream is consumed in its own order even
// where it goes back in time. Each entry takes its instrument's next local
// index from `local_counters`.
void merge_streams(std::span<const MergeStream> streams, std::span<uint64_t> local_counters,
                   Series<ScheduleEntry>& schedule);

}  // namespace tidemark
