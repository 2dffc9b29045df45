/* Credential utility service: SIDs, credential records and the conversions
 * between SIDs, UNIX ids and names.
 *
 * Local UNIX ids are known by the SIDs S-1-22-1-<uid> (users) and
 * S-1-22-2-<gid> (groups); SIDs of a Windows domain (S-1-5-...) are of the
 * "NT" kind.  All operations are safe to call from any thread. */
#ifndef HOST_IDKIT_H
#define HOST_IDKIT_H

#include <stddef.h>
#include <stdint.h>
#include <rpc/rpc.h>

#include "velmo_export.h"

VELMO_BEGIN_DECLS

#ifndef CORE_STATUS_T_DEFINED
#define CORE_STATUS_T_DEFINED
typedef int32_t core_status_t;
#endif

#define IDKIT_SID_BODY_MAX 32        /* bytes of a SID body: up to 6 sub-authorities */
#define IDKIT_SID_TEXT_MAX 185       /* a text buffer for idkit_sid_to_str */
#define IDKIT_MAX_GROUPS 32          /* groups held by the fixed-size records */
#define IDKIT_NAME_MAX 1023          /* longest account or group name on the wire */
#define IDKIT_WHOLE_MAX_GROUPS 65536 /* groups a whole record may carry on the wire */

/* Kinds of SID (byte 1 of the record). */
#define IDKIT_SID_KIND_NOBODY 0
#define IDKIT_SID_KIND_DONTCARE 1
#define IDKIT_SID_KIND_REAL 2
#define IDKIT_SID_KIND_NT 3

/* The UNIX id that stands for no id, and the one that stands for any. */
#define IDKIT_ID_NOBODY 4294967294u
#define IDKIT_ID_DONTCARE 4294967295u

typedef uint32_t idkit_uid_t;
typedef uint32_t idkit_gid_t;

/* A SID: byte 0 the body length, byte 1 the kind, then the binary SID as
 * Windows lays it out (revision, sub-authority count, 6-byte big-endian
 * authority, little-endian 32-bit sub-authorities). */
typedef struct idkit_sid {
    uint8_t length;
    uint8_t kind;
    uint8_t body[IDKIT_SID_BODY_MAX];
} idkit_sid_t;

typedef struct idkit_sid_credentials {
    idkit_sid_t user;
    idkit_sid_t group;
    uint32_t ngroups;
    idkit_sid_t groups[IDKIT_MAX_GROUPS];
} idkit_sid_credentials_t;

/* Ids are the low 32 bits of each word. */
typedef struct idkit_credentials {
    uint64_t uid;
    uint64_t gid;
    int32_t ngroups;
    uint32_t ngroups_pad;
    uint64_t groups[IDKIT_MAX_GROUPS];
} idkit_credentials_t;

typedef struct idkit_string_credentials {
    char *user;
    char *group;
    uint32_t ngroups;
    uint32_t ngroups_pad;
    char *groups[IDKIT_MAX_GROUPS];
} idkit_string_credentials_t;

typedef struct idkit_whole_credentials {
    idkit_sid_t user;
    idkit_sid_t group;
    int32_t ngroups;
    idkit_sid_t *groups; /* ngroups SIDs, owned by the record */
} idkit_whole_credentials_t;

typedef struct idkit_whole_string_credentials {
    char *user;
    char *group;
    uint64_t ngroups;
    char **groups; /* ngroups names, owned by the record */
} idkit_whole_string_credentials_t;

typedef struct idkit_user_sid {
    char *name;
    uint64_t id;
    idkit_sid_t sid;
} idkit_user_sid_t;

typedef struct idkit_group_sid {
    char *name;
    uint64_t id;
    idkit_sid_t sid;
} idkit_group_sid_t;

typedef struct idkit_passwd_sid {
    idkit_user_sid_t user;
    idkit_group_sid_t group;
    char *gecos; /* the account's full name */
    char *home;  /* the account's home directory */
} idkit_passwd_sid_t;

