// Tests of the hash table service: finding what was entered under good and
// bad hash functions, growth that never moves data, scans, the entry cap and
// null arguments.
#include "host/fxtab.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// A 20-byte key: not a multiple of 8, so the entry layout must round it.
struct Key {
    uint32_t id;
    unsigned char fill[16];
};

Key make_key(uint32_t id)
{
    Key k{};
    k.id = id;
    for (size_t i = 0; i < sizeof k.fill; ++i)
        k.fill[i] = static_cast<unsigned char>(id * 31 + i);
    return k;
}

uint32_t id_of(const void *key)
{
    return static_cast<const Key *>(key)->id;
}

int g_keycmp_calls;
int g_hash_calls;

// Multiplying by an odd constant is one-to-one, so distinct ids never share
// a hash value.
uint32_t distinct_hash(const void *key)
{
    ++g_hash_calls;
    return id_of(key) * 2654435761u;
}

int key_equal(const void *a, const void *b)
{
    ++g_keycmp_calls;
    return std::memcmp(a, b, sizeof(Key)) == 0;
}

fxtab_t make_table(unsigned buckets, size_t data_size, fxtab_hash_fn hash = distinct_hash)
{
    return fxtab_create_with_fns(buckets, data_size, 1, sizeof(Key), hash, key_equal);
}

// The data slot of the entry for `id`, made when new; *aux tells which.
void *enter(fxtab_t t, uint32_t id, int *aux)
{
    Key k = make_key(id);
    void *slot = reinterpret_cast<void *>(1);
    int rc = fxtab_enter(t, &k, aux, &slot);
    EXPECT_EQ(rc, slot != nullptr ? 1 : 0);
    return slot;
}

void *lookup(fxtab_t t, uint32_t id)
{
    Key k = make_key(id);
    int aux = 5;
    void *slot = reinterpret_cast<void *>(1);
    int rc = fxtab_lookup(t, &k, &aux, &slot);
    EXPECT_EQ(aux, 0);
    EXPECT_EQ(rc, slot != nullptr ? 1 : 0);
    return slot;
}

// Data starts on an 8-byte boundary, so a slot holds a 64-bit word.
uint64_t &word(void *slot)
{
    return *static_cast<uint64_t *>(slot);
}

// Checks that each of `tables` tables takes `cap` entries and no more, and
// still finds the ones it has.  Returns the exit status: 0 when it holds.
int check_cap(uint32_t cap, int tables)
{
    for (int table = 0; table < tables; ++table) {
        fxtab_t t = make_table(8, 8);
        int aux = 0;
        for (uint32_t id = 0; id < cap; ++id)
            if (enter(t, id, &aux) == nullptr)
                return 1;
        if (enter(t, cap, &aux) != nullptr || aux != 0 || fxtab_count(t) != cap)
            return 2;
        if (enter(t, cap - 1, &aux) == nullptr || aux != 0 || lookup(t, 0) == nullptr)
            return 3;
        fxtab_destroy(t);
    }
    return 0;
}

