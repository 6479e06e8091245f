#include "metrics/annualization.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "core/buffer.h"

namespace tidemark {

namespace {

constexpr double kNsPerDay = 86'400'000'000'000.0;
constexpr double kNsPerYear = 31'536'000'000'000'000.0;  // 365 days
constexpr double kSessionsPerYear = 252.0;

// Bars come at a handful of distinct spacings (the bar size, the overnight
// and weekend gaps), so counting each distinct step finds the median in one
// pass without storing the steps; beyond this many distinct steps they are
// stored and selected.
constexpr std::size_t kDistinctSteps = 64;
constexpr std::size_t kBlock = 32;

struct StepCount {
    uint64_t step;
    std::size_t count;
};

// Median of the strictly positive steps between consecutive timestamps, or 0
// when there is none.
double median_positive_step(std::span<const int64_t> ts) {
    StepCount table[kDistinctSteps];
    std::size_t distinct = 0;
    // The step being repeated and how often, kept out of the table until it
    // changes: most steps repeat the one before.
    uint64_t step = 0;
    std::size_t repeats = 0;
    std::size_t c = 0;
    bool counted = true;
    auto flush = [&]() {
        if (repeats == 0) return true;
        std::size_t k = 0;
        while (k < distinct && table[k].step != step) ++k;
        if (k == distinct) {
            if (distinct == kDistinctSteps) return false;
            table[distinct++] = {step, 0};
        }
        table[k].count += repeats;
        return true;
    };
    const std::size_t n = ts.size();
    for (std::size_t i = 1; i < n; ++i) {
        // A block of steps that all repeat the current one, tested without a
        // branch per step; it must not pass the top of the range, where the
        // unsigned difference would wrap.
        if (repeats > 0 && i + kBlock <= n &&
            static_cast<__int128>(ts[i - 1]) + static_cast<__int128>(step) * kBlock <= INT64_MAX) {
            uint64_t off = 0;
            for (std::size_t j = i; j < i + kBlock; ++j)
                off |= (static_cast<uint64_t>(ts[j]) - static_cast<uint64_t>(ts[j - 1])) ^ step;
            if (off == 0) {
                repeats += kBlock;
                c += kBlock;
                i += kBlock - 1;
                continue;
            }
        }
        // Unsigned difference: exact even when the signed one would overflow.
        if (!(ts[i] > ts[i - 1])) continue;
        const uint64_t s = static_cast<uint64_t>(ts[i]) - static_cast<uint64_t>(ts[i - 1]);
        ++c;
        if (s == step) {
            ++repeats;
            continue;
        }
        if (!flush()) {
            counted = false;
            break;
        }
        step = s;
        repeats = 1;
    }
    if (counted && !flush()) counted = false;
    if (counted) {
        if (c == 0) return 0.0;
        std::sort(table, table + distinct, [](const StepCount& a, const StepCount& b) { return a.step < b.step; });
        // The k-th smallest step (from 0) of the counted ones.
        auto kth = [&](std::size_t k) {
            std::size_t below = 0;
            std::size_t j = 0;
            while (below + table[j].count <= k) below += table[j++].count;
            return static_cast<double>(table[j].step);
        };
        const double upper = kth(c / 2);
        if (c % 2 == 1) return upper;
        return (kth(c / 2 - 1) + upper) / 2.0;
    }

    // Irregular spacing: select from the stored steps, linear on long runs.
    Series<uint64_t> steps;
    steps.reserve(n - 1);
    for (std::size_t i = 1; i < n; ++i) {
        if (ts[i] > ts[i - 1]) steps.push_back(static_cast<uint64_t>(ts[i]) - static_cast<uint64_t>(ts[i - 1]));
    }
    if (steps.empty()) return 0.0;
    const std::size_t count = steps.size();
    const auto mid = steps.begin() + static_cast<std::ptrdiff_t>(count / 2);
    std::nth_element(steps.begin(), mid, steps.end());
    const double upper = static_cast<double>(*mid);
    if (count % 2 == 1) return upper;
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
