// Message service: printed lines, the sink, trace levels and verbosity.
#include "host/vox.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

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

struct captured_message {
    int severity;
    std::string facility;
    std::string text;
};

void capture_sink(int severity, const char *facility, const char *text, void *context) {
    static_cast<std::vector<captured_message> *>(context)->push_back({severity, facility, text});
}

// Runs `check` in a fresh process, where the service has not read the
// environment yet; the check's result becomes the exit code.
template <typename Check>
void in_fresh_process(Check check) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(exit(check() ? 0 : 1), testing::ExitedWithCode(0), "");
}

TEST(VoxTest, SinkReceivesSeverityFacilityAndText) {
    std::vector<captured_message> messages;
    vox_set_sink(capture_sink, &messages);
    EXPECT_EQ(vox_print(VOX_ERROR, &kDemoTable, 0, "/etc/x"), 19);
    vox_print(VOX_WARNING, "%d of %s\n", -1, 3, "four");
    vox_print_shared(VOX_TRACE, "credmap/clnt", &kDemoTable, 1, 7);
    vox_set_sink(nullptr, nullptr);

    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0].severity, VOX_ERROR);
    EXPECT_EQ(messages[0].facility, "demo");
    EXPECT_EQ(messages[0].text, "cannot open /etc/x\n");
    EXPECT_EQ(messages[1].severity, VOX_WARNING);
    EXPECT_EQ(messages[1].facility, program_invocation_short_name);
    EXPECT_EQ(messages[1].text, "3 of four\n");
    EXPECT_EQ(messages[2].facility, "credmap/clnt");
    EXPECT_EQ(messages[2].text, "7 entries without newline");
}

TEST(VoxTest, StandardErrorLinesCarryFacilityAndSeverityWord) {
    testing::internal::CaptureStderr();
    vox_print(VOX_ERROR, &kDemoTable, 0, "/etc/x");
    vox_print(VOX_ERROR_NOTE, &kDemoTable, 1, 2);
    vox_print_shared(VOX_WARNING, "credmap/clnt", &kDemoTable, 0, "a");
    vox_print(VOX_WARNING_NOTE, "w\n", -1);
    vox_print(VOX_TRACE, "t\n", -1);
    vox_print(3, "i\n", -1);
    vox_print(VOX_PLAIN, "version 1.0\n", -1);
    std::string program = program_invocation_short_name;
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "demo: error: cannot open /etc/x\n"
              "demo: note: 2 entries without newline\n"
              "credmap/clnt: warning: cannot open a\n" +
                  program + ": note: w\n" + program + ": trace: t\n" + program +
                  ": info: i\n"
                  "version 1.0\n");
}

TEST(VoxTest, MissingRowsAndNullArgumentsAreHarmless) {
    testing::internal::CaptureStderr();
    vox_print(VOX_ERROR, &kDemoTable, 2);
    vox_print_shared(VOX_ERROR, "f", &kDemoTable, -5);
    EXPECT_EQ(vox_print(VOX_ERROR, nullptr, 0), 0);
    EXPECT_EQ(vox_print(VOX_ERROR, nullptr, -1), 0);
    EXPECT_EQ(vox_print_shared(VOX_ERROR, "f", nullptr, 0), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "demo: error: democat message 2 not found\n"
              "f: error: democat message -5 not found\n");
    EXPECT_EQ(vox_sprintf(nullptr, "x", -1), 0);
}

TEST(VoxTest, SprintfFormatsRowsAndCutsLongText) {
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

    // A long message printed to standard error is cut the same way and still
    // ends its line.
    testing::internal::CaptureStderr();
    EXPECT_EQ(vox_print(VOX_ERROR, "%s", -1, long_text.c_str()), VOX_LINE_MAX - 1);
    std::string printed = testing::internal::GetCapturedStderr();
    std::string prefix = std::string(program_invocation_short_name) + ": error: ";
    EXPECT_EQ(printed, prefix + long_text.substr(0, VOX_LINE_MAX - 1) + "\n");
}

TEST(VoxTest, TraceLevelsComeFromTheEnvironment) {
    in_fresh_process([] {
        setenv("VELMO_TRACE", " credmap/clnt=2 , hubd ,idkit=0,bad=x,,=3", 1);
        setenv("VELMO_VERBOSITY", "3", 1);
        return vox_should_trace("credmap/clnt", 2) && !vox_should_trace("credmap/clnt", 3) &&
               vox_should_trace("hubd", 1) && !vox_should_trace("hubd", 2) &&
               !vox_should_trace("idkit", 1) && !vox_should_trace("bad", 1) &&
               !vox_should_trace("other", 1) && vox_get_desired_verbosity() == 3;
    });
}

TEST(VoxTest, StarTracesEveryFacilityButNamedLevelsWin) {
    in_fresh_process([] {
        setenv("VELMO_TRACE", "*=3,quiet=0", 1);
        return vox_should_trace("anything", 3) && !vox_should_trace("anything", 4) &&
               !vox_should_trace("quiet", 1);
    });
}

TEST(VoxTest, EnvironmentDefaultsAreQuiet) {
    in_fresh_process([] {
        unsetenv("VELMO_TRACE");
        setenv("VELMO_VERBOSITY", "not a number", 1);
        return vox_get_desired_verbosity() == 0 && !vox_should_trace("credmap/clnt", 1);
    });
}

TEST(VoxTest, SettersOverrideTheEnvironment) {
    in_fresh_process([] {
        setenv("VELMO_TRACE", "credmap/clnt=1", 1);
        setenv("VELMO_VERBOSITY", "1", 1);
        vox_set_trace("credmap/clnt", 0);
        vox_set_trace("*", 2);
        vox_set_trace("deep", 42);
        vox_set_verbosity(0);
        return !vox_should_trace("credmap/clnt", 1) && vox_should_trace("other", 2) &&
               vox_should_trace("deep", 9) && vox_get_desired_verbosity() == 0;
    });
}

TEST(VoxTest, LinesFromManyThreadsStayWhole) {
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
    for (std::thread &thread : threads) thread.join();
    std::string output = testing::internal::GetCapturedStderr();

    size_t start = 0;
    int count = 0;
    while (start < output.size()) {
        size_t end = output.find('\n', start);
        ASSERT_NE(end, std::string::npos);
        std::string line = output.substr(start, end - start);
        ASSERT_EQ(line.size(), std::string("demo: trace: cannot open ").size() + 300) << line;
        char fill = line.back();
        EXPECT_EQ(line, "demo: trace: cannot open " + std::string(300, fill));
        start = end + 1;
        ++count;
    }
    EXPECT_EQ(count, kThreads * kLines);
}

}  // namespace