// Enters `keys` keys into a table that starts with one bucket: every data
// slot is new, zeroed and 8-byte aligned, and stays where it is through all
// the growth, keeping what was written through it; earlier keys are found
// while the table grows; re-entering gives the same slot, keys never entered
// are missing, and a scan visits the entries in the order they were made,
// with their keys copied in.  With distinct hashes, the stored hash spares
// the key function on every entry of another hash, and growth reuses stored
// hashes instead of hashing keys again.
void check_table(fxtab_hash_fn hash, uint32_t keys)
{
    fxtab_t t = make_table(1, 12, hash);
    ASSERT_NE(t, nullptr);
    g_hash_calls = g_keycmp_calls = 0;
    std::vector<void *> slots(keys);
    for (uint32_t id = 0; id < keys; ++id) {
        int aux = 0;
        slots[id] = enter(t, id, &aux);
        ASSERT_NE(slots[id], nullptr);
        ASSERT_EQ(aux, 1);
        ASSERT_EQ(reinterpret_cast<uintptr_t>(slots[id]) % 8, 0u);
        static const unsigned char zero[12] = {};
        ASSERT_EQ(std::memcmp(slots[id], zero, sizeof zero), 0) << id;
        word(slots[id]) = uint64_t{id} * 3 + 1;
        // An earlier key is found while the table grows.
        ASSERT_EQ(lookup(t, id / 2), slots[id / 2]) << id;
    }
    const bool distinct = hash == distinct_hash;
    if (distinct) {
        EXPECT_EQ(g_hash_calls, 2 * int(keys));
        EXPECT_EQ(g_keycmp_calls, int(keys));
    }
    uint64_t cursor = 0;
    void *key_ptr = nullptr;
    void *data_ptr = nullptr;
    for (uint32_t id = 0; id < keys; ++id) {
        int aux = 5;
        ASSERT_EQ(enter(t, id, &aux), slots[id]) << id;
        ASSERT_EQ(aux, 0);
        ASSERT_EQ(lookup(t, id), slots[id]) << id;
        ASSERT_EQ(word(slots[id]), uint64_t{id} * 3 + 1) << id;
        ASSERT_EQ(lookup(t, keys + id), nullptr) << id;
        ASSERT_EQ(fxtab_next(t, &cursor, &key_ptr, &data_ptr), 1);
        ASSERT_EQ(data_ptr, slots[id]) << id;
        Key k = make_key(id);
        ASSERT_EQ(std::memcmp(key_ptr, &k, sizeof k), 0) << id;
    }
    if (distinct) {
        EXPECT_EQ(g_keycmp_calls, 3 * int(keys));
    }
    EXPECT_EQ(fxtab_next(t, &cursor, &key_ptr, &data_ptr), 1);
    EXPECT_EQ(data_ptr, nullptr);
    EXPECT_EQ(key_ptr, nullptr);
    EXPECT_EQ(fxtab_count(t), keys);
    fxtab_destroy(t);
}

}  // namespace

TEST(Fxtab, BadArgumentsAreRefusedAndAnyStartingSizeWorks)
{
    EXPECT_EQ(fxtab_create_with_fns(8, 8, 1, 0, distinct_hash, key_equal), nullptr);
    EXPECT_EQ(fxtab_create_with_fns(8, 8, 1, 20, nullptr, key_equal), nullptr);
    EXPECT_EQ(fxtab_create_with_fns(8, 8, 1, 20, distinct_hash, nullptr), nullptr);
    EXPECT_EQ(fxtab_create_with_fns(8, 8, 1, SIZE_MAX, distinct_hash, key_equal), nullptr);
    EXPECT_EQ(fxtab_create_with_fns(8, SIZE_MAX, 1, 20, distinct_hash, key_equal), nullptr);
    for (unsigned buckets : {0u, 1u, 300u, UINT_MAX}) {
        fxtab_t t = make_table(buckets, 8);
        ASSERT_NE(t, nullptr) << buckets;
        int aux = 0;
        EXPECT_NE(enter(t, 1, &aux), nullptr);
        EXPECT_EQ(fxtab_count(t), 1u);
        fxtab_destroy(t);
    }

    // Null arguments give zero and null.
    fxtab_t t = make_table(8, 8);
    ASSERT_NE(t, nullptr);
    Key k = make_key(1);
    int aux = 5;
    void *slot = &aux;
    EXPECT_EQ(fxtab_enter(nullptr, &k, &aux, &slot), 0);
    EXPECT_EQ(slot, nullptr);
    EXPECT_EQ(aux, 0);
    EXPECT_EQ(fxtab_enter(t, nullptr, &aux, &slot), 0);
    EXPECT_EQ(fxtab_enter(t, &k, &aux, nullptr), 0);
    EXPECT_EQ(fxtab_count(t), 0u);
    EXPECT_EQ(fxtab_enter(t, &k, nullptr, &slot), 1);  // aux is optional
    slot = &aux;
    EXPECT_EQ(fxtab_lookup(nullptr, &k, &aux, &slot), 0);
    EXPECT_EQ(slot, nullptr);
    EXPECT_EQ(fxtab_lookup(t, nullptr, &aux, &slot), 0);
    EXPECT_EQ(fxtab_lookup(t, &k, &aux, nullptr), 0);
    EXPECT_EQ(fxtab_lookup(t, &k, nullptr, &slot), 1);

    uint64_t cursor = 0;
    void *key_ptr = nullptr;
    EXPECT_EQ(fxtab_next(nullptr, &cursor, &key_ptr, &slot), 0);
    EXPECT_EQ(fxtab_next(t, nullptr, &key_ptr, &slot), 0);
    EXPECT_EQ(fxtab_next(t, &cursor, nullptr, &slot), 0);
    EXPECT_EQ(fxtab_next(t, &cursor, &key_ptr, nullptr), 0);
    EXPECT_EQ(cursor, 0u);
    fxtab_term_scan(nullptr);
    EXPECT_EQ(fxtab_count(nullptr), 0u);
    fxtab_destroy(nullptr);
    fxtab_destroy(t);
}

