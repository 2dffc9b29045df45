// hubd: the location broker of a host.  It tells clients what the host is
// (host information) and where its servers listen, keeps the registrations
// of those servers, and starts a server on demand from a configured command.
// The broker is broker.cc; this file reads the options and runs it.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <getopt.h>
#include <pwd.h>
#include <string>
#include <sys/utsname.h>
#include <unistd.h>

#include "broker.h"
#include "daemon.h"
#include "hubd_prot.h"
#include "net.h"
#include "registration.h"

using hubd::options;
using velmo::daemon::log;
using velmo::daemon::parse_unsigned;

namespace {

void usage(FILE *out)
{
    fputs("usage: hubd [OPTION]...\n"
          "The location broker of a host: answers host information and locates,\n"
          "registers and starts the servers of the host.\n"
          "\n"
          "  --address ADDR        address to listen on (default 0.0.0.0)\n"
          "  --port N              TCP port to listen on; 0 lets the system choose\n"
          "                        (default 7711)\n"
          "  --port-file FILE      write the port listened on to FILE once ready\n"
          "  --host-name NAME      host name to report (default: this machine's)\n"
          "  --os-name NAME        operating-system name to report (default: uname's);\n"
          "                        an empty NAME reports none\n"
          "  --os-release TEXT     operating-system release to report (default: uname's)\n"
          "  --no-hostinfo         refuse host-information requests\n"
          "  --start NAME=COMMAND  start server NAME with COMMAND (run by /bin/sh) when\n"
          "                        it is asked for and not registered; may be repeated.\n"
          "                        The command gets HUBD_READY_FD, a descriptor to which\n"
          "                        it writes its port and a newline once it listens, and\n"
          "                        HUBD_ADDRESS, HUBD_PORT and HUBD_SERVER_NAME\n"
          "  --start-timeout SECS  how long a started server may take to be ready\n"
          "                        (default 10)\n"
          "  --socket PATH         the local socket on which the servers of this host\n"
          "                        register (default /run/hubd/socket; when that\n"
          "                        cannot be had, the hubd runs without one)\n"
          "  --allow-register USER let USER (a name or uid) register servers, besides\n"
          "                        root and the hubd's own user; may be repeated\n"
          "  --idle-timeout SECS   close a client connection silent for SECS seconds;\n"
          "                        0 never (default 120)\n"
          "  --max-connections N   serve at most N connections at once; more wait\n"
          "                        (default 128)\n"
          "  --help                show this text and exit\n"
          "\n"
          "Registrations are taken only on the local socket, from users it allows;\n"
          "a registration belongs to its user (only that user or root may replace or\n"
          "withdraw it), and the names of --start are the hubd's own.\n"
          "It logs to standard error and stops cleanly on SIGTERM or SIGINT, stopping\n"
          "the servers it started.\n",
          out);
}

// A user of --allow-register: a name, or a uid.
bool parse_user(const char *text)
{
    unsigned long uid;
    if (const passwd *pw = getpwnam(text))
        uid = pw->pw_uid;
    else if (!parse_unsigned(text, 0xfffffffeu, &uid))
        return false;
    options.registrars.insert(static_cast<uid_t>(uid));
    return true;
}

bool parse_options(int argc, char **argv)
{
    enum {
        ADDRESS = 1,
        PORT,
        PORT_FILE,
        HOST_NAME,
        OS_NAME,
        OS_RELEASE,
        NO_HOSTINFO,
        START,
        START_TIMEOUT,
        HELP,
        IDLE_TIMEOUT,
        SOCKET,
        ALLOW_REGISTER,
        MAX_CONNECTIONS
    };
    static const option long_options[] = {{"address", required_argument, nullptr, ADDRESS},
                                          {"port", required_argument, nullptr, PORT},
                                          {"port-file", required_argument, nullptr, PORT_FILE},
                                          {"host-name", required_argument, nullptr, HOST_NAME},
                                          {"os-name", required_argument, nullptr, OS_NAME},
                                          {"os-release", required_argument, nullptr, OS_RELEASE},
                                          {"no-hostinfo", no_argument, nullptr, NO_HOSTINFO},
                                          {"start", required_argument, nullptr, START},
                                          {"start-timeout", required_argument, nullptr, START_TIMEOUT},
                                          {"help", no_argument, nullptr, HELP},
                                          {"idle-timeout", required_argument, nullptr, IDLE_TIMEOUT},
                                          {"socket", required_argument, nullptr, SOCKET},
                                          {"allow-register", required_argument, nullptr, ALLOW_REGISTER},
                                          {"max-connections", required_argument, nullptr, MAX_CONNECTIONS},
                                          {nullptr, 0, nullptr, 0}};
    int c;
    unsigned long value;
    while ((c = getopt_long(argc, argv, "", long_options, nullptr)) != -1) {
        switch (c) {
        case ADDRESS:
            options.address = optarg;
            break;
        case PORT:
            if (!parse_unsigned(optarg, 65535, &value))
                return log("bad port: %s", optarg), false;
            options.port = static_cast<unsigned>(value);
            break;
        case PORT_FILE:
            options.port_file = optarg;
            break;
        case HOST_NAME:
            options.host_name = optarg;
            break;
        case OS_NAME:
            options.os_name = optarg;
            options.os_name_given = true;
            break;
        case OS_RELEASE:
            options.os_release = optarg;
            break;
        case NO_HOSTINFO:
            options.no_hostinfo = true;
            break;
        case START: {
            const char *eq = std::strchr(optarg, '=');
            if (eq == nullptr || eq == optarg || eq[1] == '\0')
                return log("bad --start, expected NAME=COMMAND: %s", optarg), false;
            options.start_commands[std::string(optarg, static_cast<size_t>(eq - optarg))] = eq + 1;
            break;
        }
        case START_TIMEOUT:
            if (!parse_unsigned(optarg, 3600, &value) || value == 0)
                return log("bad start time-out: %s", optarg), false;
            options.start_timeout = static_cast<int>(value);
            break;
        case IDLE_TIMEOUT:
            if (!parse_unsigned(optarg, 86400, &value))
                return log("bad idle time-out: %s", optarg), false;
            options.idle_timeout = static_cast<unsigned>(value);
            break;
        case SOCKET:
            if (*optarg == '\0')
                return log("bad --socket: the path is empty"), false;
            options.socket_path = optarg;
            break;
        case ALLOW_REGISTER:
            if (!parse_user(optarg))
                return log("bad --allow-register, no such user: %s", optarg), false;
            break;
        case MAX_CONNECTIONS:
            if (!parse_unsigned(optarg, 65536, &value) || value == 0)
                return log("bad --max-connections: %s", optarg), false;
            options.max_connections = static_cast<unsigned>(value);
            break;
        case HELP:
            usage(stdout);
            std::exit(0);
        default:
            usage(stderr);
            return false;
        }
    }
    if (optind != argc)
        return log("unexpected argument: %s", argv[optind]), false;
    return true;
}

void fill_defaults()
{
    utsname u{};
    uname(&u);
    if (options.host_name.empty()) {
        char name[256] = "";
        gethostname(name, sizeof name - 1);
        options.host_name = name;
    }
    if (!options.os_name_given)
        options.os_name = u.sysname;
    if (options.os_release.empty())
        options.os_release = u.release;
}

// The local socket for registrations, in *fd (-1: none).  Given with
// --socket it must be had; the default may be missing (no runtime
// directory, or another hubd holds it): the hubd then serves without one
// and takes no registrations.
bool listen_for_registrations(int *fd)
{
    bool given = !options.socket_path.empty();
    if (!given)
        options.socket_path = velmo::daemon::kHubdSocket;
    *fd = velmo::daemon::listen_local(options.socket_path, 64);
    const char *why = errno == EADDRINUSE ? "another hubd listens on it"
                      : errno == EEXIST   ? "the path is no socket"
                                          : strerror(errno);
    if (*fd < 0)
        log("%s the local socket %s: %s", given ? "cannot listen on" : "no registrations: cannot listen on",
            options.socket_path.c_str(), why);
    return *fd >= 0 || !given;
}

// Serves the location broker's program on a listening socket (-1: none).
bool serve_on(int fd, SVCXPRT **xprt)
{
    *xprt = fd < 0 ? nullptr : svc_vc_create(fd, 0, 0);
    return fd < 0 || (*xprt != nullptr && svc_reg(*xprt, HUBD_PROG, HUBD_VERS, hubd::dispatch, nullptr));
}

}  // namespace

