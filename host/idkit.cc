// Credential utility service: SIDs, their text form, the process's own
// credentials and the conversions between SIDs, UNIX ids and names.
#include "host/idkit.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "host/core.h"
#include "host/mem.h"

namespace {

// Layout of a binary SID body: revision, sub-authority count, 6-byte
// big-endian authority, then little-endian 32-bit sub-authorities.
constexpr unsigned kHeaderBytes = 8;
constexpr unsigned kMaxSubAuthorities = 6;
constexpr uint64_t kNtAuthority = 5;
constexpr uint64_t kUnixAuthority = 22;
constexpr uint32_t kUnixUserRid = 1;
constexpr uint32_t kUnixGroupRid = 2;

// The parts of a well-formed binary SID.
struct sid_parts {
    uint8_t revision;
    uint8_t count;
    uint64_t authority;
    uint32_t subs[kMaxSubAuthorities];
};

unsigned used_length(const idkit_sid_t *sid)
{
    return std::min<unsigned>(sid->length, IDKIT_SID_BODY_MAX);
}

// Splits a real SID's body into its parts; false when the body is not a
// well-formed binary SID.
bool split_sid(const idkit_sid_t *sid, sid_parts *parts)
{
    unsigned length = used_length(sid);
    if (sid->kind < IDKIT_SID_KIND_REAL || length < kHeaderBytes)
        return false;
    const uint8_t *b = sid->body;
    if (b[1] > kMaxSubAuthorities || length != kHeaderBytes + 4u * b[1])
        return false;
    parts->revision = b[0];
    parts->count = b[1];
    parts->authority = 0;
    for (unsigned i = 2; i < kHeaderBytes; ++i)
        parts->authority = (parts->authority << 8) | b[i];
    for (unsigned i = 0; i < parts->count; ++i) {
        const uint8_t *s = b + kHeaderBytes + 4 * i;
        parts->subs[i] = uint32_t(s[0]) | uint32_t(s[1]) << 8 | uint32_t(s[2]) << 16 | uint32_t(s[3]) << 24;
    }
    return true;
}

void join_sid(const sid_parts &parts, uint8_t kind, idkit_sid_t *out)
{
    std::memset(out, 0, sizeof *out);
    out->kind = kind;
    out->length = uint8_t(kHeaderBytes + 4 * parts.count);
    out->body[0] = parts.revision;
    out->body[1] = parts.count;
    for (unsigned i = 0; i < 6; ++i)
        out->body[2 + i] = uint8_t(parts.authority >> (8 * (5 - i)));
    for (unsigned i = 0; i < parts.count; ++i)
        for (unsigned j = 0; j < 4; ++j)
            out->body[kHeaderBytes + 4 * i + j] = uint8_t(parts.subs[i] >> (8 * j));
}

// Domain SIDs of Windows (authority 5) are of the NT kind; every other real
// SID is plainly real.  The text names a kind only when it is not this one.
uint8_t default_kind(uint64_t authority)
{
    return authority == kNtAuthority ? IDKIT_SID_KIND_NT : IDKIT_SID_KIND_REAL;
}

void make_local_sid(idkit_sid_t *out, uint32_t rid, uint32_t id)
{
    sid_parts parts{1, 2, kUnixAuthority, {rid, id, 0, 0, 0, 0}};
    join_sid(parts, IDKIT_SID_KIND_REAL, out);
}

// The id of a local SID S-1-22-<rid>-<id>, any real kind.
bool local_id(const idkit_sid_t *sid, uint32_t rid, uint32_t *id)
{
    sid_parts parts;
    if (sid == nullptr || !split_sid(sid, &parts))
        return false;
    if (parts.revision != 1 || parts.count != 2 || parts.authority != kUnixAuthority || parts.subs[0] != rid)
        return false;
    *id = parts.subs[1];
    return true;
}

// ---- Text form ----

// Reads a decimal number of at most `max`; advances `p` past it.
bool parse_decimal(const char *&p, uint64_t max, uint64_t *value)
{
    if (*p < '0' || *p > '9')
        return false;
    uint64_t v = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        unsigned digit = unsigned(*p - '0');
        if (v > (max - digit) / 10)
            return false;
        v = v * 10 + digit;
    }
    *value = v;
    return true;
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The authority: decimal, or "0x" and exactly 12 hex digits.
bool parse_authority(const char *&p, uint64_t *value)
{
    constexpr uint64_t kMaxAuthority = (uint64_t(1) << 48) - 1;
    if (p[0] != '0' || (p[1] != 'x' && p[1] != 'X'))
        return parse_decimal(p, kMaxAuthority, value);
    p += 2;
    uint64_t v = 0;
    for (int i = 0; i < 12; ++i, ++p) {
        int d = hex_digit(*p);
        if (d < 0)
            return false;
        v = (v << 4) | unsigned(d);
    }
    *value = v;
    return true;
}

bool parse_real_sid(const char *p, idkit_sid_t *out)
{
    sid_parts parts{};
    uint64_t value;
    if (p[0] != 'S' || p[1] != '-')
        return false;
    p += 2;
    if (!parse_decimal(p, UINT8_MAX, &value) || *p++ != '-')
        return false;
    parts.revision = uint8_t(value);
    if (!parse_authority(p, &parts.authority))
        return false;
    while (*p == '-') {
        ++p;
        if (parts.count == kMaxSubAuthorities || !parse_decimal(p, UINT32_MAX, &value))
            return false;
        parts.subs[parts.count++] = uint32_t(value);
    }
    uint8_t kind = default_kind(parts.authority);
    if (*p == '@') {
        ++p;
        if (!parse_decimal(p, UINT8_MAX, &value) || value < IDKIT_SID_KIND_REAL)
            return false;
        kind = uint8_t(value);
    }
    if (*p != '\0')
        return false;
    join_sid(parts, kind, out);
    return true;
}

// ---- Account and group databases ----

// Runs a reentrant lookup (getpwuid_r, getgrgid_r) with a work buffer that
// grows while the entry does not fit.  True when an entry was found.
template<typename Entry, typename Lookup>
bool lookup_entry(Lookup lookup, Entry *entry, std::vector<char> &work)
{
    constexpr size_t kMaxWork = size_t(1) << 24;
    if (work.size() < 1024)
        work.resize(1024);
    for (;;) {
        Entry *result = nullptr;
        int rc = lookup(entry, work.data(), work.size(), &result);
        if (rc == 0)
            return result != nullptr;
        if (rc == EINTR)
            continue;
        if (rc != ERANGE || work.size() >= kMaxWork)
            return false;
        work.resize(work.size() * 2);
    }
}

bool find_user(uid_t uid, struct passwd *pw, std::vector<char> &work)
{
    return lookup_entry(
        [uid](struct passwd *e, char *b, size_t n, struct passwd **r) { return getpwuid_r(uid, e, b, n, r); }, pw,
        work);
}

bool find_group(gid_t gid, struct group *gr, std::vector<char> &work)
{
    return lookup_entry(
        [gid](struct group *e, char *b, size_t n, struct group **r) { return getgrgid_r(gid, e, b, n, r); }, gr, work);
}

// The local name of a user or group SID, "nobody" when it has none.  May
// throw std::bad_alloc.
std::string user_name_of(const idkit_sid_t *sid, std::vector<char> &work)
{
    uint32_t uid;
    struct passwd pw;
    if (local_id(sid, kUnixUserRid, &uid) && find_user(uid, &pw, work))
        return pw.pw_name;
    return "nobody";
}

std::string group_name_of(const idkit_sid_t *sid, std::vector<char> &work)
{
    uint32_t gid;
    struct group gr;
    if (local_id(sid, kUnixGroupRid, &gid) && find_group(gid, &gr, work))
        return gr.gr_name;
    return "nobody";
}

// ---- Own credentials ----

// The real uid, gid and supplementary groups of the process.
core_status_t own_groups(std::vector<gid_t> &groups)
{
    try {
        // The group list may change between the two calls; try again then.
        for (int attempt = 0; attempt < 8; ++attempt) {
            int n = getgroups(0, nullptr);
            if (n < 0)
                return IDKIT_E_NO_CREDENTIALS;
            groups.resize(size_t(n) + 1);
            n = getgroups(int(groups.size()), groups.data());
            if (n >= 0) {
                groups.resize(size_t(n));
                return 0;
            }
            if (errno != EINVAL)
                return IDKIT_E_NO_CREDENTIALS;
        }
        return IDKIT_E_NO_CREDENTIALS;
    } catch (const std::bad_alloc &) {
        return CORE_E_NO_MEMORY;
    }
}

// Strings the thread's last idkit_getpwsid / idkit_getgrsid answer points into.
struct passwd_answer {
    idkit_passwd_sid_t record;
    std::string user, group, gecos, home;
    std::vector<char> work;
};

struct group_answer {
    idkit_group_sid_t record;
    std::string name;
    std::vector<char> work;
};

thread_local passwd_answer tl_passwd;
thread_local group_answer tl_group;

char *dup_string(const std::string &s)
{
    return strdup(s.c_str());
}

}  // namespace

