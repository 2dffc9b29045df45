// The per-thread result record, made on first use through a thread-specific
// key created once per process.
#include <atomic>

#include "host/exc.h"
#include "host/mem.h"
#include "host/mthread.h"
#include "tls_impl.h"

namespace {

mthread_key_t credmap_tls_key = 0;
std::atomic<int> credmap_tls_mem_initialized{0};
mthread_once_t tls_once_control = MTHREAD_ONCE_INIT;

// Runs when a thread ends: releases the look-up buffers and the record.
void release_tls(void *value)
{
    auto *t = static_cast<credmap_tls_t *>(value);
    if (t == nullptr)
        return;
    mem_free(t->pwd_buf);
    mem_free(t->grp_buf);
    mthread_free_tls(t);
}

void create_key()
{
    if (credmap_tls_key == 0)
        mthread_key_create(&credmap_tls_key, release_tls);
}

}  // namespace

extern "C" {

VELMO_API struct credmap_tls *credmap_tls_get(void)
{
    mthread_once(&tls_once_control, create_key);
    if (auto *t = static_cast<credmap_tls_t *>(mthread_get_tls(credmap_tls_key)))
        return t;
    auto *t = static_cast<credmap_tls_t *>(mthread_alloc_tls(sizeof(credmap_tls_t)));
    if (t == nullptr || mthread_set_tls(credmap_tls_key, t) != 0)
        exc_panic("include/tls_impl", 140);
    credmap_tls_mem_initialized.store(1, std::memory_order_release);
    return t;
}

VELMO_API int credmap_initialized(void)
{
    return credmap_tls_mem_initialized.load(std::memory_order_acquire);
}
}
