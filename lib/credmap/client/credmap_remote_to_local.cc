// Remote-to-local SID mapping: the SIDs a remote host gave a caller turned
// into local SIDs.  Hosts in my credentials domain use local SIDs already;
// for a Windows host every SID is looked up in the cache, and one miss asks
// the host's credmap_server for the account names behind the whole set,
// which are then found among the local accounts and groups.
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "credmap_cache.h"
#include "credmap_mapping.h"
#include "host/mem.h"
#include "host/osw.h"
#include "tls_impl.h"

namespace {

// A local account or group by a remote name: the domain prefix goes, the
// name "nobody" stands for no one, and a name not found is tried once more
// in lower case (Windows names keep their case, UNIX names rarely have
// capitals).  The thread's buffer slot is released before the first
// look-up only: the look-up wrappers leave a buffer there only with an
// entry found, so the slot is empty again when the retry runs.
template<typename Entry, typename Lookup>
Entry *find_local(const char *name, Entry *entry, char **slot, Lookup lookup)
{
    char *copy = credmap_strip_domain(name);
    if (copy == nullptr)
        return nullptr;
    if (std::strcoll(copy, "nobody") == 0) {
        std::free(copy);
        return nullptr;
    }
    mem_free(*slot);
    *slot = nullptr;
    Entry *result = nullptr;
    lookup(copy, entry, slot, &result);
    bool had_upper = false;
    for (char *p = copy; result == nullptr && *p != '\0'; ++p) {
        auto c = static_cast<unsigned char>(*p);
        had_upper |= std::isupper(c) != 0;
        *p = static_cast<char>(std::tolower(c));
    }
    if (result == nullptr && had_upper)
        lookup(copy, entry, slot, &result);
    std::free(copy);
    return result;
}

// The local SID for one remote SID of the set and the name the server gave
// it: specials stay what they are, a name without a local account or group
// is nobody.
idkit_sid_t local_user_sid(const idkit_sid_t &remote, const char *name)
{
    if (credmap_sid_special(remote))
        return credmap_special_of(remote);
    idkit_sid_t sid = IDKIT_SID_NOBODY;
    if (struct passwd *pw = credmap_getpwnam(name))
        idkit_uid_to_sid(&sid, pw->pw_uid);
    return sid;
}

idkit_sid_t local_group_sid(const idkit_sid_t &remote, const char *name)
{
    if (credmap_sid_special(remote))
        return credmap_special_of(remote);
    idkit_sid_t sid = IDKIT_SID_NOBODY;
    if (struct group *gr = credmap_getgrnam(name))
        idkit_gid_to_sid(&sid, gr->gr_gid);
    return sid;
}

// The names the server gave, in the order of the SIDs sent, to local SIDs.
// A reply never holds more than 32 names (the decoder refuses more).
void names_to_local(const idkit_sid_credentials_t &remote, const idkit_string_credentials_t &names,
                    idkit_sid_credentials_t *local)
{
    std::memset(local, 0, sizeof *local);
    local->user = local_user_sid(remote.user, names.user);
    local->group = local_group_sid(remote.group, names.group);
    int32_t count = static_cast<int32_t>(names.ngroups);
    if (count > IDKIT_MAX_GROUPS)
        count = IDKIT_MAX_GROUPS;
    for (int32_t i = 0; i < count; ++i)
        local->groups[i] = local_group_sid(remote.groups[i], names.groups[i]);
    local->ngroups = count > 0 ? static_cast<uint32_t>(count) : 0;
}

core_status_t ask_server(const idkit_sid_credentials_t &remote, const char *host, idkit_sid_credentials_t *local,
                         int host_known)
{
    credmap_handle_t *handle = nullptr;
    core_status_t status = credmap_get_mapping_handle(host, host_known, &handle);
    if (status != CORE_OK) {
        credmap_set_nobody(local);
        return status;
    }
    idkit_string_credentials_t names{};
    status = credmap_lookup_sid_credentials(handle, &remote, &names);
    if (status != CORE_OK) {
        credmap_set_nobody(local);
        credmap_free_handle(handle);
        return status;
    }
    names_to_local(remote, names, local);
    credmap_lookup_sid_credentials_free(handle, &names);
    credmap_free_handle(handle);
    if (!credmap_host_too_long(host))
        credmap_enter_set(host, credmap_view(*local), credmap_view(remote), 0);
    return CORE_OK;
}

bool unsupported_kind(const idkit_sid_t &sid)
{
    return sid.kind > IDKIT_SID_KIND_NT;
}

}  // namespace

