// Thread service over POSIX threads.
#include "host/mthread.h"

#include <cstdlib>

// A POSIX key may be 0; the service's keys are the POSIX key plus one, so
// that 0 can mean "not made yet" to callers.
static pthread_key_t posix_key(mthread_key_t key)
{
    return static_cast<pthread_key_t>(key - 1);
}

extern "C" {

VELMO_API int mthread_mutex_lock(mthread_mutex_t *mutex)
{
    return pthread_mutex_lock(mutex);
}

VELMO_API int mthread_mutex_unlock(mthread_mutex_t *mutex)
{
    return pthread_mutex_unlock(mutex);
}

VELMO_API int mthread_once(mthread_once_t *control, void (*init)(void))
{
    return pthread_once(control, init);
}

VELMO_API int mthread_key_create(mthread_key_t *key, void (*destructor)(void *))
{
    pthread_key_t k;
    int rc = pthread_key_create(&k, destructor);
    if (rc != 0)
        return rc;
    *key = static_cast<mthread_key_t>(k) + 1;
    return 0;
}

VELMO_API void *mthread_get_tls(mthread_key_t key)
{
    return key == 0 ? nullptr : pthread_getspecific(posix_key(key));
}

VELMO_API void *mthread_alloc_tls(size_t size)
{
    return std::calloc(1, size == 0 ? 1 : size);
}

VELMO_API int mthread_set_tls(mthread_key_t key, void *value)
{
    return key == 0 ? -1 : pthread_setspecific(posix_key(key), value);
}

VELMO_API void mthread_free_tls(void *value)
{
    std::free(value);
}
}
