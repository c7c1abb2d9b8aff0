// The interpreter's hash of the strs to_dict makes, computed by this module
// eight at a time and cached in each str before the dict asks for it.
//
// A dict hashes every new str key as it is inserted, one SipHash-1-3 chain
// at a time: about a tenth of building a dict of a million short keys. The
// same hashes computed side by side in AVX-512 lanes cost a fraction of
// that. The cached value is exactly the one the interpreter would compute
// and cache itself.
//
// This needs the interpreter's hash key, which only its headers before 3.13
// declare, an interpreter that hashes strs with SipHash-1-3 and no
// short-string shortcut, and AVX-512. Before it is first used, the hasher
// checks itself against the interpreter's own hashes of strs of every kind
// and of every tail length; where anything differs it caches nothing, and
// the dict hashes its keys as before.
#pragma once

#include <cstddef>

#include "binding/error.hpp"
#include "binding/refs.hpp"
#include "storage/siphash.hpp"

namespace quorvex {

class StrHasher {
public:
    // The most strs one cache() call takes.
    static constexpr std::size_t batch = 16;

    // The hasher for this interpreter; the first call runs the check above,
    // which fails only for want of memory.
    static Result<StrHasher> for_this_interpreter();

    bool caches() const noexcept { return enabled_; }

    // Caches the hash of each of strs[0..count) (count <= batch): new exact
    // strs that no one else holds yet. A str whose hash is already cached,
    // and the empty str, are not written.
    void cache(const OwnedRef* strs, std::size_t count) const noexcept;

private:
    StrHasher(bool enabled, HashSeed seed) noexcept : enabled_(enabled), seed_(seed) {}

    bool enabled_;
    HashSeed seed_;
};

}  // namespace quorvex
