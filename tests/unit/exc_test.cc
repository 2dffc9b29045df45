// Tests of the exception and exit service: cleanup frames, holds on
// asynchronous exceptions, fatal reports and the exit routine.
#include "host/exc.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

[[gnu::noinline]] void raise_inner(int code)
{
    exc_raise(code);
}

[[gnu::noinline]] void raise_two_deep(int code)
{
    raise_inner(code);
}

[[gnu::noinline]] void do_nothing(int) {}

// Runs body(code) under a frame of its own; the code that came back, or 0
// when the body returned.
int run_under_frame(void (*body)(int), int code)
{
    exc_frame_t frame;
    int caught = exc_cleanup_start(&frame, 0);
    if (caught != 0)
        return caught;
    body(code);
    exc_cleanup_rls(&frame);
    return 0;
}

volatile int inner_handler_code = 0;

// A function whose handler raises again, as a library function releasing
// what it holds does.
void raise_through_rethrowing_frame(int code)
{
    exc_frame_t frame;
    int caught = exc_cleanup_start(&frame, 0);
    if (caught != 0) {
        inner_handler_code = caught;
        exc_raise(caught + 100);
    }
    raise_two_deep(code);
    exc_cleanup_rls(&frame);
}

bool signal_blocked(int signal_number)
{
    sigset_t current;
    sigemptyset(&current);
    pthread_sigmask(SIG_BLOCK, nullptr, &current);
    return sigismember(&current, signal_number) == 1;
}

int cancel_state()
{
    int state = 0;
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &state);
    pthread_setcancelstate(state, nullptr);
    return state;
}

TEST(ExcFrameTest, ExceptionRaisedTwoCallsDeepReachesFrameWithItsCode)
{
    EXPECT_EQ(run_under_frame(raise_two_deep, 42), 42);
    EXPECT_EQ(run_under_frame(raise_two_deep, -7), -7);
    // Code 0 would look like a registration; it arrives as 1.
    EXPECT_EQ(run_under_frame(raise_two_deep, 0), 1);
    EXPECT_EQ(run_under_frame(do_nothing, 5), 0);
}

TEST(ExcFrameTest, HandlerRaisesAgainToOuterFrame)
{
    inner_handler_code = 0;
    EXPECT_EQ(run_under_frame(raise_through_rethrowing_frame, 5), 105);
    EXPECT_EQ(inner_handler_code, 5);
}

TEST(ExcFrameTest, ReleasedFrameNoLongerCatches)
{
    // The inner frame of run_under_frame is released when its body returns,
    // so the next exception goes to the outer frame.
    exc_frame_t outer;
    volatile int inner_result = -1;
    int caught = exc_cleanup_start(&outer, 0);
    if (caught == 0) {
        inner_result = run_under_frame(do_nothing, 1);
        raise_two_deep(8);
    }
    EXPECT_EQ(caught, 8);
    EXPECT_EQ(inner_result, 0);
}

TEST(ExcFrameTest, SignalMaskOfRegistrationComesBack)
{
    ASSERT_FALSE(signal_blocked(SIGUSR2));
    volatile bool blocked_before_raise = false;
    exc_frame_t frame;
    int caught = exc_cleanup_start(&frame, 0);
    if (caught == 0) {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGUSR2);
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
        blocked_before_raise = signal_blocked(SIGUSR2);
        raise_two_deep(3);
    }
    EXPECT_EQ(caught, 3);
    EXPECT_TRUE(blocked_before_raise);
    EXPECT_FALSE(signal_blocked(SIGUSR2));
}

// Each thread raises its own codes many times while the other does the same:
// every exception must reach the raising thread's own frame.
TEST(ExcFrameTest, ThreadsHaveIndependentFrameStacks)
{
    constexpr int rounds = 5000;
    int mismatches[2] = {0, 0};
    auto worker = [&mismatches](int index) {
        for (int i = 1; i <= rounds; ++i) {
            int code = index * 100000 + i;
            if (run_under_frame(raise_two_deep, code) != code)
                ++mismatches[index];
        }
    };
    std::thread first(worker, 0);
    std::thread second(worker, 1);
    first.join();
    second.join();
    EXPECT_EQ(mismatches[0], 0);
    EXPECT_EQ(mismatches[1], 0);
}

TEST(ExcHoldTest, HoldsNestAndHoldOffCancellation)
{
    ASSERT_EQ(exc_inhibit_depth(), 0);
    ASSERT_EQ(cancel_state(), PTHREAD_CANCEL_ENABLE);
    exc_inhibit();
    exc_inhibit();
    EXPECT_EQ(exc_inhibit_depth(), 2);
    EXPECT_EQ(cancel_state(), PTHREAD_CANCEL_DISABLE);
    exc_enable();
    EXPECT_EQ(exc_inhibit_depth(), 1);
    EXPECT_EQ(cancel_state(), PTHREAD_CANCEL_DISABLE);
    exc_enable();
    EXPECT_EQ(exc_inhibit_depth(), 0);
    EXPECT_EQ(cancel_state(), PTHREAD_CANCEL_ENABLE);
    // An enable without a hold changes nothing.
    exc_enable();
    EXPECT_EQ(exc_inhibit_depth(), 0);
    exc_inhibit();
    EXPECT_EQ(exc_inhibit_depth(), 1);
    exc_enable();
}

TEST(ExcHoldTest, CancellationStateBeforeTheHoldComesBack)
{
    int old = 0;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old);
    exc_inhibit();
    exc_enable();
    EXPECT_EQ(cancel_state(), PTHREAD_CANCEL_DISABLE);
    pthread_setcancelstate(old, nullptr);
}

