/* libvelmocredmap: maps user and group credentials between this UNIX host
 * and remote hosts.
 *
 * This header brings the whole public interface: the credential records and
 * statuses of the host services it uses, the protocol of credmap_server and
 * the message catalogue. */
#ifndef VELMO_CREDMAP_H
#define VELMO_CREDMAP_H

#include <rpc/rpc.h>
#include <time.h>

#include "../host/core.h"
#include "../host/hubd.h"
#include "../host/idkit.h"
#include "../host/velmo_export.h"
#include "credmap_msg.h"
#include "credmap_prot.h"

VELMO_BEGIN_DECLS

/* Failure modes of the access-list conversions. */
#define CREDMAP_CONVERT_STRICT 0
#define CREDMAP_CONVERT_DROP 1
#define CREDMAP_CONVERT_KEEP 2

/* The time-out of every call to a credmap_server, in seconds. */
#define CREDMAP_CALL_TIMEOUT 15
/* Connection attempts of credmap_get_handle when the contact times out. */
#define CREDMAP_CONTACT_ATTEMPTS 4

/* A connection to the credmap_server of one host, used by one thread for
 * one operation and released with credmap_free_handle. */
typedef struct credmap_handle {
    hubd_conn_t conn;
    time_t uniquifier;   /* stamp of the latest connection attempt */
    uint64_t seqno;      /* number of the next request */
    uint32_t attributes; /* the server's attributes (CREDMAP_ATTR_NT_SID) */
} credmap_handle_t;

/* What a user-SID credentials look-up hands to its caller: the user, the
 * primary group and every group, allocated by the protocol layer and
 * released with credmap_lookup_user_sid_credentials_free. */
typedef struct credmap_user_sid_credentials {
    idkit_user_sid_t user;
    idkit_group_sid_t group;
    idkit_group_sid_t *groups;
    uint32_t ngroups;
} credmap_user_sid_credentials_t;

/* Server handle. */
VELMO_API core_status_t credmap_get_handle(const char *host, credmap_handle_t **handle_out);
VELMO_API void credmap_free_handle(credmap_handle_t *handle);
VELMO_API core_status_t credmap_get_attribute(credmap_handle_t *handle, unsigned int *attributes_out);
VELMO_API void credmap_exit(credmap_handle_t *handle);
VELMO_API AUTH *credmap_authunix_create_nobody(void);

/* Remote operations: one request to the server of the handle each. */
VELMO_API core_status_t credmap_svr_get_credentials(credmap_handle_t *handle, const char *name,
                                                    idkit_credentials_t *creds);
VELMO_API core_status_t credmap_lookup_string_credentials(credmap_handle_t *handle,
                                                          const idkit_string_credentials_t *names,
                                                          idkit_credentials_t *creds);
/* The SID text is decoded straight into sid_text, which must hold
 * CREDMAP_STRING_MAX + 1 bytes: a server may answer that much. */
VELMO_API core_status_t credmap_lookup_user_sid(credmap_handle_t *handle, const char *name, int option, char *sid_text);
VELMO_API core_status_t credmap_lookup_domain_sid(credmap_handle_t *handle, const char *name, int option,
                                                  char *sid_text);
VELMO_API core_status_t credmap_lookup_user_sid_credentials(credmap_handle_t *handle, const char *name,
                                                            credmap_user_sid_credentials_t *out);
VELMO_API core_status_t credmap_svr_getpwnam(credmap_handle_t *handle, const char *name, idkit_passwd_sid_t *pw);
VELMO_API core_status_t credmap_svr_getpwuid(credmap_handle_t *handle, idkit_uid_t uid, idkit_passwd_sid_t *pw);
VELMO_API core_status_t credmap_svr_getpwsid(credmap_handle_t *handle, const idkit_sid_t *sid, idkit_passwd_sid_t *pw);
VELMO_API core_status_t credmap_svr_getgrnam(credmap_handle_t *handle, const char *name, idkit_group_sid_t *gr);
VELMO_API core_status_t credmap_svr_getgrgid(credmap_handle_t *handle, idkit_gid_t gid, idkit_group_sid_t *gr);
VELMO_API core_status_t credmap_svr_getgrsid(credmap_handle_t *handle, const idkit_sid_t *sid, idkit_group_sid_t *gr);
VELMO_API core_status_t credmap_lookup_credentials(credmap_handle_t *handle, const idkit_credentials_t *creds,
                                                   idkit_string_credentials_t *names);
