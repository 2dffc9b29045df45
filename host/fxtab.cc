// Hash table service: chained tables of fixed-size keys and data.
//
// Entries live in arena chunks that are never moved or freed before the
// table is, so a data pointer handed out once stays valid for the life of the
// table.  The chunks, taken in order, are also the creation order that a scan
// walks: entry i sits at a position computed from i alone.
//
// The bucket array doubles when the table holds as many entries as buckets,
// which keeps chains at about one entry.  Doubling is incremental: while it
// runs there are two bucket arrays, and every enter or lookup moves a few
// buckets from the old one to the new one, so no single call pays for
// rehashing the whole table.
#include "host/fxtab.h"

#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <vector>

namespace {

// Every entry starts with this header; the key follows, then the data, each
// on an 8-byte boundary so that callers may keep 64-bit fields in them.
struct Entry {
    Entry *next;
    uint32_t hash;
    uint32_t stamp;  // when the entry was last entered (fxtab_stamp)
};

constexpr size_t kAlign = 8;
constexpr size_t kHeaderSize = (sizeof(Entry) + kAlign - 1) & ~(kAlign - 1);
// Sizes above this are refused so that the entry size cannot overflow.
constexpr size_t kMaxFieldSize = size_t{1} << 24;

// Bucket arrays hold 2^bits heads.  A 32-bit hash cannot spread entries over
// more than 2^32 buckets; well below that the array itself is the problem.
constexpr unsigned kMinBucketBits = 3;
constexpr unsigned kMaxBucketBits = 30;
// A large starting size is honoured only up to here; growth does the rest.
constexpr unsigned kMaxStartBits = 20;

// Bucket slots moved from the old array by each enter or lookup during a
// resize.  The resize starts when the entry count equals the old size, and
// the next one cannot start before this one ends, so any step of at least one
// slot finishes it in time; a few more finish it sooner.
constexpr size_t kRehashSlotsPerStep = 4;

// Chunks start at 8 entries and double up to about this many bytes, then stay
// at that size, so small tables stay small and large ones make few chunks.
constexpr unsigned kFirstChunkBits = 3;
constexpr size_t kMaxChunkBytes = size_t{1} << 20;

struct BucketArray {
    Entry **heads = nullptr;
    unsigned bits = 0;
};

}  // namespace

struct fxtab {
    size_t key_size;
    size_t data_size;
    size_t data_offset;
    size_t entry_size;
    fxtab_hash_fn hash_fn;
    fxtab_keycmp_fn keycmp_fn;

    // arrays[0] is the table; arrays[1] is non-null only while a resize moves
    // the entries of arrays[0] into it, bucket by bucket from rehash_index.
    BucketArray arrays[2];
    size_t rehash_index;
    // Entry count at which the next resize is tried.
    size_t grow_at;

    size_t count;
    size_t max_entries;

    // Chunk k holds 2^(kFirstChunkBits + k) entries until that reaches
    // 2^max_chunk_bits; every later chunk holds 2^max_chunk_bits.
    std::vector<char *> chunks;
    unsigned max_chunk_bits;
};

namespace {

// Returns the entry cap from VELMO_FXTAB_MAX_ENTRIES, or the default when the
// variable is unset or not a positive decimal integer.
size_t read_max_entries()
{
    const char *text = std::getenv("VELMO_FXTAB_MAX_ENTRIES");
    if (text == nullptr || *text < '0' || *text > '9')
        return FXTAB_DEFAULT_MAX_ENTRIES;
    char *end = nullptr;
    errno = 0;
    unsigned long long value = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || value == 0 || value > SIZE_MAX)
        return FXTAB_DEFAULT_MAX_ENTRIES;
    return static_cast<size_t>(value);
}

// Returns the entry cap, reading the environment on the first call only, so
// that every table of the process has the same cap.
size_t max_entries()
{
    static const size_t cap = read_max_entries();
    return cap;
}

size_t round_up(size_t n)
{
    return (n + kAlign - 1) & ~(kAlign - 1);
}

// Returns the bucket of `hash` in an array of 2^bits buckets.  Multiplying by
// an odd constant and keeping the top bits spreads hashes whose low bits are
// poor, which simple string hashes often have.
inline size_t bucket_of(uint32_t hash, unsigned bits)
{
    return static_cast<uint32_t>(hash * 0x9E3779B9u) >> (32 - bits);
}

