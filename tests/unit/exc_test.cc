// Exception and exit service: cleanup frames, holds on asynchronous exceptions, fatal reports, the exit routine.
#include "host/exc.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <utility>

namespace {

// Runs `body` (which keeps no objects with destructors) under a frame: the code that came back, or 0.
int run_under_frame(const std::function<void()> &body)
{
    exc_frame_t frame;
    int caught = exc_cleanup_start(&frame, 0);
    if (caught != 0)
        return caught;
    body();
    exc_cleanup_rls(&frame);
    return 0;
}

// Posted between the link-in and the saved context, an exception waits until the registration ends.
int post_while_registering(int code)
{
    exc_frame_t frame;
    exc_frame_push(&frame);
    exc_post(code);
    if (sigsetjmp(frame.context, 1) != 0)
        return exc_frame_caught(&frame);
    exc_frame_armed(&frame);
    exc_cleanup_rls(&frame);
    return 0;
}

bool signal_blocked(int signal_number)
{
    sigset_t current;
    pthread_sigmask(SIG_BLOCK, nullptr, &current);
    return sigismember(&current, signal_number) == 1;
}

// The calling thread's hold depth, and whether cancellation is held off.
using Hold = std::pair<int, bool>;
Hold hold()
{
    int state = 0;
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &state);
    pthread_setcancelstate(state, nullptr);
    return {exc_inhibit_depth(), state == PTHREAD_CANCEL_DISABLE};
}

TEST(ExcHoldTest, HoldsNestPerThreadHoldOffCancellationAndComeBackWithExceptions)
{
    ASSERT_EQ(hold(), Hold(0, false));
    exc_inhibit();
    exc_inhibit();
    EXPECT_EQ(hold(), Hold(2, true));
    int depth_in_thread = -1;
    std::thread([&depth_in_thread] { depth_in_thread = exc_inhibit_depth(); }).join();
    EXPECT_EQ(depth_in_thread, 0);
    exc_enable();
    EXPECT_EQ(hold(), Hold(1, true));
    exc_enable();
    EXPECT_EQ(hold(), Hold(0, false));
    exc_enable();  // without a hold: changes nothing
    exc_inhibit();
    EXPECT_EQ(hold(), Hold(1, true));
    exc_enable();

    int old = 0;  // the cancellation state from before the hold comes back
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old);
    exc_inhibit();
    exc_enable();
    EXPECT_EQ(hold(), Hold(0, true));
    pthread_setcancelstate(old, nullptr);

    EXPECT_EQ(run_under_frame([] {
                  exc_inhibit();
                  exc_inhibit();
                  exc_raise(4);
              }),
              4);
    EXPECT_EQ(hold(), Hold(0, false));  // the hold of the registration came back
    exc_inhibit();
    EXPECT_EQ(run_under_frame([] {
                  exc_enable();
                  exc_raise(6);
              }),
              6);
    EXPECT_EQ(hold(), Hold(1, true));
    exc_enable();
}

// Raised at once, or at the enable that ends the hold; one posted by a signal handler leaves the handler that way.
TEST(ExcHoldTest, PostedExceptionIsRaisedAtOnceOrAtTheOutermostEnable)
{
    int stage = 0;
    EXPECT_EQ(run_under_frame([&] {
                  exc_post(0);
                  stage = 1;
              }),
              1);
    EXPECT_EQ(stage, 0);
    EXPECT_EQ(run_under_frame([] { exc_raise(0); }), 1);  // 0 would look like a registration
    EXPECT_EQ(run_under_frame([&] {
                  exc_inhibit();
                  exc_inhibit();
                  exc_post(9);
                  stage = 1;
                  exc_post(10);
                  exc_enable();
                  stage = 2;
                  exc_enable();
                  stage = 3;
              }),
              9);
    EXPECT_EQ(stage, 2);
    // It was delivered once, and the later one dropped: nothing waits any more.
    exc_inhibit();
    exc_enable();
    EXPECT_EQ(post_while_registering(12), 12);
    // A raise inside a hold gives the hold back: what was posted during it follows once the frame has caught.
    EXPECT_EQ(run_under_frame([] {
                  EXPECT_EQ(run_under_frame([] {
                                exc_inhibit();
                                exc_post(13);
                                exc_raise(5);
                            }),
                            5);
              }),
              13);

    struct sigaction action {
    }, previous{};
    action.sa_handler = [](int) { exc_post(11); };
    sigemptyset(&action.sa_mask);
    sigaction(SIGUSR1, &action, &previous);
    EXPECT_EQ(run_under_frame([&] {
                  pthread_kill(pthread_self(), SIGUSR1);
                  stage = 4;
              }),
              11);
    EXPECT_EQ(stage, 2);
    // The signal was blocked while its handler ran; the jump unblocked it.
    EXPECT_FALSE(signal_blocked(SIGUSR1));
    EXPECT_EQ(run_under_frame([&] {
                  exc_inhibit();
                  pthread_kill(pthread_self(), SIGUSR1);
                  stage = 5;
                  exc_enable();
                  stage = 6;
              }),
              11);
    EXPECT_EQ(stage, 5);
    EXPECT_FALSE(signal_blocked(SIGUSR1));
    sigaction(SIGUSR1, &previous, nullptr);
}

TEST(ExcFrameDeathTest, MisuseAndFatalReportsStopTheProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            exc_frame_t outer;
            exc_frame_t inner;
            if (exc_cleanup_start(&outer, 0) == 0 && exc_cleanup_start(&inner, 0) == 0)
                exc_cleanup_rls(&outer);
        },
        "assertion failed: .*innermost");
    EXPECT_DEATH(exc_raise(77), "unhandled exception 77");
    EXPECT_DEATH(exc_post(-3), "unhandled exception -3");
    EXPECT_DEATH(exc_assert_fail("count > 0", "lib/cache.cc", 120),
                 "^assertion failed: count > 0, file lib/cache\\.cc, line 120\n$");
    EXPECT_DEATH(exc_panic("lib/handle.cc", 7), "^panic: file lib/handle\\.cc, line 7\n$");
    // A report longer than its line is cut to 1023 characters and the newline.
    EXPECT_DEATH(exc_assert_fail(std::string(2000, 'x').c_str(), "f", 1), "^assertion failed: x{1005}\n$");
}

exc_exit_fn routine_before_second = nullptr;

TEST(ExcExitDeathTest, LatestRoutineRunsOnceWithStatusAndCanChainOrNoneRuns)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const exc_exit_fn first = [](int status) { std::fprintf(stderr, "first %d\n", status); };
    EXPECT_EXIT(
        {
            if (exc_set_exit(first) != nullptr)
                _exit(90);
            routine_before_second = exc_set_exit([](int status) {
                std::fprintf(stderr, "second %d\n", status);
                routine_before_second(status);
            });
            if (routine_before_second != first)
                _exit(91);
            std::exit(3);
        },
        ::testing::ExitedWithCode(3), "^second 3\nfirst 3\n$");
    EXPECT_EXIT(
        {
            exc_set_exit(first);
            if (exc_set_exit(nullptr) != first)
                _exit(90);
            std::exit(4);
        },
        ::testing::ExitedWithCode(4), "^$");
}

}  // namespace
