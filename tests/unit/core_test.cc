// Base services: status texts, status XDR, the internal-error catalogue,
// SID access lists and role maps.
#include "host/core.h"

#include <string.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace {

TEST(CoreStatusTest, EveryStatusHasItsOwnText)
{
    const core_status_t all[] = {
        CORE_OK,
        CORE_E_FAILURE,
        CORE_E_NT_SID_UNSUPPORTED,
        CORE_E_RPC_FAILED,
        CORE_E_UNSUPPORTED,
        CORE_E_INCOMPLETE,
        CORE_E_CREDS_REFUSED,
        CORE_E_BAD_ARGUMENT,
        CORE_E_NO_MEMORY,
        CORE_E_NOT_FOUND,
        CORE_E_SYSTEM,
        HUBD_E_HOST_UNKNOWN,
        HUBD_E_UNREACHABLE,
        HUBD_E_NOT_REGISTERED,
        HUBD_E_CONNECT_REFUSED,
        HUBD_E_START_TIMEOUT,
        HUBD_E_PROTOCOL,
        HUBD_E_CLIENT,
        HUBD_E_NO_HOSTINFO,
        HUBD_E_NOT_PERMITTED,
        HUBD_E_TOO_MANY,
        IDKIT_E_BAD_SID_TEXT,
        IDKIT_E_UNMAPPED_SID,
        IDKIT_E_NO_CREDENTIALS,
    };
    std::set<std::string> texts = {"unknown status"};
    for (core_status_t status : all) {
        const char *text = core_strerror(status);
        ASSERT_NE(text, nullptr) << status;
        EXPECT_TRUE(texts.insert(text).second) << "text shared by " << status << ": " << text;
    }
    EXPECT_STREQ(core_strerror(CORE_E_BAD_ARGUMENT), "argument missing or out of range");
    for (core_status_t unknown : {-1, 1, 1000, 1003, 1073, 99999, INT32_MIN}) {
        EXPECT_STREQ(core_strerror(unknown), "unknown status") << unknown;
    }
}

// A status is a signed 32-bit big-endian word, and nothing more.
TEST(CoreStatusTest, StatusesSurviveAnXdrRoundTrip)
{
    for (core_status_t status : {0, 1072, -2, INT32_MIN, INT32_MAX}) {
        char buffer[4];
        XDR x;
        xdrmem_create(&x, buffer, sizeof buffer, XDR_ENCODE);
        ASSERT_TRUE(xdr_core_status_t(&x, &status, 0));
        EXPECT_EQ(xdr_getpos(&x), 4u);
        xdr_destroy(&x);
        EXPECT_TRUE(status != -2 || memcmp(buffer, "\xff\xff\xff\xfe", 4) == 0);

        xdrmem_create(&x, buffer, sizeof buffer, XDR_DECODE);
        core_status_t decoded = 12345;
        ASSERT_TRUE(xdr_core_status_t(&x, &decoded, 0));
        EXPECT_EQ(decoded, status);
        EXPECT_FALSE(xdr_core_status_t(&x, &decoded, 0));
        xdr_destroy(&x);
    }
}

TEST(CoreMessagesTest, CatalogueRowsAreNumberedAndPlainAndLoggedWithTheirSource)
{
    const vox_msg_table_t &table = _core_cmsg_core_msg_table;
    ASSERT_GE(table.nrows, 40);
    EXPECT_EQ(table.nnumbers, table.nrows);
    for (int row = 0; row < table.nrows; ++row) {
        ASSERT_NE(table.texts[row], nullptr) << row;
        EXPECT_EQ(table.numbers[row], row + 1) << row;
        // core_log_int_error passes no arguments, so no row may ask for any.
        EXPECT_EQ(strchr(table.texts[row], '%'), nullptr) << row;
    }

    testing::internal::CaptureStderr();
    core_log_int_error("credmap/clnt", &table, 39, "lib/credmap/client/credmap_clnt", 108, 0);
    core_log_int_error("credmap/clnt", &table, 500, "f.cc", 7, 0);
    std::string row = table.texts[39];
    ASSERT_EQ(row.back(), '\n');
    row.pop_back();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "credmap/clnt: error: " + row +
                                                          " (lib/credmap/client/credmap_clnt:108)\n"
                                                          "credmap/clnt: error: core message 500 not found (f.cc:7)\n");
}

