/* Location broker client: host information and connections to the servers
 * of a host, through the host's hubd.
 *
 * A host name is resolved through the hosts file named by VELMO_HOSTS (lines
 * "NAME ADDRESS PORT", '#' comments, names without regard to case), else
 * through getaddrinfo and hubd's default port HUBD_DEFAULT_PORT. */
#ifndef HOST_HUBD_H
#define HOST_HUBD_H

#include <stddef.h>
#include <stdint.h>
#include <sys/time.h>
#include <rpc/rpc.h>

#include "core.h"
#include "velmo_export.h"

VELMO_BEGIN_DECLS

#define HUBD_DEFAULT_PORT 7711

/* Which server: RPC program, version, and a flags word (1: the server may
 * be started on demand). */
typedef struct hubd_server_id {
    uint64_t program;
    uint64_t version;
    uint32_t flags;
} hubd_server_id_t;

/* A connection to a server of a host. */
typedef struct hubd_conn {
    struct timeval timeout; /* time-out of calls through clnt */
    int sock;               /* connected socket, -1 when none */
    CLIENT *clnt;           /* RPC client on sock, or null */
    int conn_word_1;        /* transport: 3 asks for TCP */
    int conn_word_2;        /* options: 0; on return HUBD_CONN_REMEMBERED may be set */
} hubd_conn_t;

/* Set in conn_word_2 by hubd_connect_to_server when the connection went to
 * a remembered location rather than one located just now. */
#define HUBD_CONN_REMEMBERED 0x100

/* Information about a host, from its hubd; strings are owned by the record. */
typedef struct hubd_hostinfo {
    char *host_name;  /* the host's own name */
    char *address;    /* the address its hubd was reached at */
    char *node_name;  /* the machine's node name */
    char *os_name;    /* operating-system name, or null */
    char *os_release; /* operating-system release, or null */
    char *os_version; /* operating-system version, or null */
    char *machine;    /* hardware type, or null */
    uint64_t boot_time;
    uint64_t hubd_pid;
    uint64_t nservers; /* servers registered with the hubd */
} hubd_hostinfo_t;

VELMO_STATIC_ASSERT(sizeof(hubd_server_id_t) == 24, "hubd_server_id_t is 24 bytes");
VELMO_STATIC_ASSERT(offsetof(hubd_conn_t, timeout) == 0, "timeout first");
VELMO_STATIC_ASSERT(sizeof(hubd_hostinfo_t) == 80, "hubd_hostinfo_t is ten words");
VELMO_STATIC_ASSERT(offsetof(hubd_hostinfo_t, os_name) == 24, "os_name is the fourth word");

/* Locates (starting it if need be) the server `server_name` of `host`,
 * connects to it and makes an RPC client for the program and version of
 * `server_id`; sets conn->sock and conn->clnt.  Returns 0 or a status. */
VELMO_API core_status_t hubd_connect_to_server(const char *host, const hubd_server_id_t *server_id, hubd_conn_t *conn,
                                               const core_uuid_t *object, int flags, const char *server_name);
/* Forgets where the server was found (hubd_connect_to_server remembers it
 * after a successful locate and connects straight there the next time):
 * for a caller whose exchange with a server so reached failed.  Returns 1
 * when a location was remembered, else 0.  The environment variable
 * VELMO_LOCATION_CACHE=0 turns remembering off. */
VELMO_API int hubd_forget_location(const char *host, const hubd_server_id_t *server_id, const char *server_name);
/* Where a host name leads, as hubd_explain_host tells it. */
#define HUBD_EXPLAIN_TEXT_MAX 640
typedef struct hubd_host_source {
    int32_t found;                    /* 1: the name gives a hubd's address; 0: it does not */
    uint32_t line;                    /* the hosts file's line that gave it or is wrong; 0: none */
    uint32_t port;                    /* the hubd's port, when found */
    char address[48];                 /* the hubd's numeric address, when found */
    char text[HUBD_EXPLAIN_TEXT_MAX]; /* for people: where it was found, or what to fix */
} hubd_host_source_t;

VELMO_STATIC_ASSERT(sizeof(hubd_host_source_t) == 700, "hubd_host_source_t is 700 bytes");

/* Finds `host` as every call of this client does, and says how: through
 * which line of the hosts file or the resolver, or why the name leads
 * nowhere (the hosts file cannot be read, its line for the host is
 * malformed, or neither it nor the resolver knows the name), naming what to
 * fix.  Returns 0 when found, HUBD_E_HOST_UNKNOWN when not (the status the
 * other calls give for the name), CORE_E_BAD_ARGUMENT without a name or
 * record. */
VELMO_API core_status_t hubd_explain_host(const char *host, hubd_host_source_t *out);
/* Fills `info` from the host's hubd; 0, or a status (info then cleared). */
VELMO_API core_status_t hubd_hostinfo(const char *host, hubd_hostinfo_t *info);
/* Releases what the record holds. */
VELMO_API void hubd_hostinfo_free(hubd_hostinfo_t info);

VELMO_END_DECLS

#endif
