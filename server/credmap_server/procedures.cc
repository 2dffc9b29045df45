// The procedures of the reference credmap_server, answered from the account
// directory, with the misbehaviours tests ask for.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "chaos.h"
#include "daemon.h"
#include "server.h"
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

const Directory &dir()
{
    return config.directory;
}

// The answers for names, ids and SIDs nobody has.
void nobody_user(idkit_user_sid_t *out)
{
    out->name = dup("nobody");
    out->id = IDKIT_ID_NOBODY;
    out->sid = IDKIT_SID_NOBODY;
}

void fill_user(const User *u, idkit_user_sid_t *out)
{
    if (u == nullptr)
        return nobody_user(out);
    out->name = dup(qualified(dir(), u->name));
    out->id = u->uid;
    out->sid = u->sid;
}

void fill_group(const Group *g, idkit_group_sid_t *out)
{
    if (g == nullptr) {
        out->name = dup("nobody");
        out->id = IDKIT_ID_NOBODY;
        out->sid = IDKIT_SID_NOBODY;
        return;
    }
    out->name = dup(qualified(dir(), g->name));
    out->id = g->gid;
    out->sid = g->sid;
}

void fill_passwd(const User *u, idkit_passwd_sid_t *out)
{
    fill_user(u, &out->user);
    fill_group(u == nullptr ? nullptr : &dir().groups[u->primary], &out->group);
    out->gecos = dup(u == nullptr ? "" : u->gecos);
    out->home = dup(u == nullptr ? "/" : u->home);
}

idkit_sid_t user_sid(const char *name)
{
    const User *u = find_user(dir(), name);
    return u == nullptr ? IDKIT_SID_NOBODY : u->sid;
}

idkit_sid_t group_sid(const char *name)
{
    const Group *g = find_group(dir(), name);
    return g == nullptr ? IDKIT_SID_NOBODY : g->sid;
}

bool refused(const char *name)
{
    const User *u = find_user(dir(), name);
    return u != nullptr && u->refused;
}

std::string user_name(const User *u)
{
    return u == nullptr ? "nobody" : qualified(dir(), u->name);
}

