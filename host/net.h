// Private to the project: small TCP helpers shared by the location broker
// client and the daemons.
#ifndef HOST_NET_H
#define HOST_NET_H

#include <sys/socket.h>

#include <string>

namespace velmo::net {

struct Address {
    sockaddr_storage storage{};
    socklen_t length = 0;
};

// Parses a numeric IPv4 or IPv6 address and a port.
bool parse_address(const std::string &text, unsigned port, Address *out);
// Resolves a host name (numeric or through getaddrinfo) for TCP.
bool resolve(const std::string &host, unsigned port, Address *out);
// The numeric text of an address, without the port.
std::string address_text(const Address &address);
unsigned address_port(const Address &address);
void set_port(Address *address, unsigned port);

// Connects a TCP socket within timeout_ms.  Returns the descriptor, or -1
// with errno set (ECONNREFUSED, ETIMEDOUT, ...).
int connect_tcp(const Address &address, int timeout_ms);
// A listening TCP socket bound to the address (port 0: the system's choice).
int listen_tcp(const Address &address, int backlog);
// The port a socket is bound to.
unsigned local_port(int fd);

}  // namespace velmo::net

#endif
