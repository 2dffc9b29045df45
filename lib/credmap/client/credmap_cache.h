// Private to the library: the mapping caches.  Seven process-wide hash
// tables keyed by a remote host's name with a SID, a POSIX id or a name,
// one lock over all of them, and the steps the mappings share.
#ifndef CREDMAP_CLIENT_CREDMAP_CACHE_H
#define CREDMAP_CLIENT_CREDMAP_CACHE_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "host/fxtab.h"
#include "host/idkit.h"
#include "host/mthread.h"
#include "velmo/credmap.h"

// Host names longer than this bypass the caches.
constexpr size_t CREDMAP_HOST_MAX = 65;
constexpr size_t CREDMAP_HOST_FIELD = 66;

// Key layouts (integers in host byte order; uncovered bytes zero).
struct credmap_host_key_t {
    char host[CREDMAP_HOST_FIELD];
};

struct credmap_sid_key_t {
    char host[CREDMAP_HOST_FIELD];
    idkit_sid_t sid;
};

struct credmap_id_key_t {
    char host[CREDMAP_HOST_FIELD];
    uint8_t zero[6];
    uint64_t id;
    uint8_t is_group;
    uint8_t pad[7];
};

struct credmap_name_key_t {
    char name[256];
    uint8_t flag;
};

static_assert(sizeof(credmap_host_key_t) == 66);
static_assert(sizeof(credmap_sid_key_t) == 100);
static_assert(sizeof(credmap_id_key_t) == 88 && offsetof(credmap_id_key_t, id) == 72 &&
              offsetof(credmap_id_key_t, is_group) == 80);
static_assert(sizeof(credmap_name_key_t) == 257);

// Host record (data of the host table).
constexpr uint8_t CREDMAP_HOST_NT = 1;         // an NT (Windows) host
constexpr uint8_t CREDMAP_HOST_MY_DOMAIN = 2;  // in my credentials domain

struct credmap_host_rec_t {
    uint8_t flags;
    uint8_t unused[7];
    int64_t stamp;
};

// POSIX id record (data of the local-SID-to-POSIX-id table).
struct credmap_id_rec_t {
    uint64_t id;
    uint8_t is_group;
    uint8_t unused[7];
};

static_assert(sizeof(credmap_host_rec_t) == 16 && sizeof(credmap_id_rec_t) == 16);

// The table handles: null until the initialisation made them; read and
// written as atomics so that a thread sees a table whole or not at all.
extern std::atomic<fxtab_t> cmaphost_ht_h;
extern std::atomic<fxtab_t> cmapsidltor_ht_h;
extern std::atomic<fxtab_t> cmapsidrtol_ht_h;
extern std::atomic<fxtab_t> cmaplsidtorid_ht_h;
extern std::atomic<fxtab_t> cmapridtolsid_ht_h;
extern std::atomic<fxtab_t> cmapsidrtolname_ht_h;
extern std::atomic<fxtab_t> cmapnametosid_ht_h;

extern std::atomic<int> init_done;
extern mthread_mutex_t credmap_mutex;

// Holds credmap_mutex for a scope.
class CredmapLock {
public:
    CredmapLock() { mthread_mutex_lock(&credmap_mutex); }
    ~CredmapLock() { mthread_mutex_unlock(&credmap_mutex); }
    CredmapLock(const CredmapLock &) = delete;
    CredmapLock &operator=(const CredmapLock &) = delete;
};

// Creates the tables once per process (and installs the dump at exit when
// KORVANTIS_CREDMAP_DUMP asks for it).
void credmap_init();
// The fast test every entry point makes first.
inline void credmap_ensure_init()
{
    if (init_done.load(std::memory_order_acquire) == 0)
        credmap_init();
}

size_t credmap_get_size(fxtab_t hash_h, bool want_data);

