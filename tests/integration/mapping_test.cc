// Mapping credentials between this host and simulated Windows and UNIX hosts
// in every form, host classification and the caches' lifetime.  Local
// accounts mirror some of the sample domain's.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "credmap_cache.h"
#include "credmap_mapping.h"
#include "messages.h"
#include "sids.h"
#include "sim_host.h"

namespace {

using namespace sim;

constexpr unsigned long kProgram = 0x20005a51, kVersion = 3;
const std::string kLong65 = "v" + std::string(60, 'x') + ".net", kLong66 = "w" + std::string(61, 'x') + ".net";

// One set of hosts for the whole file, stopped at exit.
struct Hosts {
    bool mirrored = mirror_accounts();
    Network net;
    const Host &win = net.add("winhost"), &bare = net.add("bare-windows", os("Windows")), &gone = net.add("gone"),
               &nont = net.add("nont", server_args({"--no-nt"})),
               &fewer = net.add("fewer", server_args({"--answer-groups", "1"})),
               &lowercase = net.add("lowercase", os("windows 10")), &unix_host = net.add("unixhost", os("Linux")),
               &no_os = net.add("no-os", os("")), &long65 = net.add(kLong65), &long66 = net.add(kLong66),
               &noserver = net.add("noserver", no_server()),
               &liar = net.add("liar", server_args({"--too-many-groups"})),
               &refuser = net.add("refuser", server_args({"--refuse", "root"})),
               &denier = net.add("denier", server_args({"--refuse", "Quincy"})), &quiet = net.add("quiet", [] {
                   HostOptions o;
                   o.hostinfo = false;
                   return o;
               }());
    unsigned recorder = net.add_recorder(kProgram, kVersion);
    Hosts() { net.add_unreachable("laterhost"); }
};

Hosts &hosts()
{
    static Hosts h;
    return h;
}

constexpr unsigned kToLocal = CREDMAP_PROC_LOOKUP_SID_CREDENTIALS;
size_t asked(const Host &host, unsigned proc = CREDMAP_PROC_LOOKUP_STRING_CREDENTIALS_SID)
{
    return count(hosts().net.requests(host), proc);
}

std::vector<std::string> texts(const idkit_sid_credentials_t &set)
{
    std::vector<std::string> out = {text(set.user), text(set.group)};
    for (uint32_t i = 0; i < set.ngroups; ++i)
        out.push_back(text(set.groups[i]));
    return out;
}

// root, group root, groups root, daemon, bin: names the sample domain has.
const idkit_sid_credentials_t kRoot = make_set(uid_sid(0), gid_sid(0), {gid_sid(0), gid_sid(1), gid_sid(2)});
const std::string D = kDomain;

// A host's classification (result, known, nt) and cached flags (255: none).
std::string classify(const std::string &host)
{
    int known = 0, nt = 0, result = credmap_in_my_credentials_domain(host.c_str(), &known, &nt);
    credmap_host_key_t key = credmap_make_host_key(host.c_str());
    credmap_host_rec_t record{};
    record.flags = 0xff;
    credmap_hash_lookup(cmaphost_ht_h.load(), &key, &record, sizeof record);
    return std::to_string(result) + std::to_string(known) + std::to_string(nt) + " " + std::to_string(record.flags);
}

// Group SIDs of n gids from `first` on.
std::vector<idkit_sid_t> gids(uint32_t first, uint32_t n)
{
    std::vector<idkit_sid_t> out(n);
    for (uint32_t i = 0; i < n; ++i)
        out[i] = gid_sid(first + i);
    return out;
}

struct FileStatus {
    unsigned char head[CREDMAP_FSTAT_OWNER_OFFSET];
    idkit_sid_t owner, group;
    unsigned char tail[8];
};

credmap_cache_stats_t stats()
{
    credmap_cache_stats_t s{};
    s.size = sizeof s;
    EXPECT_EQ(credmap_cache_stats(&s), 0);
    return s;
}

TEST(LocalToRemote, WindowsHostThroughTheServerThenFromTheCache)
{
    const Host &win = hosts().win;
    idkit_sid_credentials_t local = kRoot, remote{};
    local.groups[local.ngroups++] = IDKIT_SID_DONTCARE;
    for (const char *host : {"winhost", "WINHOST"}) {  // the second time from the cache
        size_t before = asked(win);
        ASSERT_EQ(credmap_local_to_remote_sid(&local, host, &remote), 0);
        EXPECT_EQ(texts(remote),
                  (std::vector<std::string>{D + "1116", D + "1220", D + "1220", D + "1221", D + "1222", "dontcare"}));
        EXPECT_EQ(asked(win) == before, host[0] == 'W') << host;
    }
    FileStatus file{{}, uid_sid(0), gid_sid(2), {}};  // mapped in place
    ASSERT_EQ(credmap_fstat_db_local_to_remote("winhost", &file), 0);
    EXPECT_EQ(text(file.owner) + " " + text(file.group), D + "1116 " + D + "1222");
    // Answers of nobody (lp and disk, which the domain lacks) are cached too.
    idkit_sid_credentials_t lp = make_set(uid_sid(7), gid_sid(6), {});
    for (int i = 0; i < 2; ++i) {
        size_t before = asked(win);
        ASSERT_EQ(credmap_local_to_remote_sid(&lp, "winhost", &remote), 0);
        EXPECT_EQ(remote.user.kind, IDKIT_SID_KIND_NOBODY);
        EXPECT_EQ(asked(win) == before, i == 1);
    }

    // A flushed host is asked again, the others are not.
    ASSERT_EQ(credmap_local_to_remote_sid(&kRoot, "bare-windows", &remote), 0);
    size_t win_asked = asked(win), other_asked = asked(hosts().bare);
    uint64_t exchanges = stats().exchanges;
    ASSERT_EQ(credmap_cache_flush("WinHost"), 0);
    for (const char *host : {"winhost", "bare-windows"})
        ASSERT_EQ(credmap_local_to_remote_sid(&kRoot, host, &remote), 0);
    EXPECT_GT(asked(win), win_asked);
    EXPECT_EQ(asked(hosts().bare), other_asked);
    EXPECT_EQ(stats().exchanges, exchanges + (asked(win) - win_asked));
}

// A host whose broker gives no information but whose server answers: from then on its sets are taken as they are.
TEST(LocalToRemote, HostWithoutInformationWhoseServerAnswers)
{
    const Host &quiet = hosts().quiet;
    idkit_sid_credentials_t remote{};
    ASSERT_EQ(credmap_local_to_remote_sid(&kRoot, "quiet", &remote), 0);
    EXPECT_EQ(text(remote.user), D + "1116");
    size_t before = hosts().net.requests(quiet).size();
    ASSERT_EQ(credmap_local_to_remote_sid(&kRoot, "quiet", &remote), 0);
    EXPECT_EQ(texts(remote), texts(kRoot));
    EXPECT_EQ(hosts().net.requests(quiet).size(), before);
}

TEST(LocalToRemote, CheckedFormSortsTrimsAndReports)
{
    hosts();
    Messages messages;
    idkit_sid_credentials_t remote{},
        local = make_set(uid_sid(0), gid_sid(0), {IDKIT_SID_NOBODY, gid_sid(1), IDKIT_SID_DONTCARE, gid_sid(4)});
    ASSERT_EQ(credmap_local_to_remote_with_check(&local, "winhost", &remote), 0);
    EXPECT_EQ(texts(remote), (std::vector<std::string>{D + "1116", D + "1220", D + "1221", D + "1224"}));  // sorted
    EXPECT_TRUE(messages.all().empty());
    local.user = IDKIT_SID_DONTCARE;
    EXPECT_EQ(credmap_local_to_remote_with_check(&local, "winhost", &remote), CORE_E_FAILURE);
    EXPECT_EQ(messages.texts(),
              (std::vector<std::string>{"The given credentials are not recognized by the remote host.\n",
                                        "More information might be available in hubd or credmap logs on host: "
                                        "\"winhost\".\n"}));
}

// A server that answers fewer groups than it was asked: only those are cached.
TEST(Mapping, OnlyTheGroupsTheServerAnsweredAreCached)
{
    const Host &fewer = hosts().fewer;
    idkit_sid_credentials_t remote{}, local = make_set(uid_sid(1), gid_sid(1), {gid_sid(2), gid_sid(3)});
    ASSERT_EQ(credmap_local_to_remote_sid(&local, "fewer", &remote), 0);
    EXPECT_EQ(remote.ngroups, 1u);
    idkit_sid_t out;
    credmap_sid_key_t bin = credmap_make_sid_key("fewer", gid_sid(2)), sys = credmap_make_sid_key("fewer", gid_sid(3));
    EXPECT_TRUE(credmap_hash_lookup(cmapsidltor_ht_h.load(), &bin, &out, sizeof out));
    EXPECT_FALSE(credmap_hash_lookup(cmapsidltor_ht_h.load(), &sys, &out, sizeof out));

    idkit_sid_credentials_t two = make_set(domain_sid(1116), domain_sid(1220), {domain_sid(1221), domain_sid(1222)});
    ASSERT_EQ(credmap_remote_to_local_sid(&two, "fewer", &local), 0);
    EXPECT_EQ(texts(local), (std::vector<std::string>{"S-1-22-1-0", "S-1-22-2-0", "S-1-22-2-1"}));
    size_t before = asked(fewer, kToLocal);
    for (uint32_t n : {2, 1}) {
        two.ngroups = n;
        ASSERT_EQ(credmap_remote_to_local_sid(&two, "fewer", &local), 0);
        EXPECT_EQ(asked(fewer, kToLocal), before + 1) << n;
    }
}

TEST(WholeMapping, UnreachableServerAndTooManyGroups)
{
    hosts();
    std::vector<idkit_sid_t> groups = gids(1, 20);
    idkit_whole_credentials_t local{uid_sid(0), gid_sid(0), 20, groups.data()}, remote{};
    EXPECT_EQ(credmap_local_to_remote_whole(&local, "noserver", &remote), HUBD_E_NOT_REGISTERED);
    EXPECT_EQ(remote.groups, nullptr);  // nothing to release
    // A reply claiming too many groups: the cache pass's array stays, don't-care SIDs repaired.
    groups[0] = IDKIT_SID_DONTCARE;
    local.ngroups = 1;
    EXPECT_EQ(credmap_local_to_remote_whole(&local, "liar", &remote), CORE_E_UNSUPPORTED);
    ASSERT_EQ(remote.ngroups, 1);
    EXPECT_EQ(remote.groups[0].kind, IDKIT_SID_KIND_DONTCARE);
    idkit_free_whole_credentials(&remote);
}

TEST(PosixIdentity, TheHostsIdsThenTheCache)
{
    const Host &win = hosts().win;
    // disk (6) is unknown to the domain, don't-care has no id: both left out.
    idkit_sid_credentials_t root =
        make_set(uid_sid(0), gid_sid(0), {gid_sid(2), gid_sid(6), IDKIT_SID_DONTCARE, gid_sid(1), gid_sid(0)});
    const std::vector<uint64_t> windows = {21116, 21220, 21220, 21221, 21222}, nobody(3, IDKIT_ID_NOBODY);
    struct {
        const char *host;
        core_status_t status;
        std::vector<uint64_t> ids;  // uid, gid, groups; none to compare when empty
    } cases[] = {
        {"winhost", 0, windows},
        {"localhost", 0, {0, 0, 2, 6, IDKIT_ID_NOBODY, 1, 0}},
        {"noserver", HUBD_E_NOT_REGISTERED, nobody},
        {"refuser", CORE_E_CREDS_REFUSED, {}},
        {"WinHost", 0, windows},  // from the cache, in another order
    };
    size_t before = 0;
    for (const auto &c : cases) {
        before = asked(win, CREDMAP_PROC_LOOKUP_STRING_CREDENTIALS);
        idkit_credentials_t out{};
        EXPECT_EQ(credmap_local_sid_to_remote_posix(&root, c.host, &out), c.status) << c.host;
        std::vector<uint64_t> ids = {out.uid, out.gid};
        ids.insert(ids.end(), out.groups, out.groups + std::max(out.ngroups, 0));
        if (c.host[0] == 'W')
            std::sort(ids.begin() + 2, ids.end());
        EXPECT_EQ(c.ids.empty() ? c.ids : ids, c.ids) << c.host;
    }
    EXPECT_EQ(asked(win, CREDMAP_PROC_LOOKUP_STRING_CREDENTIALS), before);
}

bool_t xdr_nothing(XDR *, void *)
{
    return TRUE;
}

// The line the recording server logged for a null call with `auth` ("" on failure).
std::string call_with(AUTH *auth)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(hosts().recorder));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int sock = RPC_ANYSOCK;
    CLIENT *clnt = clnttcp_create(&address, kProgram, kVersion, &sock, 0, 0);
    if (clnt == nullptr)
        return "";
    auth_destroy(clnt->cl_auth);
    clnt->cl_auth = auth;
    timeval timeout{5, 0};
    clnt_stat rc = clnt_call(clnt, NULLPROC, (xdrproc_t)xdr_nothing, nullptr, (xdrproc_t)xdr_nothing, nullptr, timeout);
    clnt->cl_auth = nullptr;
    clnt_destroy(clnt);
    auto lines = hosts().net.recorded();
    return rc == RPC_SUCCESS && !lines.empty() ? lines.back() : "";
}

