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
    uint32_t id, a, b, c, d;
};

Key make_key(uint32_t id)
{
    return Key{id, ~id, id * 31, id ^ 0x5a5a5a5au, id + 1};
}

// Multiplying by an odd constant is one-to-one: distinct ids, distinct hashes.
uint32_t distinct_hash(const void *key)
{
    return static_cast<const Key *>(key)->id * 2654435761u;
}

int key_equal(const void *a, const void *b)
{
    return std::memcmp(a, b, sizeof(Key)) == 0;
}

fxtab_t make_table(unsigned buckets, fxtab_hash_fn hash = distinct_hash)
{
    return fxtab_create_with_fns(buckets, 12, 1, sizeof(Key), hash, key_equal);
}

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
    EXPECT_TRUE(rc == (slot != nullptr ? 1 : 0) && aux == 0);
    return slot;
}

// 0 when each table takes `cap` entries, no more, and finds what it has.
int check_cap(uint32_t cap, int tables)
{
    for (int table = 0; table < tables; ++table) {
        fxtab_t t = make_table(8);
        int aux = 0;
        for (uint32_t id = 0; id < cap; ++id)
            if (enter(t, id, &aux) == nullptr)
                return 1;
        if (enter(t, cap, &aux) != nullptr || fxtab_count(t) != cap || enter(t, cap - 1, &aux) == nullptr || aux != 0 ||
            lookup(t, 0) == nullptr)
            return 2;
        fxtab_destroy(t);
    }
    return 0;
}

TEST(Fxtab, BadArgumentsAreRefusedAndAnyStartingSizeWorks)
{
    EXPECT_EQ(fxtab_create_with_fns(8, 8, 1, 0, distinct_hash, key_equal), nullptr);
    EXPECT_EQ(fxtab_create_with_fns(8, 8, 1, 20, nullptr, key_equal), nullptr);
    EXPECT_EQ(fxtab_create_with_fns(8, 8, 1, 20, distinct_hash, nullptr), nullptr);
    EXPECT_EQ(fxtab_create_with_fns(8, 8, 1, SIZE_MAX, distinct_hash, key_equal), nullptr);
    EXPECT_EQ(fxtab_create_with_fns(8, SIZE_MAX, 1, 20, distinct_hash, key_equal), nullptr);
    // Null arguments give zero and null; aux is optional; any start is taken.
    fxtab_t t = make_table(UINT_MAX);
    int aux = 5;
    uint64_t cursor = 0;
    void *key_ptr = &cursor;
    void *slot = &cursor;
    Key k = make_key(1);
    EXPECT_EQ(fxtab_enter(nullptr, &k, &aux, &slot), 0);
    EXPECT_TRUE(slot == nullptr && aux == 0);
    slot = &aux;
    EXPECT_EQ(fxtab_lookup(nullptr, &k, &aux, &slot), 0);
    EXPECT_EQ(slot, nullptr);
    for (int rc : {fxtab_enter(t, nullptr, &aux, &slot), fxtab_enter(t, &k, &aux, nullptr),
                   fxtab_lookup(t, nullptr, &aux, &slot), fxtab_lookup(t, &k, &aux, nullptr),
                   fxtab_next(nullptr, &cursor, &key_ptr, &slot), fxtab_next(t, nullptr, &key_ptr, &slot),
                   fxtab_next(t, &cursor, nullptr, &slot), fxtab_next(t, &cursor, &key_ptr, nullptr)})
        EXPECT_EQ(rc, 0);
    EXPECT_TRUE(fxtab_count(t) == 0 && cursor == 0);
    EXPECT_EQ(fxtab_enter(t, &k, nullptr, &slot), 1);
    EXPECT_EQ(fxtab_lookup(t, &k, nullptr, &slot), 1);
    fxtab_destroy(t);
}

// From one bucket, every slot is new, zeroed, aligned and stays put, with its
// data, through all the growth; a scan goes in the order entries were made.
TEST(Fxtab, FindsEveryKeyEnteredUnderAnyHashAndGrowthKeepsDataInPlace)
{
    const std::pair<fxtab_hash_fn, uint32_t> cases[] = {
        {distinct_hash, 200000},
        {[](const void *) -> uint32_t { return 7; }, 3000},
        {[](const void *key) { return static_cast<const Key *>(key)->id & 15; }, 3000},
        {[](const void *key) { return static_cast<const Key *>(key)->id << 20; }, 3000},
    };
    static const unsigned char zero[12] = {};
    for (const auto &[hash, keys] : cases) {
        SCOPED_TRACE(keys);
        fxtab_t t = make_table(1, hash);
        std::vector<void *> slots(keys);
        for (uint32_t id = 0; id < keys; ++id) {
            int aux = 0;
            void *slot = slots[id] = enter(t, id, &aux);
            ASSERT_TRUE(slot != nullptr && aux == 1 && reinterpret_cast<uintptr_t>(slot) % 8 == 0) << id;
            ASSERT_EQ(std::memcmp(slot, zero, sizeof zero), 0) << id;
            *static_cast<uint64_t *>(slot) = uint64_t{id} * 3 + 1;
            ASSERT_EQ(lookup(t, id / 2), slots[id / 2]) << id;
        }
        uint64_t cursor = 0;
        void *key_ptr = nullptr;
        void *data_ptr = nullptr;
        for (uint32_t id = 0; id < keys; ++id) {
            int aux = 5;
            ASSERT_TRUE(enter(t, id, &aux) == slots[id] && aux == 0 && lookup(t, id) == slots[id]) << id;
            ASSERT_EQ(*static_cast<uint64_t *>(slots[id]), uint64_t{id} * 3 + 1) << id;
            ASSERT_EQ(lookup(t, keys + id), nullptr) << id;
            ASSERT_EQ(fxtab_next(t, &cursor, &key_ptr, &data_ptr), 1);
            Key k = make_key(id);
            ASSERT_TRUE(data_ptr == slots[id] && std::memcmp(key_ptr, &k, sizeof k) == 0) << id;
        }
        EXPECT_EQ(fxtab_next(t, &cursor, &key_ptr, &data_ptr), 1);
        EXPECT_TRUE(data_ptr == nullptr && key_ptr == nullptr && fxtab_count(t) == keys);
        fxtab_destroy(t);
    }
}

// Read once per process (so in fresh ones); not a positive number: default.
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

}  // namespace
