/* XDR helpers shared by the credmap client and server. */
#ifndef HOST_VELMO_XDR_H
#define HOST_VELMO_XDR_H

#include <stdint.h>
#include <time.h>
#include <rpc/rpc.h>

#include "velmo_export.h"

VELMO_BEGIN_DECLS

/* An unsigned 64-bit value, all 64 bits on the wire. */
VELMO_API bool_t velmo_xdr_u_long(XDR *xdrs, uint64_t *value, u_int flags);
/* A time_t, as a signed 64-bit value. */
VELMO_API bool_t xdr_time_t(XDR *xdrs, time_t *value, u_int flags);
/* A counted array of `element_size`-byte elements, like xdr_array: the count
 * (at most `max`) then the elements.  Decoding allocates the array when
 * *array is null (an empty array decodes to null); freeing releases the
 * elements and the array and sets *array to null.  A failed decode releases
 * what it allocated.  `flags` is reserved: pass 0. */
VELMO_API bool_t xdr_ez_array(XDR *xdrs, void **array, uint32_t *count, uint32_t max, uint32_t element_size,
                              xdrproc_t element_routine, u_int flags);

/* xdr_opaque and xdr_string, except that decoding reads the padding after
 * the bytes into storage of the call: libtirpc's routines read it into one
 * static buffer of the library, which threads decoding at once share. */
VELMO_API bool_t velmo_xdr_opaque(XDR *xdrs, char *bytes, u_int size);
VELMO_API bool_t velmo_xdr_string(XDR *xdrs, char **text, u_int max);

VELMO_END_DECLS

#endif
