// A hubd's local socket (registration.h).
#include "registration.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace velmo::daemon {
namespace {

bool make_address(const std::string &path, sockaddr_un *out)
{
    *out = sockaddr_un{};
    out->sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof out->sun_path) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(out->sun_path, path.c_str(), path.size() + 1);
    return true;
}

// Removes a socket file left by a daemon that has gone.  A file that is
// not a socket, or a socket someone listens on, stays.
bool clear_stale(const std::string &path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return errno == ENOENT;
    if (!S_ISSOCK(st.st_mode)) {
        errno = EEXIST;
        return false;
    }
    int fd = connect_local(path);
    if (fd >= 0) {
        close(fd);
        errno = EADDRINUSE;
        return false;
    }
    return errno == ECONNREFUSED && unlink(path.c_str()) == 0;
}

}  // namespace

int listen_local(const std::string &path, int backlog)
{
    sockaddr_un address;
    if (!make_address(path, &address) || !clear_stale(path))
        return -1;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    // Connecting takes write permission on the socket file; everyone has it.
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        chmod(path.c_str(), 0666) != 0 || listen(fd, backlog) != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

int connect_local(const std::string &path)
{
    sockaddr_un address;
    if (!make_address(path, &address))
        return -1;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

int send_registration(int fd, bool add, const hubd_register_args &args)
{
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &length) != 0)
        return -1;
    netbuf raddr{length, length, &peer};
    CLIENT *clnt = clnt_vc_create(fd, &raddr, HUBD_PROG, HUBD_VERS, 0, 0);
    if (clnt == nullptr)
        return -1;
    int status = -1;
    timeval timeout{5, 0};
    if (clnt_call(clnt, add ? HUBDPROC_REGISTER : HUBDPROC_UNREGISTER, (xdrproc_t)xdr_hubd_register_args,
                  reinterpret_cast<char *>(const_cast<hubd_register_args *>(&args)), (xdrproc_t)xdr_int,
                  reinterpret_cast<char *>(&status), timeout) != RPC_SUCCESS)
        status = -1;
    clnt_destroy(clnt);
    return status;
}

}  // namespace velmo::daemon
