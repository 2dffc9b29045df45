// The once-only initialisation of the caches, and the cache dump (on
// request, and at exit when KORVANTIS_CREDMAP_DUMP asks for it).
#include <cstdio>
#include <cstdlib>

#include "credmap_cache.h"
#include "host/exc.h"

std::atomic<int> init_done{0};

namespace {

// The exit routine installed before the library's, called after the dump.
exc_exit_fn credmap_saved_exit_routine = nullptr;

struct TableSpec {
    std::atomic<fxtab_t> *handle;
    unsigned buckets;
    size_t data_size;
    size_t key_size;
    fxtab_hash_fn hash;
    fxtab_keycmp_fn keycmp;
};

// VELMO_CREDMAP_TTL: a positive number of seconds after which entries are
// asked for again; anything else leaves them for the life of the process.
uint32_t read_ttl()
{
    const char *text = std::getenv("VELMO_CREDMAP_TTL");
    if (text == nullptr || *text < '0' || *text > '9')
        return 0;
    char *end = nullptr;
    unsigned long value = std::strtoul(text, &end, 10);
    return *end == '\0' && value <= 0xffffffffu ? static_cast<uint32_t>(value) : 0;
}

void credmap_dump_cache_on_exit(int status)
{
    credmap_dump_cache();
    if (credmap_saved_exit_routine != nullptr)
        credmap_saved_exit_routine(status);
}

void create_tables()
{
    const TableSpec specs[] = {
        {&cmaphost_ht_h, 300, sizeof(credmap_host_rec_t), sizeof(credmap_host_key_t), credmap_hash_lowercase_hostname,
         credmap_keycmp_lowercase_hostname},
        {&cmapsidltor_ht_h, 500, sizeof(idkit_sid_t), sizeof(credmap_sid_key_t), credmap_hash_sid, credmap_keycmp_sid},
        {&cmapsidrtol_ht_h, 500, sizeof(idkit_sid_t), sizeof(credmap_sid_key_t), credmap_hash_sid, credmap_keycmp_sid},
        {&cmaplsidtorid_ht_h, 500, sizeof(credmap_id_rec_t), sizeof(credmap_sid_key_t), credmap_hash_sid,
         credmap_keycmp_sid},
        {&cmapridtolsid_ht_h, 500, sizeof(idkit_sid_t), sizeof(credmap_id_key_t), credmap_hash_id, credmap_keycmp_id},
    };
    for (const auto &t : specs)
        t.handle->store(fxtab_create_with_fns(t.buckets, t.data_size, 1, t.key_size, t.hash, t.keycmp),
                        std::memory_order_release);
}

const char *sid_text(const idkit_sid_t &sid, char *buffer)
{
    return idkit_sid_to_str(&sid, buffer);
}

// Scans one table and prints its entries with `print`; "    Empty" when it
// has none.  Every section ends with an empty line.
template<typename Key, typename Data, typename Print>
void dump_section(const char *heading, std::atomic<fxtab_t> &handle, Print print)
{
    std::puts(heading);
    fxtab_t table = handle.load(std::memory_order_acquire);
    uint64_t cursor = 0;
    Key key;
    Data data;
    bool any = false;
    while (credmap_hash_next(table, &cursor, &key, sizeof key, &data, sizeof data)) {
        print(key, data);
        any = true;
    }
    if (!any)
        std::puts("    Empty");
    std::putchar('\n');
}

void dump_tables()
{
    char a[IDKIT_SID_TEXT_MAX], b[IDKIT_SID_TEXT_MAX];
    dump_section<credmap_host_key_t, credmap_host_rec_t>(
        "Same domain", cmaphost_ht_h, [](const credmap_host_key_t &k, const credmap_host_rec_t &r) {
            std::printf("    %s is %sNT and is %sin my domain (0x%08x)\n", k.host,
                        (r.flags & CREDMAP_HOST_NT) ? "" : "NOT ", (r.flags & CREDMAP_HOST_MY_DOMAIN) ? "" : "NOT ",
                        static_cast<unsigned>(r.stamp));
        });
    dump_section<credmap_sid_key_t, idkit_sid_t>(
        "Credmap SID loc->rmt", cmapsidltor_ht_h, [&](const credmap_sid_key_t &k, const idkit_sid_t &d) {
            std::printf("    %s -> %s:%s\n", sid_text(k.sid, a), k.host, sid_text(d, b));
        });
    dump_section<credmap_sid_key_t, idkit_sid_t>(
        "Credmap SID rmt->loc", cmapsidrtol_ht_h, [&](const credmap_sid_key_t &k, const idkit_sid_t &d) {
            std::printf("    %s:%s -> %s\n", k.host, sid_text(k.sid, a), sid_text(d, b));
        });
    dump_section<credmap_sid_key_t, credmap_id_rec_t>(
        "Credmap l SID->Posix", cmaplsidtorid_ht_h, [&](const credmap_sid_key_t &k, const credmap_id_rec_t &d) {
            std::printf("    %s -> %s:%s-%d (0x%x)\n", sid_text(k.sid, a), k.host, d.is_group ? "GID" : "UID",
                        static_cast<int>(d.id), static_cast<unsigned>(d.id));
        });
    dump_section<credmap_id_key_t, idkit_sid_t>(
        "Credmap r Posix->SID", cmapridtolsid_ht_h, [&](const credmap_id_key_t &k, const idkit_sid_t &d) {
            std::printf("    %s:%s-%d (0x%x) -> %s\n", k.host, k.is_group ? "GID" : "UID", static_cast<int>(k.id),
                        static_cast<unsigned>(k.id), sid_text(d, b));
        });
}

}  // namespace

// The flag is set before the tables exist, so a thread that passes the
// unlocked test meanwhile finds them absent and works without the cache;
// the handles are published with release stores for that reason.
void credmap_init()
{
    CredmapLock lock;
    if (init_done.load(std::memory_order_relaxed) != 0)
        return;
    init_done.store(1, std::memory_order_release);
    create_tables();
    credmap_ttl_seconds.store(read_ttl(), std::memory_order_relaxed);
    const char *dump = std::getenv("KORVANTIS_CREDMAP_DUMP");
    if (dump != nullptr && *dump != '\0')
        credmap_saved_exit_routine = exc_set_exit(credmap_dump_cache_on_exit);
}

extern "C" VELMO_API void credmap_dump_cache(void)
{
    credmap_ensure_init();
    std::puts("\n----------------------- Credmap Table Dump ------------------------------------");
    {
        CredmapLock lock;
        dump_tables();
    }
    std::fflush(stdout);
}
