// The library's message catalogue: its shape, its numbering and the texts that the library prints.
#include <gtest/gtest.h>

#include "velmo/credmap_msg.h"

namespace {

TEST(CredmapMsgTable, ShapeNumbersAndPrintedTexts)
{
    const vox_msg_table_t &table = _credmap_credmap_msg_table;
    EXPECT_STREQ(table.facility, "credmap_lib");
    EXPECT_STREQ(table.catalogue, "credmap");
    ASSERT_EQ(table.nrows, 42);
    ASSERT_EQ(table.nnumbers, 42);
    // Numbers run 1, 2, 3, then 5 to 43; every row has a text.
    for (int row = 0; row < CREDMAP_MSG_ROWS; ++row) {
        EXPECT_EQ(table.numbers[row], row < 3 ? row + 1 : row + 2) << "row " << row;
        ASSERT_TRUE(table.texts[row] != nullptr && table.texts[row][0] != '\0') << "row " << row;
    }
    // The rows the library prints, with their quotes and line ends (or none).
    EXPECT_STREQ(table.texts[0], "----------calls--c/s--rt/call\n");
    EXPECT_STREQ(table.texts[CREDMAP_MSG_UNABLE_TO_CONTACT], "Unable to contact credmap svr:%s\n");
    EXPECT_STREQ(table.texts[CREDMAP_MSG_USING_NOBODY], "Can't get credentials for use on host %s; using \"nobody\"\n");
    EXPECT_STREQ(table.texts[CREDMAP_MSG_SID_TYPE_UNSUPPORTED], "\"%s\"-type SID is not supported by credmap_server\n");
    EXPECT_STREQ(table.texts[CREDMAP_MSG_MORE_INFO],
                 "More information might be available in hubd or credmap logs on host: \"%s\".\n");
    EXPECT_STREQ(table.texts[CREDMAP_MSG_REMOTE_GROUP],
                 "Unable to map group ID \"%s\" from remote host %s to local ID: %s\n");
    EXPECT_STREQ(table.texts[CREDMAP_MSG_LOCAL_USER], "Unable to map local user ID \"%s\" to remote host %s: %s\n");
    EXPECT_STREQ(table.texts[8], "socket: %s");
}

}  // namespace
