// Driver for the storage layer, run by tests/test_storage_native.py.
//
//   hash [plain]              stdin lines "K0 K1 HEX" ("-" = empty key) -> keyed_hash (siphash13), decimal
//   hash-many                 keyed_hash_many and siphash13_many, vector lanes and scalar, against
//                             keyed_hash and siphash13 -> "ok"
//   seeds                     three seeds of this thread, then one of a new thread: "K0 K1"
//   tables SEED ROUNDS        random tables checked against a std::map model -> "ok"
//   big N                     one table of N keys, looked up in batches by another -> "ok"
//   writable                  counted ownership and copy-on-write -> "ok"
//   full                      overfills an EntryTable (panics)
//   bounds values|keys LEN I  element I of a LEN-element array/index (panics when out of range)
//   memory N                  heap bytes per key held by the storage of N 10-byte keys
//   utf8                      the vector UTF-8 encoders and decoders against the scalar ones, and
//                             every decoder given a character count its text does not hold -> "ok"
//
// A failed check prints "FAIL: ..." and exits 1; a panic exits 3.
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "storage/entry_table.hpp"
#include "storage/hash_seed.hpp"
#include "storage/key_index.hpp"
#include "storage/siphash.hpp"
#include "storage/utf8.hpp"
#include "storage/value_array.hpp"

using namespace quorvex;

