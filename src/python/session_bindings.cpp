// The event-driven sessions: KernelSession and PortfolioSession.
#include "python/registry.h"

namespace tidemark::py {

namespace {

// ---------------------------------------------------------------------------
// KernelSession
// ---------------------------------------------------------------------------

void export_kernel_session(Exports&) {}

// ---------------------------------------------------------------------------
// PortfolioSession
// ---------------------------------------------------------------------------

void export_portfolio_session(Exports&) {}

}  // namespace

void export_sessions(Exports& ex) {
    export_kernel_session(ex);
    export_portfolio_session(ex);
}

}  // namespace tidemark::py
