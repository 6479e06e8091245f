//! One C entry point to the Clarabel interior-point solver: build its default
//! solver for a quadratic programme with a single nonnegative cone, solve once
//! and copy the outcome into buffers the caller owns.
//!
//! Nothing allocated here outlives a call, and no panic crosses the C boundary:
//! a panic is caught and reported as text like any other failure.

use std::any::Any;
use std::cell::RefCell;
use std::os::raw::c_char;
use std::panic::{self, AssertUnwindSafe};
use std::sync::Once;

use clarabel::algebra::{CscMatrix, SparseFormatError};
use clarabel::solver::{DefaultSettings, DefaultSolver, IPSolver, SupportedConeT};

/// The solver ran; its status name is in the text buffer.
pub const TM_QP_RAN: i32 = 0;
/// The solver could not be built from the data; the reason is in the text buffer.
pub const TM_QP_SETUP_ERROR: i32 = 1;
/// A panic was caught; its message is in the text buffer.
pub const TM_QP_PANIC: i32 = 2;
/// The call itself was malformed (a missing array or a wrongly sized output).
pub const TM_QP_BAD_CALL: i32 = 3;

/// A compressed-column matrix borrowed from the caller, with every array's length
/// given so that inconsistent data is reported, never read past.
#[repr(C)]
pub struct TmQpCsc {
    pub nrows: usize,
    pub ncols: usize,
    pub colptr: *const usize,
    pub colptr_len: usize,
    pub rowval: *const usize,
    pub rowval_len: usize,
    pub nzval: *const f64,
    pub nzval_len: usize,
}

enum Failure {
    Setup(String),
    BadCall(String),
}

/// # Safety
/// `ptr` must point to `len` readable values, or `len` must be 0.
unsafe fn borrowed<'a, T>(ptr: *const T, len: usize, what: &str) -> Result<&'a [T], Failure> {
    if len == 0 {
        Ok(&[])
    } else if ptr.is_null() {
        Err(Failure::BadCall(format!(
            "{what} is null but has {len} entries"
        )))
    } else {
        Ok(std::slice::from_raw_parts(ptr, len))
    }
}

/// # Safety
/// Every pointer in `m` must point to as many values as its length says.
unsafe fn to_matrix(m: &TmQpCsc, name: &str) -> Result<CscMatrix<f64>, Failure> {
    let matrix = CscMatrix {
        m: m.nrows,
        n: m.ncols,
        colptr: borrowed(m.colptr, m.colptr_len, &format!("{name}.colptr"))?.to_vec(),
        rowval: borrowed(m.rowval, m.rowval_len, &format!("{name}.rowval"))?.to_vec(),
        nzval: borrowed(m.nzval, m.nzval_len, &format!("{name}.nzval"))?.to_vec(),
    };
    // The solver trusts the compressed-column structure (its factorisation reads
    // row indices unchecked), so a malformed matrix is refused before it sees it.
    // Its own check leaves a nonzero first column pointer through.
    let checked = match matrix.colptr.first() {
        Some(0) => matrix.check_format(),
        _ => Err(SparseFormatError::BadColptr),
    };
    checked.map_err(|e| Failure::Setup(format!("{name}: {e}")))?;
    Ok(matrix)
}

/// Books of at least this many assets, counted by the nonzeros of P's upper
/// triangle (n (n + 1) / 2 for a covariance without exact zeros), are factored
/// with faer's supernodal LDL, smaller ones with QDLDL.
///
/// QDLDL factors the dense covariance block one column at a time; faer factors
/// it in blocks with matrix-product kernels but pays more per supernode and per
/// sparse column. Measured on long-only and long/short books, faer took 1.6-2x
/// QDLDL's time at 200-250 assets, about the same at 300-350, 0.8-0.96x at 400
/// and 0.6-0.75x at 500, and its lead grows with the book. Below 400 a book
/// keeps QDLDL's digits, which are the same on every machine.
const FAER_FROM_ASSETS: usize = 400;

/// Whether a programme with this P is factored with faer (see
/// `FAER_FROM_ASSETS`).
fn factors_with_faer(p: &CscMatrix<f64>) -> bool {
    p.nnz() >= FAER_FROM_ASSETS * (FAER_FROM_ASSETS + 1) / 2
}

thread_local! {
    static PANIC_LOCATION: RefCell<Option<String>> = const { RefCell::new(None) };
}

