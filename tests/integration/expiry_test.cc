// Forgetting on request and after a time: a flushed or expired entry is
// asked of the server again; the statistics say what happened.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "messages.h"
#include "sids.h"
#include "sim_host.h"
#include "velmo/credmap.h"

namespace {

using namespace sim;

const idkit_sid_credentials_t kRoot = make_set(uid_sid(0), gid_sid(0), {gid_sid(1)});

credmap_cache_stats_t stats()
{
    credmap_cache_stats_t s{};
    s.size = sizeof s;
    EXPECT_EQ(credmap_cache_stats(&s), 0);
    return s;
}

size_t asked(const Network &net, const Host &host)
{
    return count(net.requests(host), CREDMAP_PROC_LOOKUP_STRING_CREDENTIALS_SID);
}

TEST(CacheFlush, AFlushedHostIsAskedAgainAndTheOthersAreNot)
{
    Network net;
    const Host &win = net.add("winhost");
    const Host &other = net.add("otherhost");
    idkit_sid_credentials_t remote{};
    for (const char *host : {"winhost", "otherhost"})
        ASSERT_EQ(credmap_local_to_remote_sid(&kRoot, host, &remote), 0);
    size_t win_asked = asked(net, win), other_asked = asked(net, other);
    uint64_t exchanges = stats().exchanges;

    ASSERT_EQ(credmap_cache_flush("WinHost"), 0);
    for (const char *host : {"winhost", "otherhost"})
        ASSERT_EQ(credmap_local_to_remote_sid(&kRoot, host, &remote), 0);
    EXPECT_GT(asked(net, win), win_asked);
    EXPECT_EQ(asked(net, other), other_asked);
    EXPECT_EQ(stats().exchanges, exchanges + (asked(net, win) - win_asked));
}

// The time is read when the library makes its caches: a fresh process.
TEST(CacheExpiry, EntriesOlderThanTheTimeAreAskedAgain)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto body = [] {
        setenv("VELMO_CREDMAP_TTL", "1", 1);
        bool ok;
        {
            Network net;
            const Host &win = net.add("winhost");
            idkit_sid_credentials_t remote{};
            credmap_local_to_remote_sid(&kRoot, "winhost", &remote);
            size_t first = asked(net, win);
            credmap_local_to_remote_sid(&kRoot, "winhost", &remote);
            bool cached = asked(net, win) == first;
            sleep(2);
            core_status_t status = credmap_local_to_remote_sid(&kRoot, "winhost", &remote);
            credmap_cache_stats_t s = stats();
            std::fprintf(stderr, "first %zu cached %d then %zu status %d ttl %u expired %llu %llu\n", first, cached,
                         asked(net, win), status, s.ttl_seconds, (unsigned long long)s.tables[0].expired,
                         (unsigned long long)s.tables[1].expired);
            ok = first > 0 && cached && asked(net, win) > first && status == 0 && s.ttl_seconds == 1 &&
                 s.tables[0].expired > 0 && s.tables[1].expired > 0 && text(remote.user) == kDomain + "1116";
        }  // the daemons stop here
        std::_Exit(ok ? 0 : 1);
    };
    EXPECT_EXIT(body(), testing::ExitedWithCode(0), "");
}

}  // namespace
