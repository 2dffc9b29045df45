// A private view of this machine's accounts: the demo and the tests give
// the process local accounts and groups of their own (mirroring a domain's,
// as sites do) without touching the machine's files.
#ifndef TOOLS_CREDMAP_LOCAL_ACCOUNTS_H
#define TOOLS_CREDMAP_LOCAL_ACCOUNTS_H

#include <string>

namespace credmap_tool {

// From now on this process (and the processes it starts) sees /etc/passwd
// and /etc/group with the given lines added, through copies mounted over
// them in a mount namespace of its own; the copies go when the process
// ends.  Once per process.  Needs root (or CAP_SYS_ADMIN); false with the
// reason in *error otherwise.
bool add_local_accounts(const std::string &passwd_lines, const std::string &group_lines, std::string *error);

// The local side of the sample domain's user in 502 groups: account
// "quincy" (uid 40000, primary group "users", gid 100) in "team001" to
// "team500" (gids 40001 to 40500) and "engineering" (gid 40600).  Appends
// to the two texts.
void quincy_accounts(std::string *passwd_lines, std::string *group_lines);

}  // namespace credmap_tool

#endif
