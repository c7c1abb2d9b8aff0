// The storage layer's host for test programs: memory from malloc, and a fault
// that prints its message to stdout and exits with status 3, so a driver can
// assert on both.
#include <cstdio>
#include <cstdlib>

#include "storage/host.hpp"

namespace quorvex {

void* host_allocate(std::size_t bytes) noexcept {
    return std::malloc(bytes);
}

void* host_reallocate(void* block, std::size_t bytes) noexcept {
    return std::realloc(block, bytes);
}

void host_free(void* block) noexcept {
    std::free(block);
}

void storage_fault(std::string message, std::source_location) {
    std::printf("%s\n", message.c_str());
    std::fflush(stdout);
    std::exit(3);
}

}  // namespace quorvex
