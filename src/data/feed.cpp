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

FeedEvent MergeStream::at(std::size_t pos) const {
    switch (source) {
        case Bars:
            return FeedEvent::bar(bars->timestamps[pos], bars->open[pos], bars->high[pos], bars->low[pos],
                                  bars->close[pos], bars->volume[pos], instrument, id);
        case Depth:
            return FeedEvent::book(depth[pos].ts, depth_base + static_cast<uint32_t>(pos), instrument, id);
        case Events: break;
    }
    return events[pos];
}

namespace {

// At one timestamp a print comes first (the quotes and books after it are
// what it left), bars last (a bar closes over everything at its stamp).
constexpr int kPriority[] = {3, 1, 0, 2};  // by FeedEventKind: bar, quote, trade, book

int priority(FeedEventKind k) { return kPriority[static_cast<int>(k)]; }

void sift_down(std::vector<MergeNode>& heap, std::size_t pos) {
    const std::size_t n = heap.size();
    MergeNode node = heap[pos];
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
    if (x.event.ts != y.event.ts) return x.event.ts < y.event.ts;
    const int px = priority(x.event.kind), py = priority(y.event.kind);
    if (px != py) return px < py;
    if (x.event.stream != y.event.stream) return x.event.stream < y.event.stream;
    return x.position < y.position;
}

void schedule_sift_up(std::vector<MergeNode>& heap, std::size_t pos) {
    MergeNode node = heap[pos];
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
    std::size_t total = 0;
    std::vector<MergeNode> heap;
    heap.reserve(streams.size());
    for (std::size_t s = 0; s < streams.size(); ++s) {
        total += streams[s].size;
        if (streams[s].size == 0) continue;
        heap.push_back({streams[s].at(0), s, 0});
        schedule_sift_up(heap, heap.size() - 1);
    }
    schedule.reserve(schedule.size() + total);
    while (!heap.empty()) {
        const MergeNode top = heap.front();
        const MergeStream& stream = streams[top.stream];
        // The stream's next event takes the root's place; a spent stream
        // leaves the heap.
        if (top.position + 1 < stream.size) {
            heap.front() = {stream.at(top.position + 1), top.stream, top.position + 1};
        } else {
            heap.front() = heap.back();
            heap.pop_back();
        }
        if (!heap.empty()) sift_down(heap, 0);

        const FeedEvent& ev = top.event;
        if (ev.instrument >= local_counters.size()) fail_index(local_counters.size(), ev.instrument);
        ScheduleEntry e;
        e.ts = ev.ts;
        e.a = ev.a;
        e.b = ev.b;
        e.c = ev.c;
        e.d = ev.d;
        e.e = ev.e;
        e.local_idx = local_counters[ev.instrument]++;
        e.instrument = ev.instrument;
        e.kind = schedule_kind(ev.kind);
        schedule.push_back(e);
    }
}

}  // namespace tidemark
