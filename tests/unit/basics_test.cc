// Tests of the basic host services: allocator, string helpers and the thread
// service.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "host/mem.h"
#include "host/mthread.h"
#include "host/txt.h"

namespace {

TEST(MemTest, ZeroSizeAndNullAreHandled)
{
    void *storage = mem_malloc(0);
    EXPECT_NE(storage, nullptr);
    mem_free(storage);
    mem_free(nullptr);
}

// Case conversion (mode 0 or 1) and plain copy (mode -1) fill the buffer up
// to its size, cut and terminated, and never write past it.
TEST(TxtTest, ConversionAndCopyAreCutToTheBuffer)
{
    const struct {
        int mode;
        const char *source;
        size_t size;
        int cut;
        const char *text;  // null: nothing written at all
    } cases[] = {
        {TXT_CASE_LOWER, "DOM\\User", 32, 0, "dom\\user"},
        {TXT_CASE_UPPER, "dom\\User-9", 32, 0, "DOM\\USER-9"},
        {TXT_CASE_LOWER, "ABCDEFG", 8, 0, "abcdefg"},
        {TXT_CASE_LOWER, "ABCDEFGH", 8, 1, "abcdefg"},
        {TXT_CASE_LOWER, "ABC", 1, 1, ""},
        {TXT_CASE_LOWER, nullptr, 8, 0, ""},
        {TXT_CASE_LOWER, "", 1, 0, ""},
        {-1, "hello", 6, 0, "hello"},
        {-1, "hello!", 6, 1, "hello"},
        {-1, "x", 1, 1, ""},
        {-1, nullptr, 6, 0, ""},
        {-1, "x", 0, 1, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.source ? c.source : "(null)") + " in " + std::to_string(c.size));
        char out[40];
        std::memset(out, '#', sizeof out);
        const int rc =
            c.mode < 0 ? txt_cpy_buf(out, c.source, c.size) : txt_cvt_case_string(c.source, c.mode, c.size, out);
        EXPECT_EQ(rc, c.cut);
        EXPECT_STREQ(c.text != nullptr ? out : nullptr, c.text);
        EXPECT_EQ(std::string(out + c.size, sizeof out - c.size), std::string(sizeof out - c.size, '#'));
    }
}

TEST(TxtTest, FindCharFromStart)
{
    const struct {
        const char *string;
        size_t start;
        const char *set;
        int found;
        size_t position;  // 99: left as it was
    } cases[] = {
        {"dom\\user", 0, "/\\", 1, 3},  {"a/b\\c", 2, "/\\", 1, 3},     {"a/b\\c", 1, "/\\", 1, 1},
        {"dom\\user", 4, "/\\", 0, 99}, {"dom\\user", 8, "/\\", 0, 99}, {"dom\\user", 100, "/\\", 0, 99},
        {"dom\\user", 0, "", 0, 99},    {nullptr, 0, "/", 0, 99},
    };
    for (const auto &c : cases) {
        size_t position = 99;
        int found = -1;
        EXPECT_EQ(txt_find_char_from(c.string, c.start, c.set, &position, &found) != 0, c.found != 0) << c.start;
        EXPECT_EQ(found, c.found) << c.start;
        EXPECT_EQ(position, c.position) << c.start;
    }
}

std::atomic<void *> destroyed_value{nullptr};
std::atomic<int> destructor_calls{0};

void record_destruction(void *value)
{
    destroyed_value = value;
    ++destructor_calls;
    mthread_free_tls(value);
}

// Keys are distinct and never 0; each thread sees its own value, and the
// destructor gets the exiting thread's value once.
TEST(MthreadTest, KeysHoldPerThreadValuesDestroyedAtThreadExit)
{
    std::set<mthread_key_t> keys;
    for (int i = 0; i < 8; ++i) {
        mthread_key_t key = 0;
        ASSERT_EQ(mthread_key_create(&key, nullptr), 0);
        keys.insert(key);
    }
    EXPECT_EQ(keys.size(), 8u);
    EXPECT_EQ(keys.count(0), 0u);
    EXPECT_EQ(mthread_get_tls(0), nullptr);
    EXPECT_NE(mthread_set_tls(0, &keys), 0);

    mthread_key_t key = 0;
    ASSERT_EQ(mthread_key_create(&key, record_destruction), 0);
    int mine = 1;
    ASSERT_EQ(mthread_set_tls(key, &mine), 0);
    void *initial_in_thread = &mine, *after_set_in_thread = nullptr, *allocated = nullptr;
    bool zeroed = false;
    std::thread worker([&] {
        initial_in_thread = mthread_get_tls(key);
        allocated = mthread_alloc_tls(64);
        if (allocated == nullptr)
            return;
        const std::vector<unsigned char> bytes(static_cast<unsigned char *>(allocated),
                                               static_cast<unsigned char *>(allocated) + 64);
        zeroed = bytes == std::vector<unsigned char>(64, 0);
        mthread_set_tls(key, allocated);
        after_set_in_thread = mthread_get_tls(key);
    });
    worker.join();
    ASSERT_NE(allocated, nullptr);
    EXPECT_TRUE(zeroed);
    EXPECT_EQ(initial_in_thread, nullptr);
    EXPECT_EQ(after_set_in_thread, allocated);
    EXPECT_EQ(mthread_get_tls(key), &mine);
    EXPECT_EQ(destructor_calls.load(), 1);
    EXPECT_EQ(destroyed_value.load(), allocated);
    mthread_set_tls(key, nullptr);
}

std::atomic<int> once_runs{0};

void count_once_run()
{
    ++once_runs;
}

TEST(MthreadTest, OnceRunsOnceAndMutexSerialisesAcrossThreads)
{
    static mthread_once_t control = MTHREAD_ONCE_INIT;
    static mthread_mutex_t mutex = MTHREAD_MUTEX_INITIALIZER;
    long counter = 0;
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&counter] {
            mthread_once(&control, count_once_run);
            for (int j = 0; j < 20000; ++j) {
                mthread_mutex_lock(&mutex);
                ++counter;
                mthread_mutex_unlock(&mutex);
            }
        });
    }
    for (auto &thread : threads)
        thread.join();
    EXPECT_EQ(mthread_once(&control, count_once_run), 0);
    EXPECT_EQ(once_runs.load(), 1);
    EXPECT_EQ(counter, 80000);
}

}  // namespace
