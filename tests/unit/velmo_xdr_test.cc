// XDR helpers: 64-bit words, time stamps and counted arrays.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/velmo_xdr.h"

namespace {

// An element that owns memory, so that leaks and double frees show.
bool_t name_element(XDR *xdrs, char **name, u_int)
{
    return xdr_string(xdrs, name, 64);
}

const xdrproc_t kNameElement = reinterpret_cast<xdrproc_t>(name_element);

std::vector<char> encode_names(std::vector<const char *> names, uint32_t max = 16)
{
    std::vector<char> buf(4096);
    XDR x;
    xdrmem_create(&x, buf.data(), u_int(buf.size()), XDR_ENCODE);
    void *array = names.data();
    uint32_t count = uint32_t(names.size());
    EXPECT_TRUE(xdr_ez_array(&x, &array, &count, max, sizeof(char *), kNameElement, 0));
    buf.resize(xdr_getpos(&x));
    xdr_destroy(&x);
    return buf;
}

// Decodes from an exact-size copy, so that a read past the input shows.
bool decode_names(const std::vector<char> &bytes, size_t length, void **array, uint32_t *count, uint32_t max = 16)
{
    std::unique_ptr<char[]> copy(new char[length + 1]);
    std::memcpy(copy.get(), bytes.data(), length);
    XDR x;
    xdrmem_create(&x, copy.get(), u_int(length), XDR_DECODE);
    bool ok = xdr_ez_array(&x, array, count, max, sizeof(char *), kNameElement, 0);
    xdr_destroy(&x);
    return ok;
}

void free_names(void **array, uint32_t *count)
{
    XDR x{};
    x.x_op = XDR_FREE;
    EXPECT_TRUE(xdr_ez_array(&x, array, count, 16, sizeof(char *), kNameElement, 0));
}

TEST(VelmoXdr, WordsAndTimesTakeAllSixtyFourBits)
{
    char buf[16];
    XDR x;
    uint64_t word = 0x0102030405060708ull;
    time_t when = -1234567890123;
    xdrmem_create(&x, buf, sizeof buf, XDR_ENCODE);
    ASSERT_TRUE(velmo_xdr_u_long(&x, &word, 0));
    ASSERT_TRUE(xdr_time_t(&x, &when, 0));
    EXPECT_EQ(xdr_getpos(&x), 16u);
    EXPECT_EQ(std::memcmp(buf, "\1\2\3\4\5\6\7\x08", 8), 0);

    for (uint64_t value : {uint64_t(0), uint64_t(1) << 32, ~uint64_t(0)}) {
        for (time_t t : {time_t(0), time_t(-1), time_t(1) << 40}) {
            uint64_t w = value, w_back = 1;
            time_t t_back = 1;
            xdrmem_create(&x, buf, sizeof buf, XDR_ENCODE);
            ASSERT_TRUE(velmo_xdr_u_long(&x, &w, 0) && xdr_time_t(&x, &t, 0));
            xdrmem_create(&x, buf, sizeof buf, XDR_DECODE);
            ASSERT_TRUE(velmo_xdr_u_long(&x, &w_back, 0) && xdr_time_t(&x, &t_back, 0));
            EXPECT_EQ(w_back, value);
            EXPECT_EQ(t_back, t);
        }
    }
    // Half a word is not a word.
    xdrmem_create(&x, buf, 4, XDR_DECODE);
    EXPECT_FALSE(velmo_xdr_u_long(&x, &word, 0));
}

TEST(EzArray, RoundTripAndFree)
{
    std::vector<char> bytes = encode_names({"alice", "bob", "carol"});
    void *array = nullptr;
    uint32_t count = 0;
    ASSERT_TRUE(decode_names(bytes, bytes.size(), &array, &count));
    ASSERT_EQ(count, 3u);
    char **names = static_cast<char **>(array);
    EXPECT_STREQ(names[0], "alice");
    EXPECT_STREQ(names[2], "carol");
    free_names(&array, &count);
    EXPECT_EQ(array, nullptr);
    EXPECT_EQ(count, 0u);
    free_names(&array, &count);

    // An empty array decodes to no array at all.
    bytes = encode_names({});
    EXPECT_EQ(bytes.size(), 4u);
    count = 9;
    ASSERT_TRUE(decode_names(bytes, bytes.size(), &array, &count));
    EXPECT_EQ(array, nullptr);
    EXPECT_EQ(count, 0u);

    // A caller's array is filled in place.
    char *mine[2] = {nullptr, nullptr};
    array = mine;
    bytes = encode_names({"x", "y"});
    ASSERT_TRUE(decode_names(bytes, bytes.size(), &array, &count));
    EXPECT_EQ(array, static_cast<void *>(mine));
    EXPECT_STREQ(mine[1], "y");
    std::free(mine[0]);
    std::free(mine[1]);
}

TEST(EzArray, CountsOverTheLimitAreRefused)
{
    std::vector<const char *> names = {"a", "b", "c"};
    char buf[64];
    XDR x;
    xdrmem_create(&x, buf, sizeof buf, XDR_ENCODE);
    void *array = names.data();
    uint32_t count = 3;
    EXPECT_FALSE(xdr_ez_array(&x, &array, &count, 2, sizeof(char *), kNameElement, 0));
    // A count without an array cannot be sent.
    array = nullptr;
    EXPECT_FALSE(xdr_ez_array(&x, &array, &count, 16, sizeof(char *), kNameElement, 0));

    std::vector<char> bytes = encode_names({"a", "b", "c"});
    count = 0;
    EXPECT_FALSE(decode_names(bytes, bytes.size(), &array, &count, 2));
    EXPECT_EQ(array, nullptr);
    std::vector<char> huge = {'\x80', 0, 0, 0};
    EXPECT_FALSE(decode_names(huge, huge.size(), &array, &count, 65536));
    EXPECT_EQ(array, nullptr);
    EXPECT_FALSE(xdr_ez_array(&x, &array, &count, 16, 0, kNameElement, 0));
    EXPECT_FALSE(xdr_ez_array(&x, nullptr, &count, 16, sizeof(char *), kNameElement, 0));
}

TEST(EzArray, TruncatedInputReleasesEverything)
{
    std::vector<char> bytes = encode_names({"alice", "bob", "carol", "dave"});
    for (size_t length = 0; length < bytes.size(); ++length) {
        void *array = nullptr;
        uint32_t count = 0;
        EXPECT_FALSE(decode_names(bytes, length, &array, &count)) << length;
        EXPECT_EQ(array, nullptr) << length;
        EXPECT_EQ(count, 0u) << length;
    }
}

}  // namespace
