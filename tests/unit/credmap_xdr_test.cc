// The credmap protocol messages through real XDR memory streams: round trips,
// wire layout, status-dependent bodies, string limits, hostile group counts
// and truncated input.  Every decoded record is given back with xdr_free, so
// the sanitizer build also proves that nothing leaks.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <typeinfo>
#include <vector>

#include "host/idkit.h"
#include "host/velmo_xdr.h"
#include "velmo/credmap_prot.h"

namespace {

using Bytes = std::vector<char>;
template <typename M> using Routine = bool_t (*)(XDR *, M *);

// Runs `fill` on an encoding stream and returns what it wrote, or nothing
// when it refused.
bool encode_with(const std::function<bool(XDR *)> &fill, Bytes *out)
{
    Bytes buf(1 << 18);
    XDR x;
    xdrmem_create(&x, buf.data(), u_int(buf.size()), XDR_ENCODE);
    const bool ok = fill(&x);
    buf.resize(xdr_getpos(&x));
    xdr_destroy(&x);
    *out = ok ? buf : Bytes{};
    return ok;
}

template <typename M>
bool encode(Routine<M> routine, M m, Bytes *out)
{
    return encode_with([&](XDR *x) { return routine(x, &m) != 0; }, out);
}

// Decodes the first `length` bytes into m; `used` receives the bytes read.
template <typename M>
bool decode(Routine<M> routine, Bytes bytes, size_t length, M *m, u_int *used = nullptr)
{
    XDR x;
    xdrmem_create(&x, bytes.data(), u_int(length), XDR_DECODE);
    const bool ok = routine(&x, m) != 0;
    if (used != nullptr)
        *used = xdr_getpos(&x);
    xdr_destroy(&x);
    return ok;
}

template <typename M>
void release(Routine<M> routine, M *m)
{
    xdr_free(reinterpret_cast<xdrproc_t>(routine), m);
}

// Encodes `in`, decodes it into a cleared record (reading every byte), hands
// both to `same`, then releases the decoded record.
template <typename M>
void check_round_trip(Routine<M> routine, const M &in, const std::function<void(const M &, const M &)> &same)
{
    Bytes bytes;
    ASSERT_TRUE(encode(routine, in, &bytes));
    M out{};
    u_int used = 0;
    ASSERT_TRUE(decode(routine, bytes, bytes.size(), &out, &used));
    EXPECT_EQ(used, bytes.size());
    same(in, out);
    release(routine, &out);
}

// Every strict prefix of a valid encoding must fail to decode into a cleared
// record and leave every pointer that `pointers` lists null.
template <typename M> using Pointers = std::function<std::vector<const void *>(const M &)>;
template <typename M>
void check_prefixes_fail(Routine<M> routine, const M &in, const Pointers<M> &pointers)
{
    Bytes bytes;
    ASSERT_TRUE(encode(routine, in, &bytes));
    for (size_t length = 0; length < bytes.size(); ++length) {
        M out{};
        EXPECT_FALSE(decode(routine, bytes, length, &out)) << "prefix of " << length << " bytes";
        for (const void *p : pointers(out))
            EXPECT_EQ(p, nullptr) << "prefix of " << length << " bytes";
    }
}

// ---- Realistic values ----

char *text(const char *s)
{
    return const_cast<char *>(s);
}

idkit_sid_t nt_sid(uint32_t rid)
{
    const std::string s = "S-1-5-21-1004336348-1177238915-682003330-" + std::to_string(rid);
    idkit_sid_t sid{};
    EXPECT_EQ(idkit_sid_from_str(s.c_str(), &sid), 0) << s;
    return sid;
}

// Names that the records point at; they live as long as the test.
struct Names {
    std::vector<std::string> groups;
    explicit Names(size_t n)
    {
        for (size_t i = 0; i < n; ++i)
            groups.push_back("CORP\\group" + std::to_string(i));
    }
};

idkit_user_sid_t user_sid()
{
    return idkit_user_sid_t{text("CORP\\alice"), 1001, nt_sid(1001)};
}

idkit_group_sid_t group_sid(Names &names, size_t i)
{
    return idkit_group_sid_t{names.groups[i].data(), 2000 + i, nt_sid(uint32_t(2000 + i))};
}

idkit_credentials_t credentials()
{
    idkit_credentials_t c{};
    c.uid = 1001;
    c.gid = 100;
    c.ngroups = IDKIT_MAX_GROUPS;
    for (int i = 0; i < IDKIT_MAX_GROUPS; ++i)
        c.groups[i] = i == 5 ? IDKIT_ID_NOBODY : 200u + unsigned(i);
    return c;
}

idkit_string_credentials_t string_credentials(Names &names, uint32_t n)
{
    idkit_string_credentials_t c{};
    c.user = text("CORP\\alice");
    c.group = text("CORP\\Domain Users");
    c.ngroups = n;
    for (uint32_t i = 0; i < n; ++i)
        c.groups[i] = names.groups[i].data();
    return c;
}

idkit_sid_credentials_t sid_credentials(uint32_t n)
{
    idkit_sid_credentials_t c{};
    c.user = nt_sid(1001);
    c.group = nt_sid(513);
    c.ngroups = n;
    for (uint32_t i = 0; i < n; ++i)
        c.groups[i] = nt_sid(3000 + i);
    return c;
}

// ---- Member-by-member comparison ----

void expect_same(const idkit_sid_t &a, const idkit_sid_t &b)
{
    EXPECT_EQ(a.kind, b.kind);
    ASSERT_EQ(a.length, b.length);
    EXPECT_EQ(std::memcmp(a.body, b.body, a.length), 0);
}

void expect_same(const credmap_hdr_req_t &a, const credmap_hdr_req_t &b)
{
    EXPECT_EQ(a.uniquifier, b.uniquifier);
    EXPECT_EQ(a.seqno, b.seqno);
}

void expect_same(const credmap_hdr_reply_t &a, const credmap_hdr_reply_t &b)
{
    EXPECT_EQ(a.tag, b.tag);
    EXPECT_EQ(a.status, b.status);
}

template <typename Named> void expect_same_named(const Named &a, const Named &b)
{
    EXPECT_STREQ(a.name, b.name);
    EXPECT_EQ(a.id, b.id);
    expect_same(a.sid, b.sid);
}

void expect_same(const idkit_credentials_t &a, const idkit_credentials_t &b)
{
    EXPECT_EQ(a.uid, b.uid);
    EXPECT_EQ(a.gid, b.gid);
    ASSERT_EQ(a.ngroups, b.ngroups);
    for (int i = 0; i < a.ngroups; ++i)
        EXPECT_EQ(a.groups[i], b.groups[i]) << "group " << i;
}

void expect_same(const idkit_string_credentials_t &a, const idkit_string_credentials_t &b)
{
    EXPECT_STREQ(a.user, b.user);
    EXPECT_STREQ(a.group, b.group);
    ASSERT_EQ(a.ngroups, b.ngroups);
    for (uint32_t i = 0; i < a.ngroups; ++i)
        EXPECT_STREQ(a.groups[i], b.groups[i]) << "group " << i;
}

void expect_same(const idkit_sid_credentials_t &a, const idkit_sid_credentials_t &b)
{
    expect_same(a.user, b.user);
    expect_same(a.group, b.group);
    ASSERT_EQ(a.ngroups, b.ngroups);
    for (uint32_t i = 0; i < a.ngroups; ++i)
        expect_same(a.groups[i], b.groups[i]);
}

// ---- Wire layout ----

TEST(CredmapXdr, ContactMessagesLayout)
{
    credmap_contact_req_t req{{0x0102030405060708, 5}, CREDMAP_CONTACT_WORD};
    Bytes bytes;
    ASSERT_TRUE(encode(xdr_credmap_contact_req_t, req, &bytes));
    const Bytes expected_req = {1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0, 0, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0, 3};
    EXPECT_EQ(bytes, expected_req);

    credmap_contact_reply_t reply{{0x1122, -2}, 0xA0B0C0D0E0F00010, CREDMAP_ATTR_NT_SID};
    ASSERT_TRUE(encode(xdr_credmap_contact_reply_t, reply, &bytes));
    const Bytes expected_reply = {0,          0,          0,          0,          0,          0,
                                  0x11,       0x22,       char(0xff), char(0xff), char(0xff), char(0xfe),
                                  char(0xa0), char(0xb0), char(0xc0), char(0xd0), char(0xe0), char(0xf0),
                                  0,          0x10,       0,          0,          0,          2};
    EXPECT_EQ(bytes, expected_reply);
}

// ---- Round trips ----

TEST(CredmapXdr, HeaderOnlyAndContactRoundTrip)
{
    const credmap_hdr_req_t hreq{1700000000, 41};
    const credmap_hdr_reply_t hreply{0xfeedface, CORE_E_NOT_FOUND};
    check_round_trip<credmap_null_req_t>(xdr_credmap_null_req_t, {hreq},
                                         [](auto &a, auto &b) { expect_same(a.hdr, b.hdr); });
    check_round_trip<credmap_null_reply_t>(xdr_credmap_null_reply_t, {hreply},
                                           [](auto &a, auto &b) { expect_same(a.hdr, b.hdr); });
    check_round_trip<credmap_contact_req_t>(xdr_credmap_contact_req_t, {hreq, CREDMAP_CONTACT_WORD},
                                            [](auto &a, auto &b) {
                                                expect_same(a.hdr, b.hdr);
                                                EXPECT_EQ(b.contact_word, 3u);
                                            });
    check_round_trip<credmap_contact_reply_t>(xdr_credmap_contact_reply_t, {hreply, UINT64_MAX, CREDMAP_ATTR_NT_SID},
                                              [](auto &a, auto &b) {
                                                  expect_same(a.hdr, b.hdr);
                                                  EXPECT_EQ(b.server_word, UINT64_MAX);
                                                  EXPECT_EQ(b.attributes, unsigned(CREDMAP_ATTR_NT_SID));
                                              });
}

TEST(CredmapXdr, RequestsRoundTrip)
{
    const credmap_hdr_req_t h{-1, 0x8000000000000001};
    Names names(40);
    check_round_trip<credmap_svr_get_credentials_req_t>(xdr_credmap_svr_get_credentials_req_t,
                                                        {h, text("CORP\\alice")}, [](auto &a, auto &b) {
                                                            expect_same(a.hdr, b.hdr);
                                                            EXPECT_STREQ(b.name, "CORP\\alice");
                                                        });
    check_round_trip<credmap_lookup_user_sid_req_t>(xdr_credmap_lookup_user_sid_req_t, {h, text("CORP\\bob"), -7},
                                                    [](auto &a, auto &b) {
                                                        expect_same(a.hdr, b.hdr);
                                                        EXPECT_STREQ(b.name, "CORP\\bob");
                                                        EXPECT_EQ(b.option, -7);
                                                    });
    check_round_trip<credmap_lookup_user_sid_credentials_req_t>(
        xdr_credmap_lookup_user_sid_credentials_req_t, {h, text("")}, [](auto &a, auto &b) {
            expect_same(a.hdr, b.hdr);
            EXPECT_STREQ(b.name, "");
        });
    check_round_trip<credmap_svr_getpwuid_req_t>(xdr_credmap_svr_getpwuid_req_t, {h, 4294967294u},
                                                 [](auto &, auto &b) { EXPECT_EQ(b.uid, 4294967294u); });
    check_round_trip<credmap_svr_getgrgid_req_t>(xdr_credmap_svr_getgrgid_req_t, {h, 100},
                                                 [](auto &, auto &b) { EXPECT_EQ(b.gid, 100u); });
    check_round_trip<credmap_svr_getpwsid_req_t>(xdr_credmap_svr_getpwsid_req_t, {h, nt_sid(500)},
                                                 [](auto &a, auto &b) { expect_same(a.sid, b.sid); });
    check_round_trip<credmap_lookup_string_credentials_req_t>(
        xdr_credmap_lookup_string_credentials_req_t, {h, string_credentials(names, 32)},
        [](auto &a, auto &b) { expect_same(a.string_creds, b.string_creds); });
    check_round_trip<credmap_lookup_credentials_req_t>(xdr_credmap_lookup_credentials_req_t,
                                                       {h, CREDMAP_REQUEST_WORD, credentials()}, [](auto &a, auto &b) {
                                                           EXPECT_EQ(b.request_word, 1u);
                                                           expect_same(a.creds, b.creds);
                                                       });
    check_round_trip<credmap_lookup_string_credentials_sid_req_t>(
        xdr_credmap_lookup_string_credentials_sid_req_t, {h, CREDMAP_REQUEST_WORD, string_credentials(names, 0)},
        [](auto &a, auto &b) {
            EXPECT_EQ(b.request_word, 1u);
            expect_same(a.string_creds, b.string_creds);
        });
    check_round_trip<credmap_lookup_sid_credentials_req_t>(xdr_credmap_lookup_sid_credentials_req_t,
                                                           {h, CREDMAP_REQUEST_WORD, sid_credentials(32)},
                                                           [](auto &a, auto &b) {
                                                               EXPECT_EQ(b.request_word, 1u);
                                                               expect_same(a.sid_creds, b.sid_creds);
                                                           });
    std::vector<char *> whole_names;
    for (auto &n : names.groups)
        whole_names.push_back(n.data());
    const idkit_whole_string_credentials_t wsc{text("CORP\\alice"), text("CORP\\Domain Users"), whole_names.size(),
                                               whole_names.data()};
    check_round_trip<credmap_lookup_whole_string_credentials_req_t>(
        xdr_credmap_lookup_whole_string_credentials_req_t, {h, CREDMAP_REQUEST_WORD, wsc}, [](auto &a, auto &b) {
            EXPECT_STREQ(b.whole_string_creds.user, a.whole_string_creds.user);
            EXPECT_STREQ(b.whole_string_creds.group, a.whole_string_creds.group);
            ASSERT_EQ(b.whole_string_creds.ngroups, a.whole_string_creds.ngroups);
            for (uint64_t i = 0; i < a.whole_string_creds.ngroups; ++i)
                EXPECT_STREQ(b.whole_string_creds.groups[i], a.whole_string_creds.groups[i]);
        });
}

TEST(CredmapXdr, RepliesRoundTrip)
{
    const credmap_hdr_reply_t ok{77, 0};
    Names names(IDKIT_MAX_GROUPS);
    check_round_trip<credmap_svr_get_credentials_reply_t>(xdr_credmap_svr_get_credentials_reply_t, {ok, credentials()},
                                                          [](auto &a, auto &b) {
                                                              expect_same(a.hdr, b.hdr);
                                                              expect_same(a.creds, b.creds);
                                                          });
    check_round_trip<credmap_lookup_credentials_reply_t>(
        xdr_credmap_lookup_credentials_reply_t, {ok, string_credentials(names, 32)},
        [](auto &a, auto &b) { expect_same(a.string_creds, b.string_creds); });
    check_round_trip<credmap_lookup_user_sid_reply_t>(
        xdr_credmap_lookup_user_sid_reply_t, {ok, text("S-1-5-21-1004336348-1177238915-682003330-1001")},
        [](auto &a, auto &b) { EXPECT_STREQ(b.sid, a.sid); });
    const idkit_passwd_sid_t pw{user_sid(), group_sid(names, 3), text("Alice Liddell"), text("/home/CORP/alice")};
    check_round_trip<credmap_svr_getpwnam_reply_t>(xdr_credmap_svr_getpwnam_reply_t, {ok, pw}, [](auto &a, auto &b) {
        expect_same_named(a.pw.user, b.pw.user);
        expect_same_named(a.pw.group, b.pw.group);
        EXPECT_STREQ(b.pw.gecos, a.pw.gecos);
        EXPECT_STREQ(b.pw.home, a.pw.home);
    });
    check_round_trip<credmap_svr_getgrnam_reply_t>(xdr_credmap_svr_getgrnam_reply_t, {ok, group_sid(names, 7)},
                                                   [](auto &a, auto &b) { expect_same_named(a.gr, b.gr); });
    check_round_trip<credmap_lookup_string_credentials_sid_reply_t>(
        xdr_credmap_lookup_string_credentials_sid_reply_t, {ok, sid_credentials(32)},
        [](auto &a, auto &b) { expect_same(a.sid_creds, b.sid_creds); });

    std::vector<idkit_sid_t> sids;
    for (uint32_t i = 0; i < 100; ++i)
        sids.push_back(nt_sid(4000 + i));
    for (int32_t n : {0, 100}) {
        const idkit_whole_credentials_t wc{nt_sid(1001), nt_sid(513), n, n ? sids.data() : nullptr};
        check_round_trip<credmap_lookup_whole_string_credentials_reply_t>(
            xdr_credmap_lookup_whole_string_credentials_reply_t, {ok, wc}, [](auto &a, auto &b) {
                expect_same(a.whole_creds.user, b.whole_creds.user);
                expect_same(a.whole_creds.group, b.whole_creds.group);
                ASSERT_EQ(b.whole_creds.ngroups, a.whole_creds.ngroups);
                for (int32_t i = 0; i < a.whole_creds.ngroups; ++i)
                    expect_same(a.whole_creds.groups[i], b.whole_creds.groups[i]);
            });
    }

    std::vector<idkit_group_sid_t> groups;
    for (size_t i = 0; i < IDKIT_MAX_GROUPS; ++i)
        groups.push_back(group_sid(names, i));
    for (uint32_t n : {0u, 32u}) {
        const credmap_lookup_user_sid_credentials_reply_t in{ok, user_sid(), group_sid(names, 0),
                                                             n ? groups.data() : nullptr, n};
        check_round_trip<credmap_lookup_user_sid_credentials_reply_t>(
            xdr_credmap_lookup_user_sid_credentials_reply_t, in, [](auto &a, auto &b) {
                expect_same_named(a.user, b.user);
                expect_same_named(a.group, b.group);
                ASSERT_EQ(b.ngroups, a.ngroups);
                for (uint32_t i = 0; i < a.ngroups; ++i)
                    expect_same_named(a.groups[i], b.groups[i]);
            });
    }
}

// ---- Bodies that depend on the status ----

// A failed reply of these kinds is the header alone: it encodes to the same
// bytes as a null reply, decodes without touching the body and is released
// without touching it either.
template <typename M> void check_header_only(Routine<M> routine, M failed)
{
    SCOPED_TRACE(typeid(M).name());
    Bytes bytes, header;
    ASSERT_TRUE(encode(routine, failed, &bytes));
    ASSERT_TRUE(encode(xdr_credmap_null_reply_t, credmap_null_reply_t{failed.hdr}, &header));
    EXPECT_EQ(bytes, header);

    M out;
    std::memset(&out, 0x5a, sizeof out);
    const M before = out;
    u_int used = 0;
    ASSERT_TRUE(decode(routine, bytes, bytes.size(), &out, &used));
    EXPECT_EQ(used, bytes.size());
    expect_same(out.hdr, failed.hdr);
    EXPECT_EQ(std::memcmp(reinterpret_cast<const char *>(&out) + sizeof out.hdr,
                          reinterpret_cast<const char *>(&before) + sizeof out.hdr, sizeof out - sizeof out.hdr),
              0);
    // The body holds garbage pointers: freeing them would crash.
    release(routine, &out);
}

TEST(CredmapXdr, FailedRepliesCarryNoBody)
{
    Names names(1);
    const credmap_hdr_reply_t failed{9, CORE_E_NOT_FOUND};
    const idkit_passwd_sid_t pw{user_sid(), group_sid(names, 0), text("Alice"), text("/home/alice")};
    check_header_only<credmap_svr_getpwnam_reply_t>(xdr_credmap_svr_getpwnam_reply_t, {failed, pw});
    check_header_only<credmap_svr_getgrnam_reply_t>(xdr_credmap_svr_getgrnam_reply_t, {failed, group_sid(names, 0)});
    check_header_only<credmap_lookup_string_credentials_sid_reply_t>(xdr_credmap_lookup_string_credentials_sid_reply_t,
                                                                     {failed, sid_credentials(3)});
    check_header_only<credmap_lookup_whole_string_credentials_reply_t>(
        xdr_credmap_lookup_whole_string_credentials_reply_t, {failed, {nt_sid(1), nt_sid(2), 0, nullptr}});
    check_header_only<credmap_lookup_user_sid_credentials_reply_t>(
        xdr_credmap_lookup_user_sid_credentials_reply_t, {failed, user_sid(), group_sid(names, 0), nullptr, 0});
}

// The SID reply always carries its text; the caller's buffer receives it.
TEST(CredmapXdr, SidReplyDecodesInPlaceWhateverTheStatus)
{
    const char *sid_text = "S-1-5-21-1004336348-1177238915-682003330-512";
    Bytes bytes;
    ASSERT_TRUE(encode(xdr_credmap_lookup_user_sid_reply_t,
                       credmap_lookup_user_sid_reply_t{{3, CORE_E_NOT_FOUND}, text(sid_text)}, &bytes));
    char buffer[CREDMAP_STRING_MAX + 1] = {};
    credmap_lookup_user_sid_reply_t out{{}, buffer};
    u_int used = 0;
    ASSERT_TRUE(decode(xdr_credmap_lookup_user_sid_reply_t, bytes, bytes.size(), &out, &used));
    EXPECT_EQ(used, bytes.size());
    EXPECT_EQ(out.hdr.status, CORE_E_NOT_FOUND);
    EXPECT_EQ(out.sid, buffer);
    EXPECT_STREQ(buffer, sid_text);

    // A text longer than the buffer is refused before a byte is written.
    const std::string too_long(CREDMAP_STRING_MAX + 1, '7');
    ASSERT_TRUE(encode_with(
        [&](XDR *x) {
            credmap_hdr_reply_t h{3, 0};
            char *s = text(too_long.c_str());
            return xdr_credmap_hdr_reply_t(x, &h) && xdr_string(x, &s, UINT_MAX);
        },
        &bytes));
    std::memset(buffer, 0, sizeof buffer);
    EXPECT_FALSE(decode(xdr_credmap_lookup_user_sid_reply_t, bytes, bytes.size(), &out));
    EXPECT_EQ(out.sid, buffer);
    EXPECT_EQ(buffer[0], '\0');
}

// ---- String limits ----

TEST(CredmapXdr, NameLimits)
{
    const credmap_hdr_req_t h{1, 2};
    std::string longest(CREDMAP_STRING_MAX, 'n');
    std::string too_long(CREDMAP_STRING_MAX + 1, 'n');
    Bytes bytes;
    EXPECT_TRUE(encode(xdr_credmap_svr_get_credentials_req_t, {h, longest.data()}, &bytes));
    EXPECT_TRUE(encode(xdr_credmap_lookup_user_sid_req_t, {h, longest.data(), 0}, &bytes));
    EXPECT_FALSE(encode(xdr_credmap_svr_get_credentials_req_t, {h, too_long.data()}, &bytes));
    EXPECT_FALSE(encode(xdr_credmap_lookup_user_sid_req_t, {h, too_long.data(), 0}, &bytes));
    check_round_trip<credmap_lookup_user_sid_credentials_req_t>(
        xdr_credmap_lookup_user_sid_credentials_req_t, {h, too_long.data()},
        [](auto &a, auto &b) { EXPECT_STREQ(b.name, a.name); });

    // A missing name is refused, not followed.
    EXPECT_FALSE(encode(xdr_credmap_svr_get_credentials_req_t, {h, nullptr}, &bytes));
    EXPECT_FALSE(encode(xdr_credmap_lookup_user_sid_req_t, {h, nullptr, 0}, &bytes));
    EXPECT_FALSE(encode(xdr_credmap_lookup_user_sid_credentials_req_t, {h, nullptr}, &bytes));
    EXPECT_FALSE(encode(xdr_credmap_lookup_user_sid_reply_t, {{}, nullptr}, &bytes));
}

// ---- Hostile group counts ----

// The start of a successful lookup-user-SID-credentials reply, up to and
// excluding its group array.
bool reply_prefix(XDR *x, char *user_name, char *group_name)
{
    credmap_hdr_reply_t h{1, 0};
    idkit_user_sid_t user{user_name, 1001, nt_sid(1001)};
    idkit_group_sid_t group{group_name, 513, nt_sid(513)};
    return xdr_credmap_hdr_reply_t(x, &h) && xdr_idkit_user_sid_t(x, &user, 0) && xdr_idkit_group_sid_t(x, &group, 0);
}

// The decoded count replaces whatever the record held, zero included.
TEST(CredmapXdr, EmptyGroupArrayDecodesToNoGroups)
{
    Bytes bytes;
    ASSERT_TRUE(encode_with(
        [](XDR *x) {
            u_int count = 0;
            return reply_prefix(x, text("CORP\\alice"), text("CORP\\staff")) && xdr_u_int(x, &count);
        },
        &bytes));
    credmap_lookup_user_sid_credentials_reply_t out{};
    out.ngroups = 5;
    u_int used = 0;
    ASSERT_TRUE(decode(xdr_credmap_lookup_user_sid_credentials_reply_t, bytes, bytes.size(), &out, &used));
    EXPECT_EQ(used, bytes.size());
    EXPECT_EQ(out.ngroups, 0u);
    EXPECT_EQ(out.groups, nullptr);
    EXPECT_STREQ(out.group.name, "CORP\\staff");
    release(xdr_credmap_lookup_user_sid_credentials_reply_t, &out);
}

TEST(CredmapXdr, HugeGroupArrayCountFailsCleanly)
{
    Bytes bytes;
    ASSERT_TRUE(encode_with(
        [](XDR *x) {
            u_int count = 0x80000000u;
            return reply_prefix(x, text("CORP\\alice"), text("CORP\\staff")) && xdr_u_int(x, &count);
        },
        &bytes));
    credmap_lookup_user_sid_credentials_reply_t out{};
    out.ngroups = 7;
    EXPECT_FALSE(decode(xdr_credmap_lookup_user_sid_credentials_reply_t, bytes, bytes.size(), &out));
    EXPECT_EQ(out.user.name, nullptr);
    EXPECT_EQ(out.group.name, nullptr);
    EXPECT_EQ(out.groups, nullptr);
    EXPECT_EQ(out.ngroups, 7u);

    // A name the caller supplied stays the caller's; the one decoded afresh goes.
    char user_buffer[IDKIT_NAME_MAX + 1] = {};
    credmap_lookup_user_sid_credentials_reply_t mixed{};
    mixed.user.name = user_buffer;
    EXPECT_FALSE(decode(xdr_credmap_lookup_user_sid_credentials_reply_t, bytes, bytes.size(), &mixed));
    EXPECT_EQ(mixed.user.name, user_buffer);
    EXPECT_STREQ(user_buffer, "CORP\\alice");
    EXPECT_EQ(mixed.group.name, nullptr);
}

TEST(CredmapXdr, TooManySidGroupsFailsCleanly)
{
    Bytes bytes;
    ASSERT_TRUE(encode_with(
        [](XDR *x) {
            credmap_hdr_reply_t h{1, 0};
            idkit_sid_t user = nt_sid(1001), group = nt_sid(513);
            u_int count = IDKIT_MAX_GROUPS + 1;
            bool ok = xdr_credmap_hdr_reply_t(x, &h) && xdr_idkit_sid_t(x, &user, 0) &&
                      xdr_idkit_sid_t(x, &group, 0) && xdr_u_int(x, &count);
            for (u_int i = 0; ok && i < count; ++i) {
                idkit_sid_t g = nt_sid(3000 + i);
                ok = xdr_idkit_sid_t(x, &g, 0);
            }
            return ok;
        },
        &bytes));
    credmap_lookup_string_credentials_sid_reply_t out{};
    EXPECT_FALSE(decode(xdr_credmap_lookup_string_credentials_sid_reply_t, bytes, bytes.size(), &out));
    EXPECT_LE(out.sid_creds.ngroups, unsigned(IDKIT_MAX_GROUPS));
}

// A failed later member releases the name decoded before it, but never the
// caller's buffer.
TEST(CredmapXdr, FailedOptionKeepsCallersNameBuffer)
{
    Bytes bytes;
    ASSERT_TRUE(encode(xdr_credmap_lookup_user_sid_req_t, {{1, 2}, text("CORP\\alice"), 3}, &bytes));
    char name[CREDMAP_STRING_MAX + 1] = {};
    credmap_lookup_user_sid_req_t out{{}, name, 0};
    EXPECT_FALSE(decode(xdr_credmap_lookup_user_sid_req_t, bytes, bytes.size() - 4, &out));
    EXPECT_EQ(out.name, name);
    EXPECT_STREQ(name, "CORP\\alice");
}

// ---- Truncated input ----

TEST(CredmapXdr, TruncatedMessagesLeaveNothingBehind)
{
    Names names(40);
    const credmap_hdr_req_t hq{1, 2};
    const credmap_hdr_reply_t hr{3, 0};
    using P = std::vector<const void *>;
    auto string_creds_pointers = [](const idkit_string_credentials_t &c) {
        P p{c.user, c.group};
        for (char *g : c.groups)
            p.push_back(g);
        return p;
    };

    check_prefixes_fail<credmap_svr_get_credentials_req_t>(
        xdr_credmap_svr_get_credentials_req_t, {hq, text("CORP\\alice")}, [](auto &m) { return P{m.name}; });
    check_prefixes_fail<credmap_lookup_user_sid_req_t>(xdr_credmap_lookup_user_sid_req_t, {hq, text("CORP\\alice"), 1},
                                                       [](auto &m) { return P{m.name}; });
    check_prefixes_fail<credmap_lookup_user_sid_credentials_req_t>(
        xdr_credmap_lookup_user_sid_credentials_req_t, {hq, text("CORP\\alice")}, [](auto &m) { return P{m.name}; });
    check_prefixes_fail<credmap_lookup_string_credentials_req_t>(
        xdr_credmap_lookup_string_credentials_req_t, {hq, string_credentials(names, 32)},
        [&](auto &m) { return string_creds_pointers(m.string_creds); });
    check_prefixes_fail<credmap_lookup_string_credentials_sid_req_t>(
        xdr_credmap_lookup_string_credentials_sid_req_t, {hq, 1, string_credentials(names, 5)},
        [&](auto &m) { return string_creds_pointers(m.string_creds); });
    std::vector<char *> whole_names;
    for (auto &n : names.groups)
        whole_names.push_back(n.data());
    check_prefixes_fail<credmap_lookup_whole_string_credentials_req_t>(
        xdr_credmap_lookup_whole_string_credentials_req_t,
        {hq, 1, {text("CORP\\alice"), text("CORP\\staff"), whole_names.size(), whole_names.data()}},
        [](auto &m) { return P{m.whole_string_creds.user, m.whole_string_creds.group, m.whole_string_creds.groups}; });

    check_prefixes_fail<credmap_lookup_user_sid_reply_t>(xdr_credmap_lookup_user_sid_reply_t,
                                                         {hr, text("S-1-5-21-1-2-3-1001")},
                                                         [](auto &m) { return P{m.sid}; });
    check_prefixes_fail<credmap_lookup_credentials_reply_t>(
        xdr_credmap_lookup_credentials_reply_t, {hr, string_credentials(names, 32)},
        [&](auto &m) { return string_creds_pointers(m.string_creds); });
    check_prefixes_fail<credmap_svr_getpwnam_reply_t>(
        xdr_credmap_svr_getpwnam_reply_t,
        {hr, {user_sid(), group_sid(names, 1), text("Alice Liddell"), text("/home/CORP/alice")}},
        [](auto &m) { return P{m.pw.user.name, m.pw.group.name, m.pw.gecos, m.pw.home}; });
    check_prefixes_fail<credmap_svr_getgrnam_reply_t>(xdr_credmap_svr_getgrnam_reply_t, {hr, group_sid(names, 2)},
                                                      [](auto &m) { return P{m.gr.name}; });
    std::vector<idkit_sid_t> sids(20, nt_sid(4000));
    check_prefixes_fail<credmap_lookup_whole_string_credentials_reply_t>(
        xdr_credmap_lookup_whole_string_credentials_reply_t,
        {hr, {nt_sid(1001), nt_sid(513), int32_t(sids.size()), sids.data()}},
        [](auto &m) { return P{m.whole_creds.groups}; });
    std::vector<idkit_group_sid_t> groups;
    for (size_t i = 0; i < 32; ++i)
        groups.push_back(group_sid(names, i));
    check_prefixes_fail<credmap_lookup_user_sid_credentials_reply_t>(
        xdr_credmap_lookup_user_sid_credentials_reply_t, {hr, user_sid(), group_sid(names, 0), groups.data(), 32},
        [](auto &m) { return P{m.user.name, m.group.name, m.groups}; });

    // In place: the caller's buffer survives every truncation.
    Bytes bytes;
    ASSERT_TRUE(encode(xdr_credmap_lookup_user_sid_reply_t, {hr, text("S-1-5-21-1-2-3-1001")}, &bytes));
    char buffer[CREDMAP_STRING_MAX + 1];
    for (size_t length = 0; length < bytes.size(); ++length) {
        credmap_lookup_user_sid_reply_t out{{}, buffer};
        EXPECT_FALSE(decode(xdr_credmap_lookup_user_sid_reply_t, bytes, length, &out));
        EXPECT_EQ(out.sid, buffer);
    }
}

} // namespace