/// Panics are reported through the return value, so the default hook's message
/// on standard error would only be noise; keep the location for the report.
fn install_quiet_panic_hook() {
    static ONCE: Once = Once::new();
    ONCE.call_once(|| {
        panic::set_hook(Box::new(|info| {
            let location = info
                .location()
                .map(|l| format!("{}:{}", l.file(), l.line()));
            PANIC_LOCATION.with(|slot| *slot.borrow_mut() = location);
        }));
    });
}

fn panic_text(payload: &(dyn Any + Send)) -> String {
    let message = if let Some(s) = payload.downcast_ref::<&str>() {
        (*s).to_string()
    } else if let Some(s) = payload.downcast_ref::<String>() {
        s.clone()
    } else {
        "unknown panic payload".to_string()
    };
    match PANIC_LOCATION.with(|slot| slot.borrow_mut().take()) {
        Some(location) => format!("solver panicked at {location}: {message}"),
        None => format!("solver panicked: {message}"),
    }
}

/// Runs `body` with panics caught: the return code and the text to report.
fn guarded<F: FnOnce() -> Result<String, Failure>>(body: F) -> (i32, String) {
    install_quiet_panic_hook();
    match panic::catch_unwind(AssertUnwindSafe(body)) {
        Ok(Ok(status)) => (TM_QP_RAN, status),
        Ok(Err(Failure::Setup(text))) => (TM_QP_SETUP_ERROR, text),
        Ok(Err(Failure::BadCall(text))) => (TM_QP_BAD_CALL, text),
        Err(payload) => (TM_QP_PANIC, panic_text(payload.as_ref())),
    }
}

/// Copies `text` as a NUL-terminated string, cut at a character boundary when
/// the buffer is too small.
///
/// # Safety
/// `out` must point to `cap` writable bytes, or `cap` must be 0.
unsafe fn write_text(text: &str, out: *mut c_char, cap: usize) {
    if out.is_null() || cap == 0 {
        return;
    }
    let mut len = text.len().min(cap - 1);
    while !text.is_char_boundary(len) {
        len -= 1;
    }
    std::ptr::copy_nonoverlapping(text.as_ptr(), out.cast::<u8>(), len);
    *out.add(len) = 0;
}

/// Minimises 1/2 x'Px + q'x subject to Ax + s = b, s in the nonnegative cone of
/// dimension `cone_dim`, with Clarabel's default settings except `max_iter`, the
/// gap and feasibility tolerances (all `tolerance`), silence and the linear
/// solver: QDLDL, or faer on one thread for a P of 400 assets or more.
///
/// Returns `TM_QP_RAN` with the status name in `text_out` and `x_out`,
/// `objective_out`, `iterations_out` filled; otherwise another code with the
/// reason in `text_out` and the numeric outputs untouched (unless a panic struck
/// while they were being written).
///
/// # Safety
/// Each pointer must point to as many values as its length argument says (a
/// length of 0 allows a null pointer); `objective_out` and `iterations_out` must
/// be writable; `text_out` must hold `text_cap` bytes.
#[no_mangle]
pub unsafe extern "C" fn tm_qp_solve(
    p: *const TmQpCsc,
    q: *const f64,
    q_len: usize,
    a: *const TmQpCsc,
    b: *const f64,
    b_len: usize,
    cone_dim: usize,
    max_iter: u32,
    tolerance: f64,
    x_out: *mut f64,
    x_len: usize,
    objective_out: *mut f64,
    iterations_out: *mut u32,
    text_out: *mut c_char,
    text_cap: usize,
) -> i32 {
    let (code, text) = guarded(|| {
        if p.is_null() || a.is_null() {
            return Err(Failure::BadCall("P or A is null".to_string()));
        }
        if objective_out.is_null() || iterations_out.is_null() {
            return Err(Failure::BadCall(
                "objective or iterations output is null".to_string(),
            ));
        }
        let p = to_matrix(&*p, "P")?;
        let a = to_matrix(&*a, "A")?;
        let q = borrowed(q, q_len, "q")?;
        let b = borrowed(b, b_len, "b")?;
        let cones = [SupportedConeT::NonnegativeConeT(cone_dim)];
        let mut settings = DefaultSettings {
            max_iter,
            tol_gap_abs: tolerance,
            tol_gap_rel: tolerance,
            tol_feas: tolerance,
            verbose: false,
            // Named, not "auto": with faer built in, "auto" would hand small
            // books to faer as well and pick by a flop count, not by where
            // faer was measured faster.
            direct_solve_method: "qdldl".to_string(),
            ..DefaultSettings::default()
        };
        if factors_with_faer(&p) {
            settings.direct_solve_method = "faer".to_string();
            // One thread runs faer's sequential code, never a rayon pool: split
            // across threads its sums would be ordered by the thread count, and
            // a batch already runs one book per thread of the worker pool.
            // Sequential, every sum has one order, so a book gives the same
            // bits from run to run, on any thread, whatever the pool size.
            settings.max_threads = 1;
        }
        let mut solver = DefaultSolver::new(&p, q, &a, b, &cones, settings)
            .map_err(|e| Failure::Setup(e.to_string()))?;
        // Checked after setup: only then is q's length known to be the variable count.
        if x_len != q.len() {
            return Err(Failure::BadCall(format!(
                "x holds {x_len} entries for {} variables",
                q.len()
            )));
        }
        if x_len > 0 && x_out.is_null() {
            return Err(Failure::BadCall("x is null".to_string()));
        }
        solver.solve();
        let solution = &solver.solution;
        if x_len > 0 {
            std::slice::from_raw_parts_mut(x_out, x_len).copy_from_slice(&solution.x);
        }
        *objective_out = solution.obj_val;
        *iterations_out = solver.info.iterations;
        Ok(format!("{:?}", solution.status))
    });
    write_text(&text, text_out, text_cap);
    code
}