extern "C" {

// Exported through their declarations in the header.
const idkit_sid_t IDKIT_SID_NOBODY = {0, IDKIT_SID_KIND_NOBODY, {0}};
const idkit_sid_t IDKIT_SID_DONTCARE = {0, IDKIT_SID_KIND_DONTCARE, {0}};

VELMO_API int idkit_sid_eq(const idkit_sid_t *a, const idkit_sid_t *b)
{
    if (a == b)
        return 1;
    if (a == nullptr || b == nullptr || a->kind != b->kind || a->length != b->length)
        return 0;
    return std::memcmp(a->body, b->body, used_length(a)) == 0;
}

// FNV-1a over kind, length and the used body: cheap enough for the cache's
// hot path, which calls it under its lock.
VELMO_API uint32_t idkit_sid_hash_fn(const void *key)
{
    const idkit_sid_t *sid = static_cast<const idkit_sid_t *>(key);
    if (sid == nullptr)
        return 0;
    // Eight bytes a step: the cached path hashes one SID per lookup.
    uint64_t h = 0x9e3779b97f4a7c15ull ^ (uint64_t(sid->kind) << 8 | sid->length);
    auto mix = [&h](uint64_t word) {
        h = (h ^ word) * 0xff51afd7ed558ccdull;
        h ^= h >> 32;
    };
    unsigned n = used_length(sid), i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t word;
        std::memcpy(&word, sid->body + i, 8);
        mix(word);
    }
    uint64_t tail = 0;
    std::memcpy(&tail, sid->body + i, n - i);
    mix(tail ^ uint64_t(n - i) << 59);
    return static_cast<uint32_t>(h ^ (h >> 29));
}

