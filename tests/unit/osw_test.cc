#include "host/osw.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <set>
#include <thread>
#include <vector>

#include "host/mem.h"

namespace {

// Id 0 is found, with a buffer handed over; missing entries and
// arguments leave nothing held, however stale the outputs were.
template<typename Record, typename Id>
void check_lookups(int (*by_id)(Id, Record *, char **, Record **),
                   int (*by_name)(const char *, Record *, char **, Record **))
{
    Record record{};
    Record *result = nullptr;
    char *buffer = nullptr;
    EXPECT_EQ(by_id(0, &record, &buffer, &result), 0);
    ASSERT_TRUE(result == &record && buffer != nullptr);
    mem_free(buffer);
    char stale = 'x';
    buffer = &stale;
    result = &record;
    auto nothing_held = [&](int rc) {
        EXPECT_TRUE(result == nullptr && buffer == nullptr);
        buffer = &stale;
        result = &record;
        return rc;
    };
    nothing_held(by_id(3999999901u, &record, &buffer, &result));
    nothing_held(by_name("no-such-entry-velmo", &record, &buffer, &result));
    EXPECT_EQ(nothing_held(by_name(nullptr, &record, &buffer, &result)), EINVAL);
    EXPECT_EQ(nothing_held(by_name("root", nullptr, &buffer, &result)), EINVAL);
    EXPECT_EQ(nothing_held(by_id(0, nullptr, &buffer, &result)), EINVAL);
    EXPECT_EQ(by_id(0, &record, nullptr, &result), EINVAL);
    EXPECT_EQ(by_id(0, &record, &buffer, nullptr), EINVAL);
}

TEST(OswAccountTest, FoundMissingAndRejectedLookups)
{
    check_lookups(osw_getpwuid_r, osw_getpwnam_r);
    check_lookups(osw_getgrgid_r, osw_getgrnam_r);
}

// Stamps are microseconds since the epoch, strictly increasing in each
// thread, and never handed out twice.
TEST(OswStampTest, StampsStrictlyIncreaseAcrossThreads)
{
    std::vector<time_t> drawn[2];
    auto draw = [&drawn](int index) {
        for (int i = 0; i < 10000; ++i)
            drawn[index].push_back(osw_sock_port_uniquifier());
    };
    time_t before = std::time(nullptr);
    std::thread first(draw, 0), second(draw, 1);
    first.join();
    second.join();
    std::set<time_t> all;
    for (const auto &stamps : drawn) {
        EXPECT_TRUE(std::is_sorted(stamps.begin(), stamps.end()));
        all.insert(stamps.begin(), stamps.end());
    }
    EXPECT_EQ(all.size(), 20000u);
    EXPECT_GE(*all.begin() / 1000000, before - 1);
    EXPECT_GT(osw_sock_port_uniquifier(), *all.rbegin());
}

}  // namespace
