/* XDR routines of the credmap protocol messages.
 *
 * Each message goes on the wire as its members in declaration order, after
 * its header.  Replies come from the network and may be truncated or
 * garbage: when a decode fails part-way, whatever that call allocated is
 * released again and the pointers it set are null, so the caller has
 * nothing to clean up.  A pointer that was already set when decoding began
 * is the caller's buffer and is never released. */
#include <climits>
#include <cstdint>

#include "host/core.h"
#include "host/idkit.h"
#include "host/velmo_xdr.h"
#include "velmo/credmap_prot.h"

namespace {

/* The name-only request carries names of any length. */
constexpr u_int kNoLimit = UINT_MAX;

/* Releases a member that an unfinished decode has already filled in, by
 * running its routine (`release`, given a stream) in free mode.  Only a
 * member whose pointers were null on entry is released; other directions
 * leave everything as it is, since encoding and freeing allocate nothing. */
template<typename Release>
void undo_decoded(XDR *xdrs, bool was_null, Release release)
{
    if (xdrs->x_op != XDR_DECODE || !was_null)
        return;
    XDR freeing{};
    freeing.x_op = XDR_FREE;
    release(&freeing);
}

/* A counted string of at most `max` bytes.  The standard routine would read
 * through a null pointer when encoding, so a missing string is refused
 * here.  Freeing ignores the limit: it must release whatever the record
 * holds, even a string longer than the wire allows. */
bool_t xdr_text(XDR *xdrs, char **text, u_int max)
{
    if (xdrs->x_op == XDR_ENCODE && *text == nullptr)
        return FALSE;
    const bool was_null = *text == nullptr;
    if (velmo_xdr_string(xdrs, text, xdrs->x_op == XDR_FREE ? kNoLimit : max))
        return TRUE;
    undo_decoded(xdrs, was_null && *text != nullptr, [text](XDR *f) { xdr_string(f, text, kNoLimit); });
    return FALSE;
}

/* The group array of the lookup-user-SID-credentials reply.  The count on
 * the wire is only stored once the whole array has been read, so a failed
 * decode leaves ngroups as it was. */
bool_t xdr_group_array(XDR *xdrs, credmap_lookup_user_sid_credentials_reply_t *m)
{
    uint32_t n = 0;
    switch (xdrs->x_op) {
    case XDR_DECODE:
        if (!xdr_ez_array(xdrs, reinterpret_cast<void **>(&m->groups), &n, 4294967295u, sizeof(idkit_group_sid_t),
                          (xdrproc_t)xdr_idkit_group_sid_t, 0))
            return FALSE;
        m->ngroups = n;
        return TRUE;
    case XDR_ENCODE:
    case XDR_FREE:
        n = m->ngroups;
        return xdr_ez_array(xdrs, reinterpret_cast<void **>(&m->groups), &n, 4294967295u, sizeof(idkit_group_sid_t),
                            (xdrproc_t)xdr_idkit_group_sid_t, 0);
    default:
        return TRUE;
    }
}

/* A reply whose body is only present on success: true when it is. */
bool has_body(const credmap_hdr_reply_t &hdr)
{
    return hdr.status == 0;
}

}  // namespace