VELMO_API int idkit_sid_keycmp_fn(const void *a, const void *b)
{
    return idkit_sid_eq(static_cast<const idkit_sid_t *>(a), static_cast<const idkit_sid_t *>(b)) ? 1 : 0;
}

VELMO_API char *idkit_sid_to_str(const idkit_sid_t *sid, char *buffer)
{
    if (buffer == nullptr)
        return nullptr;
    if (sid == nullptr || sid->kind == IDKIT_SID_KIND_NOBODY) {
        std::snprintf(buffer, IDKIT_SID_TEXT_MAX, "nobody");
        return buffer;
    }
    if (sid->kind == IDKIT_SID_KIND_DONTCARE) {
        std::snprintf(buffer, IDKIT_SID_TEXT_MAX, "dontcare");
        return buffer;
    }
    sid_parts parts;
    char *p = buffer;
    char *end = buffer + IDKIT_SID_TEXT_MAX;
    if (!split_sid(sid, &parts)) {
        // Not a binary SID: show the bytes, in a form no parser takes back.
        p += std::snprintf(p, size_t(end - p), "S-?");
        for (unsigned i = 0, n = used_length(sid); i < n; ++i)
            p += std::snprintf(p, size_t(end - p), "%02x", sid->body[i]);
        return buffer;
    }
    p += std::snprintf(p, size_t(end - p), "S-%u-", unsigned(parts.revision));
    if (parts.authority >> 32)
        p += std::snprintf(p, size_t(end - p), "0x%012llx", static_cast<unsigned long long>(parts.authority));
    else
        p += std::snprintf(p, size_t(end - p), "%llu", static_cast<unsigned long long>(parts.authority));
    for (unsigned i = 0; i < parts.count; ++i)
        p += std::snprintf(p, size_t(end - p), "-%u", unsigned(parts.subs[i]));
    if (sid->kind != default_kind(parts.authority))
        std::snprintf(p, size_t(end - p), "@%u", unsigned(sid->kind));
    return buffer;
}

