// The library's remote operations on a hostile server's replies: each call
// goes to a client whose transport decodes the reply from the input, and
// whatever the operation hands over is read and released the way a caller
// would.  Input: the operation, the transport's outcome (low two bits; bit
// 2 gives the server the NT attribute), then the reply.
#include <cstring>

#include "fuzz_support.h"
#include "velmo/credmap.h"

namespace {

char kAlice[] = "alice", kStaff[] = "staff", kEngineering[] = "engineering";

struct Request {
    idkit_sid_t user, group;
    idkit_sid_credentials_t sids;
    idkit_string_credentials_t names;
    idkit_whole_string_credentials_t whole_names;
    idkit_credentials_t ids;
    char *whole_groups[2];
};

Request make_request()
{
    Request r{};
    idkit_sid_from_str("S-1-5-21-3623811015-3361044348-30300820-1104", &r.user);
    idkit_sid_from_str("S-1-5-21-3623811015-3361044348-30300820-1201", &r.group);
    r.sids = idkit_sid_credentials_t{r.user, r.group, 1, {r.group}};
    r.names = idkit_string_credentials_t{kAlice, kStaff, 1, 0, {kEngineering}};
    r.whole_groups[0] = kStaff;
    r.whole_groups[1] = kEngineering;
    r.whole_names = idkit_whole_string_credentials_t{kAlice, kStaff, 2, r.whole_groups};
    r.ids = idkit_credentials_t{1104, 1201, 1, 0, {1202}};
    return r;
}

// Reads every string a delivered record holds, as a caller would.
void read_passwd(const idkit_passwd_sid_t &pw)
{
    fuzz::check(std::strlen(pw.user.name) + std::strlen(pw.group.name) + std::strlen(pw.gecos) + std::strlen(pw.home) <
                    1u << 20,
                "passwd strings are terminated");
}

void read_names(const idkit_string_credentials_t &n)
{
    fuzz::check(n.ngroups <= IDKIT_MAX_GROUPS, "a name set holds at most 32 groups");
    size_t total = (n.user ? std::strlen(n.user) : 0) + (n.group ? std::strlen(n.group) : 0);
    for (uint32_t i = 0; i < n.ngroups; ++i)
        total += n.groups[i] ? std::strlen(n.groups[i]) : 0;
    fuzz::check(total < 1u << 20, "names are terminated");
}

using Operation = void (*)(credmap_handle_t *, const Request &);

void get_credentials(credmap_handle_t *h, const Request &)
{
    idkit_credentials_t c{};
    if (credmap_svr_get_credentials(h, kAlice, &c) == CORE_OK)
        fuzz::check(c.ngroups >= 0 && c.ngroups <= IDKIT_MAX_GROUPS, "ids hold at most 32 groups");
}

void string_credentials(credmap_handle_t *h, const Request &r)
{
    idkit_credentials_t c{};
    if (credmap_lookup_string_credentials(h, &r.names, &c) == CORE_OK)
        fuzz::check(c.ngroups >= 0 && c.ngroups <= IDKIT_MAX_GROUPS, "ids hold at most 32 groups");
}

void user_sid(credmap_handle_t *h, const Request &)
{
    char text[CREDMAP_STRING_MAX + 1] = "";
    credmap_lookup_user_sid(h, kAlice, 0, text);
    fuzz::check(std::memchr(text, '\0', sizeof text) != nullptr, "the SID text is terminated");
}

void domain_sid(credmap_handle_t *h, const Request &)
{
    char text[CREDMAP_STRING_MAX + 1] = "";
    credmap_lookup_domain_sid(h, "KORVANTIS", 0, text);
    fuzz::check(std::memchr(text, '\0', sizeof text) != nullptr, "the SID text is terminated");
}

void user_sid_credentials(credmap_handle_t *h, const Request &)
{
    credmap_user_sid_credentials_t out{};
    if (credmap_lookup_user_sid_credentials(h, kAlice, &out) == CORE_OK) {
        fuzz::check(out.ngroups == 0 || out.groups != nullptr, "groups counted are there");
        for (uint32_t i = 0; i < out.ngroups; ++i)
            fuzz::check(out.groups[i].name != nullptr, "every group has a name");
    }
    credmap_lookup_user_sid_credentials_free(h, &out);
}

template<typename Lookup>
void passwd(credmap_handle_t *h, Lookup lookup)
{
    idkit_passwd_sid_t pw{};
    if (lookup(h, &pw) == CORE_OK)
        read_passwd(pw);
}

template<typename Lookup>
void group(credmap_handle_t *h, Lookup lookup)
{
    idkit_group_sid_t gr{};
    if (lookup(h, &gr) == CORE_OK)
        fuzz::check(std::strlen(gr.name) < 1u << 20, "the group name is terminated");
}

void getpwnam(credmap_handle_t *h, const Request &)
{
    passwd(h, [](credmap_handle_t *c, idkit_passwd_sid_t *pw) { return credmap_svr_getpwnam(c, kAlice, pw); });
}

void getpwuid(credmap_handle_t *h, const Request &)
{
    passwd(h, [](credmap_handle_t *c, idkit_passwd_sid_t *pw) { return credmap_svr_getpwuid(c, 1104, pw); });
}

void getpwsid(credmap_handle_t *h, const Request &r)
{
    passwd(h, [&r](credmap_handle_t *c, idkit_passwd_sid_t *pw) { return credmap_svr_getpwsid(c, &r.user, pw); });
}

void getgrnam(credmap_handle_t *h, const Request &)
{
    group(h, [](credmap_handle_t *c, idkit_group_sid_t *gr) { return credmap_svr_getgrnam(c, kStaff, gr); });
}

void getgrgid(credmap_handle_t *h, const Request &)
{
    group(h, [](credmap_handle_t *c, idkit_group_sid_t *gr) { return credmap_svr_getgrgid(c, 1201, gr); });
}

void getgrsid(credmap_handle_t *h, const Request &r)
{
    group(h, [&r](credmap_handle_t *c, idkit_group_sid_t *gr) { return credmap_svr_getgrsid(c, &r.group, gr); });
}

void lookup_credentials(credmap_handle_t *h, const Request &r)
{
    idkit_string_credentials_t names{};
    if (credmap_lookup_credentials(h, &r.ids, &names) == CORE_OK)
        read_names(names);
    credmap_lookup_credentials_free(h, &names);
}

void string_credentials_sid(credmap_handle_t *h, const Request &r)
{
    idkit_sid_credentials_t sids{};
    if (credmap_lookup_string_credentials_sid(h, &r.names, &sids) == CORE_OK)
        fuzz::check(sids.ngroups <= IDKIT_MAX_GROUPS, "a SID set holds at most 32 groups");
}

void sid_credentials(credmap_handle_t *h, const Request &r)
{
    idkit_string_credentials_t names{};
    if (credmap_lookup_sid_credentials(h, &r.sids, &names) == CORE_OK)
        read_names(names);
    credmap_lookup_sid_credentials_free(h, &names);
}

void whole_string_credentials(credmap_handle_t *h, const Request &r)
{
    idkit_whole_credentials_t whole{};
    if (credmap_lookup_whole_string_credentials(h, &r.whole_names, &whole) == CORE_OK)
        fuzz::check(whole.ngroups >= 0 && (whole.ngroups == 0 || whole.groups != nullptr),
                    "a whole set holds the groups it counts");
    idkit_free_whole_credentials(&whole);
}

void exit_server(credmap_handle_t *h, const Request &)
{
    credmap_exit(h);
}

const Operation kOperations[] = {
    get_credentials,
    string_credentials,
    user_sid,
    domain_sid,
    user_sid_credentials,
    getpwnam,
    getpwuid,
    getpwsid,
    getgrnam,
    getgrgid,
    getgrsid,
    lookup_credentials,
    string_credentials_sid,
    sid_credentials,
    whole_string_credentials,
    exit_server,
};
constexpr size_t kCount = sizeof kOperations / sizeof kOperations[0];

const clnt_stat kOutcomes[] = {RPC_SUCCESS, RPC_PROCUNAVAIL, RPC_TIMEDOUT, RPC_CANTRECV};

void write_seeds(const std::string &dir)
{
    using fuzz::encode;
    Request r = make_request();
    credmap_hdr_reply_t ok{1, 0};
    char alice[] = "KORVANTIS\\Alice", staff[] = "KORVANTIS\\Staff", gecos[] = "Alice", home[] = "/home/alice";
    auto seed = [&](uint8_t op, const char *name, xdrproc_t proc, const void *reply) {
        fuzz::write_seed(dir, name, encode(proc, reply, {op, 4}));
    };
    credmap_svr_get_credentials_reply_t creds{ok, {1104, 1201, 2, 0, {1201, 1202}}};
    seed(0, "get_credentials", (xdrproc_t)xdr_credmap_svr_get_credentials_reply_t, &creds);
    seed(1, "string_credentials", (xdrproc_t)xdr_credmap_svr_get_credentials_reply_t, &creds);
    char sid_text[] = "S-1-5-21-3623811015-3361044348-30300820-1104";
    credmap_lookup_user_sid_reply_t sid{ok, sid_text};
    seed(2, "user_sid", (xdrproc_t)xdr_credmap_lookup_user_sid_reply_t, &sid);
    seed(3, "domain_sid", (xdrproc_t)xdr_credmap_lookup_user_sid_reply_t, &sid);
    idkit_group_sid_t groups[2] = {{staff, 1201, r.group}, {staff, 1202, r.group}};
    credmap_lookup_user_sid_credentials_reply_t usc{ok, {alice, 1104, r.user}, {staff, 1201, r.group}, groups, 2};
    seed(4, "user_sid_credentials", (xdrproc_t)xdr_credmap_lookup_user_sid_credentials_reply_t, &usc);
    credmap_svr_getpwnam_reply_t pw{ok, {{alice, 1104, r.user}, {staff, 1201, r.group}, gecos, home}};
    seed(5, "getpwnam", (xdrproc_t)xdr_credmap_svr_getpwnam_reply_t, &pw);
    seed(6, "getpwuid", (xdrproc_t)xdr_credmap_svr_getpwnam_reply_t, &pw);
    seed(7, "getpwsid", (xdrproc_t)xdr_credmap_svr_getpwnam_reply_t, &pw);
    credmap_svr_getgrnam_reply_t gr{ok, {staff, 1201, r.group}};
    seed(8, "getgrnam", (xdrproc_t)xdr_credmap_svr_getgrnam_reply_t, &gr);
    seed(9, "getgrgid", (xdrproc_t)xdr_credmap_svr_getgrnam_reply_t, &gr);
    seed(10, "getgrsid", (xdrproc_t)xdr_credmap_svr_getgrnam_reply_t, &gr);
    credmap_lookup_credentials_reply_t names{ok, {alice, staff, 2, 0, {staff, staff}}};
    seed(11, "lookup_credentials", (xdrproc_t)xdr_credmap_lookup_credentials_reply_t, &names);
    credmap_lookup_string_credentials_sid_reply_t sids{ok, {r.user, r.group, 1, {r.group}}};
    seed(12, "string_credentials_sid", (xdrproc_t)xdr_credmap_lookup_string_credentials_sid_reply_t, &sids);
    seed(13, "sid_credentials", (xdrproc_t)xdr_credmap_lookup_credentials_reply_t, &names);
    idkit_sid_t whole_groups[2] = {r.group, IDKIT_SID_NOBODY};
    credmap_lookup_whole_string_credentials_reply_t whole{ok, {r.user, r.group, 2, whole_groups}};
    seed(14, "whole_string_credentials", (xdrproc_t)xdr_credmap_lookup_whole_string_credentials_reply_t, &whole);
    credmap_null_reply_t done{ok};
    seed(15, "exit", (xdrproc_t)xdr_credmap_null_reply_t, &done);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::seed_mode(write_seeds);
    fuzz::quiet_messages();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const Request request = make_request();
    fuzz::Input in{data, size};
    Operation operation = kOperations[fuzz::take_byte(&in) % kCount];
    uint8_t transport = fuzz::take_byte(&in);
    fuzz::FakeClient client;
    fuzz::make_fake_client(&client, in, kOutcomes[transport & 3]);
    credmap_handle_t handle{};
    handle.conn.sock = -1;
    handle.conn.clnt = &client.client;
    handle.attributes = (transport & 4) != 0 ? CREDMAP_ATTR_NT_SID : 0;
    operation(&handle, request);
    return 0;
}
