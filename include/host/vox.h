/* Message service: prints catalogued or formatted messages with a severity
 * and a facility, and answers trace and verbosity questions.
 *
 * Output goes to standard error as "facility: severity: text" (severity 0
 * prints the text alone), or to the sink a program installs.
 * Environment, read once at the first use:
 *   VELMO_VERBOSITY  an integer, the process's verbosity (default 0);
 *   VELMO_TRACE      "facility=level,facility=level,..." (levels 0-9; a bare
 *                    facility means level 1; "*" names every facility). */
#ifndef HOST_VOX_H
#define HOST_VOX_H

#include <stdint.h>

#include "velmo_export.h"

VELMO_BEGIN_DECLS

/* Severities. */
#define VOX_PLAIN 0
#define VOX_WARNING 4
#define VOX_WARNING_NOTE 5
#define VOX_ERROR 6
#define VOX_ERROR_NOTE 7
#define VOX_TRACE 8

#define VOX_LINE_MAX 1024 /* longest message text; vox_sprintf's buffer size */

/* A message catalogue: rows of texts with their catalogue numbers. */
typedef struct vox_msg_table {
    const char *facility;
    const char *catalogue;
    uint16_t nrows;
    uint16_t nnumbers;
    uint32_t reserved;
    const char *const *texts;
    const uint16_t *numbers;
} vox_msg_table_t;

VELMO_STATIC_ASSERT(sizeof(vox_msg_table_t) == 40, "vox_msg_table_t is 40 bytes");

/* Prints row `row` of the table `table_or_format` points to, formatted with
 * the arguments; when row is -1, table_or_format is itself the format.
 * Returns the number of bytes of text printed. */
VELMO_API int vox_print(int severity, const void *table_or_format, int row, ...);
/* The same, attributed to `facility`. */
VELMO_API int vox_print_shared(int severity, const char *facility, const vox_msg_table_t *table, int row, ...);
/* Nonzero when tracing of the facility is on at `level` or above. */
VELMO_API int vox_should_trace(const char *facility, int level);
VELMO_API int vox_get_desired_verbosity(void);
/* Formats into buffer, which holds VOX_LINE_MAX bytes (longer text is cut);
 * row as for vox_print.  Returns the length written. */
VELMO_API int vox_sprintf(char *buffer, const void *table_or_format, int row, ...);

/* For programs and tests: set the verbosity and a facility's trace level
 * (overriding the environment), and route messages to a sink instead of
 * standard error (null restores standard error). */
typedef void (*vox_sink_fn)(int severity, const char *facility, const char *text, void *context);
VELMO_API void vox_set_verbosity(int verbosity);
VELMO_API void vox_set_trace(const char *facility, int level);
VELMO_API void vox_set_sink(vox_sink_fn sink, void *context);

VELMO_END_DECLS

#endif
