#include "storage/bounds.hpp"

#include <string>

#include "storage/host.hpp"

namespace quorvex {

void index_out_of_bounds(std::size_t len, std::size_t index) {
    storage_fault("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
                  std::to_string(index));
}

}  // namespace quorvex
