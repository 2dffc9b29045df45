/* The library's message catalogue: 42 rows, referred to by row index.
 * Catalogue numbers run 1, 2, 3, then 5 to 43. */
#ifndef VELMO_CREDMAP_MSG_H
#define VELMO_CREDMAP_MSG_H

#include "../host/velmo_export.h"
#include "../host/vox.h"

VELMO_BEGIN_DECLS

#define CREDMAP_MSG_ROWS 42

/* Rows that the library prints. */
#define CREDMAP_MSG_UNABLE_TO_CONTACT 14
#define CREDMAP_MSG_SEE_LOGS 15
#define CREDMAP_MSG_START_TIMED_OUT 16
#define CREDMAP_MSG_USING_NOBODY 17
#define CREDMAP_MSG_SID_TYPE_UNSUPPORTED 18
#define CREDMAP_MSG_CANNOT_MAP_LOCAL 28
#define CREDMAP_MSG_NOT_RECOGNIZED 29
#define CREDMAP_MSG_MORE_INFO 30
#define CREDMAP_MSG_REMOTE_GROUP 37
#define CREDMAP_MSG_REMOTE_USER 38
#define CREDMAP_MSG_LOCAL_GROUP 40
#define CREDMAP_MSG_LOCAL_USER 41

VELMO_API extern const vox_msg_table_t _credmap_credmap_msg_table;

VELMO_END_DECLS

#endif
