// The cache tables: handles, sizes, keys, hash and key-equality functions,
// and the three table operations with their locking rules.
#include "credmap_cache.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "host/exc.h"
#include "host/txt.h"

std::atomic<fxtab_t> cmaphost_ht_h{nullptr};
std::atomic<fxtab_t> cmapsidltor_ht_h{nullptr};
std::atomic<fxtab_t> cmapsidrtol_ht_h{nullptr};
std::atomic<fxtab_t> cmaplsidtorid_ht_h{nullptr};
std::atomic<fxtab_t> cmapridtolsid_ht_h{nullptr};
// Declared for the name caches, which are never made: always null.
std::atomic<fxtab_t> cmapsidrtolname_ht_h{nullptr};
std::atomic<fxtab_t> cmapnametosid_ht_h{nullptr};

mthread_mutex_t credmap_mutex = MTHREAD_MUTEX_INITIALIZER;

namespace {

struct SizeRow {
    std::atomic<fxtab_t> *handle;
    size_t key_size;
    size_t data_size;
};

// Key and data sizes of the tables, in the order of their rows, ended by a
// row of zeros.
const SizeRow hash_data_size[] = {
    {&cmaphost_ht_h, sizeof(credmap_host_key_t), sizeof(credmap_host_rec_t)},
    {&cmapsidltor_ht_h, sizeof(credmap_sid_key_t), sizeof(idkit_sid_t)},
    {&cmapsidrtol_ht_h, sizeof(credmap_sid_key_t), sizeof(idkit_sid_t)},
    {&cmaplsidtorid_ht_h, sizeof(credmap_sid_key_t), sizeof(credmap_id_rec_t)},
    {&cmapridtolsid_ht_h, sizeof(credmap_id_key_t), sizeof(idkit_sid_t)},
    {&cmapsidrtolname_ht_h, sizeof(credmap_sid_key_t), 256},
    {&cmapnametosid_ht_h, sizeof(credmap_name_key_t), sizeof(idkit_sid_t)},
    {nullptr, 0, 0},
};

// The host name field that begins every key: zeroed, then the name in
// lower case, cut to 65 characters and NUL-terminated.
void fill_host_field(char (&field)[CREDMAP_HOST_FIELD], const char *host)
{
    std::memset(field, 0, sizeof field);
    txt_cvt_case_string(host, TXT_CASE_LOWER, sizeof field, field);
}

uint32_t hash_bytes(const unsigned char *s, bool fold)
{
    uint32_t h = 0;
    for (; *s != '\0'; ++s) {
        uint32_t c = fold ? static_cast<unsigned char>(std::tolower(*s)) : *s;
        h = ((h << 7) ^ c) + h;
    }
    return h;
}

// What each table has done: counted under credmap_mutex, where the lookup
// or entry runs anyway, so that counting costs no atomic operation.
credmap_table_counters_t table_counters[sizeof hash_data_size / sizeof hash_data_size[0]];

// The row of a table, or null.
const SizeRow *row_of(fxtab_t hash_h)
{
    for (const SizeRow *row = hash_data_size; row->handle != nullptr; ++row)
        if (row->handle->load(std::memory_order_acquire) == hash_h)
            return row;
    return nullptr;
}

credmap_table_counters_t &counters_of(const SizeRow *row)
{
    return table_counters[row - hash_data_size];
}

}  // namespace

std::atomic<uint32_t> credmap_ttl_seconds{0};

size_t credmap_get_size(fxtab_t hash_h, bool want_data)
{
    const SizeRow *row = row_of(hash_h);
    return row == nullptr ? 0 : (want_data ? row->data_size : row->key_size);
}

credmap_table_counters_t credmap_table_counters(fxtab_t hash_h)
{
    const SizeRow *row = row_of(hash_h);
    return row == nullptr ? credmap_table_counters_t{} : counters_of(row);
}

