#include "metrics/annualization.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "core/buffer.h"
#include "core/lanes.h"
#include "core/numeric.h"

namespace tidemark {

namespace {

constexpr double kNsPerDay = 86'400'000'000'000.0;
constexpr double kNsPerYear = 31'536'000'000'000'000.0;  // 365 days
constexpr double kSessionsPerYear = 252.0;

// How many of the steps into `ts[i]` to `ts[i + m - 1]` in a row, from the
// first, are `step` (as unsigned differences). A block of them is tested at
// once, a few vectors of lanes wide, and only a block with another step
// among them is read again one step at a time.
template <std::size_t L>
[[gnu::always_inline]] inline std::size_t matching_steps_lanes(const int64_t* ts, std::size_t i, std::size_t m,
                                                               uint64_t step) {
    using V = lanes::U64<L>;
    constexpr std::size_t kBlock = 32;
    const V want = lanes::splat<V>(step);
    std::size_t j = 0;
    for (; j + kBlock <= m; j += kBlock) {
        V off{};
        for (std::size_t b = 0; b < kBlock; b += L) {
            off |= (lanes::load<V>(ts + i + j + b) - lanes::load<V>(ts + i + j + b - 1)) ^ want;
        }
        if (lanes::any(off)) break;
    }
    for (; j < m; ++j)
        if (static_cast<uint64_t>(ts[i + j]) - static_cast<uint64_t>(ts[i + j - 1]) != step) break;
    return j;
}

TIDEMARK_LANE_VERSIONS(std::size_t, matching_steps, (const int64_t* ts, std::size_t i, std::size_t m, uint64_t step),
                       matching_steps_lanes, (ts, i, m, step))

// Median of the strictly positive steps between consecutive timestamps, or 0
// when there is none.
double median_positive_step(std::span<const int64_t> ts) {
    PositiveSteps counted;
    counted.count(ts.data(), 1, ts.size());
    if (const std::optional<double> m = counted.median()) return *m;

    // Irregular spacing: select from the stored steps, linear on long runs.
    const std::size_t n = ts.size();
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

double periods_from_step(double m, double session_minutes, double default_ppy, bool continuous_market) {
    if (m <= 0.0) return default_ppy;
    // Daily or coarser bars, and markets without a session, count calendar time.
    if (m >= kNsPerDay || continuous_market || !(session_minutes > 0.0)) return kNsPerYear / m;
    const double bars_per_session = session_minutes * 60.0 * 1'000'000'000.0 / m;
    return std::max(bars_per_session, 1.0) * kSessionsPerYear;
}

}  // namespace

bool PositiveSteps::add_run() {
    if (repeats_ == 0) return true;
    std::size_t k = 0;
    while (k < distinct_ && table_[k].step != step_) ++k;
    if (k == distinct_) {
        if (distinct_ == kDistinct) return false;
        table_[distinct_++] = {step_, 0};
    }
    table_[k].count += repeats_;
    return true;
}

void PositiveSteps::count(const int64_t* ts, std::size_t from, std::size_t to) {
    if (irregular_) return;
    for (std::size_t i = from; i < to; ++i) {
        // The steps that repeat the current one, found without a branch per
        // step. They must not pass the top of the range, where the unsigned
        // difference would wrap: from ts[i - 1] there is room for `room`
        // more of them.
        if (repeats_ > 0) {
            const uint64_t room = (uint64_t{INT64_MAX} - static_cast<uint64_t>(ts[i - 1])) / step_;
            const std::size_t m = static_cast<std::size_t>(std::min<uint64_t>(to - i, room));
            const std::size_t same = matching_steps(ts, i, m, step_);
            repeats_ += same;
            counted_ += same;
            i += same;
            if (i == to) return;
        }
        // Unsigned difference: exact even when the signed one would overflow.
        if (!(ts[i] > ts[i - 1])) continue;
        const uint64_t s = static_cast<uint64_t>(ts[i]) - static_cast<uint64_t>(ts[i - 1]);
        ++counted_;
        if (s == step_) {
            ++repeats_;
            continue;
        }
        if (!add_run()) {
            irregular_ = true;
            return;
        }
        step_ = s;
        repeats_ = 1;
    }
}

std::optional<double> PositiveSteps::median() const {
    if (irregular_) return std::nullopt;
    PositiveSteps all = *this;
    if (!all.add_run()) return std::nullopt;
    if (all.counted_ == 0) return 0.0;
    StepCount* table = all.table_;
    std::sort(table, table + all.distinct_, [](const StepCount& a, const StepCount& b) { return a.step < b.step; });
    // The k-th smallest step (from 0) of the counted ones.
    auto kth = [&](std::size_t k) {
        std::size_t below = 0;
        std::size_t j = 0;
        while (below + table[j].count <= k) below += table[j++].count;
        return static_cast<double>(table[j].step);
    };
    const std::size_t c = all.counted_;
    const double upper = kth(c / 2);
    if (c % 2 == 1) return upper;
    return (kth(c / 2 - 1) + upper) / 2.0;
}

double resolve_periods_per_year(std::optional<double> explicit_ppy, double session_minutes,
                                double default_ppy, std::span<const int64_t> timestamps,
                                bool continuous_market) {
    if (explicit_ppy && *explicit_ppy > 0.0) return *explicit_ppy;
    if (timestamps.size() < 2) return default_ppy;
    return periods_from_step(median_positive_step(timestamps), session_minutes, default_ppy, continuous_market);
}

double resolve_periods_per_year(std::optional<double> explicit_ppy, double session_minutes,
                                double default_ppy, std::span<const int64_t> timestamps,
                                bool continuous_market, const PositiveSteps& counted) {
    if (explicit_ppy && *explicit_ppy > 0.0) return *explicit_ppy;
    if (timestamps.size() < 2) return default_ppy;
    const std::optional<double> m = counted.median();
    return periods_from_step(m ? *m : median_positive_step(timestamps), session_minutes, default_ppy,
                             continuous_market);
}

}  // namespace tidemark
