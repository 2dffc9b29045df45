// Private to the library: the entry conversion that access lists and role
// maps share.
#ifndef CREDMAP_CLIENT_CREDMAP_ACL_H
#define CREDMAP_CLIENT_CREDMAP_ACL_H

#include "velmo/credmap.h"

// One conversion of a list or map: its direction and mode, the host, the
// SID type a converted entry must have, whether failures are reported, and
// whether any entry failed.
struct credmap_acl_pass_t {
    int to_remote;
    int mode;
    const char *host;
    int expected_type;
    bool report;
    bool failed;
};

// Classifies the host and decides the reporting, once per conversion.
credmap_acl_pass_t credmap_acl_pass(int to_remote, int mode, const char *host);
bool credmap_acl_bad_arguments(int to_remote, int mode);
// Converts one entry into *out.  A user or group entry is mapped; others are
// copied.  A failure is reported as the pass says and noted in it; then by
// mode: strict returns the entry's status (the conversion ends), drop
// returns CORE_E_INCOMPLETE (leave the entry out), keep returns CORE_OK
// with *out the input entry.  CORE_OK: add *out.
core_status_t credmap_acl_convert_entry(credmap_acl_pass_t *pass, const core_sid_acl_entry_t &in,
                                        core_sid_acl_entry_t *out);

core_status_t credmap_sid_acl_convert(int to_remote, int mode, const char *host, core_sid_acl_t acl_in,
                                      core_sid_acl_t *acl_out);
core_status_t credmap_rolemap_convert(int to_remote, int mode, const char *host, core_rolemap_acl_t map_in,
                                      core_rolemap_acl_t *map_out);

#endif