core_sid_acl_entry_t make_entry(uint32_t kind, uint32_t rights)
{
    core_sid_acl_entry_t entry;
    memset(&entry, 0, sizeof entry);
    entry.kind = kind;
    entry.rights = rights;
    entry.sid.length = 8;
    entry.sid.kind = IDKIT_SID_KIND_REAL;
    entry.sid.body[7] = static_cast<uint8_t>(rights);
    return entry;
}

// The (position, rights) pairs of a list, in walk order.
using Walked = std::vector<std::pair<uint32_t, uint32_t>>;
Walked walk(core_sid_acl_t acl)
{
    Walked seen;
    uint64_t cursor = 0;
    uint32_t position = 0;
    while (const core_sid_acl_entry_t *entry = core_sid_acl_next_entry(acl, &cursor, &position)) {
        seen.emplace_back(position, entry->rights);
    }
    return seen;
}

TEST(CoreAclTest, EntriesAreKeptInPositionOrderAndReplaced)
{
    core_sid_acl_t acl = nullptr;
    ASSERT_EQ(core_sid_acl_create(&acl), CORE_OK);
    EXPECT_TRUE(walk(acl).empty());
    const core_sid_acl_entry_t user = make_entry(CORE_ACL_USER, 10), group = make_entry(CORE_ACL_GROUP, 20),
                               other = make_entry(CORE_ACL_OTHER, 30), mask = make_entry(CORE_ACL_MASK, 40);
    EXPECT_EQ(core_sid_acl_set_entry(acl, &other, 9), CORE_OK);
    EXPECT_EQ(core_sid_acl_set_entry(acl, &user, 0xffffffffu), CORE_OK);
    EXPECT_EQ(core_sid_acl_set_entry(acl, &group, 3), CORE_OK);
    EXPECT_EQ(walk(acl), (Walked{{3, 20}, {9, 30}, {0xffffffffu, 10}}));

    // The same position again replaces the entry there, every member of it.
    EXPECT_EQ(core_sid_acl_set_entry(acl, &mask, 9), CORE_OK);
    EXPECT_EQ(core_sid_acl_count(acl), 3u);
    EXPECT_EQ(walk(acl), (Walked{{3, 20}, {9, 40}, {0xffffffffu, 10}}));
    uint64_t cursor = 1;
    const core_sid_acl_entry_t *stored = core_sid_acl_next_entry(acl, &cursor, nullptr);
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(memcmp(stored, &mask, sizeof mask), 0);
    EXPECT_EQ(cursor, 2u);

    // Setting an entry from the list itself into the list is safe.
    cursor = 0;
    EXPECT_EQ(core_sid_acl_set_entry(acl, core_sid_acl_next_entry(acl, &cursor, nullptr), 1), CORE_OK);
    EXPECT_EQ(walk(acl), (Walked{{1, 20}, {3, 20}, {9, 40}, {0xffffffffu, 10}}));

    // Null arguments and a cursor past the end are refused.
    EXPECT_EQ(core_sid_acl_create(nullptr), CORE_E_BAD_ARGUMENT);
    EXPECT_EQ(core_sid_acl_set_entry(nullptr, &user, 0), CORE_E_BAD_ARGUMENT);
    EXPECT_EQ(core_sid_acl_set_entry(acl, nullptr, 0), CORE_E_BAD_ARGUMENT);
    EXPECT_EQ(core_sid_acl_next_entry(nullptr, &cursor, nullptr), nullptr);
    EXPECT_EQ(core_sid_acl_next_entry(acl, nullptr, nullptr), nullptr);
    cursor = 5;
    EXPECT_EQ(core_sid_acl_next_entry(acl, &cursor, nullptr), nullptr);
    EXPECT_EQ(core_sid_acl_count(nullptr), 0u);
    core_sid_acl_free(nullptr);
    core_sid_acl_free(acl);
}

