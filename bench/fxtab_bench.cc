// Lookup cost of the hash table service as a table grows from a thousand to
// a million entries, with keys shaped like the mapping cache's SID keys: a
// 66-byte host name field followed by a 34-byte SID record.
#include "host/fxtab.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <vector>

namespace {

constexpr size_t kHostField = 66;
constexpr size_t kSidSize = 34;
constexpr size_t kKeySize = kHostField + kSidSize;
constexpr size_t kDataSize = kSidSize;
constexpr uint32_t kHosts = 64;
constexpr size_t kHotKeys = 1000;

struct Key {
    unsigned char bytes[kKeySize];
};

// Host name fields, built once: most entries of a real cache share a few
// dozen host names.
const std::vector<Key> &host_fields()
{
    static const std::vector<Key> fields = [] {
        std::vector<Key> v(kHosts);
        for (uint32_t h = 0; h < kHosts; ++h) {
            std::memset(v[h].bytes, 0, kKeySize);
            std::snprintf(reinterpret_cast<char *>(v[h].bytes), kHostField,
                          "fileserver-%02u.engineering.corp.example.com", h);
        }
        return v;
    }();
    return fields;
}

// Builds the key of entry `id` as the library builds one: the host field,
// then a SID of kind 2 whose last sub-authority is the id.
inline void make_key(uint32_t id, Key *key)
{
    std::memcpy(key->bytes, host_fields()[id % kHosts].bytes, kHostField);
    unsigned char *sid = key->bytes + kHostField;
    std::memset(sid, 0, kSidSize);
    sid[0] = 28;
    sid[1] = 2;
    const uint32_t sub[7] = {1, 5, 21, 3623811015u, 3361044348u, 30300820u, 1000 + id};
    std::memcpy(sid + 2, sub, sizeof sub);
}

// Host name hash of the cache: shift-xor-add over the name up to its NUL,
// plus an FNV-1a hash of the SID's length, kind and body.
uint32_t key_hash(const void *key)
{
    const unsigned char *p = static_cast<const unsigned char *>(key);
    uint32_t h = 0;
    for (size_t i = 0; i < kHostField && p[i] != 0; ++i)
        h = ((h << 7) ^ p[i]) + h;
    const unsigned char *sid = p + kHostField;
    uint32_t s = 2166136261u;
    const size_t len = 2u + (sid[0] < kSidSize - 2 ? sid[0] : kSidSize - 2);
    for (size_t i = 0; i < len; ++i)
        s = (s ^ sid[i]) * 16777619u;
    return h + s;
}

int key_equal(const void *a, const void *b)
{
    const char *x = static_cast<const char *>(a);
    const char *y = static_cast<const char *>(b);
    return std::strcmp(x, y) == 0 && std::memcmp(x + kHostField, y + kHostField, kSidSize) == 0;
}

// Returns a table of n entries, made on first use and kept for all runs.
fxtab_t table_of(size_t n)
{
    static std::map<size_t, fxtab_t> tables;
    fxtab_t &t = tables[n];
    if (t == nullptr) {
        t = fxtab_create_with_fns(500, kDataSize, 1, kKeySize, key_hash, key_equal);
        Key key;
        for (uint32_t id = 0; id < n; ++id) {
            make_key(id, &key);
            int aux = 0;
            void *slot = nullptr;
            if (fxtab_enter(t, &key, &aux, &slot) == 1)
                std::memcpy(slot, key.bytes + kHostField, kDataSize);
        }
    }
    return t;
}

struct Rng {
    uint64_t x = 0x9E3779B97F4A7C15u;
    // Returns a number below n, near enough uniform.
    uint32_t below(size_t n)
    {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        return static_cast<uint32_t>(((x >> 32) * n) >> 32);
    }
};

// One hit: build the key, look it up, copy the data out, as a cache read does.
inline void lookup_hit(benchmark::State &state, fxtab_t t, uint32_t id)
{
    Key key;
    make_key(id, &key);
    int aux = 0;
    void *slot = nullptr;
    unsigned char out[kDataSize];
    if (fxtab_lookup(t, &key, &aux, &slot) != 1) {
        state.SkipWithError("a key entered was not found");
        return;
    }
    std::memcpy(out, slot, kDataSize);
    benchmark::DoNotOptimize(out);
}

void BM_LookupHotSet(benchmark::State &state)
{
    const size_t n = static_cast<size_t>(state.range(0));
    fxtab_t t = table_of(n);
    Rng rng;
    std::vector<uint32_t> hot(kHotKeys);
    for (uint32_t &id : hot)
        id = rng.below(n);
    size_t i = 0;
    for (auto _ : state) {
        lookup_hit(state, t, hot[i]);
        if (++i == kHotKeys)
            i = 0;
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_LookupUniform(benchmark::State &state)
{
    const size_t n = static_cast<size_t>(state.range(0));
    fxtab_t t = table_of(n);
    Rng rng;
    for (auto _ : state)
        lookup_hit(state, t, rng.below(n));
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_LookupHotSet)->RangeMultiplier(10)->Range(1000, 1000000);
BENCHMARK(BM_LookupUniform)->RangeMultiplier(10)->Range(1000, 1000000);

}  // namespace

BENCHMARK_MAIN();
