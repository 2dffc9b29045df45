// System-call wrappers: account look-ups that manage their own work buffer,
// and the request stamp.
#include "host/osw.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <ctime>

#include "host/mem.h"

namespace {

// No account entry needs more than this; a call that still answers ERANGE
// with a buffer this large is treated as failing.
constexpr size_t max_buffer_size = 1u << 20;
constexpr size_t default_buffer_size = 1024;

// The C library's suggestion for the buffer of the look-up, or a default.
size_t initial_buffer_size(int sysconf_name)
{
    long suggested = sysconf(sysconf_name);
    if (suggested <= 0 || static_cast<size_t>(suggested) > max_buffer_size)
        return default_buffer_size;
    return static_cast<size_t>(suggested);
}

// Runs `call(buffer, size)` (a POSIX _r look-up filling `record`) with a
// buffer that doubles while the call answers ERANGE.  The buffer is handed
// to the caller only with a found entry.
template<typename Record, typename Call>
int look_up(int sysconf_name, Record **result, char **buffer, Call call)
{
    if (result == nullptr || buffer == nullptr)
        return EINVAL;
    *result = nullptr;
    *buffer = nullptr;
    size_t size = initial_buffer_size(sysconf_name);
    for (;;) {
        char *work = static_cast<char *>(mem_malloc(size));
        if (work == nullptr)
            return ENOMEM;
        int rc = call(work, size, result);
        if (rc == 0 && *result != nullptr) {
            *buffer = work;
            return 0;
        }
        mem_free(work);
        *result = nullptr;
        if (rc != ERANGE || size >= max_buffer_size)
            return rc;
        size = size * 2 < max_buffer_size ? size * 2 : max_buffer_size;
    }
}

// The answer to a call without its arguments: nothing found, nothing held.
template<typename Record>
int reject(Record **result, char **buffer)
{
    if (result != nullptr)
        *result = nullptr;
    if (buffer != nullptr)
        *buffer = nullptr;
    return EINVAL;
}

// Microseconds since the epoch by the real-time clock.
time_t now_microseconds()
{
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<time_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

std::atomic<time_t> last_stamp{0};

}  // namespace

extern "C" {

VELMO_API int osw_getpwuid_r(uid_t uid, struct passwd *pwd, char **buffer, struct passwd **result)
{
    if (pwd == nullptr)
        return reject(result, buffer);
    return look_up(_SC_GETPW_R_SIZE_MAX, result, buffer, [&](char *work, size_t size, struct passwd **found) {
        return getpwuid_r(uid, pwd, work, size, found);
    });
}

VELMO_API int osw_getpwnam_r(const char *name, struct passwd *pwd, char **buffer, struct passwd **result)
{
    if (name == nullptr || pwd == nullptr)
        return reject(result, buffer);
    return look_up(_SC_GETPW_R_SIZE_MAX, result, buffer, [&](char *work, size_t size, struct passwd **found) {
        return getpwnam_r(name, pwd, work, size, found);
    });
}

VELMO_API int osw_getgrgid_r(gid_t gid, struct group *grp, char **buffer, struct group **result)
{
    if (grp == nullptr)
        return reject(result, buffer);
    return look_up(_SC_GETGR_R_SIZE_MAX, result, buffer, [&](char *work, size_t size, struct group **found) {
        return getgrgid_r(gid, grp, work, size, found);
    });
}

VELMO_API int osw_getgrnam_r(const char *name, struct group *grp, char **buffer, struct group **result)
{
    if (name == nullptr || grp == nullptr)
        return reject(result, buffer);
    return look_up(_SC_GETGR_R_SIZE_MAX, result, buffer, [&](char *work, size_t size, struct group **found) {
        return getgrnam_r(name, grp, work, size, found);
    });
}

// The clock can stand still between calls or go back; the stamp then moves
// one microsecond past the last one handed out, by any thread.
VELMO_API time_t osw_sock_port_uniquifier(void)
{
    time_t now = now_microseconds();
    time_t last = last_stamp.load();
    time_t next;
    do {
        next = now > last ? now : last + 1;
    } while (!last_stamp.compare_exchange_weak(last, next));
    return next;
}
}
