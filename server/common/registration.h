// Private to the daemons: a hubd's local socket, on which the servers of its
// host register.  hubd listens on it; a server connects and sends its
// registration, and hubd learns from the kernel who the server is.
#ifndef SERVER_COMMON_REGISTRATION_H
#define SERVER_COMMON_REGISTRATION_H

#include <string>

#include "hubd_prot.h"

namespace velmo::daemon {

// The local socket of a hubd run as a system service.
constexpr const char *kHubdSocket = "/run/hubd/socket";

// A listening UNIX-domain stream socket at `path` that every local user may
// connect to: what a caller may do is decided per request, from the
// credentials the kernel gives for the peer.  A socket file that nothing
// listens on any more is replaced; -1 with errno EADDRINUSE when a live
// daemon listens on it, EEXIST when the path is not a socket.
int listen_local(const std::string &path, int backlog);

// A stream connected to the UNIX-domain socket at `path`, or -1 with errno.
int connect_local(const std::string &path);

// Sends a registration (`add`) or its withdrawal to the hubd on the
// connected socket `fd` and returns the hubd's status, or -1 when it gave
// no answer.
int send_registration(int fd, bool add, const hubd_register_args &args);

}  // namespace velmo::daemon

#endif
