// Storage for long numeric series (bar columns, signal arrays, equity
// curves). A million-bar column is megabytes of fresh memory on every run;
// taking it in 2 MiB-aligned blocks advised for transparent huge pages makes
// the kernel supply it with a few hundred page faults instead of hundreds of
// thousands, which is most of what a copy into fresh memory costs.
#pragma once

#include <cstddef>
#include <new>
#include <vector>

namespace tidemark {

inline constexpr std::size_t kBulkThreshold = std::size_t{2} << 20;

// Returns memory for `bytes` (at least kBulkThreshold), or throws bad_alloc.
void* bulk_allocate(std::size_t bytes);
void bulk_free(void* p) noexcept;

template <class T>
struct BulkAllocator {
    using value_type = T;

    BulkAllocator() noexcept = default;
    template <class U>
    BulkAllocator(const BulkAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
        const std::size_t bytes = n * sizeof(T);
        if (bytes >= kBulkThreshold) return static_cast<T*>(bulk_allocate(bytes));
        return static_cast<T*>(::operator new(bytes));
    }
    void deallocate(T* p, std::size_t n) noexcept {
        if (n * sizeof(T) >= kBulkThreshold) {
            bulk_free(p);
        } else {
            ::operator delete(p);
        }
    }
    friend bool operator==(const BulkAllocator&, const BulkAllocator&) noexcept { return true; }
};

// A numeric series: a vector whose long instances live in bulk storage.
template <class T>
using Series = std::vector<T, BulkAllocator<T>>;

}  // namespace tidemark