namespace {

#define CHECK(cond)                                               \
    do {                                                          \
        if (!(cond)) {                                            \
            std::printf("FAIL: %s (line %d)\n", #cond, __LINE__); \
            std::exit(1);                                         \
        }                                                         \
    } while (0)

std::uint64_t bits(double value) {
    return std::bit_cast<std::uint64_t>(value);
}

std::string from_hex(const std::string& hex) {
    std::string out;
    if (hex == "-") return out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

int run_hash(bool plain) {
    std::string k0, k1, hex;
    while (std::cin >> k0 >> k1 >> hex) {
        const HashSeed seed{std::stoull(k0), std::stoull(k1)};
        const std::string key = from_hex(hex);
        std::printf("%" PRIu64 "\n", plain ? siphash13(seed, key) : keyed_hash(seed, key));
    }
    return 0;
}

// Whether keyed_hash_many may take its AVX-512 path here.
bool has_avx512() {
#if defined(__x86_64__)
    return __builtin_cpu_supports("avx512f");
#else
    return false;
#endif
}

// Every key sits at the start or at the end of a readable page between two
// unreadable ones, so that a read outside a key faults.
int run_hash_many() {
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    constexpr std::size_t max_keys = 40;
    const std::size_t span = (2 * max_keys + 1) * page;
    auto* const region = static_cast<char*>(mmap(nullptr, span, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    CHECK(region != MAP_FAILED);
    for (std::size_t i = 0; i < max_keys; ++i) {
        CHECK(mprotect(region + (2 * i + 1) * page, page, PROT_READ | PROT_WRITE) == 0);
    }
    const bool vector = has_avx512();
    std::mt19937_64 rng(31);
    std::vector<std::string_view> keys;
    std::vector<std::uint64_t> lanes(max_keys), scalar(max_keys);
    for (int round = 0; round < 2000; ++round) {
        const HashSeed seed{rng(), rng()};
        const std::size_t count = rng() % (max_keys + 1);
        keys.clear();
        for (std::size_t i = 0; i < count; ++i) {
            // Lengths around each multiple of eight, where the final words change shape.
            const std::size_t length = rng() % 4 == 0 ? rng() % 100 : 8 * (rng() % 6 + 1) + rng() % 3 - 1;
            char* const start = region + (2 * i + 1) * page;
            char* const at = rng() % 2 == 0 ? start : start + page - length;
            for (std::size_t b = 0; b < length; ++b) {
                at[b] = static_cast<char>(rng());
            }
            keys.emplace_back(at, length);
        }
        keyed_hash_many(seed, keys.data(), count, lanes.data(), vector);
        keyed_hash_many(seed, keys.data(), count, scalar.data(), false);
        for (std::size_t i = 0; i < count; ++i) {
            CHECK(lanes[i] == keyed_hash(seed, keys[i]));
            CHECK(scalar[i] == lanes[i]);
        }
        siphash13_many(seed, keys.data(), count, lanes.data(), vector);
        siphash13_many(seed, keys.data(), count, scalar.data(), false);
        for (std::size_t i = 0; i < count; ++i) {
            CHECK(lanes[i] == siphash13(seed, keys[i]));
            CHECK(scalar[i] == lanes[i]);
        }
    }
    std::printf(vector ? "ok\n" : "no avx512, scalar ok\n");
    return 0;
}

int run_seeds() {
    for (int i = 0; i < 3; ++i) {
        const HashSeed s = next_table_seed();
        std::printf("%" PRIu64 " %" PRIu64 "\n", s.k0, s.k1);
    }
    HashSeed other{};
    std::thread([&] { other = next_table_seed(); }).join();
    std::printf("%" PRIu64 " %" PRIu64 "\n", other.k0, other.k1);
    return 0;
}

// Keys from a small alphabet (NUL and 0xFF included) with shared prefixes and
// lengths across the one-byte/two-byte varint boundary, so probes meet equal
// tags, equal prefixes and equal lengths.
std::string random_key(std::mt19937_64& rng) {
    static const char alphabet[] = {'a', 'b', '\0', '\xff', 'z'};
    const std::size_t lengths[] = {0, 1, 2, 7, 8, 9, 15, 16, 127, 128, 300};
    const std::size_t len = rng() % 3 == 0 ? lengths[rng() % 11] : rng() % 12;
    std::string key;
    for (std::size_t i = 0; i < len; ++i) key.push_back(alphabet[rng() % 5]);
    return key;
}

using Model = std::map<std::string, std::uint64_t>;
using Inserts = std::vector<std::pair<std::string, double>>;

// find_each on `index` for `probes`, checked against find one key at a time.
void check_find_each(const KeyIndex& index, const std::vector<std::string>& probes, bool vector_hash) {
    std::size_t next = 0;
    std::size_t answered = 0;
    index.find_each(
        probes.size(), vector_hash, [&] { return std::string_view(probes[next++]); },
        [&](std::uint64_t candidate) { CHECK(candidate < index.size()); },
        [&](std::size_t i, std::optional<std::uint64_t> position) {
            CHECK(i == answered++);
            CHECK(position == index.find(probes[i]));
        });
    CHECK(next == probes.size() && answered == probes.size());
}

Storage build(const Inserts& inserts, std::size_t capacity) {
    EntryTable table(capacity);
    for (const auto& [key, value] : inserts) table.insert(key, value);
    return build_storage(std::move(table));
}

void check_round(std::mt19937_64& rng) {
    std::vector<std::string> pool(1 + rng() % 400);
    for (auto& key : pool) key = random_key(rng);
    Inserts inserts(rng() % (3 * pool.size() + 1));
    Model model;
    for (auto& [key, value] : inserts) {
        key = pool[rng() % pool.size()];
        value = std::bit_cast<double>(rng());  // any bits, NaN payloads included
        model[key] = bits(value);
    }
    const std::size_t n = model.size();
    // Alternate a roomy table and one with no spare entry at all.
    const std::size_t capacity = rng() % 2 ? inserts.size() : n;

    // Entries are numbered by first arrival: a repeated key keeps its place
    // and its first text, and takes the latest value.
    std::vector<std::string> arrival;
    for (const auto& [key, value] : inserts) {
        if (std::find(arrival.begin(), arrival.end(), key) == arrival.end()) arrival.push_back(key);
    }

    const HashSeed before = next_table_seed();
    EntryTable table(capacity);
    for (const auto& [key, value] : inserts) table.insert(key, value);
    CHECK(table.size() == n);

    std::vector<std::pair<std::string, std::uint64_t>> order;
    table.for_each([&](std::string_view key, double value) { order.emplace_back(key, bits(value)); });
    CHECK(order.size() == n);
    for (std::size_t i = 0; i < n; ++i) CHECK(order[i].first == arrival[i] && order[i].second == model[arrival[i]]);

    Storage s = build_storage(std::move(table));
    CHECK(table.size() == 0);
    // The entry table becomes the index: one seed per construction, no rehash.
    CHECK(next_table_seed().k0 == before.k0 + 2);

    const KeyIndex& index = *s.keys;
    CHECK(index.size() == n && s.values->size() == n);
    for (std::size_t i = 0; i < n; ++i) {
        CHECK(index.key_at(i) == order[i].first);
        CHECK(bits(s.values->at(i)) == order[i].second);
        CHECK(index.find(order[i].first) == std::optional<std::uint64_t>(i));
    }
    std::uint64_t expected_position = 0;
    index.for_each([&](std::string_view key, std::uint64_t position) {
        CHECK(position == expected_position++ && key == index.key_at(position));
    });
    CHECK(expected_position == n);
    KeyBuffer::Reader reader = index.reader();
    for (std::size_t i = 0; i < n; ++i) {
        const KeyBuffer::ShapedKey key = reader.next_shaped();
        const DecodedShape shape = utf8_shape(key.text);
        CHECK(key.text == order[i].first && key.shape.length == shape.length && key.shape.width == shape.width);
    }

    std::vector<std::string> probes;
    for (int i = 0; i < 50; ++i) {
        std::string probe = random_key(rng);
        if (rng() % 2 && n > 0) probe = order[rng() % n].first + std::string(1, '\0');
        CHECK(index.find(probe).has_value() == (model.count(probe) == 1));
        probes.push_back(std::move(probe));
        if (n > 0) probes.push_back(order[rng() % n].first);
    }
    // Batched lookups of every length up to a few batches, hits and misses mixed.
    probes.resize(rng() % (probes.size() + 1));
    check_find_each(index, probes, false);
    check_find_each(index, probes, has_avx512());

    // Positions follow arrival, so the same inserts give the same layout
    // whatever the seed; another arrival order gives another layout.
    CHECK(same_layout(index, index));
    Storage again = build(inserts, inserts.size());
    CHECK(same_layout(index, *again.keys) && same_layout(*again.keys, index));
    Inserts reordered(inserts.rbegin(), inserts.rend());
    Storage turned = build(reordered, inserts.size());
    bool expected = true;
    for (const auto& [key, bits_value] : model) expected = expected && index.find(key) == turned.keys->find(key);
    CHECK(same_layout(index, *turned.keys) == expected);
    CHECK(same_layout(*turned.keys, index) == expected);
    std::vector<std::string> turned_arrival;
    turned.keys->for_each([&](std::string_view key, std::uint64_t) { turned_arrival.emplace_back(key); });
    CHECK(expected == (turned_arrival == arrival));
    if (n >= 2) {
        // Dropping a key changes the size; swapping one for a new key does not.
        Inserts fewer(model.begin(), std::prev(model.end()));
        CHECK(!same_layout(index, *build(fewer, n).keys));
        Inserts swapped = fewer;
        swapped.emplace_back(std::string(400, 'q'), 1.0);
        CHECK(!same_layout(index, *build(swapped, n).keys));
    }

    // Shared ownership: the index outlives the Storage through a leaked count.
    KeyIndex* parked = s.keys.share().leak();
    s = Storage{};
    CountedRef<KeyIndex> back = CountedRef<KeyIndex>::adopt(parked);
    CHECK(back->size() == n);
    for (std::size_t i = 0; i < n; ++i) CHECK(back->key_at(i) == order[i].first);
}

int run_tables(std::uint64_t seed, int rounds) {
    std::mt19937_64 rng(seed);
    for (int i = 0; i < rounds; ++i) check_round(rng);
    std::printf("ok\n");
    return 0;
}

// The number of owners of an array: its count is the first word of its header.
std::size_t owners(const ValueArray& array) {
    static_assert(std::is_standard_layout_v<ValueArray>);
    return reinterpret_cast<const std::atomic<std::size_t>*>(&array)->load();
}

// Copy-on-write over counted arrays: `ref`'s array if it owns it alone,
// otherwise a bit-exact copy that replaces `ref`.
ValueArray& make_writable(CountedRef<ValueArray>& ref) {
    if (owners(*ref) == 1) {
        return *ref;
    }
    CountedRef<ValueArray> copy = ValueArray::create(ref->size());
    std::memcpy(copy->data(), ref->data(), ref->size() * sizeof(double));
    ref = std::move(copy);
    return *ref;
}

int run_writable() {
    for (std::size_t n : {0, 1, 3, 17}) {
        CHECK(reinterpret_cast<std::uintptr_t>(ValueArray::create(n)->data()) % 64 == 0);
    }
    CountedRef<ValueArray> a = ValueArray::create(3);
    const std::uint64_t pattern[] = {0x7ff0000000000001ULL, 0xfff8dead0000beefULL, 0x8000000000000000ULL};
    for (int i = 0; i < 3; ++i) a->data()[i] = std::bit_cast<double>(pattern[i]);
    ValueArray* original = a.get();
    CHECK(&make_writable(a) == original);  // unique: written in place

    CountedRef<ValueArray> b = a.share();
    CHECK(owners(*a) != 1 && b.get() == original);
    ValueArray& copy = make_writable(b);
    CHECK(&copy != original && b.get() == &copy);
    CHECK(owners(*a) == 1 && owners(*b) == 1);  // b gave its count back
    for (int i = 0; i < 3; ++i) CHECK(bits(copy.at(i)) == pattern[i]);
    copy.data()[0] = 1.0;
    CHECK(bits(a->at(0)) == pattern[0]);

    ValueArray* parked = a.share().leak();
    CHECK(owners(*a) != 1);
    CountedRef<ValueArray>::adopt(parked).reset();
    CHECK(owners(*a) == 1);
    CountedRef<ValueArray> c = std::move(a);
    CHECK(!a && c.get() == original && owners(*c) == 1);
    c = std::move(b);  // releases the original
    CHECK(c.get() == &copy && !b);
    std::printf("ok\n");
    return 0;
}

int run_full() {
    EntryTable table(2);
    for (const char* key : {"a", "a", "b", "b", "a"}) table.insert(key, 1.0);
    std::printf("%zu entries\n", table.size());
    table.insert("c", 1.0);
    return 0;
}

int run_bounds(const std::string& what, std::size_t len, std::size_t index) {
    if (what == "values") {
        CountedRef<ValueArray> values = ValueArray::create(len);
        for (std::size_t i = 0; i < len; ++i) values->data()[i] = static_cast<double>(i);
        std::printf("%g\n", values->at(index));
    } else {
        EntryTable table(len);
        for (std::size_t i = 0; i < len; ++i) table.insert("k" + std::to_string(i), 0.0);
        Storage s = build_storage(std::move(table));
        std::printf("%s\n", std::string(s.keys->key_at(index)).c_str());
    }
    return 0;
}

// Key lengths that change their average midway (long first, then short, then
// long again) so the key buffer's size estimate is both too large and too
// small at some point; every 97th key is not ASCII.
std::string big_key(std::size_t i) {
    std::string key = std::to_string(i * 2654435761u % 1000003u) + "-" + std::to_string(i);
    if (i < 100 || i % 5000 < 50) key += std::string(200, 'L');
    if (i % 97 == 0) key += "\xc3\xa9";
    return key;
}

int run_big(std::size_t n) {
    std::mt19937_64 rng(n);
    Inserts inserts;
    for (std::size_t i = 0; i < n; ++i) inserts.emplace_back(big_key(i), static_cast<double>(i));
    Storage a = build(inserts, n);
    CHECK(a.keys->size() == n);
    KeyBuffer::Reader reader = a.keys->reader();
    for (std::size_t i = 0; i < n; ++i) {
        const KeyBuffer::ShapedKey key = reader.next_shaped();
        const DecodedShape shape = utf8_shape(inserts[i].first);
        CHECK(key.text == inserts[i].first && key.shape.length == shape.length && key.shape.width == shape.width);
        CHECK(a.keys->find(inserts[i].first) == std::optional<std::uint64_t>(i));
        CHECK(a.values->at(i) == static_cast<double>(i));
    }

    // Half of a's keys and as many others, in another order.
    Inserts other;
    for (std::size_t i = 0; i < n; ++i) other.emplace_back(i % 2 ? big_key(i) : big_key(i) + "#", 0.0);
    std::shuffle(other.begin(), other.end(), rng);
    Storage b = build(other, n);
    CHECK(!same_layout(*a.keys, *b.keys));
    KeyBuffer::Reader keys = a.keys->reader();
    std::size_t answered = 0;
    b.keys->find_each(
        n, has_avx512(), [&] { return keys.next(); }, [&](std::uint64_t candidate) { CHECK(candidate < n); },
        [&](std::size_t i, std::optional<std::uint64_t> position) {
            CHECK(i == answered++);
            CHECK(position.has_value() == (i % 2 == 1));
            CHECK(position == b.keys->find(inserts[i].first));
            if (position) CHECK(b.keys->key_at(*position) == inserts[i].first);
        });
    CHECK(answered == n);
    std::printf("ok\n");
    return 0;
}

// The last byte before an unreadable page: the AVX-512 encoder's texts end
// there, so that a read past one faults.
char* readable_end_of_page() {
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    static char* const end = [page] {
        auto* region =
            static_cast<char*>(mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        CHECK(region != MAP_FAILED && mprotect(region + page, page, PROT_NONE) == 0);
        return region + page;
    }();
    return end;
}

// The vector UTF-8 encoder against the scalar one, and the vector decoder
// back to the text: random texts of every length up to five blocks, drawn
// from character pools of each UTF-8 length and mixes of them, with
// surrogates anywhere. The vector encoder reads ahead of the text and writes
// ahead of its output: the text follows random bytes, which must not show in
// the result, and the output follows room it may overwrite. The AVX-512
// encoder and decoder, where the processor has them, must give the same
// results.
template <class Char>
void compare_utf8_encoders(std::mt19937_64& rng, const std::vector<std::uint32_t>& pool) {
    for (int round = 0; round < 50000; ++round) {
        const std::size_t length = rng() % 41;
        std::vector<Char> backing(8 + length);
        for (std::size_t i = 0; i < 8; ++i) backing[i] = static_cast<Char>(rng());
        const Char* const chars = backing.data() + 8;
        for (std::size_t i = 8; i < backing.size(); ++i) backing[i] = static_cast<Char>(pool[rng() % pool.size()]);
        const std::vector<Char> text(chars, chars + length);
        std::vector<char> scalar(utf8_bound<Char>(length)), vector(utf8_lead_room + utf8_bound<Char>(length));
        const std::size_t size = encode_utf8(text.data(), length, scalar.data());
        const EncodedText encoded = encode_utf8_backward(chars, length, vector.data() + utf8_lead_room);
        CHECK(encoded.size == size);
        if (has_utf8_compress()) {
            // The same result, with nothing read past the text and nothing
            // written past the form.
            Char* const at_end = reinterpret_cast<Char*>(readable_end_of_page()) - length;
            std::copy(text.begin(), text.end(), at_end);
            std::vector<char> packed(utf8_bound<Char>(length), '\x55');
            const EncodedText compressed = encode_utf8_compress(at_end, length, packed.data());
            CHECK(compressed.size == size);
            if (size != no_utf8) {
                CHECK(compressed.width == encoded.width && std::memcmp(scalar.data(), packed.data(), size) == 0);
                CHECK(std::all_of(packed.begin() + static_cast<std::ptrdiff_t>(size), packed.end(),
                                  [](char c) { return c == '\x55'; }));
            }
        }
        if (size == no_utf8) continue;
        CHECK(std::memcmp(scalar.data(), vector.data() + utf8_lead_room, size) == 0);
        const std::uint32_t top = text.empty() ? 0 : *std::max_element(text.begin(), text.end());
        CHECK(encoded.width == utf8_shape(std::string_view(scalar.data(), size)).width);
        if (has_utf8_compress()) {
            // Back with the AVX-512 decoder, from the end of readable memory.
            char* const at_end = readable_end_of_page() - size;
            std::memcpy(at_end, scalar.data(), size);
            std::vector<Char> decoded(text.size());
            decode_utf8_compress(std::string_view(at_end, size), text.size(), decoded.data());
            CHECK(decoded == text);
        }
        // And back, into a text with room for nothing more: once with the
        // text at the end of readable memory, once followed by bytes that
        // would continue or start sequences.
        for (const bool followed : {false, true}) {
            std::string memory(scalar.data(), size);
            for (int i = 0; followed && i < 20; ++i)
                memory +=
                    "\x80\xbf\xe0\xf0"
                    "a"[rng() % 5];
            const std::string_view utf8(memory.data(), size);
            const char* const readable_end = memory.data() + memory.size();
            const DecodedShape shape = utf8_shape(utf8);
            CHECK(shape.length == text.size() && max_char_of(shape.width) >= top &&
                  (shape.width == CharWidth::ascii ||
                   max_char_of(static_cast<CharWidth>(static_cast<int>(shape.width) - 1)) < top));
            std::vector<Char> decoded(text.size());
            decode_utf8_vector(utf8, text.size(), decoded.data(), readable_end);
            CHECK(decoded == text);
        }
    }
}

// Every decoder, given a character count that does not match its text (no
// stored text has one), ends and writes exactly that many characters: the
// text's first ones, then U+0000. Counts fall short of, on and past a
// block's sixteen characters and the text's end.
template <class Char>
void check_mismatched_counts(const std::string& text, const std::vector<Char>& chars) {
    for (std::size_t count = 0; count <= chars.size() + 20; ++count) {
        std::vector<Char> expected(count, 0);
        std::copy_n(chars.begin(), std::min(count, chars.size()), expected.begin());
        const auto decoded_by = [&](auto decode) {
            std::vector<Char> out(count + 16, 0x55);
            decode(out.data());
            return std::equal(expected.begin(), expected.end(), out.begin()) &&
                   std::all_of(out.begin() + static_cast<std::ptrdiff_t>(count), out.end(),
                               [](Char c) { return c == 0x55; });
        };
        CHECK(decoded_by([&](Char* out) { decode_utf8(text, count, out); }));
#if defined(__x86_64__)
        if (__builtin_cpu_supports("avx2")) {
            CHECK(decoded_by([&](Char* out) { decode_utf8_vector(text, count, out, text.data() + text.size()); }));
        }
#endif
        if (has_utf8_compress()) {
            CHECK(decoded_by([&](Char* out) { decode_utf8_compress(text, count, out); }));
        }
    }
}

int run_utf8() {
    std::string latin1_text;
    std::vector<std::uint8_t> latin1_chars;
    for (int i = 0; i < 20; ++i) {
        latin1_text += "a\xc3\xa9";
        latin1_chars.insert(latin1_chars.end(), {'a', 0xE9});
    }
    check_mismatched_counts(latin1_text, latin1_chars);
    // Four three-byte sequences in a row take a path of their own.
    const std::string wide_text =
        "\xe4\xb8\xad\xe4\xb8\xad\xe4\xb8\xad\xe4\xb8\xad\xe4\xb8\xad\xf0\x9f\x98\x80" + latin1_text;
    std::vector<std::uint32_t> wide_chars = {0x4E2D, 0x4E2D, 0x4E2D, 0x4E2D, 0x4E2D, 0x1F600};
    wide_chars.insert(wide_chars.end(), latin1_chars.begin(), latin1_chars.end());
    check_mismatched_counts(wide_text, wide_chars);
#if defined(__x86_64__)
    if (!__builtin_cpu_supports("avx2")) {
        std::printf("no avx2\n");
        return 0;
    }
#endif
    std::mt19937_64 rng(12);
    const std::vector<std::uint32_t> ascii = {0, 'a', 'Z', 0x7F};
    const std::vector<std::uint32_t> latin1 = {0, 'a', 0x7F, 0x80, 0xE9, 0xFF};
    const std::vector<std::uint32_t> below_0800 = {'a', 0x7F, 0x80, 0xFF, 0x100, 0x3B1, 0x7FF};
    const std::vector<std::uint32_t> three_byte = {0x800, 0x4E2D, 0xD7FF, 0xE000, 0xFFFF};
    const std::vector<std::uint32_t> two_byte_chars = {'a', 0x80, 0x7FF, 0x800, 0xD7FF, 0xD800, 0xDFFF, 0xFFFF};
    const std::vector<std::uint32_t> one_to_three = {'a', 0x80, 0x7FF, 0x800, 0xFFFF};
    const std::vector<std::uint32_t> astral = {'a', 0x80, 0x800, 0xFFFF, 0x10000, 0x1F600, 0x10FFFF};
    const std::vector<std::uint32_t> any = {'a', 0x80, 0x800, 0xD800, 0xDFFF, 0xFFFF, 0x10000, 0x1F600, 0x10FFFF};
    for (const auto* pool : {&ascii, &latin1}) compare_utf8_encoders<std::uint8_t>(rng, *pool);
    for (const auto* pool : {&ascii, &below_0800, &three_byte, &one_to_three, &two_byte_chars}) {
        compare_utf8_encoders<std::uint16_t>(rng, *pool);
    }
    for (const auto* pool : {&ascii, &three_byte, &astral, &any}) compare_utf8_encoders<std::uint32_t>(rng, *pool);
    std::printf("ok\n");
    return 0;
}

std::size_t heap_in_use() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

int run_memory(std::size_t n) {
    const std::size_t before = heap_in_use();
    Storage s;
    {
        EntryTable table(n);
        char key[16];
        for (std::size_t i = 0; i < n; ++i) {
            std::snprintf(key, sizeof key, "k%09zu", i);
            table.insert(std::string_view(key, 10), 1.0);
        }
        s = build_storage(std::move(table));
    }
    CHECK(s.keys->size() == n);
    std::printf("%.3f\n", static_cast<double>(heap_in_use() - before) / static_cast<double>(n));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return 2;
    const std::string& mode = args[0];
    if (mode == "hash") return run_hash(args.size() == 2 && args[1] == "plain");
    if (mode == "hash-many") return run_hash_many();
    if (mode == "seeds") return run_seeds();
    if (mode == "tables" && args.size() == 3) return run_tables(std::stoull(args[1]), std::stoi(args[2]));
    if (mode == "writable") return run_writable();
    if (mode == "full") return run_full();
    if (mode == "utf8") return run_utf8();
    if (mode == "bounds" && args.size() == 4) return run_bounds(args[1], std::stoull(args[2]), std::stoull(args[3]));
    if (mode == "memory" && args.size() == 2) return run_memory(std::stoull(args[1]));
    if (mode == "big" && args.size() == 2) return run_big(std::stoull(args[1]));
    std::fprintf(stderr, "unknown command\n");
    return 2;
}
