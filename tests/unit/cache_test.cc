// The mapping caches: keys, hash and key-equality functions, the table
// operations, the dump and the cache steps of the mappings.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "credmap_cache.h"
#include "credmap_mapping.h"
#include "host/exc.h"

namespace {

idkit_sid_t sid(const char *text)
{
    idkit_sid_t out{};
    EXPECT_EQ(idkit_sid_from_str(text, &out), 0) << text;
    return out;
}

std::string slurp(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Runs `body` in a fresh process (the library not yet initialised) with its
// standard output in a file, and returns what it printed.
template<typename Body>
std::string output_of_fresh_process(const char *tag, int exit_code, Body body)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto path = [tag](pid_t parent) { return "/tmp/velmo-cache-" + std::string(tag) + "-" + std::to_string(parent); };
    EXPECT_EXIT(
        {
            if (std::freopen(path(getppid()).c_str(), "w", stdout) == nullptr)
                std::_Exit(99);
            body();
            std::exit(exit_code);
        },
        testing::ExitedWithCode(exit_code), "");
    std::string out = slurp(path(getpid()));
    std::remove(path(getpid()).c_str());
    return out;
}

const char kBanner[] = "\n----------------------- Credmap Table Dump ------------------------------------\n";
const char kEmptyDump[] = "Same domain\n    Empty\n\n"
                          "Credmap SID loc->rmt\n    Empty\n\n"
                          "Credmap SID rmt->loc\n    Empty\n\n"
                          "Credmap l SID->Posix\n    Empty\n\n"
                          "Credmap r Posix->SID\n    Empty\n\n";

TEST(CacheKeys, HashesAndLayouts)
{
    EXPECT_EQ(credmap_hash_lowercase_hostname("abc"), 1626918u);
    EXPECT_EQ(credmap_hash_lowercase_hostname(""), 0u);
    // The field is lower-cased, so letter case makes no difference.
    credmap_host_key_t a = credmap_make_host_key("WinHost.Example"), b = credmap_make_host_key("winhost.example");
    EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0);
    EXPECT_EQ(credmap_keycmp_lowercase_hostname(&a, &b), 1);

    // uid 7 and gid 7: different keys with the same hash.
    credmap_id_key_t uid = credmap_make_key("h", 7, false), gid = credmap_make_key("h", 7, true);
    EXPECT_EQ(credmap_hash_id(&uid), credmap_hash_id(&gid));
    EXPECT_EQ(credmap_keycmp_id(&uid, &gid), 0);
    EXPECT_EQ(credmap_hash_id(&uid), credmap_hash_lowercase_hostname("h") + 7);
    const auto *bytes = reinterpret_cast<const uint8_t *>(&gid);
    EXPECT_EQ(bytes[80], 1);
    for (int i : {66, 67, 68, 69, 70, 71, 81, 87})
        EXPECT_EQ(bytes[i], 0) << i;

    idkit_sid_t s = sid("S-1-22-1-1000");
    credmap_sid_key_t k1 = credmap_make_sid_key("HOST", s), k2 = credmap_make_sid_key("host", s);
    EXPECT_EQ(credmap_hash_sid(&k1), credmap_hash_lowercase_hostname("host") + idkit_sid_hash_fn(&s));
    EXPECT_EQ(credmap_keycmp_sid(&k1, &k2), 1);
    k2.sid = sid("S-1-22-1-1001");
    EXPECT_EQ(credmap_keycmp_sid(&k1, &k2), 0);

    // A name longer than the field is cut to 65 characters, NUL-terminated.
    std::string long_name(80, 'X');
    credmap_host_key_t cut = credmap_make_host_key(long_name.c_str());
    EXPECT_EQ(std::string(cut.host), std::string(65, 'x'));
    EXPECT_TRUE(credmap_host_too_long(std::string(66, 'a').c_str()));
    EXPECT_FALSE(credmap_host_too_long(std::string(65, 'a').c_str()));

    credmap_name_key_t n1{}, n2{};
    std::strcpy(n1.name, "KORVANTIS\\Alice");
    std::strcpy(n2.name, "korvantis\\alice");
    EXPECT_EQ(credmap_hash_name(&n1), credmap_hash_name(&n2));
    EXPECT_EQ(credmap_keycmp_name(&n1, &n2), 1);
    n2.flag = 1;
    EXPECT_EQ(credmap_keycmp_name(&n1, &n2), 0);
}

