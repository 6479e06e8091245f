// The shared-capital runner against the same instruments run one by one
// through the single-instrument loop, engine only: no copies of the inputs
// on the way in, no conversion of the results on the way out. The
// instruments are built as bench_portfolio_runner.py builds them (0.1 %
// walks, long and short by turns, an entry every 100 bars and an exit 50
// bars later, 0.1 % fees), 10 and 50 of them x 100,000 bars, timed in
// interleaved rounds, best of 15. Build with -DTIDEMARK_BUILD_BENCH=ON.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "portfolio/engine.h"
#include "strategies/portfolio.h"

using namespace tidemark;

namespace {

constexpr std::size_t kBars = 100'000;
constexpr int kRounds = 15;

// One instrument's columns, which the runner's views point into.
struct Columns {
    Series<int64_t> timestamps;
    Series<double> open, high, low, close, volume;
    BoolVec entries, exits;
};

std::vector<InstrumentData> instruments(std::size_t count, std::vector<Columns>& cols) {
    std::mt19937_64 rng(7);
    std::normal_distribution<double> step(0.0, 0.001);
    cols.assign(count, Columns{});
    std::vector<InstrumentData> out(count);
    for (std::size_t k = 0; k < count; ++k) {
        Columns& c = cols[k];
        double p = 100.0 + static_cast<double>(k);
        for (std::size_t i = 0; i < kBars; ++i) {
            p *= std::exp(step(rng));
            c.timestamps.push_back((1'700'000'000 + static_cast<int64_t>(i)) * 60'000'000'000);
            c.open.push_back(p);
            c.high.push_back(p * 1.001);
            c.low.push_back(p * 0.999);
            c.close.push_back(p);
            c.volume.push_back(1.0);
            c.entries.push_back(i % 100 == k % 50);
            c.exits.push_back(i >= 50 && i % 100 == k % 50 + 50);
        }
        InstrumentData& d = out[k];
        d.timestamps = c.timestamps;
        d.open = c.open;
        d.high = c.high;
        d.low = c.low;
        d.close = c.close;
        d.volume = c.volume;
        d.entries = c.entries;
        d.exits = c.exits;
        char name[24];
        std::snprintf(name, sizeof name, "S%zu", k);
        d.symbol = name;
        d.direction = k % 2 == 0 ? 1 : -1;
    }
    return out;
}

}  // namespace

int main() {
    BacktestConfig cfg;
    cfg.fees = 0.001;
    const EngineParams params = engine_params_for(cfg);
    std::printf("best of %d interleaved rounds, one core, %zu bars per instrument\n", kRounds, kBars);
    std::printf("%11s %10s %7s %12s %7s %10s %8s %7s\n", "instruments", "one by one", "trades", "equal_weight", "ratio",
                "full", "ratio", "trades");
    for (std::size_t count : {10u, 50u}) {
        std::vector<Columns> cols;
        const std::vector<InstrumentData> ins = instruments(count, cols);
        double best[3] = {1e30, 1e30, 1e30};
        std::size_t trades[3] = {0, 0, 0};
        for (int r = 0; r < kRounds; ++r) {
            for (int which = 0; which < 3; ++which) {
                const auto t0 = std::chrono::steady_clock::now();
                std::size_t made = 0;
                if (which == 0) {
                    for (const InstrumentData& d : ins) {
                        const BarArrays bars{d.timestamps, d.open, d.high, d.low, d.close, d.volume};
                        const SignalArrays sig{d.symbol, d.entries, d.exits, std::nullopt, 1.0, d.direction};
                        made += run_backtest_loop(params, bars, sig, nullptr).trades.size();
                    }
                } else {
                    made = run_portfolio_strategy(cfg, ins, which == 1 ? "equal_weight" : "full", {})
                               .result.trades.size();
                }
                const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
                if (s < best[which]) best[which] = s;
                trades[which] = made;
            }
        }
        std::printf("%11zu %7.1f ms %7zu %9.1f ms %6.2fx %7.1f ms %7.2fx %7zu\n", count, best[0] * 1e3, trades[0],
                    best[1] * 1e3, best[1] / best[0], best[2] * 1e3, best[2] / best[0], trades[2]);
    }
}