bool credmap_host_too_long(const char *host)
{
    return host == nullptr || std::strlen(host) > CREDMAP_HOST_MAX;
}

credmap_host_key_t credmap_make_host_key(const char *host)
{
    credmap_host_key_t key;
    fill_host_field(key.host, host);
    return key;
}

credmap_sid_key_t credmap_make_sid_key(const char *host, const idkit_sid_t &sid)
{
    credmap_sid_key_t key;
    fill_host_field(key.host, host);
    key.sid = sid;
    return key;
}

credmap_id_key_t credmap_make_key(const char *host, uint64_t id, bool is_group)
{
    credmap_id_key_t key;
    std::memset(&key, 0, sizeof key);
    fill_host_field(key.host, host);
    key.id = id;
    key.is_group = is_group ? 1 : 0;
    return key;
}

bool credmap_hash_enter(fxtab_t hash_h, const void *key, const void *data, size_t data_len)
{
    if (hash_h == nullptr)
        return false;
    CredmapLock lock;
    int aux;
    void *slot = nullptr;
    fxtab_enter(hash_h, key, &aux, &slot);
    if (slot == nullptr)
        return false;
    const SizeRow *row = row_of(hash_h);
    if (row == nullptr || data_len > row->data_size)
        exc_assert_fail("data_len <= credmap_get_size(hash_h, TRUE)", "lib/credmap/client/credmap", 396);
    std::memcpy(slot, data, data_len);
    ++counters_of(row).entered;
    return true;
}

namespace {

// One lookup under the lock, with the key's hash when the caller has it.
// With an expiry time set, an entry older than it is a miss.
bool lookup(fxtab_t hash_h, const void *key, const uint32_t *hash, void *data_out, size_t data_len)
{
    if (hash_h == nullptr)
        return false;
    uint32_t ttl = credmap_ttl_seconds.load(std::memory_order_relaxed);
    CredmapLock lock;
    const SizeRow *row = row_of(hash_h);
    if (row == nullptr)
        return false;
    credmap_table_counters_t &counted = counters_of(row);
    ++counted.lookups;
    int aux;
    void *slot = nullptr;
    int found = hash != nullptr ? fxtab_lookup_hashed(hash_h, key, *hash, &aux, &slot)
                                : fxtab_lookup(hash_h, key, &aux, &slot);
    if (found == 0 || slot == nullptr) {
        ++counted.misses;
        return false;
    }
    if (ttl != 0 && static_cast<uint32_t>(time(nullptr)) - fxtab_stamp(hash_h, slot) >= ttl) {
        ++counted.expired;
        ++counted.misses;
        return false;
    }
    ++counted.hits;
    std::memcpy(data_out, slot, data_len < row->data_size ? data_len : row->data_size);
    return true;
}

}  // namespace

bool credmap_hash_lookup(fxtab_t hash_h, const void *key, void *data_out, size_t data_len)
{
    return lookup(hash_h, key, nullptr, data_out, data_len);
}

bool credmap_hash_lookup_hashed(fxtab_t hash_h, const void *key, uint32_t hash, void *data_out, size_t data_len)
{
    return lookup(hash_h, key, &hash, data_out, data_len);
}

// The caller (the dump) holds credmap_mutex for the whole scan.
bool credmap_hash_next(fxtab_t hash_h, uint64_t *cursor, void *key_out, size_t key_len, void *data_out, size_t data_len)
{
    if (hash_h == nullptr)
        return false;
    void *key_ptr = nullptr, *data_ptr = nullptr;
    if (fxtab_next(hash_h, cursor, &key_ptr, &data_ptr) == 0)
        return false;
    if (data_ptr == nullptr) {
        fxtab_term_scan(cursor);
        return false;
    }
    size_t key_size = credmap_get_size(hash_h, false), data_size = credmap_get_size(hash_h, true);
    std::memcpy(key_out, key_ptr, key_len < key_size ? key_len : key_size);
    std::memcpy(data_out, data_ptr, data_len < data_size ? data_len : data_size);
    return true;
}

