// The library's message catalogue: its shape, its numbering and the texts
// that the library prints.
#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "velmo/credmap_msg.h"

namespace {

const vox_msg_table_t &table = _credmap_credmap_msg_table;

TEST(CredmapMsgTable, NamesAndCounts)
{
    EXPECT_STREQ(table.facility, "credmap_lib");
    EXPECT_STREQ(table.catalogue, "credmap");
    EXPECT_EQ(table.nrows, 42);
    EXPECT_EQ(table.nnumbers, 42);
    ASSERT_NE(table.texts, nullptr);
    ASSERT_NE(table.numbers, nullptr);
}

// Numbers run 1, 2, 3, then 5 to 43: unique, rising, and 4 is skipped.
TEST(CredmapMsgTable, NumbersSkipFour)
{
    EXPECT_EQ(table.numbers[0], 1);
    EXPECT_EQ(table.numbers[2], 3);
    EXPECT_EQ(table.numbers[3], 5);
    EXPECT_EQ(table.numbers[41], 43);
    std::set<int> seen;
    for (int row = 0; row < CREDMAP_MSG_ROWS; ++row) {
        EXPECT_NE(table.numbers[row], 4) << "row " << row;
        if (row > 0) {
            EXPECT_GT(table.numbers[row], table.numbers[row - 1]) << "row " << row;
        }
        seen.insert(table.numbers[row]);
    }
    EXPECT_EQ(seen.size(), 42u);
}

TEST(CredmapMsgTable, EveryTextIsPresent)
{
    for (int row = 0; row < CREDMAP_MSG_ROWS; ++row) {
        ASSERT_NE(table.texts[row], nullptr) << "row " << row;
        EXPECT_GT(std::strlen(table.texts[row]), 0u) << "row " << row;
    }
}

// The rows the library prints, with their quotes and line ends.
TEST(CredmapMsgTable, PrintedTexts)
{
    EXPECT_STREQ(table.texts[0], "----------calls--c/s--rt/call\n");
    EXPECT_STREQ(table.texts[CREDMAP_MSG_UNABLE_TO_CONTACT], "Unable to contact credmap svr:%s\n");
    EXPECT_STREQ(table.texts[CREDMAP_MSG_USING_NOBODY], "Can't get credentials for use on host %s; using \"nobody\"\n");
    EXPECT_STREQ(table.texts[CREDMAP_MSG_SID_TYPE_UNSUPPORTED], "\"%s\"-type SID is not supported by credmap_server\n");
    EXPECT_STREQ(table.texts[CREDMAP_MSG_MORE_INFO],
                 "More information might be available in hubd or credmap logs on host: \"%s\".\n");
    EXPECT_STREQ(table.texts[CREDMAP_MSG_REMOTE_GROUP],
                 "Unable to map group ID \"%s\" from remote host %s to local ID: %s\n");
    EXPECT_STREQ(table.texts[CREDMAP_MSG_LOCAL_USER], "Unable to map local user ID \"%s\" to remote host %s: %s\n");
    // Rows without a line end stay without one.
    EXPECT_STREQ(table.texts[8], "socket: %s");
}

}  // namespace
