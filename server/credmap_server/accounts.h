// The account directory of a simulated Windows domain: its users and
// groups with their RIDs, the POSIX ids the host gives them, memberships and
// password fields.
#ifndef CREDMAP_SERVER_ACCOUNTS_H
#define CREDMAP_SERVER_ACCOUNTS_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "host/idkit.h"

namespace credmap_server {

struct Group {
    std::string name;
    uint32_t rid = 0;
    uint32_t gid = 0;
    idkit_sid_t sid{};
};

struct User {
    std::string name;
    uint32_t rid = 0;
    uint32_t uid = 0;
    size_t primary = 0;          // index into Directory::groups
    std::vector<size_t> groups;  // supplementary groups, indexes into Directory::groups
    std::string gecos;
    std::string home;
    bool refused = false;  // answered with "credentials refused"
    idkit_sid_t sid{};
};

struct Directory {
    std::string domain;
    idkit_sid_t domain_sid{};
    std::vector<User> users;
    std::vector<Group> groups;
};

// Reads a directory file.  On failure returns false with a message naming
// the line in *error.
bool load_directory(const std::string &path, Directory *out, std::string *error);
// The same from the file's text; `name` begins the messages.
bool parse_directory(std::string_view text, const std::string &name, Directory *out, std::string *error);

// Look-ups.  Names match without regard to case, with or without a
// "DOMAIN\" or "DOMAIN/" prefix of this domain.  Null when not found.
const User *find_user(const Directory &d, const char *name);
const Group *find_group(const Directory &d, const char *name);
const User *find_user_by_uid(const Directory &d, uint64_t uid);
const Group *find_group_by_gid(const Directory &d, uint64_t gid);
const User *find_user_by_sid(const Directory &d, const idkit_sid_t &sid);
const Group *find_group_by_sid(const Directory &d, const idkit_sid_t &sid);

// "DOMAIN\name".
std::string qualified(const Directory &d, const std::string &name);

// The account part of a request's name for the domain `domain`: "DOM\x",
// "DOM/x" and "x" give "x"; a name of another domain, or none, gives null.
const char *account_part(const std::string &domain, const char *name);
// The SID of an account: the domain SID with the RID appended; false when
// the domain SID has no room for one.
bool account_sid(const idkit_sid_t &domain, uint32_t rid, idkit_sid_t *out);
// Whether a request can name the account: no '\', '/' or NUL byte.
bool plain_name(const std::string &name);

}  // namespace credmap_server

#endif
