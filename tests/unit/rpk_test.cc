// RPC helpers: AUTH_UNIX credentials and RPC error texts from real clients.
#include "host/rpk.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/vox.h"

namespace {

// The AUTH_UNIX credential body of `auth`, decoded.  The caller releases it
// with xdr_free.
bool decode_credential(AUTH *auth, authunix_parms *parms)
{
    memset(parms, 0, sizeof *parms);
    if (auth->ah_cred.oa_flavor != AUTH_UNIX)
        return false;
    XDR xdrs;
    xdrmem_create(&xdrs, auth->ah_cred.oa_base, auth->ah_cred.oa_length, XDR_DECODE);
    bool ok = xdr_authunix_parms(&xdrs, parms);
    xdr_destroy(&xdrs);
    return ok;
}

TEST(RpkAuthTest, CredentialCarriesIdsAndAtMostSixteenGroups)
{
    std::vector<int> groups;
    for (int g = 0; g < 20; ++g)
        groups.push_back(100 + g);
    AUTH *auth = rpk_authunix_create("client.example", 1000, -2, 20, groups.data());
    ASSERT_NE(auth, nullptr);
    authunix_parms parms;
    ASSERT_TRUE(decode_credential(auth, &parms));
    EXPECT_STREQ(parms.aup_machname, "client.example");
    EXPECT_EQ(parms.aup_uid, 1000u);
    // Ids are signed 32-bit values and travel as their bit patterns.
    EXPECT_EQ(parms.aup_gid, 4294967294u);
    ASSERT_EQ(parms.aup_len, unsigned{RPK_MAX_GROUPS});
    for (int g = 0; g < RPK_MAX_GROUPS; ++g)
        EXPECT_EQ(parms.aup_gids[g], 100u + g);
    xdr_free(reinterpret_cast<xdrproc_t>(xdr_authunix_parms), reinterpret_cast<char *>(&parms));
    auth_destroy(auth);
}

TEST(RpkAuthTest, LongMachineNamesAreCutAndBadArgumentsRefused)
{
    std::string name(400, 'm');
    AUTH *auth = rpk_authunix_create(name.c_str(), 1, 1, 0, nullptr);
    ASSERT_NE(auth, nullptr);
    authunix_parms parms;
    ASSERT_TRUE(decode_credential(auth, &parms));
    EXPECT_EQ(std::string(parms.aup_machname), name.substr(0, 255));
    EXPECT_EQ(parms.aup_len, 0u);
    xdr_free(reinterpret_cast<xdrproc_t>(xdr_authunix_parms), reinterpret_cast<char *>(&parms));
    auth_destroy(auth);

    int group = 5;
    EXPECT_EQ(rpk_authunix_create(nullptr, 1, 1, 1, &group), nullptr);
    EXPECT_EQ(rpk_authunix_create("m", 1, 1, -1, &group), nullptr);
    EXPECT_EQ(rpk_authunix_create("m", 1, 1, 1, nullptr), nullptr);
}

// A TCP client of a loopback peer that takes the connection and closes it
// at once, so that every call fails on the connection.
struct closed_peer_client {
    CLIENT *clnt = nullptr;
    int fd = -1;
};

closed_peer_client connect_to_closing_peer()
{
    closed_peer_client result;
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    if (listener < 0)
        return result;
    sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        close(listener);
        return result;
    }
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
        // The connection is complete in the backlog; take it and drop it.
        int accepted = accept(listener, nullptr, nullptr);
        if (accepted >= 0)
            close(accepted);
        netbuf server = {sizeof address, sizeof address, &address};
        result.clnt = clnt_vc_create(fd, &server, 390521, 1, 0, 0);
        result.fd = fd;
    } else if (fd >= 0) {
        close(fd);
    }
    close(listener);
    return result;
}

void capture_sink(int severity, const char *, const char *text, void *context)
{
    auto *seen = static_cast<std::vector<std::pair<int, std::string>> *>(context);
    seen->emplace_back(severity, text);
}

TEST(RpkErrorTest, FailedCallIsReportedWithRpcAndSystemError)
{
    // Writing to the dropped connection must not kill the test.
    signal(SIGPIPE, SIG_IGN);
    closed_peer_client peer = connect_to_closing_peer();
    ASSERT_NE(peer.clnt, nullptr);

    char buffer[256];
    EXPECT_STREQ(rpk_clnt_sperror(peer.clnt, "ping", buffer, sizeof buffer), "ping: RPC: Success");

    timeval timeout = {5, 0};
    // xdr_void takes no arguments; the cast through void (*)() says that the
    // mismatch with xdrproc_t is meant.
    auto no_data = reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(xdr_void));
    clnt_stat status = clnt_call(peer.clnt, 0, no_data, nullptr, no_data, nullptr, timeout);
    ASSERT_TRUE(status == RPC_CANTSEND || status == RPC_CANTRECV) << clnt_sperrno(status);

    std::string text = rpk_clnt_sperror(peer.clnt, "credmap_null call failed", buffer, sizeof buffer);
    std::string expected_start = std::string("credmap_null call failed: ") + clnt_sperrno(status) + ": ";
    EXPECT_EQ(text.substr(0, expected_start.size()), expected_start) << text;
    // The system error follows: a reset or broken connection.
    EXPECT_GT(text.size(), expected_start.size()) << text;

    // The same text goes out as an error message.
    std::vector<std::pair<int, std::string>> seen;
    vox_set_sink(capture_sink, &seen);
    rpk_clnt_perror(peer.clnt, "credmap_null call failed");
    vox_set_sink(nullptr, nullptr);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].first, VOX_ERROR);
    EXPECT_EQ(seen[0].second, text + "\n");

    // A short buffer gets a cut, terminated text.
    char small[10];
    rpk_clnt_sperror(peer.clnt, "credmap_null call failed", small, sizeof small);
    EXPECT_EQ(std::string(small), text.substr(0, 9));

    clnt_destroy(peer.clnt);
    close(peer.fd);
}

TEST(RpkErrorTest, MissingClientIsNamed)
{
    char buffer[64];
    EXPECT_STREQ(rpk_clnt_sperror(nullptr, "op", buffer, sizeof buffer), "op: no RPC client");
    EXPECT_EQ(rpk_clnt_sperror(nullptr, "op", nullptr, 10), nullptr);
    testing::internal::CaptureStderr();
    rpk_clnt_perror(nullptr, "op");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              std::string(program_invocation_short_name) + ": error: op: no RPC client\n");
}

}  // namespace
