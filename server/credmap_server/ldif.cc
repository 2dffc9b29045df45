// An account directory as LDIF (ldif.h).
#include "ldif.h"

#include <set>
#include <strings.h>
#include <vector>

namespace credmap_server {
namespace {

std::string base64(const std::string &bytes)
{
    static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t n = static_cast<uint8_t>(bytes[i]) << 16;
        if (i + 1 < bytes.size())
            n |= static_cast<uint8_t>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size())
            n |= static_cast<uint8_t>(bytes[i + 2]);
        for (size_t k = 0; k < 4; ++k)
            out += i + k <= bytes.size() ? kDigits[(n >> (18 - 6 * k)) & 63] : '=';
    }
    return out;
}

// "attr: value", or "attr:: base64" for a value LDIF cannot carry as it is.
std::string line(const std::string &attribute, const std::string &value)
{
    bool safe = value.empty() || (value[0] != ' ' && value[0] != ':' && value[0] != '<' && value.back() != ' ');
    for (unsigned char c : value)
        safe = safe && c != 0 && c != '\n' && c != '\r' && c < 0x80;
    return safe ? attribute + ": " + value + "\n" : attribute + ":: " + base64(value) + "\n";
}

// A name as the value of an RDN (RFC 4514).
std::string rdn_value(const std::string &name)
{
    std::string out;
    for (size_t i = 0; i < name.size(); ++i) {
        char c = name[i];
        bool special = std::string(",+\"\\<>;=").find(c) != std::string::npos || (i == 0 && (c == '#' || c == ' ')) ||
                       (i + 1 == name.size() && c == ' ');
        if (special)
            out += '\\';
        out += c;
    }
    return out;
}

std::string sid_bytes(const idkit_sid_t &sid)
{
    return std::string(reinterpret_cast<const char *>(sid.body), sid.length);
}

std::string group_dn(const Group &g, const std::string &base)
{
    return "cn=" + rdn_value(g.name) + ",ou=Groups," + base;
}

std::string user_dn(const User &u, const std::string &base)
{
    return "cn=" + rdn_value(u.name) + ",ou=Users," + base;
}

// A user's groups besides the primary, each once.
std::vector<size_t> memberships(const User &u)
{
    std::vector<size_t> out;
    std::set<size_t> seen;
    for (size_t g : u.groups)
        if (seen.insert(g).second)
            out.push_back(g);
    return out;
}

bool unique_names(const Directory &d, std::string *error)
{
    std::set<std::string> users, groups;
    auto fresh = [](std::set<std::string> &seen, std::string name) {
        for (char &c : name)
            c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        return seen.insert(name).second;
    };
    for (const auto &g : d.groups)
        if (!fresh(groups, g.name))
            return *error = "two groups are named " + g.name, false;
    for (const auto &u : d.users)
        if (!fresh(users, u.name))
            return *error = "two users are named " + u.name, false;
    return true;
}

void write_group(const Directory &d, size_t index, const std::string &base, std::string *out)
{
    const Group &g = d.groups[index];
    *out += "\n" + line("dn", group_dn(g, base)) + "objectClass: top\nobjectClass: group\n" + line("cn", g.name) +
            line("sAMAccountName", g.name) + line("objectSid", sid_bytes(g.sid)) +
            "gidNumber: " + std::to_string(g.gid) + "\n";
    std::string uids;
    for (const auto &u : d.users) {
        for (size_t m : memberships(u)) {
            if (m != index)
                continue;
            *out += line("member", user_dn(u, base));
            uids += line("memberUid", u.name);
        }
    }
    *out += uids;
}

void write_user(const Directory &d, const User &u, const std::string &base, std::string *out)
{
    const Group &primary = d.groups[u.primary];
    *out += "\n" + line("dn", user_dn(u, base)) + "objectClass: top\nobjectClass: user\n" + line("cn", u.name) +
            line("uid", u.name) + line("sAMAccountName", u.name) + line("objectSid", sid_bytes(u.sid)) +
            "uidNumber: " + std::to_string(u.uid) + "\ngidNumber: " + std::to_string(primary.gid) +
            "\nprimaryGroupID: " + std::to_string(primary.rid) +
            "\nuserAccountControl: " + (u.refused ? "514" : "512") + "\n";
    if (!u.gecos.empty())
        *out += line("gecos", u.gecos);
    if (!u.home.empty())
        *out += line("unixHomeDirectory", u.home);
    for (size_t m : memberships(u))
        *out += line("memberOf", group_dn(d.groups[m], base));
}

}  // namespace

bool directory_ldif(const Directory &d, const std::string &base, std::string *out, std::string *error)
{
    if (strncasecmp(base.c_str(), "dc=", 3) != 0)
        return *error = "the base DN must begin with dc=: " + base, false;
    if (!unique_names(d, error))
        return false;
    std::string dc = base.substr(3, base.find(',') - 3);
    *out = "# The accounts of the domain " + d.domain +
           " for an LDAP directory server (credmap_server --print-ldif).\n"
           "# Active Directory's attributes, and RFC 2307's names; see docs/ldap.md.\n" +
           line("dn", base) + "objectClass: top\nobjectClass: domain\nobjectClass: domainDNS\n" + line("dc", dc) +
           line("objectSid", sid_bytes(d.domain_sid));
    for (const char *ou : {"Groups", "Users"})
        *out += "\n" + line("dn", std::string("ou=") + ou + "," + base) +
                "objectClass: top\nobjectClass: organizationalUnit\nou: " + ou + "\n";
    for (size_t i = 0; i < d.groups.size(); ++i)
        write_group(d, i, base, out);
    for (const auto &u : d.users)
        write_user(d, u, base, out);
    return true;
}

}  // namespace credmap_server
