// Annualisation: see resolve_periods_per_year and config_periods_per_year.
#pragma once

#include "metrics/metrics.h"
