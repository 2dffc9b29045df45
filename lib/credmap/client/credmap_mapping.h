// Private to the library: the mapping operations other mappings build on.
#ifndef CREDMAP_CLIENT_CREDMAP_MAPPING_H
#define CREDMAP_CLIENT_CREDMAP_MAPPING_H

#include <cstdint>

#include "velmo/credmap.h"

// Remembers a host record {flags, now} for the host.
void credmap_enter_host(const char *host, uint8_t flags);

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

#endif