TEST(Authentication, WhatTheServerReceives)
{
    if (!hosts().mirrored)
        GTEST_SKIP() << "a private view of the account files needs root";
    Messages messages;
    // quincy in 20 teams and 2 groups the domain lacks: the host's ids, sorted, the first 16.
    std::vector<idkit_sid_t> teams = gids(40001, 20);
    std::reverse(teams.begin(), teams.end());
    teams.insert(teams.begin() + 3, {gid_sid(50001), gid_sid(50002)});
    idkit_sid_credentials_t quincy = make_set(uid_sid(40000), gid_sid(100), teams);
    // Local ids in their order, the nobody group left out, the first 16.
    std::vector<idkit_sid_t> local_groups = gids(1, 18);
    local_groups.insert(local_groups.begin() + 1, IDKIT_SID_NOBODY);
    local_groups.insert(local_groups.begin() + 5, IDKIT_SID_NOBODY);
    idkit_sid_credentials_t local = make_set(uid_sid(1000), gid_sid(1000), local_groups);

    char machine[64];
    idkit_mk_authunix_machname(machine, sizeof machine);
    std::string m = "unix " + std::string(machine) + " ",
                local_ids = "1000 1000 1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16";
    struct {
        const char *host;
        const idkit_sid_credentials_t &set;
        std::string received;  // "" for no authentication at all
    } cases[] = {
        {"winhost", quincy,
         m + "21121 21225 22001,22002,22003,22004,22005,22006,22007,22008,22009,22010,22011,"
             "22012,22013,22014,22015,22016"},
        {"unixhost", local, m + local_ids},
        {nullptr, local, m + local_ids},
        {"noserver", quincy, m + "4294967294 4294967294 "},
        {"denier", quincy, ""},
    };
    for (const auto &c : cases) {
        AUTH *auth = credmap_auth_create(c.host, &c.set);
        EXPECT_EQ(auth == nullptr ? "" : call_with(auth), c.received) << (c.host ? c.host : "(none)");
        if (auth != nullptr)
            auth_destroy(auth);
    }
    auto texts = messages.texts();
    for (const char *text :
         {"Can't get credentials for use on host noserver; using \"nobody\"\n", "Credentials DENIED on host denier\n"})
        EXPECT_EQ(std::count(texts.begin(), texts.end(), text), 1) << text;
}

