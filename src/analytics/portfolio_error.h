// The one error type of the portfolio analytics. Every analytics operation
// returns its result or one of these values; the Python boundary raises it as
// ValueError with `message()` as the text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/errors.h"

namespace tidemark {

struct PortfolioError {
    enum class Kind : uint8_t {
        NonFinite,
        ShapeMismatch,
        AssetIdsMismatch,
        ZeroVariance,
        NotPositiveDefinite,
        Infeasible,
        SolverFailed,
        TooSmall,
        Degenerate,
    };

    Kind kind = Kind::Degenerate;
    // NonFinite: row and column. ZeroVariance: the asset index in `a`.
    // TooSmall: the count in `a` and the minimum in `b`.
    std::size_t a = 0;
    std::size_t b = 0;
    // The free text of the kinds that carry one.
    std::string detail;

    static PortfolioError non_finite(std::size_t row, std::size_t col) { return {Kind::NonFinite, row, col, {}}; }
    static PortfolioError shape_mismatch(std::string d) { return {Kind::ShapeMismatch, 0, 0, std::move(d)}; }
    static PortfolioError asset_ids_mismatch(std::string d) { return {Kind::AssetIdsMismatch, 0, 0, std::move(d)}; }
    static PortfolioError zero_variance(std::size_t index) { return {Kind::ZeroVariance, index, 0, {}}; }
    static PortfolioError not_positive_definite(std::string d) {
        return {Kind::NotPositiveDefinite, 0, 0, std::move(d)};
    }
    static PortfolioError infeasible(std::string d) { return {Kind::Infeasible, 0, 0, std::move(d)}; }
    static PortfolioError solver_failed(std::string d) { return {Kind::SolverFailed, 0, 0, std::move(d)}; }
    static PortfolioError too_small(std::size_t n, std::size_t min) { return {Kind::TooSmall, n, min, {}}; }
    static PortfolioError degenerate(std::string d) { return {Kind::Degenerate, 0, 0, std::move(d)}; }

    // "non-finite value at row 3, col 1", "degenerate input: empty panel", ...
    std::string message() const;

    // The "expected {T}x{N}={T*N} values, got {len}" shape error shared by
    // every function that takes a flat row-major matrix.
    static PortfolioError element_count(std::size_t rows, std::size_t cols, std::size_t got);
};

template <class T>
using PortfolioOutcome = Outcome<T, PortfolioError>;

}  // namespace tidemark
