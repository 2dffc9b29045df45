/* Local-host test. */
#ifndef HOST_HOSTQ_H
#define HOST_HOSTQ_H

#include "velmo_export.h"

VELMO_BEGIN_DECLS

/* Nonzero when `name` designates this machine: "localhost", or this
 * machine's host name, short or qualified, in any letter case. */
VELMO_API int hostq_is_localhost(const char *name);

VELMO_END_DECLS

#endif
