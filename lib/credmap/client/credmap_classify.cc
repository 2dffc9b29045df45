// Host classification: is a host in my credentials domain (the local host,
// or any host that is not a Windows host), or an NT host whose credentials
// must be mapped?  Asked of the host's location broker once, then cached.
#include <cstring>
#include <ctime>

#include "credmap_cache.h"
#include "host/hostq.h"
#include "host/hubd.h"

int credmap_in_my_credentials_domain(const char *host, int *known_out, int *is_nt_out)
{
    *known_out = 0;
    *is_nt_out = 0;
    if (credmap_host_too_long(host))
        return 0;
    credmap_host_key_t key = credmap_make_host_key(host);
    fxtab_t table = cmaphost_ht_h.load(std::memory_order_acquire);
    credmap_host_rec_t record{};
    if (credmap_hash_lookup(table, &key, &record, sizeof record)) {
        *known_out = 1;
        if ((record.flags & CREDMAP_HOST_NT) == 0)
            return 1;
        *is_nt_out = 1;
        return (record.flags & CREDMAP_HOST_MY_DOMAIN) != 0;
    }

    // Not cached: ask without holding the cache lock.
    bool nt = false;
    if (hostq_is_localhost(host) == 0) {
        hubd_hostinfo_t info;
        if (hubd_hostinfo(host, &info) != 0)
            return 0;
        nt = info.os_name != nullptr && std::strncmp(info.os_name, "Windows", 7) == 0;
        hubd_hostinfo_free(info);
    }
    *known_out = 1;
    *is_nt_out = nt ? 1 : 0;
    record = credmap_host_rec_t{};
    record.flags = nt ? CREDMAP_HOST_NT : CREDMAP_HOST_MY_DOMAIN;
    record.stamp = time(nullptr);
    credmap_hash_enter(table, &key, &record, sizeof record);
    return nt ? 0 : 1;
}
