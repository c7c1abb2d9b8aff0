#include "lib/entry_table.hpp"

#include <string>
#include <utility>

#include "binding/panic.hpp"
#include "lib/hash_seed.hpp"

namespace quorvex {

namespace {

std::size_t checked_capacity(std::size_t capacity) {
    if (capacity > ProbeTable::max_entries) {
        panic("hash table capacity " + std::to_string(capacity) + " exceeds the limit of " +
              std::to_string(ProbeTable::max_entries) + " entries");
    }
    return capacity;
}

}  // namespace

EntryTable::EntryTable(std::size_t capacity)
    : seed_(next_table_seed()), capacity_(checked_capacity(capacity)) {
    const std::size_t slot_count = ProbeTable::slot_count_for(capacity_);
    const std::size_t columns = capacity_ * (sizeof(std::uint64_t) + sizeof(double));
    block_.reset(static_cast<unsigned char*>(raw_allocate(columns + ProbeTable::bytes_for(slot_count))));
    offsets_ = reinterpret_cast<std::uint64_t*>(block_.get());
    values_ = reinterpret_cast<double*>(offsets_ + capacity_);
    slots_ = ProbeTable(values_ + capacity_, slot_count);
}

EntryTable::EntryTable(EntryTable&& other) noexcept
    : seed_(other.seed_),
      capacity_(std::exchange(other.capacity_, 0)),
      size_(std::exchange(other.size_, 0)),
      block_(std::move(other.block_)),
      offsets_(std::exchange(other.offsets_, nullptr)),
      values_(std::exchange(other.values_, nullptr)),
      slots_(std::exchange(other.slots_, ProbeTable{})),
      keys_(std::move(other.keys_)) {}

EntryTable& EntryTable::operator=(EntryTable&& other) noexcept {
    if (this != &other) {
        seed_ = other.seed_;
        capacity_ = std::exchange(other.capacity_, 0);
        size_ = std::exchange(other.size_, 0);
        block_ = std::move(other.block_);
        offsets_ = std::exchange(other.offsets_, nullptr);
        values_ = std::exchange(other.values_, nullptr);
        slots_ = std::exchange(other.slots_, ProbeTable{});
        keys_ = std::move(other.keys_);
    }
    return *this;
}

void EntryTable::insert(std::string_view key, double value) {
    const std::uint64_t hash = keyed_hash(seed_, key);
    const ProbeTable::Probe probe =
        slots_.find(hash, [&](std::uint32_t entry) { return keys_.key_at(offsets_[entry]) == key; });
    if (probe.found) {
        values_[slots_.value_at(probe.slot)] = value;
        return;
    }
    if (size_ == capacity_) {
        panic("entry table is full");
    }
    offsets_[size_] = keys_.append(key);
    values_[size_] = value;
    slots_.occupy(probe.slot, hash, static_cast<std::uint32_t>(size_));
    ++size_;
}

}  // namespace quorvex