TEST(CacheTables, EnterLookupAndScan)
{
    credmap_ensure_init();
    fxtab_t sids = cmapsidltor_ht_h.load();
    ASSERT_NE(sids, nullptr);
    EXPECT_EQ(credmap_get_size(sids, true), 34u);
    EXPECT_EQ(credmap_get_size(sids, false), 100u);
    EXPECT_EQ(credmap_get_size(cmapridtolsid_ht_h.load(), false), 88u);
    EXPECT_EQ(credmap_get_size(reinterpret_cast<fxtab_t>(1), true), 0u);

    credmap_sid_key_t key = credmap_make_sid_key("tables-host", sid("S-1-22-1-5"));
    idkit_sid_t first = sid("S-1-5-21-1-2-3-500"), second = sid("S-1-5-21-1-2-3-501"), out{};
    EXPECT_FALSE(credmap_hash_lookup(sids, &key, &out, sizeof out));
    EXPECT_EQ(out.length, 0);  // a miss leaves the output alone
    EXPECT_TRUE(credmap_hash_enter(sids, &key, &first, sizeof first));
    EXPECT_TRUE(credmap_hash_enter(sids, &key, &second, sizeof second));
    ASSERT_TRUE(credmap_hash_lookup(sids, &key, &out, sizeof out));
    EXPECT_TRUE(idkit_sid_eq(&out, &second));  // the last writer wins
    uint8_t wide[64];
    std::memset(wide, 0xee, sizeof wide);
    ASSERT_TRUE(credmap_hash_lookup(sids, &key, wide, sizeof wide));
    EXPECT_EQ(wide[34], 0xee);  // no more than the table's data size is copied

    // The name tables are never made: nothing enters, nothing is found.
    EXPECT_FALSE(credmap_hash_enter(cmapnametosid_ht_h.load(), &key, &first, sizeof first));
    EXPECT_FALSE(credmap_hash_lookup(cmapsidrtolname_ht_h.load(), &key, &out, sizeof out));

    uint64_t cursor = 0;
    credmap_sid_key_t k{};
    idkit_sid_t d{};
    int entries = 0;
    {
        CredmapLock lock;
        while (credmap_hash_next(sids, &cursor, &k, sizeof k, &d, sizeof d))
            entries += credmap_keycmp_sid(&k, &key);
        cursor = 0;
        EXPECT_FALSE(credmap_hash_next(cmapridtolsid_ht_h.load(), &cursor, &k, sizeof k, &d, sizeof d));
    }
    EXPECT_EQ(entries, 1);
}

// Fills the SID table of a fresh process to its cap: 0 when every entry up
// to the cap was taken and is found, and every one past it refused.
int fill_to_the_cap(size_t cap)
{
    credmap_ensure_init();
    fxtab_t sids = cmapsidltor_ht_h.load();
    idkit_sid_t data = sid("S-1-5-21-1-2-3-500"), out{};
    size_t taken = 0;
    for (size_t i = 0; i < cap + 3; ++i) {
        credmap_sid_key_t key = credmap_make_sid_key("full-host", sid(("S-1-22-1-" + std::to_string(i)).c_str()));
        bool entered = credmap_hash_enter(sids, &key, &data, sizeof data);
        if (entered != (i < cap) || entered != credmap_hash_lookup(sids, &key, &out, sizeof out))
            return 1;
        taken += entered;
    }
    return taken == cap ? 0 : 2;
}

TEST(CacheTablesDeathTest, FullTableRefusesEntriesAndKeepsItsOwn)
{
    // The cap is read once per process: the check runs in a fresh one.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    setenv("VELMO_FXTAB_MAX_ENTRIES", "5", 1);
    EXPECT_EXIT(std::exit(fill_to_the_cap(5)), ::testing::ExitedWithCode(0), "");
    unsetenv("VELMO_FXTAB_MAX_ENTRIES");
}

