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

    // The k-th smallest value (0-based, k < v.size()); no value may be NaN.
    double select(std::span<const double> v, std::size_t k);

private:
    // Orders the positions already in `order_`.
    void small_sort(std::span<const double> v);

    std::vector<std::size_t> order_;
    std::vector<uint64_t> words_;
    std::vector<uint64_t> spare_;
    std::vector<std::pair<double, std::size_t>> pairs_;
    std::array<uint32_t, 3 * 2048> hist_{};
};

}  // namespace tidemark
