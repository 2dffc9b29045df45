// The credmap protocol messages through real XDR memory streams: round trips,
// wire layout, status-dependent bodies, string limits, hostile group counts
// and truncated input.  Every decoded record is given back with xdr_free, so
// the sanitizer build also proves that nothing leaks.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
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
using P = std::vector<const void *>;
template<typename M>
using Routine = bool_t (*)(XDR *, M *);

// Runs `fill` on an encoding stream; what it wrote, or nothing when it refused.
bool encode_with(const std::function<bool(XDR *)> &fill, Bytes *out)
{
    Bytes buf(1 << 18);
    XDR x;
    xdrmem_create(&x, buf.data(), u_int(buf.size()), XDR_ENCODE);
    const bool ok = fill(&x);
    buf.resize(ok ? xdr_getpos(&x) : 0);
    xdr_destroy(&x);
    *out = buf;
    return ok;
}

template<typename M>
bool encode(Routine<M> routine, M m, Bytes *out)
{
    return encode_with([&](XDR *x) { return routine(x, &m) != 0; }, out);
}

// Decodes from an exact-size copy of the first `length` bytes, so that a read
// past the input shows; `used` receives the bytes read.
template<typename M>
bool decode(Routine<M> routine, const Bytes &bytes, size_t length, M *m, u_int *used = nullptr)
{
    Bytes part(bytes.begin(), bytes.begin() + long(length));
    XDR x;
    xdrmem_create(&x, part.data(), u_int(length), XDR_DECODE);
    const bool ok = routine(&x, m) != 0;
    if (used != nullptr)
        *used = xdr_getpos(&x);
    xdr_destroy(&x);
    return ok;
}

