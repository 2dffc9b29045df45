// The soak: threads map random credential sets of the sample domain for
// three simulated Windows hosts and a UNIX host, with every kind of mapping,
// while a controller kills servers, restarts location brokers and makes
// servers slow.  Every answer is checked against the account directory and
// the local accounts.  The run fails on a wrong answer, a call that hangs,
// descriptors or heap that do not return to their level after the warm-up,
// or a daemon that ends badly; failed operations are expected and counted.
//
//     soak [--seconds N] [--threads N] [--seed N]
#include <malloc.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SOAK_SANITIZER_HEAP 1
// From the sanitizer runtime (GCC installs no header for it).
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);
#endif

#include "host/vox.h"
#include "hosts.h"
#include "local_accounts.h"
#include "oracle.h"
#include "velmo/credmap.h"

namespace {

using namespace soak;
using Rng = std::mt19937_64;

// Every table of the library's cache takes this many entries; the warm-up
// fills each one, so that the caches cannot grow during the run and a SID
// nobody has is never remembered: every set holding one goes to a server.
constexpr unsigned kCacheEntries = 8192;
// Ids and RIDs of SIDs nobody has that the run uses, above those the
// warm-up fills the caches with.
constexpr uint32_t kFreshFrom = kNoOneFrom + 1000000000u;
// A call longer than this hangs: each contact attempt may wait for the hubd
// to start a server (10 s), connect (5 s) and time out, and the request
// itself may time out.
constexpr int kHangSeconds = CREDMAP_CONTACT_ATTEMPTS * (10 + 5 + CREDMAP_CALL_TIMEOUT) + CREDMAP_CALL_TIMEOUT;
// The heap may end this much above its start per thread: the library keeps
// the work buffers of a thread's last local account and group look-ups
// (1 KiB each, more for a long entry) until its next, so the level depends
// on what each thread looked up last.
constexpr size_t kHeapPerThread = 4 * 1024;
constexpr int kWarmOps = 40;  // per thread, before the start is measured
constexpr size_t kMostWholeGroups = 700;

enum Kind { kToRemote, kToLocal, kPosix, kWhole, kKinds };
const char *const kKindNames[kKinds] = {"local to remote", "remote to local", "POSIX ids", "whole credentials"};
enum Phase { kWarm, kLoad, kDrain, kDone };
constexpr int kStatusBase = 1000, kStatusSlots = 200;

struct Options {
    int seconds = 60;
    int threads = 8;
    uint64_t seed = 0;
};

// What the workers know of a host; fixed once the hosts run.
struct Target {
    std::string name;
    bool windows;
};

struct Worker {
    std::thread thread;
    std::atomic<int64_t> since_ns{0};  // start of the call in flight, 0 when none
    std::atomic<int> kind{0}, target{0};
};

struct Stats {
    std::atomic<uint64_t> ops[kKinds]{}, ok[kKinds]{};
    std::atomic<uint64_t> failures[kStatusSlots + 1]{};  // by status - kStatusBase; the last, any other
    std::atomic<int32_t> other_status{0};
    std::atomic<int64_t> longest_ns{0};
    std::atomic<int> longest_kind{0}, longest_target{0};
};

struct Run {
    Options options;
    Pools pools;
    std::vector<Target> targets;
    std::unique_ptr<Worker[]> workers;
    Stats stats;
    std::atomic<uint64_t> wrong{0};
    std::atomic<int> phase{kWarm};
    std::atomic<int> arrived{0};
    std::mutex print_mutex;
};

Run run;
volatile sig_atomic_t interrupted = 0;
std::atomic<uint64_t> messages{0};

int64_t now_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void pause_ms(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// --- the sets ---------------------------------------------------------------

// A request: its SIDs and what each must become.  `remembered`: the caches
// hold every SID of it, so it must succeed whatever the servers do.
struct Set {
    Mapping user, group;
    std::vector<Mapping> groups;
    bool remembered = true;
};

bool chance(Rng &rng, unsigned percent)
{
    return rng() % 100 < percent;
}

const Mapping &pick(const std::vector<Mapping> &pool, Rng &rng)
{
    return pool[rng() % pool.size()];
}

uint32_t fresh(Rng &rng)
{
    return kFreshFrom + static_cast<uint32_t>(rng() % 1000000000u);
}

Mapping member(const std::vector<Mapping> &pool, Rng &rng)
{
    unsigned r = rng() % 100;
    return r < 3 ? special(IDKIT_SID_NOBODY) : r < 6 ? special(IDKIT_SID_DONTCARE) : pick(pool, rng);
}

// Half the sets carry one SID nobody has, which sends them to a server.
void add_fresh(Set &s, Mapping m, size_t most, Rng &rng)
{
    if (!chance(rng, 50))
        return;
    if (s.groups.size() == most)
        s.groups[rng() % most] = m;
    else
        s.groups.insert(s.groups.begin() + static_cast<long>(rng() % (s.groups.size() + 1)), m);
    s.remembered = false;
}

// A local set for a host.  The user and primary group are never the
// don't-care SID, which has no local id for a UNIX host.
Set local_set(const Pools &p, Rng &rng, size_t most)
{
    Set s;
    if (most > IDKIT_MAX_GROUPS && !p.quincy_groups.empty() && chance(rng, 25)) {
        // quincy in his 500 teams, with groups the domain does not have.
        s.user = p.quincy;
        s.group = p.quincy_group;
        s.groups = p.quincy_groups;
        for (size_t n = rng() % 150; n > 0; --n)
            s.groups.push_back(member(p.local_groups, rng));
        std::shuffle(s.groups.begin(), s.groups.end(), rng);
    } else {
        unsigned r = rng() % 100;
        s.user = r < 3 ? special(IDKIT_SID_NOBODY) : pick(p.local_users, rng);
        if (r >= 3 && r < 6) {
            s.user = no_local_user(fresh(rng));
            s.remembered = false;
        }
        s.group = chance(rng, 3) ? special(IDKIT_SID_NOBODY) : pick(p.local_groups, rng);
        for (size_t n = rng() % (most + 1); n > 0; --n)
            s.groups.push_back(member(p.local_groups, rng));
    }
    add_fresh(s, no_local_group(fresh(rng)), std::max(most, s.groups.size()), rng);
    s.remembered = s.remembered && !s.user.refused;
    return s;
}

Set remote_set(const Pools &p, Rng &rng)
{
    Set s;
    unsigned r = rng() % 100;
    s.user = r < 3 ? special(IDKIT_SID_NOBODY) : r < 5 ? special(IDKIT_SID_DONTCARE) : pick(p.remote_users, rng);
    if (r >= 5 && r < 8) {
        s.user = no_domain_account(p, fresh(rng));
        s.remembered = false;
    }
    s.group = member(p.remote_groups, rng);
    for (size_t n = rng() % (IDKIT_MAX_GROUPS + 1); n > 0; --n)
        s.groups.push_back(member(p.remote_groups, rng));
    add_fresh(s, no_domain_account(p, fresh(rng)), IDKIT_MAX_GROUPS, rng);
    s.remembered = s.remembered && !s.user.refused;
    return s;
}

idkit_sid_credentials_t record(const Set &s)
{
    idkit_sid_credentials_t r{};
    r.user = s.user.from;
    r.group = s.group.from;
    r.ngroups = static_cast<uint32_t>(s.groups.size());
    for (size_t i = 0; i < s.groups.size(); ++i)
        r.groups[i] = s.groups[i].from;
    return r;
}

// --- the checks -------------------------------------------------------------

// "" when the SIDs are what the set must become (a UNIX host keeps them),
// else what differs.
std::string compare_sids(const Set &s, bool windows, const idkit_sid_t &user, const idkit_sid_t &group, int64_t n,
                         const idkit_sid_t *groups)
{
    auto want = [&](const Mapping &m) -> const idkit_sid_t & { return windows ? m.to : m.from; };
    auto differs = [&](const std::string &what, const Mapping &m, const idkit_sid_t &got) {
        return what + " " + text(m.from) + " became " + text(got) + ", expected " + text(want(m));
    };
    if (!idkit_sid_eq(&user, &want(s.user)))
        return differs("user", s.user, user);
    if (!idkit_sid_eq(&group, &want(s.group)))
        return differs("group", s.group, group);
    if (n != static_cast<int64_t>(s.groups.size()))
        return std::to_string(n) + " groups, expected " + std::to_string(s.groups.size());
    for (size_t i = 0; i < s.groups.size(); ++i)
        if (!idkit_sid_eq(&groups[i], &want(s.groups[i])))
            return differs("group #" + std::to_string(i), s.groups[i], groups[i]);
    return "";
}

std::string id_list(const std::vector<uint64_t> &ids)
{
    std::string out;
    for (uint64_t id : ids)
        out += (out.empty() ? "" : ",") + std::to_string(id);
    return out;
}

// A Windows host's ids come without the nobody and don't-care ids, sorted
// from a server, in the set's order from the caches (which hold every SID
// of a remembered set); a UNIX host keeps the local ids in order.
std::string compare_ids(const Set &s, bool windows, const idkit_credentials_t &c)
{
    auto want = [&](const Mapping &m) { return windows ? m.remote_id : m.local_id; };
    std::vector<uint64_t> expected;
    for (const auto &g : s.groups)
        if (!windows || (want(g) != IDKIT_ID_NOBODY && want(g) != IDKIT_ID_DONTCARE))
            expected.push_back(want(g));
    if (c.ngroups < 0 || c.ngroups > IDKIT_MAX_GROUPS)
        return std::to_string(c.ngroups) + " groups";
    std::vector<uint64_t> got(c.groups, c.groups + c.ngroups), sorted = expected;
    std::sort(sorted.begin(), sorted.end());
    bool groups_ok = got == expected || (windows && !s.remembered && got == sorted);
    if (c.uid == want(s.user) && c.gid == want(s.group) && groups_ok)
        return "";
    return "uid " + std::to_string(c.uid) + " gid " + std::to_string(c.gid) + " groups " + id_list(got) +
           ", expected uid " + std::to_string(want(s.user)) + " gid " + std::to_string(want(s.group)) + " groups " +
           id_list(expected);
}

bool transient(core_status_t status)
{
    return status == CORE_E_FAILURE || status == CORE_E_RPC_FAILED ||
           (status >= HUBD_E_HOST_UNKNOWN && status <= HUBD_E_NO_HOSTINFO);
}

// "" for a failure that the faults of the run explain.
std::string judge_failure(const Set &s, bool windows, core_status_t status)
{
    if (!windows)
        return "a UNIX host's sets need no server, yet the mapping failed";
    if (s.user.refused)
        return status == CORE_E_CREDS_REFUSED || transient(status) ? "" : "a status no fault explains";
    if (status == CORE_E_CREDS_REFUSED)
        return "refused a user the domain does not refuse";
    if (s.remembered)
        return "failed although the caches hold every SID of the set";
    return transient(status) ? "" : "a status no fault explains";
}

// --- the operations ---------------------------------------------------------

template<typename Call>
core_status_t timed(Worker &w, Call call)
{
    int64_t start = now_ns();
    w.since_ns = start;
    core_status_t status = call();
    w.since_ns = 0;
    int64_t took = now_ns() - start;
    int64_t longest = run.stats.longest_ns.load();
    while (took > longest && !run.stats.longest_ns.compare_exchange_weak(longest, took)) {
    }
    if (took > longest) {
        run.stats.longest_kind = w.kind.load();
        run.stats.longest_target = w.target.load();
    }
    return status;
}

std::string to_remote(Worker &w, const Set &s, const Target &t, core_status_t *status)
{
    idkit_sid_credentials_t local = record(s), remote;
    std::memset(&remote, 0xa5, sizeof remote);
    *status = timed(w, [&] { return credmap_local_to_remote_sid(&local, t.name.c_str(), &remote); });
    if (*status != CORE_OK)
        return "";
    return compare_sids(s, t.windows, remote.user, remote.group, remote.ngroups, remote.groups);
}

std::string to_local(Worker &w, const Set &s, const Target &t, core_status_t *status)
{
    idkit_sid_credentials_t remote = record(s), local;
    std::memset(&local, 0xa5, sizeof local);
    *status = timed(w, [&] { return credmap_remote_to_local_sid(&remote, t.name.c_str(), &local); });
    if (*status != CORE_OK)
        return "";
    return compare_sids(s, t.windows, local.user, local.group, local.ngroups, local.groups);
}

std::string to_posix(Worker &w, const Set &s, const Target &t, core_status_t *status)
{
    idkit_sid_credentials_t local = record(s);
    idkit_credentials_t ids;
    std::memset(&ids, 0xa5, sizeof ids);
    *status = timed(w, [&] { return credmap_local_sid_to_remote_posix(&local, t.name.c_str(), &ids); });
    return *status != CORE_OK ? "" : compare_ids(s, t.windows, ids);
}

std::string to_remote_whole(Worker &w, const Set &s, const Target &t, core_status_t *status)
{
    std::vector<idkit_sid_t> groups;
    for (const auto &g : s.groups)
        groups.push_back(g.from);
    idkit_whole_credentials_t local{}, remote;
    local.user = s.user.from;
    local.group = s.group.from;
    local.ngroups = static_cast<int32_t>(groups.size());
    local.groups = groups.data();
    std::memset(&remote, 0xa5, sizeof remote);  // overwritten, not released, by the call
    *status = timed(w, [&] { return credmap_local_to_remote_whole(&local, t.name.c_str(), &remote); });
    std::string wrong;
    if (*status == CORE_OK)
        wrong = compare_sids(s, t.windows, remote.user, remote.group, remote.ngroups, remote.groups);
    idkit_free_whole_credentials(&remote);
    return wrong;
}

// Maps the set; returns what is wrong with a successful answer, or "".
std::string map(Kind kind, Worker &w, const Set &s, const Target &t, core_status_t *status)
{
    switch (kind) {
    case kToRemote:
        return to_remote(w, s, t, status);
    case kToLocal:
        return to_local(w, s, t, status);
    case kPosix:
        return to_posix(w, s, t, status);
    default:
        return to_remote_whole(w, s, t, status);
    }
}

// The host name as given or in another letter case, which names the same
// host and the same cache entries.
std::string some_case(const std::string &name, Rng &rng)
{
    std::string out = name;
    if (chance(rng, 25))
        for (char &c : out)
            c = static_cast<char>(chance(rng, 50) ? std::toupper(c) : c);
    return out;
}

std::string describe(Kind kind, const Target &t, const Set &s)
{
    std::string out = std::string(kKindNames[kind]) + " on " + t.name + ": user " + text(s.user.from) + " group " +
                      text(s.group.from) + " and " + std::to_string(s.groups.size()) + " groups";
    for (size_t i = 0; i < s.groups.size() && i < 40; ++i)
        out += (i == 0 ? " (" : " ") + text(s.groups[i].from);
    return out + (s.groups.empty() ? "" : s.groups.size() > 40 ? " ...)" : ")");
}

void account(Kind kind, const Target &t, const Set &s, core_status_t status, std::string wrong)
{
    Stats &st = run.stats;
    ++st.ops[kind];
    if (wrong.empty() && status != CORE_OK)
        wrong = judge_failure(s, t.windows, status);
    if (wrong.empty() && status == CORE_OK && t.windows && s.user.refused)
        wrong = "a user the domain refuses was mapped";
    if (status == CORE_OK && wrong.empty())
        ++st.ok[kind];
    if (status != CORE_OK) {
        int slot = status - kStatusBase;
        if (slot < 0 || slot >= kStatusSlots) {
            slot = kStatusSlots;
            st.other_status = status;
        }
        ++st.failures[slot];
    }
    if (wrong.empty())
        return;
    std::lock_guard<std::mutex> lock(run.print_mutex);
    if (++run.wrong <= 10)
        std::printf("WRONG ANSWER: %s, status %d (%s): %s\n", describe(kind, t, s).c_str(), status,
                    core_strerror(status), wrong.c_str());
    std::fflush(stdout);
}

void one_operation(Worker &w, Rng &rng)
{
    auto kind = static_cast<Kind>(rng() % kKinds);
    int index = static_cast<int>(rng() % run.targets.size());
    Target t = run.targets[static_cast<size_t>(index)];
    t.name = some_case(t.name, rng);
    w.kind = kind;
    w.target = index;
    Set s = kind == kToLocal ? remote_set(run.pools, rng)
                             : local_set(run.pools, rng, kind == kWhole ? kMostWholeGroups : IDKIT_MAX_GROUPS);
    core_status_t status = CORE_OK;
    std::string wrong = map(kind, w, s, t, &status);
    account(kind, t, s, status, wrong);
}

void wait_phase(int phase)
{
    while (run.phase.load() < phase)
        pause_ms(10);
}

void work(int index)
{
    Worker &w = run.workers[index];
    Rng rng(run.options.seed + 1 + static_cast<uint64_t>(index));
    for (int i = 0; i < kWarmOps; ++i)
        one_operation(w, rng);
    ++run.arrived;
    wait_phase(kLoad);
    while (run.phase.load() == kLoad)
        one_operation(w, rng);
    ++run.arrived;
    wait_phase(kDone);
}

// --- the warm-up ------------------------------------------------------------

// A set the warm-up needs answered: tried a few times, since nothing fails
// yet.  Its answer comes from a server.
bool must_map(Kind kind, const Target &t, Set s)
{
    Worker scratch;
    s.remembered = false;
    for (int attempt = 0; attempt < 3; ++attempt) {
        core_status_t status = CORE_OK;
        std::string wrong = map(kind, scratch, s, t, &status);
        if (status == CORE_OK || !wrong.empty()) {
            account(kind, t, s, status, wrong);
            return wrong.empty();
        }
    }
    std::printf("warm-up: %s cannot be mapped\n", describe(kind, t, s).c_str());
    return false;
}

// Sets that carry every SID of the pools, each user with a slice of the
// groups, so that every slice is sent at least once.
bool map_pools(Kind kind, const Target &t, const std::vector<Mapping> &users, const std::vector<Mapping> &groups)
{
    size_t slices = (groups.size() + IDKIT_MAX_GROUPS - 1) / IDKIT_MAX_GROUPS;
    for (size_t i = 0; i < std::max(users.size(), slices); ++i) {
        Set s;
        s.user = users[i % users.size()];
        if (s.user.refused)  // refused sets are never remembered
            s.user = special(IDKIT_SID_NOBODY);
        s.group = groups[i % groups.size()];
        size_t first = (i % slices) * IDKIT_MAX_GROUPS;
        s.groups.assign(groups.begin() + static_cast<long>(first),
                        groups.begin() + static_cast<long>(std::min(groups.size(), first + IDKIT_MAX_GROUPS)));
        if (!must_map(kind, t, s))
            return false;
    }
    return true;
}

// Fills every cache table to its bound with SIDs nobody has.
bool fill_caches(const Target &t)
{
    for (Kind kind : {kWhole, kPosix, kToLocal}) {
        size_t slice = kind == kWhole ? 1024 : IDKIT_MAX_GROUPS;
        for (uint32_t first = 0; first < kCacheEntries; first += static_cast<uint32_t>(slice)) {
            Set s;
            s.user = s.group = special(IDKIT_SID_NOBODY);
            for (uint32_t id = kNoOneFrom + first; id < kNoOneFrom + first + slice; ++id)
                s.groups.push_back(kind == kToLocal ? no_domain_account(run.pools, id) : no_local_group(id));
            if (!must_map(kind, t, s))
                return false;
        }
    }
    return true;
}

bool warm_caches()
{
    const Pools &p = run.pools;
    for (const Target &t : run.targets) {
        if (!t.windows)
            continue;
        if (!map_pools(kToRemote, t, p.local_users, p.local_groups) ||
            !map_pools(kPosix, t, p.local_users, p.local_groups) ||
            !map_pools(kToLocal, t, p.remote_users, p.remote_groups))
            return false;
    }
    return fill_caches(run.targets.front());
}

void reset(Stats &st)
{
    for (int k = 0; k < kKinds; ++k)
        st.ops[k] = st.ok[k] = 0;
    for (auto &n : st.failures)
        n = 0;
    st.longest_ns = 0;
}

// --- measures ---------------------------------------------------------------

size_t open_descriptors()
{
    size_t n = 0;
    for ([[maybe_unused]] const auto &e : std::filesystem::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}

// Bytes allocated and not released: the sanitizer's count, or the C
// library's (in the heap and in mapped blocks), which main() makes exact.
size_t heap_in_use()
{
#if defined(SOAK_SANITIZER_HEAP)
    return __sanitizer_get_current_allocated_bytes();
#else
    struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
#endif
}

// mallinfo2 sees the main arena only, and counts the blocks a thread keeps
// for reuse (its tcache) as in use.  The soak runs itself again with one
// arena and no thread caches, which the C library takes only at start.
void exact_heap_count(char **argv)
{
#if !defined(SOAK_SANITIZER_HEAP)
    const char *tunables = "glibc.malloc.arena_max=1:glibc.malloc.tcache_count=0";
    const char *now = std::getenv("GLIBC_TUNABLES");
    if (now == nullptr || std::strcmp(now, tunables) != 0) {
        setenv("GLIBC_TUNABLES", tunables, 1);
        execv("/proc/self/exe", argv);
        std::perror("soak: cannot run itself again");
    }
    // The daemons keep the usual allocator.
    unsetenv("GLIBC_TUNABLES");
#else
    (void)argv;
#endif
}

// --- the controller ---------------------------------------------------------

// What the controller knows of a host's server.
struct ServerWatch {
    pid_t slowed = -1;  // the server made slow, until fast_at
    int64_t fast_at = 0;
    pid_t seen = -1;   // the server when last looked at
    pid_t ended = -1;  // the server the soak killed, or whose hubd it stopped, last
};

struct Controller {
    std::vector<Host> &hosts;
    std::vector<ServerWatch> watch;  // per host
    std::vector<std::string> problems;
    int killed = 0, restarted = 0, slowed_down = 0, sped_up = 0;
    int64_t started_ns = now_ns();
    Rng rng;
};

void log_fault(const Controller &c, const Host &h, const std::string &what)
{
    std::printf("  %6.1f s  %s: %s\n", double(now_ns() - c.started_ns) / 1e9, h.name.c_str(), what.c_str());
    std::fflush(stdout);
}

// A server must end only when the soak kills it or stops its hubd.  One
// that is no longer its hubd's child without that ended on its own (a
// crash); one that lives less than a look is not seen.
void watch_servers(Controller &c)
{
    for (size_t i = 0; i < c.hosts.size(); ++i) {
        ServerWatch &w = c.watch[i];
        pid_t now = server_of(c.hosts[i]);
        if (w.seen > 0 && now != w.seen && w.seen != w.ended)
            c.problems.push_back("credmap_server " + std::to_string(w.seen) + " of " + c.hosts[i].name +
                                 " ended on its own");
        w.seen = now;
    }
}

bool restart(Controller &c, Host &h, size_t index, const Setup &setup)
{
    c.watch[index].ended = server_of(h);
    int status = stop_hubd(h);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        c.problems.push_back("the hubd of " + h.name + " stopped with status " + std::to_string(status));
    // The port may be held for a moment by what the old hubd left.
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (start_hubd(h, setup)) {
            ++c.restarted;
            log_fault(c, h, "hubd restarted (pid " + std::to_string(h.hubd) + ")");
            return true;
        }
        pause_ms(100);
    }
    c.problems.push_back("the hubd of " + h.name + " cannot be started again on port " + std::to_string(h.port));
    return false;
}

// One fault: a server killed, a hubd restarted, or a server made slow.
bool fault(Controller &c, const Setup &setup)
{
    size_t windows = std::count_if(c.hosts.begin(), c.hosts.end(), [](const Host &h) { return h.windows; });
    unsigned what = c.rng() % 3;
    // The Windows hosts come first.
    size_t index = c.rng() % (what == 1 ? c.hosts.size() : windows);
    Host &h = c.hosts[index];
    if (what == 1)
        return restart(c, h, index, setup);
    pid_t server = server_of(h);
    if (server <= 0)
        return true;
    ServerWatch &w = c.watch[index];
    if (what == 0) {
        w.ended = server;
        if (kill(server, SIGKILL) == 0) {
            ++c.killed;
            log_fault(c, h, "credmap_server " + std::to_string(server) + " killed");
        }
    } else if (w.slowed != server && handles(server, SIGUSR1)) {  // one just started would die of it
        kill(server, SIGUSR1);
        w.slowed = server;
        w.fast_at = now_ns() + std::uniform_int_distribution<int64_t>(2000000000, 8000000000)(c.rng);
        ++c.slowed_down;
        log_fault(c, h, "credmap_server " + std::to_string(server) + " slow");
    }
    return true;
}

// A slow server is made fast again a few seconds later (unless it is gone).
void speed_up(Controller &c)
{
    for (size_t i = 0; i < c.hosts.size(); ++i) {
        ServerWatch &w = c.watch[i];
        if (w.slowed <= 0 || now_ns() < w.fast_at)
            continue;
        if (server_of(c.hosts[i]) == w.slowed && kill(w.slowed, SIGUSR2) == 0) {
            ++c.sped_up;
            log_fault(c, c.hosts[i], "credmap_server " + std::to_string(w.slowed) + " fast again");
        }
        w.slowed = -1;
    }
}

// A call in flight for longer than kHangSeconds, described, or "".
std::string hung()
{
    int64_t now = now_ns();
    for (int i = 0; i < run.options.threads; ++i) {
        int64_t since = run.workers[i].since_ns.load();
        if (since != 0 && now - since > int64_t(kHangSeconds) * 1000000000) {
            return std::string(kKindNames[run.workers[i].kind.load()]) + " on " +
                   run.targets[static_cast<size_t>(run.workers[i].target.load())].name + " has run for " +
                   std::to_string((now - since) / 1000000000) + " s";
        }
    }
    return "";
}

// Ends a run whose threads cannot be joined: daemons stopped, files gone.
[[noreturn]] void abandon(Controller &c, const Setup &setup, const std::string &why)
{
    stop_all(c.hosts, &c.problems);
    std::filesystem::remove_all(setup.dir);
    for (const auto &p : c.problems)
        std::printf("FAILED: %s\n", p.c_str());
    std::printf("FAILED: %s\n", why.c_str());
    std::fflush(stdout);
    _exit(1);
}

// Waits until every worker has arrived `count` times in all, watching for
// calls that hang.
void wait_arrived(Controller &c, const Setup &setup, int count)
{
    while (run.arrived.load() < count) {
        std::string hang = hung();
        if (!hang.empty())
            abandon(c, setup, "a call hangs: " + hang);
        reap(c.hosts, &c.problems);
        pause_ms(50);
    }
}

void load(Controller &c, const Setup &setup)
{
    int64_t end = now_ns() + int64_t(run.options.seconds) * 1000000000;
    std::uniform_int_distribution<int64_t> interval(1000000000, 4000000000);
    int64_t next = now_ns() + interval(c.rng);
    while (now_ns() < end && !interrupted && run.wrong.load() == 0) {
        pause_ms(50);
        std::string hang = hung();
        if (!hang.empty())
            abandon(c, setup, "a call hangs: " + hang);
        reap(c.hosts, &c.problems);
        watch_servers(c);
        speed_up(c);
        if (now_ns() >= next) {
            if (!fault(c, setup))
                break;
            next = now_ns() + interval(c.rng);
        }
    }
    // Slow servers would keep the last calls long.
    for (auto &h : c.hosts) {
        pid_t server = server_of(h);
        if (server > 0 && handles(server, SIGUSR2))
            kill(server, SIGUSR2);
    }
}

// --- set-up and report ------------------------------------------------------

bool parse(int argc, char **argv, Options *o)
{
    o->seed = std::random_device{}();
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help") {
            std::printf("usage: soak [--seconds N (60)] [--threads N (8)] [--seed N]\n");
            std::exit(0);
        }
        if (i + 1 >= argc || (a != "--seconds" && a != "--threads" && a != "--seed"))
            return std::fprintf(stderr, "soak: bad argument %s (see --help)\n", a.c_str()), false;
        unsigned long long v = std::strtoull(argv[++i], nullptr, 10);
        if (a == "--seed")
            o->seed = v;
        else
            (a == "--seconds" ? o->seconds : o->threads) = static_cast<int>(std::min(v, 100000ull));
    }
    return o->seconds > 0 && o->threads > 0;
}