TEST(PreferenceMap, TheNamesAndSidsTheServiceKnows)
{
    idkit_sid_t user = uid_sid(0), group = gid_sid(0), groups[] = {gid_sid(424242), gid_sid(1)};
    for (int ngroups : {2, -1}) {
        credmap_pref_entry_t *map = nullptr;
        credmap_credentials_to_pref_map(&user, &group, ngroups, groups, &map);
        ASSERT_NE(map, nullptr);
        EXPECT_EQ(map[0].count, ngroups < 0 ? 1u : 3u);
        EXPECT_STREQ(map[0].name, "root");
        EXPECT_EQ(text(map[1].sid), "S-1-22-2-0");
        if (ngroups > 0) {
            EXPECT_EQ(map[2].name, nullptr);
            EXPECT_EQ(map[2].sid.kind, IDKIT_SID_KIND_NOBODY);
            EXPECT_STREQ(map[3].name, "daemon");
        }
        for (uint32_t i = 0; i <= map[0].count; ++i)
            free(map[i].name);
        free(map);
    }
}

TEST(HostClassification, ByTheOperatingSystemTheBrokerReports)
{
    credmap_ensure_init();
    hosts();
    const std::string mine = "110 2", nt = "011 1", unknown = "000 255";
    const std::pair<std::string, std::string> cases[] = {
        {"localhost", mine}, {"winhost", nt}, {"bare-windows", nt}, {"lowercase", mine},    {"unixhost", mine},
        {"no-os", mine},     {kLong65, nt},   {kLong66, unknown},   {"laterhost", unknown}, {"gone", nt}};
    for (const auto &[host, expected] : cases)
        EXPECT_EQ(classify(host), expected) << host;
    hosts().net.stop_hubd(hosts().gone);
    EXPECT_EQ(classify("GONE"), nt);  // from the cache, the broker gone
}

