// An account directory as LDIF, to load into an LDAP directory server that
// then serves the same accounts (credmap_server --print-ldif).
#ifndef CREDMAP_SERVER_LDIF_H
#define CREDMAP_SERVER_LDIF_H

#include <string>

#include "accounts.h"

namespace credmap_server {

// The directory under `base` (a DN beginning with dc=) in the attributes
// the LDAP back end reads by default, Active Directory's: the base entry
// with the domain SID, then ou=Groups and ou=Users.  Each account also has
// the names RFC 2307 gives it (cn, uid, memberUid).  False with the reason
// for a directory that LDAP cannot hold (two accounts of one name).
bool directory_ldif(const Directory &d, const std::string &base, std::string *out, std::string *error);

}  // namespace credmap_server

#endif
