// The preference map of a credential set: for the user, the primary group
// and every group, the name (without its domain prefix) and the SID that the
// credential utility knows.
#include <cstdlib>
#include <cstring>

#include "credmap_cache.h"
#include "credmap_mapping.h"

namespace {

// A SID the service has no record of gives a null name and the nobody SID.
template<typename Record>
void fill(credmap_pref_entry_t *entry, const Record *record, const char *name, const idkit_sid_t &sid)
{
    entry->name = record != nullptr ? credmap_strip_domain(name) : nullptr;
    entry->sid = record != nullptr ? sid : IDKIT_SID_NOBODY;
}

void fill_group(credmap_pref_entry_t *entry, const idkit_sid_t *sid)
{
    const idkit_group_sid_t *gr = idkit_getgrsid(sid);
    fill(entry, gr, gr != nullptr ? gr->name : nullptr, gr != nullptr ? gr->sid : IDKIT_SID_NOBODY);
}

}  // namespace

void credmap_credentials_to_pref_map(const idkit_sid_t *user, const idkit_sid_t *group, int ngroups,
                                     const idkit_sid_t *groups, credmap_pref_entry_t **map_out)
{
    if (map_out == nullptr)
        return;
    // A negative count is taken as none: the map still has its two entries.
    size_t count = ngroups > 0 ? static_cast<size_t>(ngroups) : 0;
    auto *map = static_cast<credmap_pref_entry_t *>(std::malloc((count + 2) * sizeof(credmap_pref_entry_t)));
    *map_out = map;
    if (map == nullptr)
        return;
    std::memset(map, 0, (count + 2) * sizeof(credmap_pref_entry_t));
    const idkit_passwd_sid_t *pw = idkit_getpwsid(user);
    fill(&map[0], pw, pw != nullptr ? pw->user.name : nullptr, pw != nullptr ? pw->user.sid : IDKIT_SID_NOBODY);
    fill_group(&map[1], group);
    for (size_t i = 0; i < count; ++i)
        fill_group(&map[i + 2], &groups[i]);
    map[0].count = static_cast<uint32_t>(count + 1);
}