VELMO_API core_status_t idkit_sid_from_str(const char *text, idkit_sid_t *out)
{
    if (text == nullptr || out == nullptr)
        return IDKIT_E_BAD_SID_TEXT;
    if (std::strcmp(text, "nobody") == 0) {
        *out = IDKIT_SID_NOBODY;
        return 0;
    }
    if (std::strcmp(text, "dontcare") == 0) {
        *out = IDKIT_SID_DONTCARE;
        return 0;
    }
    idkit_sid_t sid;
    if (!parse_real_sid(text, &sid))
        return IDKIT_E_BAD_SID_TEXT;
    *out = sid;
    return 0;
}

VELMO_API int idkit_uid_to_sid(idkit_sid_t *out, idkit_uid_t uid)
{
    if (out != nullptr)
        make_local_sid(out, kUnixUserRid, uid);
    return 0;
}

VELMO_API int idkit_gid_to_sid(idkit_sid_t *out, idkit_gid_t gid)
{
    if (out != nullptr)
        make_local_sid(out, kUnixGroupRid, gid);
    return 0;
}

VELMO_API idkit_uid_t idkit_sid_to_uid(const idkit_sid_t *sid)
{
    uint32_t id;
    return local_id(sid, kUnixUserRid, &id) ? id : IDKIT_ID_NOBODY;
}

VELMO_API idkit_gid_t idkit_sid_to_gid(const idkit_sid_t *sid)
{
    uint32_t id;
    return local_id(sid, kUnixGroupRid, &id) ? id : IDKIT_ID_NOBODY;
}

VELMO_API core_status_t idkit_get_sid_credentials(idkit_sid_credentials_t *out)
{
    if (out == nullptr)
        return CORE_E_BAD_ARGUMENT;
    std::vector<gid_t> groups;
    core_status_t status = own_groups(groups);
    if (status != 0)
        return status;
    std::memset(out, 0, sizeof *out);
    idkit_uid_to_sid(&out->user, getuid());
    idkit_gid_to_sid(&out->group, getgid());
    out->ngroups = uint32_t(std::min<size_t>(groups.size(), IDKIT_MAX_GROUPS));
    for (uint32_t i = 0; i < out->ngroups; ++i)
        idkit_gid_to_sid(&out->groups[i], groups[i]);
    return 0;
}

VELMO_API core_status_t idkit_get_complete_whole_credentials(idkit_whole_credentials_t *out)
{
    if (out == nullptr)
        return CORE_E_BAD_ARGUMENT;
    std::memset(out, 0, sizeof *out);
    std::vector<gid_t> groups;
    core_status_t status = own_groups(groups);
    if (status != 0)
        return status;
    if (groups.size() > IDKIT_WHOLE_MAX_GROUPS)
        return IDKIT_E_NO_CREDENTIALS;
    idkit_uid_to_sid(&out->user, getuid());
    idkit_gid_to_sid(&out->group, getgid());
    if (groups.empty())
        return 0;
    out->groups = static_cast<idkit_sid_t *>(mem_malloc(groups.size() * sizeof(idkit_sid_t)));
    if (out->groups == nullptr)
        return CORE_E_NO_MEMORY;
    out->ngroups = int32_t(groups.size());
    for (size_t i = 0; i < groups.size(); ++i)
        idkit_gid_to_sid(&out->groups[i], groups[i]);
    return 0;
}

