/* System-call wrappers.
 *
 * The account look-ups work like the POSIX _r calls but allocate their work
 * buffer themselves (growing it while the call answers ERANGE).  When the
 * entry is found, *result points to the filled record and *buffer holds the
 * work buffer, which the caller releases with mem_free; otherwise *result
 * and *buffer are null.  They return 0 or an errno value. */
#ifndef HOST_OSW_H
#define HOST_OSW_H

#include <grp.h>
#include <pwd.h>
#include <sys/types.h>
#include <time.h>

#include "velmo_export.h"

VELMO_BEGIN_DECLS

VELMO_API int osw_getpwuid_r(uid_t uid, struct passwd *pwd, char **buffer, struct passwd **result);
VELMO_API int osw_getpwnam_r(const char *name, struct passwd *pwd, char **buffer, struct passwd **result);
VELMO_API int osw_getgrgid_r(gid_t gid, struct group *grp, char **buffer, struct group **result);
VELMO_API int osw_getgrnam_r(const char *name, struct group *grp, char **buffer, struct group **result);
/* A stamp that differs from every earlier one of the process: microseconds
 * since the epoch, strictly increasing. */
VELMO_API time_t osw_sock_port_uniquifier(void);

VELMO_END_DECLS

#endif