inline void *key_of(Entry *e)
{
    return reinterpret_cast<char *>(e) + kHeaderSize;
}

inline void *data_of(const fxtab *t, Entry *e)
{
    return reinterpret_cast<char *>(e) + t->data_offset;
}

// Returns a zeroed array of 2^bits heads, or null when there is no memory.
Entry **new_heads(unsigned bits)
{
    return static_cast<Entry **>(std::calloc(size_t{1} << bits, sizeof(Entry *)));
}

// Returns the entry found in `chain` for `key`, or null.  The stored hash is
// compared first so that the key function runs only on likely matches.
inline Entry *find_in_chain(const fxtab *t, Entry *chain, uint32_t hash, const void *key)
{
    for (Entry *e = chain; e != nullptr; e = e->next) {
        if (e->hash == hash && t->keycmp_fn(key_of(e), key))
            return e;
    }
    return nullptr;
}

// Returns the entry for `key`, looking in both arrays during a resize.
inline Entry *find(const fxtab *t, uint32_t hash, const void *key)
{
    const BucketArray &old = t->arrays[0];
    Entry *e = find_in_chain(t, old.heads[bucket_of(hash, old.bits)], hash, key);
    if (e == nullptr && t->arrays[1].heads != nullptr) {
        const BucketArray &grown = t->arrays[1];
        e = find_in_chain(t, grown.heads[bucket_of(hash, grown.bits)], hash, key);
    }
    return e;
}

// Moves up to kRehashSlotsPerStep buckets of the old array into the new one
// and, when the old array is empty, makes the new one the table.
void rehash_step(fxtab *t)
{
    BucketArray &old = t->arrays[0];
    BucketArray &grown = t->arrays[1];
    const size_t old_size = size_t{1} << old.bits;
    for (size_t n = 0; n < kRehashSlotsPerStep && t->rehash_index < old_size; ++n) {
        Entry *e = old.heads[t->rehash_index];
        old.heads[t->rehash_index++] = nullptr;
        while (e != nullptr) {
            Entry *next = e->next;
            Entry **head = &grown.heads[bucket_of(e->hash, grown.bits)];
            e->next = *head;
            *head = e;
            e = next;
        }
    }
    if (t->rehash_index == old_size) {
        std::free(old.heads);
        old = grown;
        grown = BucketArray{};
        t->rehash_index = 0;
    }
}

// Starts a resize when the table holds as many entries as buckets.  This is
// the one place that decides growth.  When the bigger array cannot be had the
// table goes on with longer chains and tries again after as many entries
// again as it has buckets.
void grow_if_needed(fxtab *t)
{
    if (t->arrays[1].heads != nullptr || t->count < t->grow_at)
        return;
    const unsigned bits = t->arrays[0].bits;
    if (bits >= kMaxBucketBits) {
        t->grow_at = SIZE_MAX;
        return;
    }
    Entry **heads = new_heads(bits + 1);
    if (heads == nullptr) {
        t->grow_at = t->count + (size_t{1} << bits);
        return;
    }
    t->arrays[1] = BucketArray{heads, bits + 1};
    t->rehash_index = 0;
    t->grow_at = size_t{1} << (bits + 1);
}

// Returns the number of entries chunk k holds.
size_t chunk_entries(const fxtab *t, size_t k)
{
    const size_t geometric = t->max_chunk_bits - kFirstChunkBits;
    if (k < geometric)
        return size_t{1} << (kFirstChunkBits + k);
    return size_t{1} << t->max_chunk_bits;
}

// Returns the chunk and the position inside it of the entry made i-th.  The
// first chunks double in size, so chunk k starts at 8 * (2^k - 1); the rest
// all have the largest size.
void locate(const fxtab *t, size_t i, size_t *chunk, size_t *offset)
{
    const size_t geometric = t->max_chunk_bits - kFirstChunkBits;
    const size_t geometric_total = (size_t{1} << t->max_chunk_bits) - (size_t{1} << kFirstChunkBits);
    if (i < geometric_total) {
        const size_t q = (i >> kFirstChunkBits) + 1;
        const size_t k = static_cast<size_t>(std::bit_width(q)) - 1;
        *chunk = k;
        *offset = i - (((size_t{1} << k) - 1) << kFirstChunkBits);
        return;
    }
    const size_t j = i - geometric_total;
    *chunk = geometric + (j >> t->max_chunk_bits);
    *offset = j & ((size_t{1} << t->max_chunk_bits) - 1);
}