// The local look-ups answer in the calling thread's one record, which the
// next look-up of that thread overwrites and no other thread touches.
TEST(LocalLookups, OneRecordPerThreadThatTheNextLookupReplaces)
{
    struct group *first = credmap_getgrnam("root");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->gr_gid, 0u);
    EXPECT_EQ(credmap_getgrnam("daemon"), first);
    EXPECT_STREQ(first->gr_name, "daemon");
    std::thread([first] {
        struct group *other = credmap_getgrnam("root");
        EXPECT_NE(other, first);
        EXPECT_STREQ(other != nullptr ? other->gr_name : "", "root");
    }).join();
    EXPECT_STREQ(first->gr_name, "daemon");
}

TEST(CacheTablesDeathTest, DataLongerThanTheTableStopsTheProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            credmap_ensure_init();
            credmap_host_key_t key = credmap_make_host_key("h");
            char data[17] = {};
            credmap_hash_enter(cmaphost_ht_h.load(), &key, data, sizeof data);
        },
        "data_len <= credmap_get_size\\(hash_h, TRUE\\).*lib/credmap/client/credmap.*396");
}

TEST(CacheHelpers, SortOrderAndDomainStripping)
{
    std::vector<idkit_sid_t> v = {IDKIT_SID_NOBODY,        sid("S-1-22-2-5"), IDKIT_SID_DONTCARE,
                                  sid("S-1-5-21-1-2-3-4"), sid("S-1-22-2-4"), sid("S-1-5-21-1-2-3-4-5")};
    std::qsort(v.data(), v.size(), sizeof(idkit_sid_t), sid_compare);
    char t[IDKIT_SID_TEXT_MAX];
    std::vector<std::string> order;
    for (const auto &s : v)
        order.push_back(idkit_sid_to_str(&s, t));
    // NT kind first, longer before shorter, then real, don't-care, nobody.
    EXPECT_EQ(order, (std::vector<std::string>{"S-1-5-21-1-2-3-4-5", "S-1-5-21-1-2-3-4", "S-1-22-2-4", "S-1-22-2-5",
                                               "dontcare", "nobody"}));
    idkit_sid_t same = v[0];
    EXPECT_EQ(sid_compare(&v[0], &same), 0);

    uint64_t ids[] = {7, 4294967294u, 0, 7};
    std::qsort(ids, 4, sizeof ids[0], gid_compare);
    EXPECT_EQ(ids[0], 0u);
    EXPECT_EQ(ids[3], 4294967294u);

    struct {
        const char *in;
        const char *out;
    } cases[] = {{"KORVANTIS\\alice", "alice"},
                 {"dom/bob", "bob"},
                 {"carol", "carol"},
                 {"\\dave", "dave"},
                 {"a\\b/c", "b/c"},
                 {"dom\\", nullptr},
                 {"/", nullptr},
                 {"", nullptr},
                 {nullptr, nullptr}};
    for (const auto &c : cases) {
        char *got = credmap_strip_domain(c.in);
        if (c.out == nullptr)
            EXPECT_EQ(got, nullptr) << (c.in ? c.in : "(null)");
        else
            EXPECT_STREQ(got, c.out);
        std::free(got);
    }
}

TEST(CacheDump, EmptyTablesBeforeAnyMapping)
{
    std::string out = output_of_fresh_process("empty", 0, [] {
        unsetenv("KORVANTIS_CREDMAP_DUMP");
        credmap_dump_cache();
    });
    EXPECT_EQ(out, std::string(kBanner) + kEmptyDump);
}

TEST(CacheDump, EntriesAsTheyAreStored)
{
    std::string out = output_of_fresh_process("filled", 0, [] {
        credmap_ensure_init();
        credmap_host_key_t host = credmap_make_host_key("WinHost");
        credmap_host_rec_t nt{CREDMAP_HOST_NT, {}, 0x112345678ll};
        credmap_hash_enter(cmaphost_ht_h.load(), &host, &nt, sizeof nt);
        idkit_sid_t local = sid("S-1-22-1-1000"), remote = sid("S-1-5-21-1-2-3-1104");
        credmap_enter_sid("WinHost", &local, &remote, 1);
        credmap_enter_sid("WinHost", &local, &remote, 0);
        credmap_sid_key_t key = credmap_make_sid_key("WinHost", remote);
        credmap_id_rec_t uid{21104, 0, {}};
        credmap_hash_enter(cmaplsidtorid_ht_h.load(), &key, &uid, sizeof uid);
        key = credmap_make_sid_key("WinHost", local);
        credmap_id_rec_t gid{IDKIT_ID_NOBODY, 1, {}};
        credmap_hash_enter(cmaplsidtorid_ht_h.load(), &key, &gid, sizeof gid);
        credmap_dump_cache();
    });
    EXPECT_EQ(out, std::string(kBanner) +
                       "Same domain\n    winhost is NT and is NOT in my domain (0x12345678)\n\n"
                       "Credmap SID loc->rmt\n    S-1-22-1-1000 -> winhost:S-1-5-21-1-2-3-1104\n\n"
                       "Credmap SID rmt->loc\n    winhost:S-1-5-21-1-2-3-1104 -> S-1-22-1-1000\n\n"
                       "Credmap l SID->Posix\n    S-1-5-21-1-2-3-1104 -> winhost:UID-21104 (0x5270)\n"
                       "    S-1-22-1-1000 -> winhost:GID--2 (0xfffffffe)\n\n"
                       "Credmap r Posix->SID\n    Empty\n\n");
}

