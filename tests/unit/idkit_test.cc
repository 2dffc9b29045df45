// Credential utility service: SID text, local SIDs, own credentials, account
// lookups and the whole-credential records.
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/core.h"
#include "host/idkit.h"

namespace {

idkit_sid_t sid_of(const char *text)
{
    idkit_sid_t sid;
    EXPECT_EQ(idkit_sid_from_str(text, &sid), 0) << text;
    return sid;
}

std::string text_of(const idkit_sid_t &sid)
{
    char buffer[IDKIT_SID_TEXT_MAX];
    return idkit_sid_to_str(&sid, buffer);
}

TEST(SidText, ValidTextsRoundTripWithTheirKind)
{
    const struct {
        const char *text;
        int kind;
        const char *printed;  // null: printed as given
    } cases[] = {
        {"S-1-22-1-1000", IDKIT_SID_KIND_REAL, nullptr},
        {"S-1-22-2-0", IDKIT_SID_KIND_REAL, nullptr},
        {"S-1-5-21-1004336348-1177238915-682003330", IDKIT_SID_KIND_NT, nullptr},
        {"S-1-5-21-1004336348-1177238915-682003330-512", IDKIT_SID_KIND_NT, nullptr},
        {"S-1-5-21-4294967295-0-1-2-3", IDKIT_SID_KIND_NT, nullptr},
        {"S-1-5", IDKIT_SID_KIND_NT, nullptr},
        {"S-1-22-1-5@3", IDKIT_SID_KIND_NT, nullptr},
        {"S-1-5-32-544@2", IDKIT_SID_KIND_REAL, nullptr},
        {"S-1-5-32-544@255", 255, nullptr},
        {"S-1-5-32-544@3", IDKIT_SID_KIND_NT, "S-1-5-32-544"},
        {"S-255-4294967295-7", IDKIT_SID_KIND_REAL, nullptr},
        {"S-1-0x123456789abc-1-2", IDKIT_SID_KIND_REAL, nullptr},
        {"S-1-0xFFFFFFFFFFFF", IDKIT_SID_KIND_REAL, "S-1-0xffffffffffff"},
        {"S-1-281474976710655", IDKIT_SID_KIND_REAL, "S-1-0xffffffffffff"},
        {"S-1-0x000000000005-7", IDKIT_SID_KIND_NT, "S-1-5-7"},
        {"nobody", IDKIT_SID_KIND_NOBODY, nullptr},
        {"dontcare", IDKIT_SID_KIND_DONTCARE, nullptr},
    };
    for (const auto &c : cases) {
        idkit_sid_t sid = sid_of(c.text);
        EXPECT_EQ(sid.kind, c.kind) << c.text;
        EXPECT_EQ(text_of(sid), c.printed ? c.printed : c.text);
    }
    idkit_sid_t nobody = sid_of("nobody"), dontcare = sid_of("dontcare");
    EXPECT_TRUE(idkit_sid_eq(&IDKIT_SID_NOBODY, &nobody));
    EXPECT_TRUE(idkit_sid_eq(&IDKIT_SID_DONTCARE, &dontcare));
}

TEST(SidText, MalformedTextsAreRefusedAndLeaveTheRecord)
{
    const char *bad[] = {
        "",
        "S",
        "S-",
        "S-1",
        "S-1-",
        "S-1-5-",
        "S-1--5",
        "S--1-5",
        "s-1-5",
        "S-1-5-1-2-3-4-5-6-7",
        "S-1-5-4294967296",
        "S-256-5",
        "S-1-281474976710656",
        "S-1-5-99999999999999999999999",
        "S-1-5-21 ",
        " S-1-5",
        "S-1-5-21x",
        "S-1-+5",
        "S-1-5--1",
        "S-1-5@1",
        "S-1-5@0",
        "S-1-5@256",
        "S-1-5@",
        "S-1-5@3x",
        "S-1-5@3@3",
        "S-1-0x12345",
        "S-1-0x1234567890abc",
        "S-1-0x12345678901g",
        "Nobody",
        "nobody ",
        "dont care",
        "S-?0105",
    };
    for (const char *text : bad) {
        idkit_sid_t sid = sid_of("S-1-22-1-7");
        EXPECT_EQ(idkit_sid_from_str(text, &sid), IDKIT_E_BAD_SID_TEXT) << '"' << text << '"';
        EXPECT_EQ(text_of(sid), "S-1-22-1-7") << text;
    }
    idkit_sid_t sid;
    EXPECT_EQ(idkit_sid_from_str(nullptr, &sid), IDKIT_E_BAD_SID_TEXT);
    EXPECT_EQ(idkit_sid_from_str("S-1-5", nullptr), IDKIT_E_BAD_SID_TEXT);
}

TEST(SidText, MalformedBodiesPrintAsBytesWithinTheBuffer)
{
    idkit_sid_t sid{5, IDKIT_SID_KIND_REAL, {1, 2, 3, 4, 5}};
    EXPECT_EQ(text_of(sid), "S-?0102030405");
    // A count that disagrees with the length.
    sid = sid_of("S-1-5-21");
    sid.length = 16;
    EXPECT_EQ(text_of(sid), "S-?"
                            "0101000000000005"
                            "1500000000000000");
    // A length past the body is read no further than the body.
    std::memset(sid.body, 0xab, sizeof sid.body);
    sid.length = 255;
    std::string bytes;
    for (int i = 0; i < IDKIT_SID_BODY_MAX; ++i)
        bytes += "ab";
    EXPECT_EQ(text_of(sid), "S-?" + bytes);
    // The longest well-formed text fits.
    std::string longest = text_of(sid_of("S-255-0xffffffffffff-4294967295-4294967295-4294967295-4294967295-"
                                         "4294967295-4294967295@254"));
    EXPECT_LT(longest.size(), size_t(IDKIT_SID_TEXT_MAX));
}

TEST(SidCompare, EqualityAndHashFollowTheUsedBody)
{
    idkit_sid_t a = sid_of("S-1-5-21-1-2-3"), b = a;
    // Bytes past the length do not count.
    b.body[IDKIT_SID_BODY_MAX - 1] = 0x5a;
    EXPECT_TRUE(idkit_sid_eq(&a, &b));
    EXPECT_EQ(idkit_sid_keycmp_fn(&a, &b), 1);
    EXPECT_EQ(idkit_sid_hash_fn(&a), idkit_sid_hash_fn(&b));

    idkit_sid_t other_kind = sid_of("S-1-5-21-1-2-3@2"), other_sub = sid_of("S-1-5-21-1-2-4"), shorter = a;
    shorter.length -= 4;
    for (const idkit_sid_t *d :
         std::initializer_list<const idkit_sid_t *>{&other_kind, &other_sub, &shorter, &IDKIT_SID_NOBODY}) {
        EXPECT_FALSE(idkit_sid_eq(&a, d)) << text_of(*d);
        EXPECT_EQ(idkit_sid_keycmp_fn(&a, d), 0);
        EXPECT_NE(idkit_sid_hash_fn(&a), idkit_sid_hash_fn(d)) << text_of(*d);
    }
    EXPECT_FALSE(idkit_sid_eq(&IDKIT_SID_NOBODY, &IDKIT_SID_DONTCARE));
    // Oversized lengths are clamped to the body, never read past the record.
    idkit_sid_t big = a;
    big.length = 200;
    idkit_sid_t big2 = big;
    EXPECT_TRUE(idkit_sid_eq(&big, &big2));
    EXPECT_EQ(idkit_sid_hash_fn(&big), idkit_sid_hash_fn(&big2));
}

TEST(LocalSids, IdsMapToTheirSidsAndBack)
{
    for (uint32_t id : {0u, 1000u, 65534u, 4294967293u}) {
        idkit_sid_t user, group;
        idkit_uid_to_sid(&user, id);
        idkit_gid_to_sid(&group, id);
        EXPECT_EQ(text_of(user), "S-1-22-1-" + std::to_string(id));
        EXPECT_EQ(text_of(group), "S-1-22-2-" + std::to_string(id));
        EXPECT_EQ(user.kind, IDKIT_SID_KIND_REAL);
        EXPECT_EQ(idkit_sid_to_uid(&user), id);
        EXPECT_EQ(idkit_sid_to_gid(&group), id);
        // A user SID is no group and the other way round.
        EXPECT_EQ(idkit_sid_to_gid(&user), IDKIT_ID_NOBODY);
        EXPECT_EQ(idkit_sid_to_uid(&group), IDKIT_ID_NOBODY);
    }
    idkit_sid_t nt_kind = sid_of("S-1-22-1-42@3");
    EXPECT_EQ(idkit_sid_to_uid(&nt_kind), 42u);
    for (const char *text : {"S-1-22-1", "S-1-22-1-5-6", "S-1-22-3-5", "S-2-22-1-5", "S-1-5-21-1", "nobody"}) {
        idkit_sid_t sid = sid_of(text);
        EXPECT_EQ(idkit_sid_to_uid(&sid), IDKIT_ID_NOBODY) << text;
    }
    EXPECT_EQ(idkit_sid_to_uid(&IDKIT_SID_DONTCARE), IDKIT_ID_NOBODY);
    EXPECT_EQ(idkit_sid_to_uid(nullptr), IDKIT_ID_NOBODY);
}

TEST(OwnCredentials, MatchTheProcessIds)
{
    std::vector<gid_t> groups(size_t(getgroups(0, nullptr)));
    groups.resize(size_t(getgroups(int(groups.size()), groups.data())));
    idkit_sid_credentials_t sc;
    ASSERT_EQ(idkit_get_sid_credentials(&sc), 0);
    EXPECT_EQ(idkit_sid_to_uid(&sc.user), getuid());
    EXPECT_EQ(idkit_sid_to_gid(&sc.group), getgid());
    ASSERT_EQ(sc.ngroups, std::min<size_t>(groups.size(), IDKIT_MAX_GROUPS));
    for (uint32_t i = 0; i < sc.ngroups; ++i)
        EXPECT_EQ(idkit_sid_to_gid(&sc.groups[i]), groups[i]);

    idkit_whole_credentials_t wc;
    ASSERT_EQ(idkit_get_complete_whole_credentials(&wc), 0);
    EXPECT_TRUE(idkit_sid_eq(&wc.user, &sc.user));
    EXPECT_TRUE(idkit_sid_eq(&wc.group, &sc.group));
    ASSERT_EQ(size_t(wc.ngroups), groups.size());
    for (size_t i = 0; i < groups.size(); ++i)
        EXPECT_EQ(idkit_sid_to_gid(&wc.groups[i]), groups[i]);
    idkit_free_whole_credentials(&wc);
    EXPECT_EQ(idkit_get_sid_credentials(nullptr), CORE_E_BAD_ARGUMENT);
}

TEST(SidCredentials, ConvertToLocalIds)
{
    idkit_sid_credentials_t sc{sid_of("S-1-22-1-1000"), sid_of("S-1-22-2-100"), 0, {}};
    for (const char *g : {"S-1-22-2-5", "S-1-5-21-1-2-3-513", "S-1-22-2-7@3", "nobody", "S-1-22-1-9"})
        sc.groups[sc.ngroups++] = sid_of(g);
    idkit_credentials_t c;
    ASSERT_EQ(idkit_sid_credentials_to_credentials(&sc, &c), 0);
    EXPECT_EQ(c.uid, 1000u);
    EXPECT_EQ(c.gid, 100u);
    ASSERT_EQ(c.ngroups, 5);
    const uint64_t expected[] = {5, IDKIT_ID_NOBODY, 7, IDKIT_ID_NOBODY, IDKIT_ID_NOBODY, 0};
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(c.groups[i], expected[i]) << i;

    sc.user = sc.group = IDKIT_SID_NOBODY;
    ASSERT_EQ(idkit_sid_credentials_to_credentials(&sc, &c), 0);
    EXPECT_EQ(c.uid, IDKIT_ID_NOBODY);
    EXPECT_EQ(c.gid, IDKIT_ID_NOBODY);

    // Refusals leave the output as it was.
    const struct {
        const char *user, *group;
        uint32_t ngroups;
        core_status_t status;
    } refused[] = {
        {"S-1-5-21-1-2-3-1104", "S-1-22-2-100", 0, IDKIT_E_UNMAPPED_SID},
        {"S-1-22-1-1000", "S-1-22-1-100", 0, IDKIT_E_UNMAPPED_SID},
        {"dontcare", "S-1-22-2-100", 0, IDKIT_E_UNMAPPED_SID},
        {"S-1-22-1-1000", "S-1-22-2-100", IDKIT_MAX_GROUPS + 1, CORE_E_BAD_ARGUMENT},
    };
    for (const auto &r : refused) {
        sc.user = sid_of(r.user);
        sc.group = sid_of(r.group);
        sc.ngroups = r.ngroups;
        c.uid = 77;
        EXPECT_EQ(idkit_sid_credentials_to_credentials(&sc, &c), r.status) << r.user << ' ' << r.group;
        EXPECT_EQ(c.uid, 77u);
    }
    EXPECT_EQ(idkit_sid_credentials_to_credentials(nullptr, &c), CORE_E_BAD_ARGUMENT);
    EXPECT_EQ(idkit_sid_credentials_to_credentials(&sc, nullptr), CORE_E_BAD_ARGUMENT);
}

TEST(Accounts, LookupsByLocalSid)
{
    struct passwd *root = getpwuid(0);
    ASSERT_NE(root, nullptr);
    const std::string home = root->pw_dir, group0 = getgrgid(root->pw_gid)->gr_name;
    idkit_sid_t sid;
    idkit_uid_to_sid(&sid, 0);
    idkit_passwd_sid_t *pw = idkit_getpwsid(&sid);
    ASSERT_NE(pw, nullptr);
    EXPECT_STREQ(pw->user.name, "root");
    EXPECT_EQ(pw->user.id, 0u);
    EXPECT_TRUE(idkit_sid_eq(&pw->user.sid, &sid));
    EXPECT_STREQ(pw->group.name, group0.c_str());
    EXPECT_EQ(idkit_sid_to_gid(&pw->group.sid), pw->group.id);
    EXPECT_STREQ(pw->home, home.c_str());
    EXPECT_NE(pw->gecos, nullptr);

    idkit_gid_to_sid(&sid, 0);
    idkit_group_sid_t *gr = idkit_getgrsid(&sid);
    ASSERT_NE(gr, nullptr);
    EXPECT_STREQ(gr->name, getgrgid(0)->gr_name);
    EXPECT_TRUE(idkit_sid_eq(&gr->sid, &sid));

    // Group SIDs are no accounts, and foreign SIDs have no local entry.
    EXPECT_EQ(idkit_getpwsid(&sid), nullptr);
    idkit_sid_t domain = sid_of("S-1-5-21-1-2-3-513"), unknown = sid_of("S-1-22-1-3999999999");
    EXPECT_EQ(idkit_getgrsid(&domain), nullptr);
    EXPECT_EQ(idkit_getpwsid(&IDKIT_SID_NOBODY), nullptr);
    EXPECT_EQ(idkit_getpwsid(&unknown), nullptr);
}

TEST(MachineName, IsTheHostNameCutToTheBuffer)
{
    char host[HOST_NAME_MAX + 1] = {};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    char buffer[64];
    ASSERT_EQ(idkit_mk_authunix_machname(buffer, sizeof buffer), 0);
    EXPECT_EQ(std::string(buffer), std::string(host).substr(0, 63));
    char small[4] = {'x', 'x', 'x', 'x'};
    ASSERT_EQ(idkit_mk_authunix_machname(small, sizeof small), 0);
    EXPECT_EQ(std::string(small), std::string(host).substr(0, 3));
    ASSERT_EQ(idkit_mk_authunix_machname(small, 1), 0);
    EXPECT_EQ(small[0], '\0');
    EXPECT_EQ(idkit_mk_authunix_machname(small, 0), -1);
    EXPECT_EQ(idkit_mk_authunix_machname(nullptr, 8), -1);
}

TEST(WholeCredentials, CopyOwnsItsGroupsAndFreeClears)
{
    idkit_sid_t groups[3] = {sid_of("S-1-22-2-1"), sid_of("S-1-5-21-1-2-3-513"), IDKIT_SID_NOBODY};
    idkit_whole_credentials_t src{sid_of("S-1-22-1-5"), sid_of("S-1-22-2-5"), 3, groups}, dst;
    ASSERT_EQ(idkit_copy_whole_credentials(&src, &dst), 0);
    ASSERT_EQ(dst.ngroups, 3);
    ASSERT_NE(dst.groups, groups);
    EXPECT_TRUE(idkit_sid_eq(&dst.user, &src.user));
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(idkit_sid_eq(&dst.groups[i], &groups[i])) << i;
    idkit_free_whole_credentials(&dst);
    EXPECT_EQ(dst.groups, nullptr);
    EXPECT_EQ(dst.ngroups, 0);
    idkit_free_whole_credentials(&dst);
    idkit_free_whole_credentials(nullptr);

    // No groups, negative counts and absent arrays all copy as no groups.
    for (int32_t n : {0, -4, 3}) {
        src.ngroups = n;
        src.groups = n > 0 ? nullptr : groups;
        ASSERT_EQ(idkit_copy_whole_credentials(&src, &dst), 0);
        EXPECT_EQ(dst.ngroups, 0);
        EXPECT_EQ(dst.groups, nullptr);
    }
    EXPECT_EQ(idkit_copy_whole_credentials(nullptr, &dst), CORE_E_BAD_ARGUMENT);
}

TEST(WholeCredentials, NamesComeFromTheLocalDatabases)
{
    const std::string group0 = getgrgid(0)->gr_name;
    idkit_sid_t groups[3] = {sid_of("S-1-22-2-0"), sid_of("S-1-5-21-1-2-3-513"), IDKIT_SID_NOBODY};
    idkit_whole_credentials_t wc{sid_of("S-1-22-1-0"), sid_of("S-1-22-2-0"), 3, groups};
    idkit_whole_string_credentials_t names;
    ASSERT_EQ(idkit_whole_credentials_to_whole_string_credentials(&wc, &names), 0);
    EXPECT_STREQ(names.user, "root");
    EXPECT_EQ(names.group, group0);
    ASSERT_EQ(names.ngroups, 3u);
    EXPECT_EQ(names.groups[0], group0);
    EXPECT_STREQ(names.groups[1], "nobody");
    EXPECT_STREQ(names.groups[2], "nobody");
    idkit_free_whole_string_credentials(&names);
    EXPECT_EQ(names.user, nullptr);
    EXPECT_EQ(names.groups, nullptr);
    EXPECT_EQ(names.ngroups, 0u);
    idkit_free_whole_string_credentials(nullptr);

    // A foreign user has no local name; a count without an array is refused.
    wc.user = sid_of("S-1-5-21-1-2-3-1104");
    wc.ngroups = 0;
    ASSERT_EQ(idkit_whole_credentials_to_whole_string_credentials(&wc, &names), 0);
    EXPECT_STREQ(names.user, "nobody");
    EXPECT_EQ(names.groups, nullptr);
    idkit_free_whole_string_credentials(&names);
    wc.ngroups = 2;
    wc.groups = nullptr;
    EXPECT_EQ(idkit_whole_credentials_to_whole_string_credentials(&wc, &names), CORE_E_BAD_ARGUMENT);
    EXPECT_EQ(names.user, nullptr);
}

TEST(StringCredentials, FreeReleasesNamesAndClears)
{
    idkit_string_credentials_t sc{strdup("alice"), strdup("staff"), 1000, 0, {}};
    for (char *&group : sc.groups)
        group = strdup("g");
    // A count past the record's slots frees only the slots that exist.
    idkit_free_string_credentials(&sc);
    EXPECT_EQ(sc.user, nullptr);
    EXPECT_EQ(sc.groups[IDKIT_MAX_GROUPS - 1], nullptr);
    EXPECT_EQ(sc.ngroups, 0u);
    idkit_free_string_credentials(&sc);
    idkit_free_string_credentials(nullptr);
}

}  // namespace
