// The soak: eight threads map sets, every kind of mapping, through three simulated Windows hosts and a UNIX host
// while servers are killed, hubds restarted and servers made slow; every answer must be the quiet warm-up's.
#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "accounts.h"
#include "host/vox.h"
#include "../integration/sids.h"
#include "../integration/sim_host.h"
#include "velmo/credmap.h"

namespace {

using sim::sid;
using sim::text;

enum Kind { kToRemote, kToLocal, kPosix, kWhole, kKinds };  // the mappings
constexpr int kThreads = 8, kSets = 40, kHosts = 4;
const char *const kHostNames[kHosts] = {"winhost1", "winhost2", "winhost3", "unixhost"};  // the first three Windows
// A call longer hangs: each contact attempt may wait for a server start (10 s), a connect (5 s), a time-out.
constexpr int kHangSeconds = CREDMAP_CONTACT_ATTEMPTS * (10 + 5 + CREDMAP_CALL_TIMEOUT) + CREDMAP_CALL_TIMEOUT;

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
struct Set {
    idkit_sid_t user, group;
    std::vector<idkit_sid_t> groups;
};
// A set and, per host, what the warm-up made of it.
struct Entry : Set {
    core_status_t status[kHosts];
    std::string answer[kHosts];
};
struct Host {
    std::string name, address;
    bool windows;
    unsigned port = 0;  // chosen at the first start, kept across restarts
    pid_t hubd = -1;
};

std::string dir, domain;  // the run's folder (hosts file, port files, logs), the domain's SID
std::vector<Entry> catalogue[kKinds];
std::atomic<int> stopping{0}, finished{0};  // finished: threads that have stopped
std::atomic<uint64_t> ops{0}, failed{0}, wrong{0};

bool start(Host &h)
{
    std::string base = dir + "/" + h.name;
    unlink((base + ".port").c_str());
    std::string os = h.windows ? "Windows Server 2022" : "Linux";
    std::vector<std::string> argv = {
        sim::hubd_path(), "--address",    h.address,  "--port",         std::to_string(h.port),
        "--port-file",    base + ".port", "--socket", base + ".socket", "--host-name",
        h.name,           "--os-name",    os};
    if (h.windows)
        argv.insert(argv.end(), {"--start", "credmap_server='" + sim::server_path() + "' --accounts '" +
                                                sim::accounts_path() + "'"});
    h.hubd = sim::spawn(argv, base + ".log");
    h.port = sim::wait_port(base + ".port");
    return h.port != 0;  // an unfinished start ends with the soak
}

void stop(Host &h)
{
    if (h.hubd > 0 && kill(h.hubd, SIGTERM) == 0)
        waitpid(h.hubd, nullptr, 0);
    h.hubd = -1;
}

// The credmap_server the host's hubd started (for a moment a shell), or -1.
pid_t server_of(const Host &h)
{
    std::ifstream children("/proc/" + std::to_string(h.hubd) + "/task/" + std::to_string(h.hubd) + "/children");
    pid_t pid = -1;
    children >> pid;
    return pid;
}

bool transient(core_status_t status)
{
    return status == CORE_E_FAILURE || status == CORE_E_RPC_FAILED ||
           (status >= HUBD_E_HOST_UNKNOWN && status <= HUBD_E_NO_HOSTINFO);
}

void add_sids(std::string *out, const idkit_sid_t &user, const idkit_sid_t &group, int64_t n, const idkit_sid_t *groups)
{
    *out = text(user) + " " + text(group);
    for (int64_t i = 0; i < n; ++i)
        *out += " " + text(groups[i]);
}

// The answer as text, POSIX groups sorted: they come in the set's order from the caches, sorted from a server.
core_status_t map(Kind kind, Set &s, const std::string &host, std::string *out)
{
    idkit_sid_credentials_t in{s.user, s.group, static_cast<uint32_t>(s.groups.size()), {}}, sids{};
    std::copy_n(s.groups.begin(), std::min<size_t>(s.groups.size(), IDKIT_MAX_GROUPS), in.groups);
    core_status_t status;
    if (kind == kWhole) {
        idkit_whole_credentials_t remote{},
            local{s.user, s.group, static_cast<int32_t>(s.groups.size()), s.groups.data()};
        if ((status = credmap_local_to_remote_whole(&local, host.c_str(), &remote)) == CORE_OK)
            add_sids(out, remote.user, remote.group, remote.ngroups, remote.groups);
        idkit_free_whole_credentials(&remote);
    } else if (kind == kPosix) {
        idkit_credentials_t ids{};
        if ((status = credmap_local_sid_to_remote_posix(&in, host.c_str(), &ids)) == CORE_OK) {
            std::sort(ids.groups, ids.groups + std::clamp(ids.ngroups, 0, IDKIT_MAX_GROUPS));
            *out = std::to_string(ids.uid) + " " + std::to_string(ids.gid);
            for (int32_t i = 0; i < std::min(ids.ngroups, IDKIT_MAX_GROUPS); ++i)
                *out += " " + std::to_string(ids.groups[i]);
        }
    } else {
        auto call = kind == kToRemote ? credmap_local_to_remote_sid : credmap_remote_to_local_sid;
        if ((status = call(&in, host.c_str(), &sids)) == CORE_OK)
            add_sids(out, sids.user, sids.group, std::min<int64_t>(sids.ngroups, IDKIT_MAX_GROUPS), sids.groups);
    }
    return status;
}

// Random sets (don't-care, which has no local id on a UNIX host, only among the groups), each mapped on every
// host, retried while a server starts; then the caches hold every SID of them.
bool warm_up()
{
    credmap_server::Directory d;
    std::string error;
    credmap_server::load_directory(sim::accounts_path(), &d, &error);
    domain = text(d.domain_sid) + "-";
    std::vector<idkit_sid_t> pools[4];
    const std::string prefixes[4] = {"S-1-22-1-", "S-1-22-2-", domain, domain};
    setpwent();
    while (passwd *p = getpwent())
        pools[0].push_back(sid(prefixes[0] + std::to_string(p->pw_uid)));
    setgrent();
    while (group *g = getgrent())
        pools[1].push_back(sid(prefixes[1] + std::to_string(g->gr_gid)));
    for (const auto &u : d.users)
        pools[2].push_back(u.sid);
    for (const auto &g : d.groups)
        pools[3].push_back(g.sid);
    for (int i = 0; i < 4; ++i)
        pools[i].insert(pools[i].end(), {IDKIT_SID_NOBODY, sid(prefixes[i] + "4242"), sid(prefixes[i] + "31337")});
    std::mt19937_64 rng(1);
    for (int kind = 0; kind < kKinds; ++kind) {
        const auto &users = pools[kind == kToLocal ? 2 : 0], &groups = pools[kind == kToLocal ? 3 : 1];
        for (int i = 0; i < kSets; ++i) {
            Entry e{{users[rng() % users.size()], groups[rng() % groups.size()], {}}, {}, {}};
            // Room for one more SID; whole credentials take hundreds.
            for (size_t n = rng() % (kind == kWhole ? 700 : IDKIT_MAX_GROUPS); n > 0; --n)
                e.groups.push_back(rng() % 20 == 0 ? IDKIT_SID_DONTCARE : groups[rng() % groups.size()]);
            for (int h = 0; h < kHosts; ++h) {
                for (int n = 0; n < 3 && (n == 0 || transient(e.status[h])); ++n)
                    e.status[h] = map(static_cast<Kind>(kind), e, kHostNames[h], &e.answer[h]);
                if (transient(e.status[h]))
                    return std::printf("the warm-up failed on %s: %d\n", kHostNames[h], e.status[h]), false;
            }
            catalogue[kind].push_back(e);
        }
    }
    return true;
}

void work()
{
    std::mt19937_64 rng(std::random_device{}());
    while (!stopping) {
        auto kind = static_cast<Kind>(rng() % kKinds);
        int h = static_cast<int>(rng() % kHosts);
        const Entry &e = catalogue[kind][rng() % kSets];
        Set s = e;
        std::string want = e.answer[h], got;
        // Half the sets for a Windows host carry a SID nobody has (id or RID from 3e9 on): nobody; POSIX ids drop it.
        bool fresh = h < 3 && rng() % 2 == 0;
        if (fresh) {
            s.groups.push_back(
                sid((kind == kToLocal ? domain : "S-1-22-2-") + std::to_string(3000000000u + rng() % 1000000000u)));
            want += kind == kPosix ? "" : " " + text(IDKIT_SID_NOBODY);
        }
        // Any letter case names the same host and the same cache entries.
        std::string name = kHostNames[h];
        for (char &c : name)
            c = static_cast<char>(rng() % 8 == 0 ? std::toupper(c) : c);
        core_status_t status = map(kind, s, name, &got);
        ++ops;
        failed += status != CORE_OK;
        // What the caches hold (a set of the warm-up, no fresh SID) and what a UNIX host maps must succeed.
        bool may_fail = e.status[h] != CORE_OK || fresh;
        bool right = status == CORE_OK ? e.status[h] == CORE_OK && got == want
                                       : status == e.status[h] || (transient(status) && may_fail);
        if (!right && ++wrong <= 10)
            std::printf("WRONG: kind %d on %s: status %d (warm-up %d), answer %s, expected %s\n", kind, name.c_str(),
                        status, e.status[h], got.c_str(), want.c_str());
    }
    ++finished;
}

}  // namespace

