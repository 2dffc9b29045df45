// Message service: printed lines, trace levels and verbosity.
#include "host/vox.h"

#include <errno.h>
#include <stdlib.h>

#include <string>

#include <gtest/gtest.h>

namespace {

const char *const kDemoTexts[] = {"cannot open %s\n", "%d entries without newline"};
const uint16_t kDemoNumbers[] = {1, 2};
const vox_msg_table_t kDemoTable = {"demo", "democat", 2, 2, 0, kDemoTexts, kDemoNumbers};

// Every severity has its word, severity 0 prints the text alone, and missing rows or tables print a notice or nothing.
TEST(VoxTest, StandardErrorLinesCarryFacilityAndSeverityWordAndAreCut)
{
    const std::string program = program_invocation_short_name, long_text(3 * VOX_LINE_MAX, 'x');
    testing::internal::CaptureStderr();
    vox_print(VOX_ERROR, &kDemoTable, 0, "/etc/x");
    vox_print(VOX_ERROR_NOTE, &kDemoTable, 1, 2);
    vox_print_shared(VOX_WARNING, "credmap/clnt", &kDemoTable, 0, "a");
    vox_print(VOX_TRACE, "t\n", -1);
    vox_print(3, "i\n", -1);
    vox_print(VOX_PLAIN, "version 1.0\n", -1);
    vox_print(VOX_ERROR, &kDemoTable, 2);
    vox_print_shared(VOX_ERROR, "f", &kDemoTable, -5);
    EXPECT_EQ(vox_print(VOX_ERROR, nullptr, 0), 0);
    EXPECT_EQ(vox_print_shared(VOX_ERROR, "f", nullptr, 0), 0);
    EXPECT_EQ(vox_print(VOX_ERROR, "%s", -1, long_text.c_str()), VOX_LINE_MAX - 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "demo: error: cannot open /etc/x\ndemo: note: 2 entries without newline\n"
              "credmap/clnt: warning: cannot open a\n" +
                  program + ": trace: t\n" + program +
                  ": info: i\nversion 1.0\ndemo: error: democat message 2 not found\n"
                  "f: error: democat message -5 not found\n" +
                  program + ": error: " + long_text.substr(0, VOX_LINE_MAX - 1) + "\n");
    EXPECT_EQ(vox_sprintf(nullptr, "x", -1), 0);
}

// Runs `check` in a fresh process, where the service has not read the environment yet.
template<typename Check>
void in_fresh_process(Check check)
{
    EXPECT_EXIT(exit(check() ? 0 : 1), testing::ExitedWithCode(0), "");
}

TEST(VoxTest, TraceLevelsAndVerbosityComeFromTheEnvironmentUnlessSet)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    in_fresh_process([] {
        setenv("VELMO_TRACE", " credmap/clnt=2 , hubd ,idkit=0,bad=x,,=3", 1);
        setenv("VELMO_VERBOSITY", "3", 1);
        return vox_should_trace("credmap/clnt", 2) && !vox_should_trace("credmap/clnt", 3) &&
               vox_should_trace("hubd", 1) && !vox_should_trace("hubd", 2) && !vox_should_trace("idkit", 1) &&
               !vox_should_trace("bad", 1) && !vox_should_trace("other", 1) && vox_get_desired_verbosity() == 3;
    });
    // A star traces every facility, but named levels win.
    in_fresh_process([] {
        setenv("VELMO_TRACE", "*=3,quiet=0", 1);
        return vox_should_trace("anything", 3) && !vox_should_trace("anything", 4) && !vox_should_trace("quiet", 1);
    });
    in_fresh_process([] {
        unsetenv("VELMO_TRACE");
        setenv("VELMO_VERBOSITY", "not a number", 1);
        return vox_get_desired_verbosity() == 0 && !vox_should_trace("credmap/clnt", 1);
    });
    // Setters override the environment.
    in_fresh_process([] {
        setenv("VELMO_TRACE", "credmap/clnt=1", 1);
        setenv("VELMO_VERBOSITY", "1", 1);
        vox_set_trace("credmap/clnt", 0);
        vox_set_trace("*", 2);
        vox_set_trace("deep", 42);
        vox_set_verbosity(0);
        return !vox_should_trace("credmap/clnt", 1) && vox_should_trace("other", 2) && vox_should_trace("deep", 9) &&
               vox_get_desired_verbosity() == 0;
    });
}

}  // namespace
