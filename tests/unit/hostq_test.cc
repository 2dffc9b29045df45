// Tests of the local-host test.
#include "host/hostq.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <string>
#include <thread>

namespace {

std::string upper(std::string text)
{
    for (char &c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string machine_host_name()
{
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0)
        return "";
    return name;
}

TEST(HostqTest, LocalhostInItsSpellings)
{
    for (const char *name : {"localhost", "LocalHost", "localhost.", "LOCALHOST.LOCALDOMAIN", "127.0.0.1", "::1"})
        EXPECT_NE(hostq_is_localhost(name), 0) << name;
}

TEST(HostqTest, OwnNameInAnyCase)
{
    std::string host = machine_host_name();
    ASSERT_FALSE(host.empty());
    std::string short_name = host.substr(0, host.find('.'));
    EXPECT_NE(hostq_is_localhost(host.c_str()), 0);
    EXPECT_NE(hostq_is_localhost(upper(short_name).c_str()), 0);
    EXPECT_NE(hostq_is_localhost((short_name + ".").c_str()), 0);
}

TEST(HostqTest, OtherNamesAreNotLocal)
{
    std::string short_name = machine_host_name();
    short_name = short_name.substr(0, short_name.find('.'));
    for (std::string name : {std::string(), std::string("127.0.0.2"), std::string("winhost"), std::string("localhostx"),
                             std::string("local"), std::string("localhost.example.com"), short_name + "x",
                             short_name.substr(0, short_name.size() - 1), std::string(".")})
        EXPECT_EQ(hostq_is_localhost(name.c_str()), 0) << name;
    EXPECT_EQ(hostq_is_localhost(nullptr), 0);
}

// The machine's names are looked up once, by whichever thread asks first.
TEST(HostqTest, ConcurrentFirstCallsAgree)
{
    std::string host = machine_host_name();
    int answers[4] = {};
    std::thread threads[4];
    for (int i = 0; i < 4; ++i)
        threads[i] = std::thread([&answers, &host, i] { answers[i] = hostq_is_localhost(host.c_str()); });
    for (auto &thread : threads)
        thread.join();
    for (int answer : answers)
        EXPECT_NE(answer, 0);
}

}  // namespace
