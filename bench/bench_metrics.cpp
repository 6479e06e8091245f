// Times compute_metrics on a long minute-bar run: 1,000,000 steps, 10,000 trades.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

#include "metrics/metrics.h"

using namespace tidemark;

int main() {
    constexpr std::size_t kSteps = 1'000'000;
    constexpr std::size_t kTrades = 10'000;
    constexpr int kRuns = 15;

    std::mt19937_64 gen(42);
    std::normal_distribution<double> step_ret(0.0, 0.001);
    std::uniform_int_distribution<int> gap(0, 9);

    BacktestConfig cfg;
    std::vector<double> equity(kSteps), drawdown(kSteps), returns(kSteps);
    std::vector<int64_t> ts(kSteps);
    double e = cfg.initial_capital, peak = e, prev = e;
    int64_t t = 1'700'000'000'000'000'000;
    for (std::size_t i = 0; i < kSteps; ++i) {
        e *= 1.0 + step_ret(gen);
        peak = std::max(peak, e);
        equity[i] = e;
        drawdown[i] = (peak - e) / peak * 100.0;
        returns[i] = i == 0 ? 0.0 : (e - prev) / prev;
        prev = e;
        // Minute bars with the odd session gap, so the step median has work to do.
        t += gap(gen) == 0 ? 17 * 60'000'000'000LL : 60'000'000'000LL;
        ts[i] = t;
    }

    std::vector<Trade> trades(kTrades);
    std::uniform_real_distribution<double> move(-0.05, 0.05);
    for (std::size_t k = 0; k < kTrades; ++k) {
        Trade& tr = trades[k];
        tr.entry_idx = k * (kSteps / kTrades);
        tr.exit_idx = tr.entry_idx + 50;
        tr.entry_time = ts[tr.entry_idx];
        tr.exit_time = ts[tr.exit_idx];
        tr.size = 10.0;
        tr.entry_price = 100.0;
        tr.exit_price = 100.0 * (1.0 + move(gen));
        tr.pnl = tr.size * (tr.exit_price - tr.entry_price) - 0.2;
        tr.pnl_pct = tr.pnl / (tr.size * tr.entry_price) * 100.0;
        tr.fees = 0.2;
        tr.exit_reason = k + 1 == kTrades ? ExitReason::EndOfData : ExitReason::Signal;
    }

    std::vector<double> ms;
    double sink = 0.0;
    for (int r = 0; r < kRuns; ++r) {
        const auto start = std::chrono::steady_clock::now();
        const BacktestMetrics m = compute_metrics(equity, drawdown, returns, trades, ts, cfg);
        const auto stop = std::chrono::steady_clock::now();
        sink += m.sharpe_ratio + m.total_turnover;
        ms.push_back(std::chrono::duration<double, std::milli>(stop - start).count());
    }
    std::sort(ms.begin(), ms.end());
    std::printf("compute_metrics: %zu steps, %zu trades: median %.3f ms over %d runs (min %.3f, max %.3f)\n",
                kSteps, kTrades, ms[ms.size() / 2], kRuns, ms.front(), ms.back());
    std::printf("checksum %.6g\n", sink);
    return 0;
}
