// Basic host services: string helpers and the thread service.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "host/mthread.h"
#include "host/txt.h"

namespace {

// Conversion and copy (mode -1) fill the buffer up to its size, cut and terminated, and never write past it.
TEST(TxtTest, ConversionAndCopyAreCutToTheBufferAndSearchesStayInTheString)
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
        {TXT_CASE_LOWER, "ABCDEFGH", 8, 1, "abcdefg"},
        {TXT_CASE_LOWER, "ABC", 1, 1, ""},
        {TXT_CASE_LOWER, nullptr, 8, 0, ""},
        {-1, "hello!", 6, 1, "hello"},
        {-1, nullptr, 6, 0, ""},
        {-1, "x", 0, 1, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.size);
        char out[40];
        std::memset(out, '#', sizeof out);
        EXPECT_EQ(c.mode < 0 ? txt_cpy_buf(out, c.source, c.size) : txt_cvt_case_string(c.source, c.mode, c.size, out),
                  c.cut);
        EXPECT_STREQ(c.text != nullptr ? out : nullptr, c.text);
        EXPECT_EQ(std::string(out + c.size, sizeof out - c.size), std::string(sizeof out - c.size, '#'));
    }

    size_t position = 99;
    int found = -1;
    EXPECT_EQ(txt_find_char_from("a/b\\c", 2, "/\\", &position, &found), 1);
    EXPECT_EQ(std::make_pair(position, found), std::make_pair(size_t{3}, 1));
    // No hit leaves the position as it was.
    for (size_t start : {size_t{2}, size_t{4}, size_t{100}}) {
        EXPECT_EQ(txt_find_char_from("a/bc", start, "/\\", &position, &found), 0) << start;
        EXPECT_EQ(std::make_pair(position, found), std::make_pair(size_t{3}, 0)) << start;
    }
    EXPECT_EQ(txt_find_char_from(nullptr, 0, "/", &position, &found), 0);
    EXPECT_EQ(txt_find_char_from("a/b", 0, nullptr, &position, &found), 0);
}

std::atomic<void *> destroyed_value{nullptr};
std::atomic<int> destructor_calls{0};

void record_destruction(void *value)
{
    destroyed_value = value;
    ++destructor_calls;
    mthread_free_tls(value);
}

// Keys are never 0; each thread sees its own value, and the destructor gets the exiting thread's value once.
TEST(MthreadTest, KeysHoldPerThreadValuesDestroyedAtThreadExit)
{
    EXPECT_EQ(mthread_get_tls(0), nullptr);
    int mine = 1;
    EXPECT_NE(mthread_set_tls(0, &mine), 0);
    mthread_key_t key = 0;
    ASSERT_EQ(mthread_key_create(&key, record_destruction), 0);
    EXPECT_NE(key, 0u);
    ASSERT_EQ(mthread_set_tls(key, &mine), 0);
    void *initial_in_thread = &mine, *after_set_in_thread = nullptr, *allocated = nullptr;
    static const char zeros[64] = {};
    bool zeroed = false;
    std::thread worker([&] {
        initial_in_thread = mthread_get_tls(key);
        allocated = mthread_alloc_tls(64);
        zeroed = allocated != nullptr && std::memcmp(allocated, zeros, sizeof zeros) == 0;
        mthread_set_tls(key, allocated);
        after_set_in_thread = mthread_get_tls(key);
    });
    worker.join();
    EXPECT_TRUE(zeroed);
    EXPECT_EQ(initial_in_thread, nullptr);
    EXPECT_EQ(after_set_in_thread, allocated);
    EXPECT_EQ(mthread_get_tls(key), &mine);
    EXPECT_EQ(destructor_calls.load(), 1);
    EXPECT_EQ(destroyed_value.load(), allocated);
    mthread_set_tls(key, nullptr);
}

}  // namespace