void earlier_exit_routine(int status)
{
    std::printf("earlier routine %d\n", status);
}

TEST(CacheDump, AtExitWhenAskedForThenTheEarlierRoutine)
{
    std::string out = output_of_fresh_process("exit", 3, [] {
        exc_set_exit(earlier_exit_routine);
        setenv("KORVANTIS_CREDMAP_DUMP", "yes", 1);
        credmap_dump_cache();
    });
    std::string dump = std::string(kBanner) + kEmptyDump;
    EXPECT_EQ(out, dump + dump + "earlier routine 3\n");
}

TEST(CacheDump, NotAtExitWhenUnsetEmptyOrSetLate)
{
    for (const char *value : {static_cast<const char *>(nullptr), ""}) {
        std::string out = output_of_fresh_process("quiet", 0, [value] {
            if (value == nullptr)
                unsetenv("KORVANTIS_CREDMAP_DUMP");
            else
                setenv("KORVANTIS_CREDMAP_DUMP", value, 1);
            credmap_ensure_init();
        });
        EXPECT_EQ(out, "");
    }
    std::string late = output_of_fresh_process("late", 0, [] {
        unsetenv("KORVANTIS_CREDMAP_DUMP");
        credmap_ensure_init();
        setenv("KORVANTIS_CREDMAP_DUMP", "1", 1);
        credmap_ensure_init();
    });
    EXPECT_EQ(late, "");
}

TEST(CacheSteps, SidSetsThroughTheTables)
{
    credmap_ensure_init();
    const char *host = "steps-host";
    idkit_sid_t user = sid("S-1-22-1-10"), group = sid("S-1-22-2-10"), g1 = sid("S-1-22-2-11"), g2 = sid("S-1-22-2-12");
    idkit_sid_t r_user = sid("S-1-5-21-9-9-9-1010"), r_group = sid("S-1-5-21-9-9-9-2010"),
                r_g1 = sid("S-1-5-21-9-9-9-2011");
    credmap_enter_sid(host, &user, &r_user, 1);
    credmap_enter_sid(host, &group, &r_group, 1);
    credmap_enter_sid(host, &g1, &r_g1, 1);

    idkit_sid_t groups[3] = {g1, g2, IDKIT_SID_DONTCARE};
    idkit_sid_t mu{}, mg{}, mgroups[3] = {};
    uint32_t n = 0;
    // One group uncached: not answered, but every other part is filled.
    EXPECT_EQ(credmap_map_sid_parts_via_cache(host, 1, 1, &user, &group, 3, groups, &mu, &mg, &n, mgroups), 0);
    EXPECT_TRUE(idkit_sid_eq(&mu, &r_user));
    EXPECT_TRUE(idkit_sid_eq(&mg, &r_group));
    EXPECT_TRUE(idkit_sid_eq(&mgroups[0], &r_g1));
    EXPECT_EQ(mgroups[1].length, 0);
    EXPECT_EQ(mgroups[2].kind, IDKIT_SID_KIND_DONTCARE);
    EXPECT_EQ(n, 3u);

    // A nobody user with everything else cached is answered whole.
    idkit_sid_t nobody = IDKIT_SID_NOBODY;
    EXPECT_EQ(credmap_map_sid_parts_via_cache("STEPS-HOST", 1, 1, &nobody, &group, 1, groups, &mu, &mg, &n, mgroups),
              1);
    EXPECT_EQ(mu.kind, IDKIT_SID_KIND_NOBODY);
    // The other direction has nothing for these.
    EXPECT_EQ(credmap_map_sid_parts_via_cache(host, 0, 1, &r_user, &r_group, 0, groups, &mu, &mg, &n, mgroups), 0);
    // Only the parts that hold don't-care are mapped when not mapping all.
    mu = IDKIT_SID_DONTCARE;
    mg = sid("S-1-22-2-99");
    EXPECT_EQ(credmap_map_sid_parts_via_cache(host, 1, 0, &user, &group, 0, groups, &mu, &mg, &n, mgroups), 1);
    EXPECT_TRUE(idkit_sid_eq(&mu, &r_user));
    EXPECT_EQ(idkit_sid_to_gid(&mg), 99u);
    std::string long_host(66, 'h');
    EXPECT_EQ(
        credmap_map_sid_parts_via_cache(long_host.c_str(), 1, 1, &nobody, &nobody, 0, groups, &mu, &mg, &n, mgroups),
        0);

    // Special SIDs are never keys; nobody as data is remembered.
    idkit_sid_t dontcare = IDKIT_SID_DONTCARE;
    credmap_enter_sid(host, &dontcare, &r_user, 1);
    credmap_enter_sid(host, &g2, &nobody, 1);
    credmap_sid_key_t key = credmap_make_sid_key(host, dontcare);
    idkit_sid_t out{};
    EXPECT_FALSE(credmap_hash_lookup(cmapsidltor_ht_h.load(), &key, &out, sizeof out));
    key = credmap_make_sid_key(host, g2);
    ASSERT_TRUE(credmap_hash_lookup(cmapsidltor_ht_h.load(), &key, &out, sizeof out));
    EXPECT_EQ(out.kind, IDKIT_SID_KIND_NOBODY);
}

