// Times the solver alone on the long-only book programme: a dense covariance
// over n assets, a fully-invested budget, per-asset and sector caps and a
// linear turnover cost against equal current weights. Variables are the n
// weights and n trade sizes. As a baseline from the same process, the time to
// copy the problem's arrays once. Run by hand (build with -DTIDEMARK_BUILD_BENCH=ON).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

#include "analytics/qp_solver.h"

using namespace tidemark;

namespace {

constexpr std::size_t kFactors = 5;
constexpr std::size_t kSectors = 10;
constexpr double kRiskAversion = 5.0;
constexpr double kTurnoverPenalty = 1e-3;
constexpr double kSectorCap = 0.3;

double ms_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// Factor-model covariance of daily returns: B B' plus specific variance, dense
// and positive definite.
std::vector<double> covariance(std::size_t n, std::mt19937_64& gen) {
    std::normal_distribution<double> loading(0.0, 0.01);
    std::uniform_real_distribution<double> specific(1e-4, 4e-4);
    std::vector<double> B(n * kFactors);
    for (double& b : B) b = loading(gen);
    std::vector<double> sigma(n * n);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) {
            double s = 0.0;
            for (std::size_t f = 0; f < kFactors; ++f) s += B[i * kFactors + f] * B[j * kFactors + f];
            sigma[i * n + j] = s;
        }
    for (std::size_t i = 0; i < n; ++i) sigma[i * n + i] += specific(gen);
    return sigma;
}

QpProblem book_problem(std::size_t n, double cap, std::mt19937_64& gen) {
    const std::vector<double> sigma = covariance(n, gen);
    std::normal_distribution<double> alpha(0.0, 1e-3);
    const double w0 = 1.0 / static_cast<double>(n);
    const std::size_t S = kSectors;
    // Row blocks: budget (2), lower bounds (n), caps (n), sectors (S), trade
    // bounds (2n).
    const std::size_t m = 2 + 2 * n + S + 2 * n;
    const std::size_t caps_at = 2 + n, sectors_at = 2 + 2 * n, trades_at = sectors_at + S;

    QpProblem p;
    p.P.nrows = p.P.ncols = 2 * n;
    for (std::size_t j = 0; j < 2 * n; ++j) {
        for (std::size_t i = 0; j < n && i <= j; ++i) {
            p.P.rowval.push_back(i);
            p.P.nzval.push_back(2.0 * kRiskAversion * sigma[i * n + j]);
        }
        p.P.colptr.push_back(p.P.rowval.size());
    }
    p.q.resize(2 * n);
    for (std::size_t i = 0; i < n; ++i) {
        p.q[i] = -alpha(gen);
        p.q[n + i] = kTurnoverPenalty;
    }
    p.A.nrows = m;
    p.A.ncols = 2 * n;
    auto put = [&p](std::size_t row, double v) {
        p.A.rowval.push_back(row);
        p.A.nzval.push_back(v);
    };
    for (std::size_t j = 0; j < n; ++j) {
        put(0, 1.0);
        put(1, -1.0);
        put(2 + j, -1.0);
        put(caps_at + j, 1.0);
        put(sectors_at + j % S, 1.0);
        put(trades_at + j, 1.0);
        put(trades_at + n + j, -1.0);
        p.A.colptr.push_back(p.A.rowval.size());
    }
    for (std::size_t j = 0; j < n; ++j) {
        put(trades_at + j, -1.0);
        put(trades_at + n + j, -1.0);
        p.A.colptr.push_back(p.A.rowval.size());
    }
    p.b.assign(m, 0.0);
    p.b[0] = 1.0;
    p.b[1] = -1.0;
    for (std::size_t j = 0; j < n; ++j) {
        p.b[caps_at + j] = cap;
        p.b[trades_at + j] = w0;
        p.b[trades_at + n + j] = -w0;
    }
    for (std::size_t k = 0; k < S; ++k) p.b[sectors_at + k] = kSectorCap;
    p.cone_dim = m;
    return p;
}

}  // namespace

int main() {
    struct Size {
        std::size_t n;
        double cap;
        int runs;
    };
    std::mt19937_64 gen(7);
    std::printf("%6s %8s %8s %10s %6s %12s %12s %12s\n", "assets", "rows", "P nnz", "status", "iters",
                "copy ms", "solve ms", "min ms");
    for (const Size s : {Size{50, 0.1, 20}, Size{200, 0.05, 7}, Size{500, 0.05, 3}}) {
        const QpProblem p = book_problem(s.n, s.cap, gen);
        auto start = std::chrono::steady_clock::now();
        const QpProblem copy = p;
        const double copy_ms = ms_since(start);
        std::vector<double> ms;
        QpSolution last;
        for (int r = 0; r < s.runs; ++r) {
            start = std::chrono::steady_clock::now();
            auto out = solve_qp(p, QpSettings{});
            ms.push_back(ms_since(start));
            if (!out.ok()) {
                std::printf("n=%zu failed: %s\n", s.n, out.error().message.c_str());
                return 1;
            }
            last = std::move(out.value());
        }
        std::sort(ms.begin(), ms.end());
        double invested = 0.0;
        for (std::size_t i = 0; i < s.n; ++i) invested += last.x[i];
        std::printf("%6zu %8zu %8zu %10s %6u %12.3f %12.3f %12.3f   (invested %.6f)\n", s.n, copy.b.size(),
                    p.P.nzval.size(), last.status.c_str(), last.iterations, copy_ms, ms[ms.size() / 2],
                    ms.front(), invested);
    }
    return 0;
}