TEST(Fxtab, FindsEveryKeyEnteredUnderAnyHash)
{
    const fxtab_hash_fn hashes[] = {
        distinct_hash,
        [](const void *) -> uint32_t { return 7; },
        [](const void *key) { return id_of(key) & 15; },
        [](const void *key) { return id_of(key) << 20; },
    };
    for (fxtab_hash_fn hash : hashes) {
        SCOPED_TRACE(&hash - hashes);
        check_table(hash, 3000);
    }
}

TEST(Fxtab, GrowthTo200000EntriesKeepsDataInPlace)
{
    check_table(distinct_hash, 200000);
}

TEST(Fxtab, KeyIsCopiedInAndScansEndCleanly)
{
    fxtab_t t = make_table(0, 8);
    ASSERT_NE(t, nullptr);
    uint64_t cursor = 0;
    void *key_ptr = &cursor;
    void *slot = &cursor;
    EXPECT_EQ(fxtab_next(t, &cursor, &key_ptr, &slot), 1);  // empty: over at once
    EXPECT_EQ(slot, nullptr);
    EXPECT_EQ(key_ptr, nullptr);

    Key k = make_key(42);
    const Key original = k;
    int aux = 0;
    ASSERT_EQ(fxtab_enter(t, &k, &aux, &slot), 1);
    k.fill[0] ^= 0xff;
    EXPECT_EQ(fxtab_lookup(t, &k, &aux, &slot), 0);
    EXPECT_EQ(fxtab_lookup(t, &original, &aux, &slot), 1);
    cursor = 0;
    ASSERT_EQ(fxtab_next(t, &cursor, &key_ptr, &slot), 1);
    EXPECT_EQ(std::memcmp(key_ptr, &original, sizeof original), 0);

    // A cursor past the end, as a stale one might be, also just ends.
    cursor = 1000;
    EXPECT_EQ(fxtab_next(t, &cursor, &key_ptr, &slot), 1);
    EXPECT_EQ(slot, nullptr);
    fxtab_term_scan(&cursor);
    EXPECT_EQ(cursor, 0u);
    fxtab_destroy(t);
}

// Entries made during a scan come after those made before it, in order;
// re-entering a visited key adds nothing.
TEST(Fxtab, ScanReachesEntriesMadeDuringIt)
{
    fxtab_t t = make_table(1, 8);
    ASSERT_NE(t, nullptr);
    int aux = 0;
    for (uint32_t id = 0; id < 3; ++id)
        enter(t, id, &aux);
    std::vector<uint32_t> seen;
    uint64_t cursor = 0;
    void *key_ptr = nullptr;
    void *data_ptr = nullptr;
    while (fxtab_next(t, &cursor, &key_ptr, &data_ptr) == 1 && data_ptr != nullptr) {
        const uint32_t id = id_of(key_ptr);
        seen.push_back(id);
        if (id < 50)
            enter(t, id + 3, &aux);
        enter(t, id, &aux);
        ASSERT_LE(seen.size(), 100u);
    }
    ASSERT_EQ(seen.size(), 53u);
    for (uint32_t i = 0; i < seen.size(); ++i)
        EXPECT_EQ(seen[i], i);
    EXPECT_EQ(fxtab_count(t), 53u);
    fxtab_destroy(t);
}

// The cap is read once per process, so each case runs in a process of its
// own, started afresh before any table exists.  A value that is not a
// positive number keeps the default.
TEST(FxtabCapDeathTest, EnvironmentSetsTheCapOfEveryTable)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    setenv("VELMO_FXTAB_MAX_ENTRIES", "1000", 1);
    EXPECT_EXIT(std::exit(check_cap(1000, 2)), ::testing::ExitedWithCode(0), "");
    for (const char *bad : {"0", "1000x", "-5"}) {
        setenv("VELMO_FXTAB_MAX_ENTRIES", bad, 1);
        EXPECT_EXIT(std::exit(check_cap(FXTAB_DEFAULT_MAX_ENTRIES, 1)), ::testing::ExitedWithCode(0), "") << bad;
    }
}
