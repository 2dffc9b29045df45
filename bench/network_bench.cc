// The uncached road, against real daemons on loopback that the benchmark
// starts itself: a handle with one request, the first mapping of a host,
// whole credentials of every size, and the reference server's throughput.
// Beside each library figure stands a bare libtirpc client making the same
// round trips in the same run (locate through the hubd, connect, contact,
// request), so that the ratio, not the machine, is what the figures tell.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "credmap_cache.h"
#include "host/hubd.h"
#include "hubd_prot.h"
#include "velmo/credmap.h"

namespace {

const char kHost[] = "winhost";
const char kAddress[] = "127.0.0.2";

struct Daemons {
    std::string dir;
    pid_t hubd = -1;
    unsigned hubd_port = 0;
};

Daemons daemons;

unsigned wait_port(const std::string &file)
{
    for (int i = 0; i < 500; ++i) {
        std::ifstream in(file);
        unsigned port = 0;
        if (in >> port && port != 0)
            return port;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return 0;
}

// A hubd for the Windows host that starts credmap_server on demand.
bool start_daemons()
{
    char templ[] = "/tmp/velmo-bench-XXXXXX";
    daemons.dir = mkdtemp(templ);
    std::string start = std::string("credmap_server=") + VELMO_SERVER_PATH + " --accounts " + VELMO_ACCOUNTS_PATH;
    daemons.hubd = fork();
    if (daemons.hubd == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        freopen((daemons.dir + "/hubd.log").c_str(), "a", stderr);
        execl(VELMO_HUBD_PATH, "hubd", "--address", kAddress, "--port", "0", "--port-file",
              (daemons.dir + "/hubd.port").c_str(), "--host-name", kHost, "--os-name", "Windows Server 2022",
              "--start", start.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    daemons.hubd_port = wait_port(daemons.dir + "/hubd.port");
    std::ofstream(daemons.dir + "/hosts") << kHost << " " << kAddress << " " << daemons.hubd_port << "\n";
    setenv("VELMO_HOSTS", (daemons.dir + "/hosts").c_str(), 1);
    return daemons.hubd_port != 0;
}

void stop_daemons()
{
    if (daemons.hubd > 0) {
        kill(daemons.hubd, SIGTERM);
        waitpid(daemons.hubd, nullptr, 0);
    }
    std::string command = "rm -rf '" + daemons.dir + "'";
    (void)!std::system(command.c_str());
}

// ---- The bare libtirpc client ----

bool_t xdr_nothing(XDR *, void *)
{
    return TRUE;
}

int connect_to(unsigned port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, kAddress, &a.sin_addr);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

CLIENT *client_on(int fd, unsigned port, rpcprog_t prog, rpcvers_t vers)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, kAddress, &a.sin_addr);
    netbuf raddr{sizeof a, sizeof a, &a};
    return clnt_vc_create(fd, &raddr, prog, vers, 0, 0);
}

const timeval kTimeout{CREDMAP_CALL_TIMEOUT, 0};

// One call on a connection of its own, as the broker client makes them.
template<typename Res>
bool hubd_call(rpcproc_t proc, xdrproc_t args_fn, void *args, xdrproc_t res_fn, Res *res)
{
    int fd = connect_to(daemons.hubd_port);
    CLIENT *clnt = fd < 0 ? nullptr : client_on(fd, daemons.hubd_port, HUBD_PROG, HUBD_VERS);
    bool ok = clnt != nullptr && clnt_call(clnt, proc, args_fn, static_cast<char *>(args), res_fn,
                                           reinterpret_cast<char *>(res), kTimeout) == RPC_SUCCESS;
    if (clnt != nullptr)
        clnt_destroy(clnt);
    if (fd >= 0)
        close(fd);
    return ok;
}

unsigned bare_locate()
{
    hubd_locate_args args{const_cast<char *>("credmap_server"), CREDMAP_PROG, CREDMAP_VERS, 1};
    hubd_locate_res res{};
    return hubd_call(HUBDPROC_LOCATE, (xdrproc_t)xdr_hubd_locate_args, &args, (xdrproc_t)xdr_hubd_locate_res, &res)
               ? res.port
               : 0;
}

bool bare_hostinfo()
{
    hubd_hostinfo_res res{};
    bool ok = hubd_call(HUBDPROC_HOSTINFO, (xdrproc_t)xdr_nothing, nullptr, (xdrproc_t)xdr_hubd_hostinfo_res, &res);
    xdr_free((xdrproc_t)xdr_hubd_hostinfo_res, reinterpret_cast<char *>(&res));
    return ok;
}

// A connection to the server with its contact made.
struct BareHandle {
    int fd = -1;
    CLIENT *clnt = nullptr;
    uint64_t seqno = 0;

    bool open(unsigned port)
    {
        fd = connect_to(port);
        clnt = fd < 0 ? nullptr : client_on(fd, port, CREDMAP_PROG, CREDMAP_VERS);
        if (clnt == nullptr)
            return false;
        auth_destroy(clnt->cl_auth);
        clnt->cl_auth = authunix_create(const_cast<char *>("bench"), -2, -2, 0, nullptr);
        credmap_contact_req_t req{};
        req.hdr.seqno = seqno++;
        req.contact_word = CREDMAP_CONTACT_WORD;
        credmap_contact_reply_t reply{};
        return call(CREDMAP_PROC_CONTACT, (xdrproc_t)xdr_credmap_contact_req_t, &req,
                    (xdrproc_t)xdr_credmap_contact_reply_t, &reply);
    }
    bool call(rpcproc_t proc, xdrproc_t args_fn, void *args, xdrproc_t res_fn, void *res)
    {
        return clnt_call(clnt, proc, args_fn, static_cast<char *>(args), res_fn, static_cast<char *>(res), kTimeout) ==
               RPC_SUCCESS;
    }
    // The password entry of a name, released again.
    bool getpwnam(const char *name)
    {
        credmap_lookup_user_sid_credentials_req_t req{{0, seqno++}, const_cast<char *>(name)};
        credmap_svr_getpwnam_reply_t reply{};
        bool ok = call(CREDMAP_PROC_SVR_GETPWNAM, (xdrproc_t)xdr_credmap_lookup_user_sid_credentials_req_t, &req,
                       (xdrproc_t)xdr_credmap_svr_getpwnam_reply_t, &reply);
        clnt_freeres(clnt, (xdrproc_t)xdr_credmap_svr_getpwnam_reply_t, reinterpret_cast<char *>(&reply));
        return ok;
    }
    // A name set to SIDs (the request of a set's mapping).
    bool names_to_sids(idkit_string_credentials_t &names)
    {
        credmap_lookup_string_credentials_sid_req_t req{{0, seqno++}, CREDMAP_REQUEST_WORD, names};
        credmap_lookup_string_credentials_sid_reply_t reply{};
        return call(CREDMAP_PROC_LOOKUP_STRING_CREDENTIALS_SID,
                    (xdrproc_t)xdr_credmap_lookup_string_credentials_sid_req_t, &req,
                    (xdrproc_t)xdr_credmap_lookup_string_credentials_sid_reply_t, &reply);
    }
    void close_all()
    {
        if (clnt != nullptr) {
            auth_destroy(clnt->cl_auth);
            clnt_destroy(clnt);
        }
        if (fd >= 0)
            ::close(fd);
        clnt = nullptr;
        fd = -1;
    }
};

// The names the library sends for root's set.
idkit_string_credentials_t root_names()
{
    static char root[] = "root", daemon[] = "daemon";
    idkit_string_credentials_t names{};
    names.user = root;
    names.group = root;
    names.ngroups = 2;
    names.groups[0] = root;
    names.groups[1] = daemon;
    return names;
}

// ---- Benchmarks ----

void set_location_cache(bool on)
{
    if (on)
        unsetenv("VELMO_LOCATION_CACHE");
    else
        setenv("VELMO_LOCATION_CACHE", "0", 1);
}

void handle_request(benchmark::State &state, bool cached_location)
{
    set_location_cache(cached_location);
    idkit_passwd_sid_t pw;
    for (auto _ : state) {
        credmap_handle_t *h = nullptr;
        if (credmap_get_handle(kHost, &h) != 0 || credmap_svr_getpwnam(h, "Alice", &pw) != 0)
            state.SkipWithError("the library's request failed");
        credmap_free_handle(h);
    }
    set_location_cache(true);
}

void bare_handle_request(benchmark::State &state)
{
    for (auto _ : state) {
        BareHandle h;
        if (!h.open(bare_locate()) || !h.getpwnam("Alice"))
            state.SkipWithError("the bare request failed");
        h.close_all();
    }
}

// The gids of this machine's groups, each group once.
const std::vector<uint32_t> &local_gids()
{
    static std::vector<uint32_t> gids = [] {
        std::vector<uint32_t> out;
        setgrent();
        while (struct group *g = getgrent())
            out.push_back(g->gr_gid);
        endgrent();
        return out;
    }();
    return gids;
}

// Forgets the host, then maps the process's own credentials for it again:
// the host is classified and its own credentials cached, the rest not.
void fresh_host_but_own_credentials()
{
    credmap_cache_flush(kHost);
    idkit_sid_credentials_t own{}, remote{};
    idkit_get_sid_credentials(&own);
    credmap_local_to_remote_sid(&own, kHost, &remote);
}

// The first mapping of a fresh process for the host: host information, the
// process's own credentials, then the set.  Each iteration is a fresh
// process (its fork is not timed).
void first_mapping(benchmark::State &state)
{
    for (auto _ : state) {
        int pipe_fds[2];
        if (pipe(pipe_fds) != 0)
            return state.SkipWithError("no pipe");
        pid_t child = fork();
        if (child == 0) {
            // The account databases were read before, as in any process
            // that has been running a while.
            (void)getpwuid(1);
            (void)getgrgid(1);
            // What the parent learnt is not the child's: nothing of the
            // host is known, as in a process that has just started.
            credmap_cache_flush(nullptr);
            const hubd_server_id_t id = {CREDMAP_PROG, CREDMAP_VERS, 1};
            hubd_forget_location(kHost, &id, "credmap_server");
            unsetenv("VELMO_LOCATION_CACHE");
            idkit_sid_credentials_t set{}, remote{};
            idkit_get_sid_credentials(&set);
            set.ngroups = 0;
            idkit_uid_to_sid(&set.user, 1);  // daemon: not the process's own
            auto start = std::chrono::steady_clock::now();
            core_status_t s = credmap_local_to_remote_sid(&set, kHost, &remote);
            double spent = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            if (s != 0)
                spent = -1;
            (void)!write(pipe_fds[1], &spent, sizeof spent);
            _exit(0);
        }
        double spent = -1;
        (void)!read(pipe_fds[0], &spent, sizeof spent);
        waitpid(child, nullptr, 0);
        close(pipe_fds[0]);
        close(pipe_fds[1]);
        if (spent < 0)
            return state.SkipWithError("the first mapping failed");
        state.SetIterationTime(spent);
    }
}

void bare_first_mapping(benchmark::State &state)
{
    idkit_string_credentials_t names = root_names();
    for (auto _ : state) {
        bool ok = bare_hostinfo();
        for (int exchange = 0; exchange < 2 && ok; ++exchange) {
            BareHandle h;
            ok = h.open(bare_locate()) && h.names_to_sids(names);
            h.close_all();
        }
        if (!ok)
            state.SkipWithError("the bare round trips failed");
    }
}

// A host and the process's own credentials known, the set (of accounts the
// machine has) not: one exchange.
void set_miss(benchmark::State &state)
{
    idkit_sid_credentials_t set{}, remote{};
    idkit_uid_to_sid(&set.user, 1);
    idkit_gid_to_sid(&set.group, 1);
    set.ngroups = 1;
    idkit_gid_to_sid(&set.groups[0], 2);
    for (auto _ : state) {
        state.PauseTiming();
        fresh_host_but_own_credentials();
        state.ResumeTiming();
        if (credmap_local_to_remote_sid(&set, kHost, &remote) != 0)
            state.SkipWithError("the mapping failed");
    }
}

void bare_set_miss(benchmark::State &state)
{
    idkit_string_credentials_t names = root_names();
    for (auto _ : state) {
        BareHandle h;
        if (!h.open(bare_locate()) || !h.names_to_sids(names))
            state.SkipWithError("the bare round trips failed");
        h.close_all();
    }
}

// Whole credentials of state.range(0) groups (this machine's groups over
// and over); range(1) 1 for a set the cache holds, 0 for one it does not
// (one request for the set).
void whole(benchmark::State &state)
{
    size_t n = static_cast<size_t>(state.range(0));
    bool cached = state.range(1) != 0;
    std::vector<idkit_sid_t> groups(n);
    for (size_t i = 0; i < n; ++i)
        idkit_gid_to_sid(&groups[i], local_gids()[i % local_gids().size()]);
    idkit_whole_credentials_t local{}, remote{};
    idkit_uid_to_sid(&local.user, 1);
    idkit_gid_to_sid(&local.group, 1);
    local.ngroups = static_cast<int32_t>(n);
    local.groups = groups.data();
    fresh_host_but_own_credentials();
    if (cached && credmap_local_to_remote_whole(&local, kHost, &remote) != 0)
        return state.SkipWithError("the mapping failed");
    idkit_free_whole_credentials(&remote);
    for (auto _ : state) {
        if (!cached) {
            state.PauseTiming();
            fresh_host_but_own_credentials();
            state.ResumeTiming();
        }
        if (credmap_local_to_remote_whole(&local, kHost, &remote) != 0)
            state.SkipWithError("the mapping failed");
        idkit_free_whole_credentials(&remote);
    }
    state.counters["ns_per_group"] =
        benchmark::Counter(static_cast<double>(n), benchmark::Counter::kIsIterationInvariantRate |
                                                       benchmark::Counter::kInvert);
}

// Requests a second on a connection per client thread.
void server_throughput(benchmark::State &state)
{
    credmap_handle_t *h = nullptr;
    if (credmap_get_handle(kHost, &h) != 0)
        return state.SkipWithError("no handle");
    idkit_passwd_sid_t pw;
    for (auto _ : state)
        if (credmap_svr_getpwnam(h, "Alice", &pw) != 0)
            state.SkipWithError("a request failed");
    credmap_free_handle(h);
    state.SetItemsProcessed(state.iterations());
}

void bare_server_throughput(benchmark::State &state)
{
    BareHandle h;
    if (!h.open(bare_locate()))
        return state.SkipWithError("no connection");
    for (auto _ : state)
        if (!h.getpwnam("Alice"))
            state.SkipWithError("a request failed");
    h.close_all();
    state.SetItemsProcessed(state.iterations());
}

void register_all()
{
    benchmark::RegisterBenchmark("handle_request/located", handle_request, false);
    benchmark::RegisterBenchmark("handle_request/cached_location", handle_request, true);
    benchmark::RegisterBenchmark("handle_request/bare", bare_handle_request);
    benchmark::RegisterBenchmark("first_mapping/library", first_mapping)->UseManualTime();
    benchmark::RegisterBenchmark("first_mapping/bare", bare_first_mapping);
    benchmark::RegisterBenchmark("set_miss/library", set_miss);
    benchmark::RegisterBenchmark("set_miss/bare", bare_set_miss);
    benchmark::RegisterBenchmark("whole", whole)->ArgsProduct({{32, 1000, 10000}, {0, 1}})->ArgNames({"groups", "cached"});
    for (int threads : {1, 8, 64}) {
        benchmark::RegisterBenchmark("server_throughput/library", server_throughput)->Threads(threads)->UseRealTime();
        benchmark::RegisterBenchmark("server_throughput/bare", bare_server_throughput)->Threads(threads)->UseRealTime();
    }
}

}  // namespace

int main(int argc, char **argv)
{
    if (!start_daemons()) {
        std::fprintf(stderr, "network_bench: the hubd did not start (see %s)\n", daemons.dir.c_str());
        stop_daemons();
        return 1;
    }
    // The process's own credentials go into the cache first, as in any
    // process after its first mapping.
    idkit_sid_credentials_t own{}, remote{};
    idkit_get_sid_credentials(&own);
    credmap_local_to_remote_sid(&own, kHost, &remote);
    register_all();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    stop_daemons();
    return 0;
}
