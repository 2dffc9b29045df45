// Location broker client: finds a host's hubd, asks it for host information
// or for the port of a server, and connects to that server.
//
// The client connects every socket itself and hands it to Sun RPC: left to
// itself, libtirpc binds a reserved port for each connection a root process
// makes, and with one connection per operation those ports run out.
#include "host/hubd.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

#include "host/rpk.h"
#include "hubd_prot.h"
#include "net.h"

namespace {

constexpr int kConnectTimeoutMs = 5000;
constexpr timeval kHostinfoTimeout{10, 0};
// Long enough for the hubd to start a server on demand.
constexpr timeval kLocateTimeout{30, 0};

bool same_name(const std::string &a, const char *b)
{
    return strcasecmp(a.c_str(), b) == 0;
}

// Looks the host up in the hosts file named by VELMO_HOSTS.  The file is
// read on every call: it is small, and a change takes effect at once.
bool lookup_hosts_file(const char *host, velmo::net::Address *out)
{
    const char *path = std::getenv("VELMO_HOSTS");
    if (path == nullptr || *path == '\0')
        return false;
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        line = line.substr(0, line.find('#'));
        std::istringstream fields(line);
        std::string name, address;
        unsigned port = 0;
        if (!(fields >> name >> address >> port) || !same_name(name, host))
            continue;
        return port > 0 && port < 65536 && velmo::net::parse_address(address, port, out);
    }
    return false;
}

core_status_t resolve_host(const char *host, velmo::net::Address *out)
{
    if (lookup_hosts_file(host, out))
        return CORE_OK;
    return velmo::net::resolve(host, HUBD_DEFAULT_PORT, out) ? CORE_OK : HUBD_E_HOST_UNKNOWN;
}

core_status_t connect_status(int error)
{
    return error == ECONNREFUSED ? HUBD_E_CONNECT_REFUSED : HUBD_E_UNREACHABLE;
}

// An RPC client on a socket this module connected.  The client does not own
// the socket: the caller closes it after destroying the client.
CLIENT *make_client(int fd, velmo::net::Address &address, uint64_t prog, uint64_t vers)
{
    netbuf raddr{};
    raddr.buf = &address.storage;
    raddr.len = raddr.maxlen = address.length;
    return clnt_vc_create(fd, &raddr, static_cast<rpcprog_t>(prog), static_cast<rpcvers_t>(vers), 0, 0);
}

// One call to the host's hubd on a connection of its own.
core_status_t call_hubd(const char *host, rpcproc_t proc, xdrproc_t args_fn, void *args, xdrproc_t res_fn, void *res,
                        timeval timeout, velmo::net::Address *hubd)
{
    core_status_t status = resolve_host(host, hubd);
    if (status != CORE_OK)
        return status;
    int fd = velmo::net::connect_tcp(*hubd, kConnectTimeoutMs);
    if (fd < 0)
        return HUBD_E_UNREACHABLE;
    CLIENT *clnt = make_client(fd, *hubd, HUBD_PROG, HUBD_VERS);
    if (clnt == nullptr) {
        close(fd);
        return HUBD_E_CLIENT;
    }
    clnt_stat rc = rpk_clnt_call(clnt, proc, args_fn, args, res_fn, res, timeout);
    clnt_destroy(clnt);
    close(fd);
    if (rc == RPC_SUCCESS)
        return CORE_OK;
    return rc == RPC_CANTDECODERES || rc == RPC_PROCUNAVAIL || rc == RPC_PROGUNAVAIL || rc == RPC_PROGVERSMISMATCH
               ? HUBD_E_PROTOCOL
               : HUBD_E_UNREACHABLE;
}

// The empty argument of HOSTINFO.
bool_t xdr_no_arguments(XDR *, void *)
{
    return TRUE;
}

char *copy_text(const char *text)
{
    return text == nullptr || *text == '\0' ? nullptr : strdup(text);
}

}  // namespace

extern "C" {

VELMO_API core_status_t hubd_hostinfo(const char *host, hubd_hostinfo_t *info)
{
    if (info == nullptr)
        return CORE_E_BAD_ARGUMENT;
    *info = hubd_hostinfo_t{};
    if (host == nullptr || *host == '\0')
        return CORE_E_BAD_ARGUMENT;
    hubd_hostinfo_res res{};
    velmo::net::Address hubd;
    core_status_t status = call_hubd(host, HUBDPROC_HOSTINFO, (xdrproc_t)xdr_no_arguments, nullptr,
                                     (xdrproc_t)xdr_hubd_hostinfo_res, &res, kHostinfoTimeout, &hubd);
    if (status == CORE_OK && res.status != 0)
        status = res.status;
    if (status == CORE_OK) {
        info->host_name = copy_text(res.host_name);
        info->address = copy_text(velmo::net::address_text(hubd).c_str());
        info->node_name = copy_text(res.node_name);
        info->os_name = copy_text(res.os_name);
        info->os_release = copy_text(res.os_release);
        info->os_version = copy_text(res.os_version);
        info->machine = copy_text(res.machine);
        info->boot_time = res.boot_time;
        info->hubd_pid = res.pid;
        info->nservers = res.nservers;
    }
    xdr_free((xdrproc_t)xdr_hubd_hostinfo_res, &res);
    return status;
}

VELMO_API void hubd_hostinfo_free(hubd_hostinfo_t info)
{
    std::free(info.host_name);
    std::free(info.address);
    std::free(info.node_name);
    std::free(info.os_name);
    std::free(info.os_release);
    std::free(info.os_version);
    std::free(info.machine);
}

VELMO_API core_status_t hubd_connect_to_server(const char *host, const hubd_server_id_t *server_id, hubd_conn_t *conn,
                                               const core_uuid_t *object, int flags, const char *server_name)
{
    (void)object;
    (void)flags;
    if (host == nullptr || *host == '\0' || server_id == nullptr || conn == nullptr || server_name == nullptr ||
        std::strlen(server_name) > HUBD_NAME_MAX)
        return CORE_E_BAD_ARGUMENT;
    hubd_locate_args args{};
    args.name = const_cast<char *>(server_name);
    args.prog = server_id->program;
    args.vers = server_id->version;
    args.start = (server_id->flags & 1) != 0;
    hubd_locate_res res{};
    velmo::net::Address address;
    core_status_t status = call_hubd(host, HUBDPROC_LOCATE, (xdrproc_t)xdr_hubd_locate_args, &args,
                                     (xdrproc_t)xdr_hubd_locate_res, &res, kLocateTimeout, &address);
    if (status != CORE_OK)
        return status;
    if (res.status != 0)
        return res.status;
    if (res.port == 0 || res.port > 65535)
        return HUBD_E_PROTOCOL;
    velmo::net::set_port(&address, res.port);
    int fd = velmo::net::connect_tcp(address, kConnectTimeoutMs);
    if (fd < 0)
        return connect_status(errno);
    CLIENT *clnt = make_client(fd, address, server_id->program, server_id->version);
    if (clnt == nullptr) {
        close(fd);
        return HUBD_E_CLIENT;
    }
    conn->sock = fd;
    conn->clnt = clnt;
    return CORE_OK;
}
}
