// The quadratic-programme solver behind the book optimiser: Clarabel, reached
// through the C entry point of the crate in rust/qp_solver. This wrapper turns
// vectors into the borrowed views the crate reads and its outputs back into
// values; it adds no numerics of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/errors.h"

namespace tidemark {

// A compressed-column matrix: column j holds rows rowval[colptr[j] .. colptr[j+1])
// with values nzval[...], rows strictly increasing within a column.
struct CscMatrix {
    std::size_t nrows = 0;
    std::size_t ncols = 0;
    std::vector<std::size_t> colptr{0};
    std::vector<std::size_t> rowval;
    std::vector<double> nzval;
};

// minimise 1/2 x'Px + q'x  subject to  Ax + s = b,  s >= 0 (one nonnegative cone
// of dimension cone_dim, so every row reads A_r . x <= b_r). Only P's upper
// triangle is read.
struct QpProblem {
    CscMatrix P;
    std::vector<double> q;
    CscMatrix A;
    std::vector<double> b;
    std::size_t cone_dim = 0;
};

// The solver's defaults, except these and no printing; `tolerance` sets the
// absolute and relative gap tolerances and the feasibility tolerance.
struct QpSettings {
    std::uint32_t max_iter = 200;
    double tolerance = 1e-8;
};

// What one solve ended with, whatever its status: the status is the solver's
// own name ("Solved", "PrimalInfeasible", "MaxIterations", ...), x its last
// primal iterate (a certificate when infeasible), objective its primal value.
struct QpSolution {
    std::string status;
    std::vector<double> x;
    double objective = 0.0;
    std::uint32_t iterations = 0;
};

// The solver could not be built from the data (Setup), or it panicked (Panic);
// `message` is its text.
struct QpFailure {
    enum Kind { Setup, Panic };
    Kind kind = Setup;
    std::string message;
};

// Builds the solver, solves once. Thread-safe: each call has its own solver.
Outcome<QpSolution, QpFailure> solve_qp(const QpProblem& problem, const QpSettings& settings);

}  // namespace tidemark
