// credmap demo: a simulated Windows host and a simulated UNIX host on
// loopback, and the library's main road through them.  With --ldap the
// Windows host's server reads its accounts from a throw-away slapd.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <grp.h>

#include "commands.h"
#include "options.h"
#include "local_accounts.h"
#include "output.h"
#include "velmo/credmap.h"

namespace credmap_tool {
namespace {

// Daemons of the demo (the hubds, then slapd); stopped on every way out.
pid_t daemons[3] = {-1, -1, -1};
char scratch[64] = "";
const char kLdapBase[] = "dc=korvantis,dc=example";

void stop_daemons()
{
    for (pid_t &pid : daemons) {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
            pid = -1;
        }
    }
    if (scratch[0] != '\0') {
        std::string command = std::string("rm -rf '") + scratch + "'";
        (void)!std::system(command.c_str());
        scratch[0] = '\0';
    }
}

void on_signal(int signo)
{
    // A hubd stops the server it started when it gets SIGTERM.
    for (pid_t pid : daemons)
        if (pid > 0)
            kill(pid, SIGTERM);
    // Only what is safe in a signal handler: the logs stay, named.
    if (scratch[0] != '\0') {
        const char before[] = "\ncredmap demo: interrupted; the daemons are stopped, their logs are in ";
        (void)!write(STDERR_FILENO, before, sizeof before - 1);
        (void)!write(STDERR_FILENO, scratch, std::strlen(scratch));
        (void)!write(STDERR_FILENO, "\n", 1);
    }
    signal(signo, SIG_DFL);
    raise(signo);
}

std::string dir_of(const std::string &path)
{
    return path.substr(0, path.rfind('/'));
}

std::string self_dir()
{
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? dir_of(std::string(path, static_cast<size_t>(n))) : ".";
}

// A file beside the tool: in the build tree or in an installation.
std::string find_file(const std::vector<std::string> &candidates)
{
    for (const auto &c : candidates)
        if (access(c.c_str(), R_OK) == 0)
            return c;
    return "";
}

pid_t spawn(const std::vector<std::string> &argv, const std::string &log)
{
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        int in = open("/dev/null", O_RDONLY);
        dup2(in, STDIN_FILENO);
        dup2(out, STDOUT_FILENO);
        dup2(out, STDERR_FILENO);
        std::vector<char *> args;
        for (const auto &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    return pid;
}

unsigned wait_port(const std::string &file)
{
    for (int i = 0; i < 500; ++i) {
        unsigned port = 0;
        std::ifstream in(file);
        if (in >> port && port != 0)
            return port;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return 0;
}

// Requests of one procedure in the server's log.
size_t server_requests(const std::string &log, const char *procedure = "22 ")
{
    std::ifstream in(log);
    size_t n = 0;
    for (std::string line; std::getline(in, line);)
        n += line.rfind(procedure, 0) == 0;
    return n;
}

long long microseconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count();
}

struct Account {
    std::string label;
    idkit_sid_credentials_t set;
};

// This process's credentials, and a few local accounts most machines have
// (the sample domain has accounts of the same names).
std::vector<Account> accounts()
{
    std::vector<Account> out;
    idkit_sid_credentials_t own{};
    if (idkit_get_sid_credentials(&own) == 0)
        out.push_back({"this process (uid " + std::to_string(getuid()) + ")", own});
    for (const char *name : {"daemon", "bin", "www-data", "backup"}) {
        struct passwd *pw = getpwnam(name);
        if (pw == nullptr)
            continue;
        Account a{std::string("local account ") + name, {}};
        idkit_uid_to_sid(&a.set.user, pw->pw_uid);
        idkit_gid_to_sid(&a.set.group, pw->pw_gid);
        a.set.groups[0] = a.set.group;
        a.set.ngroups = 1;
        out.push_back(a);
    }
    return out;
}

// A port of 127.0.0.1 nothing listens on now, and whether something does.
unsigned free_port()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    unsigned port = 0;
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &length) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

bool listening(unsigned port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

// A throw-away slapd holding the sample domain, its folder in the demo's
// (examples/ldap/run-slapd.sh); its URI, or "" when it cannot be started.
std::string start_slapd(const std::string &dir)
{
    std::string examples = dir_of(VELMO_DEMO_ACCOUNTS) + "/ldap";
    std::string here = self_dir();
    std::string script = find_file({here + "/../share/velmocredmap/ldap/run-slapd.sh", examples + "/run-slapd.sh"});
    std::string ldif = find_file({here + "/../share/velmocredmap/ldap/korvantis.ldif", examples + "/korvantis.ldif"});
    if (access("/usr/sbin/slapd", X_OK) != 0 || script.empty() || ldif.empty()) {
        std::fprintf(stderr, "credmap demo: --ldap needs slapd (scripts/setup installs it) and examples/ldap\n");
        return "";
    }
    // Another program may take the port between the choice and the bind.
    for (int attempt = 0; attempt < 3; ++attempt) {
        unsigned port = free_port();
        daemons[2] = spawn({script, dir + "/slapd", "127.0.0.1", std::to_string(port), kLdapBase, ldif},
                           dir + "/slapd.log");
        for (int i = 0; i < 200 && waitpid(daemons[2], nullptr, WNOHANG) == 0; ++i) {
            if (listening(port)) {
                std::printf("  directory slapd at 127.0.0.1 port %-5u holding the sample domain under %s\n", port,
                            kLdapBase);
                return "ldap://127.0.0.1:" + std::to_string(port);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        kill(daemons[2], SIGTERM);
        waitpid(daemons[2], nullptr, 0);
        daemons[2] = -1;
    }
    std::fprintf(stderr, "credmap demo: slapd did not start (see %s/slapd.log)\n", dir.c_str());
    return "";
}

bool start_hosts(bool ldap, std::string *server_log)
{
    std::string here = self_dir();
    std::string hubd = find_file({here + "/../../server/hubd", here + "/../sbin/hubd", here + "/hubd"});
    std::string server =
        find_file({here + "/../../server/credmap_server", here + "/../sbin/credmap_server", here + "/credmap_server"});
    std::string directory = find_file({here + "/../share/velmocredmap/korvantis.accounts", VELMO_DEMO_ACCOUNTS});
    if (hubd.empty() || server.empty() || directory.empty()) {
        std::fprintf(stderr, "credmap demo: cannot find hubd, credmap_server or the sample domain beside %s\n",
                     here.c_str());
        return false;
    }
    std::strcpy(scratch, "/tmp/credmap-demo-XXXXXX");
    if (mkdtemp(scratch) == nullptr)
        return false;
    std::string dir = scratch;
    *server_log = dir + "/winhost.requests";
    std::string accounts = "--accounts " + directory;
    std::printf("%s simulated hosts on loopback (logs in %s):\n", ldap ? "A directory server and two" : "Two",
                dir.c_str());
    if (ldap) {
        std::string uri = start_slapd(dir);
        if (uri.empty())
            return false;
        accounts = "--ldap " + uri + " --base " + kLdapBase;
    }
    std::string start = "credmap_server=" + server + " " + accounts + " --log-requests " + *server_log;
    struct Host {
        const char *name, *address, *os;
    } hosts[] = {{"winhost", "127.0.0.2", "Windows Server 2022"}, {"unixhost", "127.0.0.3", "Linux"}};
    std::ofstream hosts_file(dir + "/hosts");
    for (int i = 0; i < 2; ++i) {
        std::vector<std::string> argv = {hubd,
                                         "--address",
                                         hosts[i].address,
                                         "--port",
                                         "0",
                                         "--port-file",
                                         dir + "/" + hosts[i].name + ".port",
                                         "--host-name",
                                         hosts[i].name,
                                         "--os-name",
                                         hosts[i].os};
        if (i == 0)
            argv.insert(argv.end(), {"--start", start});
        daemons[i] = spawn(argv, dir + "/" + hosts[i].name + ".log");
        unsigned port = wait_port(dir + "/" + hosts[i].name + ".port");
        if (port == 0) {
            std::fprintf(stderr, "credmap demo: the hubd of %s did not start (see %s)\n", hosts[i].name, dir.c_str());
            return false;
        }
        hosts_file << hosts[i].name << " " << hosts[i].address << " " << port << "\n";
        std::printf("  %-9s hubd at %s port %-5u reporting \"%s\"%s\n", hosts[i].name, hosts[i].address, port,
                    hosts[i].os,
                    i != 0  ? ""
                    : ldap  ? ", starts credmap_server on demand, on the directory"
                            : ", starts credmap_server on demand");
    }
    hosts_file.close();
    setenv("VELMO_HOSTS", (dir + "/hosts").c_str(), 1);
    return true;
}

int map_all(const char *host, const std::vector<Account> &list)
{
    int failures = 0;
    for (const auto &a : list) {
        std::printf("\n-- %s\n", a.label.c_str());
        failures += print_to_remote(host, a.set, false) != 0;
    }
    return failures;
}

// Each account's remote SIDs (answered by the cache now) are mapped back;
// accounts the domain has come back as they were.
int map_back(const char *host, const std::vector<Account> &list, const std::string &log)
{
    int failures = 0;
    size_t before = server_requests(log, "23 ");
    for (size_t i = 0; i < list.size(); ++i) {
        idkit_sid_credentials_t remote{}, back{};
        core_status_t s = credmap_local_to_remote_sid(&list[i].set, host, &remote);
        if (s == 0 && i == 0) {
            std::printf("\n-- %s\n", list[i].label.c_str());
            s = print_to_local(host, remote, false) == 0 ? 0 : 1;
            std::printf("\n");
        }
        if (s == 0)
            s = credmap_remote_to_local_sid(&remote, host, &back);
        if (s != 0) {
            ++failures;
            continue;
        }
        uint32_t lost = back.user.kind == IDKIT_SID_KIND_NOBODY && list[i].set.user.kind != IDKIT_SID_KIND_NOBODY;
        lost += back.group.kind == IDKIT_SID_KIND_NOBODY && list[i].set.group.kind != IDKIT_SID_KIND_NOBODY;
        for (uint32_t g = 0; g < back.ngroups; ++g)
            lost += back.groups[g].kind == IDKIT_SID_KIND_NOBODY && list[i].set.groups[g].kind != IDKIT_SID_KIND_NOBODY;
        bool same = std::memcmp(&back, &list[i].set, offsetof(idkit_sid_credentials_t, groups)) == 0 &&
                    std::memcmp(back.groups, list[i].set.groups, back.ngroups * sizeof(idkit_sid_t)) == 0;
        std::printf("   %-32s %s\n", list[i].label.c_str(),
                    same ? "back as it was"
                         : ("back with " + std::to_string(lost) + " SID(s) the domain does not know as nobody").c_str());
    }
    std::printf("\n   requests for names the server answered: %zu\n", server_requests(log, "23 ") - before);
    return failures;
}

// Quincy has a local account mirroring the domain's, in a private view of
// the account files that only this process sees.
int map_large_user(const char *host, const std::string &log)
{
    std::string passwd, group, error;
    quincy_accounts(&passwd, &group);
    if (!add_local_accounts(passwd, group, &error)) {
        std::printf("   skipped: %s\n", error.c_str());
        return 0;
    }
    struct passwd *pw = getpwnam("quincy");
    std::vector<gid_t> gids(1024);
    int n = static_cast<int>(gids.size());
    if (pw == nullptr || getgrouplist("quincy", pw->pw_gid, gids.data(), &n) < 0) {
        std::printf("   the local account quincy cannot be read\n");
        return 1;
    }
    idkit_whole_credentials_t local{};
    std::vector<idkit_sid_t> groups(static_cast<size_t>(n));
    idkit_uid_to_sid(&local.user, pw->pw_uid);
    idkit_gid_to_sid(&local.group, pw->pw_gid);
    for (int i = 0; i < n; ++i)
        idkit_gid_to_sid(&groups[static_cast<size_t>(i)], gids[static_cast<size_t>(i)]);
    local.ngroups = n;
    local.groups = groups.data();
    std::printf("   local account quincy (uid %u) in %d groups, a private view of /etc/passwd and /etc/group\n",
                pw->pw_uid, n);
    int failures = 0;
    for (int round = 1; round <= 2; ++round) {
        size_t before = server_requests(log, "24 ");
        auto start = std::chrono::steady_clock::now();
        idkit_whole_credentials_t remote{};
        core_status_t s = credmap_local_to_remote_whole(&local, host, &remote);
        long long spent = microseconds_since(start);
        int real = 0;
        for (int32_t i = 0; i < remote.ngroups; ++i)
            real += remote.groups[i].kind >= IDKIT_SID_KIND_REAL;
        if (s != 0 || remote.ngroups != n) {
            std::printf("   mapping failed: %s\n", core_strerror(s));
            ++failures;
        } else {
            std::printf("   %s: %d groups, %d of them domain groups (%s ... %s), %zu new requests, %lld us\n",
                        round == 1 ? "first " : "second", remote.ngroups, real, sid_text(remote.groups[0]).c_str(),
                        sid_text(remote.groups[n - 1]).c_str(), server_requests(log, "24 ") - before, spent);
        }
        idkit_free_whole_credentials(&remote);
    }
    return failures;
}

int run_demo(bool ldap)
{
    std::string log;
    if (!start_hosts(ldap, &log))
        return 1;
    std::vector<Account> list = accounts();

    std::printf("\n1. Credentials for winhost, a Windows host: mapped through its credmap_server\n");
    int failures = map_all("winhost", list);
    size_t first = server_requests(log);
    std::printf("\n   requests the server answered: %zu\n", first);

    std::printf("\n2. The same again: answered from the cache\n");
    auto start = std::chrono::steady_clock::now();
    failures += map_all("winhost", list);
    long long spent = microseconds_since(start);
    std::printf("\n   new requests to the server: %zu (all %zu sets in %lld us)\n", server_requests(log) - first,
                list.size(), spent);

    std::printf("\n3. Credentials for unixhost, a UNIX host: taken as they are\n");
    for (const auto &a : list) {
        idkit_sid_credentials_t remote{};
        core_status_t s = credmap_local_to_remote_sid(&a.set, "unixhost", &remote);
        bool same = s == 0 && std::memcmp(&remote, &a.set, sizeof remote) == 0;
        std::printf("   %-32s %s\n", a.label.c_str(), same ? "unchanged" : "CHANGED");
        failures += !same;
    }

    std::printf("\n4. SIDs from winhost back to local accounts (a request arriving from it)\n");
    failures += map_back("winhost", list, log);

    std::printf("\n5. A domain user in 502 groups, with whole credentials\n");
    failures += map_large_user("winhost", log);

    std::printf("\n6. The caches of this process\n");
    std::fflush(stdout);
    credmap_dump_cache();

    std::printf("7. How well the caches worked\n");
    credmap_cache_stats_t stats;
    if (read_stats(&stats))
        print_stats_text(stats);
    return failures == 0 ? 0 : 1;
}

}  // namespace

int cmd_demo(const Context &c)
{
    Options o;
    std::string error;
    if (!parse_options(c.args, {}, {"--ldap"}, &o, &error))
        return bad_usage(error);
    bool ldap = o.flags.count("--ldap") != 0;
    signal(SIGINT, on_signal);
    signal(SIGTERM, on_signal);
    signal(SIGHUP, on_signal);
    std::atexit(stop_daemons);
    int status = run_demo(ldap);
    if (status != 0 && scratch[0] != '\0') {
        // A failed step is explained by the daemons' logs: they stay.
        std::fprintf(stderr, "credmap demo: a step failed; the daemons' logs are kept in %s\n", scratch);
        scratch[0] = '\0';
    }
    stop_daemons();
    std::printf("\nThe simulated hosts are stopped.\n");
    return status;
}

}  // namespace credmap_tool