VELMO_API core_status_t idkit_sid_credentials_to_credentials(const idkit_sid_credentials_t *sids,
                                                             idkit_credentials_t *out)
{
    if (sids == nullptr || out == nullptr || sids->ngroups > IDKIT_MAX_GROUPS)
        return CORE_E_BAD_ARGUMENT;
    idkit_credentials_t creds;
    std::memset(&creds, 0, sizeof creds);
    uint32_t id;
    if (sids->user.kind == IDKIT_SID_KIND_NOBODY)
        id = IDKIT_ID_NOBODY;
    else if (!local_id(&sids->user, kUnixUserRid, &id))
        return IDKIT_E_UNMAPPED_SID;
    creds.uid = id;
    if (sids->group.kind == IDKIT_SID_KIND_NOBODY)
        id = IDKIT_ID_NOBODY;
    else if (!local_id(&sids->group, kUnixGroupRid, &id))
        return IDKIT_E_UNMAPPED_SID;
    creds.gid = id;
    creds.ngroups = int32_t(sids->ngroups);
    for (uint32_t i = 0; i < sids->ngroups; ++i)
        creds.groups[i] = idkit_sid_to_gid(&sids->groups[i]);
    *out = creds;
    return 0;
}

VELMO_API idkit_passwd_sid_t *idkit_getpwsid(const idkit_sid_t *sid)
{
    uint32_t uid;
    if (!local_id(sid, kUnixUserRid, &uid))
        return nullptr;
    passwd_answer &a = tl_passwd;
    try {
        struct passwd pw;
        if (!find_user(uid, &pw, a.work))
            return nullptr;
        a.user = pw.pw_name;
        a.gecos = pw.pw_gecos != nullptr ? pw.pw_gecos : "";
        a.home = pw.pw_dir != nullptr ? pw.pw_dir : "";
        gid_t gid = pw.pw_gid;
        struct group gr;
        // The work buffer is reused, so the account's strings are copied above.
        a.group = find_group(gid, &gr, a.work) ? std::string(gr.gr_name) : std::to_string(gid);
        std::memset(&a.record, 0, sizeof a.record);
        a.record.user.name = a.user.data();
        a.record.user.id = uid;
        idkit_uid_to_sid(&a.record.user.sid, uid);
        a.record.group.name = a.group.data();
        a.record.group.id = gid;
        idkit_gid_to_sid(&a.record.group.sid, gid);
        a.record.gecos = a.gecos.data();
        a.record.home = a.home.data();
        return &a.record;
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

VELMO_API idkit_group_sid_t *idkit_getgrsid(const idkit_sid_t *sid)
{
    uint32_t gid;
    if (!local_id(sid, kUnixGroupRid, &gid))
        return nullptr;
    group_answer &a = tl_group;
    try {
        struct group gr;
        if (!find_group(gid, &gr, a.work))
            return nullptr;
        a.name = gr.gr_name;
        std::memset(&a.record, 0, sizeof a.record);
        a.record.name = a.name.data();
        a.record.id = gid;
        idkit_gid_to_sid(&a.record.sid, gid);
        return &a.record;
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

VELMO_API int idkit_mk_authunix_machname(char *buffer, size_t size)
{
    if (buffer == nullptr || size == 0)
        return -1;
    char name[HOST_NAME_MAX + 1];
    if (gethostname(name, sizeof name) != 0) {
        buffer[0] = '\0';
        return -1;
    }
    name[HOST_NAME_MAX] = '\0';
    size_t n = std::min(std::strlen(name), size - 1);
    std::memcpy(buffer, name, n);
    buffer[n] = '\0';
    return 0;
}

VELMO_API int idkit_copy_whole_credentials(const idkit_whole_credentials_t *src, idkit_whole_credentials_t *dst)
{
    if (src == nullptr || dst == nullptr)
        return CORE_E_BAD_ARGUMENT;
    // A record already owns its own array.
    if (src == dst)
        return 0;
    idkit_whole_credentials_t copy;
    std::memset(&copy, 0, sizeof copy);
    copy.user = src->user;
    copy.group = src->group;
    int32_t n = src->groups != nullptr ? std::max(src->ngroups, 0) : 0;
    int status = 0;
    if (n > 0) {
        copy.groups = static_cast<idkit_sid_t *>(mem_malloc(size_t(n) * sizeof(idkit_sid_t)));
        if (copy.groups != nullptr) {
            std::memcpy(copy.groups, src->groups, size_t(n) * sizeof(idkit_sid_t));
            copy.ngroups = n;
        } else {
            status = CORE_E_NO_MEMORY;
        }
    }
    *dst = copy;
    return status;
}

VELMO_API void idkit_free_whole_credentials(idkit_whole_credentials_t *wc)
{
    if (wc == nullptr)
        return;
    mem_free(wc->groups);
    wc->groups = nullptr;
    wc->ngroups = 0;
}

VELMO_API core_status_t idkit_whole_credentials_to_whole_string_credentials(const idkit_whole_credentials_t *wc,
                                                                            idkit_whole_string_credentials_t *out)
{
    if (out == nullptr)
        return CORE_E_BAD_ARGUMENT;
    std::memset(out, 0, sizeof *out);
    if (wc == nullptr || (wc->ngroups > 0 && wc->groups == nullptr))
        return CORE_E_BAD_ARGUMENT;
    size_t n = size_t(std::max(wc->ngroups, 0));
    idkit_whole_string_credentials_t names;
    std::memset(&names, 0, sizeof names);
    bool complete = false;
    try {
        std::vector<char> work;
        names.user = dup_string(user_name_of(&wc->user, work));
        names.group = dup_string(group_name_of(&wc->group, work));
        if (n > 0)
            names.groups = static_cast<char **>(std::calloc(n, sizeof(char *)));
        complete = names.user != nullptr && names.group != nullptr && (n == 0 || names.groups != nullptr);
        if (complete)
            names.ngroups = n;
        // A set may name a group many times: each is looked up once.
        std::unordered_map<std::string_view, std::string> seen;
        for (size_t i = 0; complete && i < n; ++i) {
            std::string_view key(reinterpret_cast<const char *>(&wc->groups[i]), sizeof(idkit_sid_t));
            auto found = seen.find(key);
            if (found == seen.end())
                found = seen.emplace(key, group_name_of(&wc->groups[i], work)).first;
            names.groups[i] = dup_string(found->second);
            complete = names.groups[i] != nullptr;
        }
    } catch (const std::bad_alloc &) {
        complete = false;
    }
    if (!complete) {
        // ngroups still counts only slots that exist; unfilled ones are null.
        idkit_free_whole_string_credentials(&names);
        return CORE_E_NO_MEMORY;
    }
    *out = names;
    return 0;
}

VELMO_API void idkit_free_whole_string_credentials(idkit_whole_string_credentials_t *wsc)
{
    if (wsc == nullptr)
        return;
    std::free(wsc->user);
    std::free(wsc->group);
    if (wsc->groups != nullptr)
        for (uint64_t i = 0; i < wsc->ngroups; ++i)
            std::free(wsc->groups[i]);
    std::free(wsc->groups);
    std::memset(wsc, 0, sizeof *wsc);
}

VELMO_API void idkit_free_string_credentials(idkit_string_credentials_t *sc)
{
    if (sc == nullptr)
        return;
    std::free(sc->user);
    std::free(sc->group);
    for (uint32_t i = 0, n = std::min<uint32_t>(sc->ngroups, IDKIT_MAX_GROUPS); i < n; ++i)
        std::free(sc->groups[i]);
    std::memset(sc, 0, sizeof *sc);
}

}  // extern "C"
