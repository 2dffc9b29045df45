// Credential utility service: SID text, local SIDs and credential records.
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/core.h"
#include "host/idkit.h"
#include "integration/sids.h"

namespace {

idkit_sid_t sid_of(const char *text)
{
    idkit_sid_t sid;
    EXPECT_EQ(idkit_sid_from_str(text, &sid), 0) << text;
    return sid;
}

TEST(SidText, ValidTextsRoundTripWithTheirKind)
{
    const char *const cases[][2] = {
        {"S-1-5-21-4294967295-0-1-2-3", "S-1-5-21-4294967295-0-1-2-3"},
        {"S-1-22-1-5@3", "S-1-22-1-5@3"},
        {"S-1-5-32-544@3", "S-1-5-32-544"},
        {"S-255-4294967295-7@255", "S-255-4294967295-7@255"},
        {"S-1-281474976710655", "S-1-0xffffffffffff"},
        {"S-1-0XFFFFFFFFFFF5-7", "S-1-0xfffffffffff5-7"},
        {"S-1-0x000000000005", "S-1-5"},
        {"nobody", "nobody"},
        {"dontcare", "dontcare"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(sim::text(sid_of(c[0])), c[1]);  // naming the kind when it is not the authority's default
    idkit_sid_t nobody = sid_of("nobody");
    EXPECT_TRUE(idkit_sid_eq(&IDKIT_SID_NOBODY, &nobody));
    EXPECT_FALSE(idkit_sid_eq(&IDKIT_SID_NOBODY, &IDKIT_SID_DONTCARE));
}

TEST(SidText, MalformedTextsAreRefusedAndLeaveTheRecord)
{
    for (const char *text : {"S", "S-1", "S-1-", "S-1-5-", "S--1-5", "s-1-5", "S-1-5-1-2-3-4-5-6-7", "S-1-5-4294967296",
                             "S-256-5", "S-1-281474976710656", "S-1-5-21 ", "S-1-5@1", "S-1-5@256", "S-1-0x12345",
                             "S-1-0x1234567890abc", "S-1-0x12345678901g", "Nobody", ""}) {
        idkit_sid_t sid = sid_of("S-1-22-1-7");
        EXPECT_EQ(idkit_sid_from_str(text, &sid), IDKIT_E_BAD_SID_TEXT) << '"' << text << '"';
        EXPECT_EQ(sim::text(sid), "S-1-22-1-7") << text;
    }
    idkit_sid_t sid{5, IDKIT_SID_KIND_REAL, {1, 2, 3, 4, 5}};
    EXPECT_EQ(idkit_sid_from_str(nullptr, &sid), IDKIT_E_BAD_SID_TEXT);
    EXPECT_EQ(idkit_sid_from_str("S-1-5", nullptr), IDKIT_E_BAD_SID_TEXT);
    // Bodies that are no binary SID print as their bytes, read no further than the body.
    EXPECT_EQ(sim::text(sid), "S-?0102030405");
    sid = sid_of("S-1-5-21");
    sid.length = 16;  // a count that disagrees with the length
    EXPECT_EQ(sim::text(sid), "S-?01010000000000051500000000000000");
    sid.length = 255;
    EXPECT_EQ(sim::text(sid).size(), 3u + 2 * IDKIT_SID_BODY_MAX);
}

TEST(LocalSids, IdsMapToTheirSidsAndBack)
{
    idkit_sid_t user, group;
    idkit_uid_to_sid(&user, 4294967293u);
    idkit_gid_to_sid(&group, 0);
    EXPECT_EQ(sim::text(user) + " " + sim::text(group), "S-1-22-1-4294967293 S-1-22-2-0");
    EXPECT_EQ(idkit_sid_to_uid(&user), 4294967293u);
    EXPECT_EQ(idkit_sid_to_gid(&group), 0u);
    EXPECT_EQ(idkit_sid_to_gid(&user), IDKIT_ID_NOBODY);
    EXPECT_EQ(idkit_sid_to_uid(&group), IDKIT_ID_NOBODY);
    for (const char *text : {"S-1-22-1", "S-1-22-1-5-6", "S-2-22-1-5", "S-1-5-1-5"}) {
        const idkit_sid_t sid = sid_of(text);
        EXPECT_EQ(idkit_sid_to_uid(&sid), IDKIT_ID_NOBODY) << text;
    }
    EXPECT_EQ(idkit_sid_to_uid(nullptr), IDKIT_ID_NOBODY);
    EXPECT_EQ(idkit_getpwsid(&group), nullptr);
    EXPECT_EQ(idkit_getgrsid(&user), nullptr);
}

TEST(SidCredentials, ConvertToLocalIdsOrAreRefusedUntouched)
{
    idkit_sid_credentials_t sc{sid_of("S-1-22-1-1000"), sid_of("S-1-22-2-100"), 0, {}};
    for (const char *g : {"S-1-22-2-5", "S-1-5-21-1-2-3-513", "S-1-22-2-7@3"})
        sc.groups[sc.ngroups++] = sid_of(g);
    idkit_credentials_t c;
    ASSERT_EQ(idkit_sid_credentials_to_credentials(&sc, &c), 0);
    EXPECT_EQ(std::vector<uint64_t>({c.uid, c.gid, uint64_t(c.ngroups)}), std::vector<uint64_t>({1000, 100, 3}));
    EXPECT_EQ(std::vector<uint64_t>(c.groups, c.groups + 4), (std::vector<uint64_t>{5, IDKIT_ID_NOBODY, 7, 0}));
    sc.user = sc.group = IDKIT_SID_NOBODY;
    ASSERT_EQ(idkit_sid_credentials_to_credentials(&sc, &c), 0);
    EXPECT_EQ(std::make_pair(c.uid, c.gid), std::make_pair(uint64_t{IDKIT_ID_NOBODY}, uint64_t{IDKIT_ID_NOBODY}));

    const char *refused[][2] = {{"S-1-5-21-1-2-3-1104", "S-1-22-2-100"}, {"S-1-22-1-1000", "S-1-22-1-100"}};
    for (const auto &r : refused) {
        sc.user = sid_of(r[0]);
        sc.group = sid_of(r[1]);
        EXPECT_EQ(idkit_sid_credentials_to_credentials(&sc, &c), IDKIT_E_UNMAPPED_SID) << r[0] << ' ' << r[1];
        EXPECT_EQ(c.uid, IDKIT_ID_NOBODY);
    }
    sc.ngroups = IDKIT_MAX_GROUPS + 1;
    EXPECT_EQ(idkit_sid_credentials_to_credentials(&sc, &c), CORE_E_BAD_ARGUMENT);
}

TEST(Credentials, CopiesOwnTheirGroupsNamesComeFromTheLocalDatabasesAndFreeClears)
{
    idkit_sid_t groups[2] = {sid_of("S-1-22-2-0"), sid_of("S-1-5-21-1-2-3-513")};
    idkit_whole_credentials_t src{sid_of("S-1-5-21-1-2-3-1104"), sid_of("S-1-22-2-0"), 2, groups}, dst;
    ASSERT_EQ(idkit_copy_whole_credentials(&src, &dst), 0);
    ASSERT_EQ(dst.ngroups, 2);
    ASSERT_NE(dst.groups, groups);
    EXPECT_EQ(memcmp(dst.groups, groups, sizeof groups), 0);
    idkit_whole_string_credentials_t names;
    ASSERT_EQ(idkit_whole_credentials_to_whole_string_credentials(&dst, &names), 0);
    EXPECT_STREQ(names.user, "nobody");  // a foreign user has no local name
    ASSERT_EQ(names.ngroups, 2u);
    EXPECT_STREQ(names.groups[1], "nobody");
    idkit_free_whole_string_credentials(&names);
    EXPECT_EQ(names.groups, nullptr);
    EXPECT_EQ(names.ngroups, 0u);
    idkit_free_whole_credentials(&dst);
    EXPECT_EQ(dst.groups, nullptr);
    EXPECT_EQ(dst.ngroups, 0);

    // Negative counts and absent arrays copy as no groups; a count without an array has no names.
    for (int32_t n : {-4, 3}) {
        src.ngroups = n;
        src.groups = n > 0 ? nullptr : groups;
        ASSERT_EQ(idkit_copy_whole_credentials(&src, &dst), 0);
        EXPECT_EQ(dst.ngroups, 0);
        EXPECT_EQ(dst.groups, nullptr);
    }
    EXPECT_EQ(idkit_whole_credentials_to_whole_string_credentials(&src, &names), CORE_E_BAD_ARGUMENT);
    // This process's own set: whatever the record held before, it holds the process's groups alone.
    std::memset(&dst, 0xff, sizeof dst);
    ASSERT_EQ(idkit_get_complete_whole_credentials(&dst), 0);
    EXPECT_EQ(dst.ngroups, getgroups(0, nullptr));
    EXPECT_EQ(dst.groups == nullptr, dst.ngroups == 0);
    idkit_free_whole_credentials(&dst);
    EXPECT_EQ(idkit_copy_whole_credentials(&src, nullptr), CORE_E_BAD_ARGUMENT);
    EXPECT_EQ(idkit_copy_whole_credentials(nullptr, &dst), CORE_E_BAD_ARGUMENT);
}

}  // namespace
