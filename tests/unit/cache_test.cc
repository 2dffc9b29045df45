#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
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

// Runs `body` in a fresh process, where the library starts afresh.
template<typename Body>
void expect_fresh_process_prints(const std::string &out, int exit_code, Body body)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            std::fflush(stdout);
            dup2(2, 1);
            body();
            std::exit(exit_code);
        },
        testing::ExitedWithCode(exit_code), testing::Eq(out));
}

TEST(CacheKeys, HashesAndEquality)
{
    EXPECT_EQ(credmap_hash_lowercase_hostname("abc"), 1626918u);
    // Host fields are lower-cased and cut to 65 characters; uid 7 and gid 7
    // are different keys with the same hash.
    credmap_host_key_t a = credmap_make_host_key("WinHost.Example"), b = credmap_make_host_key("winhost.example");
    EXPECT_TRUE(std::memcmp(&a, &b, sizeof a) == 0 && credmap_keycmp_lowercase_hostname(&a, &b) == 1);
    EXPECT_EQ(std::string(credmap_make_host_key(std::string(80, 'X').c_str()).host), std::string(65, 'x'));
    EXPECT_FALSE(credmap_host_too_long(std::string(65, 'a').c_str()));
    credmap_id_key_t uid = credmap_make_key("h", 7, false), gid = credmap_make_key("h", 7, true);
    EXPECT_EQ(credmap_hash_id(&gid), credmap_hash_lowercase_hostname("h") + 7);
    EXPECT_TRUE(credmap_hash_id(&uid) == credmap_hash_id(&gid) && credmap_keycmp_id(&uid, &gid) == 0);

    idkit_sid_t s = sid("S-1-22-1-1000");
    credmap_sid_key_t k = credmap_make_sid_key("HOST", s);
    EXPECT_EQ(credmap_hash_sid(&k), credmap_hash_lowercase_hostname("host") + idkit_sid_hash_fn(&s));
}

TEST(CacheTables, EnterAndLookup)
{
    credmap_ensure_init();
    fxtab_t sids = cmapsidltor_ht_h.load();
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
}

// The number of keys not taken and found up to `cap`, or taken past it.
int wrong_entries_about_a_cap(int cap)
{
    credmap_ensure_init();
    idkit_sid_t data = sid("S-1-5-21-1-2-3-500"), out{};
    int wrong = 0;
    for (int i = 0; i < cap + 3; ++i) {
        credmap_sid_key_t key = credmap_make_sid_key("full", sid(("S-1-22-1-" + std::to_string(i)).c_str()));
        bool entered = credmap_hash_enter(cmapsidltor_ht_h.load(), &key, &data, sizeof data);
        bool found = credmap_hash_lookup(cmapsidltor_ht_h.load(), &key, &out, sizeof out);
        wrong += entered != (i < cap) || found != entered;
    }
    return wrong;
}

// The cap is read once per process: the check runs in a fresh one.
TEST(CacheTablesDeathTest, FullTableRefusesEntriesAndKeepsItsOwn)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    setenv("VELMO_FXTAB_MAX_ENTRIES", "5", 1);
    EXPECT_EXIT(std::exit(wrong_entries_about_a_cap(5)), ::testing::ExitedWithCode(0), "");
    unsetenv("VELMO_FXTAB_MAX_ENTRIES");
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

// The calling thread's one record, overwritten by its next look-up only.
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

// A domain is stripped up to its last separator; nothing is left of none.
TEST(CacheHelpers, DomainStripping)
{
    std::vector<std::string> stripped;
    for (const char *in : {"KORVANTIS\\alice", "dom/bob", "carol", "\\dave", "a\\b/c", "dom\\", "/", "",
                           static_cast<const char *>(nullptr)}) {
        char *out = credmap_strip_domain(in);
        stripped.push_back(out != nullptr ? out : "(none)");
        std::free(out);
    }
    EXPECT_EQ(stripped, (std::vector<std::string>{"alice", "bob", "carol", "dave", "b/c", "(none)", "(none)", "(none)",
                                                  "(none)"}));
}

const char kBanner[] = "\n----------------------- Credmap Table Dump ------------------------------------\n";

