// TCP helpers shared by the location broker client and the daemons.
#include "net.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

namespace velmo::net {

bool parse_address(const std::string &text, unsigned port, Address *out)
{
    *out = Address{};
    auto *in4 = reinterpret_cast<sockaddr_in *>(&out->storage);
    if (inet_pton(AF_INET, text.c_str(), &in4->sin_addr) == 1) {
        in4->sin_family = AF_INET;
        in4->sin_port = htons(static_cast<uint16_t>(port));
        out->length = sizeof(sockaddr_in);
        return true;
    }
    auto *in6 = reinterpret_cast<sockaddr_in6 *>(&out->storage);
    if (inet_pton(AF_INET6, text.c_str(), &in6->sin6_addr) == 1) {
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(static_cast<uint16_t>(port));
        out->length = sizeof(sockaddr_in6);
        return true;
    }
    return false;
}

bool resolve(const std::string &host, unsigned port, Address *out)
{
    if (parse_address(host, port, out))
        return true;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *list = nullptr;
    if (host.empty() || getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0 || list == nullptr)
        return false;
    *out = Address{};
    std::memcpy(&out->storage, list->ai_addr, list->ai_addrlen);
    out->length = list->ai_addrlen;
    freeaddrinfo(list);
    set_port(out, port);
    return true;
}

std::string address_text(const Address &address)
{
    char text[INET6_ADDRSTRLEN] = "";
    if (address.storage.ss_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(&address.storage)->sin_addr, text, sizeof text);
    else if (address.storage.ss_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 *>(&address.storage)->sin6_addr, text, sizeof text);
    return text;
}

unsigned address_port(const Address &address)
{
    if (address.storage.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6 *>(&address.storage)->sin6_port);
    return ntohs(reinterpret_cast<const sockaddr_in *>(&address.storage)->sin_port);
}

void set_port(Address *address, unsigned port)
{
    if (address->storage.ss_family == AF_INET6)
        reinterpret_cast<sockaddr_in6 *>(&address->storage)->sin6_port = htons(static_cast<uint16_t>(port));
    else
        reinterpret_cast<sockaddr_in *>(&address->storage)->sin_port = htons(static_cast<uint16_t>(port));
}

// A non-blocking connect bounded by poll, so that an unreachable host costs
// at most the time-out; the socket is made blocking again for Sun RPC.
int connect_tcp(const Address &address, int timeout_ms)
{
    int fd = socket(address.storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    int rc = connect(fd, reinterpret_cast<const sockaddr *>(&address.storage), address.length);
    if (rc != 0 && errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        int n;
        do {
            n = poll(&p, 1, timeout_ms);
        } while (n < 0 && errno == EINTR);
        int error = 0;
        socklen_t len = sizeof error;
        if (n == 0)
            error = ETIMEDOUT;
        else if (n < 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0)
            error = errno;
        rc = error == 0 ? 0 : -1;
        errno = error;
    }
    if (rc != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

int listen_tcp(const Address &address, int backlog)
{
    int fd = socket(address.storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd, reinterpret_cast<const sockaddr *>(&address.storage), address.length) != 0 ||
        listen(fd, backlog) != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

unsigned local_port(int fd)
{
    Address a;
    a.length = sizeof a.storage;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&a.storage), &a.length) != 0)
        return 0;
    return address_port(a);
}

}  // namespace velmo::net
