#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "portfolio/qp_solver.h"

using namespace tidemark;

namespace {

using Dense = std::vector<std::vector<double>>;

// Compressed-column form of a dense matrix, zeros skipped; `upper` keeps only
// the upper triangle, as the solver reads P.
CscMatrix csc(const Dense& m, std::size_t ncols, bool upper = false) {
    CscMatrix out;
    out.nrows = m.size();
    out.ncols = ncols;
    for (std::size_t j = 0; j < ncols; ++j) {
        for (std::size_t i = 0; i < m.size(); ++i) {
            if ((upper && i > j) || m[i][j] == 0.0) continue;
            out.rowval.push_back(i);
            out.nzval.push_back(m[i][j]);
        }
        out.colptr.push_back(out.rowval.size());
    }
    return out;
}

QpProblem problem(const Dense& P, std::vector<double> q, const Dense& A, std::vector<double> b) {
    const std::size_t n = q.size();
    QpProblem p{csc(P, n, true), std::move(q), csc(A, n), std::move(b), 0};
    p.cone_dim = p.b.size();
    return p;
}

// Rows -x_i <= 0 for every variable, appended to A and b.
void add_nonnegativity(Dense& A, std::vector<double>& b, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        std::vector<double> row(n, 0.0);
        row[i] = -1.0;
        A.push_back(row);
        b.push_back(0.0);
    }
}

struct OptimumCase {
    const char* name;
    Dense P;
    std::vector<double> q;
    Dense A;  // rows beyond x >= 0
    std::vector<double> b;
    std::vector<double> want_x;
    double want_objective;
};

// Each optimum is worked out by hand from the KKT conditions.
std::vector<OptimumCase> optimum_cases() {
    return {
        // Interior: x = P^-1 (-q) = (2/2, 8/4); objective 0.5 (2 + 16) - 18.
        {"interior", {{2, 0}, {0, 4}}, {-2, -8}, {}, {}, {1, 2}, -9},
        // The first coordinate wants -1 and stops at its bound; 0.5 * 4 * 4 - 16.
        {"bound_active", {{2, 0}, {0, 4}}, {2, -8}, {}, {}, {0, 2}, -8},
        // Coupled through the off-diagonal: [[2,1],[1,2]] x = (3,3) gives (1,1); 3 - 6.
        {"off_diagonal", {{2, 1}, {1, 2}}, {-3, -3}, {}, {}, {1, 1}, -3},
        // x1 + x2 = 1 as two rows; stationarity x1 + 0.4 = x2 gives (0.3, 0.7);
        // 0.5 (0.09 + 0.49) + 0.12.
        {"equality_as_two_rows",
         {{1, 0}, {0, 1}},
         {0.4, 0},
         {{1, 1}, {-1, -1}},
         {1, -1},
         {0.3, 0.7},
         0.41},
        // No quadratic term: a linear programme with a budget and a cap on x1.
        {"linear", {{0, 0}, {0, 0}}, {-2, -1}, {{1, 1}, {1, 0}}, {1, 0.3}, {0.3, 0.7}, -1.3},
        // A long-only budget with caps on three assets: the one with a return
        // fills its 0.5 cap, the other two split the rest equally by symmetry:
        // min x'x/2 - 0.5 x1 s.t. sum x = 1, x <= 0.5 -> x1 = 0.5, x2 = x3 = 0.25;
        // objective 0.5 (0.25 + 0.0625 + 0.0625) - 0.25.
        {"budget_and_caps",
         {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}},
         {-0.5, 0, 0},
         {{1, 1, 1}, {-1, -1, -1}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}},
         {1, -1, 0.5, 0.5, 0.5},
         {0.5, 0.25, 0.25},
         -0.0625},
    };
}

void PrintTo(const OptimumCase& c, std::ostream* os) { *os << c.name; }

class QpOptimum : public ::testing::TestWithParam<OptimumCase> {};

TEST_P(QpOptimum, ReachesTheClosedFormOptimum) {
    const OptimumCase& c = GetParam();
    Dense A = c.A;
    std::vector<double> b = c.b;
    add_nonnegativity(A, b, c.q.size());
    const auto out = solve_qp(problem(c.P, c.q, A, b), QpSettings{});
    ASSERT_TRUE(out.ok()) << out.error().message;
    const QpSolution& s = out.value();
    EXPECT_EQ(s.status, "Solved");
    ASSERT_EQ(s.x.size(), c.want_x.size());
    for (std::size_t i = 0; i < s.x.size(); ++i) EXPECT_NEAR(s.x[i], c.want_x[i], 1e-6) << i;
    EXPECT_NEAR(s.objective, c.want_objective, 1e-6);
    EXPECT_GT(s.iterations, 0u);
    EXPECT_LE(s.iterations, QpSettings{}.max_iter);
}

