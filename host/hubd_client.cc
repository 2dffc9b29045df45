// Location broker client: finds a host's hubd, asks it for host information
// or for the port of a server, and connects to that server.
//
// The client connects every socket itself and hands it to Sun RPC: left to
// itself, libtirpc binds a reserved port for each connection a root process
// makes, and with one connection per operation those ports run out.
#include "host/hubd.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <unistd.h>

#include "host/rpk.h"
#include "hosts_file.h"
#include "hubd_prot.h"
#include "net.h"

namespace {

constexpr int kConnectTimeoutMs = 5000;
constexpr timeval kHostinfoTimeout{10, 0};
// Long enough for the hubd to start a server on demand.
constexpr timeval kLocateTimeout{30, 0};

// Where a host name led: the address of its hubd, or nothing; and what the
// hosts file said about it, for hubd_explain_host.
struct Lookup {
    bool found = false;
    const char *path = nullptr;  // the hosts file, or null when none is named
    int read_error = 0;          // errno of reading it, or 0
    velmo::hosts::Finding finding;
};

// Looks the host up in the hosts file named by VELMO_HOSTS, else through
// the resolver.  The file is read on every call: it is small, and a change
// takes effect at once.
Lookup find_host(const char *host, velmo::net::Address *out)
{
    Lookup l;
    l.path = std::getenv("VELMO_HOSTS");
    if (l.path != nullptr && *l.path == '\0')
        l.path = nullptr;
    std::string text;
    if (l.path != nullptr && velmo::hosts::read_file(l.path, &text, &l.read_error))
        l.finding = velmo::hosts::examine(text, host, out);
    l.found = l.finding.kind == velmo::hosts::Finding::kFound || velmo::net::resolve(host, HUBD_DEFAULT_PORT, out);
    return l;
}

core_status_t resolve_host(const char *host, velmo::net::Address *out)
{
    return find_host(host, out).found ? CORE_OK : HUBD_E_HOST_UNKNOWN;
}

// What the hosts file says of the host, in words ("" when it names it well).
std::string file_says(const char *host, const Lookup &l)
{
    using velmo::hosts::Finding;
    std::string file = "the hosts file " + std::string(l.path != nullptr ? l.path : "");
    if (l.path == nullptr)
        return "VELMO_HOSTS names no hosts file";
    if (l.read_error != 0)
        return file + " (VELMO_HOSTS) cannot be read: " + std::strerror(l.read_error);
    if (l.finding.kind == Finding::kBad)
        return "line " + std::to_string(l.finding.line) + " of " + file + " names " + host + " but " +
               l.finding.problem + " (a line is NAME ADDRESS PORT)";
    if (l.finding.kind == Finding::kNotNamed)
        return std::string(host) + " is not in " + file;
    return "";
}

// What to do about a name that leads nowhere.
std::string remedy(const char *host, const Lookup &l)
{
    using velmo::hosts::Finding;
    std::string line = std::string("a line \"") + host + " ADDRESS PORT\"";
    if (l.path == nullptr)
        return "set VELMO_HOSTS to a hosts file with " + line + ", or make the name resolvable";
    if (l.read_error != 0)
        return "correct VELMO_HOSTS or create the file";
    if (l.finding.kind == Finding::kBad)
        return "correct line " + std::to_string(l.finding.line) + " of " + l.path;
    return "add " + line + " to " + l.path;
}

std::string explanation(const char *host, const Lookup &l, const velmo::net::Address &address)
{
    std::string where =
        velmo::net::address_text(address) + " port " + std::to_string(velmo::net::address_port(address));
    if (l.finding.kind == velmo::hosts::Finding::kFound)
        return "line " + std::to_string(l.finding.line) + " of the hosts file " + l.path + ": " + where;
    if (l.found)
        return "the resolver: " + where + " (" + file_says(host, l) + ")";
    return file_says(host, l) + ", and the resolver does not know " + host + ": " + remedy(host, l);
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

// ---- Where servers were found ----
//
// After a successful locate the server's address is remembered per host,
// program, version and server name, and the next connection goes straight
// to it.  A location that no longer answers is forgotten and the server
// located afresh.  VELMO_LOCATION_CACHE=0 turns the cache off.

std::mutex locations_lock;
std::unordered_map<std::string, velmo::net::Address> locations;

bool locations_enabled()
{
    const char *value = std::getenv("VELMO_LOCATION_CACHE");
    return value == nullptr || std::strcmp(value, "0") != 0;
}

std::string location_key(const char *host, const hubd_server_id_t &id, const char *server_name)
{
    std::string key;
    for (const char *p = host; *p != '\0'; ++p)
        key += static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
    key += '\0';
    key += std::to_string(id.program) + ":" + std::to_string(id.version) + ":" + server_name;
    return key;
}

bool remembered(const std::string &key, velmo::net::Address *out)
{
    std::lock_guard<std::mutex> lock(locations_lock);
    auto it = locations.find(key);
    if (it == locations.end())
        return false;
    *out = it->second;
    return true;
}

void remember(const std::string &key, const velmo::net::Address &address)
{
    try {
        std::lock_guard<std::mutex> lock(locations_lock);
        locations[key] = address;
    } catch (const std::bad_alloc &) {
        // Not remembered: the next connection locates the server again.
    }
}

bool forget(const std::string &key)
{
    std::lock_guard<std::mutex> lock(locations_lock);
    return locations.erase(key) != 0;
}

// Asks the host's hubd where the server listens (starting it if allowed).
core_status_t locate(const char *host, const hubd_server_id_t &id, const char *server_name,
                     velmo::net::Address *address)
{
    hubd_locate_args args{};
    args.name = const_cast<char *>(server_name);
    args.prog = id.program;
    args.vers = id.version;
    args.start = (id.flags & 1) != 0;
    hubd_locate_res res{};
    core_status_t status = call_hubd(host, HUBDPROC_LOCATE, (xdrproc_t)xdr_hubd_locate_args, &args,
                                     (xdrproc_t)xdr_hubd_locate_res, &res, kLocateTimeout, address);
    if (status != CORE_OK)
        return status;
    if (res.status != 0)
        return res.status;
    if (res.port == 0 || res.port > 65535)
        return HUBD_E_PROTOCOL;
    velmo::net::set_port(address, res.port);
    return CORE_OK;
}

// A connection with an RPC client to the server at `address`.
core_status_t connect_client(velmo::net::Address &address, const hubd_server_id_t &id, hubd_conn_t *conn)
{
    int fd = velmo::net::connect_tcp(address, kConnectTimeoutMs);
    if (fd < 0)
        return connect_status(errno);
    CLIENT *clnt = make_client(fd, address, id.program, id.version);
    if (clnt == nullptr) {
        close(fd);
        return HUBD_E_CLIENT;
    }
    conn->sock = fd;
    conn->clnt = clnt;
    return CORE_OK;
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

VELMO_API core_status_t hubd_explain_host(const char *host, hubd_host_source_t *out)
{
    if (out == nullptr)
        return CORE_E_BAD_ARGUMENT;
    *out = hubd_host_source_t{};
    if (host == nullptr || *host == '\0')
        return CORE_E_BAD_ARGUMENT;
    try {
        velmo::net::Address address;
        Lookup l = find_host(host, &address);
        out->found = l.found ? 1 : 0;
        out->line = l.finding.line;
        if (l.found) {
            out->port = velmo::net::address_port(address);
            std::snprintf(out->address, sizeof out->address, "%s", velmo::net::address_text(address).c_str());
        }
        std::snprintf(out->text, sizeof out->text, "%s", explanation(host, l, address).c_str());
        return l.found ? CORE_OK : HUBD_E_HOST_UNKNOWN;
    } catch (const std::bad_alloc &) {
        return CORE_E_NO_MEMORY;
    }
}

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
    try {
        bool cache = locations_enabled();
        std::string key = cache ? location_key(host, *server_id, server_name) : std::string();
        velmo::net::Address address;
        // A remembered location that refuses or fails the connection is
        // forgotten, and the server located again within this call.
        if (cache && remembered(key, &address)) {
            if (connect_client(address, *server_id, conn) == CORE_OK) {
                conn->conn_word_2 |= HUBD_CONN_REMEMBERED;
                return CORE_OK;
            }
            forget(key);
        }
        core_status_t status = locate(host, *server_id, server_name, &address);
        if (status == CORE_OK)
            status = connect_client(address, *server_id, conn);
        if (status == CORE_OK && cache)
            remember(key, address);
        return status;
    } catch (const std::bad_alloc &) {
        return CORE_E_NO_MEMORY;
    }
}

VELMO_API int hubd_forget_location(const char *host, const hubd_server_id_t *server_id, const char *server_name)
{
    if (host == nullptr || server_id == nullptr || server_name == nullptr)
        return 0;
    try {
        return forget(location_key(host, *server_id, server_name)) ? 1 : 0;
    } catch (const std::bad_alloc &) {
        return 0;
    }
}
}
