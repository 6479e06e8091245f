// The records behind the module's Python classes. Each class is defined (its
// type object built) in the binding file that owns it; any file may take or
// return its records through these declarations.
#pragma once

#include "analytics/covariance.h"
#include "analytics/rank_ic.h"
#include "analytics/rebalance.h"
#include "analytics/risk_contrib.h"
#include "core/types.h"
#include "metrics/metrics.h"
#include "portfolio/results.h"
#include "python/binding.h"

namespace tidemark::py {

// Stand-alone descriptions of stop and target rules; no function takes them.
struct StopConfigRec {
    std::string stop_type = "none";
    std::optional<double> percent;
    std::optional<double> multiplier;
    std::optional<uint64_t> period;
};

struct TargetConfigRec {
    std::string target_type = "none";
    std::optional<double> percent;
    std::optional<double> multiplier;
    std::optional<uint64_t> period;
    std::optional<double> ratio;
};

#define TIDEMARK_PYCLASS(Rec, Name)                    \
    template <>                                        \
    struct PyClass<Rec> {                              \
        static constexpr const char* name = Name;      \
        static PyTypeObject* type();                   \
    }

TIDEMARK_PYCLASS(BacktestConfig, "BacktestConfig");
TIDEMARK_PYCLASS(InstrumentConfig, "InstrumentConfig");
TIDEMARK_PYCLASS(StopConfigRec, "StopConfig");
TIDEMARK_PYCLASS(TargetConfigRec, "TargetConfig");
TIDEMARK_PYCLASS(EngineResult, "BacktestResult");
TIDEMARK_PYCLASS(BacktestMetrics, "BacktestMetrics");
TIDEMARK_PYCLASS(Trade, "Trade");
TIDEMARK_PYCLASS(PortfolioResult, "PortfolioResult");
TIDEMARK_PYCLASS(InstrumentSummary, "InstrumentSummary");
TIDEMARK_PYCLASS(InstrumentSpec, "InstrumentSpec");
TIDEMARK_PYCLASS(RiskModel, "RiskModel");
TIDEMARK_PYCLASS(RiskContributions, "RiskContributions");
TIDEMARK_PYCLASS(RankIC, "RankIC");
TIDEMARK_PYCLASS(RebalanceSimResult, "RebalanceSimResult");

#undef TIDEMARK_PYCLASS

}  // namespace tidemark::py