int main(int argc, char **argv)
{
    int seconds = argc == 3 && std::string(argv[1]) == "--seconds" ? std::atoi(argv[2]) : 30;
    signal(SIGPIPE, SIG_IGN);
    vox_set_sink([](int, const char *, const char *, void *) {}, nullptr);  // failures are expected
    sim::mirror_accounts();  // alice, quincy in 501 groups, lab001..lab500 (as root)
    dir = mkdtemp(std::string("/tmp/velmo-soak-XXXXXX").data());
    std::vector<Host> hosts;
    bool ok = true;
    for (const char *name : kHostNames) {
        Host &h = hosts.emplace_back(Host{name, "127.0.57." + std::to_string(hosts.size() + 1), hosts.size() < 3});
        ok = start(h) && ok;
        std::ofstream(dir + "/hosts", std::ios::app) << name << " " << h.address << " " << h.port << "\n";
    }
    setenv("VELMO_HOSTS", (dir + "/hosts").c_str(), 1);
    ok = ok && warm_up();
    std::vector<std::thread> threads;
    for (int i = 0; ok && i < kThreads; ++i)
        threads.emplace_back(work);

    // Every one to four seconds a server killed, a hubd restarted, or a server made slow (SIGUSR1).
    std::mt19937_64 rng(std::random_device{}());
    pid_t slow = -1;  // the server made slow (of slow_host) until the next fault
    const Host *slow_host = nullptr;
    int killed = 0, restarted = 0, slowed = 0;
    bool hung = false;
    auto end = Clock::now() + std::chrono::seconds(seconds), next = Clock::now() + 1s;
    while (!hung && finished < static_cast<int>(threads.size())) {
        std::this_thread::sleep_for(50ms);
        stopping = stopping || !ok || Clock::now() > end || wrong > 0;
        hung = Clock::now() > end + std::chrono::seconds(kHangSeconds);  // a call in flight since the end hangs
        if (!stopping && Clock::now() < next)
            continue;
        if (slow > 0 && server_of(*slow_host) == slow)
            kill(slow, SIGUSR2);
        slow = -1;
        if (stopping)
            continue;
        next = Clock::now() + 1s + std::chrono::milliseconds(rng() % 3000);
        unsigned what = rng() % 3;
        Host &h = hosts[rng() % (what == 1 ? hosts.size() : 3)];  // the Windows hosts come first
        pid_t server = server_of(h);
        if (what == 1) {
            stop(h);
            // The port may be held for a moment by what the old hubd left.
            for (int attempt = 0; attempt < 50 && !start(h); ++attempt)
                std::this_thread::sleep_for(100ms);
            ok = h.hubd > 0;
            restarted += ok;
        } else if (server > 0 && what == 0 && kill(server, SIGKILL) == 0) {
            ++killed;
        } else if (server > 0 && what == 2 && kill(server, SIGUSR1) == 0) {
            slow = server;
            slow_host = &h;
            ++slowed;
        }
    }
    for (auto &h : hosts)
        stop(h);
    bool clean = std::system(("! grep -s -e Sanitizer -e 'runtime error' " + dir + "/*.log").c_str()) == 0;
    std::printf("soak: %lu operations, %lu failed, %lu wrong; %d servers killed, %d hubds restarted, %d slowed%s%s%s\n",
                ops.load(), failed.load(), wrong.load(), killed, restarted, slowed, hung ? "; a call hangs" : "",
                ok ? "" : "; a hubd or the warm-up failed", clean ? "" : "; a daemon's sanitizer reported a fault");
    std::fflush(stdout);
    std::filesystem::remove_all(dir);
    if (hung)
        _exit(1);  // the hung thread cannot be joined
    for (auto &t : threads)
        t.join();
    return ok && clean && ops > 0 && wrong == 0 ? 0 : 1;
}