// The local side of some of the sample domain's accounts, in a private view
// of the account files: alice, quincy in team001..team500 and engineering,
// mallory (whom the domain refuses), and groups lab001..lab500, which the
// domain does not have.
bool mirror_accounts(std::string *why)
{
    if (geteuid() != 0)
        return *why = "not run as root", false;
    std::string passwd = "alice:x:41104:100:Alice Liddell:/home/alice:/bin/sh\n"
                         "mallory:x:41114:100:Mallory:/home/mallory:/bin/sh\n",
                group;
    credmap_tool::quincy_accounts(&passwd, &group);
    for (int i = 1; i <= 500; ++i) {
        char line[32];
        std::snprintf(line, sizeof line, "lab%03d:x:%d:\n", i, 50000 + i);
        group += line;
    }
    return credmap_tool::add_local_accounts(passwd, group, why);
}

void count_message(int, const char *, const char *, void *)
{
    ++messages;
}

void on_signal(int)
{
    interrupted = 1;
}

struct Level {
    size_t descriptors, heap;
};

Level measure()
{
    return Level{open_descriptors(), heap_in_use()};
}

bool report(const Controller &c, double seconds, const Level &start, const Level &end)
{
    const Stats &st = run.stats;
    size_t tolerance = size_t(run.options.threads) * kHeapPerThread;
    uint64_t total = 0;
    for (const auto &n : st.ops)
        total += n;
    std::printf("\noperations: %llu in %.1f s, %.0f per second\n", (unsigned long long)total, seconds,
                double(total) / seconds);
    for (int k = 0; k < kKinds; ++k)
        std::printf("  %-18s %9llu  succeeded %9llu\n", kKindNames[k], (unsigned long long)st.ops[k].load(),
                    (unsigned long long)st.ok[k].load());
    std::printf("failures by status:\n");
    for (int slot = 0; slot <= kStatusSlots; ++slot) {
        if (st.failures[slot] == 0)
            continue;
        core_status_t status = slot < kStatusSlots ? kStatusBase + slot : st.other_status.load();
        std::printf("  %5d  %-50s %9llu\n", status, core_strerror(status),
                    (unsigned long long)st.failures[slot].load());
    }
    if (st.failures[CORE_E_CREDS_REFUSED - kStatusBase] != 0)
        std::printf("  (1063: requests for Mallory, whom the directory refuses; any other would be wrong)\n");
    std::printf("wrong answers: %llu\n", (unsigned long long)run.wrong.load());
    std::printf("longest call: %.3f s (%s on %s)\n", double(st.longest_ns.load()) / 1e9,
                kKindNames[st.longest_kind.load()],
                run.targets[static_cast<size_t>(st.longest_target.load())].name.c_str());
    std::printf("faults: %d servers killed, %d hubds restarted, %d servers made slow, %d fast again\n", c.killed,
                c.restarted, c.slowed_down, c.sped_up);
    std::printf("library messages: %llu\n", (unsigned long long)messages.load());
    std::printf("open descriptors: %zu at the start, %zu at the end\n", start.descriptors, end.descriptors);
    std::printf("heap in use (%s): %zu bytes at the start, %zu at the end (%+lld; tolerance %zu)\n",
#if defined(SOAK_SANITIZER_HEAP)
                "the sanitizer's allocator",
#else
                "mallinfo2",
#endif
                start.heap, end.heap, (long long)end.heap - (long long)start.heap, tolerance);
    bool ok = run.wrong == 0 && start.descriptors == end.descriptors && end.heap <= start.heap + tolerance;
    if (start.descriptors != end.descriptors)
        std::printf("FAILED: descriptors did not return to their start level\n");
    if (end.heap > start.heap + tolerance)
        std::printf("FAILED: the heap did not return to its start level\n");
    return ok;
}

