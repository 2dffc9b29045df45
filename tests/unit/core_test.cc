// Base services: status texts and XDR, the internal-error catalogue, SID access lists and role maps.
#include "host/core.h"

#include <string.h>

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace {

TEST(CoreStatusTest, TextsAndXdrRefusesNoStatus)
{
    EXPECT_STREQ(core_strerror(CORE_E_BAD_ARGUMENT), "argument missing or out of range");
    EXPECT_STREQ(core_strerror(-1), "unknown status");
    char buffer[4];
    XDR x;
    xdrmem_create(&x, buffer, sizeof buffer, XDR_ENCODE);
    EXPECT_FALSE(xdr_core_status_t(&x, nullptr, 0));
}

TEST(CoreMessagesTest, CatalogueRowsAreNumberedAndLoggedWithTheirSource)
{
    const vox_msg_table_t &table = _core_cmsg_core_msg_table;
    for (int row = 0; row < table.nrows; ++row)
        EXPECT_EQ(table.numbers[row], row + 1) << row;
    testing::internal::CaptureStderr();
    core_log_int_error("credmap/clnt", &table, 39, "lib/credmap/client/credmap_clnt", 108, 0);
    core_log_int_error(nullptr, nullptr, 500, "f.cc", 7, 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "credmap/clnt: error: internal error: cannot allocate a credmap server handle "
              "(lib/credmap/client/credmap_clnt:108)\ncore: error: core message 500 not found (f.cc:7)\n");
}

using Walked = std::vector<std::pair<uint32_t, uint32_t>>;
Walked walk(core_sid_acl_t acl)
{
    Walked seen;
    uint64_t cursor = 0;
    uint32_t position = 0;
    while (const core_sid_acl_entry_t *entry = core_sid_acl_next_entry(acl, &cursor, &position))
        seen.emplace_back(position, entry->rights);
    return seen;
}

TEST(CoreAclTest, EntriesAreKeptInPositionOrderAndReplacedAndRoleNamesCut)
{
    core_sid_acl_t acl = nullptr;
    ASSERT_EQ(core_sid_acl_create(&acl), CORE_OK);
    core_sid_acl_entry_t user{}, mask{};
    user.rights = 10;
    mask.kind = CORE_ACL_MASK;
    mask.rights = 40;
    EXPECT_EQ(core_sid_acl_set_entry(acl, &user, 9), CORE_OK);
    EXPECT_EQ(core_sid_acl_set_entry(acl, &user, 0xffffffffu), CORE_OK);
    EXPECT_EQ(core_sid_acl_set_entry(acl, &user, 3), CORE_OK);
    EXPECT_EQ(core_sid_acl_set_entry(acl, &mask, 9), CORE_OK);
    EXPECT_EQ(walk(acl), (Walked{{3, 10}, {9, 40}, {0xffffffffu, 10}}));
    EXPECT_EQ(core_sid_acl_count(acl), 3u);
    // Setting an entry from the list itself into the list is safe.
    uint64_t cursor = 0;
    EXPECT_EQ(core_sid_acl_set_entry(acl, core_sid_acl_next_entry(acl, &cursor, nullptr), 1), CORE_OK);
    EXPECT_EQ(walk(acl), (Walked{{1, 10}, {3, 10}, {9, 40}, {0xffffffffu, 10}}));
    EXPECT_EQ(core_sid_acl_create(nullptr), CORE_E_BAD_ARGUMENT);
    EXPECT_EQ(core_sid_acl_set_entry(nullptr, &user, 0), CORE_E_BAD_ARGUMENT);
    EXPECT_EQ(core_sid_acl_set_entry(acl, nullptr, 0), CORE_E_BAD_ARGUMENT);
    EXPECT_EQ(core_sid_acl_next_entry(acl, nullptr, nullptr), nullptr);
    core_sid_acl_free(acl);

    core_rolemap_acl_t map = nullptr;
    ASSERT_EQ(core_rolemap_acl_create(&map), CORE_OK);
    core_rolemap_binding_t longer{{}, 99, nullptr};
    memset(longer.role, 'r', sizeof longer.role);  // no terminating NUL
    ASSERT_EQ(core_rolemap_acl_add_role_binding(map, &longer, &mask), CORE_OK);
    cursor = 0;
    const core_rolemap_binding_t *bound = core_rolemap_acl_next_role_binding(map, &cursor);
    ASSERT_NE(bound, nullptr);
    EXPECT_EQ(strlen(bound->role), size_t{CORE_ROLE_NAME_MAX});
    ASSERT_EQ(core_rolemap_acl_add_role_binding(map, bound, &bound->entries[0]), CORE_OK);
    EXPECT_EQ(core_rolemap_acl_count(map), 1u);
    ASSERT_EQ(bound->nentries, 2u);
    EXPECT_EQ(memcmp(&bound->entries[1], &mask, sizeof mask), 0);
    EXPECT_EQ(core_rolemap_acl_create(nullptr), CORE_E_BAD_ARGUMENT);
    EXPECT_EQ(core_rolemap_acl_add_role_binding(nullptr, &longer, &mask), CORE_E_BAD_ARGUMENT);
    EXPECT_EQ(core_rolemap_acl_add_role_binding(map, nullptr, &mask), CORE_E_BAD_ARGUMENT);
    EXPECT_EQ(core_rolemap_acl_add_role_binding(map, &longer, nullptr), CORE_E_BAD_ARGUMENT);
    EXPECT_EQ(core_rolemap_acl_next_role_binding(map, nullptr), nullptr);
    core_rolemap_acl_free(map);
}

TEST(CoreAclTextTest, WrittenListsReadBackAndMistakesAreLocated)
{
    const char *text = "# a list\n"
                       "user S-1-22-1-0 rwx flags=3\n"
                       "  group S-1-5-21-1-2-3-513 r-x   # trailing comment\n"
                       "owner rwxdc\nowner-group -\nother r\nmask 0x7\nkind 9 dontcare 0x40\n";
    core_sid_acl_t acl = nullptr;
    core_text_error_t error{};
    ASSERT_EQ(core_sid_acl_from_text(text, &acl, &error), CORE_OK) << error.message;
    char *printed = core_sid_acl_to_text(acl);
    EXPECT_STREQ(printed, "user S-1-22-1-0 rwx flags=3\ngroup S-1-5-21-1-2-3-513 r-x\nowner rwxdc\nowner-group -\n"
                          "other r\nmask rwx\nkind 9 dontcare 0x40\n");
    free(printed);
    core_sid_acl_free(acl);

    struct {
        const char *text;
        unsigned line, column;
        const char *message_start;
    } bad[] = {
        {"user S-1-22-1-0 rwx\nuser S-1-x r\n", 2, 6, "not a SID"},
        {"group S-1-22-2-0 rwq\n", 1, 18, "bad rights"},
        {"\n\nfriend S-1-22-1-0 r\n", 3, 1, "expected user"},
        {"user S-1-22-1-0\n", 1, 6, "expected the rights"},
        {"other r flags=70000\n", 1, 9, "unexpected word"},
        {"kind x S-1-22-1-0 r\n", 1, 6, "expected the number"},
        {"kind +5 S-1-22-1-0 r\n", 1, 6, "expected the number"},
        {"role admins\n", 1, 1, "a role belongs"},
    };
    for (const auto &b : bad) {
        acl = reinterpret_cast<core_sid_acl_t>(1);
        EXPECT_EQ(core_sid_acl_from_text(b.text, &acl, &error), CORE_E_BAD_ARGUMENT) << b.text;
        EXPECT_EQ(acl, nullptr);
        EXPECT_EQ(std::make_pair(error.line, error.column), std::make_pair(b.line, b.column)) << b.text;
        EXPECT_EQ(std::string(error.message).rfind(b.message_start, 0), 0u) << error.message;
    }

    core_rolemap_acl_t map = nullptr;
    EXPECT_EQ(core_rolemap_acl_from_text("user nobody r\n", &map, &error), CORE_E_BAD_ARGUMENT);
    EXPECT_EQ(error.line, 1u);
}

}  // namespace
