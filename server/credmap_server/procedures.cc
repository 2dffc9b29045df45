// The procedures of the reference credmap_server, answered from its account
// source (a directory file or an LDAP directory), with the misbehaviours
// tests ask for.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <vector>

#include "chaos.h"
#include "daemon.h"
#include "server.h"
#include "source.h"
#include "velmo/credmap_prot.h"

namespace credmap_server {

Config config;
volatile sig_atomic_t slow_replies = 0;

namespace {

char *dup(const std::string &text)
{
    return strdup(text.c_str());
}

void log_request(unsigned proc, const credmap_hdr_req_t &hdr)
{
    if (config.request_log.empty())
        return;
    char line[96];
    int n = snprintf(line, sizeof line, "%u %lld %llu\n", proc, static_cast<long long>(hdr.uniquifier),
                     static_cast<unsigned long long>(hdr.seqno));
    int fd = open(config.request_log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
        (void)!write(fd, line, static_cast<size_t>(n));
        close(fd);
    }
}

void delay()
{
    thread_local unsigned seed = static_cast<unsigned>(time(nullptr)) ^ static_cast<unsigned>(pthread_self());
    unsigned ms = config.delay_ms + (slow_replies ? static_cast<unsigned>(rand_r(&seed) % 2001) : 0);
    if (ms == 0)
        return;
    timespec t{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000};
    while (nanosleep(&t, &t) != 0) {
    }
}

// ---- Look-ups through the account source ----

const AccountSource &source()
{
    static const AccountSource from_file = file_source(&config.directory);
    return config.source != nullptr ? *config.source : from_file;
}

// The look-ups of one request.  One the source cannot answer marks the
// request, which is then answered with CORE_E_DIRECTORY_UNREACHABLE alone;
// the look-ups after it are not made.  Together they may take the source's
// time limit.
struct Ask {
    const AccountSource &source;
    Clock::time_point deadline;
    bool unavailable = false;
    bool have_domain = false;
    std::string domain;
    idkit_sid_t domain_sid{};
};

Ask start_asking()
{
    const AccountSource &s = source();
    return Ask{s, Clock::now() + s.time_limit, false, false, "", {}};
}

bool check(Ask &a, Found found)
{
    a.unavailable = a.unavailable || found == Found::kUnavailable;
    return found == Found::kYes;
}

// Every source knows its domain; one that cannot say cannot answer.
bool domain(Ask &a)
{
    if (!a.have_domain && !a.unavailable) {
        a.have_domain = a.source.domain(a.source.state, a.deadline, &a.domain, &a.domain_sid) == Found::kYes;
        a.unavailable = !a.have_domain;
    }
    return a.have_domain;
}

std::optional<UserRecord> user(Ask &a, const Key &key, bool with_groups = false)
{
    UserRecord u;
    if (a.unavailable || !check(a, a.source.user(a.source.state, key, with_groups, a.deadline, &u)))
        return std::nullopt;
    return u;
}

std::vector<std::optional<GroupRecord>> groups(Ask &a, const std::vector<Key> &keys)
{
    std::vector<std::optional<GroupRecord>> found;
    if (a.unavailable || !check(a, a.source.groups(a.source.state, keys, a.deadline, &found)) ||
        found.size() != keys.size())
        found.assign(keys.size(), std::nullopt);
    return found;
}

std::optional<GroupRecord> group(Ask &a, const Key &key)
{
    return groups(a, {key})[0];
}

// Keys for the names of a request.
std::vector<Key> name_keys(char *const *names, uint64_t n)
{
    std::vector<Key> keys;
    for (uint64_t i = 0; i < n; ++i)
        keys.push_back(by_name(names[i]));
    return keys;
}

bool refused(const std::optional<UserRecord> &u)
{
    if (!u)
        return false;
    std::string lower = u->name;
    for (char &c : lower)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return u->refused || config.refused_names.count(lower) != 0;
}

std::string qualified(Ask &a, const std::string &name)
{
    domain(a);
    return a.domain + "\\" + name;
}

// ---- Filling replies ----

// The answers for names, ids and SIDs nobody has.
void nobody_user(idkit_user_sid_t *out)
{
    out->name = dup("nobody");
    out->id = IDKIT_ID_NOBODY;
    out->sid = IDKIT_SID_NOBODY;
}

void fill_user(Ask &a, const std::optional<UserRecord> &u, idkit_user_sid_t *out)
{
    if (!u)
        return nobody_user(out);
    out->name = dup(qualified(a, u->name));
    out->id = u->uid;
    out->sid = u->sid;
}

void fill_group(Ask &a, const std::optional<GroupRecord> &g, idkit_group_sid_t *out)
{
    if (!g) {
        out->name = dup("nobody");
        out->id = IDKIT_ID_NOBODY;
        out->sid = IDKIT_SID_NOBODY;
        return;
    }
    out->name = dup(qualified(a, g->name));
    out->id = g->gid;
    out->sid = g->sid;
}

std::optional<GroupRecord> primary(const std::optional<UserRecord> &u)
{
    return u ? u->primary : std::nullopt;
}

void fill_passwd(Ask &a, const std::optional<UserRecord> &u, idkit_passwd_sid_t *out)
{
    fill_user(a, u, &out->user);
    fill_group(a, primary(u), &out->group);
    out->gecos = dup(!u ? "" : u->gecos);
    out->home = dup(!u ? "/" : u->home);
}

idkit_sid_t user_sid(const std::optional<UserRecord> &u)
{
    return u ? u->sid : IDKIT_SID_NOBODY;
}

idkit_sid_t group_sid(const std::optional<GroupRecord> &g)
{
    return g ? g->sid : IDKIT_SID_NOBODY;
}

uint32_t group_gid(const std::optional<GroupRecord> &g)
{
    return g ? g->gid : IDKIT_ID_NOBODY;
}

std::string user_name(Ask &a, const std::optional<UserRecord> &u)
{
    return !u ? "nobody" : qualified(a, u->name);
}

std::string group_name(Ask &a, const std::optional<GroupRecord> &g)
{
    return !g ? "nobody" : qualified(a, g->name);
}

uint32_t clamp_groups(uint32_t n)
{
    return n > IDKIT_MAX_GROUPS ? IDKIT_MAX_GROUPS : n;
}

// The groups a credential answer carries: no more than were asked for,
// than the record holds, or than --answer-groups allows.
uint64_t answered_groups(uint64_t asked, uint64_t record_max)
{
    uint64_t n = asked < record_max ? asked : record_max;
    return n < config.answer_groups ? n : config.answer_groups;
}

// Procedure answers.  Each fills a cleared reply from a decoded request.

void answer_contact(Ask &, const credmap_contact_req_t &, credmap_contact_reply_t *r)
{
    r->server_word = 1;
    r->attributes = config.nt_attribute ? CREDMAP_ATTR_NT_SID : 0;
}

void answer_exit(Ask &, const credmap_null_req_t &, credmap_null_reply_t *)
{
    config.exit_requested = true;
}

void answer_get_credentials(Ask &a, const credmap_svr_get_credentials_req_t &q,
                            credmap_svr_get_credentials_reply_t *r)
{
    auto u = user(a, by_name(q.name), true);
    if (refused(u)) {
        r->hdr.status = CORE_E_CREDS_REFUSED;
        return;
    }
    r->creds.uid = u ? u->uid : IDKIT_ID_NOBODY;
    r->creds.gid = group_gid(primary(u));
    uint32_t n = !u ? 0 : clamp_groups(static_cast<uint32_t>(u->groups.size()));
    for (uint32_t i = 0; i < n; ++i)
        r->creds.groups[i] = u->groups[i].gid;
    r->creds.ngroups = static_cast<int32_t>(n);
}

void answer_string_credentials(Ask &a, const credmap_lookup_string_credentials_req_t &q,
                               credmap_svr_get_credentials_reply_t *r)
{
    const idkit_string_credentials_t &s = q.string_creds;
    auto u = user(a, by_name(s.user));
    if (refused(u)) {
        r->hdr.status = CORE_E_CREDS_REFUSED;
        return;
    }
    auto n = static_cast<uint32_t>(answered_groups(s.ngroups, IDKIT_MAX_GROUPS));
    std::vector<Key> keys = name_keys(s.groups, n);
    keys.push_back(by_name(s.group));
    auto found = groups(a, keys);
    r->creds.uid = u ? u->uid : IDKIT_ID_NOBODY;
    r->creds.gid = group_gid(found[n]);
    for (uint32_t i = 0; i < n; ++i)
        r->creds.groups[i] = group_gid(found[i]);
    r->creds.ngroups = static_cast<int32_t>(n);
}

void answer_user_sid(Ask &a, const credmap_lookup_user_sid_req_t &q, credmap_lookup_user_sid_reply_t *r)
{
    idkit_sid_t sid = user_sid(user(a, by_name(q.name)));
    if (sid.kind == IDKIT_SID_KIND_NOBODY)
        sid = group_sid(group(a, by_name(q.name)));
    char text[IDKIT_SID_TEXT_MAX];
    r->sid = dup(idkit_sid_to_str(&sid, text));
}

void answer_domain_sid(Ask &a, const credmap_lookup_user_sid_req_t &q, credmap_lookup_user_sid_reply_t *r)
{
    if (!domain(a))
        return;
    bool ours = q.name == nullptr || q.name[0] == '\0' || strcasecmp(q.name, a.domain.c_str()) == 0;
    char text[IDKIT_SID_TEXT_MAX];
    r->sid = dup(idkit_sid_to_str(ours ? &a.domain_sid : &IDKIT_SID_NOBODY, text));
}

void answer_user_sid_credentials(Ask &a, const credmap_lookup_user_sid_credentials_req_t &q,
                                 credmap_lookup_user_sid_credentials_reply_t *r)
{
    auto u = user(a, by_name(q.name), true);
    if (refused(u)) {
        r->hdr.status = CORE_E_CREDS_REFUSED;
        return;
    }
    fill_user(a, u, &r->user);
    fill_group(a, primary(u), &r->group);
    size_t n = !u ? 0 : u->groups.size();
    if (n == 0)
        return;
    r->groups = static_cast<idkit_group_sid_t *>(calloc(n, sizeof(idkit_group_sid_t)));
    if (r->groups == nullptr)
        return;
    for (size_t i = 0; i < n; ++i)
        fill_group(a, u->groups[i], &r->groups[i]);
    r->ngroups = static_cast<uint32_t>(n);
}

void answer_getpwnam(Ask &a, const credmap_lookup_user_sid_credentials_req_t &q, credmap_svr_getpwnam_reply_t *r)
{
    fill_passwd(a, user(a, by_name(q.name)), &r->pw);
}

void answer_getpwuid(Ask &a, const credmap_svr_getpwuid_req_t &q, credmap_svr_getpwnam_reply_t *r)
{
    fill_passwd(a, user(a, by_id(q.uid)), &r->pw);
}

void answer_getpwsid(Ask &a, const credmap_svr_getpwsid_req_t &q, credmap_svr_getpwnam_reply_t *r)
{
    fill_passwd(a, user(a, by_sid(q.sid)), &r->pw);
}

void answer_getgrnam(Ask &a, const credmap_lookup_user_sid_credentials_req_t &q, credmap_svr_getgrnam_reply_t *r)
{
    fill_group(a, group(a, by_name(q.name)), &r->gr);
}

void answer_getgrgid(Ask &a, const credmap_svr_getgrgid_req_t &q, credmap_svr_getgrnam_reply_t *r)
{
    fill_group(a, group(a, by_id(q.gid)), &r->gr);
}

void answer_getgrsid(Ask &a, const credmap_svr_getpwsid_req_t &q, credmap_svr_getgrnam_reply_t *r)
{
    fill_group(a, group(a, by_sid(q.sid)), &r->gr);
}

void answer_lookup_credentials(Ask &a, const credmap_lookup_credentials_req_t &q,
                               credmap_lookup_credentials_reply_t *r)
{
    const idkit_credentials_t &c = q.creds;
    auto u = user(a, by_id(static_cast<uint32_t>(c.uid)));
    if (refused(u)) {
        r->hdr.status = CORE_E_CREDS_REFUSED;
        return;
    }
    uint32_t n = c.ngroups < 0 ? 0 : clamp_groups(static_cast<uint32_t>(c.ngroups));
    std::vector<Key> keys;
    for (uint32_t i = 0; i < n; ++i)
        keys.push_back(by_id(static_cast<uint32_t>(c.groups[i])));
    keys.push_back(by_id(static_cast<uint32_t>(c.gid)));
    auto found = groups(a, keys);
    idkit_string_credentials_t &s = r->string_creds;
    s.user = dup(user_name(a, u));
    s.group = dup(group_name(a, found[n]));
    for (uint32_t i = 0; i < n; ++i)
        s.groups[i] = dup(group_name(a, found[i]));
    s.ngroups = n;
}

void answer_string_credentials_sid(Ask &a, const credmap_lookup_string_credentials_sid_req_t &q,
                                   credmap_lookup_string_credentials_sid_reply_t *r)
{
    const idkit_string_credentials_t &s = q.string_creds;
    auto u = user(a, by_name(s.user));
    if (refused(u)) {
        r->hdr.status = CORE_E_CREDS_REFUSED;
        return;
    }
    auto n = static_cast<uint32_t>(answered_groups(s.ngroups, IDKIT_MAX_GROUPS));
    std::vector<Key> keys = name_keys(s.groups, n);
    keys.push_back(by_name(s.group));
    auto found = groups(a, keys);
    r->sid_creds.user = user_sid(u);
    r->sid_creds.group = group_sid(found[n]);
    for (uint32_t i = 0; i < n; ++i)
        r->sid_creds.groups[i] = group_sid(found[i]);
    r->sid_creds.ngroups = n;
}

void answer_sid_credentials(Ask &a, const credmap_lookup_sid_credentials_req_t &q,
                            credmap_lookup_credentials_reply_t *r)
{
    const idkit_sid_credentials_t &c = q.sid_creds;
    auto u = user(a, by_sid(c.user));
    if (refused(u)) {
        r->hdr.status = CORE_E_CREDS_REFUSED;
        return;
    }
    auto n = static_cast<uint32_t>(answered_groups(c.ngroups, IDKIT_MAX_GROUPS));
    std::vector<Key> keys;
    for (uint32_t i = 0; i < n; ++i)
        keys.push_back(by_sid(c.groups[i]));
    keys.push_back(by_sid(c.group));
    auto found = groups(a, keys);
    idkit_string_credentials_t &s = r->string_creds;
    s.user = dup(user_name(a, u));
    s.group = dup(group_name(a, found[n]));
    for (uint32_t i = 0; i < n; ++i)
        s.groups[i] = dup(group_name(a, found[i]));
    s.ngroups = n;
}

void answer_whole_string_credentials(Ask &a, const credmap_lookup_whole_string_credentials_req_t &q,
                                     credmap_lookup_whole_string_credentials_reply_t *r)
{
    const idkit_whole_string_credentials_t &s = q.whole_string_creds;
    auto u = user(a, by_name(s.user));
    if (refused(u)) {
        r->hdr.status = CORE_E_CREDS_REFUSED;
        return;
    }
    uint64_t n = answered_groups(s.ngroups, IDKIT_WHOLE_MAX_GROUPS);
    std::vector<Key> keys = name_keys(s.groups, n);
    keys.push_back(by_name(s.group));
    auto found = groups(a, keys);
    idkit_whole_credentials_t &w = r->whole_creds;
    w.user = user_sid(u);
    w.group = group_sid(found[n]);
    if (n == 0)
        return;
    w.groups = static_cast<idkit_sid_t *>(calloc(n, sizeof(idkit_sid_t)));
    if (w.groups == nullptr) {
        r->hdr.status = CORE_E_NO_MEMORY;
        return;
    }
    for (uint64_t i = 0; i < n; ++i)
        w.groups[i] = group_sid(found[i]);
    w.ngroups = static_cast<int32_t>(n);
}

// Hostile replies: a SID set or a name set that claims more groups than a
// record holds, encoded by hand since the record routines refuse to.
bool_t xdr_oversized_sid_reply(XDR *xdrs, credmap_lookup_string_credentials_sid_reply_t *r)
{
    uint32_t n = IDKIT_MAX_GROUPS + 8;
    if (!xdr_credmap_hdr_reply_t(xdrs, &r->hdr) || !xdr_idkit_sid_t(xdrs, &r->sid_creds.user, 0) ||
        !xdr_idkit_sid_t(xdrs, &r->sid_creds.group, 0) || !xdr_u_int(xdrs, &n))
        return FALSE;
    for (uint32_t i = 0; i < n; ++i)
        if (!xdr_idkit_sid_t(xdrs, &r->sid_creds.user, 0))
            return FALSE;
    return TRUE;
}

bool_t xdr_oversized_names_reply(XDR *xdrs, credmap_lookup_credentials_reply_t *r)
{
    uint32_t n = IDKIT_MAX_GROUPS + 8;
    char *name = const_cast<char *>("nobody");
    if (!xdr_credmap_hdr_reply_t(xdrs, &r->hdr) || !xdr_string(xdrs, &name, IDKIT_NAME_MAX) ||
        !xdr_string(xdrs, &name, IDKIT_NAME_MAX) || !xdr_u_int(xdrs, &n))
        return FALSE;
    for (uint32_t i = 0; i < n; ++i)
        if (!xdr_string(xdrs, &name, IDKIT_NAME_MAX))
            return FALSE;
    return TRUE;
}

// A whole set that claims more groups than the protocol allows, followed by
// far fewer: a decoder that believed the count would allocate for all.
bool_t xdr_oversized_whole_reply(XDR *xdrs, credmap_lookup_whole_string_credentials_reply_t *r)
{
    uint32_t n = IDKIT_WHOLE_MAX_GROUPS + 1;
    if (!xdr_credmap_hdr_reply_t(xdrs, &r->hdr) || !xdr_idkit_sid_t(xdrs, &r->whole_creds.user, 0) ||
        !xdr_idkit_sid_t(xdrs, &r->whole_creds.group, 0) || !xdr_u_int(xdrs, &n))
        return FALSE;
    for (int i = 0; i < 8; ++i)
        if (!xdr_idkit_sid_t(xdrs, &r->whole_creds.user, 0))
            return FALSE;
    return TRUE;
}

// Resets the connection: disconnecting a TCP socket with AF_UNSPEC makes
// the kernel send a reset, and the transport then fails and is closed.
void reset_connection(SVCXPRT *xprt)
{
    sockaddr unspec{};
    unspec.sa_family = AF_UNSPEC;
    connect(xprt->xp_fd, &unspec, sizeof unspec);
}

// Takes one from a "first N" counter; -1 means every time.
bool take(std::atomic<long> *counter)
{
    long value = counter->load();
    while (value != 0) {
        if (value < 0 || counter->compare_exchange_weak(value, value - 1))
            return true;
    }
    return false;
}

// Answers from the account source; a request it cannot answer gets the
// status alone.
template<typename Req, typename Reply>
void answer_from_source(void (*answer)(Ask &, const Req &, Reply *), const Req &req,
                        bool_t (*reply_fn)(XDR *, Reply *), Reply *reply)
{
    Ask ask = start_asking();
    answer(ask, req, reply);
    if (!ask.unavailable)
        return;
    xdr_free((xdrproc_t)reply_fn, reinterpret_cast<char *>(reply));
    *reply = Reply{};
    reply->hdr.status = CORE_E_DIRECTORY_UNREACHABLE;
}

template<typename Req, typename Reply>
void serve(SVCXPRT *xprt, unsigned proc, bool_t (*req_fn)(XDR *, Req *), bool_t (*reply_fn)(XDR *, Reply *),
           void (*answer)(Ask &, const Req &, Reply *), xdrproc_t hostile = nullptr)
{
    Req req{};
    if (!svc_getargs(xprt, (xdrproc_t)req_fn, reinterpret_cast<char *>(&req))) {
        svcerr_decode(xprt);
        svc_freeargs(xprt, (xdrproc_t)req_fn, reinterpret_cast<char *>(&req));
        return;
    }
    log_request(proc, req.hdr);
    if (proc == CREDMAP_PROC_CONTACT && take(&config.ignore_contacts)) {
        svc_freeargs(xprt, (xdrproc_t)req_fn, reinterpret_cast<char *>(&req));
        return;
    }
    if (proc == CREDMAP_PROC_CONTACT && take(&config.reset_contacts)) {
        svc_freeargs(xprt, (xdrproc_t)req_fn, reinterpret_cast<char *>(&req));
        reset_connection(xprt);
        return;
    }
    Reply reply{};
    auto forced = config.forced_status.find(proc);
    if (forced != config.forced_status.end())
        reply.hdr.status = forced->second;
    else
        answer_from_source(answer, req, reply_fn, &reply);
    delay();
    xdrproc_t encode = hostile != nullptr && config.too_many_groups ? hostile : (xdrproc_t)reply_fn;
    if (config.chaos)
        chaos_send(xprt, encode, &reply);
    else if (!svc_sendreply(xprt, encode, reinterpret_cast<char *>(&reply)))
        velmo::daemon::log("cannot send the reply of procedure %u", proc);
    xdr_free((xdrproc_t)reply_fn, reinterpret_cast<char *>(&reply));
    svc_freeargs(xprt, (xdrproc_t)req_fn, reinterpret_cast<char *>(&req));
}

bool_t xdr_nothing(XDR *, void *)
{
    return TRUE;
}

}  // namespace

void dispatch(svc_req *request, SVCXPRT *xprt)
{
    unsigned proc = static_cast<unsigned>(request->rq_proc);
    if (proc == NULLPROC) {
        svc_sendreply(xprt, (xdrproc_t)xdr_nothing, nullptr);
        return;
    }
    if (config.absent_procedures.count(proc) != 0) {
        svcerr_noproc(xprt);
        return;
    }
    switch (proc) {
    case CREDMAP_PROC_CONTACT:
        return serve(xprt, proc, xdr_credmap_contact_req_t, xdr_credmap_contact_reply_t, answer_contact);
    case CREDMAP_PROC_EXIT:
        serve(xprt, proc, xdr_credmap_null_req_t, xdr_credmap_null_reply_t, answer_exit);
        if (config.exit_requested)
            velmo::daemon::stop();
        return;
    case CREDMAP_PROC_SVR_GET_CREDENTIALS:
        return serve(xprt, proc, xdr_credmap_svr_get_credentials_req_t, xdr_credmap_svr_get_credentials_reply_t,
                     answer_get_credentials);
    case CREDMAP_PROC_LOOKUP_STRING_CREDENTIALS:
        return serve(xprt, proc, xdr_credmap_lookup_string_credentials_req_t, xdr_credmap_svr_get_credentials_reply_t,
                     answer_string_credentials);
    case CREDMAP_PROC_LOOKUP_USER_SID:
        return serve(xprt, proc, xdr_credmap_lookup_user_sid_req_t, xdr_credmap_lookup_user_sid_reply_t,
                     answer_user_sid);
    case CREDMAP_PROC_LOOKUP_DOMAIN_SID:
        return serve(xprt, proc, xdr_credmap_lookup_user_sid_req_t, xdr_credmap_lookup_user_sid_reply_t,
                     answer_domain_sid);
    case CREDMAP_PROC_LOOKUP_USER_SID_CREDENTIALS:
        return serve(xprt, proc, xdr_credmap_lookup_user_sid_credentials_req_t,
                     xdr_credmap_lookup_user_sid_credentials_reply_t, answer_user_sid_credentials);
    case CREDMAP_PROC_SVR_GETPWNAM:
        return serve(xprt, proc, xdr_credmap_lookup_user_sid_credentials_req_t, xdr_credmap_svr_getpwnam_reply_t,
                     answer_getpwnam);
    case CREDMAP_PROC_SVR_GETPWUID:
        return serve(xprt, proc, xdr_credmap_svr_getpwuid_req_t, xdr_credmap_svr_getpwnam_reply_t, answer_getpwuid);
    case CREDMAP_PROC_SVR_GETPWSID:
        return serve(xprt, proc, xdr_credmap_svr_getpwsid_req_t, xdr_credmap_svr_getpwnam_reply_t, answer_getpwsid);
    case CREDMAP_PROC_SVR_GETGRNAM:
        return serve(xprt, proc, xdr_credmap_lookup_user_sid_credentials_req_t, xdr_credmap_svr_getgrnam_reply_t,
                     answer_getgrnam);
    case CREDMAP_PROC_SVR_GETGRGID:
        return serve(xprt, proc, xdr_credmap_svr_getgrgid_req_t, xdr_credmap_svr_getgrnam_reply_t, answer_getgrgid);
    case CREDMAP_PROC_SVR_GETGRSID:
        return serve(xprt, proc, xdr_credmap_svr_getpwsid_req_t, xdr_credmap_svr_getgrnam_reply_t, answer_getgrsid);
    case CREDMAP_PROC_LOOKUP_CREDENTIALS:
        return serve(xprt, proc, xdr_credmap_lookup_credentials_req_t, xdr_credmap_lookup_credentials_reply_t,
                     answer_lookup_credentials, (xdrproc_t)xdr_oversized_names_reply);
    case CREDMAP_PROC_LOOKUP_STRING_CREDENTIALS_SID:
        return serve(xprt, proc, xdr_credmap_lookup_string_credentials_sid_req_t,
                     xdr_credmap_lookup_string_credentials_sid_reply_t, answer_string_credentials_sid,
                     (xdrproc_t)xdr_oversized_sid_reply);
    case CREDMAP_PROC_LOOKUP_SID_CREDENTIALS:
        return serve(xprt, proc, xdr_credmap_lookup_sid_credentials_req_t, xdr_credmap_lookup_credentials_reply_t,
                     answer_sid_credentials, (xdrproc_t)xdr_oversized_names_reply);
    case CREDMAP_PROC_LOOKUP_WHOLE_STRING_CREDENTIALS:
        return serve(xprt, proc, xdr_credmap_lookup_whole_string_credentials_req_t,
                     xdr_credmap_lookup_whole_string_credentials_reply_t, answer_whole_string_credentials,
                     (xdrproc_t)xdr_oversized_whole_reply);
    default:
        svcerr_noproc(xprt);
    }
}

}  // namespace credmap_server