struct passwd *credmap_getpwnam(const char *name)
{
    credmap_tls_t *t = credmap_tls_get();
    return find_local(name, &t->pwd, &t->pwd_buf, osw_getpwnam_r);
}

struct group *credmap_getgrnam(const char *name)
{
    credmap_tls_t *t = credmap_tls_get();
    return find_local(name, &t->grp, &t->grp_buf, osw_getgrnam_r);
}

core_status_t credmap_remote_to_local_sid_subr(const idkit_sid_credentials_t *remote, const char *host,
                                               idkit_sid_credentials_t *local, int host_known)
{
    // Kinds above the NT kind are unknown to both sides; nothing is asked.
    if (unsupported_kind(remote->user) || unsupported_kind(remote->group)) {
        credmap_set_nobody(local);
        return CORE_E_UNSUPPORTED;
    }
    credmap_prime_own_credentials(host, host_known);
    if (!credmap_host_too_long(host) &&
        credmap_map_sid_parts_via_cache(host, 0, 1, &remote->user, &remote->group, remote->ngroups, remote->groups,
                                        &local->user, &local->group, &local->ngroups, local->groups))
        return CORE_OK;
    return ask_server(*remote, host, local, host_known);
}

core_status_t credmap_sids_remote_to_local_pref(const char *host, idkit_sid_t *user, idkit_sid_t *group)
{
    credmap_ensure_init();
    if (host == nullptr || user == nullptr || group == nullptr)
        return CORE_E_BAD_ARGUMENT;
    idkit_sid_credentials_t set{}, result{};
    set.user = *user;
    set.group = *group;
    int known = 0, nt = 0;
    if (credmap_in_my_credentials_domain(host, &known, &nt)) {
        result = set;
    } else {
        core_status_t status = credmap_remote_to_local_sid_subr(&set, host, &result, known);
        if (status != CORE_OK)
            return status;
    }
    *user = result.user;
    *group = result.group;
    return CORE_OK;
}

extern "C" {

VELMO_API core_status_t credmap_remote_to_local_sid(const idkit_sid_credentials_t *remote, const char *host,
                                                    idkit_sid_credentials_t *local)
{
    credmap_ensure_init();
    if (local == nullptr || local == remote)
        return CORE_E_BAD_ARGUMENT;
    // Whatever the status, `local` is filled: a caller that misses the
    // status still holds nobody rather than what was there.
    if (remote == nullptr || host == nullptr || remote->ngroups > IDKIT_MAX_GROUPS) {
        credmap_set_nobody(local);
        return CORE_E_BAD_ARGUMENT;
    }
    int known = 0, nt = 0;
    if (credmap_in_my_credentials_domain(host, &known, &nt)) {
        *local = *remote;
        return CORE_OK;
    }
    return credmap_remote_to_local_sid_subr(remote, host, local, known);
}

VELMO_API core_status_t credmap_fstat_db_remote_to_local(const char *host, void *record)
{
    if (record == nullptr)
        return CORE_E_BAD_ARGUMENT;
    auto *owner = reinterpret_cast<idkit_sid_t *>(static_cast<unsigned char *>(record) + CREDMAP_FSTAT_OWNER_OFFSET);
    return credmap_sids_remote_to_local_pref(host, owner, owner + 1);
}
}
