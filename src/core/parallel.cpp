#include "core/parallel.h"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

namespace tidemark {

std::size_t pool_thread_count() {
    const int n = tbb::this_task_arena::max_concurrency();
    return n > 0 ? static_cast<std::size_t>(n) : 1;
}

namespace detail {

void pool_for_each_index(std::size_t n, void (*body)(void*, std::size_t) noexcept, void* ctx) {
    if (n == 0) return;
    // Grain 1: an item is a whole run, far heavier than a task, and items of
    // very different sizes are balanced by stealing.
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, 1), [=](const tbb::blocked_range<std::size_t>& r) {
        for (std::size_t i = r.begin(); i != r.end(); ++i) body(ctx, i);
    });
}

}  // namespace detail

}  // namespace tidemark