// A fresh process: nothing is kept before the caches are made, with the time-out.
TEST(CacheExpiry, EntriesOlderThanTheTimeAreAskedAgain)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto body = [] {
        setenv("VELMO_CREDMAP_TTL", "1", 1);
        bool ok;
        {
            Network net;
            const Host &win = net.add("winhost"), &other = net.add("otherhost");
            std::string first = classify("otherhost");
            net.stop_hubd(other);
            bool untabled = first == "011 255" && classify("otherhost") == "000 255" && init_done.load() == 0;
            idkit_sid_credentials_t remote{};
            auto mapped = [&] {
                credmap_local_to_remote_sid(&kRoot, "winhost", &remote);
                return count(net.requests(win), CREDMAP_PROC_LOOKUP_STRING_CREDENTIALS_SID);
            };
            size_t once = mapped(), twice = mapped();
            sleep(2);
            size_t later = mapped();
            credmap_cache_stats_t s = stats();
            ok = untabled && once > 0 && twice == once && later > once && s.ttl_seconds == 1 &&
                 s.tables[0].expired > 0 && s.tables[1].expired > 0 && text(remote.user) == D + "1116";
        }  // the daemons stop here
        std::_Exit(ok ? 0 : 1);
    };
    EXPECT_EXIT(body(), testing::ExitedWithCode(0), "");
}

