// Whole-credentials mapping: the local-to-remote road for credentials with
// any number of groups.  Same host check, same cache table and keys as the
// fixed-size mapping, so each answers the other's look-ups; the group array
// of the result belongs to the caller.
#include <cstring>

#include "credmap_cache.h"
#include "credmap_mapping.h"
#include "host/mem.h"

namespace {

uint32_t group_count(const idkit_whole_credentials_t &set)
{
    return set.ngroups > 0 ? static_cast<uint32_t>(set.ngroups) : 0;
}

// A cleared array of `count` SIDs for `set` (null for none); false when
// there is no memory for it.
bool give_groups(idkit_whole_credentials_t *set, uint32_t count)
{
    idkit_free_whole_credentials(set);
    if (count == 0)
        return true;
    size_t bytes = size_t(count) * sizeof(idkit_sid_t);
    set->groups = static_cast<idkit_sid_t *>(mem_malloc(bytes));
    if (set->groups == nullptr)
        return false;
    std::memset(set->groups, 0, bytes);
    set->ngroups = static_cast<int32_t>(count);
    return true;
}

bool from_cache(const idkit_whole_credentials_t &local, const char *host, idkit_whole_credentials_t *remote)
{
    uint32_t count = 0;
    return !credmap_host_too_long(host) &&
           credmap_map_sid_parts_via_cache(host, 1, 1, &local.user, &local.group, group_count(local), local.groups,
                                           &remote->user, &remote->group, &count, remote->groups) != 0;
}

// The calling process's complete credentials go into the cache for the
// host first (one level deep).
void prime_own_whole(const char *host, int host_known)
{
    idkit_whole_credentials_t own{}, scratch{};
    if (idkit_get_complete_whole_credentials(&own) != 0)
        return;
    if (give_groups(&scratch, group_count(own)) && !from_cache(own, host, &scratch))
        credmap_local_to_remote_whole_subr(&own, host, &scratch, host_known, 0);
    idkit_free_whole_credentials(&own);
    idkit_free_whole_credentials(&scratch);
}

core_status_t ask_server(const idkit_whole_credentials_t &local, const char *host, idkit_whole_credentials_t *remote,
                         int host_known)
{
    credmap_handle_t *handle = nullptr;
    core_status_t status = credmap_get_mapping_handle(host, host_known, &handle);
    if (status != CORE_OK) {
        idkit_free_whole_credentials(remote);
        return status;
    }
    idkit_whole_string_credentials_t names{};
    status = idkit_whole_credentials_to_whole_string_credentials(&local, &names);
    if (status != CORE_OK) {
        credmap_free_handle(handle);
        return status;
    }
    // The answer arrives with an array of its own, which replaces the one
    // the cache pass filled; after a failure `remote` keeps that one.
    idkit_whole_credentials_t answer{};
    status = credmap_lookup_whole_string_credentials(handle, &names, &answer);
    idkit_free_whole_string_credentials(&names);
    if (status == CORE_OK) {
        idkit_free_whole_credentials(remote);
        *remote = answer;
    }
    credmap_repair_specials(credmap_view(local), &remote->user, &remote->group, remote->groups,
                            group_count(*remote));
    credmap_free_handle(handle);
    if (status != CORE_OK || credmap_host_too_long(host))
        return status;
    credmap_enter_set(host, credmap_view(local), credmap_view(*remote), 1);
    return CORE_OK;
}

}  // namespace

core_status_t credmap_local_to_remote_whole_subr(const idkit_whole_credentials_t *local, const char *host,
                                                 idkit_whole_credentials_t *remote, int host_known, int prime_own)
{
    if (prime_own)
        prime_own_whole(host, host_known);
    if (!give_groups(remote, group_count(*local)))
        return CORE_E_NO_MEMORY;
    if (from_cache(*local, host, remote))
        return CORE_OK;
    return ask_server(*local, host, remote, host_known);
}

extern "C" {

VELMO_API core_status_t credmap_local_to_remote_whole(const idkit_whole_credentials_t *local, const char *host,
                                                      idkit_whole_credentials_t *remote)
{
    credmap_ensure_init();
    if (remote == nullptr || remote == local)
        return CORE_E_BAD_ARGUMENT;
    // What `remote` held is not ours to release: it is overwritten.
    std::memset(remote, 0, sizeof *remote);
    if (local == nullptr || host == nullptr || local->ngroups < 0 || (local->ngroups > 0 && local->groups == nullptr))
        return CORE_E_BAD_ARGUMENT;
    int known = 0, nt = 0;
    if (credmap_in_my_credentials_domain(host, &known, &nt))
        return idkit_copy_whole_credentials(local, remote);
    return credmap_local_to_remote_whole_subr(local, host, remote, known, 1);
}
}
