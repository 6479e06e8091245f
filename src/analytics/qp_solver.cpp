#include "analytics/qp_solver.h"

#include <array>

#include "tidemark_qp_solver.h"

namespace tidemark {

namespace {

tm_qp_csc view(const CscMatrix& m) {
    return tm_qp_csc{m.nrows,        m.ncols,          m.colptr.data(), m.colptr.size(),
                     m.rowval.data(), m.rowval.size(), m.nzval.data(),  m.nzval.size()};
}

}  // namespace

Outcome<QpSolution, QpFailure> solve_qp(const QpProblem& problem, const QpSettings& settings) {
    const tm_qp_csc P = view(problem.P);
    const tm_qp_csc A = view(problem.A);
    QpSolution out;
    out.x.assign(problem.q.size(), 0.0);
    std::array<char, TM_QP_TEXT_CAPACITY> text{};
    const int32_t code =
        tm_qp_solve(&P, problem.q.data(), problem.q.size(), &A, problem.b.data(), problem.b.size(),
                    problem.cone_dim, settings.max_iter, settings.tolerance, out.x.data(),
                    out.x.size(), &out.objective, &out.iterations, text.data(), text.size());
    std::string message(text.data());
    switch (code) {
        case TM_QP_RAN:
            out.status = std::move(message);
            return out;
        case TM_QP_SETUP_ERROR:
            return QpFailure{QpFailure::Setup, std::move(message)};
        case TM_QP_PANIC:
            return QpFailure{QpFailure::Panic, std::move(message)};
        default:
            // Every array above is sized from its own vector, so only a broken
            // wrapper gets here.
            throw Fault("qp solver refused the call: " + message);
    }
}

}  // namespace tidemark