TEST(CoreRolemapTest, EntriesAreGroupedUnderTheirRolesInFirstAddedOrder)
{
    core_rolemap_acl_t map = nullptr;
    ASSERT_EQ(core_rolemap_acl_create(&map), CORE_OK);
    uint64_t cursor = 0;
    EXPECT_EQ(core_rolemap_acl_next_role_binding(map, &cursor), nullptr);

    core_rolemap_binding_t readers{"readers", 99, nullptr}, admins{"admins", 0, nullptr};
    // The caller's count and array are not taken over.
    for (uint32_t rights : {1, 2, 3}) {
        core_sid_acl_entry_t entry = make_entry(CORE_ACL_USER, rights);
        ASSERT_EQ(core_rolemap_acl_add_role_binding(map, &readers, &entry), CORE_OK);
        entry.rights += 10;
        ASSERT_EQ(core_rolemap_acl_add_role_binding(map, &admins, &entry), CORE_OK);
    }
    const core_sid_acl_entry_t group = make_entry(CORE_ACL_GROUP, 4);
    ASSERT_EQ(core_rolemap_acl_add_role_binding(map, &readers, &group), CORE_OK);
    EXPECT_EQ(core_rolemap_acl_count(map), 2u);

    cursor = 0;
    const core_rolemap_binding_t *first = core_rolemap_acl_next_role_binding(map, &cursor);
    const core_rolemap_binding_t *second = core_rolemap_acl_next_role_binding(map, &cursor);
    EXPECT_EQ(core_rolemap_acl_next_role_binding(map, &cursor), nullptr);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_STREQ(first->role, "readers");
    ASSERT_EQ(first->nentries, 4u);
    EXPECT_EQ(first->entries[0].rights, 1u);
    EXPECT_EQ(first->entries[2].rights, 3u);
    EXPECT_EQ(memcmp(&first->entries[3], &group, sizeof group), 0);
    EXPECT_STREQ(second->role, "admins");
    ASSERT_EQ(second->nentries, 3u);
    EXPECT_EQ(second->entries[1].rights, 12u);

    // A binding read from the map can be fed back, with one of its entries.
    ASSERT_EQ(core_rolemap_acl_add_role_binding(map, second, &second->entries[0]), CORE_OK);
    EXPECT_EQ(second->nentries, 4u);
    EXPECT_EQ(second->entries[3].rights, 11u);
    EXPECT_EQ(core_rolemap_acl_count(map), 2u);
    core_rolemap_acl_free(map);
}

TEST(CoreRolemapTest, LongRoleNamesAreCutAndTerminatedAndNullArgumentsRefused)
{
    core_rolemap_acl_t map = nullptr;
    ASSERT_EQ(core_rolemap_acl_create(&map), CORE_OK);
    core_rolemap_binding_t binding{{}, 0, nullptr};
    memset(binding.role, 'r', sizeof binding.role);  // no terminating NUL
    const core_sid_acl_entry_t entry = make_entry(CORE_ACL_OTHER, 5);
    ASSERT_EQ(core_rolemap_acl_add_role_binding(map, &binding, &entry), CORE_OK);
    ASSERT_EQ(core_rolemap_acl_add_role_binding(map, &binding, &entry), CORE_OK);
    uint64_t cursor = 0;
    const core_rolemap_binding_t *stored = core_rolemap_acl_next_role_binding(map, &cursor);
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(strlen(stored->role), size_t{CORE_ROLE_NAME_MAX});
    EXPECT_EQ(stored->nentries, 2u);
    EXPECT_EQ(core_rolemap_acl_count(map), 1u);

    EXPECT_EQ(core_rolemap_acl_create(nullptr), CORE_E_BAD_ARGUMENT);
    EXPECT_EQ(core_rolemap_acl_add_role_binding(nullptr, &binding, &entry), CORE_E_BAD_ARGUMENT);
    EXPECT_EQ(core_rolemap_acl_add_role_binding(map, nullptr, &entry), CORE_E_BAD_ARGUMENT);
    EXPECT_EQ(core_rolemap_acl_add_role_binding(map, &binding, nullptr), CORE_E_BAD_ARGUMENT);
    EXPECT_EQ(core_rolemap_acl_next_role_binding(nullptr, &cursor), nullptr);
    EXPECT_EQ(core_rolemap_acl_next_role_binding(map, nullptr), nullptr);
    EXPECT_EQ(core_rolemap_acl_count(nullptr), 0u);
    core_rolemap_acl_free(nullptr);
    core_rolemap_acl_free(map);
}

}  // namespace

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
    ASSERT_EQ(core_rolemap_acl_from_text("role a\n user nobody r\nrole empty\nrole a\n other w\n", &map, &error),
              CORE_OK);
    printed = core_rolemap_acl_to_text(map);
    EXPECT_STREQ(printed, "role a\n  user nobody r\n  other -w\nrole empty\n");
    free(printed);
    core_rolemap_acl_free(map);
    EXPECT_EQ(core_rolemap_acl_from_text("user nobody r\n", &map, &error), CORE_E_BAD_ARGUMENT);
    EXPECT_EQ(error.line, 1u);
}