std::string group_name(const Group *g)
{
    return g == nullptr ? "nobody" : qualified(dir(), g->name);
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

void answer_contact(const credmap_contact_req_t &, credmap_contact_reply_t *r)
{
    r->server_word = 1;
    r->attributes = config.nt_attribute ? CREDMAP_ATTR_NT_SID : 0;
}

void answer_exit(const credmap_null_req_t &, credmap_null_reply_t *)
{
    config.exit_requested = true;
}

void answer_get_credentials(const credmap_svr_get_credentials_req_t &q, credmap_svr_get_credentials_reply_t *r)
{
    const User *u = find_user(dir(), q.name);
    if (u != nullptr && u->refused) {
        r->hdr.status = CORE_E_CREDS_REFUSED;
        return;
    }
    r->creds.uid = u == nullptr ? IDKIT_ID_NOBODY : u->uid;
    r->creds.gid = u == nullptr ? IDKIT_ID_NOBODY : dir().groups[u->primary].gid;
    uint32_t n = u == nullptr ? 0 : clamp_groups(static_cast<uint32_t>(u->groups.size()));
    for (uint32_t i = 0; i < n; ++i)
        r->creds.groups[i] = dir().groups[u->groups[i]].gid;
    r->creds.ngroups = static_cast<int32_t>(n);
}

void answer_string_credentials(const credmap_lookup_string_credentials_req_t &q, credmap_svr_get_credentials_reply_t *r)
{
    const idkit_string_credentials_t &s = q.string_creds;
    if (refused(s.user)) {
        r->hdr.status = CORE_E_CREDS_REFUSED;
        return;
    }
    const User *u = find_user(dir(), s.user);
    const Group *g = find_group(dir(), s.group);
    r->creds.uid = u == nullptr ? IDKIT_ID_NOBODY : u->uid;
    r->creds.gid = g == nullptr ? IDKIT_ID_NOBODY : g->gid;
    auto n = static_cast<uint32_t>(answered_groups(s.ngroups, IDKIT_MAX_GROUPS));
    for (uint32_t i = 0; i < n; ++i) {
        const Group *m = find_group(dir(), s.groups[i]);
        r->creds.groups[i] = m == nullptr ? IDKIT_ID_NOBODY : m->gid;
    }
    r->creds.ngroups = static_cast<int32_t>(n);
}

void answer_user_sid(const credmap_lookup_user_sid_req_t &q, credmap_lookup_user_sid_reply_t *r)
{
    idkit_sid_t sid = user_sid(q.name);
    if (sid.kind == IDKIT_SID_KIND_NOBODY)
        sid = group_sid(q.name);
    char text[IDKIT_SID_TEXT_MAX];
    r->sid = dup(idkit_sid_to_str(&sid, text));
}

void answer_domain_sid(const credmap_lookup_user_sid_req_t &q, credmap_lookup_user_sid_reply_t *r)
{
    bool ours = q.name == nullptr || q.name[0] == '\0' || strcasecmp(q.name, dir().domain.c_str()) == 0;
    char text[IDKIT_SID_TEXT_MAX];
    r->sid = dup(idkit_sid_to_str(ours ? &dir().domain_sid : &IDKIT_SID_NOBODY, text));
}

void answer_user_sid_credentials(const credmap_lookup_user_sid_credentials_req_t &q,
                                 credmap_lookup_user_sid_credentials_reply_t *r)
{
    const User *u = find_user(dir(), q.name);
    if (u != nullptr && u->refused) {
        r->hdr.status = CORE_E_CREDS_REFUSED;
        return;
    }
    fill_user(u, &r->user);
    fill_group(u == nullptr ? nullptr : &dir().groups[u->primary], &r->group);
    size_t n = u == nullptr ? 0 : u->groups.size();
    if (n == 0)
        return;
    r->groups = static_cast<idkit_group_sid_t *>(calloc(n, sizeof(idkit_group_sid_t)));
    if (r->groups == nullptr)
        return;
    for (size_t i = 0; i < n; ++i)
        fill_group(&dir().groups[u->groups[i]], &r->groups[i]);
    r->ngroups = static_cast<uint32_t>(n);
}

void answer_getpwnam(const credmap_lookup_user_sid_credentials_req_t &q, credmap_svr_getpwnam_reply_t *r)
{
    fill_passwd(find_user(dir(), q.name), &r->pw);
}

void answer_getpwuid(const credmap_svr_getpwuid_req_t &q, credmap_svr_getpwnam_reply_t *r)
{
    fill_passwd(find_user_by_uid(dir(), q.uid), &r->pw);
}

void answer_getpwsid(const credmap_svr_getpwsid_req_t &q, credmap_svr_getpwnam_reply_t *r)
{
    fill_passwd(find_user_by_sid(dir(), q.sid), &r->pw);
}

void answer_getgrnam(const credmap_lookup_user_sid_credentials_req_t &q, credmap_svr_getgrnam_reply_t *r)
{
    fill_group(find_group(dir(), q.name), &r->gr);
}

void answer_getgrgid(const credmap_svr_getgrgid_req_t &q, credmap_svr_getgrnam_reply_t *r)
{
    fill_group(find_group_by_gid(dir(), q.gid), &r->gr);
}

void answer_getgrsid(const credmap_svr_getpwsid_req_t &q, credmap_svr_getgrnam_reply_t *r)
{
    fill_group(find_group_by_sid(dir(), q.sid), &r->gr);
}

void answer_lookup_credentials(const credmap_lookup_credentials_req_t &q, credmap_lookup_credentials_reply_t *r)
{
    const idkit_credentials_t &c = q.creds;
    const User *u = find_user_by_uid(dir(), static_cast<uint32_t>(c.uid));
    if (u != nullptr && u->refused) {
        r->hdr.status = CORE_E_CREDS_REFUSED;
        return;
    }
    idkit_string_credentials_t &s = r->string_creds;
    s.user = dup(user_name(u));
    s.group = dup(group_name(find_group_by_gid(dir(), static_cast<uint32_t>(c.gid))));
    uint32_t n = c.ngroups < 0 ? 0 : clamp_groups(static_cast<uint32_t>(c.ngroups));
    for (uint32_t i = 0; i < n; ++i)
        s.groups[i] = dup(group_name(find_group_by_gid(dir(), static_cast<uint32_t>(c.groups[i]))));
    s.ngroups = n;
}

void answer_string_credentials_sid(const credmap_lookup_string_credentials_sid_req_t &q,
                                   credmap_lookup_string_credentials_sid_reply_t *r)
{
    const idkit_string_credentials_t &s = q.string_creds;
    if (refused(s.user)) {
        r->hdr.status = CORE_E_CREDS_REFUSED;
        return;
    }
    r->sid_creds.user = user_sid(s.user);
    r->sid_creds.group = group_sid(s.group);
    auto n = static_cast<uint32_t>(answered_groups(s.ngroups, IDKIT_MAX_GROUPS));
    for (uint32_t i = 0; i < n; ++i)
        r->sid_creds.groups[i] = group_sid(s.groups[i]);
    r->sid_creds.ngroups = n;
}

void answer_sid_credentials(const credmap_lookup_sid_credentials_req_t &q, credmap_lookup_credentials_reply_t *r)
{
    const idkit_sid_credentials_t &c = q.sid_creds;
    const User *u = find_user_by_sid(dir(), c.user);
    if (u != nullptr && u->refused) {
        r->hdr.status = CORE_E_CREDS_REFUSED;
        return;
    }
    idkit_string_credentials_t &s = r->string_creds;
    s.user = dup(user_name(u));
    s.group = dup(group_name(find_group_by_sid(dir(), c.group)));
    auto n = static_cast<uint32_t>(answered_groups(c.ngroups, IDKIT_MAX_GROUPS));
    for (uint32_t i = 0; i < n; ++i)
        s.groups[i] = dup(group_name(find_group_by_sid(dir(), c.groups[i])));
    s.ngroups = n;
}

void answer_whole_string_credentials(const credmap_lookup_whole_string_credentials_req_t &q,
                                     credmap_lookup_whole_string_credentials_reply_t *r)
{
    const idkit_whole_string_credentials_t &s = q.whole_string_creds;
    if (refused(s.user)) {
        r->hdr.status = CORE_E_CREDS_REFUSED;
        return;
    }
    idkit_whole_credentials_t &w = r->whole_creds;
    w.user = user_sid(s.user);
    w.group = group_sid(s.group);
    uint64_t n = answered_groups(s.ngroups, IDKIT_WHOLE_MAX_GROUPS);
    if (n == 0)
        return;
    w.groups = static_cast<idkit_sid_t *>(calloc(n, sizeof(idkit_sid_t)));
    if (w.groups == nullptr) {
        r->hdr.status = CORE_E_NO_MEMORY;
        return;
    }
    for (uint64_t i = 0; i < n; ++i)
        w.groups[i] = group_sid(s.groups[i]);
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

template<typename Req, typename Reply>
void serve(SVCXPRT *xprt, unsigned proc, bool_t (*req_fn)(XDR *, Req *), bool_t (*reply_fn)(XDR *, Reply *),
           void (*answer)(const Req &, Reply *), xdrproc_t hostile = nullptr)
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
        answer(req, &reply);
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
