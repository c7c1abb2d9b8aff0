// The fault raised by bounds-checked indexing.
//
// Kept out of line so that the checked accessors inline to a compare and a
// rarely taken call, and so every container reports the same text.
#pragma once

#include <cstddef>

namespace quorvex {

// Faults with "index out of bounds: the len is LEN but the index is INDEX".
[[noreturn, gnu::cold]] void index_out_of_bounds(std::size_t len, std::size_t index);

}  // namespace quorvex
