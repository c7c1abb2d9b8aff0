// What the storage layer needs from the program it runs in.
//
// Storage knows nothing of the interpreter. The program that links it
// supplies raw memory (so that the program's own tools see every block the
// storage holds) and the way a broken invariant or an impossible request
// abandons the current computation. The class layer implements both.
#pragma once

#include <cstddef>
#include <source_location>
#include <string>

namespace quorvex {

// A block of at least `bytes` bytes aligned like malloc, or nullptr.
void* host_allocate(std::size_t bytes) noexcept;

// Resizes a block from host_allocate (or nullptr) keeping its leading bytes;
// nullptr on failure, the block then stays as it was.
void* host_reallocate(void* block, std::size_t bytes) noexcept;

// Frees a block from host_allocate/host_reallocate; nullptr is ignored.
void host_free(void* block) noexcept;

// Abandons the current computation with `message`. Everything the storage
// holds is released by destructors on the way out.
[[noreturn]] void storage_fault(std::string message, std::source_location where = std::source_location::current());

}  // namespace quorvex