TEST(CacheSteps, SidSetsToPosixIds)
{
    credmap_ensure_init();
    const char *host = "posix-host";
    auto put = [&](const char *s, uint64_t id, uint8_t is_group) {
        credmap_sid_key_t key = credmap_make_sid_key(host, sid(s));
        credmap_id_rec_t rec{id, is_group, {}};
        credmap_hash_enter(cmaplsidtorid_ht_h.load(), &key, &rec, sizeof rec);
    };
    put("S-1-22-1-1", 501, 0);
    put("S-1-22-2-1", 601, 1);
    put("S-1-22-2-2", 602, 1);
    put("S-1-22-1-9", 509, 0);              // a user's SID among groups
    put("S-1-22-2-3", IDKIT_ID_NOBODY, 1);  // mapped to no id
    put("S-1-22-2-4", IDKIT_ID_DONTCARE, 1);

    idkit_sid_credentials_t set{};
    set.user = sid("S-1-22-1-1");
    set.group = sid("S-1-22-2-1");
    const char *groups[] = {"S-1-22-2-2", "S-1-22-1-9", "S-1-22-2-3", "S-1-22-2-4"};
    for (const char *g : groups)
        set.groups[set.ngroups++] = sid(g);
    set.groups[set.ngroups++] = IDKIT_SID_NOBODY;
    idkit_credentials_t creds{};
    ASSERT_EQ(credmap_map_via_cache(host, &set, &creds), 1);
    EXPECT_EQ(creds.uid, 501u);
    EXPECT_EQ(creds.gid, 601u);
    ASSERT_EQ(creds.ngroups, 1);
    EXPECT_EQ(creds.groups[0], 602u);

    // Records of the wrong kind give the nobody id; special SIDs their ids.
    set.user = sid("S-1-22-2-1");
    set.group = sid("S-1-22-1-1");
    ASSERT_EQ(credmap_map_via_cache(host, &set, &creds), 1);
    EXPECT_EQ(creds.uid, IDKIT_ID_NOBODY);
    EXPECT_EQ(creds.gid, IDKIT_ID_NOBODY);
    set.user = IDKIT_SID_DONTCARE;
    set.group = IDKIT_SID_NOBODY;
    ASSERT_EQ(credmap_map_via_cache(host, &set, &creds), 1);
    EXPECT_EQ(creds.uid, IDKIT_ID_DONTCARE);
    EXPECT_EQ(creds.gid, IDKIT_ID_NOBODY);

    // One real SID uncached, even the last, answers nothing.
    set.groups[set.ngroups++] = sid("S-1-22-2-77");
    EXPECT_EQ(credmap_map_via_cache(host, &set, &creds), 0);
    set.user = sid("S-1-22-1-77");
    EXPECT_EQ(credmap_map_via_cache(host, &set, &creds), 0);
}

