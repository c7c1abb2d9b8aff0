#include "lib/bounds.hpp"

#include <string>

#include "binding/panic.hpp"

namespace quorvex {

void index_out_of_bounds(std::size_t len, std::size_t index) {
    panic("index out of bounds: the len is " + std::to_string(len) + " but the index is " + std::to_string(index));
}

}  // namespace quorvex
