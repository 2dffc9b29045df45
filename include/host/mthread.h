/* Thread service: mutexes, once-controls and thread-specific storage. */
#ifndef HOST_MTHREAD_H
#define HOST_MTHREAD_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#include "velmo_export.h"

VELMO_BEGIN_DECLS

typedef pthread_mutex_t mthread_mutex_t;
#define MTHREAD_MUTEX_INITIALIZER PTHREAD_MUTEX_INITIALIZER
typedef pthread_once_t mthread_once_t;
#define MTHREAD_ONCE_INIT PTHREAD_ONCE_INIT
/* A thread-specific key; 0 is never a valid key, so it can mean "not made". */
typedef uint32_t mthread_key_t;

VELMO_API int mthread_mutex_lock(mthread_mutex_t *mutex);
VELMO_API int mthread_mutex_unlock(mthread_mutex_t *mutex);
VELMO_API int mthread_once(mthread_once_t *control, void (*init)(void));
/* 0 on success; the destructor runs at thread exit with a non-null value. */
VELMO_API int mthread_key_create(mthread_key_t *key, void (*destructor)(void *));
VELMO_API void *mthread_get_tls(mthread_key_t key);
/* Zeroed storage for thread-specific use, or null. */
VELMO_API void *mthread_alloc_tls(size_t size);
VELMO_API int mthread_set_tls(mthread_key_t key, void *value);
VELMO_API void mthread_free_tls(void *value);

VELMO_END_DECLS

#endif