VELMO_STATIC_ASSERT(sizeof(idkit_sid_t) == 34, "idkit_sid_t is 34 bytes");
VELMO_STATIC_ASSERT(sizeof(idkit_sid_credentials_t) == 1160, "idkit_sid_credentials_t is 1160 bytes");
VELMO_STATIC_ASSERT(offsetof(idkit_sid_credentials_t, group) == 34, "group at 34");
VELMO_STATIC_ASSERT(offsetof(idkit_sid_credentials_t, ngroups) == 68, "ngroups at 68");
VELMO_STATIC_ASSERT(offsetof(idkit_sid_credentials_t, groups) == 72, "groups at 72");
VELMO_STATIC_ASSERT(sizeof(idkit_credentials_t) == 280, "idkit_credentials_t is 280 bytes");
VELMO_STATIC_ASSERT(offsetof(idkit_credentials_t, gid) == 8, "gid at 8");
VELMO_STATIC_ASSERT(offsetof(idkit_credentials_t, ngroups) == 16, "ngroups at 16");
VELMO_STATIC_ASSERT(offsetof(idkit_credentials_t, groups) == 24, "groups at 24");
VELMO_STATIC_ASSERT(sizeof(idkit_string_credentials_t) == 280, "idkit_string_credentials_t is 280 bytes");
VELMO_STATIC_ASSERT(offsetof(idkit_string_credentials_t, ngroups) == 16, "ngroups at 16");
VELMO_STATIC_ASSERT(offsetof(idkit_string_credentials_t, groups) == 24, "groups at 24");
VELMO_STATIC_ASSERT(sizeof(idkit_whole_credentials_t) == 80, "idkit_whole_credentials_t is 80 bytes");
VELMO_STATIC_ASSERT(offsetof(idkit_whole_credentials_t, ngroups) == 68, "ngroups at 68");
VELMO_STATIC_ASSERT(offsetof(idkit_whole_credentials_t, groups) == 72, "groups at 72");
VELMO_STATIC_ASSERT(sizeof(idkit_whole_string_credentials_t) == 32, "idkit_whole_string_credentials_t is 32 bytes");
VELMO_STATIC_ASSERT(sizeof(idkit_user_sid_t) == 56, "idkit_user_sid_t is 56 bytes");
VELMO_STATIC_ASSERT(offsetof(idkit_user_sid_t, sid) == 16, "sid at 16");
VELMO_STATIC_ASSERT(sizeof(idkit_group_sid_t) == 56, "idkit_group_sid_t is 56 bytes");
VELMO_STATIC_ASSERT(sizeof(idkit_passwd_sid_t) == 128, "idkit_passwd_sid_t is 128 bytes");
VELMO_STATIC_ASSERT(offsetof(idkit_passwd_sid_t, group) == 56, "group at 56");
VELMO_STATIC_ASSERT(offsetof(idkit_passwd_sid_t, gecos) == 112, "gecos at 112");

/* The two special SIDs: kind 0 (nobody) and kind 1 (don't care). */
VELMO_API extern const idkit_sid_t IDKIT_SID_NOBODY;
VELMO_API extern const idkit_sid_t IDKIT_SID_DONTCARE;

/* Nonzero when a and b denote the same SID (kind, length and used body). */
VELMO_API int idkit_sid_eq(const idkit_sid_t *a, const idkit_sid_t *b);
/* Hash of a SID record; equal SIDs hash equal.  Never blocks. */
VELMO_API uint32_t idkit_sid_hash_fn(const void *sid);
/* Key equality for hash tables: nonzero when the two SID records are equal. */
VELMO_API int idkit_sid_keycmp_fn(const void *a, const void *b);

/* Writes the text of a SID ("S-1-5-21-...", "nobody", "dontcare") into
 * buffer, which holds IDKIT_SID_TEXT_MAX bytes; returns buffer. */
VELMO_API char *idkit_sid_to_str(const idkit_sid_t *sid, char *buffer);
/* The inverse of idkit_sid_to_str: 0, or IDKIT_E_BAD_SID_TEXT. */
VELMO_API core_status_t idkit_sid_from_str(const char *text, idkit_sid_t *out);

/* The calling process's own credentials, from its real uid, gid and
 * supplementary groups.  The fixed record keeps the first 32 groups. */
VELMO_API core_status_t idkit_get_sid_credentials(idkit_sid_credentials_t *out);
VELMO_API core_status_t idkit_get_complete_whole_credentials(idkit_whole_credentials_t *out);

