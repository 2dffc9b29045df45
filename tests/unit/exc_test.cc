// Tests of the exception and exit service: cleanup frames, holds on
// asynchronous exceptions, fatal reports and the exit routine.
#include "host/exc.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>
#include <utility>

namespace {

[[gnu::noinline]] void raise_inner(int code)
{
    exc_raise(code);
}
[[gnu::noinline]] void raise_two_deep(int code)
{
    raise_inner(code);
}

// Runs `body` under a frame of its own: the code of the exception that came
// back to the frame, or 0 when the body returned.  The jump skips the body's
// frames, so bodies keep no objects with destructors.
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

bool signal_blocked(int signal_number)
{
    sigset_t current;
    sigemptyset(&current);
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

TEST(ExcFrameTest, ExceptionReachesTheInnermostFrameWithItsCode)
{
    EXPECT_EQ(run_under_frame([] { raise_two_deep(42); }), 42);
    EXPECT_EQ(run_under_frame([] { raise_two_deep(-7); }), -7);
    // Code 0 would look like a registration; it arrives as 1.
    EXPECT_EQ(run_under_frame([] { raise_two_deep(0); }), 1);
    EXPECT_EQ(run_under_frame([] {}), 0);

    // A handler that raises again reaches the next frame out.
    int inner = 0;
    EXPECT_EQ(run_under_frame([&] {
                  inner = run_under_frame([] { raise_two_deep(5); });
                  exc_raise(inner + 100);
              }),
              105);
    EXPECT_EQ(inner, 5);
    // A released frame no longer catches: the next exception goes further out.
    EXPECT_EQ(run_under_frame([&] {
                  inner = run_under_frame([] {});
                  raise_two_deep(8);
              }),
              8);
    EXPECT_EQ(inner, 0);
}

TEST(ExcFrameTest, SignalMaskOfRegistrationComesBack)
{
    ASSERT_FALSE(signal_blocked(SIGUSR2));
    bool blocked_before_raise = false;
    EXPECT_EQ(run_under_frame([&] {
                  sigset_t set;
                  sigemptyset(&set);
                  sigaddset(&set, SIGUSR2);
                  pthread_sigmask(SIG_BLOCK, &set, nullptr);
                  blocked_before_raise = signal_blocked(SIGUSR2);
                  raise_two_deep(3);
              }),
              3);
    EXPECT_TRUE(blocked_before_raise);
    EXPECT_FALSE(signal_blocked(SIGUSR2));
}

// Each thread raises its own codes many times while the other does the same:
// every exception must reach the raising thread's own frame.
TEST(ExcFrameTest, ThreadsHaveIndependentFrameStacks)
{
    int mismatches[2] = {0, 0};
    auto worker = [&mismatches](int index) {
        for (int i = 1; i <= 5000; ++i) {
            const int code = index * 100000 + i;
            if (run_under_frame([code] { raise_two_deep(code); }) != code)
                ++mismatches[index];
        }
    };
    std::thread first(worker, 0), second(worker, 1);
    first.join();
    second.join();
    EXPECT_EQ(mismatches[0], 0);
    EXPECT_EQ(mismatches[1], 0);
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
    // An enable without a hold changes nothing.
    exc_enable();
    exc_inhibit();
    EXPECT_EQ(hold(), Hold(1, true));
    exc_enable();

    // The cancellation state from before the hold comes back.
    int old = 0;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old);
    exc_inhibit();
    exc_enable();
    EXPECT_EQ(hold(), Hold(0, true));
    pthread_setcancelstate(old, nullptr);

    // An exception that comes back restores the hold of the registration.
    EXPECT_EQ(run_under_frame([] {
                  exc_inhibit();
                  exc_inhibit();
                  raise_two_deep(4);
              }),
              4);
    EXPECT_EQ(hold(), Hold(0, false));
    exc_inhibit();
    EXPECT_EQ(run_under_frame([] {
                  exc_enable();
                  raise_two_deep(6);
              }),
              6);
    EXPECT_EQ(hold(), Hold(1, true));
    exc_enable();
}

// A posted exception is raised at once, or at the enable that ends the hold;
// one posted by a signal handler leaves the handler the same way.
TEST(ExcHoldTest, PostedExceptionIsRaisedAtOnceOrAtTheOutermostEnable)
{
    int stage = 0;
    EXPECT_EQ(run_under_frame([&] {
                  exc_post(0);
                  stage = 1;
              }),
              1);
    EXPECT_EQ(stage, 0);
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
    EXPECT_EQ(exc_inhibit_depth(), 0);
    // It was delivered once, and the later one dropped: nothing waits any more.
    exc_inhibit();
    exc_enable();

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

using ExcFrameDeathTest = ::testing::Test;

TEST_F(ExcFrameDeathTest, MisuseAndFatalReportsStopTheProcess)
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
    EXPECT_DEATH(raise_two_deep(77), "unhandled exception 77");
    EXPECT_DEATH(exc_post(-3), "unhandled exception -3");
    EXPECT_DEATH(exc_assert_fail("count > 0", "lib/cache.cc", 120),
                 "^assertion failed: count > 0, file lib/cache\\.cc, line 120\n$");
    EXPECT_DEATH(exc_panic("lib/handle.cc", 7), "^panic: file lib/handle\\.cc, line 7\n$");
}

exc_exit_fn routine_before_second = nullptr;
void first_exit_routine(int status)
{
    std::fprintf(stderr, "first %d\n", status);
}
void second_exit_routine(int status)
{
    std::fprintf(stderr, "second %d\n", status);
    routine_before_second(status);
}

using ExcExitDeathTest = ::testing::Test;

TEST_F(ExcExitDeathTest, LatestRoutineRunsOnceWithStatusAndCanChainOrNoneRuns)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            if (exc_set_exit(first_exit_routine) != nullptr)
                _exit(90);
            routine_before_second = exc_set_exit(second_exit_routine);
            if (routine_before_second != first_exit_routine)
                _exit(91);
            std::exit(3);
        },
        ::testing::ExitedWithCode(3), "^second 3\nfirst 3\n$");
    EXPECT_EXIT(
        {
            exc_set_exit(first_exit_routine);
            if (exc_set_exit(nullptr) != first_exit_routine)
                _exit(90);
            std::exit(4);
        },
        ::testing::ExitedWithCode(4), "^$");
}

}  // namespace
