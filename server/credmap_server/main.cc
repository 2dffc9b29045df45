// credmap_server: the reference server of the credmap protocol.  It plays a
// remote Windows host, answering from an account directory file.
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "daemon.h"
#include "threaded.h"
#include "hubd_prot.h"
#include "host/hubd.h"
#include "net.h"
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
    std::string hubd;  // ADDRESS:PORT of the hubd to register with
    std::string name = "credmap_server";
    std::vector<std::string> refused;
    unsigned idle_timeout = velmo::daemon::kIdleSeconds;
    unsigned threads = 8;
};

Options options;

void usage(FILE *out)
{
    fputs("usage: credmap_server --accounts FILE [OPTION]...\n"
          "Serves the credmap protocol (program 390521, version 1) over TCP from an\n"
          "account directory, as the credential-mapping server of a Windows host.\n"
          "\n"
          "  --accounts FILE        the account directory (see docs/account-directory.md)\n"
          "  --address ADDR         address to listen on (default: $HUBD_ADDRESS when\n"
          "                         started by a hubd, else 127.0.0.1)\n"
          "  --port N               TCP port; 0 lets the system choose (default 0)\n"
          "  --port-file FILE       write the port listened on to FILE once ready\n"
          "  --hubd ADDR:PORT       register with this hubd (and unregister on exit)\n"
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
          out);
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
        HUBD,
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
        THREADS
    };
    // In the order of the enumeration: an option's value less one is its row.
    static const option long_options[] = {{"accounts", required_argument, nullptr, ACCOUNTS},
                                          {"address", required_argument, nullptr, ADDRESS},
                                          {"port", required_argument, nullptr, PORT},
                                          {"port-file", required_argument, nullptr, PORT_FILE},
                                          {"hubd", required_argument, nullptr, HUBD},
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
                                          {nullptr, 0, nullptr, 0}};
    int c;
    unsigned long n;
    long count = 0;
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
        case HUBD:
            options.hubd = optarg;
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
        case HELP:
            usage(stdout);
            std::exit(0);
        default:
            usage(stderr);
            return false;
        }
        if (!ok)
            return log("bad value for --%s: %s", long_options[c - 1].name, optarg ? optarg : ""), false;
    }
    if (optind != argc)
        return log("unexpected argument: %s", argv[optind]), false;
    if (options.accounts.empty())
        return log("--accounts FILE is required"), usage(stderr), false;
    return true;
}

bool load_accounts()
{
    std::string error;
    if (!credmap_server::load_directory(options.accounts, &config.directory, &error)) {
        log("%s", error.c_str());
        return false;
    }
    for (const auto &name : options.refused) {
        bool found = false;
        for (auto &u : config.directory.users)
            if (strcasecmp(u.name.c_str(), name.c_str()) == 0)
                u.refused = found = true;
        if (!found)
            log("--refuse %s: no such user", name.c_str());
    }
    return true;
}

// Registers with (or unregisters from) the hubd named by --hubd.
bool tell_hubd(unsigned port, bool add)
{
    if (options.hubd.empty())
        return true;
    size_t colon = options.hubd.rfind(':');
    unsigned long hubd_port;
    velmo::net::Address address;
    if (colon == std::string::npos ||
        !velmo::daemon::parse_unsigned(options.hubd.c_str() + colon + 1, 65535, &hubd_port) ||
        !velmo::net::parse_address(options.hubd.substr(0, colon), static_cast<unsigned>(hubd_port), &address)) {
        log("bad --hubd, expected ADDRESS:PORT: %s", options.hubd.c_str());
        return false;
    }
    int fd = velmo::net::connect_tcp(address, 5000);
    if (fd < 0) {
        log("cannot reach the hubd at %s: %s", options.hubd.c_str(), strerror(errno));
        return false;
    }
    netbuf raddr{static_cast<unsigned>(address.length), static_cast<unsigned>(address.length), &address.storage};
    CLIENT *clnt = clnt_vc_create(fd, &raddr, HUBD_PROG, HUBD_VERS, 0, 0);
    int status = -1;
    if (clnt != nullptr) {
        hubd_register_args args{const_cast<char *>(options.name.c_str()), CREDMAP_PROG, CREDMAP_VERS, port,
                                static_cast<uint64_t>(getpid())};
        timeval timeout{5, 0};
        clnt_call(clnt, add ? HUBDPROC_REGISTER : HUBDPROC_UNREGISTER, (xdrproc_t)xdr_hubd_register_args,
                  reinterpret_cast<char *>(&args), (xdrproc_t)xdr_int, reinterpret_cast<char *>(&status), timeout);
        clnt_destroy(clnt);
    }
    close(fd);
    if (status != 0)
        log("the hubd at %s did not take the %s", options.hubd.c_str(), add ? "registration" : "withdrawal");
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
    if (!parse_options(argc, argv) || !load_accounts())
        return 2;
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
    if (!velmo::daemon::write_port_file(options.port_file, port) || !tell_hubd(port, true))
        return 1;
    report_ready(port);
    log("serving domain %s (%zu users, %zu groups) on %s port %u with %u threads", config.directory.domain.c_str(),
        config.directory.users.size(), config.directory.groups.size(), options.address.c_str(), port,
        options.threads);
    velmo::daemon::ThreadedService service;
    service.listener = fd;
    service.program = CREDMAP_PROG;
    service.version = CREDMAP_VERS;
    service.dispatch = credmap_server::dispatch;
    service.workers = options.threads;
    service.idle_seconds = options.idle_timeout;
    bool served = velmo::daemon::serve_threaded(service);
    tell_hubd(port, false);
    log(served ? "stopping" : "cannot start the threads that answer");
    close(fd);
    return served ? 0 : 1;
}