#[cfg(test)]
mod tests {
    use super::*;
    use clarabel::algebra::BlockConcatenate;

    #[test]
    fn a_panic_becomes_text_with_its_message() {
        for (payload, want) in [("static message", "static message"), ("", "")] {
            let (code, text) = guarded(|| panic!("{}", payload));
            assert_eq!(code, TM_QP_PANIC);
            assert!(text.starts_with("solver panicked at "), "{text}");
            assert!(text.ends_with(&format!(": {want}")), "{text}");
        }
        let (code, text) = guarded(|| std::panic::panic_any(7_i32));
        assert_eq!(code, TM_QP_PANIC);
        assert!(text.ends_with("unknown panic payload"), "{text}");
    }

    #[test]
    fn failures_keep_their_kind() {
        let (code, text) = guarded(|| Err(Failure::Setup("s".into())));
        assert_eq!((code, text.as_str()), (TM_QP_SETUP_ERROR, "s"));
        let (code, text) = guarded(|| Err(Failure::BadCall("c".into())));
        assert_eq!((code, text.as_str()), (TM_QP_BAD_CALL, "c"));
    }

    /// Calls the entry point on x >= 0 (one variable, P = [1], q = [-1]) with
    /// the given outputs; returns the code and text.
    unsafe fn call(x: *mut f64, x_len: usize, objective: *mut f64, its: *mut u32) -> (i32, String) {
        let (colptr, rowval, nzval) = ([0usize, 1], [0usize], [1.0f64]);
        let m = TmQpCsc {
            nrows: 1,
            ncols: 1,
            colptr: colptr.as_ptr(),
            colptr_len: 2,
            rowval: rowval.as_ptr(),
            rowval_len: 1,
            nzval: nzval.as_ptr(),
            nzval_len: 1,
        };
        let (q, b, neg) = ([-1.0f64], [0.0f64], [-1.0f64]);
        let a = TmQpCsc {
            nzval: neg.as_ptr(),
            ..m
        };
        let mut text = [0 as c_char; 64];
        let code = tm_qp_solve(
            &m,
            q.as_ptr(),
            1,
            &a,
            b.as_ptr(),
            1,
            1,
            50,
            1e-8,
            x,
            x_len,
            objective,
            its,
            text.as_mut_ptr(),
            text.len(),
        );
        let text = std::ffi::CStr::from_ptr(text.as_ptr())
            .to_str()
            .unwrap()
            .to_string();
        (code, text)
    }

    #[test]
    fn outputs_are_written_only_by_a_well_formed_call() {
        let (mut x, mut objective, mut its) = ([7.0f64; 2], 7.0f64, 7u32);
        let cases: [(*mut f64, usize, bool, &str); 4] = [
            (x.as_mut_ptr(), 2, true, "x holds 2 entries for 1 variables"),
            (std::ptr::null_mut(), 1, true, "x is null"),
            (
                x.as_mut_ptr(),
                1,
                false,
                "objective or iterations output is null",
            ),
            (x.as_mut_ptr(), 1, true, "Solved"),
        ];
        for (xp, x_len, with_numbers, want) in cases {
            let (o, i) = if with_numbers {
                (&mut objective as *mut f64, &mut its as *mut u32)
            } else {
                (std::ptr::null_mut(), std::ptr::null_mut())
            };
            let (code, text) = unsafe { call(xp, x_len, o, i) };
            assert_eq!(text, want);
            if want == "Solved" {
                assert_eq!(code, TM_QP_RAN);
                // min x^2/2 - x over x >= 0: x = 1, objective -1/2.
                assert!((x[0] - 1.0).abs() < 1e-7 && (objective + 0.5).abs() < 1e-7);
                assert!(its > 0 && its != 7);
            } else {
                assert_eq!(code, TM_QP_BAD_CALL);
                assert_eq!((x[0], objective, its), (7.0, 7.0, 7));
            }
        }
        assert_eq!(x[1], 7.0);
    }

