// credmap_server: the reference server of the credmap protocol.  It plays a
// remote Windows host, answering from an account directory file or from an
// LDAP directory such as Active Directory.
#include <getopt.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

#include "daemon.h"
#include "threaded.h"
#include "hubd_prot.h"
#include "host/hubd.h"
#include "ldap_source.h"
#include "ldif.h"
#include "net.h"
#include "registration.h"
#include "server.h"
#include "velmo/credmap_prot.h"

using credmap_server::config;
using velmo::daemon::log;

namespace {

struct Options {
    std::string accounts;
    std::string address;
    unsigned port = 0;
    std::string port_file;
    std::string hubd_socket;  // the local socket of the hubd to register with
    std::string name = "credmap_server";
    std::vector<std::string> refused;
    unsigned idle_timeout = velmo::daemon::kIdleSeconds;
    unsigned threads = 8;
    credmap_server::LdapOptions ldap;  // with --ldap
    std::string password_file;
    bool print_ldif = false;
};

Options options;

void usage(FILE *out)
{
    fprintf(out,
          "usage: credmap_server --accounts FILE [OPTION]...\n"
          "       credmap_server --ldap URI --base DN [OPTION]...\n"
          "       credmap_server --accounts FILE --print-ldif --base DN\n"
          "Serves the credmap protocol (program 390521, version 1) over TCP from an\n"
          "account directory, as the credential-mapping server of a Windows host.\n"
          "\n"
          "  --accounts FILE        the account directory (see docs/account-directory.md)\n"
          "  --ldap URI             or the accounts of an LDAP directory, such as Active\n"
          "                         Directory (see docs/ldap.md); several URIs separated\n"
          "                         by blanks are tried in turn\n"
          "  --base DN              the directory's entry of the domain; its subtree is\n"
          "                         searched\n"
          "  --bind-dn DN           bind as DN (default: anonymously) ...\n"
          "  --password-file FILE   ... with the password in FILE\n"
          "  --starttls             use TLS on an ldap:// connection (ldaps:// always does)\n"
          "  --ldap-timeout SECS    the longest a request may spend in the directory, and\n"
          "                         a connection (default 5); past it, or while the\n"
          "                         directory cannot be reached, requests are answered\n"
          "                         with status 1104\n"
          "  --domain NAME          the domain's name (default: the base entry's dc,\n"
          "                         upper-cased)\n"
          "  --domain-sid SID       the domain's SID (default: the base entry's)\n"
          "  --attribute KEY=ATTR   read ATTR for KEY; may be repeated; an empty ATTR turns\n"
          "                         an optional one off.  The keys and their defaults:\n"
          "%s"
          "  --print-ldif           print the directory file as LDIF under --base and exit\n"
          "  --address ADDR         address to listen on (default: $HUBD_ADDRESS when\n"
          "                         started by a hubd, else 127.0.0.1)\n"
          "  --port N               TCP port; 0 lets the system choose (default 0)\n"
          "  --port-file FILE       write the port listened on to FILE once ready\n"
          "  --hubd-socket PATH     register with the hubd of this host through its local\n"
          "                         socket PATH, such as /run/hubd/socket (and unregister\n"
          "                         on exit)\n"
          "  --name NAME            the name to register under (default credmap_server)\n"
          "  --threads N            answer up to N requests at once (default 8); a slow\n"
          "                         request holds up only its own connection\n"
          "  --refuse NAME          answer requests for user NAME with \"credentials\n"
          "                         refused\" (1063); may be repeated\n"
          "\n"
          "Misbehaviour, for tests:\n"
          "  --ignore-contact[=N]   never answer the contact request (or the first N)\n"
          "  --reset-contact[=N]    reset the connection on the contact (or the first N)\n"
          "  --no-proc P            do not offer procedure P; may be repeated\n"
          "  --proc-status P=S      answer procedure P with status S; may be repeated\n"
          "  --no-nt                do not claim to accept SIDs of the NT type\n"
          "  --delay MS             delay every reply by MS milliseconds; SIGUSR1 adds a\n"
          "                         random delay of up to 2 s to every reply, SIGUSR2\n"
          "                         takes it away\n"
          "  --too-many-groups      answer procedures 21, 22 and 23 with more groups than\n"
          "                         a credential record holds, 24 with more than the\n"
          "                         protocol allows\n"
          "  --answer-groups N      answer procedures 4, 22, 23 and 24 with at most N groups\n"
          "  --chaos SEED           damage every reply at random (seeded): counts,\n"
          "                         lengths, bodies cut or padded, garbage behind status\n"
          "                         0, a byte a write, stalls, connections closed or\n"
          "                         reset part-way; some replies go out intact\n"
          "  --log-requests FILE    append \"PROCEDURE UNIQUIFIER SEQNO\" for every request\n"
          "  --idle-timeout SECS    close a client connection silent for SECS seconds;\n"
          "                         0 never (default 120)\n"
          "  --help                 show this text and exit\n"
          "\n"
          "Started by a hubd, it writes its port to the descriptor in HUBD_READY_FD once\n"
          "it listens.  It stops cleanly on SIGTERM, SIGINT or the exit request.\n",
          credmap_server::attribute_help().c_str());
}

bool parse_count(const char *arg, long *out)
{
    unsigned long n;
    if (arg == nullptr) {
        *out = -1;
        return true;
    }
    if (!velmo::daemon::parse_unsigned(arg, 1000000, &n))
        return false;
    *out = static_cast<long>(n);
    return true;
}

bool parse_status(const char *arg)
{
    unsigned long proc;
    const char *eq = std::strchr(arg, '=');
    if (eq == nullptr)
        return false;
    std::string p(arg, static_cast<size_t>(eq - arg));
    char *end = nullptr;
    long status = std::strtol(eq + 1, &end, 10);
    if (!velmo::daemon::parse_unsigned(p.c_str(), 1000, &proc) || end == eq + 1 || *end != '\0')
        return false;
    config.forced_status[static_cast<unsigned>(proc)] = static_cast<int>(status);
    return true;
}

bool parse_options(int argc, char **argv)
{
    enum {
        ACCOUNTS = 1,
        ADDRESS,
        PORT,
        PORT_FILE,
        HUBD_SOCKET,
        NAME,
        REFUSE,
        IGNORE,
        RESET,
        NO_PROC,
        PROC_STATUS,
        NO_NT,
        DELAY,
        TOO_MANY,
        LOG,
        HELP,
        ANSWER_GROUPS,
        IDLE_TIMEOUT,
        CHAOS,
        THREADS,
        LDAP,
        BASE,
        BIND_DN,
        PASSWORD_FILE,
        STARTTLS,
        ATTRIBUTE,
        LDAP_TIMEOUT,
        DOMAIN,
        DOMAIN_SID,
        PRINT_LDIF
    };
    // In the order of the enumeration: an option's value less one is its row.
    static const option long_options[] = {{"accounts", required_argument, nullptr, ACCOUNTS},
                                          {"address", required_argument, nullptr, ADDRESS},
                                          {"port", required_argument, nullptr, PORT},
                                          {"port-file", required_argument, nullptr, PORT_FILE},
                                          {"hubd-socket", required_argument, nullptr, HUBD_SOCKET},
                                          {"name", required_argument, nullptr, NAME},
                                          {"refuse", required_argument, nullptr, REFUSE},
                                          {"ignore-contact", optional_argument, nullptr, IGNORE},
                                          {"reset-contact", optional_argument, nullptr, RESET},
                                          {"no-proc", required_argument, nullptr, NO_PROC},
                                          {"proc-status", required_argument, nullptr, PROC_STATUS},
                                          {"no-nt", no_argument, nullptr, NO_NT},
                                          {"delay", required_argument, nullptr, DELAY},
                                          {"too-many-groups", no_argument, nullptr, TOO_MANY},
                                          {"log-requests", required_argument, nullptr, LOG},
                                          {"help", no_argument, nullptr, HELP},
                                          {"answer-groups", required_argument, nullptr, ANSWER_GROUPS},
                                          {"idle-timeout", required_argument, nullptr, IDLE_TIMEOUT},
                                          {"chaos", required_argument, nullptr, CHAOS},
                                          {"threads", required_argument, nullptr, THREADS},
                                          {"ldap", required_argument, nullptr, LDAP},
                                          {"base", required_argument, nullptr, BASE},
                                          {"bind-dn", required_argument, nullptr, BIND_DN},
                                          {"password-file", required_argument, nullptr, PASSWORD_FILE},
                                          {"starttls", no_argument, nullptr, STARTTLS},
                                          {"attribute", required_argument, nullptr, ATTRIBUTE},
                                          {"ldap-timeout", required_argument, nullptr, LDAP_TIMEOUT},
                                          {"domain", required_argument, nullptr, DOMAIN},
                                          {"domain-sid", required_argument, nullptr, DOMAIN_SID},
                                          {"print-ldif", no_argument, nullptr, PRINT_LDIF},
                                          {nullptr, 0, nullptr, 0}};
    int c;
    unsigned long n;
    long count = 0;
    std::string error;
    while ((c = getopt_long(argc, argv, "", long_options, nullptr)) != -1) {
        bool ok = true;
        switch (c) {
        case ACCOUNTS:
            options.accounts = optarg;
            break;
        case ADDRESS:
            options.address = optarg;
            break;
        case PORT:
            ok = velmo::daemon::parse_unsigned(optarg, 65535, &n);
            options.port = static_cast<unsigned>(n);
            break;
        case PORT_FILE:
            options.port_file = optarg;
            break;
        case HUBD_SOCKET:
            options.hubd_socket = optarg;
            break;
        case NAME:
            options.name = optarg;
            break;
        case REFUSE:
            options.refused.push_back(optarg);
            break;
        case IGNORE:
            ok = parse_count(optarg, &count);
            config.ignore_contacts = count;
            break;
        case RESET:
            ok = parse_count(optarg, &count);
            config.reset_contacts = count;
            break;
        case NO_PROC:
            ok = velmo::daemon::parse_unsigned(optarg, 1000, &n);
            config.absent_procedures.insert(static_cast<unsigned>(n));
            break;
        case PROC_STATUS:
            ok = parse_status(optarg);
            break;
        case NO_NT:
            config.nt_attribute = false;
            break;
        case DELAY:
            ok = velmo::daemon::parse_unsigned(optarg, 600000, &n);
            config.delay_ms = static_cast<unsigned>(n);
            break;
        case TOO_MANY:
            config.too_many_groups = true;
            break;
        case LOG:
            config.request_log = optarg;
            break;
        case IDLE_TIMEOUT:
            ok = velmo::daemon::parse_unsigned(optarg, 86400, &n);
            options.idle_timeout = static_cast<unsigned>(n);
            break;
        case THREADS:
            ok = velmo::daemon::parse_unsigned(optarg, 256, &n) && n > 0;
            options.threads = static_cast<unsigned>(n);
            break;
        case CHAOS:
            ok = velmo::daemon::parse_unsigned(optarg, 0xffffffffu, &n);
            config.chaos = true;
            config.chaos_seed = n;
            break;
        case ANSWER_GROUPS:
            ok = velmo::daemon::parse_unsigned(optarg, IDKIT_WHOLE_MAX_GROUPS, &n);
            config.answer_groups = static_cast<uint32_t>(n);
            break;
        case LDAP:
            options.ldap.uri = optarg;
            break;
        case BASE:
            options.ldap.base = optarg;
            break;
        case BIND_DN:
            options.ldap.bind_dn = optarg;
            break;
        case PASSWORD_FILE:
            options.password_file = optarg;
            break;
        case STARTTLS:
            options.ldap.starttls = true;
            break;
        case ATTRIBUTE:
            ok = credmap_server::parse_attribute(optarg, &options.ldap, &error);
            break;
        case LDAP_TIMEOUT:
            ok = velmo::daemon::parse_unsigned(optarg, 600, &n) && n > 0;
            options.ldap.timeout_seconds = static_cast<unsigned>(n);
            break;
        case DOMAIN:
            options.ldap.domain = optarg;
            break;
        case DOMAIN_SID:
            options.ldap.domain_sid = optarg;
            break;
        case PRINT_LDIF:
            options.print_ldif = true;
            break;
        case HELP:
            usage(stdout);
            std::exit(0);
        default:
            usage(stderr);
            return false;
        }
        if (!ok && !error.empty())
            return log("%s", error.c_str()), false;
        if (!ok)
            return log("bad value for --%s: %s", long_options[c - 1].name, optarg ? optarg : ""), false;
    }
    if (optind != argc)
        return log("unexpected argument: %s", argv[optind]), false;
    if (options.accounts.empty() == options.ldap.uri.empty())
        return log("give --accounts FILE or --ldap URI"), usage(stderr), false;
    if (options.ldap.bind_dn.empty() != options.password_file.empty())
        return log("--bind-dn and --password-file go together"), false;
    if (options.print_ldif && (options.accounts.empty() || options.ldap.base.empty()))
        return log("--print-ldif needs --accounts FILE and --base DN"), false;
    return true;
}

// --refuse, for either source; the directory file says at once which
// names it lacks.
void take_refused()
{
    for (const auto &name : options.refused) {
        std::string lower = name;
        for (char &c : lower)
            c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        config.refused_names.insert(lower);
        bool found = options.accounts.empty();
        for (const auto &u : config.directory.users)
            found = found || strcasecmp(u.name.c_str(), name.c_str()) == 0;
        if (!found)
            log("--refuse %s: no such user", name.c_str());
    }
}

// The password of --bind-dn: the file's first line.
bool read_password(const std::string &path, std::string *out)
{
    std::ifstream file(path);
    if (!file || !std::getline(file, *out))
        return log("%s: cannot read the password", path.c_str()), false;
    if (!out->empty() && out->back() == '\r')
        out->pop_back();
    if (out->empty())
        return log("%s: the password is empty", path.c_str()), false;
    return true;
}

// The account source: the directory file, or the LDAP directory (made in
// *ldap, which main keeps until the end).
bool load_accounts(credmap_server::LdapSourcePtr *ldap, credmap_server::AccountSource *ldap_accounts)
{
    std::string error;
    if (!options.accounts.empty() && !credmap_server::load_directory(options.accounts, &config.directory, &error))
        return log("%s", error.c_str()), false;
    take_refused();
    if (options.accounts.empty()) {
        if (!options.password_file.empty() && !read_password(options.password_file, &options.ldap.password))
            return false;
        *ldap = credmap_server::make_ldap_source(options.ldap, &error);
        if (*ldap == nullptr)
            return log("%s", error.c_str()), false;
        *ldap_accounts = credmap_server::account_source(ldap->get());
        config.source = ldap_accounts;
    }
    return true;
}

int print_ldif()
{
    std::string text, error;
    if (!credmap_server::directory_ldif(config.directory, options.ldap.base, &text, &error))
        return log("%s", error.c_str()), 1;
    std::cout << text;
    return std::cout.flush() ? 0 : 1;
}

// A connection to the hubd's local socket.  A server started with the hubd
// (their services start together) may find no socket yet: it tries again,
// up to `retries` times a tenth of a second apart.
int connect_hubd(int retries)
{
    for (;; --retries) {
        int fd = velmo::daemon::connect_local(options.hubd_socket);
        if (fd >= 0 || retries <= 0 || (errno != ENOENT && errno != ECONNREFUSED))
            return fd;
        usleep(100000);
    }
}

// Registers with (or unregisters from) the hubd of --hubd-socket.  The hubd
// takes registrations only on its local socket, where the kernel tells it
// who this server is.
bool tell_hubd(unsigned port, bool add)
{
    if (options.hubd_socket.empty())
        return true;
    const char *what = add ? "registration" : "withdrawal";
    int fd = connect_hubd(add ? 50 : 0);
    if (fd < 0) {
        log("cannot reach the hubd at %s: %s", options.hubd_socket.c_str(), strerror(errno));
        return false;
    }
    hubd_register_args args{const_cast<char *>(options.name.c_str()), CREDMAP_PROG, CREDMAP_VERS, port,
                            static_cast<uint64_t>(getpid())};
    int status = velmo::daemon::send_registration(fd, add, args);
    close(fd);
    if (status == 0 && add)
        log("registered as %s with the hubd at %s", options.name.c_str(), options.hubd_socket.c_str());
    else if (status < 0)
        log("the hubd at %s did not answer the %s", options.hubd_socket.c_str(), what);
    else if (status != 0)
        log("the hubd at %s refused the %s: %s", options.hubd_socket.c_str(), what, core_strerror(status));
    return status == 0 || !add;
}

// Tells the hubd that started this server which port it listens on.
void report_ready(unsigned port)
{
    const char *text = std::getenv("HUBD_READY_FD");
    unsigned long fd;
    if (text == nullptr || !velmo::daemon::parse_unsigned(text, 65535, &fd))
        return;
    std::string line = std::to_string(port) + "\n";
    (void)!write(static_cast<int>(fd), line.data(), line.size());
    close(static_cast<int>(fd));
}

}  // namespace

