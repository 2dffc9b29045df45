// Local-to-remote SID mapping: a local SID-credential set turned into the
// SIDs a remote host knows.  Hosts in my credentials domain take the set as
// it is; for a Windows host every SID is looked up in the cache, and one
// miss sends the whole set to the host's credmap_server, whose answers then
// fill the cache.
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "credmap_cache.h"
#include "credmap_mapping.h"
#include "host/mem.h"
#include "host/osw.h"
#include "host/vox.h"

namespace {

core_status_t ask_server(const idkit_sid_credentials_t &local, const char *host, idkit_sid_credentials_t *remote,
                         int host_known)
{
    credmap_handle_t *handle = nullptr;
    core_status_t status = credmap_get_mapping_handle(host, host_known, &handle);
    if (status != CORE_OK) {
        credmap_set_nobody(remote);
        return status;
    }
    idkit_string_credentials_t names{};
    credmap_sid_credentials_to_string_credentials(&local, &names);
    status = credmap_lookup_string_credentials_sid(handle, &names, remote);
    idkit_free_string_credentials(&names);
    credmap_repair_specials(credmap_view(local), &remote->user, &remote->group, remote->groups, local.ngroups);
    credmap_free_handle(handle);
    if (status != CORE_OK || credmap_host_too_long(host))
        return status;
    credmap_enter_set(host, credmap_view(local), credmap_view(*remote), 1);
    return CORE_OK;
}

// A name for an id: the local account's, or "nobody" (each a separate
// allocation; a failed one leaves null).
template<typename Entry, typename Lookup>
char *local_name(uint32_t id, Lookup lookup, char *Entry::*member)
{
    if (id != IDKIT_ID_NOBODY) {
        Entry entry;
        char *buffer = nullptr;
        Entry *result = nullptr;
        lookup(id, &entry, &buffer, &result);
        if (result != nullptr) {
            char *name = strdup(result->*member);
            mem_free(buffer);
            return name;
        }
    }
    return strdup("nobody");
}

char *user_name(uint32_t uid)
{
    return local_name<struct passwd>(uid, osw_getpwuid_r, &passwd::pw_name);
}

char *group_name(uint32_t gid)
{
    return local_name<struct group>(gid, osw_getgrgid_r, &group::gr_name);
}

}  // namespace

void credmap_prime_own_credentials(const char *host, int host_known)
{
    idkit_sid_credentials_t own{}, scratch{};
    if (idkit_get_sid_credentials(&own) != 0)
        return;
    if (!credmap_map_sid_parts_via_cache(host, 1, 1, &own.user, &own.group, own.ngroups, own.groups, &scratch.user,
                                         &scratch.group, &scratch.ngroups, scratch.groups))
        credmap_local_to_remote_sid_subr(&own, host, &scratch, host_known, 0);
}

void credmap_set_nobody(idkit_sid_credentials_t *set)
{
    set->user = IDKIT_SID_NOBODY;
    set->group = IDKIT_SID_NOBODY;
    set->groups[0] = IDKIT_SID_NOBODY;
    set->ngroups = 1;
}

core_status_t credmap_get_mapping_handle(const char *host, int host_known, credmap_handle_t **handle)
{
    core_status_t status = credmap_get_handle(host, handle);
    // A host whose broker gave no information but whose server answers is
    // remembered as one whose sets are taken as they are.  A name too long
    // for the host field is not: its key would be that of a shorter name.
    if (status == CORE_OK && !host_known && !credmap_host_too_long(host))
        credmap_enter_host(host, 0);
    return status;
}

void credmap_enter_host(const char *host, uint8_t flags)
{
    credmap_host_key_t key = credmap_make_host_key(host);
    credmap_host_rec_t record{};
    record.flags = flags;
    record.stamp = time(nullptr);
    credmap_hash_enter(cmaphost_ht_h.load(std::memory_order_acquire), &key, &record, sizeof record);
}

core_status_t credmap_local_to_remote_sid_subr(const idkit_sid_credentials_t *local, const char *host,
                                               idkit_sid_credentials_t *remote, int host_known, int prime_own)
{
    if (prime_own)
        credmap_prime_own_credentials(host, host_known);
    // The whole set from the cache, or nothing from it.
    if (!credmap_host_too_long(host) &&
        credmap_map_sid_parts_via_cache(host, 1, 1, &local->user, &local->group, local->ngroups, local->groups,
                                        &remote->user, &remote->group, &remote->ngroups, remote->groups))
        return CORE_OK;
    return ask_server(*local, host, remote, host_known);
}

