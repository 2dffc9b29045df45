/* String helpers. */
#ifndef HOST_TXT_H
#define HOST_TXT_H

#include <stddef.h>

#include "velmo_export.h"

VELMO_BEGIN_DECLS

#define TXT_CASE_LOWER 0
#define TXT_CASE_UPPER 1

/* Copies source into destination (size bytes), converted to lower (mode 0)
 * or upper (mode 1) case under the current locale, cut to size - 1 bytes and
 * NUL-terminated.  Returns 0, or 1 when the text was cut. */
VELMO_API int txt_cvt_case_string(const char *source, int mode, size_t size, char *destination);
/* Copies source into destination (size bytes), cut to size - 1 bytes and
 * NUL-terminated; a null source gives the empty text.  Returns 0, or 1 when
 * the text was cut. */
VELMO_API int txt_cpy_buf(char *destination, const char *source, size_t size);
/* Finds the first character at or after `start` that belongs to `set`.
 * Returns nonzero and sets *position when one is found; *found is set to the
 * same truth value. */
VELMO_API int txt_find_char_from(const char *string, size_t start, const char *set, size_t *position, int *found);

VELMO_END_DECLS

#endif