void prepare_process()
{
    setenv("VELMO_FXTAB_MAX_ENTRIES", std::to_string(kCacheEntries).c_str(), 1);
    // Servers whose hubd is restarted become children of the soak, to be
    // reaped and, at the end, stopped.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        sigaction(s, &sa, nullptr);
    // A reader that goes away must not end the run before it cleans up.
    signal(SIGPIPE, SIG_IGN);
}

// Stops the daemons, removes the run's files, reports; true when it passed.
bool finish(Controller &c, const Setup &setup, double seconds, const Level &start, const Level &end)
{
    int left = stop_all(c.hosts, &c.problems);
    for (const auto &line : sanitizer_reports(c.hosts, setup))
        c.problems.push_back(line);
    std::filesystem::remove_all(setup.dir);
    bool ok = report(c, seconds, start, end);
    std::printf("daemons that had to be killed at the end: %d\n", left);
    for (const auto &p : c.problems)
        std::printf("FAILED: %s\n", p.c_str());
    if (interrupted)
        std::printf("FAILED: interrupted\n");
    ok = ok && left == 0 && c.problems.empty() && !interrupted;
    std::printf("%s\n", ok ? "PASSED" : "FAILED");
    return ok;
}

}  // namespace

int main(int argc, char **argv)
{
    exact_heap_count(argv);
    Options &o = run.options;
    if (!parse(argc, argv, &o))
        return 2;
    prepare_process();
    std::string why;
    bool mirrored = mirror_accounts(&why);
    std::printf("soak: %d s, %d threads, seed %llu\n", o.seconds, o.threads, (unsigned long long)o.seed);
    std::printf("local accounts: %s\n", mirrored ? "the machine's, with the sample domain's mirrored (alice, quincy "
                                                   "in 501 groups, mallory, lab001..lab500)"
                                                 : ("the machine's standard accounts only (" + why + ")").c_str());
    if (!make_pools(VELMO_SOAK_ACCOUNTS, &run.pools, &why)) {
        std::printf("FAILED: %s\n", why.c_str());
        return 1;
    }
    char dir[] = "/tmp/velmo-soak-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        std::perror("FAILED: a folder in /tmp");
        return 1;
    }
    Setup setup{VELMO_SOAK_HUBD, VELMO_SOAK_SERVER, VELMO_SOAK_ACCOUNTS, dir};
    std::vector<Host> hosts;
    for (const char *name : {"winhost1", "winhost2", "winhost3", "unixhost"})
        hosts.push_back(Host{name, "127.0.57." + std::to_string(hosts.size() + 1), hosts.size() < 3});
    Controller c{hosts, std::vector<ServerWatch>(hosts.size()), {}, 0, 0, 0, 0, now_ns(), Rng(o.seed)};
    for (auto &h : hosts) {
        if (!start_hubd(h, setup))
            abandon(c, setup, "the hubd of " + h.name + " does not start");
        run.targets.push_back(Target{h.name, h.windows});
    }
    write_hosts_file(setup.dir + "/hosts", hosts);
    setenv("VELMO_HOSTS", (setup.dir + "/hosts").c_str(), 1);
    vox_set_sink(count_message, nullptr);
    std::printf("pools: %zu local users, %zu local groups, %zu domain users, %zu domain groups\n",
                run.pools.local_users.size(), run.pools.local_groups.size(), run.pools.remote_users.size(),
                run.pools.remote_groups.size());
    std::fflush(stdout);

    if (!warm_caches())
        abandon(c, setup, "the warm-up failed");
    run.workers = std::make_unique<Worker[]>(static_cast<size_t>(o.threads));
    for (int i = 0; i < o.threads; ++i)
        run.workers[i].thread = std::thread(work, i);
    wait_arrived(c, setup, o.threads);
    reset(run.stats);
    Level start = measure();
    std::printf("warm: caches full, %zu descriptors, %zu bytes of heap\nfaults:\n", start.descriptors, start.heap);
    std::fflush(stdout);

    int64_t began = now_ns();
    c.started_ns = began;
    run.phase = kLoad;
    load(c, setup);
    run.phase = kDrain;
    wait_arrived(c, setup, 2 * o.threads);
    double seconds = double(now_ns() - began) / 1e9;
    Level end = measure();
    run.phase = kDone;
    for (int i = 0; i < o.threads; ++i)
        run.workers[i].thread.join();

    return finish(c, setup, seconds, start, end) ? 0 : 1;
}
