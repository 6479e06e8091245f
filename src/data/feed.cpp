#include "data/feed.h"

#include "core/errors.h"

namespace tidemark {

ScheduleKind schedule_kind(FeedEventKind k) {
    switch (k) {
        case FeedEventKind::Bar: return ScheduleKind::Bar;
        case FeedEventKind::Trade: return ScheduleKind::Trade;
        case FeedEventKind::Quote: return ScheduleKind::Quote;
        case FeedEventKind::Book: return ScheduleKind::Book;
    }
    return ScheduleKind::Bar;
}

const char* schedule_kind_text(ScheduleKind k) {
    switch (k) {
        case ScheduleKind::Bar: return "bar";
        case ScheduleKind::Trade: return "trade";
        case ScheduleKind::Quote: return "quote";
        case ScheduleKind::Book: return "book";
    }
    return "bar";
}

void BarColumns::check_lengths() const {
    const std::size_t n = timestamps.size();
    if (open.size() != n || high.size() != n || low.size() != n || close.size() != n || volume.size() != n)
        throw RuleError("all bar arrays must share one length");
}

bool MergeStream::next(std::size_t& cursor, FeedEvent& out) const {
    switch (source) {
        case Bars:
            if (cursor >= size) return false;
            out = FeedEvent::bar(bars->timestamps[cursor], bars->open[cursor], bars->high[cursor], bars->low[cursor],
                                 bars->close[cursor], bars->volume[cursor], instrument, id);
            ++cursor;
            return true;
        case Events:
            if (cursor >= size) return false;
            out = events[cursor++];
            return true;
        case Depth:
            if (cursor >= size) return false;
            out = FeedEvent::book(depth[cursor].ts, depth_base + static_cast<uint32_t>(cursor), instrument, id);
            ++cursor;
            return true;
        case Trades:
        case Quotes: {
            const FeedEventKind want = source == Trades ? FeedEventKind::Trade : FeedEventKind::Quote;
            bool found = false;
            const std::size_t rows = ticks->rows();
            while (!found && cursor < rows) {
                tick_row_events(ticks->row(cursor++), instrument, id, id, [&](const FeedEvent& ev) {
                    if (ev.kind != want) return;
                    out = ev;
                    found = true;
                });
            }
            return found;
        }
    }
    return false;
}

namespace {

// At one timestamp a print comes first (the quotes and books after it are
// what it left), bars last (a bar closes over everything at its stamp).
constexpr uint64_t kPriority[] = {3, 1, 0, 2};  // by FeedEventKind: bar, quote, trade, book

MergeNode node_of(const FeedEvent& ev, uint64_t stream, uint64_t position) {
    return {ev.ts, kPriority[static_cast<int>(ev.kind)] << 32 | ev.stream, position, stream};
}

void sift_down(std::vector<MergeNode>& heap, std::size_t pos) {
    const std::size_t n = heap.size();
    const MergeNode node = heap[pos];
    for (;;) {
        std::size_t child = 2 * pos + 1;
        if (child >= n) break;
        if (child + 1 < n && merge_before(heap[child + 1], heap[child])) ++child;
        if (!merge_before(heap[child], node)) break;
        heap[pos] = heap[child];
        pos = child;
    }
    heap[pos] = node;
}

}  // namespace

bool merge_before(const MergeNode& x, const MergeNode& y) {
    if (x.ts != y.ts) return x.ts < y.ts;
    if (x.rank != y.rank) return x.rank < y.rank;
    return x.position < y.position;
}

void schedule_sift_up(std::vector<MergeNode>& heap, std::size_t pos) {
    const MergeNode node = heap[pos];
    while (pos > 0) {
        const std::size_t parent = (pos - 1) / 2;
        if (!merge_before(node, heap[parent])) break;
        heap[pos] = heap[parent];
        pos = parent;
    }
    heap[pos] = node;
}

void merge_streams(std::span<const MergeStream> streams, std::span<uint64_t> local_counters,
                   Series<ScheduleEntry>& schedule) {
    // Each stream's next event waits here while its key is in the heap.
    std::vector<FeedEvent> heads(streams.size());
    std::vector<std::size_t> cursors(streams.size(), 0);
    std::vector<MergeNode> heap;
    heap.reserve(streams.size());
    std::size_t total = 0;
    for (std::size_t s = 0; s < streams.size(); ++s) {
        total += streams[s].size;
        if (!streams[s].next(cursors[s], heads[s])) continue;
        heap.push_back(node_of(heads[s], s, 0));
        schedule_sift_up(heap, heap.size() - 1);
    }
    schedule.reserve(schedule.size() + total);
    while (!heap.empty()) {
        const MergeNode top = heap.front();
        const FeedEvent ev = heads[top.stream];
        if (ev.instrument >= local_counters.size()) fail_index(local_counters.size(), ev.instrument);
        ScheduleEntry e = ScheduleEntry::of(ev);
        e.local_idx = local_counters[ev.instrument]++;
        e.instrument = ev.instrument;
        schedule.push_back(e);

        // The stream's next event takes the root's place; a spent stream
        // leaves the heap.
        if (streams[top.stream].next(cursors[top.stream], heads[top.stream])) {
            heap.front() = node_of(heads[top.stream], top.stream, top.position + 1);
        } else {
            heap.front() = heap.back();
            heap.pop_back();
        }
        if (!heap.empty()) sift_down(heap, 0);
    }
}

}  // namespace tidemark
