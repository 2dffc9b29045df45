/* The library's per-thread storage: buffers in which the password and group
 * look-ups of a thread return their strings, and the work records of the
 * local account look-ups.  Each thread has its own, made on first use by
 * credmap_tls_get and released when the thread ends. */
#ifndef VELMO_TLS_IMPL_H
#define VELMO_TLS_IMPL_H

#include <grp.h>
#include <pwd.h>

#include "velmo/credmap.h"

VELMO_BEGIN_DECLS

#define CREDMAP_TLS_TEXT 1024

typedef struct credmap_tls {
    char pw_text[4][CREDMAP_TLS_TEXT]; /* user name, group name, gecos, home */
    char gr_text[CREDMAP_TLS_TEXT];    /* group name */
    struct passwd pwd;
    char *pwd_buf; /* work buffer of pwd (mem_malloc), or null */
    struct group grp;
    char *grp_buf; /* work buffer of grp (mem_malloc), or null */
} credmap_tls_t;

VELMO_END_DECLS

#endif