TEST(RemoteToLocal, DomainNamesFindLocalAccounts)
{
    Hosts &h = hosts();
    if (!h.mirrored)
        GTEST_SKIP() << "a private view of the account files needs root";
    // The file-status form, first of the process, changes the two SIDs only; then from the cache.
    FileStatus original, expected;
    std::memset(&original, 0x5a, sizeof original);
    original.owner = domain_sid(1104);
    original.group = domain_sid(2001);
    expected = original;
    expected.owner = uid_sid(41104);
    expected.group = gid_sid(40001);
    size_t before = asked(h.win, kToLocal);
    for (FileStatus record : {original, original}) {
        ASSERT_EQ(credmap_fstat_db_remote_to_local("winhost", &record), 0);
        EXPECT_EQ(std::memcmp(&record, &expected, sizeof record), 0);
    }
    EXPECT_LE(asked(h.win, kToLocal), before + 1);

    // Names in another case, without a local account, nobody, don't-care; then from the cache.
    struct {
        idkit_sid_credentials_t remote;
        std::vector<std::string> local;
    } cases[] = {
        {make_set(domain_sid(1104), domain_sid(513),
                  {domain_sid(2007), domain_sid(1201), domain_sid(1203), IDKIT_SID_NOBODY, IDKIT_SID_DONTCARE}),
         {"S-1-22-1-41104", "nobody", "S-1-22-2-40007", "S-1-22-2-40600", "nobody", "nobody", "dontcare"}},
        {make_set(domain_sid(1105), IDKIT_SID_DONTCARE, {}), {"nobody", "dontcare"}},
    };
    for (const auto &c : cases) {
        for (const char *host : {"winhost", "WinHost"}) {
            before = asked(h.win, kToLocal);
            idkit_sid_credentials_t local;
            std::memset(&local, 0xa5, sizeof local);
            ASSERT_EQ(credmap_remote_to_local_sid(&c.remote, host, &local), 0);
            EXPECT_EQ(texts(local), c.local) << host;
        }
        EXPECT_EQ(asked(h.win, kToLocal), before);
    }

    // The prefix goes, a name not found is tried in lower case, "nobody" is no one.
    for (const char *name : {"KORVANTIS\\alice", "KORVANTIS/Alice", "ALICE"})
        EXPECT_EQ(credmap_getpwnam(name) ? credmap_getpwnam(name)->pw_uid : 0, 41104u) << name;
    for (const char *name : {"KORVANTIS\\", "", static_cast<const char *>(nullptr), "nobody", "a\\b\\alice", "Alice2"})
        EXPECT_EQ(credmap_getpwnam(name), nullptr) << (name ? name : "(null)");
    EXPECT_EQ(credmap_getpwnam("Nobody") ? credmap_getpwnam("Nobody")->pw_uid : 0, 65534u);
    struct group *gr = credmap_getgrnam("KORVANTIS\\Team042");
    EXPECT_EQ(gr != nullptr ? gr->gr_gid : 0, 40042u);
    EXPECT_EQ(credmap_getgrnam("Finance"), nullptr);
}

