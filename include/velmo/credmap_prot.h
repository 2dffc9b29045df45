/* The credmap protocol: Sun RPC program CREDMAP_PROG, version CREDMAP_VERS,
 * its request and reply messages and their XDR routines.
 *
 * Every request starts with a credmap_hdr_req_t, every reply with a
 * credmap_hdr_reply_t.  Replies whose body is marked "status 0 only" carry
 * it only in a successful reply.  Each routine returns 1 when every member
 * was processed and 0 at the first member that failed; a failed decode into
 * a record whose pointers were null leaves them null with nothing allocated. */
#ifndef VELMO_CREDMAP_PROT_H
#define VELMO_CREDMAP_PROT_H

#include <stddef.h>
#include <stdint.h>
#include <time.h>
#include <rpc/rpc.h>

#include "../host/core.h"
#include "../host/idkit.h"
#include "../host/velmo_export.h"

VELMO_BEGIN_DECLS

#define CREDMAP_PROG 390521
#define CREDMAP_VERS 1
#define CREDMAP_ATTR_NT_SID 2   /* server accepts SIDs of the NT type */
#define CREDMAP_CONTACT_WORD 3  /* contact_word of every contact request */
#define CREDMAP_REQUEST_WORD 1  /* request_word of the requests that have one */
#define CREDMAP_STRING_MAX 1023 /* longest name or SID text in the short requests */

/* Procedure numbers. */
#define CREDMAP_PROC_CONTACT 1
#define CREDMAP_PROC_EXIT 2
#define CREDMAP_PROC_SVR_GET_CREDENTIALS 3
#define CREDMAP_PROC_LOOKUP_STRING_CREDENTIALS 4
#define CREDMAP_PROC_LOOKUP_USER_SID 6
#define CREDMAP_PROC_LOOKUP_DOMAIN_SID 7
#define CREDMAP_PROC_LOOKUP_USER_SID_CREDENTIALS 12
#define CREDMAP_PROC_SVR_GETPWNAM 13
#define CREDMAP_PROC_SVR_GETPWUID 14
#define CREDMAP_PROC_SVR_GETPWSID 15
#define CREDMAP_PROC_SVR_GETGRNAM 16
#define CREDMAP_PROC_SVR_GETGRGID 17
#define CREDMAP_PROC_SVR_GETGRSID 18
#define CREDMAP_PROC_LOOKUP_CREDENTIALS 21
#define CREDMAP_PROC_LOOKUP_STRING_CREDENTIALS_SID 22
#define CREDMAP_PROC_LOOKUP_SID_CREDENTIALS 23
#define CREDMAP_PROC_LOOKUP_WHOLE_STRING_CREDENTIALS 24

typedef struct credmap_hdr_req {
    time_t uniquifier;
    uint64_t seqno;
} credmap_hdr_req_t;

typedef struct credmap_hdr_reply {
    uint64_t tag;
    core_status_t status;
} credmap_hdr_reply_t;

typedef struct credmap_null_req {
    credmap_hdr_req_t hdr;
} credmap_null_req_t;

typedef struct credmap_null_reply {
    credmap_hdr_reply_t hdr;
} credmap_null_reply_t;

typedef struct credmap_contact_req {
    credmap_hdr_req_t hdr;
    uint64_t contact_word;
} credmap_contact_req_t;

typedef struct credmap_contact_reply {
    credmap_hdr_reply_t hdr;
    uint64_t server_word;
    uint32_t attributes;
} credmap_contact_reply_t;

typedef struct credmap_svr_get_credentials_req {
    credmap_hdr_req_t hdr;
    char *name;
} credmap_svr_get_credentials_req_t;

typedef struct credmap_svr_get_credentials_reply {
    credmap_hdr_reply_t hdr;
    idkit_credentials_t creds;
} credmap_svr_get_credentials_reply_t;

typedef struct credmap_lookup_string_credentials_req {
    credmap_hdr_req_t hdr;
    idkit_string_credentials_t string_creds;
} credmap_lookup_string_credentials_req_t;

typedef struct credmap_lookup_user_sid_req {
    credmap_hdr_req_t hdr;
    char *name;
    int32_t option;
} credmap_lookup_user_sid_req_t;

typedef struct credmap_lookup_user_sid_reply {
    credmap_hdr_reply_t hdr;
    char *sid;
} credmap_lookup_user_sid_reply_t;

