// SIDs of the sample domain and of local ids, and request counting, for
// the mapping tests.
#ifndef TESTS_INTEGRATION_SIDS_H
#define TESTS_INTEGRATION_SIDS_H

#include <string>
#include <vector>

#include "host/idkit.h"

namespace sim {

// The sample domain's SID prefix: an account's SID is this and its RID.
inline const std::string kDomain = "S-1-5-21-3623811015-3361044348-30300820-";

inline std::string text(const idkit_sid_t &sid)
{
    char buffer[IDKIT_SID_TEXT_MAX];
    return idkit_sid_to_str(&sid, buffer);
}

inline idkit_sid_t sid(const std::string &text)
{
    idkit_sid_t s{};
    idkit_sid_from_str(text.c_str(), &s);
    return s;
}

inline idkit_sid_t domain_sid(unsigned rid)
{
    return sid(kDomain + std::to_string(rid));
}

inline idkit_sid_t uid_sid(uint32_t uid)
{
    idkit_sid_t s;
    idkit_uid_to_sid(&s, uid);
    return s;
}

inline idkit_sid_t gid_sid(uint32_t gid)
{
    idkit_sid_t s;
    idkit_gid_to_sid(&s, gid);
    return s;
}

inline idkit_sid_credentials_t make_set(idkit_sid_t user, idkit_sid_t group, const std::vector<idkit_sid_t> &groups)
{
    idkit_sid_credentials_t set{};
    set.user = user;
    set.group = group;
    for (const auto &g : groups)
        set.groups[set.ngroups++] = g;
    return set;
}

// Requests of one procedure among a server's logged requests.
inline size_t count(const std::vector<std::string> &requests, unsigned proc)
{
    size_t n = 0;
    for (const auto &r : requests)
        n += std::stoul(r) == proc;
    return n;
}

}  // namespace sim

#endif