TEST(RemoteToLocal, WhatCannotBeMapped)
{
    Hosts &h = hosts();
    idkit_sid_t odd_user = domain_sid(1116);
    odd_user.kind = 4;
    idkit_sid_credentials_t nobody_set = make_set(IDKIT_SID_NOBODY, IDKIT_SID_NOBODY, {IDKIT_SID_NOBODY}),
                            odd = make_set(odd_user, domain_sid(513), {domain_sid(1201)}),
                            alice = make_set(domain_sid(1104), domain_sid(513), {domain_sid(1201)});
    size_t before = asked(h.win, kToLocal) + asked(h.nont, kToLocal);
    struct {
        const char *host;
        const idkit_sid_credentials_t &remote;
        core_status_t status;  // copied on 0, else the nobody set
    } cases[] = {
        {"winhost", odd, CORE_E_UNSUPPORTED},
        {"unixhost", odd, 0},
        {"localhost", alice, 0},
        {"nont", alice, CORE_E_NT_SID_UNSUPPORTED},
        {"noserver", alice, HUBD_E_NOT_REGISTERED},
    };
    for (const auto &c : cases) {
        idkit_sid_credentials_t local;
        std::memset(&local, 0xa5, sizeof local);
        EXPECT_EQ(credmap_remote_to_local_sid(&c.remote, c.host, &local), c.status) << c.host;
        EXPECT_EQ(texts(local), texts(c.status == 0 ? c.remote : nobody_set)) << c.host;
    }
    EXPECT_EQ(asked(h.win, kToLocal) + asked(h.nont, kToLocal), before);  // the refusals asked no one

    // A pair that cannot be mapped is left as it was.
    idkit_sid_t user = domain_sid(1104), group = domain_sid(513);
    EXPECT_EQ(credmap_sids_remote_to_local_pref("noserver", &user, &group), HUBD_E_NOT_REGISTERED);
    EXPECT_EQ(text(user) + " " + text(group), D + "1104 " + D + "513");
}

// A list converted for winhost (mode < 0: to the remote form), in its text form ("(none)" for no list); access
// lists and role maps have calls of the same shapes.
template<typename List, auto parse, auto to_remote, auto to_local, auto print, auto release>
std::string convert(core_status_t expected, const std::string &text, int mode)
{
    core_text_error_t error{};
    List in = nullptr, out = nullptr;
    EXPECT_EQ(parse(text.c_str(), &in, &error), 0) << error.message;
    EXPECT_EQ(mode < 0 ? to_remote("winhost", in, &out) : to_local("winhost", mode, in, &out), expected);
    char *printed = out != nullptr ? print(out) : nullptr;
    std::string result = printed != nullptr ? printed : "(none)";
    std::free(printed);
    release(in);
    release(out);
    return result;
}
constexpr auto converted = convert<core_sid_acl_t, core_sid_acl_from_text, credmap_sid_acl_local_to_remote,
                                   credmap_sid_acl_remote_to_local, core_sid_acl_to_text, core_sid_acl_free>;