TEST(ExcHoldTest, HoldsArePerThread)
{
    exc_inhibit();
    int depth_in_thread = -1;
    std::thread other([&depth_in_thread] { depth_in_thread = exc_inhibit_depth(); });
    other.join();
    EXPECT_EQ(depth_in_thread, 0);
    EXPECT_EQ(exc_inhibit_depth(), 1);
    exc_enable();
}

TEST(ExcHoldTest, PostedExceptionWaitsForOutermostEnable)
{
    volatile int stage = 0;
    exc_frame_t frame;
    int caught = exc_cleanup_start(&frame, 0);
    if (caught == 0) {
        exc_inhibit();
        exc_inhibit();
        exc_post(9);
        stage = 1;
        exc_post(10);
        exc_enable();
        stage = 2;
        exc_enable();
        stage = 3;
        exc_cleanup_rls(&frame);
    }
    EXPECT_EQ(caught, 9);
    EXPECT_EQ(stage, 2);
    EXPECT_EQ(exc_inhibit_depth(), 0);

    // It was delivered once: nothing waits any more.
    exc_inhibit();
    exc_enable();
}

TEST(ExcHoldTest, PostedExceptionWithoutHoldIsRaisedAtOnce)
{
    volatile int stage = 0;
    exc_frame_t frame;
    int caught = exc_cleanup_start(&frame, 0);
    if (caught == 0) {
        exc_post(0);
        stage = 1;
        exc_cleanup_rls(&frame);
    }
    EXPECT_EQ(caught, 1);
    EXPECT_EQ(stage, 0);
}

TEST(ExcHoldTest, HandlerRunsUnderTheHoldOfTheRegistration)
{
    exc_frame_t frame;
    int caught = exc_cleanup_start(&frame, 0);
    if (caught == 0) {
        exc_inhibit();
        exc_inhibit();
        raise_two_deep(4);
    }
    EXPECT_EQ(caught, 4);
    EXPECT_EQ(exc_inhibit_depth(), 0);
    EXPECT_EQ(cancel_state(), PTHREAD_CANCEL_ENABLE);

    exc_inhibit();
    caught = exc_cleanup_start(&frame, 0);
    if (caught == 0) {
        exc_enable();
        raise_two_deep(6);
    }
    EXPECT_EQ(caught, 6);
    EXPECT_EQ(exc_inhibit_depth(), 1);
    EXPECT_EQ(cancel_state(), PTHREAD_CANCEL_DISABLE);
    exc_enable();
    EXPECT_EQ(cancel_state(), PTHREAD_CANCEL_ENABLE);
}

void post_from_signal(int)
{
    exc_post(11);
}

// Installs post_from_signal for SIGUSR1 for the life of the object.
struct PostingSignal {
    struct sigaction previous {};
    PostingSignal()
    {
        struct sigaction action {};
        action.sa_handler = post_from_signal;
        sigemptyset(&action.sa_mask);
        sigaction(SIGUSR1, &action, &previous);
    }
    ~PostingSignal() { sigaction(SIGUSR1, &previous, nullptr); }
};

TEST(ExcHoldTest, ExceptionPostedBySignalHandlerLeavesTheHandler)
{
    PostingSignal posting;
    volatile int stage = 0;
    exc_frame_t frame;
    int caught = exc_cleanup_start(&frame, 0);
    if (caught == 0) {
        pthread_kill(pthread_self(), SIGUSR1);
        stage = 1;
        exc_cleanup_rls(&frame);
    }
    EXPECT_EQ(caught, 11);
    EXPECT_EQ(stage, 0);
    // The signal was blocked while its handler ran; the jump unblocked it.
    EXPECT_FALSE(signal_blocked(SIGUSR1));
}

TEST(ExcHoldTest, ExceptionPostedBySignalHandlerWaitsForEnable)
{
    PostingSignal posting;
    volatile int stage = 0;
    exc_frame_t frame;
    int caught = exc_cleanup_start(&frame, 0);
    if (caught == 0) {
        exc_inhibit();
        pthread_kill(pthread_self(), SIGUSR1);
        stage = 1;
        exc_enable();
        stage = 2;
        exc_cleanup_rls(&frame);
    }
    EXPECT_EQ(caught, 11);
    EXPECT_EQ(stage, 1);
    EXPECT_FALSE(signal_blocked(SIGUSR1));
}

using ExcFrameDeathTest = ::testing::Test;

TEST_F(ExcFrameDeathTest, ReleasingFrameThatIsNotInnermostStopsTheProcess)
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
}

TEST_F(ExcFrameDeathTest, ExceptionWithoutFrameStopsTheProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(raise_two_deep(77), "unhandled exception 77");
    EXPECT_DEATH(exc_post(-3), "unhandled exception -3");
}

TEST_F(ExcFrameDeathTest, AssertionAndPanicReportAndStop)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(exc_assert_fail("count > 0", "lib/cache.cc", 120),
                 "^assertion failed: count > 0, file lib/cache\\.cc, line 120\n$");
    EXPECT_DEATH(exc_panic("lib/handle.cc", 7), "^panic: file lib/handle\\.cc, line 7\n$");
}

void first_exit_routine(int status)
{
    std::fprintf(stderr, "first %d\n", status);
}

exc_exit_fn routine_before_second = nullptr;

void second_exit_routine(int status)
{
    std::fprintf(stderr, "second %d\n", status);
    if (routine_before_second != nullptr)
        routine_before_second(status);
}

using ExcExitDeathTest = ::testing::Test;

TEST_F(ExcExitDeathTest, LatestRoutineRunsOnceWithStatusAndCanChain)
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
}

TEST_F(ExcExitDeathTest, NullRoutineMeansNoneRuns)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
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
