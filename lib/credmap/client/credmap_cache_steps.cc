// The cache steps the mappings share: a SID set through a SID table, a SID
// set to POSIX ids, and one SID pair into a SID table.
#include "credmap_cache.h"

namespace {

constexpr uint64_t kNobodyId = IDKIT_ID_NOBODY;
constexpr uint64_t kDontCareId = IDKIT_ID_DONTCARE;

// One SID through a SID table: the special SIDs map to themselves, a real
// one is answered when the table has it.  A miss leaves `out` alone.  The
// key arrives with its host field filled and hashed, once for a whole set.
bool map_one(fxtab_t table, credmap_sid_key_t &key, uint32_t host_hash, const idkit_sid_t &in, idkit_sid_t *out)
{
    if (in.kind == IDKIT_SID_KIND_NOBODY) {
        *out = IDKIT_SID_NOBODY;
        return true;
    }
    if (in.kind == IDKIT_SID_KIND_DONTCARE) {
        *out = IDKIT_SID_DONTCARE;
        return true;
    }
    key.sid = in;
    return credmap_hash_lookup_hashed(table, &key, credmap_sid_key_hash(host_hash, in), out, sizeof *out);
}

bool wanted(int map_all, const idkit_sid_t &current)
{
    return map_all != 0 || current.kind == IDKIT_SID_KIND_DONTCARE;
}

// The id record of a real SID, when the table has one.
bool lookup_id(fxtab_t table, credmap_sid_key_t &key, uint32_t host_hash, const idkit_sid_t &sid,
               credmap_id_rec_t *record)
{
    key.sid = sid;
    return credmap_hash_lookup_hashed(table, &key, credmap_sid_key_hash(host_hash, sid), record, sizeof *record);
}

}  // namespace

int credmap_map_sid_parts_via_cache(const char *host, int local_to_remote, int map_all, const idkit_sid_t *user,
                                    const idkit_sid_t *group, uint32_t ngroups, const idkit_sid_t *groups,
                                    idkit_sid_t *mapped_user, idkit_sid_t *mapped_group, uint32_t *mapped_ngroups,
                                    idkit_sid_t *mapped_groups)
{
    if (credmap_host_too_long(host))
        return 0;
    fxtab_t table = (local_to_remote ? cmapsidltor_ht_h : cmapsidrtol_ht_h).load(std::memory_order_acquire);
    credmap_sid_key_t key = credmap_make_sid_key(host, IDKIT_SID_NOBODY);
    uint32_t host_hash = credmap_hash_lowercase_hostname(key.host);
    bool answered = true;
    if (wanted(map_all, *mapped_user))
        answered &= map_one(table, key, host_hash, *user, mapped_user);
    if (wanted(map_all, *mapped_group))
        answered &= map_one(table, key, host_hash, *group, mapped_group);
    // A miss does not end the walk: every part is looked up.
    for (uint32_t i = 0; i < ngroups; ++i)
        if (wanted(map_all, mapped_groups[i]))
            answered &= map_one(table, key, host_hash, groups[i], &mapped_groups[i]);
    *mapped_ngroups = ngroups;
    return answered ? 1 : 0;
}

int credmap_map_via_cache(const char *host, const idkit_sid_credentials_t *sid_creds, idkit_credentials_t *creds)
{
    if (credmap_host_too_long(host))
        return 0;
    fxtab_t table = cmaplsidtorid_ht_h.load(std::memory_order_acquire);
    credmap_sid_key_t key = credmap_make_sid_key(host, IDKIT_SID_NOBODY);
    uint32_t host_hash = credmap_hash_lowercase_hostname(key.host);
    credmap_id_rec_t record;

    // The user and the primary group: a record of the other kind gives the
    // nobody id.
    const idkit_sid_t *heads[] = {&sid_creds->user, &sid_creds->group};
    uint64_t *ids[] = {&creds->uid, &creds->gid};
    for (int part = 0; part < 2; ++part) {
        const idkit_sid_t &sid = *heads[part];
        if (sid.kind == IDKIT_SID_KIND_NOBODY)
            *ids[part] = kNobodyId;
        else if (sid.kind == IDKIT_SID_KIND_DONTCARE)
            *ids[part] = kDontCareId;
        else if (!lookup_id(table, key, host_hash, sid, &record))
            return 0;
        else
            *ids[part] = (record.is_group != 0) == (part == 1) ? record.id : kNobodyId;
    }

    // Supplementary groups: only group records with a real id are kept.
    int32_t count = static_cast<int32_t>(sid_creds->ngroups);
    int32_t kept = 0;
    for (int32_t i = 0; i < count && i < IDKIT_MAX_GROUPS; ++i) {
        const idkit_sid_t &sid = sid_creds->groups[i];
        if (credmap_sid_special(sid))
            continue;
        if (!lookup_id(table, key, host_hash, sid, &record))
            return 0;
        if (record.is_group != 0 && record.id != kNobodyId && record.id != kDontCareId)
            creds->groups[kept++] = record.id;
    }
    creds->ngroups = kept;
    return 1;
}

void credmap_enter_sid(const char *host, const idkit_sid_t *local_sid, const idkit_sid_t *remote_sid,
                       int local_to_remote)
{
    const idkit_sid_t &key_sid = local_to_remote ? *local_sid : *remote_sid;
    if (credmap_sid_special(key_sid))
        return;
    const idkit_sid_t &data = local_to_remote ? *remote_sid : *local_sid;
    fxtab_t table = (local_to_remote ? cmapsidltor_ht_h : cmapsidrtol_ht_h).load(std::memory_order_acquire);
    credmap_sid_key_t key = credmap_make_sid_key(host, key_sid);
    credmap_hash_enter(table, &key, &data, sizeof data);
}

void credmap_enter_set(const char *host, const credmap_sid_view &local, const credmap_sid_view &remote,
                       int local_to_remote)
{
    credmap_enter_sid(host, local.user, remote.user, local_to_remote);
    credmap_enter_sid(host, local.group, remote.group, local_to_remote);
    const credmap_sid_view &keys = local_to_remote ? local : remote;
    const credmap_sid_view &data = local_to_remote ? remote : local;
    fxtab_t table = (local_to_remote ? cmapsidltor_ht_h : cmapsidrtol_ht_h).load(std::memory_order_acquire);
    credmap_sid_key_t key = credmap_make_sid_key(host, IDKIT_SID_NOBODY);
    bool real_primary = !credmap_sid_special(*local.group);
    for (uint32_t i = 0; i < local.ngroups && i < remote.ngroups; ++i) {
        if (real_primary && idkit_sid_eq(&local.groups[i], local.group))
            continue;
        if (credmap_sid_special(keys.groups[i]))
            continue;
        key.sid = keys.groups[i];
        credmap_hash_enter(table, &key, &data.groups[i], sizeof data.groups[i]);
    }
}

void credmap_repair_specials(const credmap_sid_view &from, idkit_sid_t *user, idkit_sid_t *group,
                             idkit_sid_t *groups, uint32_t count)
{
    if (credmap_sid_special(*from.user))
        *user = credmap_special_of(*from.user);
    if (credmap_sid_special(*from.group))
        *group = credmap_special_of(*from.group);
    for (uint32_t i = 0; i < count && i < from.ngroups; ++i)
        if (credmap_sid_special(from.groups[i]))
            groups[i] = credmap_special_of(from.groups[i]);
}