    /// min 1/2 x'Px + q'x over x >= 0, sum x <= 1, P dense with every
    /// entry nonzero; through the entry point, then directly with `method`.
    fn entry_point_and_direct(n: usize, method: &str) -> (Vec<f64>, Vec<f64>) {
        let (mut colptr, mut rowval, mut nzval) = (vec![0usize], vec![], vec![]);
        for j in 0..n {
            for i in 0..=j {
                rowval.push(i);
                nzval.push(
                    if i == j {
                        2.0
                    } else {
                        1.0 / (1.0 + (i * 7 + j * 3) as f64 % 11.0)
                    } / n as f64,
                );
            }
            colptr.push(rowval.len());
        }
        let p = CscMatrix {
            m: n,
            n,
            colptr,
            rowval,
            nzval,
        };
        let mut a = CscMatrix::<f64>::identity(n);
        a.nzval.iter_mut().for_each(|v| *v = -1.0);
        let a = CscMatrix::vcat(&a, &CscMatrix::from(&[vec![1.0; n]])).unwrap();
        let q: Vec<f64> = (0..n).map(|i| -((i * 37 % 101) as f64) / 101.0).collect();
        let mut b = vec![0.0; n + 1];
        b[n] = 1.0;
        let view = |m: &CscMatrix<f64>| TmQpCsc {
            nrows: m.m,
            ncols: m.n,
            colptr: m.colptr.as_ptr(),
            colptr_len: m.colptr.len(),
            rowval: m.rowval.as_ptr(),
            rowval_len: m.rowval.len(),
            nzval: m.nzval.as_ptr(),
            nzval_len: m.nzval.len(),
        };
        let (mut x, mut objective, mut its, mut text) =
            (vec![0.0; n], 0.0, 0u32, [0 as c_char; 64]);
        let code = unsafe {
            tm_qp_solve(
                &view(&p),
                q.as_ptr(),
                n,
                &view(&a),
                b.as_ptr(),
                n + 1,
                n + 1,
                50,
                1e-8,
                x.as_mut_ptr(),
                n,
                &mut objective,
                &mut its,
                text.as_mut_ptr(),
                text.len(),
            )
        };
        assert_eq!(code, TM_QP_RAN);
        let settings = DefaultSettings {
            max_iter: 50,
            tol_gap_abs: 1e-8,
            tol_gap_rel: 1e-8,
            tol_feas: 1e-8,
            verbose: false,
            direct_solve_method: method.to_string(),
            max_threads: 1,
            ..DefaultSettings::default()
        };
        let cones = [SupportedConeT::NonnegativeConeT(n + 1)];
        let mut direct = DefaultSolver::new(&p, &q, &a, &b, &cones, settings).unwrap();
        direct.solve();
        assert_eq!(format!("{:?}", direct.solution.status), "Solved");
        (x, direct.solution.x.clone())
    }

    #[test]
    fn books_from_the_threshold_up_are_factored_with_faer() {
        for (n, method, other) in [
            (FAER_FROM_ASSETS - 1, "qdldl", "faer"),
            (FAER_FROM_ASSETS, "faer", "qdldl"),
        ] {
            let (x, same) = entry_point_and_direct(n, method);
            let (_, different) = entry_point_and_direct(n, other);
            // The two factorisations meet at the same optimum by different roundings.
            assert_ne!(
                same, different,
                "{n} assets: the solvers cannot be told apart"
            );
            assert!(
                x.iter().zip(&different).all(|(u, v)| (u - v).abs() < 1e-7),
                "{n} assets"
            );
            assert!(x == same, "{n} assets: not the bits of {method}");
        }
    }

    #[test]
    fn text_is_cut_at_a_character_boundary() {
        // "é" is two bytes: a 3-byte buffer holds "a", not half of "é".
        for (cap, want) in [(1usize, ""), (2, "a"), (3, "a"), (4, "aé"), (16, "aéb")] {
            let mut buf = [0x7f as c_char; 16];
            unsafe { write_text("aéb", buf.as_mut_ptr(), cap) };
            let got = unsafe { std::ffi::CStr::from_ptr(buf.as_ptr()) };
            assert_eq!(got.to_str().unwrap(), want, "cap {cap}");
        }
    }
}