extern "C" {

VELMO_API bool_t xdr_credmap_hdr_req_t(XDR *xdrs, credmap_hdr_req_t *hdr)
{
    return xdr_time_t(xdrs, &hdr->uniquifier, 0) && velmo_xdr_u_long(xdrs, &hdr->seqno, 0);
}

VELMO_API bool_t xdr_credmap_hdr_reply_t(XDR *xdrs, credmap_hdr_reply_t *hdr)
{
    return velmo_xdr_u_long(xdrs, &hdr->tag, 0) && xdr_core_status_t(xdrs, &hdr->status, 0);
}

VELMO_API bool_t xdr_credmap_null_req_t(XDR *xdrs, credmap_null_req_t *m)
{
    return xdr_credmap_hdr_req_t(xdrs, &m->hdr);
}

VELMO_API bool_t xdr_credmap_null_reply_t(XDR *xdrs, credmap_null_reply_t *m)
{
    return xdr_credmap_hdr_reply_t(xdrs, &m->hdr);
}

VELMO_API bool_t xdr_credmap_contact_req_t(XDR *xdrs, credmap_contact_req_t *m)
{
    return xdr_credmap_hdr_req_t(xdrs, &m->hdr) && velmo_xdr_u_long(xdrs, &m->contact_word, 0);
}

VELMO_API bool_t xdr_credmap_contact_reply_t(XDR *xdrs, credmap_contact_reply_t *m)
{
    return xdr_credmap_hdr_reply_t(xdrs, &m->hdr) && velmo_xdr_u_long(xdrs, &m->server_word, 0) &&
           xdr_u_int(xdrs, &m->attributes);
}

VELMO_API bool_t xdr_credmap_svr_get_credentials_req_t(XDR *xdrs, credmap_svr_get_credentials_req_t *m)
{
    return xdr_credmap_hdr_req_t(xdrs, &m->hdr) && xdr_text(xdrs, &m->name, CREDMAP_STRING_MAX);
}

VELMO_API bool_t xdr_credmap_svr_get_credentials_reply_t(XDR *xdrs, credmap_svr_get_credentials_reply_t *m)
{
    return xdr_credmap_hdr_reply_t(xdrs, &m->hdr) && xdr_idkit_credentials_t(xdrs, &m->creds, 0);
}

VELMO_API bool_t xdr_credmap_lookup_string_credentials_req_t(XDR *xdrs, credmap_lookup_string_credentials_req_t *m)
{
    return xdr_credmap_hdr_req_t(xdrs, &m->hdr) && xdr_idkit_string_credentials_t(xdrs, &m->string_creds, 0);
}

VELMO_API bool_t xdr_credmap_lookup_user_sid_req_t(XDR *xdrs, credmap_lookup_user_sid_req_t *m)
{
    if (!xdr_credmap_hdr_req_t(xdrs, &m->hdr))
        return FALSE;
    const bool fresh_name = m->name == nullptr;
    if (!xdr_text(xdrs, &m->name, CREDMAP_STRING_MAX))
        return FALSE;
    if (xdr_int(xdrs, &m->option))
        return TRUE;
    undo_decoded(xdrs, fresh_name, [m](XDR *f) { xdr_text(f, &m->name, kNoLimit); });
    return FALSE;
}

/* The SID text is decoded into the buffer the caller placed in `sid`, when
 * there is one; the body is present whatever the status. */
VELMO_API bool_t xdr_credmap_lookup_user_sid_reply_t(XDR *xdrs, credmap_lookup_user_sid_reply_t *m)
{
    return xdr_credmap_hdr_reply_t(xdrs, &m->hdr) && xdr_text(xdrs, &m->sid, CREDMAP_STRING_MAX);
}

VELMO_API bool_t xdr_credmap_lookup_user_sid_credentials_req_t(XDR *xdrs, credmap_lookup_user_sid_credentials_req_t *m)
{
    return xdr_credmap_hdr_req_t(xdrs, &m->hdr) && xdr_text(xdrs, &m->name, kNoLimit);
}

VELMO_API bool_t xdr_credmap_lookup_user_sid_credentials_reply_t(XDR *xdrs,
                                                                 credmap_lookup_user_sid_credentials_reply_t *m)
{
    if (!xdr_credmap_hdr_reply_t(xdrs, &m->hdr))
        return FALSE;
    if (!has_body(m->hdr))
        return TRUE;
    const bool fresh_user = m->user.name == nullptr;
    const bool fresh_group = m->group.name == nullptr;
    auto undo_user = [m](XDR *f) { xdr_idkit_user_sid_t(f, &m->user, 0); };
    auto undo_group = [m](XDR *f) { xdr_idkit_group_sid_t(f, &m->group, 0); };
    if (!xdr_idkit_user_sid_t(xdrs, &m->user, 0))
        return FALSE;
    if (!xdr_idkit_group_sid_t(xdrs, &m->group, 0)) {
        undo_decoded(xdrs, fresh_user, undo_user);
        return FALSE;
    }
    if (!xdr_group_array(xdrs, m)) {
        undo_decoded(xdrs, fresh_user, undo_user);
        undo_decoded(xdrs, fresh_group, undo_group);
        return FALSE;
    }
    return TRUE;
}

VELMO_API bool_t xdr_credmap_svr_getpwuid_req_t(XDR *xdrs, credmap_svr_getpwuid_req_t *m)
{
    return xdr_credmap_hdr_req_t(xdrs, &m->hdr) && xdr_idkit_uid_t(xdrs, &m->uid, 0);
}

VELMO_API bool_t xdr_credmap_svr_getpwnam_reply_t(XDR *xdrs, credmap_svr_getpwnam_reply_t *m)
{
    if (!xdr_credmap_hdr_reply_t(xdrs, &m->hdr))
        return FALSE;
    return !has_body(m->hdr) || xdr_idkit_passwd_sid_t(xdrs, &m->pw, 0);
}

VELMO_API bool_t xdr_credmap_svr_getpwsid_req_t(XDR *xdrs, credmap_svr_getpwsid_req_t *m)
{
    return xdr_credmap_hdr_req_t(xdrs, &m->hdr) && xdr_idkit_sid_t(xdrs, &m->sid, 0);
}

VELMO_API bool_t xdr_credmap_svr_getgrnam_reply_t(XDR *xdrs, credmap_svr_getgrnam_reply_t *m)
{
    if (!xdr_credmap_hdr_reply_t(xdrs, &m->hdr))
        return FALSE;
    return !has_body(m->hdr) || xdr_idkit_group_sid_t(xdrs, &m->gr, 0);
}

VELMO_API bool_t xdr_credmap_svr_getgrgid_req_t(XDR *xdrs, credmap_svr_getgrgid_req_t *m)
{
    return xdr_credmap_hdr_req_t(xdrs, &m->hdr) && xdr_idkit_gid_t(xdrs, &m->gid, 0);
}

VELMO_API bool_t xdr_credmap_lookup_credentials_req_t(XDR *xdrs, credmap_lookup_credentials_req_t *m)
{
    return xdr_credmap_hdr_req_t(xdrs, &m->hdr) && xdr_u_int(xdrs, &m->request_word) &&
           xdr_idkit_credentials_t(xdrs, &m->creds, 0);
}

VELMO_API bool_t xdr_credmap_lookup_credentials_reply_t(XDR *xdrs, credmap_lookup_credentials_reply_t *m)
{
    return xdr_credmap_hdr_reply_t(xdrs, &m->hdr) && xdr_idkit_string_credentials_t(xdrs, &m->string_creds, 0);
}

VELMO_API bool_t xdr_credmap_lookup_string_credentials_sid_req_t(XDR *xdrs,
                                                                 credmap_lookup_string_credentials_sid_req_t *m)
{
    return xdr_credmap_hdr_req_t(xdrs, &m->hdr) && xdr_u_int(xdrs, &m->request_word) &&
           xdr_idkit_string_credentials_t(xdrs, &m->string_creds, 0);
}

VELMO_API bool_t xdr_credmap_lookup_string_credentials_sid_reply_t(XDR *xdrs,
                                                                   credmap_lookup_string_credentials_sid_reply_t *m)
{
    if (!xdr_credmap_hdr_reply_t(xdrs, &m->hdr))
        return FALSE;
    return !has_body(m->hdr) || xdr_idkit_sid_credentials_t(xdrs, &m->sid_creds, 0);
}

VELMO_API bool_t xdr_credmap_lookup_whole_string_credentials_req_t(XDR *xdrs,
                                                                   credmap_lookup_whole_string_credentials_req_t *m)
{
    return xdr_credmap_hdr_req_t(xdrs, &m->hdr) && xdr_u_int(xdrs, &m->request_word) &&
           xdr_idkit_whole_string_credentials_t(xdrs, &m->whole_string_creds, 0);
}

VELMO_API bool_t xdr_credmap_lookup_whole_string_credentials_reply_t(XDR *xdrs,
                                                                     credmap_lookup_whole_string_credentials_reply_t *m)
{
    if (!xdr_credmap_hdr_reply_t(xdrs, &m->hdr))
        return FALSE;
    return !has_body(m->hdr) || xdr_idkit_whole_credentials_t(xdrs, &m->whole_creds, 0);
}

VELMO_API bool_t xdr_credmap_lookup_sid_credentials_req_t(XDR *xdrs, credmap_lookup_sid_credentials_req_t *m)
{
    return xdr_credmap_hdr_req_t(xdrs, &m->hdr) && xdr_u_int(xdrs, &m->request_word) &&
           xdr_idkit_sid_credentials_t(xdrs, &m->sid_creds, 0);
}

}  // extern "C"
