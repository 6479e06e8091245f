/* C entry point of the solver crate in rust/qp_solver: one quadratic programme
 * with a single nonnegative cone, solved once by Clarabel's default solver.
 *
 * Ownership: every array is borrowed from the caller for the duration of the
 * call and every output goes into buffers the caller owns; the crate keeps and
 * returns no memory, so there is nothing to free. No panic leaves the call. */
#ifndef TIDEMARK_QP_SOLVER_H
#define TIDEMARK_QP_SOLVER_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Return codes of tm_qp_solve. */
enum {
    TM_QP_RAN = 0,         /* the solver ran: status name in the text */
    TM_QP_SETUP_ERROR = 1, /* the solver refused the data: reason in the text */
    TM_QP_PANIC = 2,       /* a panic was caught: its message in the text */
    TM_QP_BAD_CALL = 3     /* a null array or a wrongly sized output buffer */
};

/* Enough for every status name and the solver's setup messages; longer texts
 * are cut at a character boundary. */
#define TM_QP_TEXT_CAPACITY 512

/* A compressed-column matrix: column j holds rows rowval[colptr[j] ..
 * colptr[j+1]) with values nzval[...], rows strictly increasing. Each length
 * is what the array holds; inconsistent lengths are reported, never read past. */
typedef struct tm_qp_csc {
    size_t nrows;
    size_t ncols;
    const size_t* colptr;
    size_t colptr_len;
    const size_t* rowval;
    size_t rowval_len;
    const double* nzval;
    size_t nzval_len;
} tm_qp_csc;

/* Minimises 1/2 x'Px + q'x subject to Ax + s = b, s >= 0 (a nonnegative cone of
 * dimension cone_dim), with P's upper triangle given. Settings are the solver's
 * defaults except max_iter, tol_gap_abs = tol_gap_rel = tol_feas = tolerance,
 * no printing and the linear solver: QDLDL, or faer's supernodal LDL on one
 * thread when P's upper triangle holds 400 x 401 / 2 entries or more (a dense
 * covariance of 400 assets or more). Either way the same call gives the same
 * bits on any thread and whatever else runs beside it.
 *
 * On TM_QP_RAN, text_out holds the status name ("Solved", "PrimalInfeasible",
 * "MaxIterations", ...), x_out (x_len must equal q_len) the primal vector,
 * *objective_out the primal objective and *iterations_out the iteration count.
 * On any other code text_out holds the reason and the numeric outputs are left
 * untouched. A null pointer is allowed for an array of length 0. */
int32_t tm_qp_solve(const tm_qp_csc* P, const double* q, size_t q_len, const tm_qp_csc* A,
                    const double* b, size_t b_len, size_t cone_dim, uint32_t max_iter,
                    double tolerance, double* x_out, size_t x_len, double* objective_out,
                    uint32_t* iterations_out, char* text_out, size_t text_cap);

#ifdef __cplusplus
}
#endif

#endif