template<typename M>
void release(Routine<M> routine, M *m)
{
    xdr_free(reinterpret_cast<xdrproc_t>(routine), m);
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

// Group names that records point at; they live as long as the process.
char *group_name(size_t i)
{
    static std::string names[64];
    if (names[i].empty())
        names[i] = "CORP\\group" + std::to_string(i);
    return names[i].data();
}

idkit_user_sid_t user_sid()
{
    return {text("CORP\\alice"), 1001, nt_sid(1001)};
}
idkit_group_sid_t group_sid(size_t i)
{
    return {group_name(i), 2000 + i, nt_sid(uint32_t(2000 + i))};
}

idkit_credentials_t credentials()
{
    idkit_credentials_t c{1001, 100, IDKIT_MAX_GROUPS, 0, {}};
    for (int i = 0; i < IDKIT_MAX_GROUPS; ++i)
        c.groups[i] = i == 5 ? IDKIT_ID_NOBODY : 200u + unsigned(i);
    return c;
}

idkit_string_credentials_t string_credentials(uint32_t n)
{
    idkit_string_credentials_t c{text("CORP\\alice"), text("CORP\\Domain Users"), n, 0, {}};
    for (uint32_t i = 0; i < n; ++i)
        c.groups[i] = group_name(i);
    return c;
}

idkit_sid_credentials_t sid_credentials(uint32_t n)
{
    idkit_sid_credentials_t c{nt_sid(1001), nt_sid(513), n, {}};
    for (uint32_t i = 0; i < n; ++i)
        c.groups[i] = nt_sid(3000 + i);
    return c;
}

// ---- Every member of a record as text, to compare records whole ----

std::string show(uint64_t v)
{
    return std::to_string(v) + ' ';
}
std::string show(const char *s)
{
    return s != nullptr ? '"' + std::string(s) + "\" " : "null ";
}
std::string show(const idkit_sid_t &s)
{
    return std::string(reinterpret_cast<const char *>(&s), 2 + std::min<size_t>(s.length, IDKIT_SID_BODY_MAX)) + ' ';
}

std::string show(const idkit_user_sid_t &u)
{
    return show(u.name) + show(u.id) + show(u.sid);
}
std::string show(const idkit_group_sid_t &g)
{
    return show(g.name) + show(g.id) + show(g.sid);
}
std::string show(const idkit_passwd_sid_t &p)
{
    return show(p.user) + show(p.group) + show(p.gecos) + show(p.home);
}
std::string show(const credmap_hdr_req_t &h)
{
    return show(h.uniquifier) + show(h.seqno);
}
std::string show(const credmap_hdr_reply_t &h)
{
    return show(h.tag) + show(h.status);
}

template<typename T>
std::string list(const T *v, uint64_t n)
{
    std::string s = show(n);
    for (uint64_t i = 0; i < n; ++i)
        s += show(v[i]);
    return s;
}

template<typename C>
std::string creds(const C &c)
{
    return show(c.user) + show(c.group) + list(c.groups, c.ngroups);
}
std::string show(const idkit_credentials_t &c)
{
    return show(c.uid) + show(c.gid) + list(c.groups, c.ngroups);
}
std::string show(const idkit_string_credentials_t &c)
{
    return creds(c);
}
std::string show(const idkit_sid_credentials_t &c)
{
    return creds(c);
}
std::string show(const idkit_whole_credentials_t &c)
{
    return creds(c);
}
std::string show(const idkit_whole_string_credentials_t &c)
{
    return creds(c);
}

template<typename... T>
std::string fields(const T &...v)
{
    return (show(v) + ...);
}

std::string show(const credmap_null_req_t &m)
{
    return fields(m.hdr);
}
std::string show(const credmap_null_reply_t &m)
{
    return fields(m.hdr);
}
std::string show(const credmap_contact_req_t &m)
{
    return fields(m.hdr, m.contact_word);
}
std::string show(const credmap_contact_reply_t &m)
{
    return fields(m.hdr, m.server_word, m.attributes);
}
std::string show(const credmap_svr_get_credentials_req_t &m)
{
    return fields(m.hdr, m.name);
}
std::string show(const credmap_svr_get_credentials_reply_t &m)
{
    return fields(m.hdr, m.creds);
}
std::string show(const credmap_lookup_string_credentials_req_t &m)
{
    return fields(m.hdr, m.string_creds);
}
std::string show(const credmap_lookup_user_sid_req_t &m)
{
    return fields(m.hdr, m.name, m.option);
}
std::string show(const credmap_lookup_user_sid_reply_t &m)
{
    return fields(m.hdr, m.sid);
}
std::string show(const credmap_lookup_user_sid_credentials_req_t &m)
{
    return fields(m.hdr, m.name);
}
std::string show(const credmap_lookup_user_sid_credentials_reply_t &m)
{
    return fields(m.hdr, m.user, m.group) + list(m.groups, m.ngroups);
}
std::string show(const credmap_svr_getpwuid_req_t &m)
{
    return fields(m.hdr, m.uid);
}
std::string show(const credmap_svr_getpwnam_reply_t &m)
{
    return fields(m.hdr, m.pw);
}
std::string show(const credmap_svr_getpwsid_req_t &m)
{
    return fields(m.hdr, m.sid);
}
std::string show(const credmap_svr_getgrnam_reply_t &m)
{
    return fields(m.hdr, m.gr);
}
std::string show(const credmap_svr_getgrgid_req_t &m)
{
    return fields(m.hdr, m.gid);
}
std::string show(const credmap_lookup_credentials_req_t &m)
{
    return fields(m.hdr, m.request_word, m.creds);
}
std::string show(const credmap_lookup_credentials_reply_t &m)
{
    return fields(m.hdr, m.string_creds);
}
std::string show(const credmap_lookup_string_credentials_sid_req_t &m)
{
    return fields(m.hdr, m.request_word, m.string_creds);
}
std::string show(const credmap_lookup_string_credentials_sid_reply_t &m)
{
    return fields(m.hdr, m.sid_creds);
}
std::string show(const credmap_lookup_whole_string_credentials_req_t &m)
{
    return fields(m.hdr, m.request_word, m.whole_string_creds);
}
std::string show(const credmap_lookup_whole_string_credentials_reply_t &m)
{
    return fields(m.hdr, m.whole_creds);
}
std::string show(const credmap_lookup_sid_credentials_req_t &m)
{
    return fields(m.hdr, m.request_word, m.sid_creds);
}

// ---- The pointers a failed decode into a cleared record must leave null ----

template<typename M>
P pointers(const M &)
{
    return {};
}
P pointers(const idkit_string_credentials_t &c)
{
    P p{c.user, c.group};
    p.insert(p.end(), c.groups, c.groups + IDKIT_MAX_GROUPS);
    return p;
}
P pointers(const credmap_svr_get_credentials_req_t &m)
{
    return {m.name};
}
P pointers(const credmap_lookup_user_sid_req_t &m)
{
    return {m.name};
}
P pointers(const credmap_lookup_user_sid_credentials_req_t &m)
{
    return {m.name};
}
P pointers(const credmap_lookup_user_sid_reply_t &m)
{
    return {m.sid};
}
P pointers(const credmap_lookup_string_credentials_req_t &m)
{
    return pointers(m.string_creds);
}
P pointers(const credmap_lookup_string_credentials_sid_req_t &m)
{
    return pointers(m.string_creds);
}
P pointers(const credmap_lookup_credentials_reply_t &m)
{
    return pointers(m.string_creds);
}
P pointers(const credmap_svr_getpwnam_reply_t &m)
{
    return {m.pw.user.name, m.pw.group.name, m.pw.gecos, m.pw.home};
}
P pointers(const credmap_svr_getgrnam_reply_t &m)
{
    return {m.gr.name};
}
P pointers(const credmap_lookup_whole_string_credentials_reply_t &m)
{
    return {m.whole_creds.groups};
}
P pointers(const credmap_lookup_user_sid_credentials_reply_t &m)
{
    return {m.user.name, m.group.name, m.groups};
}
P pointers(const credmap_lookup_whole_string_credentials_req_t &m)
{
    return {m.whole_string_creds.user, m.whole_string_creds.group, m.whole_string_creds.groups};
}

// Encodes `in` and decodes it into a cleared record, which must read every
// byte, match member for member and be released; every strict prefix of the
// encoding must fail and leave the record's pointers null.
template<typename M>
void check_message(Routine<M> routine, const M &in)
{
    SCOPED_TRACE(typeid(M).name());
    Bytes bytes;
    ASSERT_TRUE(encode(routine, in, &bytes));
    M out{};
    u_int used = 0;
    ASSERT_TRUE(decode(routine, bytes, bytes.size(), &out, &used));
    EXPECT_EQ(used, bytes.size());
    EXPECT_EQ(show(out), show(in));
    release(routine, &out);
    for (size_t length = 0; length < bytes.size(); ++length) {
        M partial{};
        EXPECT_FALSE(decode(routine, bytes, length, &partial)) << "prefix of " << length << " bytes";
        EXPECT_EQ(pointers(partial), P(pointers(partial).size(), nullptr)) << "prefix of " << length << " bytes";
    }
}

TEST(CredmapXdr, ContactMessagesLayout)
{
    const char req[] = "\x01\x02\x03\x04\x05\x06\x07\x08"
                       "\0\0\0\0\0\0\0\x05"
                       "\0\0\0\0\0\0\0\x03";
    const char reply[] = "\0\0\0\0\0\0\x11\x22"
                         "\xff\xff\xff\xfe"
                         "\xa0\xb0\xc0\xd0\xe0\xf0\0\x10"
                         "\0\0\0\x02";
    Bytes bytes;
    ASSERT_TRUE(encode(xdr_credmap_contact_req_t, {{0x0102030405060708, 5}, CREDMAP_CONTACT_WORD}, &bytes));
    EXPECT_EQ(bytes, Bytes(req, req + sizeof req - 1));
    ASSERT_TRUE(encode(xdr_credmap_contact_reply_t, {{0x1122, -2}, 0xA0B0C0D0E0F00010, CREDMAP_ATTR_NT_SID}, &bytes));
    EXPECT_EQ(bytes, Bytes(reply, reply + sizeof reply - 1));
}

TEST(CredmapXdr, EveryMessageRoundTripsAndRefusesEveryTruncation)
{
    const credmap_hdr_req_t h{-1, 0x8000000000000001};
    const credmap_hdr_reply_t ok{77, 0};
    const uint32_t word = CREDMAP_REQUEST_WORD, all = IDKIT_MAX_GROUPS;
    check_message(xdr_credmap_null_req_t, {{1700000000, 41}});
    check_message(xdr_credmap_null_reply_t, {{0xfeedface, CORE_E_NOT_FOUND}});
    check_message(xdr_credmap_contact_req_t, {h, CREDMAP_CONTACT_WORD});
    check_message(xdr_credmap_contact_reply_t, {ok, UINT64_MAX, CREDMAP_ATTR_NT_SID});
    check_message(xdr_credmap_svr_get_credentials_req_t, {h, text("CORP\\alice")});
    check_message(xdr_credmap_lookup_user_sid_req_t, {h, text("CORP\\bob"), -7});
    check_message(xdr_credmap_lookup_user_sid_credentials_req_t, {h, text("")});
    check_message(xdr_credmap_svr_getpwuid_req_t, {h, 4294967294u});
    check_message(xdr_credmap_svr_getgrgid_req_t, {h, 100});
    check_message(xdr_credmap_svr_getpwsid_req_t, {h, nt_sid(500)});
    check_message(xdr_credmap_lookup_string_credentials_req_t, {h, string_credentials(all)});
    check_message(xdr_credmap_lookup_credentials_req_t, {h, word, credentials()});
    check_message(xdr_credmap_lookup_string_credentials_sid_req_t, {h, word, string_credentials(0)});
    check_message(xdr_credmap_lookup_string_credentials_sid_req_t, {h, word, string_credentials(5)});
    check_message(xdr_credmap_lookup_sid_credentials_req_t, {h, word, sid_credentials(all)});
    std::vector<char *> names;
    for (size_t i = 0; i < 40; ++i)
        names.push_back(group_name(i));
    check_message(xdr_credmap_lookup_whole_string_credentials_req_t,
                  {h, word, {text("CORP\\alice"), text("CORP\\staff"), names.size(), names.data()}});

    check_message(xdr_credmap_svr_get_credentials_reply_t, {ok, credentials()});
    check_message(xdr_credmap_lookup_credentials_reply_t, {ok, string_credentials(all)});
    check_message(xdr_credmap_lookup_user_sid_reply_t, {ok, text("S-1-5-21-1004336348-1177238915-682003330-1001")});
    check_message(xdr_credmap_svr_getpwnam_reply_t,
                  {ok, {user_sid(), group_sid(3), text("Alice Liddell"), text("/home/CORP/alice")}});
    check_message(xdr_credmap_svr_getgrnam_reply_t, {ok, group_sid(7)});
    check_message(xdr_credmap_lookup_string_credentials_sid_reply_t, {ok, sid_credentials(all)});
    std::vector<idkit_sid_t> sids;
    std::vector<idkit_group_sid_t> groups;
    for (uint32_t i = 0; i < 100; ++i) {
        sids.push_back(nt_sid(4000 + i));
        groups.push_back(group_sid(i % 40));
    }
    for (int32_t n : {0, 100}) {
        check_message(xdr_credmap_lookup_whole_string_credentials_reply_t,
                      {ok, {nt_sid(1001), nt_sid(513), n, n ? sids.data() : nullptr}});
        check_message(xdr_credmap_lookup_user_sid_credentials_reply_t,
                      {ok, user_sid(), group_sid(0), n ? groups.data() : nullptr, uint32_t(n)});
    }
}

// A failed reply of these kinds is the header alone: it encodes to the same
// bytes as a null reply, decodes without touching the body and is released
// without touching it either (the body holds garbage pointers that freeing
// would crash on).
template<typename M>
void check_header_only(Routine<M> routine, M failed)
{
    SCOPED_TRACE(typeid(M).name());
    Bytes bytes, header;
    ASSERT_TRUE(encode(routine, failed, &bytes));
    ASSERT_TRUE(encode(xdr_credmap_null_reply_t, {failed.hdr}, &header));
    EXPECT_EQ(bytes, header);
    M out;
    std::memset(&out, 0x5a, sizeof out);
    const M before = out;
    u_int used = 0;
    ASSERT_TRUE(decode(routine, bytes, bytes.size(), &out, &used));
    EXPECT_EQ(used, bytes.size());
    EXPECT_EQ(show(out.hdr), show(failed.hdr));
    const size_t h = sizeof out.hdr;
    EXPECT_EQ(
        std::memcmp(reinterpret_cast<char *>(&out) + h, reinterpret_cast<const char *>(&before) + h, sizeof out - h),
        0);
    release(routine, &out);
}

TEST(CredmapXdr, FailedRepliesCarryNoBody)
{
    const credmap_hdr_reply_t failed{9, CORE_E_NOT_FOUND};
    check_header_only(xdr_credmap_svr_getpwnam_reply_t,
                      {failed, {user_sid(), group_sid(0), text("Alice"), text("/home/alice")}});
    check_header_only(xdr_credmap_svr_getgrnam_reply_t, {failed, group_sid(0)});
    check_header_only(xdr_credmap_lookup_string_credentials_sid_reply_t, {failed, sid_credentials(3)});
    check_header_only(xdr_credmap_lookup_whole_string_credentials_reply_t, {failed, {nt_sid(1), nt_sid(2), 0, {}}});
    check_header_only(xdr_credmap_lookup_user_sid_credentials_reply_t, {failed, user_sid(), group_sid(0), nullptr, 0});
}

// A pointer already set when decoding starts is the caller's buffer: it is
// filled in place and never released, whatever fails after it.
TEST(CredmapXdr, CallersBuffersAreFilledInPlaceAndNeverReleased)
{
    // The SID reply carries its text whatever the status.
    const char *sid_text = "S-1-5-21-1004336348-1177238915-682003330-512";
    Bytes bytes;
    ASSERT_TRUE(encode(xdr_credmap_lookup_user_sid_reply_t, {{3, CORE_E_NOT_FOUND}, text(sid_text)}, &bytes));
    char buffer[CREDMAP_STRING_MAX + 1] = {};
    credmap_lookup_user_sid_reply_t reply{{}, buffer};
    u_int used = 0;
    ASSERT_TRUE(decode(xdr_credmap_lookup_user_sid_reply_t, bytes, bytes.size(), &reply, &used));
    EXPECT_EQ(used, bytes.size());
    EXPECT_EQ(reply.hdr.status, CORE_E_NOT_FOUND);
    EXPECT_EQ(reply.sid, buffer);
    EXPECT_STREQ(buffer, sid_text);
    for (size_t length = 0; length < bytes.size(); ++length) {
        reply = {{}, buffer};
        EXPECT_FALSE(decode(xdr_credmap_lookup_user_sid_reply_t, bytes, length, &reply));
        EXPECT_EQ(reply.sid, buffer);
    }

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
    EXPECT_FALSE(decode(xdr_credmap_lookup_user_sid_reply_t, bytes, bytes.size(), &reply));
    EXPECT_EQ(reply.sid, buffer);
    EXPECT_EQ(buffer[0], '\0');

    // A failed later member releases a name decoded afresh, never the caller's.
    ASSERT_TRUE(encode(xdr_credmap_lookup_user_sid_req_t, {{1, 2}, text("CORP\\alice"), 3}, &bytes));
    credmap_lookup_user_sid_req_t req{{}, buffer, 0};
    EXPECT_FALSE(decode(xdr_credmap_lookup_user_sid_req_t, bytes, bytes.size() - 4, &req));
    EXPECT_EQ(req.name, buffer);
    EXPECT_STREQ(buffer, "CORP\\alice");
}

TEST(CredmapXdr, NameLimits)
{
    const credmap_hdr_req_t h{1, 2};
    std::string longest(CREDMAP_STRING_MAX, 'n'), too_long(CREDMAP_STRING_MAX + 1, 'n');
    Bytes bytes;
    EXPECT_TRUE(encode(xdr_credmap_svr_get_credentials_req_t, {h, longest.data()}, &bytes));
    EXPECT_TRUE(encode(xdr_credmap_lookup_user_sid_req_t, {h, longest.data(), 0}, &bytes));
    EXPECT_FALSE(encode(xdr_credmap_svr_get_credentials_req_t, {h, too_long.data()}, &bytes));
    EXPECT_FALSE(encode(xdr_credmap_lookup_user_sid_req_t, {h, too_long.data(), 0}, &bytes));
    // The name-only request carries names of any length.
    check_message(xdr_credmap_lookup_user_sid_credentials_req_t, {h, too_long.data()});
    // A missing name is refused, not followed.
    EXPECT_FALSE(encode(xdr_credmap_svr_get_credentials_req_t, {h, nullptr}, &bytes));
    EXPECT_FALSE(encode(xdr_credmap_lookup_user_sid_req_t, {h, nullptr, 0}, &bytes));
    EXPECT_FALSE(encode(xdr_credmap_lookup_user_sid_credentials_req_t, {h, nullptr}, &bytes));
    EXPECT_FALSE(encode(xdr_credmap_lookup_user_sid_reply_t, {{}, nullptr}, &bytes));
}

// A successful lookup-user-SID-credentials reply whose group array claims
// `count` groups and carries `carried` of them.
Bytes user_sid_credentials_reply(u_int count, u_int carried)
{
    Bytes bytes;
    EXPECT_TRUE(encode_with(
        [&](XDR *x) {
            credmap_hdr_reply_t h{1, 0};
            idkit_user_sid_t user = user_sid();
            idkit_group_sid_t group{text("CORP\\staff"), 513, nt_sid(513)};
            bool ok = xdr_credmap_hdr_reply_t(x, &h) && xdr_idkit_user_sid_t(x, &user, 0) &&
                      xdr_idkit_group_sid_t(x, &group, 0) && xdr_u_int(x, &count);
            for (u_int i = 0; ok && i < carried; ++i)
                ok = xdr_idkit_group_sid_t(x, &group, 0);
            return ok;
        },
        &bytes));
    return bytes;
}

TEST(CredmapXdr, HostileGroupCountsFailCleanly)
{
    // An empty array decodes to no groups, replacing the count the record held.
    const auto routine = xdr_credmap_lookup_user_sid_credentials_reply_t;
    Bytes bytes = user_sid_credentials_reply(0, 0);
    credmap_lookup_user_sid_credentials_reply_t out{};
    out.ngroups = 5;
    ASSERT_TRUE(decode(routine, bytes, bytes.size(), &out));
    EXPECT_EQ(out.ngroups, 0u);
    EXPECT_EQ(out.groups, nullptr);
    EXPECT_STREQ(out.group.name, "CORP\\staff");
    release(routine, &out);

    // A huge count fails without a huge allocation, leaving no names behind
    // and the count as it was.
    bytes = user_sid_credentials_reply(0x80000000u, 2);
    out = {};
    out.ngroups = 7;
    EXPECT_FALSE(decode(routine, bytes, bytes.size(), &out));
    EXPECT_EQ(pointers(out), P(3, nullptr));
    EXPECT_EQ(out.ngroups, 7u);
    // A name the caller supplied stays the caller's; the one decoded afresh goes.
    char user_buffer[IDKIT_NAME_MAX + 1] = {};
    out = {};
    out.user.name = user_buffer;
    EXPECT_FALSE(decode(routine, bytes, bytes.size(), &out));
    EXPECT_EQ(out.user.name, user_buffer);
    EXPECT_STREQ(user_buffer, "CORP\\alice");
    EXPECT_EQ(out.group.name, nullptr);
}

}  // namespace