Entry *entry_at(const fxtab *t, size_t i)
{
    size_t chunk = 0;
    size_t offset = 0;
    locate(t, i, &chunk, &offset);
    return reinterpret_cast<Entry *>(t->chunks[chunk] + offset * t->entry_size);
}

// Returns storage for the next entry in creation order, adding a chunk when
// the last one is full, or null when there is no memory.
Entry *new_entry(fxtab *t)
{
    size_t chunk = 0;
    size_t offset = 0;
    locate(t, t->count, &chunk, &offset);
    if (chunk == t->chunks.size()) {
        char *memory = static_cast<char *>(std::malloc(chunk_entries(t, chunk) * t->entry_size));
        if (memory == nullptr)
            return nullptr;
        try {
            t->chunks.push_back(memory);
        } catch (const std::bad_alloc &) {
            std::free(memory);
            return nullptr;
        }
    }
    return reinterpret_cast<Entry *>(t->chunks[chunk] + offset * t->entry_size);
}

unsigned start_bits(unsigned buckets)
{
    unsigned bits = kMinBucketBits;
    while (bits < kMaxStartBits && (size_t{1} << bits) < buckets)
        ++bits;
    return bits;
}

unsigned chunk_bits(size_t entry_size)
{
    unsigned bits = kFirstChunkBits;
    while ((entry_size << (bits + 1)) <= kMaxChunkBytes)
        ++bits;
    return bits;
}

// Seconds by the coarse real-time clock: a few nanoseconds to read.
uint32_t now_seconds()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME_COARSE, &now);
    return static_cast<uint32_t>(now.tv_sec);
}

// Makes the bucket arrays anew from the entries, after a compaction.
void rebuild_buckets(fxtab *t)
{
    while (t->arrays[1].heads != nullptr)
        rehash_step(t);
    BucketArray &a = t->arrays[0];
    std::memset(a.heads, 0, (size_t{1} << a.bits) * sizeof(Entry *));
    for (size_t i = 0; i < t->count; ++i) {
        Entry *e = entry_at(t, i);
        Entry **head = &a.heads[bucket_of(e->hash, a.bits)];
        e->next = *head;
        *head = e;
    }
}

// Sets the out-arguments of a call that found or made nothing.
void report_none(int *aux, void **slot)
{
    if (aux != nullptr)
        *aux = 0;
    if (slot != nullptr)
        *slot = nullptr;
}

}  // namespace

