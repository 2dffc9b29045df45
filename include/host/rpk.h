/* RPC helpers. */
#ifndef HOST_RPK_H
#define HOST_RPK_H

#include <rpc/rpc.h>

#include "velmo_export.h"

VELMO_BEGIN_DECLS

#define RPK_MAX_GROUPS 16 /* the AUTH_UNIX limit */

/* AUTH_UNIX authentication for the ids (signed 32-bit) and at most
 * RPK_MAX_GROUPS groups (more are cut), or null for a null machine name or a
 * negative group count.  The caller releases it with auth_destroy. */
VELMO_API AUTH *rpk_authunix_create(const char *machine_name, int uid, int gid, int ngroups,
                                    const int *groups);
/* Reports the client's last RPC error as an error message:
 * "<text>: <RPC error>[: <system error>]". */
VELMO_API void rpk_clnt_perror(CLIENT *clnt, const char *text);
/* The same text, into buffer (size bytes); returns buffer. */
VELMO_API char *rpk_clnt_sperror(CLIENT *clnt, const char *text, char *buffer, size_t size);

VELMO_END_DECLS

#endif
