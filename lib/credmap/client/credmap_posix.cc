// Local SIDs to the POSIX identity a remote host gives them: the uid, gid
// and group ids that an AUTH_UNIX call to that host must carry.  Hosts in my
// credentials domain use the local ids; for a Windows host every SID is
// looked up in the cache, and one miss asks the host's credmap_server for
// the ids of the whole set by the local names.
#include <cstdlib>

#include "credmap_cache.h"
#include "credmap_mapping.h"

namespace {

constexpr uint64_t kNobodyId = IDKIT_ID_NOBODY;
constexpr uint64_t kDontCareId = IDKIT_ID_DONTCARE;

bool special_id(uint64_t id)
{
    return id == kNobodyId || id == kDontCareId;
}

uint64_t id_of_special(const idkit_sid_t &sid)
{
    return sid.kind == IDKIT_SID_KIND_NOBODY ? kNobodyId : kDontCareId;
}

void set_nobody_ids(idkit_credentials_t *creds)
{
    creds->uid = kNobodyId;
    creds->gid = kNobodyId;
    creds->groups[0] = kNobodyId;
    creds->ngroups = 1;
}

uint32_t group_count(const idkit_sid_credentials_t &set)
{
    return set.ngroups < IDKIT_MAX_GROUPS ? set.ngroups : IDKIT_MAX_GROUPS;
}

// Whatever the server said, special SIDs have the special ids.
void repair_special_ids(const idkit_sid_credentials_t &local, idkit_credentials_t *creds)
{
    if (credmap_sid_special(local.user))
        creds->uid = id_of_special(local.user);
    if (credmap_sid_special(local.group))
        creds->gid = id_of_special(local.group);
    for (uint32_t i = 0; i < group_count(local); ++i)
        if (credmap_sid_special(local.groups[i]))
            creds->groups[i] = id_of_special(local.groups[i]);
}

// Every id the server gave goes into the cache, the nobody id included; a
// group equal to the primary group was entered with it.
void enter_ids(const char *host, const idkit_sid_credentials_t &local, const idkit_credentials_t &creds)
{
    fxtab_t table = cmaplsidtorid_ht_h.load(std::memory_order_acquire);
    credmap_sid_key_t key = credmap_make_sid_key(host, IDKIT_SID_NOBODY);
    auto enter = [&](const idkit_sid_t &sid, uint64_t id, uint8_t is_group) {
        credmap_id_rec_t record{};
        record.id = id;
        record.is_group = is_group;
        key.sid = sid;
        credmap_hash_enter(table, &key, &record, sizeof record);
    };
    if (!credmap_sid_special(local.user))
        enter(local.user, creds.uid, 0);
    bool real_primary = !credmap_sid_special(local.group);
    if (real_primary)
        enter(local.group, creds.gid, 1);
    auto answered = static_cast<uint32_t>(creds.ngroups);
    for (uint32_t i = 0; i < group_count(local) && i < answered; ++i) {
        if ((real_primary && idkit_sid_eq(&local.groups[i], &local.group)) || credmap_sid_special(local.groups[i]))
            continue;
        enter(local.groups[i], creds.groups[i], 1);
    }
}

// Group ids in ascending order without the special ones, which sort last.
void tidy_groups(idkit_credentials_t *creds)
{
    int32_t count = creds->ngroups < IDKIT_MAX_GROUPS ? creds->ngroups : IDKIT_MAX_GROUPS;
    if (count <= 0)
        return;
    std::qsort(creds->groups, static_cast<size_t>(count), sizeof creds->groups[0], gid_compare);
    int32_t kept = 0;
    while (kept < count && !special_id(creds->groups[kept]))
        ++kept;
    creds->ngroups = kept;
}

// The calling process's own credentials go into the cache for the host
// first (one level deep).
void prime_own_ids(const char *host, int host_known)
{
    idkit_sid_credentials_t own{};
    idkit_credentials_t scratch{};
    if (idkit_get_sid_credentials(&own) != 0)
        return;
    if (!credmap_host_too_long(host) && credmap_map_via_cache(host, &own, &scratch))
        return;
    credmap_local_sid_to_remote(&own, host, &scratch, host_known, 0);
}

core_status_t ask_server(const idkit_sid_credentials_t &local, const char *host, idkit_credentials_t *creds,
                         int host_known)
{
    credmap_handle_t *handle = nullptr;
    core_status_t status = credmap_get_mapping_handle(host, host_known, &handle);
    if (status != CORE_OK) {
        set_nobody_ids(creds);
        return status;
    }
    idkit_string_credentials_t names{};
    credmap_sid_credentials_to_string_credentials(&local, &names);
    status = credmap_lookup_string_credentials(handle, &names, creds);
    idkit_free_string_credentials(&names);
    repair_special_ids(local, creds);
    credmap_free_handle(handle);
    if (status != CORE_OK)
        return status;
    if (!credmap_host_too_long(host))
        enter_ids(host, local, *creds);
    tidy_groups(creds);
    return CORE_OK;
}

}  // namespace

core_status_t credmap_local_sid_to_remote(const idkit_sid_credentials_t *local, const char *host,
                                          idkit_credentials_t *creds, int host_known, int prime_own)
{
    if (prime_own)
        prime_own_ids(host, host_known);
    if (!credmap_host_too_long(host) && credmap_map_via_cache(host, local, creds))
        return CORE_OK;
    return ask_server(*local, host, creds, host_known);
}

extern "C" {

VELMO_API core_status_t credmap_local_sid_to_remote_posix(const idkit_sid_credentials_t *local, const char *host,
                                                          idkit_credentials_t *creds)
{
    credmap_ensure_init();
    if (creds == nullptr)
        return CORE_E_BAD_ARGUMENT;
    if (local == nullptr || host == nullptr || local->ngroups > IDKIT_MAX_GROUPS) {
        set_nobody_ids(creds);
        return CORE_E_BAD_ARGUMENT;
    }
    int known = 0, nt = 0;
    if (!credmap_in_my_credentials_domain(host, &known, &nt))
        return credmap_local_sid_to_remote(local, host, creds, known, 1);
    return idkit_sid_credentials_to_credentials(local, creds) == 0 ? CORE_OK : CORE_E_FAILURE;
}
}
