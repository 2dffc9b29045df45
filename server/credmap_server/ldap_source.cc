// Accounts from an LDAP directory (ldap_source.h).  Each look-up is a
// search (or a few) through the connection pool of ldap_client.h; nothing
// is kept but the domain's name and SID, so the answers follow the
// directory as it changes.  Entries that cannot make an account (no name,
// a malformed SID, a missing id) are skipped and logged once.
#include "ldap_source.h"

#include <ldap.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <strings.h>
#include <unordered_map>

#include "daemon.h"
#include "ldap_client.h"

namespace credmap_server {

// The attributes and object classes the source reads, by the names the
// directory gives them.
struct Attributes {
    std::string user_class, group_class, user_name, group_name, sid, uid, gid, primary_group_id, member, member_uid,
        member_of, gecos, home, refused, domain_name;
};

struct LdapSource {
    Pool pool;
    Attributes names;
    Clock::duration time_limit{};
    std::mutex lock;  // guards what follows
    bool have_domain = false;
    std::string domain;
    idkit_sid_t domain_sid{};
    std::set<std::string> reported;  // problems logged already
};

namespace {

struct AttributeKey {
    const char *key;
    std::string Attributes::*field;
    const char *fallback;  // Active Directory's
    bool required;
    const char *what;
};

const AttributeKey kKeys[] = {
    {"user-class", &Attributes::user_class, "user", true, "object class of users"},
    {"group-class", &Attributes::group_class, "group", true, "object class of groups"},
    {"user-name", &Attributes::user_name, "sAMAccountName", true, "a user's name"},
    {"group-name", &Attributes::group_name, "sAMAccountName", true, "a group's name"},
    {"sid", &Attributes::sid, "objectSid", true, "binary SID of accounts and the base entry"},
    {"uid", &Attributes::uid, "uidNumber", true, "a user's POSIX id"},
    {"gid", &Attributes::gid, "gidNumber", true, "a group's POSIX id; a user's primary's"},
    {"primary-group-id", &Attributes::primary_group_id, "primaryGroupID", false,
     "RID of a user's primary group (else gid)"},
    {"member", &Attributes::member, "member", false, "a group's members, as DNs"},
    {"member-uid", &Attributes::member_uid, "", false, "a group's members, as names (memberUid)"},
    {"member-of", &Attributes::member_of, "memberOf", false, "a user's groups, as DNs, in their order"},
    {"gecos", &Attributes::gecos, "gecos", false, "a user's full name"},
    {"home", &Attributes::home, "unixHomeDirectory", false, "a user's home directory"},
    {"refused", &Attributes::refused, "userAccountControl", false,
     "TRUE, or bit 2 set: credentials refused"},
    {"domain-name", &Attributes::domain_name, "dc", false, "the base entry's domain name, upper-cased"},
};

using Deadline = Clock::time_point;

// Entries a search of groups names at most, so that filters stay short.
constexpr size_t kKeysPerSearch = 50;
// Names no longer than this may be looked for.
constexpr size_t kNameMax = IDKIT_NAME_MAX;

LdapSource &source_of(void *state)
{
    return *static_cast<LdapSource *>(state);
}

std::string lower(std::string text)
{
    for (char &c : text)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}

// Logs a problem once; the source carries on.
void report(LdapSource &s, const std::string &problem)
{
    std::lock_guard<std::mutex> lock(s.lock);
    if (s.reported.size() > 10000)
        s.reported.clear();
    if (s.reported.insert(problem).second)
        velmo::daemon::log("%s", problem.c_str());
}

void skip(LdapSource &s, const Entry &e, const std::string &why)
{
    report(s, "skipping the directory entry " + printable(e.dn) + ": " + why);
}

void note(LdapSource &s, const Entry &e, const std::string &what)
{
    report(s, "the directory entry " + printable(e.dn) + ": " + what);
}

// ---- Values of an entry ----

const std::vector<std::string> *values(const Entry &e, const std::string &attribute)
{
    if (attribute.empty())
        return nullptr;
    auto it = e.values.find(lower(attribute));
    return it == e.values.end() || it->second.empty() ? nullptr : &it->second;
}

const std::string *first(const Entry &e, const std::string &attribute)
{
    const auto *v = values(e, attribute);
    return v == nullptr ? nullptr : &v->front();
}

bool parse_u32(const std::string *text, uint32_t *out)
{
    if (text == nullptr || text->empty() || text->size() > 10 ||
        text->find_first_not_of("0123456789") != std::string::npos)
        return false;
    unsigned long long v = std::strtoull(text->c_str(), nullptr, 10);
    *out = static_cast<uint32_t>(v);
    return v <= 0xffffffffull;
}

// A binary SID as Windows lays it out: revision 1, the count of
// sub-authorities, the authority, the sub-authorities.
bool decode_sid(const std::string *bytes, idkit_sid_t *out)
{
    if (bytes == nullptr || bytes->size() < 8 || bytes->size() > IDKIT_SID_BODY_MAX || (*bytes)[0] != 1 ||
        bytes->size() != 8 + 4u * static_cast<uint8_t>((*bytes)[1]))
        return false;
    *out = idkit_sid_t{};
    out->length = static_cast<uint8_t>(bytes->size());
    std::memcpy(out->body, bytes->data(), bytes->size());
    static const uint8_t kNtAuthority[6] = {0, 0, 0, 0, 0, 5};
    out->kind = std::memcmp(out->body + 2, kNtAuthority, 6) == 0 ? IDKIT_SID_KIND_NT : IDKIT_SID_KIND_REAL;
    return true;
}

std::string sid_bytes(const idkit_sid_t &sid)
{
    return std::string(reinterpret_cast<const char *>(sid.body), sid.length);
}

std::string sid_text(const idkit_sid_t &sid)
{
    char text[IDKIT_SID_TEXT_MAX];
    return idkit_sid_to_str(&sid, text);
}

bool decode_name(const Entry &e, const std::string &attribute, std::string *name, std::string *why)
{
    const std::string *v = first(e, attribute);
    if (v == nullptr || v->empty())
        return *why = "no " + attribute, false;
    if (!plain_name(*v) || v->size() > kNameMax)
        return *why = attribute + " " + printable(*v) + " cannot be asked for", false;
    *name = *v;
    return true;
}

bool decode_group(const LdapSource &s, const Entry &e, GroupRecord *g, std::string *why)
{
    const Attributes &a = s.names;
    if (!decode_name(e, a.group_name, &g->name, why))
        return false;
    if (!decode_sid(first(e, a.sid), &g->sid))
        return *why = "no well-formed " + a.sid, false;
    if (!parse_u32(first(e, a.gid), &g->gid))
        return *why = "no " + a.gid + " of 32 bits", false;
    return true;
}

bool refused_value(const std::string *v)
{
    uint32_t flags;
    return v != nullptr && (strcasecmp(v->c_str(), "TRUE") == 0 || (parse_u32(v, &flags) && (flags & 2) != 0));
}

bool decode_user(const LdapSource &s, const Entry &e, UserRecord *u, std::string *why)
{
    const Attributes &a = s.names;
    if (!decode_name(e, a.user_name, &u->name, why))
        return false;
    if (!decode_sid(first(e, a.sid), &u->sid))
        return *why = "no well-formed " + a.sid, false;
    if (!parse_u32(first(e, a.uid), &u->uid))
        return *why = "no " + a.uid + " of 32 bits", false;
    const std::string *gecos = first(e, a.gecos), *home = first(e, a.home);
    u->gecos = gecos != nullptr ? *gecos : "";
    u->home = home != nullptr ? *home : "";
    u->refused = refused_value(first(e, a.refused));
    return true;
}

// ---- Filters ----

std::string equals(const std::string &attribute, std::string_view value)
{
    return "(" + attribute + "=" + filter_value(value) + ")";
}

std::string of_class(const std::string &object_class, const std::string &terms)
{
    return "(&" + equals("objectClass", object_class) + terms + ")";
}

// The assertion for a key on accounts named by the attribute `name` with
// ids in `id`; false for a key no account can have.
bool assertion(const LdapSource &s, const std::string &domain, const std::string &name, const std::string &id,
               const Key &key, std::string *out)
{
    if (key.kind == Key::kId) {
        *out = equals(id, std::to_string(key.id));
        return true;
    }
    if (key.kind == Key::kSid) {
        if (key.sid.kind < IDKIT_SID_KIND_REAL)
            return false;
        *out = equals(s.names.sid, sid_bytes(key.sid));
        return true;
    }
    const char *account = account_part(domain, key.name);
    if (account == nullptr || account[0] == '\0' || std::strlen(account) > kNameMax)
        return false;
    *out = equals(name, account);
    return true;
}

// A key as the index of find_groups holds it, by the rules of the
// directory file (names compared without regard to case, in ASCII),
// whatever matching rules the directory applies; empty for a key no
// account can have.
std::string index_key(const Key &key, const std::string &domain)
{
    if (key.kind == Key::kId)
        return "id " + std::to_string(key.id);
    if (key.kind == Key::kSid)
        return key.sid.kind < IDKIT_SID_KIND_REAL ? "" : "sid " + sid_bytes(key.sid);
    const char *account = account_part(domain, key.name);
    return account == nullptr ? "" : "name " + lower(account);
}

std::vector<std::string> group_attributes(const LdapSource &s)
{
    return {s.names.group_name, s.names.sid, s.names.gid};
}

// ---- Look-ups ----

Found domain(void *state, Deadline deadline, std::string *name, idkit_sid_t *sid);

bool get_domain(LdapSource &s, Deadline deadline, std::string *name, idkit_sid_t *sid)
{
    return domain(&s, deadline, name, sid) == Found::kYes;
}

// The name and SID of the domain from the base entry, where the options
// do not give them.
Found read_domain(LdapSource &s, Deadline deadline, std::string *name, idkit_sid_t *sid)
{
    const LdapOptions &o = s.pool.options;
    std::vector<Entry> base;
    if (!search(s.pool, {o.base, LDAP_SCOPE_BASE, "(objectClass=*)", {s.names.sid, s.names.domain_name}}, deadline,
                &base))
        return Found::kUnavailable;
    if (base.empty())
        return report(s, "the base entry " + printable(o.base) + " cannot be read"), Found::kUnavailable;
    if (name->empty()) {
        const std::string *v = first(base[0], s.names.domain_name);
        if (v == nullptr || v->empty() || !plain_name(*v))
            return report(s, "the base entry has no usable " + s.names.domain_name + "; give --domain"),
                   Found::kUnavailable;
        *name = v->c_str();
        for (char &c : *name)
            c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    }
    if (o.domain_sid.empty() && !decode_sid(first(base[0], s.names.sid), sid))
        return report(s, "the base entry has no well-formed " + s.names.sid + "; give --domain-sid"),
               Found::kUnavailable;
    return Found::kYes;
}

Found domain(void *state, Deadline deadline, std::string *name, idkit_sid_t *sid)
{
    LdapSource &s = source_of(state);
    {
        std::lock_guard<std::mutex> lock(s.lock);
        if (s.have_domain) {
            *name = s.domain;
            *sid = s.domain_sid;
            return Found::kYes;
        }
    }
    const LdapOptions &o = s.pool.options;
    *name = o.domain;
    if (!o.domain_sid.empty())
        idkit_sid_from_str(o.domain_sid.c_str(), sid);
    if ((name->empty() || o.domain_sid.empty()) && read_domain(s, deadline, name, sid) != Found::kYes)
        return Found::kUnavailable;
    if (sid->kind != IDKIT_SID_KIND_NT)
        return report(s, "the domain SID " + sid_text(*sid) + " is not of a Windows domain"), Found::kUnavailable;
    std::lock_guard<std::mutex> lock(s.lock);
    if (!s.have_domain)
        velmo::daemon::log("serving the domain %s (%s) from the account directory", printable(*name).c_str(),
                           sid_text(*sid).c_str());
    s.have_domain = true;
    s.domain = *name;
    s.domain_sid = *sid;
    return Found::kYes;
}

// Groups for keys, a search for every kKeysPerSearch distinct assertions.
Found find_groups(LdapSource &s, const std::vector<Key> &keys, Deadline deadline,
                  std::vector<std::optional<GroupRecord>> *out)
{
    out->assign(keys.size(), std::nullopt);
    std::string domain;
    idkit_sid_t domain_sid;
    if (!get_domain(s, deadline, &domain, &domain_sid))
        return Found::kUnavailable;
    std::vector<std::string> terms;
    std::set<std::string> distinct;
    for (const Key &key : keys) {
        std::string term;
        if (assertion(s, domain, s.names.group_name, s.names.gid, key, &term) && distinct.insert(lower(term)).second)
            terms.push_back(term);
    }
    std::vector<GroupRecord> found;
    for (size_t from = 0; from < terms.size(); from += kKeysPerSearch) {
        std::string any = "(|";
        for (size_t i = from; i < terms.size() && i < from + kKeysPerSearch; ++i)
            any += terms[i];
        std::vector<Entry> entries;
        if (!search(s.pool,
                    {s.pool.options.base, LDAP_SCOPE_SUBTREE, of_class(s.names.group_class, any + ")"),
                     group_attributes(s)},
                    deadline, &entries))
            return Found::kUnavailable;
        for (const Entry &e : entries) {
            GroupRecord g;
            std::string why;
            if (decode_group(s, e, &g, &why))
                found.push_back(std::move(g));
            else
                skip(s, e, why);
        }
    }
    // The first group found with each name, id and SID answers it.
    std::unordered_map<std::string, size_t> index;
    for (size_t i = 0; i < found.size(); ++i)
        for (const Key &key : {by_name(found[i].name.c_str()), by_id(found[i].gid), by_sid(found[i].sid)})
            index.emplace(index_key(key, domain), i);
    for (size_t k = 0; k < keys.size(); ++k) {
        std::string wanted = index_key(keys[k], domain);
        auto at = index.find(wanted);
        if (!wanted.empty() && at != index.end())
            (*out)[k] = found[at->second];
    }
    return Found::kYes;
}

Found groups(void *state, const std::vector<Key> &keys, Deadline deadline, std::vector<std::optional<GroupRecord>> *out)
{
    return find_groups(source_of(state), keys, deadline, out);
}

// The user's primary group: by its RID within the domain SID, else by the
// user's gid.  None (logged) when neither finds a group.
Found find_primary(LdapSource &s, const Entry &e, const idkit_sid_t &domain_sid, Deadline deadline, UserRecord *u)
{
    uint32_t id;
    idkit_sid_t sid;
    Key key;
    if (parse_u32(first(e, s.names.primary_group_id), &id) && account_sid(domain_sid, id, &sid))
        key = by_sid(sid);
    else if (parse_u32(first(e, s.names.gid), &id))
        key = by_id(id);
    else
        return note(s, e, "no primary group; answered with nobody's"), Found::kYes;
    std::vector<std::optional<GroupRecord>> found;
    if (find_groups(s, {key}, deadline, &found) != Found::kYes)
        return Found::kUnavailable;
    u->primary = found[0];
    if (!u->primary)
        note(s, e, "its primary group is not in the directory; answered with nobody's");
    return Found::kYes;
}

// A DN as the groups' member attributes and a user's member-of may spell
// it: normalized, in lower case.
std::string dn_key(const std::string &dn)
{
    std::string key = dn;
    char *normal = nullptr;
    if (ldap_dn_normalize(dn.c_str(), LDAP_DN_FORMAT_LDAP, &normal, LDAP_DN_FORMAT_LDAPV3) == LDAP_SUCCESS &&
        normal != nullptr)
        key = normal;
    ldap_memfree(normal);
    return lower(key);
}

// The groups of a user besides its primary group: those that name it as a
// member (by DN or by name) and those its member-of attribute names.  In
// the order of member-of, then the rest as the directory returns them
// (member-of may be cut short, as Active Directory's ranges do, or off).
Found find_member_groups(LdapSource &s, const Entry &user, const std::string &name, Deadline deadline,
                         std::vector<GroupRecord> *out)
{
    const Attributes &a = s.names;
    std::string any;
    if (!a.member.empty())
        any += equals(a.member, user.dn);
    if (!a.member_uid.empty())
        any += equals(a.member_uid, name);
    std::vector<Entry> listing;
    if (!any.empty() && !search(s.pool,
                                {s.pool.options.base, LDAP_SCOPE_SUBTREE, of_class(a.group_class, "(|" + any + ")"),
                                 group_attributes(s)},
                                deadline, &listing))
        return Found::kUnavailable;
    auto add = [&](const Entry &e) {
        GroupRecord g;
        std::string why;
        if (decode_group(s, e, &g, &why))
            out->push_back(std::move(g));
        else
            skip(s, e, why);
    };
    std::unordered_map<std::string, size_t> by_dn;
    for (size_t i = 0; i < listing.size(); ++i)
        by_dn.emplace(dn_key(listing[i].dn), i);
    std::vector<bool> taken(listing.size());
    std::set<std::string> seen;
    const std::vector<std::string> *of = values(user, a.member_of);
    for (size_t i = 0; of != nullptr && i < of->size(); ++i) {
        std::string key = dn_key((*of)[i]);
        auto at = by_dn.find(key);
        if (at != by_dn.end() && !taken[at->second]) {
            taken[at->second] = true;
            add(listing[at->second]);
        } else if (at == by_dn.end() && seen.insert(key).second) {
            std::vector<Entry> one;
            if (!search(s.pool, {(*of)[i], LDAP_SCOPE_BASE, of_class(a.group_class, ""), group_attributes(s)}, deadline,
                        &one))
                return Found::kUnavailable;
            for (const Entry &e : one)
                add(e);
        }
    }
    for (size_t i = 0; i < listing.size(); ++i)
        if (!taken[i])
            add(listing[i]);
    return Found::kYes;
}

Found user(void *state, const Key &key, bool with_groups, Deadline deadline, UserRecord *out)
{
    LdapSource &s = source_of(state);
    const Attributes &a = s.names;
    std::string domain, term;
    idkit_sid_t domain_sid;
    if (!get_domain(s, deadline, &domain, &domain_sid))
        return Found::kUnavailable;
    if (!assertion(s, domain, a.user_name, a.uid, key, &term))
        return Found::kNo;
    std::vector<std::string> attributes = {a.user_name,        a.sid,   a.uid,  a.gid,
                                           a.primary_group_id, a.gecos, a.home, a.refused};
    if (with_groups)
        attributes.push_back(a.member_of);
    std::vector<Entry> entries;
    if (!search(s.pool, {s.pool.options.base, LDAP_SCOPE_SUBTREE, of_class(a.user_class, term), attributes}, deadline,
                &entries))
        return Found::kUnavailable;
    std::string wanted = index_key(key, domain);
    for (const Entry &e : entries) {
        UserRecord u;
        std::string why;
        if (!decode_user(s, e, &u, &why)) {
            skip(s, e, why);
            continue;
        }
        if (wanted != index_key(by_name(u.name.c_str()), domain) && wanted != index_key(by_id(u.uid), domain) &&
            wanted != index_key(by_sid(u.sid), domain))
            continue;
        Found f = find_primary(s, e, domain_sid, deadline, &u);
        if (f == Found::kYes && with_groups)
            f = find_member_groups(s, e, u.name, deadline, &u.groups);
        if (f == Found::kYes)
            *out = std::move(u);
        return f;
    }
    return Found::kNo;
}

// An attribute or object class name: letters, digits, '-' (or a numeric
// OID), nothing a filter would read otherwise.
bool attribute_name(const std::string &name)
{
    return name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-.") ==
           std::string::npos;
}

bool check_options(const LdapOptions &o, Attributes *names, std::string *error)
{
    for (const auto &k : kKeys) {
        auto given = o.attributes.find(k.key);
        std::string &name = names->*k.field;
        name = given != o.attributes.end() ? given->second : k.fallback;
        if (k.required && name.empty())
            return *error = std::string("--attribute ") + k.key + " may not be empty", false;
        if (!attribute_name(name))
            return *error = std::string("--attribute ") + k.key + ": not an attribute name: " + name, false;
    }
    idkit_sid_t sid;
    if (!o.domain_sid.empty() && (idkit_sid_from_str(o.domain_sid.c_str(), &sid) != 0 || sid.kind != IDKIT_SID_KIND_NT))
        return *error = "--domain-sid: not the SID of a Windows domain (S-1-5-...): " + o.domain_sid, false;
    if (!o.domain.empty() && !plain_name(o.domain))
        return *error = "--domain: a name may not contain '\\', '/' or a NUL byte", false;
    if (o.base.empty())
        return *error = "--base DN is required with --ldap", false;
    if (o.timeout_seconds == 0)
        return *error = "--ldap-timeout must be at least 1", false;
    LDAP *ld = nullptr;
    int rc = ldap_initialize(&ld, o.uri.c_str());
    if (ld != nullptr)
        ldap_unbind_ext_s(ld, nullptr, nullptr);
    if (rc != LDAP_SUCCESS)
        return *error = "--ldap: not an LDAP URI: " + o.uri, false;
    return true;
}

}  // namespace

std::string attribute_help()
{
    std::string text;
    for (const auto &k : kKeys) {
        std::string line = std::string("    ") + k.key + "=" + (k.fallback[0] != '\0' ? k.fallback : "(none)");
        line.resize(std::max<size_t>(line.size() + 1, 36), ' ');
        text += line + k.what + "\n";
    }
    return text;
}

bool parse_attribute(const std::string &text, LdapOptions *options, std::string *error)
{
    size_t eq = text.find('=');
    std::string key = text.substr(0, eq);
    for (const auto &k : kKeys)
        if (eq != std::string::npos && key == k.key)
            return options->attributes[key] = text.substr(eq + 1), true;
    return *error = "--attribute KEY=ATTR with KEY one of those --help lists: " + text, false;
}

void LdapSourceDeleter::operator()(LdapSource *source) const
{
    close_pool(&source->pool);
    delete source;
}

LdapSourcePtr make_ldap_source(const LdapOptions &options, std::string *error)
{
    LdapSourcePtr s(new LdapSource);
    if (!check_options(options, &s->names, error))
        return nullptr;
    s->pool.options = options;
    s->time_limit = std::chrono::seconds(options.timeout_seconds);
    // The library's TLS context, made now rather than by the first
    // connections of several threads at once.
    int client = 0;
    if (options.starttls || lower(options.uri).find("ldaps://") != std::string::npos)
        ldap_set_option(nullptr, LDAP_OPT_X_TLS_NEWCTX, &client);
    return s;
}

AccountSource account_source(LdapSource *source)
{
    AccountSource a;
    a.state = source;
    a.time_limit = source->time_limit;
    a.domain = domain;
    a.user = user;
    a.groups = groups;
    return a;
}

void probe(LdapSource *source)
{
    std::string name;
    idkit_sid_t sid;
    domain(source, Clock::now() + source->time_limit, &name, &sid);
}

}  // namespace credmap_server
