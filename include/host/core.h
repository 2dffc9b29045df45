/* Base services: status codes and their texts, internal-error logging, the
 * null object identifier, and SID access lists and role maps.
 *
 * Status numbers never change; retired numbers stay reserved. */
#ifndef HOST_CORE_H
#define HOST_CORE_H

#include <stddef.h>
#include <stdint.h>
#include <rpc/rpc.h>

#include "idkit.h"
#include "velmo_export.h"
#include "vox.h"

VELMO_BEGIN_DECLS

#ifndef CORE_STATUS_T_DEFINED
#define CORE_STATUS_T_DEFINED
typedef int32_t core_status_t;
#endif

enum core_status_code {
    CORE_OK = 0,
    /* Statuses of the credential-mapping library and its server. */
    CORE_E_FAILURE = 1001,            /* general failure */
    CORE_E_NT_SID_UNSUPPORTED = 1002, /* the server does not accept NT-type SIDs */
    CORE_E_RPC_FAILED = 1004,         /* an RPC call to the server failed */
    CORE_E_UNSUPPORTED = 1007,        /* procedure or SID kind not supported */
    CORE_E_INCOMPLETE = 1033,         /* list converted with entries left out */
    CORE_E_CREDS_REFUSED = 1063,      /* the remote host refuses the credentials */
    CORE_E_BAD_ARGUMENT = 1072,       /* argument missing or out of range */
    /* Statuses of the host services. */
    CORE_E_NO_MEMORY = 1101,       /* not enough memory */
    CORE_E_NOT_FOUND = 1102,       /* no such entry */
    CORE_E_SYSTEM = 1103,          /* a system call failed */
    CORE_E_DIRECTORY_UNREACHABLE = 1104, /* the account directory cannot be reached */
    HUBD_E_HOST_UNKNOWN = 1110,    /* host name cannot be resolved */
    HUBD_E_UNREACHABLE = 1111,     /* the host's location broker cannot be reached */
    HUBD_E_NOT_REGISTERED = 1112,  /* server not registered and not startable */
    HUBD_E_CONNECT_REFUSED = 1113, /* connection to the server refused */
    HUBD_E_START_TIMEOUT = 1114,   /* started server did not register in time */
    HUBD_E_PROTOCOL = 1115,        /* the location broker answered badly */
    HUBD_E_CLIENT = 1116,          /* RPC client for the server cannot be made */
    HUBD_E_NO_HOSTINFO = 1117,     /* the location broker gives no host information */
    HUBD_E_NOT_PERMITTED = 1118,   /* the location broker does not take this from this caller */
    HUBD_E_TOO_MANY = 1119,        /* the location broker holds as many registrations as it takes */
    IDKIT_E_BAD_SID_TEXT = 1120,   /* text is not a SID */
    IDKIT_E_UNMAPPED_SID = 1121,   /* SID stands for no local user or group */
    IDKIT_E_NO_CREDENTIALS = 1122  /* own credentials cannot be read */
};

/* The text of a status; "unknown status" for numbers not listed. */
VELMO_API const char *core_strerror(core_status_t status);

/* Encodes a status as a signed 32-bit XDR integer. */
VELMO_API bool_t xdr_core_status_t(XDR *xdrs, core_status_t *status, u_int flags);

/* The base services' own catalogue (internal errors). */
VELMO_API extern const vox_msg_table_t _core_cmsg_core_msg_table;

/* Logs an internal error: row `message` of `table`, with the facility and
 * the source position. */
VELMO_API void core_log_int_error(const char *facility, const vox_msg_table_t *table, int message,
                                  const char *source_file, int line, int flags);

typedef struct core_uuid {
    uint8_t bytes[16];
} core_uuid_t;

VELMO_API extern const core_uuid_t CORE_UUID_NULL;

/* Entry kinds of SID access lists. */
#define CORE_ACL_USER 1
#define CORE_ACL_GROUP 2
#define CORE_ACL_OWNER 3
#define CORE_ACL_OWNER_GROUP 4
#define CORE_ACL_OTHER 5
#define CORE_ACL_MASK 6

/* One entry of a SID access list: who (kind and SID) and what (rights). */
typedef struct core_sid_acl_entry {
    uint32_t kind;
    idkit_sid_t sid;
    uint16_t flags;
    uint32_t rights;
    uint32_t reserved;
} core_sid_acl_entry_t;

VELMO_STATIC_ASSERT(offsetof(core_sid_acl_entry_t, sid) == 4, "sid at 4");
VELMO_STATIC_ASSERT(sizeof(core_sid_acl_entry_t) == 48, "core_sid_acl_entry_t is 48 bytes");

