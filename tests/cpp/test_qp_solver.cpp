#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "analytics/qp_solver.h"

using namespace tidemark;

namespace {

// P = diag(2, 4) (upper triangle, compressed columns), x >= 0: optimum P^-1 (-q) = (1, 2), objective 9 - 18.
QpProblem two_by_two() {
    return {{2, 2, {0, 1, 2}, {0, 1}, {2, 4}}, {-2, -8}, {2, 2, {0, 1, 2}, {0, 1}, {-1, -1}}, {0, 0}, 2};
}

// Budget x1 + x2 = 1 as two rows: x1 + 0.4 = x2 gives (0.3, 0.7), objective 0.5 (0.09 + 0.49) + 0.12.
QpProblem budget() {
    return {{2, 2, {0, 1, 2}, {0, 1}, {1, 1}}, {0.4, 0}, {4, 2, {0, 3, 6}, {0, 1, 2, 0, 1, 3}, {1, -1, -1, 1, -1, -1}},
            {1, -1, 0, 0}, 4};
}

}  // namespace

// Solved books are checked through the optimiser in Python; not whether the tolerance arrives.
TEST(QpSolver, TheToleranceReachesTheSolver) {
    const auto tight = solve_qp(budget(), QpSettings{200, 1e-10});
    const auto loose = solve_qp(budget(), QpSettings{200, 1e-3});
    ASSERT_TRUE(tight.ok() && loose.ok());
    EXPECT_EQ(tight.value().status, "Solved");
    EXPECT_EQ(loose.value().status, "Solved");
    EXPECT_LT(loose.value().iterations, tight.value().iterations);
    EXPECT_NEAR(tight.value().x[0], 0.3, 1e-8);
    EXPECT_NEAR(tight.value().objective, 0.41, 1e-8);
}

// The solver's own texts, but for a nonzero first column pointer, which the crate refuses itself.
TEST(QpSolver, RefusedDataComesBackAsText) {
    const std::pair<void (*)(QpProblem&), const char*> cases[] = {
        {[](QpProblem& p) { p.b.push_back(0); }, "Bad input data: A and b incompatible dimensions"},
        {[](QpProblem& p) { p.cone_dim = 1; }, "Bad input data: Constraint dimensions inconsistent with size of cones"},
        {[](QpProblem& p) { p.q.push_back(0); }, "Bad input data: A and q incompatible dimensions"},
        {[](QpProblem& p) { p.P.nrows = p.P.ncols = 3, p.P.colptr.push_back(p.P.colptr.back()); },
         "Bad input data: P and q incompatible dimensions"},
        {[](QpProblem& p) { p.P.nrows = 3; }, "Bad input data: P not square"},
        {[](QpProblem& p) { p.A.rowval[1] = 2; }, "A: Row value exceeds the matrix row dimension"},
        {[](QpProblem& p) { p.A = {2, 2, {0, 2, 4}, {1, 0, 0, 1}, {-1, 1, 1, -1}}; },
         "A: Row value exceeds the matrix row dimension"},  // rows out of order
        {[](QpProblem& p) { p.P.colptr.pop_back(); },
         "P: Matrix dimension fields and/or array lengths are incompatible"},
        {[](QpProblem& p) {
             p.P.rowval.insert(p.P.rowval.begin(), 0), p.P.nzval.insert(p.P.nzval.begin(), 5.0);
             for (auto& c : p.P.colptr) ++c;
         },
         "P: Bad column pointer values"},
        {[](QpProblem& p) { p.A.colptr = {0, 3, 2}; }, "A: Bad column pointer values"},
    };
    for (const auto& [spoil, message] : cases) {
        QpProblem p = two_by_two();
        spoil(p);
        const auto out = solve_qp(p, QpSettings{});
        ASSERT_FALSE(out.ok()) << message;
        EXPECT_EQ(out.error().kind, QpFailure::Setup) << message;
        EXPECT_EQ(out.error().message, message);
    }
    // Non-finite data is not refused, but must never be reported as solved.
    for (void (*spoil)(QpProblem&) : {+[](QpProblem& p) { p.q[1] = -std::numeric_limits<double>::infinity(); },
                                      +[](QpProblem& p) { p.A.nzval[1] = std::nan(""); }}) {
        QpProblem p = two_by_two();
        spoil(p);
        const auto out = solve_qp(p, QpSettings{});
        ASSERT_TRUE(out.ok()) << out.error().message;
        EXPECT_NE(out.value().status, "Solved");
    }
}

TEST(QpSolver, APanicInsideTheSolverComesBackAsText) {
    // The factorisation indexes past an empty system; the panic stops at the C boundary as text.
    const auto out = solve_qp(QpProblem{}, QpSettings{});
    ASSERT_FALSE(out.ok());
    EXPECT_EQ(out.error().kind, QpFailure::Panic);
    EXPECT_EQ(out.error().message.rfind("solver panicked at ", 0), 0u) << out.error().message;
    EXPECT_NE(out.error().message.find("index out of bounds"), std::string::npos) << out.error().message;
    const auto after = solve_qp(two_by_two(), QpSettings{});
    ASSERT_TRUE(after.ok());
    EXPECT_EQ(after.value().status, "Solved");
    EXPECT_NEAR(after.value().x[1], 2.0, 1e-6);
    EXPECT_NEAR(after.value().objective, -9.0, 1e-6);
}
