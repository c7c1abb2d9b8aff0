#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "lib/raw_memory.hpp"

#include <cstdio>
#include <cstdlib>

namespace quorvex {

namespace {

// Out of line and cold: the allocation fast path stays a call plus a test.
[[noreturn, gnu::cold, gnu::noinline]] void allocation_failed(std::size_t bytes) {
    std::fprintf(stderr, "memory allocation of %zu bytes failed\n", bytes);
    std::abort();
}

}  // namespace

void* raw_allocate(std::size_t bytes) {
    void* block = PyMem_RawMalloc(bytes);
    if (block == nullptr) [[unlikely]] {
        allocation_failed(bytes);
    }
    return block;
}

void* raw_reallocate(void* block, std::size_t bytes) {
    void* moved = PyMem_RawRealloc(block, bytes);
    if (moved == nullptr) [[unlikely]] {
        allocation_failed(bytes);
    }
    return moved;
}

void raw_free(void* block) noexcept { PyMem_RawFree(block); }

}  // namespace quorvex
