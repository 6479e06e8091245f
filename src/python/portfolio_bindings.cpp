// Portfolio analytics: risk model, optimiser, factor panels, rank IC,
// rebalance simulation and Monte Carlo.
#include "python/registry.h"

namespace tidemark::py {

namespace {

// ---------------------------------------------------------------------------
// Risk model, risk contributions, factor panels, rank IC, rebalance costs
// ---------------------------------------------------------------------------

void export_risk_and_factors(Exports&) {}

// ---------------------------------------------------------------------------
// Book optimiser, its batch, and Monte Carlo
// ---------------------------------------------------------------------------

void export_optimiser(Exports&) {}

}  // namespace

void export_portfolio(Exports& ex) {
    export_risk_and_factors(ex);
    export_optimiser(ex);
}

}  // namespace tidemark::py
