/* Hash table service: tables of fixed-size keys and data.
 *
 * The bucket count given at creation is only the starting size: a table
 * grows as entries are added, so that a lookup costs the same at a million
 * entries as at a thousand, and an entry's data never moves once made (but
 * for fxtab_remove_if).  Key and data of an entry each start on an
 * 8-byte boundary.  A table is not locked by the service: callers serialise
 * all operations on one table themselves, lookups included, since a lookup
 * may move entries between buckets while the table grows.  Entries stay until
 * fxtab_remove_if removes them.
 *
 * Environment: VELMO_FXTAB_MAX_ENTRIES caps the entries of every table
 * (default 2097152); past the cap fxtab_enter makes no new entry, while the
 * keys already entered are still found.  The variable is read once, when the
 * process creates its first table; a value that is not a positive decimal
 * integer leaves the default. */
#ifndef HOST_FXTAB_H
#define HOST_FXTAB_H

#include <stddef.h>
#include <stdint.h>

#include "velmo_export.h"

VELMO_BEGIN_DECLS

#define FXTAB_DEFAULT_MAX_ENTRIES 2097152u

typedef struct fxtab *fxtab_t;
typedef uint32_t (*fxtab_hash_fn)(const void *key);
/* Returns 1 when the two keys are the same key, else 0. */
typedef int (*fxtab_keycmp_fn)(const void *a, const void *b);

/* A new table, or null when none can be made (no memory, a zero key size, a
 * key or data size over 16 MiB, or a missing function).  `buckets` is only a
 * starting size.  `flags` is reserved: pass 1. */
VELMO_API fxtab_t fxtab_create_with_fns(unsigned int buckets, size_t data_size, int flags, size_t key_size,
                                        fxtab_hash_fn hash_fn, fxtab_keycmp_fn keycmp_fn);
/* Finds or makes the entry for `key`, copying the key into the table.
 * *slot points to its data (zeroed when new), or is null when no entry could
 * be made (null table, key or slot, the cap reached, no memory); *aux is 1
 * for a new entry, else 0, and `aux` may be null.  Returns 1 when *slot is
 * set, else 0. */
VELMO_API int fxtab_enter(fxtab_t table, const void *key, int *aux, void **slot);
/* Returns 1 with *slot pointing to the entry's data when `key` is present;
 * 0 with *slot null otherwise.  *aux is set to 0; `aux` may be null. */
VELMO_API int fxtab_lookup(fxtab_t table, const void *key, int *aux, void **slot);
/* fxtab_lookup with the key's hash already known: `hash` must be what the
 * table's hash function gives for `key` (a caller looking up many keys that
 * share a part computes that part's hash once). */
VELMO_API int fxtab_lookup_hashed(fxtab_t table, const void *key, uint32_t hash, int *aux, void **slot);
/* Removes every entry whose key `remove` answers nonzero for, and returns
 * how many went.  The entries that stay keep their order, but their data
 * may move: pointers to entries handed out before are not valid after it. */
VELMO_API size_t fxtab_remove_if(fxtab_t table, int (*remove)(const void *key, void *context), void *context);
/* When the entry whose data `slot` points to was last entered, in seconds
 * since the epoch (by a coarse clock). */
VELMO_API uint32_t fxtab_stamp(fxtab_t table, const void *slot);
/* The memory the table holds: entries, buckets and its own record. */
VELMO_API size_t fxtab_bytes(fxtab_t table);
/* Next entry of a scan.  Set *cursor to 0 before the first call.  Returns 1
 * with the entry's key and data pointers, or 1 with *data_ptr null when the
 * scan is over; 0 for a null argument.  The cursor is the position of the
 * next entry in the order entries were made; entries made during a scan are
 * reached by it. */
VELMO_API int fxtab_next(fxtab_t table, uint64_t *cursor, void **key_ptr, void **data_ptr);
/* Ends a scan by setting the cursor back to 0, ready for a new one. */
VELMO_API void fxtab_term_scan(uint64_t *cursor);
VELMO_API size_t fxtab_count(fxtab_t table);
VELMO_API void fxtab_destroy(fxtab_t table);

VELMO_END_DECLS

#endif
