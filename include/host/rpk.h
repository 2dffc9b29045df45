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
VELMO_API AUTH *rpk_authunix_create(const char *machine_name, int uid, int gid, int ngroups, const int *groups);
/* clnt_call, with SIGPIPE held off on the calling thread: a server that has
 * gone away makes the call fail instead of ending the process.  RPC_FAILED
 * for a null client. */
VELMO_API enum clnt_stat rpk_clnt_call(CLIENT *clnt, rpcproc_t proc, xdrproc_t xargs, void *args, xdrproc_t xres,
                                       void *res, struct timeval timeout);
/* The number of calls made through rpk_clnt_call by this process so far,
 * answered or not: requests to location brokers and servers alike. */
VELMO_API unsigned long rpk_calls_made(void);
/* Reports the client's last RPC error as an error message:
 * "<text>: <RPC error>[: <system error>]". */
VELMO_API void rpk_clnt_perror(CLIENT *clnt, const char *text);
/* The same text, into buffer (size bytes); returns buffer. */
VELMO_API char *rpk_clnt_sperror(CLIENT *clnt, const char *text, char *buffer, size_t size);

VELMO_END_DECLS

#endif
