// What strategies get back from the engine (EngineEvent, PositionSnapshot)
// and the vectorised strategy runners.
#include "python/registry.h"

namespace tidemark::py {

namespace {

// ---------------------------------------------------------------------------
// Engine events and position views
// ---------------------------------------------------------------------------

void export_engine_views(Exports&) {}

// ---------------------------------------------------------------------------
// Options, pairs and tick-level runners
// ---------------------------------------------------------------------------

void export_single_runners(Exports&) {}

// ---------------------------------------------------------------------------
// Option spreads and their parallel batch
// ---------------------------------------------------------------------------

void export_spread_runners(Exports&) {}

// ---------------------------------------------------------------------------
// Basket, shared-capital portfolio and multi-strategy runners
// ---------------------------------------------------------------------------

void export_multi_runners(Exports&) {}

}  // namespace

void export_strategies(Exports& ex) {
    export_engine_views(ex);
    export_single_runners(ex);
    export_spread_runners(ex);
    export_multi_runners(ex);
}

}  // namespace tidemark::py
