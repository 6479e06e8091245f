// The worker pool behind the batch entries: an ordered parallel map over items
// the caller owns. Results land in one pre-sized slot per item, so their order
// is the item order whatever the scheduling, and a failure inside a worker is
// carried back to the calling thread instead of escaping the pool.
#pragma once

#include <atomic>
#include <cstddef>
#include <exception>
#include <functional>
#include <limits>
#include <mutex>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

namespace tidemark {

// Threads the pool runs work on (the calling thread included), at least 1.
// Work split into one chunk per thread uses this as its chunk count.
std::size_t pool_thread_count();

namespace detail {
// Calls body(ctx, i) once for every i in [0, n) on the pool and returns when
// every call has returned. `body` must not throw.
void pool_for_each_index(std::size_t n, void (*body)(void*, std::size_t) noexcept, void* ctx);
}  // namespace detail

// out[i] = f(items[i]), computed on the pool. The items are the caller's and
// stay alive for the whole call; `f` may run on any thread, many calls at
// once, so it must touch nothing but its own item and shared read-only data.
//
// If calls throw, the exception of the lowest failing index is rethrown here,
// on the calling thread, after every started call has returned; items after a
// failed one may be skipped. Reporting the lowest index (not the first one to
// happen) keeps the error the same from run to run.
template <class T, class F>
auto parallel_map(std::span<T> items, F&& f) -> std::vector<std::invoke_result_t<F&, T&>> {
    using R = std::invoke_result_t<F&, T&>;
    static_assert(std::is_default_constructible_v<R> && std::is_move_assignable_v<R>,
                  "results are written into pre-sized slots");
    constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

    struct Context {
        std::span<T> items;
        std::remove_reference_t<F>* fn = nullptr;
        std::vector<R>* out = nullptr;
        std::atomic<std::size_t> failed_at{kNone};
        std::mutex error_lock;
        std::exception_ptr error;
    };

    std::vector<R> out(items.size());
    Context ctx;
    ctx.items = items;
    ctx.fn = &f;
    ctx.out = &out;
    auto body = [](void* raw, std::size_t i) noexcept {
        auto& c = *static_cast<Context*>(raw);
        if (i > c.failed_at.load(std::memory_order_relaxed)) return;
        try {
            (*c.out)[i] = std::invoke(*c.fn, c.items[i]);
        } catch (...) {
            std::lock_guard<std::mutex> g(c.error_lock);
            if (i < c.failed_at.load(std::memory_order_relaxed)) {
                c.error = std::current_exception();
                c.failed_at.store(i, std::memory_order_relaxed);
            }
        }
    };
    detail::pool_for_each_index(items.size(), body, &ctx);
    if (ctx.error) std::rethrow_exception(ctx.error);
    return out;
}

template <class T, class A, class F>
auto parallel_map(std::vector<T, A>& items, F&& f) {
    return parallel_map(std::span<T>(items), std::forward<F>(f));
}

}  // namespace tidemark