typedef struct credmap_lookup_user_sid_credentials_req {
    credmap_hdr_req_t hdr;
    char *name;
} credmap_lookup_user_sid_credentials_req_t;

/* Body status 0 only. */
typedef struct credmap_lookup_user_sid_credentials_reply {
    credmap_hdr_reply_t hdr;
    idkit_user_sid_t user;
    idkit_group_sid_t group;
    idkit_group_sid_t *groups;
    uint32_t ngroups;
} credmap_lookup_user_sid_credentials_reply_t;

typedef struct credmap_svr_getpwuid_req {
    credmap_hdr_req_t hdr;
    idkit_uid_t uid;
} credmap_svr_getpwuid_req_t;

/* Body status 0 only. */
typedef struct credmap_svr_getpwnam_reply {
    credmap_hdr_reply_t hdr;
    idkit_passwd_sid_t pw;
} credmap_svr_getpwnam_reply_t;

typedef struct credmap_svr_getpwsid_req {
    credmap_hdr_req_t hdr;
    idkit_sid_t sid;
} credmap_svr_getpwsid_req_t;

/* Body status 0 only. */
typedef struct credmap_svr_getgrnam_reply {
    credmap_hdr_reply_t hdr;
    idkit_group_sid_t gr;
} credmap_svr_getgrnam_reply_t;

typedef struct credmap_svr_getgrgid_req {
    credmap_hdr_req_t hdr;
    idkit_gid_t gid;
} credmap_svr_getgrgid_req_t;

typedef struct credmap_lookup_credentials_req {
    credmap_hdr_req_t hdr;
    uint32_t request_word;
    idkit_credentials_t creds;
} credmap_lookup_credentials_req_t;

typedef struct credmap_lookup_credentials_reply {
    credmap_hdr_reply_t hdr;
    idkit_string_credentials_t string_creds;
} credmap_lookup_credentials_reply_t;

typedef struct credmap_lookup_string_credentials_sid_req {
    credmap_hdr_req_t hdr;
    uint32_t request_word;
    idkit_string_credentials_t string_creds;
} credmap_lookup_string_credentials_sid_req_t;

/* Body status 0 only. */
typedef struct credmap_lookup_string_credentials_sid_reply {
    credmap_hdr_reply_t hdr;
    idkit_sid_credentials_t sid_creds;
} credmap_lookup_string_credentials_sid_reply_t;

typedef struct credmap_lookup_whole_string_credentials_req {
    credmap_hdr_req_t hdr;
    uint32_t request_word;
    idkit_whole_string_credentials_t whole_string_creds;
} credmap_lookup_whole_string_credentials_req_t;

/* Body status 0 only. */
typedef struct credmap_lookup_whole_string_credentials_reply {
    credmap_hdr_reply_t hdr;
    idkit_whole_credentials_t whole_creds;
} credmap_lookup_whole_string_credentials_reply_t;

typedef struct credmap_lookup_sid_credentials_req {
    credmap_hdr_req_t hdr;
    uint32_t request_word;
    idkit_sid_credentials_t sid_creds;
} credmap_lookup_sid_credentials_req_t;

VELMO_STATIC_ASSERT(sizeof(credmap_hdr_req_t) == 16, "request header is two words");
VELMO_STATIC_ASSERT(sizeof(credmap_hdr_reply_t) == 16, "reply header is a word and a status");
VELMO_STATIC_ASSERT(offsetof(credmap_hdr_reply_t, status) == 8, "status follows the tag");
VELMO_STATIC_ASSERT(offsetof(credmap_contact_reply_t, attributes) == 24, "attributes at 24");
VELMO_STATIC_ASSERT(offsetof(credmap_lookup_user_sid_req_t, option) == 24, "option at 24");
VELMO_STATIC_ASSERT(offsetof(credmap_lookup_user_sid_credentials_reply_t, group) == 72, "group at 72");
VELMO_STATIC_ASSERT(offsetof(credmap_lookup_user_sid_credentials_reply_t, groups) == 128, "groups at 128");
VELMO_STATIC_ASSERT(offsetof(credmap_lookup_user_sid_credentials_reply_t, ngroups) == 136, "ngroups at 136");
VELMO_STATIC_ASSERT(offsetof(credmap_svr_getpwnam_reply_t, pw) == 16, "pw at 16");
VELMO_STATIC_ASSERT(offsetof(credmap_lookup_credentials_req_t, creds) == 24, "creds at 24");
VELMO_STATIC_ASSERT(offsetof(credmap_lookup_string_credentials_sid_req_t, string_creds) == 24, "string_creds at 24");
VELMO_STATIC_ASSERT(offsetof(credmap_lookup_string_credentials_sid_reply_t, sid_creds) == 16, "sid_creds at 16");
VELMO_STATIC_ASSERT(offsetof(credmap_lookup_sid_credentials_req_t, sid_creds) == 20, "sid_creds at 20");
VELMO_STATIC_ASSERT(offsetof(credmap_lookup_whole_string_credentials_req_t, whole_string_creds) == 24,
                    "whole_string_creds at 24");

