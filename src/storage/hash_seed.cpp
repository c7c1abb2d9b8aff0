#include "storage/hash_seed.hpp"

#include <sys/random.h>

#include <cerrno>
#include <cstddef>
#include <optional>
#include <string>

#include "storage/host.hpp"

namespace quorvex {

namespace {

std::uint64_t little_endian_word(const unsigned char* bytes) noexcept {
    std::uint64_t word = 0;
    for (int i = 7; i >= 0; --i) {
        word = (word << 8) | bytes[i];
    }
    return word;
}

HashSeed seed_from_system() {
    unsigned char bytes[16];
    std::size_t filled = 0;
    while (filled < sizeof bytes) {
        const ssize_t got = getrandom(bytes + filled, sizeof bytes - filled, 0);
        if (got < 0) {
            const int error = errno;
            if (error == EINTR) {
                continue;
            }
            storage_fault("getrandom failed with errno " + std::to_string(error));
        }
        filled += static_cast<std::size_t>(got);
    }
    return {little_endian_word(bytes), little_endian_word(bytes + 8)};
}

// Trivially destructible, so no per-thread destructor gets registered.
thread_local std::optional<HashSeed> current_seed;

}  // namespace

HashSeed next_table_seed() {
    if (!current_seed) {
        current_seed = seed_from_system();
    }
    const HashSeed seed = *current_seed;
    ++current_seed->k0;
    return seed;
}

}  // namespace quorvex
