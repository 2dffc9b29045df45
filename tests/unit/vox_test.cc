// Message service: printed lines, the sink, trace levels and verbosity.
#include "host/vox.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

const char *const kDemoTexts[] = {
    "cannot open %s\n",
    "%d entries without newline",
};
const uint16_t kDemoNumbers[] = {1, 2};
const vox_msg_table_t kDemoTable = {"demo", "democat", 2, 2, 0, kDemoTexts, kDemoNumbers};

TEST(VoxTest, SinkReceivesSeverityFacilityAndText)
{
    std::vector<std::string> messages;
    vox_set_sink(
        [](int severity, const char *facility, const char *text, void *context) {
            static_cast<std::vector<std::string> *>(context)->push_back(std::to_string(severity) + " " + facility +
                                                                        ": " + text);
        },
        &messages);
    EXPECT_EQ(vox_print(VOX_ERROR, &kDemoTable, 0, "/etc/x"), 19);
    vox_print(VOX_WARNING, "%d of %s\n", -1, 3, "four");
    vox_print_shared(VOX_TRACE, "credmap/clnt", &kDemoTable, 1, 7);
    vox_set_sink(nullptr, nullptr);
    EXPECT_EQ(messages, (std::vector<std::string>{"6 demo: cannot open /etc/x\n",
                                                  "4 " + std::string(program_invocation_short_name) + ": 3 of four\n",
                                                  "8 credmap/clnt: 7 entries without newline"}));
}

// Every severity has its word, severity 0 prints the text alone, and rows
// that do not exist or tables that are missing print a notice or nothing.
TEST(VoxTest, StandardErrorLinesCarryFacilityAndSeverityWord)
{
    testing::internal::CaptureStderr();
    vox_print(VOX_ERROR, &kDemoTable, 0, "/etc/x");
    vox_print(VOX_ERROR_NOTE, &kDemoTable, 1, 2);
    vox_print_shared(VOX_WARNING, "credmap/clnt", &kDemoTable, 0, "a");
    vox_print(VOX_WARNING_NOTE, "w\n", -1);
    vox_print(VOX_TRACE, "t\n", -1);
    vox_print(3, "i\n", -1);
    vox_print(VOX_PLAIN, "version 1.0\n", -1);
    vox_print(VOX_ERROR, &kDemoTable, 2);
    vox_print_shared(VOX_ERROR, "f", &kDemoTable, -5);
    EXPECT_EQ(vox_print(VOX_ERROR, nullptr, 0), 0);
    EXPECT_EQ(vox_print(VOX_ERROR, nullptr, -1), 0);
    EXPECT_EQ(vox_print_shared(VOX_ERROR, "f", nullptr, 0), 0);
    const std::string program = program_invocation_short_name;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "demo: error: cannot open /etc/x\n"
                                                      "demo: note: 2 entries without newline\n"
                                                      "credmap/clnt: warning: cannot open a\n" +
                                                          program + ": note: w\n" + program + ": trace: t\n" + program +
                                                          ": info: i\n"
                                                          "version 1.0\n"
                                                          "demo: error: democat message 2 not found\n"
                                                          "f: error: democat message -5 not found\n");
    EXPECT_EQ(vox_sprintf(nullptr, "x", -1), 0);
}

TEST(VoxTest, SprintfFormatsRowsAndLongTextIsCut)
{
    char buffer[VOX_LINE_MAX];
    EXPECT_EQ(vox_sprintf(buffer, &kDemoTable, 0, "f"), 14);
    EXPECT_STREQ(buffer, "cannot open f\n");
    EXPECT_EQ(vox_sprintf(buffer, "%s-%d", -1, "a", 5), 3);
    EXPECT_STREQ(buffer, "a-5");
    vox_sprintf(buffer, &kDemoTable, 9);
    EXPECT_STREQ(buffer, "democat message 9 not found");

    std::string long_text(3 * VOX_LINE_MAX, 'x');
    EXPECT_EQ(vox_sprintf(buffer, "%s", -1, long_text.c_str()), VOX_LINE_MAX - 1);
    EXPECT_EQ(strlen(buffer), size_t{VOX_LINE_MAX - 1});
    // Printed to standard error, it is cut the same way and still ends its line.
    testing::internal::CaptureStderr();
    EXPECT_EQ(vox_print(VOX_ERROR, "%s", -1, long_text.c_str()), VOX_LINE_MAX - 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              std::string(program_invocation_short_name) + ": error: " + long_text.substr(0, VOX_LINE_MAX - 1) + "\n");
}

// Runs `check` in a fresh process, where the service has not read the
// environment yet; the check's result becomes the exit code.
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
    // The defaults are quiet.
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

TEST(VoxTest, LinesFromManyThreadsStayWhole)
{
    constexpr int kThreads = 4;
    constexpr int kLines = 200;
    testing::internal::CaptureStderr();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            std::string payload(300, static_cast<char>('a' + t));
            for (int i = 0; i < kLines; ++i) {
                vox_print(VOX_TRACE, &kDemoTable, 0, payload.c_str());
                // Settings change while others print and read them.
                vox_set_trace("busy", i % 3);
                vox_should_trace("busy", 1);
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    const std::string output = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(output.empty() || output.back() == '\n');
    std::istringstream lines(output);
    int count[kThreads] = {};
    for (std::string line; std::getline(lines, line);) {
        const char fill = line.empty() ? '?' : line.back();
        ASSERT_EQ(line, "demo: trace: cannot open " + std::string(300, fill));
        ASSERT_TRUE(fill >= 'a' && fill < 'a' + kThreads) << line;
        ++count[fill - 'a'];
    }
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(count[t], kLines) << t;
}

}  // namespace