/* The local UNIX identity of SID credentials.  The user and primary group
 * must be local SIDs (or nobody); a supplementary group that is not a local
 * group SID becomes the nobody id. */
VELMO_API core_status_t idkit_sid_credentials_to_credentials(const idkit_sid_credentials_t *sids,
                                                             idkit_credentials_t *out);

/* The local id of a local SID, IDKIT_ID_NOBODY when it stands for none. */
VELMO_API idkit_uid_t idkit_sid_to_uid(const idkit_sid_t *sid);
VELMO_API idkit_gid_t idkit_sid_to_gid(const idkit_sid_t *sid);
/* The local SID of an id; returns 0. */
VELMO_API int idkit_uid_to_sid(idkit_sid_t *out, idkit_uid_t uid);
VELMO_API int idkit_gid_to_sid(idkit_sid_t *out, idkit_gid_t gid);

/* The local account or group of a local SID, or null.  The record and its
 * strings belong to the calling thread and stay valid until its next call
 * of the same function. */
VELMO_API idkit_passwd_sid_t *idkit_getpwsid(const idkit_sid_t *sid);
VELMO_API idkit_group_sid_t *idkit_getgrsid(const idkit_sid_t *sid);

/* This machine's name for AUTH_UNIX, NUL-terminated in at most size bytes;
 * returns 0, or -1 when size is 0. */
VELMO_API int idkit_mk_authunix_machname(char *buffer, size_t size);

/* dst becomes a copy of src with a group array of its own; 0, or
 * CORE_E_NO_MEMORY (dst then holds no groups). */
VELMO_API int idkit_copy_whole_credentials(const idkit_whole_credentials_t *src, idkit_whole_credentials_t *dst);
/* Releases the group array that the record owns (not the record) with
 * mem_free, and leaves it without groups, so releasing it again is harmless.
 * Group arrays of whole credentials come from mem_malloc. */
VELMO_API void idkit_free_whole_credentials(idkit_whole_credentials_t *wc);
/* The local names of whole credentials ("nobody" for a SID without one). */
VELMO_API core_status_t idkit_whole_credentials_to_whole_string_credentials(const idkit_whole_credentials_t *wc,
                                                                            idkit_whole_string_credentials_t *out);
VELMO_API void idkit_free_whole_string_credentials(idkit_whole_string_credentials_t *wsc);
/* Releases the names (malloc'd) that the record holds and clears it. */
VELMO_API void idkit_free_string_credentials(idkit_string_credentials_t *sc);

/* XDR routines of the records.  A decoder refuses counts above what a record
 * holds, names longer than IDKIT_NAME_MAX and truncated input; when it fails
 * it releases what it allocated and leaves those pointers null.  The third
 * argument is reserved and passed as 0. */
VELMO_API bool_t xdr_idkit_sid_t(XDR *xdrs, idkit_sid_t *sid, u_int flags);
VELMO_API bool_t xdr_idkit_uid_t(XDR *xdrs, idkit_uid_t *uid, u_int flags);
VELMO_API bool_t xdr_idkit_gid_t(XDR *xdrs, idkit_gid_t *gid, u_int flags);
VELMO_API bool_t xdr_idkit_credentials_t(XDR *xdrs, idkit_credentials_t *creds, u_int flags);
VELMO_API bool_t xdr_idkit_string_credentials_t(XDR *xdrs, idkit_string_credentials_t *creds, u_int flags);
VELMO_API bool_t xdr_idkit_user_sid_t(XDR *xdrs, idkit_user_sid_t *user, u_int flags);
VELMO_API bool_t xdr_idkit_group_sid_t(XDR *xdrs, idkit_group_sid_t *group, u_int flags);
VELMO_API bool_t xdr_idkit_passwd_sid_t(XDR *xdrs, idkit_passwd_sid_t *pw, u_int flags);
VELMO_API bool_t xdr_idkit_sid_credentials_t(XDR *xdrs, idkit_sid_credentials_t *creds, u_int flags);
VELMO_API bool_t xdr_idkit_whole_string_credentials_t(XDR *xdrs, idkit_whole_string_credentials_t *creds, u_int flags);
VELMO_API bool_t xdr_idkit_whole_credentials_t(XDR *xdrs, idkit_whole_credentials_t *creds, u_int flags);

VELMO_END_DECLS

#endif
