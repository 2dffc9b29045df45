// Connections to an LDAP directory server for the account source: a pool
// of connections shared by the server's threads, searches in pages within
// a deadline, reconnection after a failure.
//
// Threads: a search takes a connection of its own from the pool (or makes
// one) and gives it back when done, so no two threads ever use one
// connection; the pool holds at most as many as ever ran at once, one per
// worker thread.  Failures: a connection that failed on the client's side
// (lost, timed out) is closed with every idle one, and a search that met a
// lost connection tries once more on a new one.  After a failed attempt to
// connect, searches that need a new connection fail at once for a second,
// so that a directory that is down costs the requests no time.
#ifndef CREDMAP_SERVER_LDAP_CLIENT_H
#define CREDMAP_SERVER_LDAP_CLIENT_H

#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "daemon.h"
#include "ldap_source.h"

struct ldap;  // OpenLDAP's LDAP

namespace credmap_server {

// One entry of a search: its DN and its attributes' values (binary values
// as they are), by attribute name in lower case.
struct Entry {
    std::string dn;
    std::map<std::string, std::vector<std::string>> values;
};

struct Search {
    std::string base;
    int scope = 0;  // LDAP_SCOPE_BASE, LDAP_SCOPE_SUBTREE
    std::string filter;
    std::vector<std::string> attributes;
};

struct Pool {
    LdapOptions options;
    std::mutex lock;  // guards what follows
    std::vector<ldap *> idle;
    Clock::time_point retry_after{};  // no new connection before
    enum { kUnknown, kUp, kDown } state = kUnknown;
    std::string last_failure;  // logged
};

// Closes every idle connection.
void close_pool(Pool *pool);

// Runs a search; false when the directory cannot be reached, did not
// answer by the deadline, or refused the search (logged when the
// directory's state changes).  A base that does not exist gives no entry.
bool search(Pool &pool, const Search &search, Clock::time_point deadline, std::vector<Entry> *out);

// The log's escaping of text from a directory (daemon.h).
using velmo::daemon::printable;

// The value as a filter assertion, every byte that is not a letter or a
// digit escaped (RFC 4515).
std::string filter_value(std::string_view value);

}  // namespace credmap_server

#endif
