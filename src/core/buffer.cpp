#include "core/buffer.h"

#include <sys/mman.h>

#include <cstdlib>

namespace tidemark {

void* bulk_allocate(std::size_t bytes) {
    const std::size_t rounded = (bytes + kBulkThreshold - 1) / kBulkThreshold * kBulkThreshold;
    void* p = std::aligned_alloc(kBulkThreshold, rounded);
    if (!p) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    // Advice only: where huge pages are off this changes nothing.
    (void)madvise(p, rounded, MADV_HUGEPAGE);
#endif
    return p;
}

void bulk_free(void* p) noexcept { std::free(p); }

}  // namespace tidemark
