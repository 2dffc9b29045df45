// Private to the library: the mapping operations other mappings build on.
#ifndef CREDMAP_CLIENT_CREDMAP_MAPPING_H
#define CREDMAP_CLIENT_CREDMAP_MAPPING_H

#include <grp.h>
#include <pwd.h>

#include <cstdint>

#include "velmo/credmap.h"

// Remembers a host record {flags, now} for the host.
void credmap_enter_host(const char *host, uint8_t flags);
// A server handle for a mapping; a host not classified before (host_known
// 0) whose server answers is remembered as one whose sets are taken as
// they are.
core_status_t credmap_get_mapping_handle(const char *host, int host_known, credmap_handle_t **handle);
// Makes sure the calling process's own credentials are cached for the host
// (one level deep: the mapping it may start does not do this again).
void credmap_prime_own_credentials(const char *host, int host_known);
// The answer when nothing better can be had: nobody as user, group and
// single group.
void credmap_set_nobody(idkit_sid_credentials_t *set);

// The mapping proper of a local SID set for a host that is not in my
// credentials domain: host_known says it was classified as an NT host,
// prime_own maps the process's own credentials for it first.
core_status_t credmap_local_to_remote_sid_subr(const idkit_sid_credentials_t *local, const char *host,
                                               idkit_sid_credentials_t *remote, int host_known, int prime_own);
// Maps a user SID and a group SID in place; both unchanged on failure.
core_status_t credmap_sids_local_to_remote(const char *host, idkit_sid_t *user, idkit_sid_t *group);
// The local names of a local SID set ("nobody" for SIDs without one);
// release with idkit_free_string_credentials.  Always 0.
int credmap_sid_credentials_to_string_credentials(const idkit_sid_credentials_t *sids,
                                                  idkit_string_credentials_t *names);

// Remote-to-local mapping proper for a host not in my credentials domain.
core_status_t credmap_remote_to_local_sid_subr(const idkit_sid_credentials_t *remote, const char *host,
                                               idkit_sid_credentials_t *local, int host_known);
// Maps a remote user SID and group SID to local ones in place; both
// unchanged on failure.
core_status_t credmap_sids_remote_to_local_pref(const char *host, idkit_sid_t *user, idkit_sid_t *group);
// The local account or group of a remote name ("DOMAIN\name", "DOMAIN/name"
// or "name"; retried in lower case), in the calling thread's record, valid
// until the thread's next look-up of the same kind.  Null when there is none.
struct passwd *credmap_getpwnam(const char *name);
struct group *credmap_getgrnam(const char *name);

// Whole-credentials mapping proper; remote->groups is null or owned by remote.
core_status_t credmap_local_to_remote_whole_subr(const idkit_whole_credentials_t *local, const char *host,
                                                 idkit_whole_credentials_t *remote, int host_known, int prime_own);

// POSIX identity of a local SID set on a host not in my credentials domain:
// the cache, else the host's credmap_server; groups sorted, specials left out.
core_status_t credmap_local_sid_to_remote(const idkit_sid_credentials_t *local, const char *host,
                                          idkit_credentials_t *creds, int host_known, int prime_own);

// One entry of a preference map: a name without its domain prefix (malloc,
// or null) and its SID; the first entry's count is the number of group
// entries after it.
struct credmap_pref_entry_t {
    char *name;
    idkit_sid_t sid;
    uint32_t count;
};
// The names and SIDs the credential utility knows for a set: user, primary
// group, then each of `ngroups` groups.  *map_out is null when no memory
// could be had; the caller frees each name, then the map.
void credmap_credentials_to_pref_map(const idkit_sid_t *user, const idkit_sid_t *group, int ngroups,
                                     const idkit_sid_t *groups, credmap_pref_entry_t **map_out);

#endif
