// Seeds for the hash tables.
//
// Each thread keeps its own current seed, drawn from getrandom() the first
// time the thread creates a table. Every table takes the current seed once
// and advances k0 by one (wrapping), so no two tables of a thread share a
// seed: the slot order of one table tells nothing about another's, and the
// system's random source is read once per thread, not once per table.
// thread_local keeps this lock-free and usable without the GIL.
#pragma once

#include "storage/siphash.hpp"

namespace quorvex {

// Returns this thread's current seed, then advances its k0 by one.
// Panics if the system random source fails.
HashSeed next_table_seed();

}  // namespace quorvex
