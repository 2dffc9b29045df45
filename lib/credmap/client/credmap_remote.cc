// The remote operations: one request to a host's credmap_server each, with
// the result delivered by copy, in place, per thread, handed over to the
// caller or deep-copied.
#include <chrono>
#include <cstring>

#include "credmap_stats.h"

#include "host/rpk.h"
#include "host/txt.h"
#include "host/vox.h"
#include "tls_impl.h"
#include "velmo/credmap.h"

namespace {

// How an operation maps a failed RPC call to a status.
enum class Rule {
    any_1004,     // every failure is reported and gives 1004
    procunavail,  // an unknown procedure gives 1007 silently; others 1004
    unencodable   // also a reply or request that cannot be coded gives 1007
};

credmap_hdr_req_t next_header(credmap_handle_t *h)
{
    return credmap_hdr_req_t{h->uniquifier, h->seqno++};
}

bool usable(const credmap_handle_t *h)
{
    return h != nullptr && h->conn.clnt != nullptr;
}

// Sends the request and decodes the reply.  Returns CORE_OK when the call
// went through (the reply's status is then the caller's to read), else the
// status the operation's rule gives.
core_status_t failed_call(credmap_handle_t *h, clnt_stat rc, const char *failure_text, Rule rule)
{
    if (rule != Rule::any_1004 && rc == RPC_PROCUNAVAIL)
        return CORE_E_UNSUPPORTED;
    if (rule == Rule::unencodable && (rc == RPC_CANTENCODEARGS || rc == RPC_CANTDECODERES))
        return CORE_E_UNSUPPORTED;
    rpk_clnt_perror(h->conn.clnt, failure_text);
    return CORE_E_RPC_FAILED;
}

core_status_t call(credmap_handle_t *h, rpcproc_t proc, xdrproc_t req_fn, void *req, xdrproc_t rep_fn, void *rep,
                   const char *failure_text, Rule rule)
{
    auto start = std::chrono::steady_clock::now();
    clnt_stat rc = rpk_clnt_call(h->conn.clnt, proc, req_fn, req, rep_fn, rep, h->conn.timeout);
    core_status_t status = rc == RPC_SUCCESS ? CORE_OK : failed_call(h, rc, failure_text, rule);
    // Every reply begins with its header: its status counts as the answer's.
    credmap_note_exchange(status != CORE_OK ? status : static_cast<credmap_hdr_reply_t *>(rep)->status,
                          std::chrono::steady_clock::now() - start);
    return status;
}

// A server without the NT attribute cannot take SIDs of the NT type; the
// request is not sent.
bool refuse_nt_sid(const credmap_handle_t *h, const idkit_sid_t &sid)
{
    if ((h->attributes & CREDMAP_ATTR_NT_SID) != 0 || sid.kind != IDKIT_SID_KIND_NT)
        return false;
    vox_print_shared(VOX_ERROR, "credmap/clnt", &_credmap_credmap_msg_table, CREDMAP_MSG_SID_TYPE_UNSUPPORTED, "NT");
    return true;
}

// Per-thread delivery: the strings go into the calling thread's buffers.
void deliver_passwd(const idkit_passwd_sid_t &src, idkit_passwd_sid_t *out)
{
    credmap_tls_t *t = credmap_tls_get();
    txt_cpy_buf(t->pw_text[0], src.user.name, CREDMAP_TLS_TEXT);
    txt_cpy_buf(t->pw_text[1], src.group.name, CREDMAP_TLS_TEXT);
    txt_cpy_buf(t->pw_text[2], src.gecos, CREDMAP_TLS_TEXT);
    txt_cpy_buf(t->pw_text[3], src.home, CREDMAP_TLS_TEXT);
    *out = src;
    out->user.name = t->pw_text[0];
    out->group.name = t->pw_text[1];
    out->gecos = t->pw_text[2];
    out->home = t->pw_text[3];
}

void deliver_group(const idkit_group_sid_t &src, idkit_group_sid_t *out)
{
    credmap_tls_t *t = credmap_tls_get();
    txt_cpy_buf(t->gr_text, src.name, CREDMAP_TLS_TEXT);
    *out = src;
    out->name = t->gr_text;
}

template<typename Req>
core_status_t getpw(credmap_handle_t *h, rpcproc_t proc, xdrproc_t req_fn, Req *req, idkit_passwd_sid_t *pw,
                    const char *failure_text)
{
    credmap_svr_getpwnam_reply_t reply{};
    core_status_t status = call(h, proc, req_fn, req, (xdrproc_t)xdr_credmap_svr_getpwnam_reply_t, &reply, failure_text,
                                Rule::procunavail);
    if (status != CORE_OK || reply.hdr.status != CORE_OK)
        return status != CORE_OK ? status : reply.hdr.status;
    deliver_passwd(reply.pw, pw);
    clnt_freeres(h->conn.clnt, (xdrproc_t)xdr_credmap_svr_getpwnam_reply_t, reinterpret_cast<char *>(&reply));
    return CORE_OK;
}

template<typename Req>
core_status_t getgr(credmap_handle_t *h, rpcproc_t proc, xdrproc_t req_fn, Req *req, idkit_group_sid_t *gr,
                    const char *failure_text)
{
    credmap_svr_getgrnam_reply_t reply{};
    core_status_t status = call(h, proc, req_fn, req, (xdrproc_t)xdr_credmap_svr_getgrnam_reply_t, &reply, failure_text,
                                Rule::procunavail);
    if (status != CORE_OK || reply.hdr.status != CORE_OK)
        return status != CORE_OK ? status : reply.hdr.status;
    deliver_group(reply.gr, gr);
    clnt_freeres(h->conn.clnt, (xdrproc_t)xdr_credmap_svr_getgrnam_reply_t, reinterpret_cast<char *>(&reply));
    return CORE_OK;
}

core_status_t lookup_sid_text(credmap_handle_t *h, rpcproc_t proc, const char *name, int option, char *sid_text,
                              const char *failure_text)
{
    if (!usable(h) || sid_text == nullptr)
        return CORE_E_BAD_ARGUMENT;
    credmap_lookup_user_sid_req_t request{next_header(h), const_cast<char *>(name), option};
    credmap_lookup_user_sid_reply_t reply{};
    // Decoded straight into the caller's buffer, whatever the status.
    reply.sid = sid_text;
    core_status_t status =
        call(h, proc, (xdrproc_t)xdr_credmap_lookup_user_sid_req_t, &request,
             (xdrproc_t)xdr_credmap_lookup_user_sid_reply_t, &reply, failure_text, Rule::procunavail);
    return status != CORE_OK ? status : reply.hdr.status;
}

// Handed-over delivery of a name set (procedures 21 and 23).
core_status_t hand_over_names(credmap_handle_t *h, credmap_lookup_credentials_reply_t *reply,
                              idkit_string_credentials_t *names)
{
    if (reply->hdr.status == CORE_OK) {
        *names = reply->string_creds;
        return CORE_OK;
    }
    // The body travels whatever the status: release what was decoded.
    clnt_freeres(h->conn.clnt, (xdrproc_t)xdr_credmap_lookup_credentials_reply_t, reinterpret_cast<char *>(reply));
    *names = idkit_string_credentials_t{};
    return reply->hdr.status;
}

void release_names(credmap_handle_t *h, idkit_string_credentials_t *names)
{
    if (names == nullptr)
        return;
    credmap_lookup_credentials_reply_t reply{};
    reply.string_creds.user = names->user;
    reply.string_creds.group = names->group;
    reply.string_creds.ngroups = names->ngroups;
    int32_t n = static_cast<int32_t>(names->ngroups);
    for (int32_t i = 0; i < n && i < IDKIT_MAX_GROUPS; ++i)
        reply.string_creds.groups[i] = names->groups[i];
    if (reply.string_creds.ngroups > IDKIT_MAX_GROUPS)
        reply.string_creds.ngroups = IDKIT_MAX_GROUPS;
    if (h != nullptr && h->conn.clnt != nullptr)
        clnt_freeres(h->conn.clnt, (xdrproc_t)xdr_credmap_lookup_credentials_reply_t, reinterpret_cast<char *>(&reply));
    else
        xdr_free((xdrproc_t)xdr_credmap_lookup_credentials_reply_t, reinterpret_cast<char *>(&reply));
    *names = idkit_string_credentials_t{};
}

}  // namespace

