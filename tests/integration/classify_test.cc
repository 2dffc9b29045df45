// Host classification against real location brokers.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "credmap_cache.h"
#include "sim_host.h"

namespace {

struct Class {
    int result, known, nt;
};

Class classify(const std::string &host)
{
    Class c{};
    c.result = credmap_in_my_credentials_domain(host.c_str(), &c.known, &c.nt);
    return c;
}

uint8_t cached_flags(const std::string &host)
{
    credmap_host_key_t key = credmap_make_host_key(host.c_str());
    credmap_host_rec_t record{};
    record.flags = 0xff;
    credmap_hash_lookup(cmaphost_ht_h.load(), &key, &record, sizeof record);
    return record.flags;
}

TEST(HostClassification, ByTheOperatingSystemTheBrokerReports)
{
    credmap_ensure_init();
    sim::Network net;
    const sim::Host &win = net.add("winhost", sim::os("Windows Server 2022"));
    net.add("bare-windows", sim::os("Windows"));
    net.add("lowercase", sim::os("windows 11"));
    net.add("unixhost", sim::os("Linux"));
    net.add("no-os", sim::os(""));

    struct {
        const char *host;
        int result, nt;
        uint8_t flags;
    } cases[] = {
        {"localhost", 1, 0, 2}, {"winhost", 0, 1, 1},  {"bare-windows", 0, 1, 1},
        {"lowercase", 1, 0, 2}, {"unixhost", 1, 0, 2}, {"no-os", 1, 0, 2},
    };
    for (const auto &c : cases) {
        Class got = classify(c.host);
        EXPECT_EQ(got.result, c.result) << c.host;
        EXPECT_EQ(got.known, 1) << c.host;
        EXPECT_EQ(got.nt, c.nt) << c.host;
        EXPECT_EQ(cached_flags(c.host), c.flags) << c.host;
    }
    // Answered from the cache from now on, in any letter case: the broker
    // is gone and the answer stays.
    net.stop_hubd(win);
    Class again = classify("WINHOST");
    EXPECT_EQ(again.result, 0);
    EXPECT_EQ(again.known, 1);
    EXPECT_EQ(again.nt, 1);
}

TEST(HostClassification, FailuresAreNotRemembered)
{
    credmap_ensure_init();
    sim::Network net;
    net.add_unreachable("laterhost");
    Class failed = classify("laterhost");
    EXPECT_EQ(failed.result, 0);
    EXPECT_EQ(failed.known, 0);
    EXPECT_EQ(failed.nt, 0);
    EXPECT_EQ(cached_flags("laterhost"), 0xff);

    // The host's broker comes up: the next call asks again.
    net.add("laterhost", sim::os("Windows Server 2019"));
    Class ok = classify("laterhost");
    EXPECT_EQ(ok.result, 0);
    EXPECT_EQ(ok.known, 1);
    EXPECT_EQ(ok.nt, 1);

    // A record with neither bit, as a mapping leaves for a host whose broker
    // gave no information, reads as known, not NT, in my domain.
    credmap_host_key_t key = credmap_make_host_key("reached-host");
    credmap_host_rec_t zero{};
    credmap_hash_enter(cmaphost_ht_h.load(), &key, &zero, sizeof zero);
    Class reached = classify("reached-host");
    EXPECT_EQ(reached.result, 1);
    EXPECT_EQ(reached.known, 1);
    EXPECT_EQ(reached.nt, 0);
}

TEST(HostClassification, NamesOfSixtyFiveAndSixtySixCharacters)
{
    credmap_ensure_init();
    sim::Network net;
    std::string name65 = "w" + std::string(60, 'x') + ".net", name66 = name65 + "x";
    ASSERT_EQ(name65.size(), 65u);
    net.add(name65);
    net.add(name66);
    Class fits = classify(name65);
    EXPECT_EQ(fits.known, 1);
    EXPECT_EQ(fits.nt, 1);
    Class too_long = classify(name66);
    EXPECT_EQ(too_long.result, 0);
    EXPECT_EQ(too_long.known, 0);
    EXPECT_EQ(too_long.nt, 0);
}

TEST(HostClassification, WithoutTablesEveryCallAsks)
{
    // Before the initialisation the host table is absent: nothing is kept.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            sim::Network net;
            const sim::Host &win = net.add("winhost");
            Class first = classify("winhost");
            net.stop_hubd(win);
            Class second = classify("winhost");
            std::exit(first.nt == 1 && second.known == 0 && init_done.load() == 0 ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

}  // namespace
