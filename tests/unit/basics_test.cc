// Tests of the basic host services: allocator, string helpers and the thread
// service.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <set>
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

TEST(TxtTest, CaseConversion)
{
    char out[32];
    EXPECT_EQ(txt_cvt_case_string("DOM\\User", TXT_CASE_LOWER, sizeof out, out), 0);
    EXPECT_STREQ(out, "dom\\user");
    EXPECT_EQ(txt_cvt_case_string("dom\\User-9", TXT_CASE_UPPER, sizeof out, out), 0);
    EXPECT_STREQ(out, "DOM\\USER-9");
}

TEST(TxtTest, ConversionIsCutToTheBuffer)
{
    char out[8];
    std::memset(out, '#', sizeof out);
    // Exactly fitting: seven characters and the terminator.
    EXPECT_EQ(txt_cvt_case_string("ABCDEFG", TXT_CASE_LOWER, 8, out), 0);
    EXPECT_STREQ(out, "abcdefg");
    EXPECT_EQ(txt_cvt_case_string("ABCDEFGH", TXT_CASE_LOWER, 8, out), 1);
    EXPECT_STREQ(out, "abcdefg");
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(txt_cvt_case_string("ABC", TXT_CASE_LOWER, 1, out), 1);
    EXPECT_EQ(out[0], '\0');
    EXPECT_EQ(out[1], '#');
    EXPECT_EQ(txt_cvt_case_string(nullptr, TXT_CASE_LOWER, sizeof out, out), 0);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(txt_cvt_case_string("", TXT_CASE_LOWER, 1, out), 0);
}

TEST(TxtTest, CopyIsCutToTheBuffer)
{
    char out[6];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(txt_cpy_buf(out, "hello", sizeof out), 0);
    EXPECT_STREQ(out, "hello");
    EXPECT_EQ(txt_cpy_buf(out, "hello!", sizeof out), 1);
    EXPECT_STREQ(out, "hello");
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(txt_cpy_buf(out, "x", 1), 1);
    EXPECT_EQ(out[0], '\0');
    EXPECT_EQ(out[1], '#');
    EXPECT_EQ(txt_cpy_buf(out, nullptr, sizeof out), 0);
    EXPECT_STREQ(out, "");
    // A zero-sized buffer is left untouched.
    out[0] = '#';
    EXPECT_EQ(txt_cpy_buf(out, "x", 0), 1);
    EXPECT_EQ(out[0], '#');
}

TEST(TxtTest, FindCharFromStart)
{
    size_t position = 99;
    int found = -1;
    EXPECT_NE(txt_find_char_from("dom\\user", 0, "/\\", &position, &found), 0);
    EXPECT_EQ(position, 3u);
    EXPECT_EQ(found, 1);
    EXPECT_NE(txt_find_char_from("a/b\\c", 2, "/\\", &position, &found), 0);
    EXPECT_EQ(position, 3u);
    EXPECT_NE(txt_find_char_from("a/b\\c", 1, "/\\", &position, &found), 0);
    EXPECT_EQ(position, 1u);

    position = 99;
    EXPECT_EQ(txt_find_char_from("dom\\user", 4, "/\\", &position, &found), 0);
    EXPECT_EQ(found, 0);
    EXPECT_EQ(position, 99u);
    EXPECT_EQ(txt_find_char_from("dom\\user", 8, "/\\", &position, &found), 0);
    EXPECT_EQ(txt_find_char_from("dom\\user", 100, "/\\", &position, &found), 0);
    EXPECT_EQ(found, 0);
    EXPECT_EQ(position, 99u);
    EXPECT_EQ(txt_find_char_from("dom\\user", 0, "", &position, &found), 0);
    EXPECT_EQ(txt_find_char_from(nullptr, 0, "/", &position, &found), 0);
    EXPECT_EQ(found, 0);
}

TEST(MthreadTest, KeysAreNeverZeroAndDistinct)
{
    std::set<mthread_key_t> keys;
    for (int i = 0; i < 8; ++i) {
        mthread_key_t key = 0;
        ASSERT_EQ(mthread_key_create(&key, nullptr), 0);
        EXPECT_NE(key, 0u);
        keys.insert(key);
    }
    EXPECT_EQ(keys.size(), 8u);
    EXPECT_EQ(mthread_get_tls(0), nullptr);
    EXPECT_NE(mthread_set_tls(0, &keys), 0);
}

TEST(MthreadTest, StorageIsPerThread)
{
    mthread_key_t key = 0;
    ASSERT_EQ(mthread_key_create(&key, nullptr), 0);
    int mine = 1;
    ASSERT_EQ(mthread_set_tls(key, &mine), 0);
    void *seen_in_thread = &mine;
    void *after_set_in_thread = nullptr;
    std::thread other([&] {
        seen_in_thread = mthread_get_tls(key);
        static int theirs = 2;
        mthread_set_tls(key, &theirs);
        after_set_in_thread = mthread_get_tls(key);
    });
    other.join();
    EXPECT_EQ(seen_in_thread, nullptr);
    EXPECT_NE(after_set_in_thread, nullptr);
    EXPECT_NE(after_set_in_thread, &mine);
    EXPECT_EQ(mthread_get_tls(key), &mine);
    mthread_set_tls(key, nullptr);
}

std::atomic<void *> destroyed_value{nullptr};
std::atomic<int> destructor_calls{0};

void record_destruction(void *value)
{
    destroyed_value = value;
    ++destructor_calls;
    mthread_free_tls(value);
}

TEST(MthreadTest, DestructorRunsAtThreadExitWithThreadsValue)
{
    mthread_key_t key = 0;
    ASSERT_EQ(mthread_key_create(&key, record_destruction), 0);
    void *allocated = nullptr;
    bool zeroed = false;
    std::thread worker([&] {
        allocated = mthread_alloc_tls(64);
        if (allocated == nullptr)
            return;
        zeroed = true;
        for (int i = 0; i < 64; ++i)
            zeroed = zeroed && static_cast<unsigned char *>(allocated)[i] == 0;
        mthread_set_tls(key, allocated);
    });
    worker.join();
    ASSERT_NE(allocated, nullptr);
    EXPECT_TRUE(zeroed);
    EXPECT_EQ(destructor_calls.load(), 1);
    EXPECT_EQ(destroyed_value.load(), allocated);
}

std::atomic<int> once_runs{0};

void count_once_run()
{
    ++once_runs;
}

TEST(MthreadTest, OnceRunsOnceAcrossThreads)
{
    static mthread_once_t control = MTHREAD_ONCE_INIT;
    std::vector<std::thread> threads;
    for (int i = 0; i < 6; ++i)
        threads.emplace_back([] { mthread_once(&control, count_once_run); });
    for (auto &thread : threads)
        thread.join();
    EXPECT_EQ(mthread_once(&control, count_once_run), 0);
    EXPECT_EQ(once_runs.load(), 1);
}

TEST(MthreadTest, MutexSerialisesUpdates)
{
    static mthread_mutex_t mutex = MTHREAD_MUTEX_INITIALIZER;
    long counter = 0;
    auto add = [&counter] {
        for (int i = 0; i < 20000; ++i) {
            mthread_mutex_lock(&mutex);
            ++counter;
            mthread_mutex_unlock(&mutex);
        }
    };
    std::thread first(add);
    std::thread second(add);
    first.join();
    second.join();
    EXPECT_EQ(counter, 40000);
}

}  // namespace
