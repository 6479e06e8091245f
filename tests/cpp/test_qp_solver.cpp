#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
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

// `nonneg` appends the rows -x_i <= 0.
QpProblem problem(const Dense& P, std::vector<double> q, Dense A, std::vector<double> b, bool nonneg = true) {
    const std::size_t n = q.size();
    for (std::size_t i = 0; nonneg && i < n; ++i) {
        A.emplace_back(n, 0.0);
        A.back()[i] = -1.0;
        b.push_back(0.0);
    }
    QpProblem p{csc(P, n, true), std::move(q), csc(A, n), std::move(b), 0};
    p.cone_dim = p.b.size();
    return p;
}

// A well-formed two-variable problem with two rows (x >= 0); its optimum is (1, 2).
QpProblem two_by_two() { return problem({{2, 0}, {0, 4}}, {-2, -8}, {}, {}); }

// Budget x1 + x2 = 1 as two rows, stationarity x1 + 0.4 = x2: optimum (0.3, 0.7).
QpProblem budget() { return problem({{1, 0}, {0, 1}}, {0.4, 0}, {{1, 1}, {-1, -1}}, {1, -1}); }

}  // namespace

// Each optimum is worked out by hand from the KKT conditions; books with caps
// and budgets are solved through the optimiser in the Python suite.
TEST(QpSolver, ReachesTheClosedFormOptimum) {
    struct Case {
        const char* name;
        QpProblem p;
        std::vector<double> x;
        double objective;
    };
    const Case cases[] = {
        // x = P^-1 (-q) = (2/2, 8/4); 0.5 (2 + 16) - 18.
        {"interior", two_by_two(), {1, 2}, -9},
        {"no_rows", problem({{2, 0}, {0, 4}}, {-2, -8}, {}, {}, false), {1, 2}, -9},
        // [[2,1],[1,2]] x = (3,3) gives (1,1); 3 - 6.
        {"off_diagonal", problem({{2, 1}, {1, 2}}, {-3, -3}, {}, {}), {1, 1}, -3},
        // 0.5 (0.09 + 0.49) + 0.12.
        {"equality_as_two_rows", budget(), {0.3, 0.7}, 0.41},
        // No quadratic term: a linear programme with a budget and a cap on x1.
        {"linear", problem({{0, 0}, {0, 0}}, {-2, -1}, {{1, 1}, {1, 0}}, {1, 0.3}), {0.3, 0.7}, -1.3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto out = solve_qp(c.p, QpSettings{});
        ASSERT_TRUE(out.ok()) << out.error().message;
        const QpSolution& s = out.value();
        EXPECT_EQ(s.status, "Solved");
        ASSERT_EQ(s.x.size(), c.x.size());
        for (std::size_t i = 0; i < s.x.size(); ++i) EXPECT_NEAR(s.x[i], c.x[i], 1e-6) << i;
        EXPECT_NEAR(s.objective, c.objective, 1e-6);
        EXPECT_GE(s.iterations, c.p.b.empty() ? 0u : 1u);
        EXPECT_LE(s.iterations, QpSettings{}.max_iter);
    }
}

TEST(QpSolver, InfeasibleRowsAndSettingsGiveTheirStatuses) {
    // x <= -1 together with x >= 0.
    const auto bad = solve_qp(problem({{1}}, {0}, {{1}}, {-1}), QpSettings{});
    ASSERT_TRUE(bad.ok()) << bad.error().message;
    EXPECT_EQ(bad.value().status, "PrimalInfeasible");
    for (std::uint32_t limit : {1u, 2u}) {
        const auto out = solve_qp(two_by_two(), QpSettings{limit, 1e-8});
        ASSERT_TRUE(out.ok()) << out.error().message;
        EXPECT_EQ(out.value().status, "MaxIterations") << limit;
        EXPECT_EQ(out.value().iterations, limit);
        EXPECT_EQ(out.value().x.size(), 2u);
    }
    const auto tight = solve_qp(budget(), QpSettings{200, 1e-10});
    const auto loose = solve_qp(budget(), QpSettings{200, 1e-3});
    ASSERT_TRUE(tight.ok() && loose.ok());
    EXPECT_EQ(tight.value().status, "Solved");
    EXPECT_EQ(loose.value().status, "Solved");
    EXPECT_LT(loose.value().iterations, tight.value().iterations);
    EXPECT_NEAR(tight.value().x[0], 0.3, 1e-8);
}

// The texts are the solver's own for its dimension and format checks.
TEST(QpSolver, RefusedDataComesBackAsText) {
    struct Case {
        const char* name;
        void (*spoil)(QpProblem&);
        const char* message;
    };
    const Case cases[] = {
        {"b_longer_than_A", [](QpProblem& p) { p.b.push_back(0); }, "Bad input data: A and b incompatible dimensions"},
        {"cone_smaller_than_rows", [](QpProblem& p) { p.cone_dim = 1; },
         "Bad input data: Constraint dimensions inconsistent with size of cones"},
        {"q_longer_than_A", [](QpProblem& p) { p.q.push_back(0); }, "Bad input data: A and q incompatible dimensions"},
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
        {"A_colptr_decreasing", [](QpProblem& p) { p.A.colptr = {0, 3, 2}; }, "A: Bad column pointer values"},
    };
    ASSERT_TRUE(solve_qp(two_by_two(), QpSettings{}).ok());  // the unspoilt problem solves
    for (const Case& c : cases) {
        QpProblem p = two_by_two();
        c.spoil(p);
        const auto out = solve_qp(p, QpSettings{});
        ASSERT_FALSE(out.ok()) << c.name;
        EXPECT_EQ(out.error().kind, QpFailure::Setup) << c.name;
        EXPECT_EQ(out.error().message, c.message) << c.name;
    }
}

TEST(QpSolver, NonFiniteDataNeverReportsSolved) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    constexpr double inf = std::numeric_limits<double>::infinity();
    const std::vector<void (*)(QpProblem&)> spoils = {
        [](QpProblem& p) { p.q[0] = nan; },       [](QpProblem& p) { p.q[1] = -inf; },
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
    EXPECT_NE(out.error().message.find("index out of bounds"), std::string::npos) << out.error().message;
    const auto after = solve_qp(two_by_two(), QpSettings{});  // still usable afterwards
    ASSERT_TRUE(after.ok());
    EXPECT_EQ(after.value().status, "Solved");
}