VELMO_API bool_t xdr_credmap_hdr_req_t(XDR *xdrs, credmap_hdr_req_t *hdr);
VELMO_API bool_t xdr_credmap_hdr_reply_t(XDR *xdrs, credmap_hdr_reply_t *hdr);
VELMO_API bool_t xdr_credmap_null_req_t(XDR *xdrs, credmap_null_req_t *m);
VELMO_API bool_t xdr_credmap_null_reply_t(XDR *xdrs, credmap_null_reply_t *m);
VELMO_API bool_t xdr_credmap_contact_req_t(XDR *xdrs, credmap_contact_req_t *m);
VELMO_API bool_t xdr_credmap_contact_reply_t(XDR *xdrs, credmap_contact_reply_t *m);
VELMO_API bool_t xdr_credmap_svr_get_credentials_req_t(XDR *xdrs, credmap_svr_get_credentials_req_t *m);
VELMO_API bool_t xdr_credmap_svr_get_credentials_reply_t(XDR *xdrs, credmap_svr_get_credentials_reply_t *m);
VELMO_API bool_t xdr_credmap_lookup_string_credentials_req_t(XDR *xdrs, credmap_lookup_string_credentials_req_t *m);
VELMO_API bool_t xdr_credmap_lookup_user_sid_req_t(XDR *xdrs, credmap_lookup_user_sid_req_t *m);
VELMO_API bool_t xdr_credmap_lookup_user_sid_reply_t(XDR *xdrs, credmap_lookup_user_sid_reply_t *m);
VELMO_API bool_t xdr_credmap_lookup_user_sid_credentials_req_t(XDR *xdrs, credmap_lookup_user_sid_credentials_req_t *m);
VELMO_API bool_t xdr_credmap_lookup_user_sid_credentials_reply_t(XDR *xdrs,
                                                                 credmap_lookup_user_sid_credentials_reply_t *m);
VELMO_API bool_t xdr_credmap_svr_getpwuid_req_t(XDR *xdrs, credmap_svr_getpwuid_req_t *m);
VELMO_API bool_t xdr_credmap_svr_getpwnam_reply_t(XDR *xdrs, credmap_svr_getpwnam_reply_t *m);
VELMO_API bool_t xdr_credmap_svr_getpwsid_req_t(XDR *xdrs, credmap_svr_getpwsid_req_t *m);
VELMO_API bool_t xdr_credmap_svr_getgrnam_reply_t(XDR *xdrs, credmap_svr_getgrnam_reply_t *m);
VELMO_API bool_t xdr_credmap_svr_getgrgid_req_t(XDR *xdrs, credmap_svr_getgrgid_req_t *m);
VELMO_API bool_t xdr_credmap_lookup_credentials_req_t(XDR *xdrs, credmap_lookup_credentials_req_t *m);
VELMO_API bool_t xdr_credmap_lookup_credentials_reply_t(XDR *xdrs, credmap_lookup_credentials_reply_t *m);
VELMO_API bool_t xdr_credmap_lookup_string_credentials_sid_req_t(XDR *xdrs,
                                                                 credmap_lookup_string_credentials_sid_req_t *m);
VELMO_API bool_t xdr_credmap_lookup_string_credentials_sid_reply_t(XDR *xdrs,
                                                                   credmap_lookup_string_credentials_sid_reply_t *m);
VELMO_API bool_t xdr_credmap_lookup_whole_string_credentials_req_t(XDR *xdrs,
                                                                   credmap_lookup_whole_string_credentials_req_t *m);
VELMO_API bool_t
xdr_credmap_lookup_whole_string_credentials_reply_t(XDR *xdrs, credmap_lookup_whole_string_credentials_reply_t *m);
VELMO_API bool_t xdr_credmap_lookup_sid_credentials_req_t(XDR *xdrs, credmap_lookup_sid_credentials_req_t *m);

VELMO_END_DECLS

#endif