TEST(CacheConcurrency, ManyThreadsOnAFreshProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            if (std::freopen("/dev/null", "w", stdout) == nullptr)
                std::_Exit(99);
            std::vector<std::thread> threads;
            std::atomic<int> wrong{0};
            for (int t = 0; t < 8; ++t)
                threads.emplace_back([t, &wrong] {
                    credmap_ensure_init();
                    for (uint32_t i = 0; i < 2000; ++i) {
                        idkit_sid_t local, remote;
                        idkit_uid_to_sid(&local, i);
                        idkit_gid_to_sid(&remote, i);
                        credmap_enter_sid(t % 2 ? "HostA" : "hosta", &local, &remote, 1);
                        idkit_sid_t u, g, mu, mg, groups[1], mgroups[1];
                        uint32_t n;
                        u = g = groups[0] = local;
                        mu = mg = mgroups[0] = IDKIT_SID_DONTCARE;
                        if (credmap_map_sid_parts_via_cache("hosta", 1, 1, &u, &g, 1, groups, &mu, &mg, &n, mgroups) &&
                            !idkit_sid_eq(&mu, &remote))
                            ++wrong;
                        int known, nt;
                        credmap_in_my_credentials_domain("localhost", &known, &nt);
                    }
                    if (t == 0)
                        credmap_dump_cache();
                });
            for (auto &th : threads)
                th.join();
            std::exit(wrong.load() == 0 && fxtab_count(cmapsidltor_ht_h.load()) == 2000 ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

TEST(CacheStatistics, CountedExactlyUnderThreadsAndFlushedPerHost)
{
    credmap_ensure_init();
    auto stats = [] {
        credmap_cache_stats_t s{};
        s.size = sizeof s;
        EXPECT_EQ(credmap_cache_stats(&s), 0);
        return s.tables[1];
    };
    credmap_table_stats_t before = stats();
    auto host = [](int t) { return "host-" + std::to_string(t); };
    std::vector<std::thread> threads;
    std::atomic<bool> done{false};
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([t, host] {
            idkit_sid_t local, remote, out;
            for (uint32_t i = 0; i < 300; ++i) {
                idkit_uid_to_sid(&local, i);
                idkit_gid_to_sid(&remote, i);
                if (i < 100)
                    credmap_enter_sid(host(t).c_str(), &local, &remote, 1);
                credmap_sid_key_t key = credmap_make_sid_key(host(t).c_str(), local);
                credmap_hash_lookup(cmapsidltor_ht_h.load(), &key, &out, sizeof out);
            }
        });
    // Flushes of another host while the threads map.
    std::thread flusher([&done] {
        while (!done)
            credmap_cache_flush("elsewhere");
    });
    for (auto &th : threads)
        th.join();
    done = true;
    flusher.join();
    credmap_table_stats_t after = stats();
    EXPECT_EQ(after.lookups - before.lookups, 8u * 300);
    EXPECT_EQ(after.hits - before.hits, 8u * 100);
    EXPECT_EQ(after.misses - before.misses, 8u * 200);
    EXPECT_EQ(after.entered - before.entered, 8u * 100);
    EXPECT_EQ(after.entries, before.entries + 800);

    // One host forgotten, the others kept; then all of them.
    EXPECT_EQ(credmap_cache_flush("HOST-3"), 0);
    EXPECT_EQ(stats().entries, before.entries + 700);
    idkit_sid_t local, out;
    idkit_uid_to_sid(&local, 5);
    credmap_sid_key_t gone = credmap_make_sid_key("host-3", local), kept = credmap_make_sid_key("host-4", local);
    EXPECT_FALSE(credmap_hash_lookup(cmapsidltor_ht_h.load(), &gone, &out, sizeof out));
    EXPECT_TRUE(credmap_hash_lookup(cmapsidltor_ht_h.load(), &kept, &out, sizeof out));
    EXPECT_EQ(credmap_cache_flush(nullptr), 0);
    EXPECT_EQ(stats().entries, 0u);
}

}  // namespace