/* An access list: entries ordered by their 32-bit position. */
typedef struct core_sid_acl *core_sid_acl_t;

VELMO_API core_status_t core_sid_acl_create(core_sid_acl_t *acl_out);
/* The entry after *cursor (0 starts a walk), with its position; null at the
 * end.  The entry stays valid until the list changes. */
VELMO_API const core_sid_acl_entry_t *core_sid_acl_next_entry(core_sid_acl_t acl, uint64_t *cursor, uint32_t *position);
/* Sets the entry at `position`, replacing one already there. */
VELMO_API core_status_t core_sid_acl_set_entry(core_sid_acl_t acl, const core_sid_acl_entry_t *entry,
                                               uint32_t position);
VELMO_API size_t core_sid_acl_count(core_sid_acl_t acl);
VELMO_API void core_sid_acl_free(core_sid_acl_t acl);

#define CORE_ROLE_NAME_MAX 63

/* A role and the entries bound to it. */
typedef struct core_rolemap_binding {
    char role[CORE_ROLE_NAME_MAX + 1];
    uint64_t nentries;
    core_sid_acl_entry_t *entries;
} core_rolemap_binding_t;

typedef struct core_rolemap_acl *core_rolemap_acl_t;

VELMO_API core_status_t core_rolemap_acl_create(core_rolemap_acl_t *map_out);
/* The binding after *cursor (0 starts a walk), in the order roles were
 * first added; null at the end. */
VELMO_API const core_rolemap_binding_t *core_rolemap_acl_next_role_binding(core_rolemap_acl_t map, uint64_t *cursor);
/* Adds one entry under the role of `binding`, making the binding when the
 * map has none for that role. */
VELMO_API core_status_t core_rolemap_acl_add_role_binding(core_rolemap_acl_t map, const core_rolemap_binding_t *binding,
                                                          const core_sid_acl_entry_t *entry);
/* Adds a role without entries (nothing when the map has the role). */
VELMO_API core_status_t core_rolemap_acl_add_role(core_rolemap_acl_t map, const char *role);
VELMO_API size_t core_rolemap_acl_count(core_rolemap_acl_t map);
VELMO_API void core_rolemap_acl_free(core_rolemap_acl_t map);

/* Access-list rights: the letters of the text form. */
#define CORE_RIGHT_READ 0x1    /* r */
#define CORE_RIGHT_WRITE 0x2   /* w */
#define CORE_RIGHT_EXECUTE 0x4 /* x */
#define CORE_RIGHT_DELETE 0x8  /* d */
#define CORE_RIGHT_CONTROL 0x10 /* c: change the list itself */

/* The text form of access lists and role maps, one entry a line:
 *
 *   user SID RIGHTS [flags=N]        group SID RIGHTS [flags=N]
 *   owner RIGHTS   owner-group RIGHTS   other RIGHTS   mask RIGHTS
 *   kind N SID RIGHTS [flags=N]      (an entry of any other kind)
 *
 * RIGHTS is letters of "rwxdc" ('-' for none, "---" style allowed) or a
 * number (decimal or 0x hexadecimal).  In a role map, "role NAME" starts a
 * binding and the entries after it belong to it.  '#' starts a comment.
 * Entries take the positions 0, 1, 2, ... in their order. */
typedef struct core_text_error {
    unsigned line;   /* 1-based */
    unsigned column; /* 1-based, the start of the offending word */
    char message[128];
} core_text_error_t;

/* Parse a text into a new list or map; on failure the status is
 * CORE_E_BAD_ARGUMENT, *out is null and *error says where and why. */
VELMO_API core_status_t core_sid_acl_from_text(const char *text, core_sid_acl_t *acl_out, core_text_error_t *error);
VELMO_API core_status_t core_rolemap_acl_from_text(const char *text, core_rolemap_acl_t *map_out,
                                                   core_text_error_t *error);
/* The text form of one entry (no newline) into buffer (size bytes); returns
 * buffer. */
VELMO_API char *core_sid_acl_entry_to_text(const core_sid_acl_entry_t *entry, char *buffer, size_t size);
/* The whole list or map as text, newly allocated (malloc; release with
 * free), or null when no memory could be had. */
VELMO_API char *core_sid_acl_to_text(core_sid_acl_t acl);
VELMO_API char *core_rolemap_acl_to_text(core_rolemap_acl_t map);

VELMO_END_DECLS

#endif