int main(int argc, char **argv)
{
    velmo::daemon::set_program("credmap_server");
    credmap_server::LdapSourcePtr ldap;
    credmap_server::AccountSource ldap_accounts;
    if (!parse_options(argc, argv) || !load_accounts(&ldap, &ldap_accounts))
        return 2;
    if (options.print_ldif)
        return print_ldif();
    if (options.address.empty()) {
        const char *hubd_address = std::getenv("HUBD_ADDRESS");
        options.address = hubd_address != nullptr ? hubd_address : "127.0.0.1";
    }
    velmo::net::Address address;
    if (!velmo::net::parse_address(options.address, options.port, &address)) {
        log("bad address: %s", options.address.c_str());
        return 2;
    }
    if (!velmo::daemon::setup_signals())
        return 1;
    signal(SIGUSR1, [](int) { credmap_server::slow_replies = 1; });
    signal(SIGUSR2, [](int) { credmap_server::slow_replies = 0; });
    int fd = velmo::net::listen_tcp(address, 64);
    if (fd < 0) {
        log("cannot listen on %s port %u: %s", options.address.c_str(), options.port, strerror(errno));
        return 1;
    }
    unsigned port = velmo::net::local_port(fd);
    // The port file says the server can be found: it comes after the
    // registration.
    if (!tell_hubd(port, true) || !velmo::daemon::write_port_file(options.port_file, port))
        return 1;
    report_ready(port);
    if (ldap == nullptr)
        log("serving domain %s (%zu users, %zu groups) on %s port %u with %u threads",
            config.directory.domain.c_str(), config.directory.users.size(), config.directory.groups.size(),
            options.address.c_str(), port, options.threads);
    else
        log("serving the accounts of %s under %s on %s port %u with %u threads", options.ldap.uri.c_str(),
            options.ldap.base.c_str(), options.address.c_str(), port, options.threads);
    // The log says at once whether the directory can be reached; requests
    // are answered meanwhile.
    std::thread probing;
    if (ldap != nullptr)
        probing = std::thread(credmap_server::probe, ldap.get());
    velmo::daemon::ThreadedService service;
    service.listener = fd;
    service.program = CREDMAP_PROG;
    service.version = CREDMAP_VERS;
    service.dispatch = credmap_server::dispatch;
    service.workers = options.threads;
    service.idle_seconds = options.idle_timeout;
    bool served = velmo::daemon::serve_threaded(service);
    if (probing.joinable())
        probing.join();
    tell_hubd(port, false);
    log(served ? "stopping" : "cannot start the threads that answer");
    close(fd);
    return served ? 0 : 1;
}