// What a table has done since the process started (see credmap_cache_stats).
struct credmap_table_counters_t {
    uint64_t lookups, hits, misses, expired, entered;
};
// A copy of a table's counters; the caller holds credmap_mutex.
credmap_table_counters_t credmap_table_counters(fxtab_t hash_h);
// Entries older than this many seconds are misses (0: none expire); set
// once, by the initialisation, from VELMO_CREDMAP_TTL.
extern std::atomic<uint32_t> credmap_ttl_seconds;
bool credmap_host_too_long(const char *host);
credmap_id_key_t credmap_make_key(const char *host, uint64_t id, bool is_group);
credmap_sid_key_t credmap_make_sid_key(const char *host, const idkit_sid_t &sid);
credmap_host_key_t credmap_make_host_key(const char *host);

bool credmap_hash_enter(fxtab_t hash_h, const void *key, const void *data, size_t data_len);
bool credmap_hash_lookup(fxtab_t hash_h, const void *key, void *data_out, size_t data_len);
// The same with the key's hash known (see credmap_sid_key_hash).
bool credmap_hash_lookup_hashed(fxtab_t hash_h, const void *key, uint32_t hash, void *data_out, size_t data_len);
// The hash of a SID key from the hash of its host field: a set hashes its
// host once for all of its SIDs.
inline uint32_t credmap_sid_key_hash(uint32_t host_hash, const idkit_sid_t &sid)
{
    return host_hash + idkit_sid_hash_fn(&sid);
}
bool credmap_hash_next(fxtab_t hash_h, uint64_t *cursor, void *key_out, size_t key_len, void *data_out,
                       size_t data_len);

int sid_compare(const void *a, const void *b);
int gid_compare(const void *a, const void *b);
char *credmap_strip_domain(const char *name);

// Host classification: 1 when the host is in my credentials domain.
int credmap_in_my_credentials_domain(const char *host, int *known_out, int *is_nt_out);

// The special SIDs (nobody, don't care) are never keys and map to themselves.
inline bool credmap_sid_special(const idkit_sid_t &sid)
{
    return sid.kind == IDKIT_SID_KIND_NOBODY || sid.kind == IDKIT_SID_KIND_DONTCARE;
}

inline const idkit_sid_t &credmap_special_of(const idkit_sid_t &sid)
{
    return sid.kind == IDKIT_SID_KIND_NOBODY ? IDKIT_SID_NOBODY : IDKIT_SID_DONTCARE;
}

// The parts of a SID set, whichever record holds them (fixed-size or whole).
struct credmap_sid_view {
    const idkit_sid_t *user;
    const idkit_sid_t *group;
    uint32_t ngroups;
    const idkit_sid_t *groups;
};

inline credmap_sid_view credmap_view(const idkit_sid_credentials_t &set)
{
    return {&set.user, &set.group, set.ngroups, set.groups};
}

inline credmap_sid_view credmap_view(const idkit_whole_credentials_t &set)
{
    return {&set.user, &set.group, set.ngroups > 0 ? static_cast<uint32_t>(set.ngroups) : 0u, set.groups};
}

// The cache steps of the mappings.
int credmap_map_sid_parts_via_cache(const char *host, int local_to_remote, int map_all, const idkit_sid_t *user,
                                    const idkit_sid_t *group, uint32_t ngroups, const idkit_sid_t *groups,
                                    idkit_sid_t *mapped_user, idkit_sid_t *mapped_group, uint32_t *mapped_ngroups,
                                    idkit_sid_t *mapped_groups);
int credmap_map_via_cache(const char *host, const idkit_sid_credentials_t *sid_creds, idkit_credentials_t *creds);
void credmap_enter_sid(const char *host, const idkit_sid_t *local_sid, const idkit_sid_t *remote_sid,
                       int local_to_remote);
// Enters the pairs of a mapped set into the SID table of the direction: the
// user, the primary group, then each group below both counts.  A group
// equal to a real primary group was entered with it; a group whose key SID
// is special is never entered.
void credmap_enter_set(const char *host, const credmap_sid_view &local, const credmap_sid_view &remote,
                       int local_to_remote);
// Where `from` holds a special SID, `to` gets the same special SID back,
// whatever a server answered: the user, the group and the first `count`
// groups.
void credmap_repair_specials(const credmap_sid_view &from, idkit_sid_t *user, idkit_sid_t *group,
                             idkit_sid_t *groups, uint32_t count);

#endif
