#include "core/buffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "core/numeric.h"

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#if defined(__has_include)
#if __has_include(<sanitizer/asan_interface.h>)
#include <sanitizer/asan_interface.h>
#endif
#endif
#ifndef ASAN_POISON_MEMORY_REGION
#define ASAN_POISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#endif

namespace tidemark {

namespace {

constexpr std::size_t kSmallStep = kReuseThreshold;
// Enough for the columns, signals and curves of several runs in flight; a
// count bound keeps the lookup a short scan.
constexpr std::size_t kMaxCachedBlocks = 256;
// A block nobody asked for in this long goes back to the system at the next
// allocation or free: a process that stops running backtests gives its
// memory back, one that runs them back to back keeps it mapped.
constexpr std::chrono::seconds kIdleLife{10};
using Clock = std::chrono::steady_clock;

void* system_allocate(std::size_t block) {
    if (block < kBulkThreshold) {
        void* p = std::malloc(block);
        if (!p) throw std::bad_alloc();
        return p;
    }
    void* p = std::aligned_alloc(kBulkThreshold, block);
    if (!p) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    // Advice only: where huge pages are off this changes nothing.
    (void)madvise(p, block, MADV_HUGEPAGE);
#endif
    return p;
}

// The bytes the cache may keep: an eighth of the machine's memory, enough for
// the storage of a ten-million-bar run on an ordinary machine; the oldest
// blocks make way when it is full.
std::size_t cache_limit() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page <= 0) return std::size_t{256} << 20;
    return static_cast<std::size_t>(pages) / 8 * static_cast<std::size_t>(page);
}

class BlockCache {
public:
    BlockCache() { blocks_.reserve(kMaxCachedBlocks); }

    void* take(std::size_t block) {
        {
            std::lock_guard lock(mutex_);
            drop_idle(Clock::now());
            // The most recently freed block of the class: the likeliest to be
            // still in the processor's caches.
            for (std::size_t i = blocks_.size(); i-- > 0;) {
                if (blocks_[i].bytes != block) continue;
                void* p = blocks_[i].p;
                blocks_.erase(blocks_.begin() + static_cast<std::ptrdiff_t>(i));
                held_ -= block;
                ASAN_UNPOISON_MEMORY_REGION(p, block);
                return p;
            }
        }
        return system_allocate(block);
    }

    void give(void* p, std::size_t block) noexcept {
        if (block > limit_) {
            std::free(p);
            return;
        }
        std::lock_guard lock(mutex_);
        const Clock::time_point now = Clock::now();
        drop_idle(now);
        // The oldest blocks go first: a size no longer in use ages out.
        std::size_t k = 0;
        while (k < blocks_.size() && (held_ + block > limit_ || blocks_.size() - k >= kMaxCachedBlocks)) {
            held_ -= blocks_[k].bytes;
            release(blocks_[k]);
            ++k;
        }
        blocks_.erase(blocks_.begin(), blocks_.begin() + static_cast<std::ptrdiff_t>(k));
        ASAN_POISON_MEMORY_REGION(p, block);
        blocks_.push_back({p, block, now});  // within the reserved capacity: cannot throw
        held_ += block;
    }

    SeriesCacheStats stats() noexcept {
        std::lock_guard lock(mutex_);
        return {blocks_.size(), held_};
    }

    void release_all() noexcept {
        std::lock_guard lock(mutex_);
        for (const Entry& e : blocks_) release(e);
        blocks_.clear();  // keeps the reserved capacity
        held_ = 0;
    }

private:
    struct Entry {
        void* p;
        std::size_t bytes;
        Clock::time_point freed;
    };
    // Entries are in the order they were freed, so the idle ones lead.
    void drop_idle(Clock::time_point now) noexcept {
        std::size_t k = 0;
        while (k < blocks_.size() && now - blocks_[k].freed > kIdleLife) {
            held_ -= blocks_[k].bytes;
            release(blocks_[k]);
            ++k;
        }
        blocks_.erase(blocks_.begin(), blocks_.begin() + static_cast<std::ptrdiff_t>(k));
    }
    static void release(const Entry& e) noexcept {
        ASAN_UNPOISON_MEMORY_REGION(e.p, e.bytes);
        std::free(e.p);
    }

