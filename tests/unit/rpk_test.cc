#include "host/rpk.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

namespace {

// An AUTH_UNIX credential needs a machine name, and groups when it has any.
TEST(RpkAuthTest, BadArgumentsAreRefused)
{
    int group = 5;
    EXPECT_EQ(rpk_authunix_create(nullptr, 1, 1, 1, &group), nullptr);
    EXPECT_EQ(rpk_authunix_create("m", 1, 1, -1, &group), nullptr);
    EXPECT_EQ(rpk_authunix_create("m", 1, 1, 1, nullptr), nullptr);
}

// A peer that has gone: the call fails, SIGPIPE does not end the process, and
// the text names the RPC error and the system error behind it.
TEST(RpkErrorTest, FailedCallIsReportedWithRpcAndSystemError)
{
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    close(fds[1]);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    netbuf server = {sizeof address, sizeof address, &address};
    CLIENT *clnt = clnt_vc_create(fds[0], &server, 390521, 1, 0, 0);
    ASSERT_NE(clnt, nullptr);
    char buffer[256];
    EXPECT_STREQ(rpk_clnt_sperror(clnt, "ping", buffer, sizeof buffer), "ping: RPC: Success");

    auto no_data = reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(xdr_void));
    EXPECT_EQ(rpk_clnt_call(clnt, 0, no_data, nullptr, no_data, nullptr, {5, 0}), RPC_CANTSEND);
    EXPECT_EQ(rpk_clnt_call(nullptr, 0, no_data, nullptr, no_data, nullptr, {5, 0}), RPC_FAILED);

    const std::string text = "credmap_null call failed: RPC: Unable to send: Broken pipe";
    EXPECT_EQ(rpk_clnt_sperror(clnt, "credmap_null call failed", buffer, sizeof buffer), text);
    const std::string prefix = std::string(program_invocation_short_name) + ": error: ";
    testing::internal::CaptureStderr();
    rpk_clnt_perror(clnt, "credmap_null call failed");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), prefix + text + "\n");
    clnt_destroy(clnt);
    close(fds[0]);

    EXPECT_STREQ(rpk_clnt_sperror(nullptr, "op", buffer, sizeof buffer), "op: no RPC client");
    EXPECT_EQ(rpk_clnt_sperror(nullptr, "op", nullptr, 10), nullptr);
    testing::internal::CaptureStderr();
    rpk_clnt_perror(nullptr, "op");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), prefix + "op: no RPC client\n");
}

}  // namespace