constexpr auto converted_roles =
    convert<core_rolemap_acl_t, core_rolemap_acl_from_text, credmap_rolemap_local_to_remote,
            credmap_rolemap_remote_to_local, core_rolemap_acl_to_text, core_rolemap_acl_free>;

TEST(AccessLists, EachDirectionAndMode)
{
    hosts();
    Messages messages;
    // Entries the domain has, locally and remotely; remote ones without a local account.
    const std::string local = "user S-1-22-1-0 rwx flags=3\ngroup S-1-22-2-1 r-x\nother r\nkind 9 S-1-22-1-1 0x40\n",
                      remote =
                          "user " + D + "1116 rwx flags=3\ngroup " + D + "1221 r-x\nother r\nkind 9 S-1-22-1-1 0x40\n",
                      strangers = "user " + D + "1105 rw\ngroup " + D + "9999 r\n";
    struct {
        int mode;  // -1: local to remote
        std::string in;
        core_status_t status;
        std::string out;
        size_t messages;  // other than traces
    } cases[] = {
        {-1, local, 0, remote, 0},
        {CREDMAP_CONVERT_STRICT, remote, 0, local, 0},
        {-1, local + "user S-1-22-1-7 rw\n", CORE_E_FAILURE, "(none)", 2},  // lp, which the domain lacks
        {CREDMAP_CONVERT_STRICT, "user nobody r\n" + remote, CORE_E_FAILURE, "(none)", 2},
        {CREDMAP_CONVERT_DROP, remote + strangers, CORE_E_INCOMPLETE, local, 4},
        {CREDMAP_CONVERT_KEEP, remote + strangers, CORE_E_INCOMPLETE, local + strangers, 0},
    };
    for (const auto &c : cases) {
        messages.clear();
        EXPECT_EQ(converted(c.status, c.in, c.mode), c.out) << c.in;
        size_t shown = 0;
        for (const auto &m : messages.all())
            shown += m.severity != VOX_TRACE;
        EXPECT_EQ(shown, c.messages) << c.in;
    }
    // Tracing names each entry that could not be converted, and only those.
    messages.clear();
    vox_set_verbosity(2);
    vox_set_trace("credmap/clnt", 2);
    converted(CORE_E_INCOMPLETE, remote + strangers, CREDMAP_CONVERT_KEEP);
    std::vector<std::string> traced;
    for (const auto &t : messages.texts())
        if (t.rfind("can't convert", 0) == 0)
            traced.push_back(t);
    EXPECT_EQ(traced, (std::vector<std::string>{"can't convert remote user, got SID: nobody\n",
                                                "can't convert remote group, got SID: nobody\n"}));
}

// Role maps convert binding by binding; a binding left without entries goes.
TEST(RoleMaps, BindingsConvertedBothWaysAndEmptyOnesGone)
{
    hosts();
    Messages quiet;
    const std::string local = "role admins\n  user S-1-22-1-0 rwxdc\nrole readers\n  group S-1-22-2-1 r\n",
                      remote = "role admins\n  user " + D + "1116 rwxdc\nrole readers\n  group " + D + "1221 r\n",
                      stranger = "role guests\n  user " + D + "9999 r\n";
    EXPECT_EQ(converted_roles(0, local + "role empty\n", -1), remote);
    EXPECT_EQ(converted_roles(0, remote, CREDMAP_CONVERT_STRICT), local);
    EXPECT_EQ(converted_roles(CORE_E_INCOMPLETE, remote + stranger, CREDMAP_CONVERT_DROP), local);
    EXPECT_EQ(converted_roles(CORE_E_FAILURE, remote + stranger, CREDMAP_CONVERT_STRICT), "(none)");
}

}  // namespace
