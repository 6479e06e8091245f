// Market data: bar aggregation, tick features and tick signals, batch
// indicators and the streaming Indicator.
#include "python/registry.h"

namespace tidemark::py {

namespace {

// ---------------------------------------------------------------------------
// Bar aggregation
// ---------------------------------------------------------------------------

void export_bar_aggregation(Exports&) {}

// ---------------------------------------------------------------------------
// Tick features and tick signals
// ---------------------------------------------------------------------------

void export_tick_features(Exports&) {}

// ---------------------------------------------------------------------------
// Batch indicators and the streaming Indicator
// ---------------------------------------------------------------------------

void export_batch_indicators(Exports&) {}

}  // namespace

void export_indicators(Exports& ex) {
    export_bar_aggregation(ex);
    export_tick_features(ex);
    export_batch_indicators(ex);
}

}  // namespace tidemark::py