    std::mutex mutex_;
    std::vector<Entry> blocks_;  // oldest first
    std::size_t held_ = 0;
    const std::size_t limit_ = cache_limit();
};

// Never destroyed: arrays handed to NumPy may be freed during interpreter
// shutdown, after this library's static destructors have run.
BlockCache& cache() {
    static BlockCache* c = new BlockCache;
    return *c;
}

}  // namespace

std::size_t series_block_class(std::size_t bytes) noexcept {
    const std::size_t step = bytes < kBulkThreshold ? kSmallStep : kBulkThreshold;
    const std::size_t rounded = (bytes + step - 1) / step * step;
    return rounded < bytes ? bytes : rounded;  // overflow: the request fails below
}

void* series_allocate(std::size_t bytes) {
    const std::size_t block = series_block_class(bytes);
    if (block % kSmallStep != 0) throw std::bad_alloc();
    return cache().take(block);
}

void series_free(void* p, std::size_t bytes) noexcept {
    if (!p) return;
    cache().give(p, series_block_class(bytes));
}

SeriesCacheStats series_cache_stats() noexcept { return cache().stats(); }

void series_cache_release() noexcept { cache().release_all(); }

namespace {

#if defined(__SSE2__)
// Whole lines of 64 bytes from `s` to the line-aligned `d`, streamed to
// memory: four stores a line.
void stream_lines(unsigned char* d, const unsigned char* s, std::size_t lines) {
    for (; lines > 0; --lines, d += 64, s += 64) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 16));
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 32));
        const __m128i e = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 48));
        _mm_stream_si128(reinterpret_cast<__m128i*>(d), a);
        _mm_stream_si128(reinterpret_cast<__m128i*>(d + 16), b);
        _mm_stream_si128(reinterpret_cast<__m128i*>(d + 32), c);
        _mm_stream_si128(reinterpret_cast<__m128i*>(d + 48), e);
    }
}
#endif

#if defined(__GNUC__) && defined(__x86_64__) && TIDEMARK_CLONE_AVX512F
#define TIDEMARK_WIDE_STREAM 1
// The same, one store a line, where the processor has 64-byte vectors.
__attribute__((target("avx512f"))) void stream_lines_wide(unsigned char* d, const unsigned char* s,
                                                          std::size_t lines) {
    for (; lines > 0; --lines, d += 64, s += 64)
        _mm512_stream_si512(reinterpret_cast<__m512i*>(d), _mm512_loadu_si512(s));
}
#endif

}  // namespace

void copy_block(void* dst, const void* src, std::size_t bytes) noexcept {
    auto* d = static_cast<unsigned char*>(dst);
    const auto* s = static_cast<const unsigned char*>(src);
#if defined(__SSE2__)
    if (bytes >= kStreamCopyThreshold) {
        // The bytes before the first whole line of the destination go the
        // ordinary way, as does the tail after the last.
        const std::size_t head = (64 - reinterpret_cast<std::uintptr_t>(d) % 64) % 64;
        std::memcpy(d, s, head);
        d += head;
        s += head;
        bytes -= head;
        const std::size_t lines = bytes / 64;
#ifdef TIDEMARK_WIDE_STREAM
        if (__builtin_cpu_supports("avx512f")) {
            stream_lines_wide(d, s, lines);
        } else {
            stream_lines(d, s, lines);
        }
#else
        stream_lines(d, s, lines);
#endif
        // The streamed lines are ordered before anything written after.
        _mm_sfence();
        d += lines * 64;
        s += lines * 64;
        bytes %= 64;
    }
#endif
    std::memcpy(d, s, bytes);
}

}  // namespace tidemark
