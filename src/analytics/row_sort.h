// Ordering one cross-section of finite values. Panels of thousands of assets
// over thousands of dates sort millions of values per call, so the scratch
// lives in the sorter and is reused from row to row, and long rows are sorted
// by radix on the order-preserving bit pattern of the doubles instead of by
// comparisons, whose mispredicted branches dominate at that size.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace tidemark {

class RowSorter {
public:
    // Positions of `v` ordered by ascending value; with `skip_nan` the NaN
    // entries are left out, otherwise there must be none. Equal values may
    // come in any order.
    const std::vector<std::size_t>& order(std::span<const double> v, bool skip_nan = false);

    // Takes the values to select from, the NaN entries left out with
    // `skip_nan` (otherwise there must be none); returns how many were taken.
    std::size_t load(std::span<const double> v, bool skip_nan = false);
    // The k_lo-th and k_hi-th smallest of the values taken by the last load
    // (0-based, k_lo <= k_hi < their count), which it uses up. The two share
    // the selection passes as long as they fall in the same part.
    std::pair<double, double> select_pair(std::size_t k_lo, std::size_t k_hi);

private:
    // Orders the positions already in `order_`.
    void small_sort(std::span<const double> v);
    // The k-th smallest of the n keys at p, whose bits above shift + 8 are
    // all the same.
    uint64_t select_key(uint64_t* p, std::size_t n, std::size_t k, int shift);
    // The byte of each key at `shift` counted into hist_[0, 256).
    void count_bytes(const uint64_t* p, std::size_t n, int shift);

    std::vector<std::size_t> order_;
    std::vector<uint64_t> words_;
    std::vector<uint64_t> spare_;
    std::vector<std::pair<double, std::size_t>> pairs_;
    std::size_t loaded_ = 0;
    std::array<uint32_t, 3 * 2048> hist_{};
};

// Gives each value the mean of the 0-based positions its run of equal values
// takes in `order` (ascending, as RowSorter::order gives it), (first + last)
// / 2, divided by `divisor`, written to out[order[q]]. `out` may be `values`
// itself: each run is found before any of it is overwritten, and later runs
// are never written early. Inline so that a divisor of 1 costs nothing.
inline void write_average_ranks(const double* values, std::span<const std::size_t> order, double* out,
                                double divisor = 1.0) {
    const std::size_t m = order.size();
    for (std::size_t first = 0; first < m;) {
        const double v = values[order[first]];
        std::size_t last = first;
        while (last + 1 < m && values[order[last + 1]] == v) ++last;
        const double r = (static_cast<double>(first + last) / 2.0) / divisor;
        for (std::size_t q = first; q <= last; ++q) out[order[q]] = r;
        first = last + 1;
    }
}

}  // namespace tidemark