extern "C" {

VELMO_API core_status_t credmap_svr_get_credentials(credmap_handle_t *handle, const char *name,
                                                    idkit_credentials_t *creds)
{
    if (!usable(handle) || creds == nullptr)
        return CORE_E_BAD_ARGUMENT;
    credmap_svr_get_credentials_req_t request{next_header(handle), const_cast<char *>(name)};
    credmap_svr_get_credentials_reply_t reply{};
    core_status_t status =
        call(handle, CREDMAP_PROC_SVR_GET_CREDENTIALS, (xdrproc_t)xdr_credmap_svr_get_credentials_req_t, &request,
             (xdrproc_t)xdr_credmap_svr_get_credentials_reply_t, &reply, "credmap_svr_get_credentials call failed",
             Rule::any_1004);
    if (status != CORE_OK)
        return status;
    if (reply.hdr.status == CORE_OK)
        *creds = reply.creds;
    return reply.hdr.status;
}

VELMO_API core_status_t credmap_lookup_string_credentials(credmap_handle_t *handle,
                                                          const idkit_string_credentials_t *names,
                                                          idkit_credentials_t *creds)
{
    if (!usable(handle) || names == nullptr || creds == nullptr)
        return CORE_E_BAD_ARGUMENT;
    credmap_lookup_string_credentials_req_t request{next_header(handle), *names};
    credmap_svr_get_credentials_reply_t reply{};
    core_status_t status =
        call(handle, CREDMAP_PROC_LOOKUP_STRING_CREDENTIALS, (xdrproc_t)xdr_credmap_lookup_string_credentials_req_t,
             &request, (xdrproc_t)xdr_credmap_svr_get_credentials_reply_t, &reply,
             "credmap_lookup_string_credentials call failed", Rule::any_1004);
    if (status != CORE_OK)
        return status;
    if (reply.hdr.status == CORE_OK)
        *creds = reply.creds;
    return reply.hdr.status;
}

VELMO_API core_status_t credmap_lookup_user_sid(credmap_handle_t *handle, const char *name, int option, char *sid_text)
{
    return lookup_sid_text(handle, CREDMAP_PROC_LOOKUP_USER_SID, name, option, sid_text,
                           "credmap_lookup_user_sid call failed");
}

VELMO_API core_status_t credmap_lookup_domain_sid(credmap_handle_t *handle, const char *name, int option,
                                                  char *sid_text)
{
    return lookup_sid_text(handle, CREDMAP_PROC_LOOKUP_DOMAIN_SID, name, option, sid_text,
                           "credmap_lookup_domain_sid call failed");
}

VELMO_API core_status_t credmap_lookup_user_sid_credentials(credmap_handle_t *handle, const char *name,
                                                            credmap_user_sid_credentials_t *out)
{
    if (!usable(handle) || out == nullptr)
        return CORE_E_BAD_ARGUMENT;
    *out = credmap_user_sid_credentials_t{};
    credmap_lookup_user_sid_credentials_req_t request{next_header(handle), const_cast<char *>(name)};
    credmap_lookup_user_sid_credentials_reply_t reply{};
    core_status_t status =
        call(handle, CREDMAP_PROC_LOOKUP_USER_SID_CREDENTIALS, (xdrproc_t)xdr_credmap_lookup_user_sid_credentials_req_t,
             &request, (xdrproc_t)xdr_credmap_lookup_user_sid_credentials_reply_t, &reply,
             "credmap_lookup_user_sid_credentials call failed", Rule::procunavail);
    if (status != CORE_OK)
        return status;
    if (reply.hdr.status != CORE_OK)
        return reply.hdr.status;
    out->user = reply.user;
    out->group = reply.group;
    out->groups = reply.groups;
    out->ngroups = reply.ngroups;
    return CORE_OK;
}

VELMO_API core_status_t credmap_svr_getpwnam(credmap_handle_t *handle, const char *name, idkit_passwd_sid_t *pw)
{
    if (!usable(handle) || pw == nullptr)
        return CORE_E_BAD_ARGUMENT;
    *pw = idkit_passwd_sid_t{};
    credmap_lookup_user_sid_credentials_req_t request{next_header(handle), const_cast<char *>(name)};
    return getpw(handle, CREDMAP_PROC_SVR_GETPWNAM, (xdrproc_t)xdr_credmap_lookup_user_sid_credentials_req_t, &request,
                 pw, "credmap_svr_getpwnam call failed");
}

VELMO_API core_status_t credmap_svr_getpwuid(credmap_handle_t *handle, idkit_uid_t uid, idkit_passwd_sid_t *pw)
{
    if (!usable(handle) || pw == nullptr)
        return CORE_E_BAD_ARGUMENT;
    *pw = idkit_passwd_sid_t{};
    credmap_svr_getpwuid_req_t request{next_header(handle), uid};
    return getpw(handle, CREDMAP_PROC_SVR_GETPWUID, (xdrproc_t)xdr_credmap_svr_getpwuid_req_t, &request, pw,
                 "credmap_svr_getpwuid call failed");
}

VELMO_API core_status_t credmap_svr_getpwsid(credmap_handle_t *handle, const idkit_sid_t *sid, idkit_passwd_sid_t *pw)
{
    if (!usable(handle) || sid == nullptr || pw == nullptr)
        return CORE_E_BAD_ARGUMENT;
    *pw = idkit_passwd_sid_t{};
    if (refuse_nt_sid(handle, *sid))
        return CORE_E_NT_SID_UNSUPPORTED;
    credmap_svr_getpwsid_req_t request{next_header(handle), *sid};
    return getpw(handle, CREDMAP_PROC_SVR_GETPWSID, (xdrproc_t)xdr_credmap_svr_getpwsid_req_t, &request, pw,
                 "credmap_svr_getpwsid call failed");
}

VELMO_API core_status_t credmap_svr_getgrnam(credmap_handle_t *handle, const char *name, idkit_group_sid_t *gr)
{
    if (!usable(handle) || gr == nullptr)
        return CORE_E_BAD_ARGUMENT;
    *gr = idkit_group_sid_t{};
    credmap_lookup_user_sid_credentials_req_t request{next_header(handle), const_cast<char *>(name)};
    return getgr(handle, CREDMAP_PROC_SVR_GETGRNAM, (xdrproc_t)xdr_credmap_lookup_user_sid_credentials_req_t, &request,
                 gr, "credmap_svr_getgrnam call failed");
}

VELMO_API core_status_t credmap_svr_getgrgid(credmap_handle_t *handle, idkit_gid_t gid, idkit_group_sid_t *gr)
{
    if (!usable(handle) || gr == nullptr)
        return CORE_E_BAD_ARGUMENT;
    *gr = idkit_group_sid_t{};
    credmap_svr_getgrgid_req_t request{next_header(handle), gid};
    return getgr(handle, CREDMAP_PROC_SVR_GETGRGID, (xdrproc_t)xdr_credmap_svr_getgrgid_req_t, &request, gr,
                 "credmap_svr_getgrgid call failed");
}

VELMO_API core_status_t credmap_svr_getgrsid(credmap_handle_t *handle, const idkit_sid_t *sid, idkit_group_sid_t *gr)
{
    if (!usable(handle) || sid == nullptr || gr == nullptr)
        return CORE_E_BAD_ARGUMENT;
    *gr = idkit_group_sid_t{};
    if (refuse_nt_sid(handle, *sid))
        return CORE_E_NT_SID_UNSUPPORTED;
    credmap_svr_getpwsid_req_t request{next_header(handle), *sid};
    return getgr(handle, CREDMAP_PROC_SVR_GETGRSID, (xdrproc_t)xdr_credmap_svr_getpwsid_req_t, &request, gr,
                 "credmap_svr_getgrsid call failed");
}

VELMO_API core_status_t credmap_lookup_credentials(credmap_handle_t *handle, const idkit_credentials_t *creds,
                                                   idkit_string_credentials_t *names)
{
    if (!usable(handle) || creds == nullptr || names == nullptr)
        return CORE_E_BAD_ARGUMENT;
    credmap_lookup_credentials_req_t request{next_header(handle), CREDMAP_REQUEST_WORD, *creds};
    credmap_lookup_credentials_reply_t reply{};
    core_status_t status =
        call(handle, CREDMAP_PROC_LOOKUP_CREDENTIALS, (xdrproc_t)xdr_credmap_lookup_credentials_req_t, &request,
             (xdrproc_t)xdr_credmap_lookup_credentials_reply_t, &reply, "credmap_lookup_credentials call failed",
             Rule::procunavail);
    return status != CORE_OK ? status : hand_over_names(handle, &reply, names);
}

VELMO_API core_status_t credmap_lookup_string_credentials_sid(credmap_handle_t *handle,
                                                              const idkit_string_credentials_t *names,
                                                              idkit_sid_credentials_t *sids)
{
    if (!usable(handle) || names == nullptr || sids == nullptr)
        return CORE_E_BAD_ARGUMENT;
    credmap_lookup_string_credentials_sid_req_t request{next_header(handle), CREDMAP_REQUEST_WORD, *names};
    credmap_lookup_string_credentials_sid_reply_t reply{};
    core_status_t status = call(handle, CREDMAP_PROC_LOOKUP_STRING_CREDENTIALS_SID,
                                (xdrproc_t)xdr_credmap_lookup_string_credentials_sid_req_t, &request,
                                (xdrproc_t)xdr_credmap_lookup_string_credentials_sid_reply_t, &reply,
                                "credmap_lookup_string_credentials_sid call failed", Rule::procunavail);
    if (status != CORE_OK)
        return status;
    if (reply.hdr.status == CORE_OK)
        *sids = reply.sid_creds;
    return reply.hdr.status;
}

VELMO_API core_status_t credmap_lookup_sid_credentials(credmap_handle_t *handle, const idkit_sid_credentials_t *sids,
                                                       idkit_string_credentials_t *names)
{
    if (!usable(handle) || sids == nullptr || names == nullptr)
        return CORE_E_BAD_ARGUMENT;
    if (refuse_nt_sid(handle, sids->user))
        return CORE_E_NT_SID_UNSUPPORTED;
    credmap_lookup_sid_credentials_req_t request{next_header(handle), CREDMAP_REQUEST_WORD, *sids};
    credmap_lookup_credentials_reply_t reply{};
    core_status_t status =
        call(handle, CREDMAP_PROC_LOOKUP_SID_CREDENTIALS, (xdrproc_t)xdr_credmap_lookup_sid_credentials_req_t, &request,
             (xdrproc_t)xdr_credmap_lookup_credentials_reply_t, &reply, "credmap_lookup_sid_credentials call failed",
             Rule::procunavail);
    return status != CORE_OK ? status : hand_over_names(handle, &reply, names);
}

VELMO_API core_status_t credmap_lookup_whole_string_credentials(credmap_handle_t *handle,
                                                                const idkit_whole_string_credentials_t *names,
                                                                idkit_whole_credentials_t *whole)
{
    if (!usable(handle) || names == nullptr || whole == nullptr)
        return CORE_E_BAD_ARGUMENT;
    credmap_lookup_whole_string_credentials_req_t request{next_header(handle), CREDMAP_REQUEST_WORD, *names};
    credmap_lookup_whole_string_credentials_reply_t reply{};
    core_status_t status = call(handle, CREDMAP_PROC_LOOKUP_WHOLE_STRING_CREDENTIALS,
                                (xdrproc_t)xdr_credmap_lookup_whole_string_credentials_req_t, &request,
                                (xdrproc_t)xdr_credmap_lookup_whole_string_credentials_reply_t, &reply,
                                "credmap_lookup_whole_string_credentials call failed", Rule::unencodable);
    if (status != CORE_OK)
        return status;
    if (reply.hdr.status != CORE_OK)
        return reply.hdr.status;
    // The copy is the caller's; a copy without its groups would lose them.
    int copied = idkit_copy_whole_credentials(&reply.whole_creds, whole);
    clnt_freeres(handle->conn.clnt, (xdrproc_t)xdr_credmap_lookup_whole_string_credentials_reply_t,
                 reinterpret_cast<char *>(&reply));
    return copied == 0 ? CORE_OK : CORE_E_NO_MEMORY;
}

VELMO_API void credmap_lookup_user_sid_credentials_free(credmap_handle_t *handle, credmap_user_sid_credentials_t *out)
{
    if (out == nullptr)
        return;
    credmap_lookup_user_sid_credentials_reply_t reply{};
    reply.user.name = out->user.name;
    reply.group.name = out->group.name;
    reply.ngroups = out->ngroups;
    reply.groups = out->groups;
    if (handle != nullptr && handle->conn.clnt != nullptr)
        clnt_freeres(handle->conn.clnt, (xdrproc_t)xdr_credmap_lookup_user_sid_credentials_reply_t,
                     reinterpret_cast<char *>(&reply));
    else
        xdr_free((xdrproc_t)xdr_credmap_lookup_user_sid_credentials_reply_t, reinterpret_cast<char *>(&reply));
    *out = credmap_user_sid_credentials_t{};
}

VELMO_API void credmap_lookup_credentials_free(credmap_handle_t *handle, idkit_string_credentials_t *names)
{
    release_names(handle, names);
}

VELMO_API void credmap_lookup_sid_credentials_free(credmap_handle_t *handle, idkit_string_credentials_t *names)
{
    release_names(handle, names);
}
}