TEST(CacheDump, EntriesAsTheyAreStored)
{
    const std::string out = std::string(kBanner) +
                            "Same domain\n    winhost is NT and is NOT in my domain (0x12345678)\n\n"
                            "Credmap SID loc->rmt\n    S-1-22-1-1000 -> winhost:S-1-5-21-1-2-3-1104\n\n"
                            "Credmap SID rmt->loc\n    winhost:S-1-5-21-1-2-3-1104 -> S-1-22-1-1000\n\n"
                            "Credmap l SID->Posix\n    S-1-5-21-1-2-3-1104 -> winhost:UID-21104 (0x5270)\n"
                            "    S-1-22-1-1000 -> winhost:GID--2 (0xfffffffe)\n\n"
                            "Credmap r Posix->SID\n    Empty\n\n";
    expect_fresh_process_prints(out, 0, [] {
        unsetenv("KORVANTIS_CREDMAP_DUMP");  // so none at exit
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
}

void earlier_exit_routine(int status)
{
    std::printf("earlier routine %d\n", status);
}

// Asked for at the start, the dump comes again at exit, before the exit
// routine set earlier.
TEST(CacheDump, AtExitOnlyWhenAskedForThenTheEarlierRoutine)
{
    const std::string dump = std::string(kBanner) + "Same domain\n    Empty\n\nCredmap SID loc->rmt\n    Empty\n\n" +
                             "Credmap SID rmt->loc\n    Empty\n\nCredmap l SID->Posix\n    Empty\n\n" +
                             "Credmap r Posix->SID\n    Empty\n\n";
    expect_fresh_process_prints(dump + dump + "earlier routine 3\n", 3, [] {
        exc_set_exit(earlier_exit_routine);
        setenv("KORVANTIS_CREDMAP_DUMP", "yes", 1);
        credmap_dump_cache();
    });
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
    idkit_sid_t groups[3] = {g1, g2, IDKIT_SID_DONTCARE}, nobody = IDKIT_SID_NOBODY, mu{}, mg{}, mgroups[3] = {};
    uint32_t n = 0;
    auto map = [&](const char *h, int to_remote, int all, idkit_sid_t *u, idkit_sid_t *g, uint32_t ngroups) {
        return credmap_map_sid_parts_via_cache(h, to_remote, all, u, g, ngroups, groups, &mu, &mg, &n, mgroups);
    };
    // One group uncached: not answered, but every other part is filled.
    EXPECT_EQ(map(host, 1, 1, &user, &group, 3), 0);
    EXPECT_TRUE(idkit_sid_eq(&mu, &r_user) && idkit_sid_eq(&mg, &r_group) && idkit_sid_eq(&mgroups[0], &r_g1));
    EXPECT_TRUE(mgroups[1].length == 0 && mgroups[2].kind == IDKIT_SID_KIND_DONTCARE && n == 3);
    // A nobody user with everything else cached is answered whole.
    EXPECT_EQ(map("STEPS-HOST", 1, 1, &nobody, &group, 1), 1);
    EXPECT_EQ(mu.kind, IDKIT_SID_KIND_NOBODY);
    // Nothing for a host name too long to cache.
    EXPECT_EQ(map(std::string(66, 'h').c_str(), 1, 1, &nobody, &nobody, 0), 0);
    // Only the parts that hold don't-care are mapped when not mapping all.
    mu = IDKIT_SID_DONTCARE;
    mg = sid("S-1-22-2-99");
    EXPECT_EQ(map(host, 1, 0, &user, &group, 0), 1);
    EXPECT_TRUE(idkit_sid_eq(&mu, &r_user) && idkit_sid_to_gid(&mg) == 99u);
}

// Eight threads enter and look up under hosts of their own, one of them also
// flushing another host: the answers are right and the counts exact.
TEST(CacheStatistics, CountedExactlyUnderThreadsAndFlushedPerHost)
{
    auto stats = [] {
        credmap_cache_stats_t s{};
        s.size = sizeof s;
        EXPECT_EQ(credmap_cache_stats(&s), 0);
        return s.tables[1];
    };
    credmap_table_stats_t before = stats();
    auto host = [](int t) { return "host-" + std::to_string(t); };
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([t, host, &wrong] {
            idkit_sid_t local, remote, out;
            for (uint32_t i = 0; i < 300; ++i) {
                if (t == 0)
                    credmap_cache_flush("elsewhere");
                idkit_uid_to_sid(&local, i);
                idkit_gid_to_sid(&remote, i);
                if (i < 100)
                    credmap_enter_sid(host(t).c_str(), &local, &remote, 1);
                credmap_sid_key_t key = credmap_make_sid_key(host(t).c_str(), local);
                bool found = credmap_hash_lookup(cmapsidltor_ht_h.load(), &key, &out, sizeof out);
                wrong += found != (i < 100) || (found && !idkit_sid_eq(&out, &remote));
            }
        });
    for (auto &th : threads)
        th.join();
    credmap_table_stats_t after = stats();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(after.lookups - before.lookups, 8u * 300);
    EXPECT_EQ(after.hits - before.hits, 8u * 100);
    EXPECT_EQ(after.misses - before.misses, 8u * 200);
    EXPECT_EQ(after.entered - before.entered, 8u * 100);
    EXPECT_EQ(after.entries, before.entries + 800);

    // Flushing forgets one host and keeps the others, then forgets all.
    EXPECT_EQ(credmap_cache_flush("HOST-3"), 0);
    EXPECT_EQ(stats().entries, before.entries + 700);
    EXPECT_EQ(credmap_cache_flush(nullptr), 0);
    EXPECT_EQ(stats().entries, 0u);
}

}  // namespace
