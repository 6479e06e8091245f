#include "metrics/annualization.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace tidemark {

namespace {

constexpr double kNsPerDay = 86'400'000'000'000.0;
constexpr double kNsPerYear = 31'536'000'000'000'000.0;  // 365 days
constexpr double kSessionsPerYear = 252.0;

// Median of the strictly positive steps between consecutive timestamps, or 0
// when there is none. Selection instead of a full sort keeps this linear on
// long minute-bar runs.
double median_positive_step(std::span<const int64_t> ts) {
    std::vector<uint64_t> steps;
    steps.reserve(ts.size() - 1);
    for (std::size_t i = 1; i < ts.size(); ++i) {
        // Unsigned difference: exact even when the signed one would overflow.
        if (ts[i] > ts[i - 1]) {
            steps.push_back(static_cast<uint64_t>(ts[i]) - static_cast<uint64_t>(ts[i - 1]));
        }
    }
    if (steps.empty()) return 0.0;

    const std::size_t c = steps.size();
    const auto mid = steps.begin() + static_cast<std::ptrdiff_t>(c / 2);
    std::nth_element(steps.begin(), mid, steps.end());
    const double upper = static_cast<double>(*mid);
    if (c % 2 == 1) return upper;
    // nth_element leaves everything below `mid` not greater than it, so the
    // lower middle value is the largest of that part.
    const double lower = static_cast<double>(*std::max_element(steps.begin(), mid));
    return (lower + upper) / 2.0;
}

}  // namespace

double resolve_periods_per_year(std::optional<double> explicit_ppy, double session_minutes,
                                double default_ppy, std::span<const int64_t> timestamps,
                                bool continuous_market) {
    if (explicit_ppy && *explicit_ppy > 0.0) return *explicit_ppy;
    if (timestamps.size() < 2) return default_ppy;

    const double m = median_positive_step(timestamps);
    if (m <= 0.0) return default_ppy;

    // Daily or coarser bars, and markets without a session, count calendar time.
    if (m >= kNsPerDay || continuous_market || !(session_minutes > 0.0)) return kNsPerYear / m;
    const double bars_per_session = session_minutes * 60.0 * 1'000'000'000.0 / m;
    return std::max(bars_per_session, 1.0) * kSessionsPerYear;
}

}  // namespace tidemark