int credmap_sid_credentials_to_string_credentials(const idkit_sid_credentials_t *sids,
                                                  idkit_string_credentials_t *names)
{
    int32_t count = static_cast<int32_t>(sids->ngroups);
    if (count > IDKIT_MAX_GROUPS)
        count = IDKIT_MAX_GROUPS;
    names->user = user_name(idkit_sid_to_uid(&sids->user));
    names->group = group_name(idkit_sid_to_gid(&sids->group));
    names->ngroups = 0;
    for (int32_t i = 0; i < count; ++i)
        names->groups[i] = group_name(idkit_sid_to_gid(&sids->groups[i]));
    names->ngroups = count > 0 ? static_cast<uint32_t>(count) : 0;
    return 0;
}

core_status_t credmap_sids_local_to_remote(const char *host, idkit_sid_t *user, idkit_sid_t *group)
{
    credmap_ensure_init();
    if (user == nullptr || group == nullptr)
        return CORE_E_BAD_ARGUMENT;
    idkit_sid_credentials_t set{}, result{};
    set.user = *user;
    set.group = *group;
    core_status_t status = credmap_local_to_remote_sid(&set, host, &result);
    if (status == CORE_OK) {
        *user = result.user;
        *group = result.group;
    }
    return status;
}

extern "C" {

VELMO_API core_status_t credmap_local_to_remote_sid(const idkit_sid_credentials_t *local, const char *host,
                                                    idkit_sid_credentials_t *remote)
{
    credmap_ensure_init();
    if (local == nullptr || host == nullptr || remote == nullptr || local == remote ||
        local->ngroups > IDKIT_MAX_GROUPS)
        return CORE_E_BAD_ARGUMENT;
    int known = 0, nt = 0;
    if (credmap_in_my_credentials_domain(host, &known, &nt)) {
        *remote = *local;
        return CORE_OK;
    }
    return credmap_local_to_remote_sid_subr(local, host, remote, known, 1);
}

VELMO_API core_status_t credmap_local_to_remote_with_check(const idkit_sid_credentials_t *local, const char *host,
                                                           idkit_sid_credentials_t *remote)
{
    core_status_t status = credmap_local_to_remote_sid(local, host, remote);
    if (status != CORE_OK) {
        vox_print(VOX_ERROR, &_credmap_credmap_msg_table, CREDMAP_MSG_CANNOT_MAP_LOCAL, core_strerror(status));
        vox_print(VOX_ERROR, &_credmap_credmap_msg_table, CREDMAP_MSG_MORE_INFO, host);
        return status;
    }
    if (credmap_sid_special(remote->user) || credmap_sid_special(remote->group)) {
        vox_print(VOX_ERROR, &_credmap_credmap_msg_table, CREDMAP_MSG_NOT_RECOGNIZED);
        vox_print(VOX_ERROR, &_credmap_credmap_msg_table, CREDMAP_MSG_MORE_INFO, host);
        return CORE_E_FAILURE;
    }
    // Real SIDs first, then don't-care, then nobody; keep the real ones.
    int32_t count = static_cast<int32_t>(remote->ngroups);
    if (count <= 0)
        return CORE_OK;
    std::qsort(remote->groups, static_cast<size_t>(count), sizeof(idkit_sid_t), sid_compare);
    uint32_t real = 0;
    while (real < static_cast<uint32_t>(count) && !credmap_sid_special(remote->groups[real]))
        ++real;
    remote->ngroups = real;
    return CORE_OK;
}

VELMO_API core_status_t credmap_fstat_db_local_to_remote(const char *host, void *record)
{
    if (record == nullptr)
        return CORE_E_BAD_ARGUMENT;
    auto *bytes = static_cast<unsigned char *>(record);
    auto *owner = reinterpret_cast<idkit_sid_t *>(bytes + CREDMAP_FSTAT_OWNER_OFFSET);
    return credmap_sids_local_to_remote(host, owner, owner + 1);
}
}