VELMO_API core_status_t credmap_lookup_string_credentials_sid(credmap_handle_t *handle,
                                                              const idkit_string_credentials_t *names,
                                                              idkit_sid_credentials_t *sids);
VELMO_API core_status_t credmap_lookup_sid_credentials(credmap_handle_t *handle, const idkit_sid_credentials_t *sids,
                                                       idkit_string_credentials_t *names);
VELMO_API core_status_t credmap_lookup_whole_string_credentials(credmap_handle_t *handle,
                                                                const idkit_whole_string_credentials_t *names,
                                                                idkit_whole_credentials_t *whole);
VELMO_API void credmap_lookup_user_sid_credentials_free(credmap_handle_t *handle, credmap_user_sid_credentials_t *out);
VELMO_API void credmap_lookup_credentials_free(credmap_handle_t *handle, idkit_string_credentials_t *names);
VELMO_API void credmap_lookup_sid_credentials_free(credmap_handle_t *handle, idkit_string_credentials_t *names);

/* Local-to-remote mapping.  A file-status record holds its owner's SID at
 * CREDMAP_FSTAT_OWNER_OFFSET and its group's SID right after it. */
#define CREDMAP_FSTAT_OWNER_OFFSET 16
VELMO_API core_status_t credmap_local_to_remote_sid(const idkit_sid_credentials_t *local, const char *host,
                                                    idkit_sid_credentials_t *remote);
VELMO_API core_status_t credmap_local_to_remote_with_check(const idkit_sid_credentials_t *local, const char *host,
                                                           idkit_sid_credentials_t *remote);
VELMO_API core_status_t credmap_fstat_db_local_to_remote(const char *host, void *record);

/* Whole credentials (any number of groups) for a host.  Whatever `remote`
 * held is overwritten, not released.  After every return, success or not,
 * `remote` either owns a group array or holds none, so the caller always
 * releases it with idkit_free_whole_credentials (releasing twice is
 * harmless). */
VELMO_API core_status_t credmap_local_to_remote_whole(const idkit_whole_credentials_t *local, const char *host,
                                                      idkit_whole_credentials_t *remote);

/* Remote-to-local mapping: SIDs a remote host gave a caller to local SIDs.
 * `local` is filled whatever the status (the nobody set on failure). */
VELMO_API core_status_t credmap_remote_to_local_sid(const idkit_sid_credentials_t *remote, const char *host,
                                                    idkit_sid_credentials_t *local);
VELMO_API core_status_t credmap_fstat_db_remote_to_local(const char *host, void *record);

/* The POSIX identity (uid, gid, groups) a host gives local SID credentials:
 * the local ids for hosts in my credentials domain, the ids the host's
 * credmap_server assigns for a Windows host.  Groups come sorted, without
 * the nobody and don't-care ids. */
VELMO_API core_status_t credmap_local_sid_to_remote_posix(const idkit_sid_credentials_t *local, const char *host,
                                                          idkit_credentials_t *creds);

/* AUTH_UNIX authentication for calls to `host` on behalf of `sid_creds` (the
 * process's own credentials when null; with a null host, the local identity
 * without any host check): at most 16 groups, the nobody group left out.
 * "nobody" authentication, with a warning, when no credentials can be had;
 * null when the host refuses them ("Credentials DENIED on host ...").  The
 * caller releases the result with auth_destroy.  credmap_auth_create also
 * makes the caches on first use; credmap_authunix_create expects that done. */
VELMO_API AUTH *credmap_authunix_create(const char *host, const idkit_sid_credentials_t *sid_creds);
VELMO_API AUTH *credmap_authunix_create_default(const char *host);
VELMO_API AUTH *credmap_auth_create(const char *host, const idkit_sid_credentials_t *sid_creds);
VELMO_API AUTH *credmap_auth_create_default(const char *host);

/* Access lists and role maps across a host boundary: every user and group
 * entry gets the SID of the same principal on the other side, other entries
 * are copied, positions and members other than the SID are kept.  On 0 and
 * on CORE_E_INCOMPLETE (1033: entries left out or kept unconverted) *out is
 * a new list or map the caller releases (core_sid_acl_free,
 * core_rolemap_acl_free); on any other status it is null.  Local to remote
 * is strict: the first entry that cannot be mapped ends the conversion.
 * Remote to local takes a mode: CREDMAP_CONVERT_STRICT, _DROP (report and
 * leave out) or _KEEP (keep unchanged, reported only when tracing). */