int gid_compare(const void *a, const void *b)
{
    uint64_t x = *static_cast<const uint64_t *>(a), y = *static_cast<const uint64_t *>(b);
    return x < y ? -1 : (x > y ? 1 : 0);
}

// Larger kinds first (real SIDs, then don't-care, then nobody), longer SIDs
// first within a kind, then the bodies bytewise.
int sid_compare(const void *a, const void *b)
{
    auto *x = static_cast<const idkit_sid_t *>(a);
    auto *y = static_cast<const idkit_sid_t *>(b);
    if (x == y || idkit_sid_eq(x, y))
        return 0;
    if (x->kind != y->kind)
        return x->kind > y->kind ? -1 : 1;
    if (x->length != y->length)
        return x->length > y->length ? -1 : 1;
    size_t length = x->length < IDKIT_SID_BODY_MAX ? x->length : IDKIT_SID_BODY_MAX;
    return std::memcmp(x->body, y->body, length);
}

char *credmap_strip_domain(const char *name)
{
    if (name == nullptr || *name == '\0')
        return nullptr;
    size_t position = 0;
    int found = 0;
    if (txt_find_char_from(name, 0, "/\\", &position, &found) != 0 && found) {
        if (name[position + 1] == '\0')
            return nullptr;
        return strdup(name + position + 1);
    }
    return strdup(name);
}

extern "C" {

VELMO_API uint32_t credmap_hash_lowercase_hostname(const void *key)
{
    return hash_bytes(static_cast<const unsigned char *>(key), false);
}

// Byte-identical fields are equal in every locale; only others are handed
// to strcoll, which costs several times a whole lookup in a UTF-8 locale.
VELMO_API int credmap_keycmp_lowercase_hostname(const void *a, const void *b)
{
    auto *x = static_cast<const char *>(a);
    auto *y = static_cast<const char *>(b);
    if (std::strcmp(x, y) == 0)
        return 1;
    return std::strcoll(x, y) == 0 ? 1 : 0;
}

VELMO_API uint32_t credmap_hash_id(const void *key)
{
    auto *k = static_cast<const credmap_id_key_t *>(key);
    return credmap_hash_lowercase_hostname(k->host) + static_cast<uint32_t>(k->id);
}

VELMO_API int credmap_keycmp_id(const void *a, const void *b)
{
    auto *x = static_cast<const credmap_id_key_t *>(a);
    auto *y = static_cast<const credmap_id_key_t *>(b);
    return credmap_keycmp_lowercase_hostname(x->host, y->host) && x->is_group == y->is_group && x->id == y->id;
}

VELMO_API uint32_t credmap_hash_sid(const void *key)
{
    auto *k = static_cast<const credmap_sid_key_t *>(key);
    return credmap_sid_key_hash(credmap_hash_lowercase_hostname(k->host), k->sid);
}

VELMO_API int credmap_keycmp_sid(const void *a, const void *b)
{
    auto *x = static_cast<const credmap_sid_key_t *>(a);
    auto *y = static_cast<const credmap_sid_key_t *>(b);
    return credmap_keycmp_lowercase_hostname(x->host, y->host) && idkit_sid_keycmp_fn(&x->sid, &y->sid) ? 1 : 0;
}

VELMO_API uint32_t credmap_hash_value_from_name(const char *name)
{
    return hash_bytes(reinterpret_cast<const unsigned char *>(name), true);
}

VELMO_API uint32_t credmap_hash_name(const void *key)
{
    return credmap_hash_value_from_name(static_cast<const char *>(key));
}

VELMO_API int credmap_keycmp_name(const void *a, const void *b)
{
    auto *x = static_cast<const credmap_name_key_t *>(a);
    auto *y = static_cast<const credmap_name_key_t *>(b);
    return strcasecmp(x->name, y->name) == 0 && x->flag == y->flag ? 1 : 0;
}
}
