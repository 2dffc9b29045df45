/* Allocator of the host process. */
#ifndef HOST_MEM_H
#define HOST_MEM_H

#include <stddef.h>
/* Sun RPC's types.h defines mem_alloc and mem_free as macros for its own
 * sources; its include guard keeps them from coming back after this. */
#include <rpc/types.h>
#undef mem_alloc
#undef mem_free

#include "velmo_export.h"

VELMO_BEGIN_DECLS

/* Storage of `size` bytes, or null. */
VELMO_API void *mem_malloc(size_t size);
/* Releases storage of mem_malloc and the work buffers of the osw_ wrappers;
 * null is ignored. */
VELMO_API void mem_free(void *pointer);

VELMO_END_DECLS

#endif