extern "C" {

VELMO_API fxtab_t fxtab_create_with_fns(unsigned int buckets, size_t data_size, int flags, size_t key_size,
                                        fxtab_hash_fn hash_fn, fxtab_keycmp_fn keycmp_fn)
{
    (void)flags;
    if (key_size == 0 || key_size > kMaxFieldSize || data_size > kMaxFieldSize || hash_fn == nullptr ||
        keycmp_fn == nullptr)
        return nullptr;
    fxtab *t = new (std::nothrow) fxtab{};
    if (t == nullptr)
        return nullptr;
    t->key_size = key_size;
    t->data_size = data_size;
    t->data_offset = kHeaderSize + round_up(key_size);
    t->entry_size = t->data_offset + round_up(data_size);
    t->hash_fn = hash_fn;
    t->keycmp_fn = keycmp_fn;
    t->max_entries = max_entries();
    t->max_chunk_bits = chunk_bits(t->entry_size);
    const unsigned bits = start_bits(buckets);
    t->arrays[0] = BucketArray{new_heads(bits), bits};
    t->grow_at = size_t{1} << bits;
    if (t->arrays[0].heads == nullptr) {
        delete t;
        return nullptr;
    }
    return t;
}

VELMO_API int fxtab_enter(fxtab_t table, const void *key, int *aux, void **slot)
{
    report_none(aux, slot);
    if (table == nullptr || key == nullptr || slot == nullptr)
        return 0;
    if (table->arrays[1].heads != nullptr)
        rehash_step(table);
    const uint32_t hash = table->hash_fn(key);
    if (Entry *e = find(table, hash, key)) {
        e->stamp = now_seconds();
        *slot = data_of(table, e);
        return 1;
    }
    if (table->count >= table->max_entries)
        return 0;
    grow_if_needed(table);
    Entry *e = new_entry(table);
    if (e == nullptr)
        return 0;
    e->hash = hash;
    e->stamp = now_seconds();
    std::memcpy(key_of(e), key, table->key_size);
    std::memset(data_of(table, e), 0, table->data_size);
    BucketArray &target = table->arrays[table->arrays[1].heads != nullptr ? 1 : 0];
    Entry **head = &target.heads[bucket_of(hash, target.bits)];
    e->next = *head;
    *head = e;
    ++table->count;
    if (aux != nullptr)
        *aux = 1;
    *slot = data_of(table, e);
    return 1;
}

VELMO_API int fxtab_lookup(fxtab_t table, const void *key, int *aux, void **slot)
{
    if (table == nullptr || key == nullptr) {
        report_none(aux, slot);
        return 0;
    }
    return fxtab_lookup_hashed(table, key, table->hash_fn(key), aux, slot);
}

VELMO_API int fxtab_lookup_hashed(fxtab_t table, const void *key, uint32_t hash, int *aux, void **slot)
{
    report_none(aux, slot);
    if (table == nullptr || key == nullptr || slot == nullptr)
        return 0;
    if (table->arrays[1].heads != nullptr)
        rehash_step(table);
    Entry *e = find(table, hash, key);
    if (e == nullptr)
        return 0;
    *slot = data_of(table, e);
    return 1;
}

VELMO_API size_t fxtab_remove_if(fxtab_t table, int (*remove)(const void *key, void *context), void *context)
{
    if (table == nullptr || remove == nullptr)
        return 0;
    // A resize in progress is finished first: entries are about to move.
    while (table->arrays[1].heads != nullptr)
        rehash_step(table);
    size_t kept = 0;
    for (size_t i = 0; i < table->count; ++i) {
        Entry *e = entry_at(table, i);
        if (remove(key_of(e), context))
            continue;
        if (kept != i)
            std::memcpy(entry_at(table, kept), e, table->entry_size);
        ++kept;
    }
    size_t removed = table->count - kept;
    table->count = kept;
    if (removed != 0)
        rebuild_buckets(table);
    return removed;
}

VELMO_API uint32_t fxtab_stamp(fxtab_t table, const void *slot)
{
    if (table == nullptr || slot == nullptr)
        return 0;
    auto *e = reinterpret_cast<const Entry *>(static_cast<const char *>(slot) - table->data_offset);
    return e->stamp;
}

VELMO_API size_t fxtab_bytes(fxtab_t table)
{
    if (table == nullptr)
        return 0;
    size_t bytes = sizeof(fxtab);
    for (size_t k = 0; k < table->chunks.size(); ++k)
        bytes += chunk_entries(table, k) * table->entry_size;
    for (const auto &a : table->arrays)
        if (a.heads != nullptr)
            bytes += (size_t{1} << a.bits) * sizeof(Entry *);
    return bytes;
}

VELMO_API int fxtab_next(fxtab_t table, uint64_t *cursor, void **key_ptr, void **data_ptr)
{
    if (key_ptr != nullptr)
        *key_ptr = nullptr;
    if (data_ptr != nullptr)
        *data_ptr = nullptr;
    if (table == nullptr || cursor == nullptr || key_ptr == nullptr || data_ptr == nullptr)
        return 0;
    if (*cursor >= table->count)
        return 1;
    Entry *e = entry_at(table, static_cast<size_t>(*cursor));
    *key_ptr = key_of(e);
    *data_ptr = data_of(table, e);
    ++*cursor;
    return 1;
}

VELMO_API void fxtab_term_scan(uint64_t *cursor)
{
    if (cursor != nullptr)
        *cursor = 0;
}

VELMO_API size_t fxtab_count(fxtab_t table)
{
    return table == nullptr ? 0 : table->count;
}

VELMO_API void fxtab_destroy(fxtab_t table)
{
    if (table == nullptr)
        return;
    for (char *chunk : table->chunks)
        std::free(chunk);
    std::free(table->arrays[0].heads);
    std::free(table->arrays[1].heads);
    delete table;
}

}  // extern "C"