INSTANTIATE_TEST_SUITE_P(Cases, QpOptimum, ::testing::ValuesIn(optimum_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(QpSolver, ContradictoryRowsArePrimalInfeasible) {
    // x <= -1 together with x >= 0.
    const auto out = solve_qp(problem({{1}}, {0}, {{1}, {-1}}, {-1, 0}), QpSettings{});
    ASSERT_TRUE(out.ok()) << out.error().message;
    EXPECT_EQ(out.value().status, "PrimalInfeasible");
}

TEST(QpSolver, IterationLimitStopsWithItsStatus) {
    Dense A;
    std::vector<double> b;
    add_nonnegativity(A, b, 2);
    const QpProblem p = problem({{2, 0}, {0, 4}}, {-2, -8}, A, b);
    for (std::uint32_t limit : {1u, 2u}) {
        const auto out = solve_qp(p, QpSettings{limit, 1e-8});
        ASSERT_TRUE(out.ok()) << out.error().message;
        EXPECT_EQ(out.value().status, "MaxIterations") << limit;
        EXPECT_EQ(out.value().iterations, limit);
        EXPECT_EQ(out.value().x.size(), 2u);
    }
}

TEST(QpSolver, LooserToleranceStopsSooner) {
    Dense A{{1, 1}, {-1, -1}};
    std::vector<double> b{1, -1};
    add_nonnegativity(A, b, 2);
    const QpProblem p = problem({{1, 0}, {0, 1}}, {0.4, 0}, A, b);
    const auto tight = solve_qp(p, QpSettings{200, 1e-10});
    const auto loose = solve_qp(p, QpSettings{200, 1e-3});
    ASSERT_TRUE(tight.ok() && loose.ok());
    EXPECT_EQ(tight.value().status, "Solved");
    EXPECT_EQ(loose.value().status, "Solved");
    EXPECT_LT(loose.value().iterations, tight.value().iterations);
    EXPECT_NEAR(tight.value().x[0], 0.3, 1e-8);
}

struct SetupCase {
    const char* name;
    void (*spoil)(QpProblem&);
    const char* message;
};

// A well-formed two-variable problem with two rows, spoilt one way per case.
QpProblem two_by_two() { return problem({{2, 0}, {0, 4}}, {-2, -8}, {{-1, 0}, {0, -1}}, {0, 0}); }

// The texts are the solver's own for its dimension and format checks.
const SetupCase kSetupCases[] = {
    {"b_longer_than_A", [](QpProblem& p) { p.b.push_back(0); },
     "Bad input data: A and b incompatible dimensions"},
    {"cone_smaller_than_rows", [](QpProblem& p) { p.cone_dim = 1; },
     "Bad input data: Constraint dimensions inconsistent with size of cones"},
    {"q_longer_than_A", [](QpProblem& p) { p.q.push_back(0); },
     "Bad input data: A and q incompatible dimensions"},
    {"P_wider_than_q",
     [](QpProblem& p) {
         p.P.nrows = p.P.ncols = 3;
         p.P.colptr.push_back(p.P.colptr.back());
     },
     "Bad input data: P and q incompatible dimensions"},
    {"P_not_square", [](QpProblem& p) { p.P.nrows = 3; }, "Bad input data: P not square"},
    {"A_row_out_of_range", [](QpProblem& p) { p.A.rowval[1] = 2; },
     "A: Row value exceeds the matrix row dimension"},
    {"A_rows_unsorted",
     [](QpProblem& p) {
         p.A = csc({{-1, 1}, {1, -1}}, 2);
         std::swap(p.A.rowval[0], p.A.rowval[1]);
     },
     "A: Row value exceeds the matrix row dimension"},
    {"P_colptr_short", [](QpProblem& p) { p.P.colptr.pop_back(); },
     "P: Matrix dimension fields and/or array lengths are incompatible"},
    {"P_values_short", [](QpProblem& p) { p.P.nzval.pop_back(); },
     "P: Matrix dimension fields and/or array lengths are incompatible"},
    {"P_colptr_not_from_zero",
     [](QpProblem& p) {
         p.P.rowval.insert(p.P.rowval.begin(), 0);
         p.P.nzval.insert(p.P.nzval.begin(), 5.0);
         for (auto& c : p.P.colptr) ++c;
     },
     "P: Bad column pointer values"},
    {"A_colptr_decreasing", [](QpProblem& p) { p.A.colptr = {0, 3, 2}; },
     "A: Bad column pointer values"},
};

void PrintTo(const SetupCase& c, std::ostream* os) { *os << c.name; }

class QpSetup : public ::testing::TestWithParam<SetupCase> {};

TEST_P(QpSetup, RefusedDataComesBackAsText) {
    QpProblem p = two_by_two();
    ASSERT_TRUE(solve_qp(p, QpSettings{}).ok());  // the unspoilt problem solves
    GetParam().spoil(p);
    const auto out = solve_qp(p, QpSettings{});
    ASSERT_FALSE(out.ok());
    EXPECT_EQ(out.error().kind, QpFailure::Setup);
    EXPECT_EQ(out.error().message, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(Cases, QpSetup, ::testing::ValuesIn(kSetupCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(QpSolver, NonFiniteDataNeverReportsSolved) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    constexpr double inf = std::numeric_limits<double>::infinity();
    const std::vector<void (*)(QpProblem&)> spoils = {
        [](QpProblem& p) { p.q[0] = nan; },      [](QpProblem& p) { p.q[1] = -inf; },
        [](QpProblem& p) { p.P.nzval[0] = nan; }, [](QpProblem& p) { p.A.nzval[1] = nan; },
        [](QpProblem& p) { p.b[0] = nan; },
    };
    for (std::size_t k = 0; k < spoils.size(); ++k) {
        QpProblem p = two_by_two();
        spoils[k](p);
        const auto out = solve_qp(p, QpSettings{});
        ASSERT_TRUE(out.ok()) << k << ": " << out.error().message;
        EXPECT_NE(out.value().status, "Solved") << k;
    }
}

TEST(QpSolver, APanicInsideTheSolverComesBackAsText) {
    // The solver's factorisation indexes past an empty system: with nothing to
    // solve it panics, and the panic must stop at the C boundary as text.
    const auto out = solve_qp(QpProblem{}, QpSettings{});
    ASSERT_FALSE(out.ok());
    EXPECT_EQ(out.error().kind, QpFailure::Panic);
    EXPECT_EQ(out.error().message.rfind("solver panicked at ", 0), 0u) << out.error().message;
    EXPECT_NE(out.error().message.find("index out of bounds"), std::string::npos)
        << out.error().message;
    // The solver is still usable afterwards.
    const auto after = solve_qp(two_by_two(), QpSettings{});
    ASSERT_TRUE(after.ok());
    EXPECT_EQ(after.value().status, "Solved");
}

TEST(QpSolver, NoRowsIsAnUnconstrainedProgramme) {
    QpProblem p = two_by_two();
    p.A = csc({}, 2);
    p.b.clear();
    p.cone_dim = 0;
    const auto out = solve_qp(p, QpSettings{});
    ASSERT_TRUE(out.ok()) << out.error().message;
    EXPECT_EQ(out.value().status, "Solved");
    EXPECT_NEAR(out.value().x[0], 1.0, 1e-9);
    EXPECT_NEAR(out.value().x[1], 2.0, 1e-9);
    EXPECT_NEAR(out.value().objective, -9.0, 1e-9);
}

TEST(QpSolver, ConcurrentSolvesMatchSerialOnesBitForBit) {
    Dense A{{1, 1, 1}, {-1, -1, -1}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    std::vector<double> b{1, -1, 0.5, 0.5, 0.5};
    add_nonnegativity(A, b, 3);
    const QpProblem p = problem({{2, 0.5, 0}, {0.5, 1, 0.2}, {0, 0.2, 3}}, {-0.5, 0.1, -0.2}, A, b);
    const auto serial = solve_qp(p, QpSettings{});
    ASSERT_TRUE(serial.ok());
    std::vector<QpSolution> got(4);
    std::vector<std::thread> threads;
    for (auto& slot : got)
        threads.emplace_back([&p, &slot] {
            for (int rep = 0; rep < 5; ++rep) slot = solve_qp(p, QpSettings{}).value();
        });
    for (auto& t : threads) t.join();
    for (const QpSolution& s : got) {
        EXPECT_EQ(s.status, serial.value().status);
        EXPECT_EQ(s.x, serial.value().x);
        EXPECT_EQ(s.objective, serial.value().objective);
        EXPECT_EQ(s.iterations, serial.value().iterations);
    }
}

}  // namespace
