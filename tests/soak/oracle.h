// What every mapping of the soak must answer, worked out from the account
// directory of the Windows hosts and the local account database: a local
// name the domain has maps to that account, any other to nobody; a domain
// account maps back to the local account of its name, tried as given and
// then in lower case, or to nobody.
#ifndef TESTS_SOAK_ORACLE_H
#define TESTS_SOAK_ORACLE_H

#include <cstdint>
#include <string>
#include <vector>

#include "host/idkit.h"

namespace soak {

// One SID of a set and what the mappings must make of it.
struct Mapping {
    idkit_sid_t from{};
    idkit_sid_t to{};                      // its SID on the other side of a Windows host
    uint64_t remote_id = IDKIT_ID_NOBODY;  // a local SID: the POSIX id a Windows host gives it
    uint64_t local_id = IDKIT_ID_NOBODY;   // a local SID: its local id, kept by a UNIX host
    bool refused = false;                  // a user whose credentials the domain refuses
};

struct Pools {
    // Every local account and group, and a few ids that have none.
    std::vector<Mapping> local_users, local_groups;
    // Every account and group of the domain, and a few RIDs it does not have.
    std::vector<Mapping> remote_users, remote_groups;
    // quincy's local groups, when the accounts are mirrored (else empty).
    Mapping quincy, quincy_group;
    std::vector<Mapping> quincy_groups;
    std::string domain;  // the domain's SID, "S-1-5-21-..."
};

// False with the reason in *error when the directory cannot be read or a
// local id lies in the ranges the soak keeps for ids nobody has.
bool make_pools(const std::string &accounts, Pools *pools, std::string *error);

// Ids and RIDs from here on belong to no one, locally or in the domain.
constexpr uint32_t kNoOneFrom = 2000000000u;

// SIDs nobody has (id or RID at least kNoOneFrom): nobody on the other
// side.
Mapping no_local_user(uint32_t uid);
Mapping no_local_group(uint32_t gid);
Mapping no_domain_account(const Pools &pools, uint32_t rid);
// The nobody or don't-care SID, which every mapping keeps.
Mapping special(const idkit_sid_t &sid);

std::string text(const idkit_sid_t &sid);

}  // namespace soak

#endif
