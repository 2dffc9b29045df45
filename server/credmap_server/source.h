// Where credmap_server finds its accounts.  An account source answers the
// look-ups the procedures make: the domain, a user, groups, each by name,
// POSIX id or SID.  There are two: the directory file (file_source.cc) and
// an LDAP directory (ldap_source.cc).  The procedures ask through this
// record only, so both give the same answers for the same accounts.
//
// Every function of a source may be called from several threads at once.
#ifndef CREDMAP_SERVER_SOURCE_H
#define CREDMAP_SERVER_SOURCE_H

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "accounts.h"

namespace credmap_server {

struct GroupRecord {
    std::string name;  // without the domain
    uint32_t gid = 0;
    idkit_sid_t sid{};
};

struct UserRecord {
    std::string name;  // without the domain
    uint32_t uid = 0;
    idkit_sid_t sid{};
    std::optional<GroupRecord> primary;  // none when it cannot be found
    std::vector<GroupRecord> groups;     // besides the primary; only when asked for
    std::string gecos;
    std::string home;
    bool refused = false;  // the directory marks it so (--refuse is the procedures')
};

// How a request names an account.  A name may carry the domain's prefix
// ("DOM\x", "DOM/x") and is matched without regard to case.
struct Key {
    enum Kind { kName, kId, kSid } kind = kName;
    const char *name = nullptr;
    uint32_t id = 0;
    idkit_sid_t sid{};
};

inline Key by_name(const char *name)
{
    return {Key::kName, name, 0, {}};
}
inline Key by_id(uint32_t id)
{
    return {Key::kId, nullptr, id, {}};
}
inline Key by_sid(const idkit_sid_t &sid)
{
    return {Key::kSid, nullptr, 0, sid};
}

// kUnavailable: the source cannot answer now (its directory cannot be
// reached, or did not answer in time); the request gets a status.
enum class Found { kYes, kNo, kUnavailable };

using Clock = std::chrono::steady_clock;

struct AccountSource {
    void *state = nullptr;
    // How long one request may spend in look-ups.
    Clock::duration time_limit = std::chrono::seconds(5);
    // The domain's name and SID.
    Found (*domain)(void *state, Clock::time_point deadline, std::string *name, idkit_sid_t *sid) = nullptr;
    // One user; with_groups fills UserRecord::groups.
    Found (*user)(void *state, const Key &key, bool with_groups, Clock::time_point deadline, UserRecord *out) = nullptr;
    // Groups: (*out)[i] answers keys[i], empty when no group has it.  kYes
    // unless the source cannot answer.
    Found (*groups)(void *state, const std::vector<Key> &keys, Clock::time_point deadline,
                    std::vector<std::optional<GroupRecord>> *out) = nullptr;
};

// The directory file as a source; `directory` must outlive it.
AccountSource file_source(const Directory *directory);

}  // namespace credmap_server

#endif