int main(int argc, char **argv)
{
    velmo::daemon::set_program("hubd");
    if (!parse_options(argc, argv))
        return 2;
    fill_defaults();
    hubd::started_at = time(nullptr);
    velmo::net::Address address;
    if (!velmo::net::parse_address(options.address, options.port, &address)) {
        log("bad address: %s", options.address.c_str());
        return 2;
    }
    if (!velmo::daemon::setup_signals())
        return 1;
    int fd = velmo::net::listen_tcp(address, 64);
    if (fd < 0) {
        log("cannot listen on %s port %u: %s", options.address.c_str(), options.port, strerror(errno));
        return 1;
    }
    options.port = velmo::net::local_port(fd);
    int local;
    if (!listen_for_registrations(&local))
        return 1;
    // The hubd's requests take a few hundred bytes; a longer one is garbage.
    velmo::daemon::limit_records(4096);
    SVCXPRT *tcp_xprt = nullptr, *local_xprt = nullptr;
    if (!serve_on(fd, &tcp_xprt) || !serve_on(local, &local_xprt)) {
        log("cannot create the RPC service");
        return 1;
    }
    if (!velmo::daemon::write_port_file(options.port_file, options.port)) {
        log("cannot write %s: %s", options.port_file.c_str(), strerror(errno));
        return 1;
    }
    std::string reporting = options.no_hostinfo
                                ? "giving no host information"
                                : "reporting " + options.host_name + " \"" + options.os_name + "\"";
    log("listening on %s port %u%s%s, %s", options.address.c_str(), options.port, local >= 0 ? " and on " : "",
        local >= 0 ? options.socket_path.c_str() : "", reporting.c_str());
    velmo::daemon::serve(hubd::reap_children, {fd, local}, options.idle_timeout, options.max_connections);
    log("stopping");
    hubd::stop_started_servers();
    if (local_xprt != nullptr) {
        unlink(options.socket_path.c_str());
        svc_destroy(local_xprt);
    }
    svc_destroy(tcp_xprt);
    return 0;
}
