#include "storage/raw_memory.hpp"

#include <sys/mman.h>

#include <cstdint>
#include <new>

#include "storage/host.hpp"

namespace quorvex {

namespace {

// Out of line and cold: the allocation fast path stays a call plus a test.
[[noreturn, gnu::cold, gnu::noinline]] void allocation_failed() {
    throw std::bad_alloc();
}

// Blocks this large are value arrays and tables of about half a million keys
// or more. Lookups jump around them at random, so with 4 KiB pages nearly
// every probe misses the TLB as well as the cache; huge pages also cut the
// page faults of a fresh block 512-fold. The advice is a hint: it is ignored
// where transparent huge pages are off, and only the 2 MiB-aligned part of
// the block can use them.
constexpr std::size_t huge_page_threshold = std::size_t{4} << 20;

void advise_huge_pages(void* block, std::size_t bytes) noexcept {
#ifdef MADV_HUGEPAGE
    if (bytes < huge_page_threshold) {
        return;
    }
    constexpr std::uintptr_t page = 4096;
    const auto start = reinterpret_cast<std::uintptr_t>(block);
    const std::size_t head = (page - start % page) % page;
    const std::size_t length = (bytes - head) & ~(page - 1);
    (void)madvise(static_cast<unsigned char*>(block) + head, length, MADV_HUGEPAGE);
#else
    (void)block;
    (void)bytes;
#endif
}

}  // namespace

void* raw_allocate(std::size_t bytes) {
    void* block = host_allocate(bytes);
    if (block == nullptr) [[unlikely]] {
        allocation_failed();
    }
    advise_huge_pages(block, bytes);
    return block;
}

void* raw_reallocate(void* block, std::size_t bytes) {
    void* moved = host_reallocate(block, bytes);
    if (moved == nullptr) [[unlikely]] {
        allocation_failed();
    }
    advise_huge_pages(moved, bytes);
    return moved;
}

void raw_free(void* block) noexcept {
    host_free(block);
}

}  // namespace quorvex