VELMO_API core_status_t credmap_sid_acl_local_to_remote(const char *host, core_sid_acl_t acl_in,
                                                        core_sid_acl_t *acl_out);
VELMO_API core_status_t credmap_sid_acl_remote_to_local(const char *host, int mode, core_sid_acl_t acl_in,
                                                        core_sid_acl_t *acl_out);
/* One entry in place; entries other than user and group are left alone. */
VELMO_API core_status_t credmap_sid_acl_id_local_to_remote(const char *host, core_sid_acl_entry_t *e);
VELMO_API core_status_t credmap_sid_acl_id_remote_to_local(const char *host, core_sid_acl_entry_t *e);
VELMO_API core_status_t credmap_rolemap_local_to_remote(const char *host, core_rolemap_acl_t map_in,
                                                        core_rolemap_acl_t *map_out);
VELMO_API core_status_t credmap_rolemap_remote_to_local(const char *host, int mode, core_rolemap_acl_t map_in,
                                                        core_rolemap_acl_t *map_out);

/* Hash and key-equality functions of the cache tables (keys begin with the
 * lower-cased host name), and the cache dump. */
VELMO_API uint32_t credmap_hash_lowercase_hostname(const void *key);
VELMO_API int credmap_keycmp_lowercase_hostname(const void *a, const void *b);
VELMO_API uint32_t credmap_hash_id(const void *key);
VELMO_API int credmap_keycmp_id(const void *a, const void *b);
VELMO_API uint32_t credmap_hash_sid(const void *key);
VELMO_API int credmap_keycmp_sid(const void *a, const void *b);
VELMO_API uint32_t credmap_hash_value_from_name(const char *name);
VELMO_API uint32_t credmap_hash_name(const void *key);
VELMO_API int credmap_keycmp_name(const void *a, const void *b);
/* Prints every cache table to standard output. */
VELMO_API void credmap_dump_cache(void);

/* What the caches hold and how well they work.  The record may grow: the
 * caller sets `size` to sizeof(credmap_cache_stats_t) as it knows it, and the
 * library fills that much and says in `version` which layout it wrote. */
#define CREDMAP_CACHE_STATS_VERSION 1
#define CREDMAP_CACHE_TABLES 5
#define CREDMAP_STATS_STATUSES 16

typedef struct credmap_table_stats {
    const char *name;  /* as the dump heads it: "Same domain", "Credmap SID loc->rmt", ... */
    uint64_t entries;  /* entries held now */
    uint64_t bytes;    /* memory the table holds */
    uint64_t lookups;
    uint64_t hits;
    uint64_t misses;  /* expired entries included */
    uint64_t expired; /* entries found but older than VELMO_CREDMAP_TTL */
    uint64_t entered; /* entries made or refreshed */
} credmap_table_stats_t;

typedef struct credmap_status_count {
    int32_t status; /* 0 in the last row: every other status */
    uint32_t reserved;
    uint64_t count;
} credmap_status_count_t;

typedef struct credmap_cache_stats {
    uint32_t size;    /* set by the caller */
    uint32_t version; /* set by the library */
    credmap_table_stats_t tables[CREDMAP_CACHE_TABLES];
    uint64_t exchanges;        /* requests sent to credmap_servers (a failed contact counts as one) */
    uint64_t exchanges_failed; /* of which failed: no answer, or an answer with a status */
    credmap_status_count_t failures[CREDMAP_STATS_STATUSES]; /* by status, first seen first */
    uint64_t wait_ns;      /* time spent waiting for servers' answers, contacts included */
    uint32_t ttl_seconds;  /* VELMO_CREDMAP_TTL in force, 0 for none */
    uint32_t reserved;
} credmap_cache_stats_t;

/* Fills the record; 1072 when `size` is too small for the first layout. */
VELMO_API core_status_t credmap_cache_stats(credmap_cache_stats_t *out);
/* Forgets every cached entry of `host` (any letter case), its host record
 * included, or of every host when it is null.  Safe while other threads map;
 * the next mapping for the host asks its server again. */
VELMO_API core_status_t credmap_cache_flush(const char *host);

/* Per-thread results and identification. */
struct credmap_tls;
VELMO_API struct credmap_tls *credmap_tls_get(void);
VELMO_API int credmap_initialized(void);
VELMO_API void libvelmocredmap_print_verid(void);
VELMO_API int libvelmocredmap_sprintf_verid(char *buffer);
VELMO_API const char *const *libvelmocredmap_notices(void);

VELMO_END_DECLS

#endif
