// Raw allocation for the storage layer.
//
// Every block the storage layer owns comes from the host's raw allocator
// (storage/host.hpp), so the program's memory tools see all of it.
//
// Blocks of 4 MiB and more (value arrays and tables of about half a million
// keys) are advised to use transparent huge pages; see raw_memory.cpp.
//
// Running out of memory throws std::bad_alloc, which unwinds through the
// storage's owners (each block has one from the moment it exists) to the call
// frame, which raises MemoryError: the call fails, and everything it had
// taken is released on the way. Callers need no null checks.
#pragma once

#include <cstddef>
#include <memory>

namespace quorvex {

// Returns a block of at least `bytes` bytes, aligned like malloc.
void* raw_allocate(std::size_t bytes);

// Resizes a block from raw_allocate (or nullptr) keeping its leading bytes.
void* raw_reallocate(void* block, std::size_t bytes);

// Frees a block from raw_allocate/raw_reallocate; nullptr is ignored.
void raw_free(void* block) noexcept;

struct RawDeleter {
    void operator()(void* block) const noexcept { raw_free(block); }
};

// Owner of a raw block viewed as an array of T (T is a trivial type; nothing
// is constructed or destroyed, only the memory is released).
template <class T>
using RawArray = std::unique_ptr<T[], RawDeleter>;

}  // namespace quorvex
