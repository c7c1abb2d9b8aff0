// The storage layer's host: raw memory from the interpreter's raw domain, so
// that tracemalloc sees every table and array, and storage faults raised as
// panics, which the call frame turns into PanicException.
#include "binding/panic.hpp"
#include "binding/python.hpp"
#include "storage/host.hpp"

namespace quorvex {

void* host_allocate(std::size_t bytes) noexcept {
    return PyMem_RawMalloc(bytes);
}

void* host_reallocate(void* block, std::size_t bytes) noexcept {
    return PyMem_RawRealloc(block, bytes);
}

void host_free(void* block) noexcept {
    PyMem_RawFree(block);
}

void storage_fault(std::string message, std::source_location where) {
    panic(std::move(message), where);
}

}  // namespace quorvex
