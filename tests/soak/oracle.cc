// What every mapping of the soak must answer.
#include "oracle.h"

#include <grp.h>
#include <pwd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <map>
#include <type_traits>

#include "accounts.h"

namespace soak {
namespace {

using credmap_server::Directory;

// A local account or group by name or id, through the reentrant look-ups
// the library uses; the buffer grows for groups with many members.
template<typename Entry, typename Key, typename Lookup>
bool find_local(Key key, Lookup lookup, uint32_t *id, std::string *name)
{
    std::vector<char> buffer(16384);
    for (;;) {
        Entry entry, *result = nullptr;
        int rc = lookup(key, &entry, buffer.data(), buffer.size(), &result);
        if (rc == ERANGE) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (result == nullptr)
            return false;
        if constexpr (std::is_same_v<Entry, passwd>) {
            *id = result->pw_uid;
            *name = result->pw_name;
        } else {
            *id = result->gr_gid;
            *name = result->gr_name;
        }
        return true;
    }
}

bool user_by_name(const std::string &name, uint32_t *id)
{
    std::string found;
    return find_local<passwd>(name.c_str(), getpwnam_r, id, &found);
}

bool group_by_name(const std::string &name, uint32_t *id)
{
    std::string found;
    return find_local<group>(name.c_str(), getgrnam_r, id, &found);
}

// The name the library sends for a local id: the account's, or "nobody".
std::string user_name(uint32_t uid)
{
    uint32_t id;
    std::string name = "nobody";
    find_local<passwd>(uid, getpwuid_r, &id, &name);
    return name;
}

std::string group_name(uint32_t gid)
{
    uint32_t id;
    std::string name = "nobody";
    find_local<group>(gid, getgrgid_r, &id, &name);
    return name;
}

// The local id for a name a server answers ("KORVANTIS\Alice"): the domain
// part goes, "nobody" stands for no one, and a name not found is tried
// again in lower case.
bool local_id(const std::string &answered, bool (*find)(const std::string &, uint32_t *), uint32_t *id)
{
    size_t sep = answered.find_first_of("\\/");
    std::string name = sep == std::string::npos ? answered : answered.substr(sep + 1);
    if (name.empty() || name == "nobody")
        return false;
    if (find(name, id))
        return true;
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    return lower != name && find(lower, id);
}

Mapping local_user(const Directory &d, uint32_t uid)
{
    Mapping m = no_local_user(uid);
    if (const auto *u = credmap_server::find_user(d, user_name(uid).c_str())) {
        m.to = u->sid;
        m.remote_id = u->uid;
        m.refused = u->refused;
    }
    return m;
}

Mapping local_group(const Directory &d, uint32_t gid)
{
    Mapping m = no_local_group(gid);
    if (const auto *g = credmap_server::find_group(d, group_name(gid).c_str())) {
        m.to = g->sid;
        m.remote_id = g->gid;
    }
    return m;
}

Mapping domain_user(const Directory &d, const credmap_server::User &u)
{
    Mapping m = special(IDKIT_SID_NOBODY);
    m.from = u.sid;
    m.refused = u.refused;
    uint32_t uid;
    if (local_id(credmap_server::qualified(d, u.name), user_by_name, &uid))
        idkit_uid_to_sid(&m.to, uid);
    return m;
}

Mapping domain_group(const Directory &d, const credmap_server::Group &g)
{
    Mapping m = special(IDKIT_SID_NOBODY);
    m.from = g.sid;
    uint32_t gid;
    if (local_id(credmap_server::qualified(d, g.name), group_by_name, &gid))
        idkit_gid_to_sid(&m.to, gid);
    return m;
}

// Every local account (or group) id once, in the order of the database,
// with the members of each group.
std::map<uint32_t, std::vector<std::string>> local_ids(bool groups)
{
    std::map<uint32_t, std::vector<std::string>> ids;
    if (!groups) {
        setpwent();
        while (passwd *p = getpwent())
            ids.emplace(p->pw_uid, std::vector<std::string>{});
        endpwent();
        return ids;
    }
    setgrent();
    while (group *g = getgrent()) {
        std::vector<std::string> members;
        for (char **m = g->gr_mem; *m != nullptr; ++m)
            members.push_back(*m);
        ids.emplace(g->gr_gid, members);
    }
    endgrent();
    return ids;
}

}  // namespace

std::string text(const idkit_sid_t &sid)
{
    char buffer[IDKIT_SID_TEXT_MAX];
    return idkit_sid_to_str(&sid, buffer);
}

Mapping special(const idkit_sid_t &sid)
{
    Mapping m;
    m.from = m.to = sid;
    m.remote_id = sid.kind == IDKIT_SID_KIND_DONTCARE ? IDKIT_ID_DONTCARE : IDKIT_ID_NOBODY;
    return m;
}

Mapping no_local_user(uint32_t uid)
{
    Mapping m = special(IDKIT_SID_NOBODY);
    idkit_uid_to_sid(&m.from, uid);
    m.local_id = uid;
    return m;
}

Mapping no_local_group(uint32_t gid)
{
    Mapping m = special(IDKIT_SID_NOBODY);
    idkit_gid_to_sid(&m.from, gid);
    m.local_id = gid;
    return m;
}

Mapping no_domain_account(const Pools &pools, uint32_t rid)
{
    Mapping m = special(IDKIT_SID_NOBODY);
    idkit_sid_from_str((pools.domain + "-" + std::to_string(rid)).c_str(), &m.from);
    return m;
}

bool make_pools(const std::string &accounts, Pools *pools, std::string *error)
{
    Directory d;
    if (!credmap_server::load_directory(accounts, &d, error))
        return false;
    pools->domain = text(d.domain_sid);
    auto users = local_ids(false), groups = local_ids(true);
    if ((!users.empty() && users.rbegin()->first >= kNoOneFrom) ||
        (!groups.empty() && groups.rbegin()->first >= kNoOneFrom))
        return *error = "a local id at or above " + std::to_string(kNoOneFrom) + " leaves no ids for no one", false;
    // A few ids and RIDs below the no-one range that nobody has either:
    // they are remembered like the others.
    for (uint32_t id : {4242u, 31337u, 77777u}) {
        users.emplace(id, std::vector<std::string>{});
        groups.emplace(id, std::vector<std::string>{});
    }
    for (const auto &[uid, unused] : users)
        pools->local_users.push_back(local_user(d, uid));
    for (const auto &[gid, members] : groups) {
        pools->local_groups.push_back(local_group(d, gid));
        if (std::find(members.begin(), members.end(), "quincy") != members.end())
            pools->quincy_groups.push_back(pools->local_groups.back());
    }
    uint32_t uid = 0, gid = 0;
    if (user_by_name("quincy", &uid) && group_by_name("users", &gid)) {
        pools->quincy = local_user(d, uid);
        pools->quincy_group = local_group(d, gid);
    }
    for (const auto &u : d.users)
        pools->remote_users.push_back(domain_user(d, u));
    for (const auto &g : d.groups)
        pools->remote_groups.push_back(domain_group(d, g));
    for (uint32_t rid : {9001u, 9002u}) {
        pools->remote_users.push_back(no_domain_account(*pools, rid));
        pools->remote_groups.push_back(no_domain_account(*pools, rid));
    }
    return true;
}

}  // namespace soak
