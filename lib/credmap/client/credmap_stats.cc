// Cache statistics, flushing, and the count of exchanges with servers: what
// an operator of a long-running host process needs to see and to do.
#include <chrono>
#include <cstring>
#include <mutex>

#include "credmap_cache.h"
#include "credmap_stats.h"

namespace {

// Exchanges are counted off the cached path: atomics, and a lock for the
// rare failure.
std::atomic<uint64_t> exchanges{0}, exchanges_failed{0}, wait_ns{0};
std::mutex failures_lock;
credmap_status_count_t failures[CREDMAP_STATS_STATUSES];

void count_failure(core_status_t status)
{
    std::lock_guard<std::mutex> lock(failures_lock);
    for (auto &row : failures) {
        bool last = &row == &failures[CREDMAP_STATS_STATUSES - 1];
        if (row.count != 0 && row.status != status && !last)
            continue;
        row.status = last ? 0 : status;
        ++row.count;
        return;
    }
}

struct TableRow {
    std::atomic<fxtab_t> *handle;
    const char *name;
};

const TableRow kTables[CREDMAP_CACHE_TABLES] = {
    {&cmaphost_ht_h, "Same domain"},
    {&cmapsidltor_ht_h, "Credmap SID loc->rmt"},
    {&cmapsidrtol_ht_h, "Credmap SID rmt->loc"},
    {&cmaplsidtorid_ht_h, "Credmap l SID->Posix"},
    {&cmapridtolsid_ht_h, "Credmap r Posix->SID"},
};

// Every key begins with the lower-cased host name field.
int same_host(const void *key, void *field)
{
    return std::memcmp(key, field, CREDMAP_HOST_FIELD) == 0;
}

int any_host(const void *, void *)
{
    return 1;
}

}  // namespace

void credmap_note_wait(std::chrono::steady_clock::duration waited)
{
    wait_ns.fetch_add(static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(waited).count()),
                      std::memory_order_relaxed);
}

void credmap_note_exchange(core_status_t status, std::chrono::steady_clock::duration waited)
{
    exchanges.fetch_add(1, std::memory_order_relaxed);
    credmap_note_wait(waited);
    if (status != CORE_OK) {
        exchanges_failed.fetch_add(1, std::memory_order_relaxed);
        count_failure(status);
    }
}

extern "C" {

VELMO_API core_status_t credmap_cache_stats(credmap_cache_stats_t *out)
{
    if (out == nullptr || out->size < offsetof(credmap_cache_stats_t, exchanges))
        return CORE_E_BAD_ARGUMENT;
    credmap_ensure_init();
    credmap_cache_stats_t stats{};
    stats.size = out->size;
    stats.version = CREDMAP_CACHE_STATS_VERSION;
    {
        CredmapLock lock;
        for (int i = 0; i < CREDMAP_CACHE_TABLES; ++i) {
            fxtab_t table = kTables[i].handle->load(std::memory_order_acquire);
            credmap_table_counters_t c = credmap_table_counters(table);
            stats.tables[i] = {kTables[i].name, fxtab_count(table), fxtab_bytes(table), c.lookups, c.hits,
                               c.misses,         c.expired,          c.entered};
        }
    }
    stats.exchanges = exchanges.load(std::memory_order_relaxed);
    stats.exchanges_failed = exchanges_failed.load(std::memory_order_relaxed);
    stats.wait_ns = wait_ns.load(std::memory_order_relaxed);
    {
        std::lock_guard<std::mutex> lock(failures_lock);
        std::memcpy(stats.failures, failures, sizeof failures);
    }
    stats.ttl_seconds = credmap_ttl_seconds.load(std::memory_order_relaxed);
    std::memcpy(out, &stats, out->size < sizeof stats ? out->size : sizeof stats);
    return CORE_OK;
}

VELMO_API core_status_t credmap_cache_flush(const char *host)
{
    credmap_ensure_init();
    if (host != nullptr && credmap_host_too_long(host))
        return CORE_OK;  // such names are never cached
    credmap_host_key_t field = host != nullptr ? credmap_make_host_key(host) : credmap_host_key_t{};
    CredmapLock lock;
    for (const auto &row : kTables)
        fxtab_remove_if(row.handle->load(std::memory_order_acquire), host != nullptr ? same_host : any_host,
                        field.host);
    return CORE_OK;
}
}
