#include "storage/entry_table.hpp"

#include <string>
#include <utility>

#include "storage/hash_seed.hpp"
#include "storage/host.hpp"
#include "storage/key_index.hpp"
#include "storage/utf8.hpp"

namespace quorvex {

namespace {

// Entries are written in order, each array taking a new line every eight
// entries. A store to a line not yet cached holds up every store after it,
// and while keys are read from objects scattered in memory the core's miss
// buffers are full of those reads: so each line is asked for this many
// entries before it is written.
constexpr std::size_t write_ahead = 64;

std::size_t checked_capacity(std::size_t capacity) {
    if (capacity > ProbeTable::max_entries) {
        storage_fault("hash table capacity " + std::to_string(capacity) + " exceeds the limit of " +
                      std::to_string(ProbeTable::max_entries) + " entries");
    }
    return capacity;
}

}  // namespace

EntryTable::EntryTable(std::size_t capacity)
    : seed_(next_table_seed()),
      capacity_(checked_capacity(capacity)),
      keys_(capacity_),
      values_(ValueArray::create(capacity_)) {
    const std::size_t group_count = ProbeTable::group_count_for(capacity_);
    block_.reset(static_cast<unsigned char*>(
        raw_allocate(sizeof(KeyIndex) + capacity_ * sizeof(std::uint64_t) + ProbeTable::bytes_for(group_count))));
    offsets_ = reinterpret_cast<std::uint64_t*>(block_.get() + sizeof(KeyIndex));
    slots_ = ProbeTable(offsets_ + capacity_, group_count);
}

EntryTable::EntryTable(EntryTable&& other) noexcept
    : seed_(other.seed_),
      capacity_(std::exchange(other.capacity_, 0)),
      size_(std::exchange(other.size_, 0)),
      block_(std::move(other.block_)),
      offsets_(std::exchange(other.offsets_, nullptr)),
      slots_(std::exchange(other.slots_, ProbeTable{})),
      keys_(std::move(other.keys_)),
      values_(std::move(other.values_)),
      placed_(std::exchange(other.placed_, 0)),
      pending_hashes_(std::move(other.pending_hashes_)) {}

EntryTable& EntryTable::operator=(EntryTable&& other) noexcept {
    if (this != &other) {
        seed_ = other.seed_;
        capacity_ = std::exchange(other.capacity_, 0);
        size_ = std::exchange(other.size_, 0);
        block_ = std::move(other.block_);
        offsets_ = std::exchange(other.offsets_, nullptr);
        slots_ = std::exchange(other.slots_, ProbeTable{});
        keys_ = std::move(other.keys_);
        values_ = std::move(other.values_);
        placed_ = std::exchange(other.placed_, 0);
        pending_hashes_ = std::move(other.pending_hashes_);
    }
    return *this;
}

void EntryTable::insert(std::string_view key, double value) {
    if (!insert_hashed(key, hash(key), utf8_shape(key), value)) {
        storage_fault("entry table is full");
    }
}

bool EntryTable::insert_hashed(std::string_view key, std::uint64_t hash, DecodedShape shape, double value) {
    place_pending();
    const ProbeTable::Probe probe =
        slots_.find(hash, [&](std::uint32_t entry) { return keys_.key_at(offsets_[entry]) == key; });
    if (probe.found) {
        values_->data()[slots_.value_at(probe.slot)] = value;
        return true;
    }
    return add(key, hash, shape, value, probe.slot);
}

bool EntryTable::insert_absent(std::string_view key, std::uint64_t hash, DecodedShape shape, double value) {
    if (size_ == capacity_) {
        return false;
    }
    if (!pending_hashes_) {
        pending_hashes_.reset(static_cast<std::uint64_t*>(raw_allocate(capacity_ * sizeof(std::uint64_t))));
    }
    prefetch_for_writing();
    __builtin_prefetch(pending_hashes_.get() + size_ + write_ahead, 1);
    pending_hashes_[size_] = hash;
    offsets_[size_] = keys_.append(key, shape);
    values_->data()[size_] = value;
    ++size_;
    return true;
}

void EntryTable::prefetch_for_writing() const noexcept {
    __builtin_prefetch(offsets_ + size_ + write_ahead, 1);
    __builtin_prefetch(values_->data() + size_ + write_ahead, 1);
}

void EntryTable::place_pending() noexcept {
    // Each slot line is asked for this many entries before it is written:
    // far enough ahead that its miss is over when the slot is taken (16
    // left some waiting; 28 to 64 measured alike).
    constexpr std::size_t ahead = 40;
    const std::uint64_t* hashes = pending_hashes_.get();
    for (std::size_t entry = placed_; entry < size_; ++entry) {
        if (entry + ahead < size_) {
            slots_.prefetch(hashes[entry + ahead]);
        }
        slots_.occupy(slots_.find_empty(hashes[entry]), hashes[entry], static_cast<std::uint32_t>(entry));
    }
    placed_ = size_;
}

bool EntryTable::add(std::string_view key, std::uint64_t hash, DecodedShape shape, double value, std::size_t slot) {
    if (size_ == capacity_) {
        return false;
    }
    prefetch_for_writing();
    offsets_[size_] = keys_.append(key, shape);
    values_->data()[size_] = value;
    slots_.occupy(slot, hash, static_cast<std::uint32_t>(size_));
    ++size_;
    placed_ = size_;
    return true;
}

}  // namespace quorvex
