// Storage for long numeric series (bar columns, signal arrays, equity
// curves). A million-bar column is megabytes; taken fresh from the operating
// system on every run, each of its pages is faulted in and zeroed again, which
// costs as much as the run's own work. So series storage is kept: a block
// freed by one series waits in a small cache and is handed to the next series
// of the same size class, already mapped. Blocks of 2 MiB and more are
// 2 MiB-aligned and advised for transparent huge pages, so even a first use
// takes a few hundred faults instead of hundreds of thousands.
#pragma once

#include <cstddef>
#include <iterator>
#include <new>
#include <utility>
#include <vector>

namespace tidemark {

inline constexpr std::size_t kBulkThreshold = std::size_t{2} << 20;
// Below this a series is an ordinary heap allocation, which the C allocator
// already recycles without page faults.
inline constexpr std::size_t kReuseThreshold = std::size_t{64} << 10;

// The bytes a series block of `bytes` really spans: multiples of 64 KiB below
// kBulkThreshold, of kBulkThreshold above. Blocks are reused within a class.
std::size_t series_block_class(std::size_t bytes) noexcept;

// Memory for `bytes` (at least kReuseThreshold), or throws bad_alloc. The
// same `bytes` must be given back to series_free.
void* series_allocate(std::size_t bytes);
void series_free(void* p, std::size_t bytes) noexcept;

// What the cache holds now, for tests and diagnostics.
struct SeriesCacheStats {
    std::size_t blocks = 0;
    std::size_t bytes = 0;
};
SeriesCacheStats series_cache_stats() noexcept;
// Returns every cached block to the system.
void series_cache_release() noexcept;

// Blocks of at least this many bytes are copied around the caches.
inline constexpr std::size_t kStreamCopyThreshold = std::size_t{4} << 20;

// Copies `bytes` from `src` to `dst`, which must not overlap, as memcpy
// does. A block of kStreamCopyThreshold bytes or more (a column of half a
// million bars) is written straight to memory: a run's columns together
// outgrow the cache, and written through it every line of the destination is
// first read in, which costs as much as the copy itself. The run then fetches
// the lines back as it reaches them.
void copy_block(void* dst, const void* src, std::size_t bytes) noexcept;

// The value of an element appended by append_uninitialized: it constructs
// nothing. (Assigned to an element, which appending never does, it is a
// zero.)
struct Uninitialized {
    template <class T>
    operator T() const {
        return T();
    }
};

template <class T>
struct BulkAllocator {
    using value_type = T;

    BulkAllocator() noexcept = default;
    template <class U>
    BulkAllocator(const BulkAllocator<U>&) noexcept {}

    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
    // Default-initialised: a number is left as the memory held it.
    template <class U>
    void construct(U* p, Uninitialized) noexcept {
        ::new (static_cast<void*>(p)) U;
    }

    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
        const std::size_t bytes = n * sizeof(T);
        if (bytes >= kReuseThreshold) return static_cast<T*>(series_allocate(bytes));
        return static_cast<T*>(::operator new(bytes));
    }
    void deallocate(T* p, std::size_t n) noexcept {
        const std::size_t bytes = n * sizeof(T);
        if (bytes >= kReuseThreshold) {
            series_free(p, bytes);
        } else {
            ::operator delete(p);
        }
    }
    friend bool operator==(const BulkAllocator&, const BulkAllocator&) noexcept { return true; }
};

// A numeric series: a vector whose long instances live in reusable storage.
template <class T>
using Series = std::vector<T, BulkAllocator<T>>;

// Grows `s` by `k` elements that are left uninitialised, for a caller that
// writes them at once (a copy, a stream of results): writing them twice, or
// one at a time through the vector, costs more than the writing itself.
// Returns the first of them. Always inlined: a run appends to its curves at
// every stretch of bars, and the call cost more than the growing itself.
template <class T>
[[gnu::always_inline]] inline T* append_uninitialized(std::vector<T, BulkAllocator<T>>& s, std::size_t k) {
    // `k` copies of an Uninitialized, as a range the vector can measure.
    struct Blanks {
        using iterator_category [[maybe_unused]] = std::forward_iterator_tag;
        using value_type [[maybe_unused]] = Uninitialized;
        using difference_type [[maybe_unused]] = std::ptrdiff_t;
        using pointer [[maybe_unused]] = const Uninitialized*;
        using reference = const Uninitialized&;
        std::size_t at;
        reference operator*() const {
            static constexpr Uninitialized blank{};
            return blank;
        }
        Blanks& operator++() {
            ++at;
            return *this;
        }
        Blanks operator++(int) { return Blanks{at++}; }
        bool operator==(const Blanks& o) const { return at == o.at; }
    };
    s.insert(s.end(), Blanks{0}, Blanks{k});
    return s.data() + (s.size() - k);
}

}  // namespace tidemark
