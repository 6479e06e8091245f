// A sum of doubles rounded once, at the end, from the exact sum: its value
// depends on the set of terms alone, not on the order they come in. An
// account that adds up the positions of several instruments uses it so that
// no figure, and no decision taken on one, depends on the order in which the
// instruments were registered.
#pragma once

#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

namespace tidemark {

class ExactSum {
public:
    void add(double x) {
        if (!std::isfinite(x)) {
            special_ += x;  // inf, -inf and NaN combine alike in any order
            nonfinite_ = true;
            return;
        }
        // The exact sum is kept as partials of increasing magnitude whose
        // significant bits do not overlap; adding a term carries its error
        // terms up through them.
        std::size_t i = 0;
        for (std::size_t j = 0; j < n_; ++j) {
            double y = at(j);
            if (std::fabs(x) < std::fabs(y)) std::swap(x, y);
            const double hi = x + y;
            const double lo = y - (hi - x);
            if (lo != 0.0) at(i++) = lo;
            x = hi;
        }
        n_ = i;
        if (x == 0.0) return;
        if (!std::isfinite(x)) {
            // Finite terms whose sum overflows: the sum is that infinity.
            special_ += x;
            nonfinite_ = true;
            return;
        }
        push(x);
    }

    // The exact sum rounded to nearest, ties to even; +0 for no terms or
    // terms that cancel.
    double value() const {
        if (nonfinite_) return special_;
        if (n_ == 0) return 0.0;
        std::size_t k = n_ - 1;
        double hi = at(k);
        double lo = 0.0;
        while (k > 0) {
            const double x = hi;
            const double y = at(--k);
            hi = x + y;
            lo = y - (hi - x);
            if (lo != 0.0) break;
        }
        // The partials below the one that stopped the loop can tip a tie
        // of `hi` and `lo`: round half-way cases by them.
        if (k > 0 && ((lo < 0.0 && at(k - 1) < 0.0) || (lo > 0.0 && at(k - 1) > 0.0))) {
            const double y = lo * 2.0;
            const double x = hi + y;
            if (y == x - hi) hi = x;
        }
        return hi;
    }

private:
    // Most sums need a few partials; a long run of terms of far apart
    // magnitudes spills to the heap.
    static constexpr std::size_t kInline = 16;

    double& at(std::size_t i) { return i < kInline ? inline_[i] : spill_[i - kInline]; }
    double at(std::size_t i) const { return i < kInline ? inline_[i] : spill_[i - kInline]; }
    void push(double x) {
        if (n_ >= kInline && spill_.size() <= n_ - kInline) spill_.push_back(0.0);
        at(n_++) = x;
    }

    double inline_[kInline];
    std::vector<double> spill_;
    std::size_t n_ = 0;
    double special_ = 0.0;
    bool nonfinite_ = false;
};

// Terms that come grouped by owner (the positions of one instrument after
// another): each owner's terms are added in their own order, as the owner
// itself adds them, and the owners' subtotals exactly. So the result does not
// depend on the order of the owners, and an owner alone gets the bits of its
// own sum.
class GroupedSum {
public:
    void add(std::size_t owner, double x) {
        if (any_ && owner != owner_) {
            total_.add(run_);
            run_ = 0.0;
        }
        owner_ = owner;
        any_ = true;
        run_ += x;
    }
    double value() const {
        if (!any_) return 0.0;
        ExactSum t = total_;
        t.add(run_);
        return t.value();
    }

private:
    ExactSum total_;
    double run_ = 0.0;
    std::size_t owner_ = 0;
    bool any_ = false;
};

}  // namespace tidemark
