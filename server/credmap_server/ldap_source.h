// Accounts from an LDAP directory (Active Directory, or any directory with
// the attributes named below), through OpenLDAP's client library.  See
// docs/ldap.md.
#ifndef CREDMAP_SERVER_LDAP_SOURCE_H
#define CREDMAP_SERVER_LDAP_SOURCE_H

#include <map>
#include <memory>
#include <string>

#include "source.h"

namespace credmap_server {

struct LdapOptions {
    std::string uri;  // one URI, or several separated by blanks, tried in turn
    std::string base;
    std::string bind_dn;  // empty: an anonymous bind
    std::string password;
    bool starttls = false;
    unsigned timeout_seconds = 5;                   // a request's look-ups, a connection
    std::string domain;                             // empty: from the base entry
    std::string domain_sid;                         // empty: from the base entry
    std::map<std::string, std::string> attributes;  // KEY -> attribute, over the defaults
};

// The keys of --attribute with their defaults (Active Directory's), as
// "KEY=ATTR" lines with a word on each, for the help text.
std::string attribute_help();
// Takes "KEY=ATTR" into the options; false with the reason when KEY is
// unknown.  An empty ATTR turns an optional attribute off.
bool parse_attribute(const std::string &text, LdapOptions *options, std::string *error);

struct LdapSource;
struct LdapSourceDeleter {
    void operator()(LdapSource *source) const;
};
using LdapSourcePtr = std::unique_ptr<LdapSource, LdapSourceDeleter>;

// A source on the directory; null with the reason when the options are
// wrong.  It connects when first asked (and again after a failure), so the
// directory need not be reachable yet.
LdapSourcePtr make_ldap_source(const LdapOptions &options, std::string *error);
AccountSource account_source(LdapSource *source);
// Reaches the directory now and logs whether it could: for the start.
void probe(LdapSource *source);

}  // namespace credmap_server

#endif
