/* Symbol visibility and C linkage for the public headers.  Every build hides
 * its symbols by default; what a header marks VELMO_API is exported. */
#ifndef VELMO_EXPORT_H
#define VELMO_EXPORT_H

#define VELMO_API __attribute__((visibility("default")))

#ifdef __cplusplus
#define VELMO_BEGIN_DECLS extern "C" {
#define VELMO_END_DECLS }
#define VELMO_STATIC_ASSERT(e, m) static_assert(e, m)
#else
#define VELMO_BEGIN_DECLS
#define VELMO_END_DECLS
#define VELMO_STATIC_ASSERT(e, m) _Static_assert(e, m)
#endif

#endif
