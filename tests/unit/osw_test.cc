// Tests of the system-call wrappers: account look-ups and the request stamp.
#include "host/osw.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <set>
#include <thread>
#include <vector>

#include "host/mem.h"

namespace {

// An id that no account or group of a test machine has.
constexpr uid_t missing_id = 3999999901u;

TEST(OswAccountTest, RootFoundByUidAndByName)
{
    struct passwd pwd {};
    char *buffer = nullptr;
    struct passwd *result = nullptr;
    ASSERT_EQ(osw_getpwuid_r(0, &pwd, &buffer, &result), 0);
    ASSERT_EQ(result, &pwd);
    ASSERT_NE(buffer, nullptr);
    EXPECT_STREQ(pwd.pw_name, "root");
    // The strings of the record live in the returned buffer.
    EXPECT_GE(pwd.pw_name, buffer);
    mem_free(buffer);

    buffer = nullptr;
    result = nullptr;
    ASSERT_EQ(osw_getpwnam_r("root", &pwd, &buffer, &result), 0);
    ASSERT_EQ(result, &pwd);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(pwd.pw_uid, 0u);
    mem_free(buffer);
}

TEST(OswAccountTest, GroupZeroFoundByGidAndByName)
{
    struct group grp {};
    char *buffer = nullptr;
    struct group *result = nullptr;
    ASSERT_EQ(osw_getgrgid_r(0, &grp, &buffer, &result), 0);
    ASSERT_EQ(result, &grp);
    ASSERT_NE(buffer, nullptr);
    ASSERT_NE(grp.gr_name, nullptr);
    std::string name = grp.gr_name;
    mem_free(buffer);

    buffer = nullptr;
    result = nullptr;
    ASSERT_EQ(osw_getgrnam_r(name.c_str(), &grp, &buffer, &result), 0);
    ASSERT_EQ(result, &grp);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(grp.gr_gid, 0u);
    mem_free(buffer);
}

TEST(OswAccountTest, MissingEntriesLeaveNothingHeld)
{
    // Stale values show that the wrappers clear both outputs.
    char stale = 'x';
    struct passwd pwd {};
    struct group grp {};
    char *buffer = &stale;
    struct passwd *pw_result = &pwd;
    struct group *gr_result = &grp;

    osw_getpwuid_r(missing_id, &pwd, &buffer, &pw_result);
    EXPECT_EQ(pw_result, nullptr);
    EXPECT_EQ(buffer, nullptr);

    buffer = &stale;
    pw_result = &pwd;
    osw_getpwnam_r("no-such-account-velmo", &pwd, &buffer, &pw_result);
    EXPECT_EQ(pw_result, nullptr);
    EXPECT_EQ(buffer, nullptr);

    buffer = &stale;
    osw_getgrgid_r(missing_id, &grp, &buffer, &gr_result);
    EXPECT_EQ(gr_result, nullptr);
    EXPECT_EQ(buffer, nullptr);

    buffer = &stale;
    gr_result = &grp;
    osw_getgrnam_r("no-such-group-velmo", &grp, &buffer, &gr_result);
    EXPECT_EQ(gr_result, nullptr);
    EXPECT_EQ(buffer, nullptr);
}

TEST(OswAccountTest, MissingArgumentsAreRejected)
{
    struct passwd pwd {};
    struct group grp {};
    char stale = 'x';
    char *buffer = &stale;
    struct passwd *pw_result = &pwd;
    struct group *gr_result = &grp;
    EXPECT_EQ(osw_getpwnam_r(nullptr, &pwd, &buffer, &pw_result), EINVAL);
    EXPECT_EQ(pw_result, nullptr);
    EXPECT_EQ(buffer, nullptr);
    buffer = &stale;
    EXPECT_EQ(osw_getgrnam_r(nullptr, &grp, &buffer, &gr_result), EINVAL);
    EXPECT_EQ(gr_result, nullptr);
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(osw_getpwuid_r(0, nullptr, &buffer, &pw_result), EINVAL);
    EXPECT_EQ(osw_getgrgid_r(0, &grp, nullptr, &gr_result), EINVAL);
    EXPECT_EQ(osw_getgrgid_r(0, &grp, &buffer, nullptr), EINVAL);
}

TEST(OswStampTest, StampsAreMicrosecondsSinceEpoch)
{
    time_t before = std::time(nullptr);
    time_t stamp = osw_sock_port_uniquifier();
    time_t after = std::time(nullptr);
    EXPECT_GE(stamp / 1000000, before - 1);
    EXPECT_LE(stamp / 1000000, after + 1);
}

// Two threads draw stamps as fast as they can: each sees them strictly
// increase, and no stamp is handed out twice.
TEST(OswStampTest, StampsStrictlyIncreaseAcrossThreads)
{
    constexpr int calls = 10000;
    std::vector<time_t> drawn[2];
    auto draw = [&drawn](int index) {
        drawn[index].reserve(calls);
        for (int i = 0; i < calls; ++i)
            drawn[index].push_back(osw_sock_port_uniquifier());
    };
    std::thread first(draw, 0);
    std::thread second(draw, 1);
    first.join();
    second.join();

    std::set<time_t> all;
    for (const auto &stamps : drawn) {
        for (size_t i = 1; i < stamps.size(); ++i)
            ASSERT_LT(stamps[i - 1], stamps[i]);
        all.insert(stamps.begin(), stamps.end());
    }
    EXPECT_EQ(all.size(), 2u * calls);
    EXPECT_GT(osw_sock_port_uniquifier(), *all.rbegin());
}

}  // namespace
