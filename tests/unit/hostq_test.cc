#include "host/hostq.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::string_literals;

// Four threads ask first at once.  Names compare in any case, with or
// without one final dot; nothing else is this machine.
TEST(HostqTest, LoopbackAndOwnNamesAreLocalFromConcurrentFirstCalls)
{
    char name[256] = {};
    ASSERT_EQ(gethostname(name, sizeof name - 1), 0);
    const std::string host = name, short_name = host.substr(0, host.find('.'));
    int answers[4] = {};
    std::vector<std::thread> threads;
    for (int &answer : answers)
        threads.emplace_back([&answer, &host] { answer = hostq_is_localhost(host.c_str()); });
    for (auto &thread : threads)
        thread.join();
    EXPECT_TRUE(answers[0] && answers[1] && answers[2] && answers[3]);
    std::string upper = short_name;
    std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
    for (std::string local : {"localhost"s, "LocalHost"s, "localhost."s, "LOCALHOST.LOCALDOMAIN"s, "127.0.0.1"s, "::1"s,
                              upper, short_name + "."})
        EXPECT_NE(hostq_is_localhost(local.c_str()), 0) << local;
    for (std::string other : {""s, "127.0.0.2"s, "winhost"s, "localhostx"s, "local"s, "localhost.example.com"s,
                              short_name + "x", short_name.substr(0, short_name.size() - 1), "."s})
        EXPECT_EQ(hostq_is_localhost(other.c_str()), 0) << other;
    EXPECT_EQ(hostq_is_localhost(nullptr), 0);
}

}  // namespace
