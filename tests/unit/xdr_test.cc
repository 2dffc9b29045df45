// The idkit records and credmap messages through real XDR memory streams.  Every decoded record is released, so that
// the sanitizer build also proves that a failed decode leaks nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <vector>

#include "host/idkit.h"
#include "host/velmo_xdr.h"
#include "velmo/credmap_prot.h"

namespace {

using Bytes = std::vector<char>;

// The record routines of both shapes, and the record each one codes.
template<typename F, typename T>
bool run(F fn, XDR *x, T *v)
{
    if constexpr (std::is_invocable_v<F, XDR *, T *, u_int>)
        return fn(x, v, 0) != 0;
    else
        return fn(x, v) != 0;
}
template<typename T>
T record_of(bool_t (*)(XDR *, T *));
template<typename T>
T record_of(bool_t (*)(XDR *, T *, u_int));
template<typename F>
using Record = decltype(record_of(std::declval<F>()));

// The encoding of `value`; nothing when it is refused.
template<typename F>
Bytes encode(F fn, Record<F> value)
{
    Bytes buf(1 << 18);
    XDR x;
    xdrmem_create(&x, buf.data(), u_int(buf.size()), XDR_ENCODE);
    buf.resize(run(fn, &x, &value) ? xdr_getpos(&x) : 0);
    return buf;
}

// Decodes an exact-size copy of the first `length` bytes, so that a read past the input shows.
template<typename F, typename T>
bool decode(F fn, const Bytes &bytes, size_t length, T *out, u_int *used = nullptr)
{
    Bytes part(bytes.begin(), bytes.begin() + long(length));
    XDR x;
    xdrmem_create(&x, part.data(), u_int(length), XDR_DECODE);
    const bool ok = run(fn, &x, out);
    if (used != nullptr)
        *used = xdr_getpos(&x);
    return ok;
}

template<typename F, typename T>
void release(F fn, T *value)
{
    XDR x{};
    x.x_op = XDR_FREE;
    EXPECT_TRUE(run(fn, &x, value));
}

// Hand-made wire bytes.
struct Wire {
    Bytes bytes;
    Wire &u32(uint32_t v)
    {
        for (int shift = 24; shift >= 0; shift -= 8)
            bytes.push_back(char(v >> shift));
        return *this;
    }
    Wire &u64(uint64_t v) { return u32(uint32_t(v >> 32)).u32(uint32_t(v)); }
    Wire &text(const std::string &s)
    {
        u32(uint32_t(s.size()));
        bytes.insert(bytes.end(), s.begin(), s.end());
        bytes.resize((bytes.size() + 3) & ~size_t(3));
        return *this;
    }
    Wire &sid() { return u32(2).text(std::string(16, '\1')); }
};

// Every member of a record as text, so that records compare member by member.  A string shows in quotes and an
// array behind a pointer in brackets (a count without an array too), so that text with neither holds no memory.
struct Show {
    using S = std::string;
    S of(uint64_t v) { return std::to_string(v) + ' '; }
    S of(const char *s) { return s != nullptr ? '"' + S(s) + "\" " : "null "; }
    S of(const idkit_sid_t &s) { return of(s.kind) + items(s.body, std::min<int>(s.length, IDKIT_SID_BODY_MAX)); }
    template<typename E>
    S items(const E *v, uint64_t n)
    {
        S t = of(n);
        for (uint64_t i = 0; i < n; ++i)
            t += of(v[i]);
        return t;
    }
    template<typename E>
    S array(const E *v, uint64_t n)
    {
        return v == nullptr && n == 0 ? "none " : '[' + (v != nullptr ? items(v, n) : of(n)) + "] ";
    }
    template<typename... M>
    S all(const M &...m)
    {
        return (of(m) + ...);
    }
    template<typename T>
    bool holds(const T &m)
    {
        return of(m).find_first_of("\"[") != S::npos;
    }

    S of(const idkit_credentials_t &c) { return all(c.uid, c.gid) + items(c.groups, c.ngroups); }
    S of(const idkit_string_credentials_t &c) { return all(c.user, c.group) + items(c.groups, c.ngroups); }
    S of(const idkit_sid_credentials_t &c) { return all(c.user, c.group) + items(c.groups, c.ngroups); }
    S of(const idkit_whole_credentials_t &c) { return all(c.user, c.group) + array(c.groups, c.ngroups); }
    S of(const idkit_whole_string_credentials_t &c) { return all(c.user, c.group) + array(c.groups, c.ngroups); }
    S of(const credmap_lookup_user_sid_credentials_reply_t &m)
    {
        // A failed or released reply keeps its count (a failure leaves it as it was).
        return all(m.hdr, m.user, m.group) + array(m.groups, m.groups != nullptr ? m.ngroups : 0);
    }
    // Any other record (none has more than four members): its members in order.
    template<typename M>
    S of(const M &m) requires std::is_class_v<M>
    {
        if constexpr (requires { M{{}, {}, {}, {}}; }) {
            const auto &[a, b, c, d] = m;
            return all(a, b, c, d);
        } else if constexpr (requires { M{{}, {}, {}}; }) {
            const auto &[a, b, c] = m;
            return all(a, b, c);
        } else if constexpr (requires { M{{}, {}}; }) {
            const auto &[a, b] = m;
            return all(a, b);
        } else {
            const auto &[a] = m;
            return all(a);
        }
    }
};

// Encodes `in` and decodes it into a cleared record, which must read every byte, match member for member and hold
// nothing once released; every strict prefix of the encoding must fail and leave nothing held.
template<typename F>
void check(F fn, const Record<F> &in)
{
    const Bytes bytes = encode(fn, in);
    Record<F> out{};
    u_int used = 0;
    ASSERT_TRUE(decode(fn, bytes, bytes.size(), &out, &used)) << typeid(in).name();
    EXPECT_EQ(used, bytes.size()) << typeid(in).name();
    EXPECT_EQ(Show().of(out), Show().of(in));
    release(fn, &out);
    EXPECT_FALSE(Show().holds(out));
    for (size_t length = 0; length < bytes.size(); ++length) {
        Record<F> partial{};
        EXPECT_FALSE(decode(fn, bytes, length, &partial)) << typeid(in).name() << ", prefix of " << length;
        EXPECT_FALSE(Show().holds(partial)) << typeid(in).name() << ", prefix of " << length;
    }
}

char *text(const char *s)
{
    return const_cast<char *>(s);
}

idkit_sid_t nt_sid(uint32_t rid)
{
    idkit_sid_t sid{};
    EXPECT_EQ(idkit_sid_from_str(("S-1-5-21-1004336348-1177238915-682003330-" + std::to_string(rid)).c_str(), &sid), 0);
    return sid;
}

char *group_name(size_t i)
{
    static const char *const names[] = {"CORP\\Domain Users", "CORP\\Developers", "CORP\\Backup Operators"};
    return text(names[i % 3]);
}

template<typename N>
N named(size_t i)
{
    return {group_name(i), 2000 + i, nt_sid(uint32_t(2000 + i))};
}

// A failed reply of these kinds is its header alone, decoded and released without touching the body (which holds
// garbage pointers here that freeing would crash on).
template<typename F>
void check_header_only(F fn)
{
    Record<F> out{};
    out.hdr = {9, CORE_E_NOT_FOUND};
    const Bytes bytes = encode(fn, out);
    EXPECT_EQ(bytes, Wire{}.u64(9).u32(uint32_t(CORE_E_NOT_FOUND)).bytes) << typeid(out).name();
    std::memset(&out, 0x5a, sizeof out);
    ASSERT_TRUE(decode(fn, bytes, bytes.size(), &out));
    const Bytes body(reinterpret_cast<char *>(&out) + sizeof out.hdr, reinterpret_cast<char *>(&out + 1));
    EXPECT_EQ(body, Bytes(body.size(), 0x5a)) << typeid(out).name();
    release(fn, &out);
}

TEST(Xdr, LayoutOfContactMessagesAndFailedReplies)
{
    EXPECT_EQ(encode(xdr_credmap_contact_req_t, {{0x0102030405060708, 5}, CREDMAP_CONTACT_WORD}),
              Wire{}.u64(0x0102030405060708).u64(5).u64(3).bytes);
    EXPECT_EQ(encode(xdr_credmap_contact_reply_t, {{0x1122, -2}, 0xA0B0C0D0E0F00010, CREDMAP_ATTR_NT_SID}),
              Wire{}.u64(0x1122).u32(0xfffffffe).u64(0xA0B0C0D0E0F00010).u32(2).bytes);
    check_header_only(xdr_credmap_svr_getpwnam_reply_t);
    check_header_only(xdr_credmap_svr_getgrnam_reply_t);
    check_header_only(xdr_credmap_lookup_string_credentials_sid_reply_t);
    check_header_only(xdr_credmap_lookup_whole_string_credentials_reply_t);
    check_header_only(xdr_credmap_lookup_user_sid_credentials_reply_t);
}

TEST(Xdr, EveryMessageRoundTripsAndRefusesEveryTruncation)
{
    const credmap_hdr_req_t h{-1, 0x8000000000000001};
    const credmap_hdr_reply_t ok{77, 0};
    const uint32_t word = CREDMAP_REQUEST_WORD;
    idkit_sid_t odd{};
    ASSERT_EQ(idkit_sid_from_str("S-1-0x123456789abc-1-2-3-4-5-6@7", &odd), 0);
    check(xdr_credmap_null_req_t, {{1700000000, 41}});
    check(xdr_credmap_null_reply_t, {{0xfeedface, CORE_E_NOT_FOUND}});
    check(xdr_credmap_contact_req_t, {h, CREDMAP_CONTACT_WORD});
    check(xdr_credmap_contact_reply_t, {ok, UINT64_MAX, CREDMAP_ATTR_NT_SID});
    check(xdr_credmap_svr_get_credentials_req_t, {h, text("CORP\\alice")});
    check(xdr_credmap_lookup_user_sid_req_t, {h, text("CORP\\bob"), -7});
    check(xdr_credmap_lookup_user_sid_credentials_req_t, {h, text("")});
    check(xdr_credmap_svr_getpwuid_req_t, {h, 4294967294u});
    check(xdr_credmap_svr_getgrgid_req_t, {h, 100});
    for (const idkit_sid_t &s : {nt_sid(500), odd, IDKIT_SID_NOBODY})
        check(xdr_credmap_svr_getpwsid_req_t, {h, s});
    check(xdr_credmap_lookup_user_sid_reply_t, {ok, text("S-1-5-21-1004336348-1177238915-682003330-1001")});
    check(xdr_credmap_svr_getpwnam_reply_t,
          {ok, {named<idkit_user_sid_t>(1), named<idkit_group_sid_t>(3), text("Alice L"), text("/home/alice")}});
    check(xdr_credmap_svr_getgrnam_reply_t, {ok, named<idkit_group_sid_t>(7)});
    for (uint32_t n : {0, IDKIT_MAX_GROUPS}) {
        idkit_credentials_t ids{0x100000000ull + 1001, 100, int32_t(n), 0, {}};  // all 64 bits travel
        idkit_string_credentials_t names{text("CORP\\alice"), text("CORP\\Domain Users"), n, 0, {}};
        idkit_sid_credentials_t sids{nt_sid(1001), nt_sid(513), n, {}};
        for (uint32_t i = 0; i < n; ++i) {
            ids.groups[i] = i == 5 ? IDKIT_ID_NOBODY : 200 + i;
            names.groups[i] = group_name(i);
            sids.groups[i] = i == 3 ? IDKIT_SID_DONTCARE : nt_sid(3000 + i);
        }
        check(xdr_credmap_lookup_credentials_req_t, {h, word, ids});
        check(xdr_credmap_svr_get_credentials_reply_t, {ok, ids});
        check(xdr_credmap_lookup_string_credentials_req_t, {h, names});
        check(xdr_credmap_lookup_string_credentials_sid_req_t, {h, word, names});
        check(xdr_credmap_lookup_credentials_reply_t, {ok, names});
        check(xdr_credmap_lookup_sid_credentials_req_t, {h, word, sids});
        check(xdr_credmap_lookup_string_credentials_sid_reply_t, {ok, sids});
    }
    // Arrays long enough to grow the decoder's allocation several times.
    std::vector<idkit_sid_t> sids;
    std::vector<idkit_group_sid_t> groups;
    std::vector<char *> names;
    for (uint32_t i = 0; i < 100; ++i) {
        sids.push_back(nt_sid(4000 + i));
        groups.push_back(named<idkit_group_sid_t>(i));
        names.push_back(group_name(i));
    }
    for (uint32_t n : {0, 100}) {
        check(xdr_credmap_lookup_whole_string_credentials_req_t,
              {h, word, {text("CORP\\alice"), text("CORP\\staff"), n, n ? names.data() : nullptr}});
        check(xdr_credmap_lookup_whole_string_credentials_reply_t,
              {ok, {nt_sid(1001), nt_sid(513), int32_t(n), n ? sids.data() : nullptr}});
        check(xdr_credmap_lookup_user_sid_credentials_reply_t,
              {ok, named<idkit_user_sid_t>(1), named<idkit_group_sid_t>(0), n ? groups.data() : nullptr, n});
    }
}

// Decodes `in` into records whose member `slot` already points at the caller's `buffer`: the whole encoding fills the
// buffer in place, and no decode, whole or cut short anywhere, moves or releases it.
template<typename F, typename Slot, typename B>
void check_in_place(F fn, const Record<F> &in, Slot slot, B *buffer)
{
    const Bytes bytes = encode(fn, in);
    for (size_t length = 0; length <= bytes.size(); ++length) {
        Record<F> out{};
        std::invoke(slot, out) = buffer;
        EXPECT_EQ(decode(fn, bytes, length, &out), length == bytes.size()) << typeid(in).name() << ", " << length;
        EXPECT_EQ(std::invoke(slot, out), buffer) << typeid(in).name() << ", " << length;
        EXPECT_TRUE(length < bytes.size() || Show().of(out) == Show().of(in)) << Show().of(out);
        std::invoke(slot, out) = nullptr;
        release(fn, &out);
    }
}

TEST(Xdr, CallersBuffersAreFilledInPlaceAndKept)
{
    char buffer[CREDMAP_STRING_MAX + 1] = {};
    // The SID reply carries its text whatever the status.
    check_in_place(xdr_credmap_lookup_user_sid_reply_t, {{3, CORE_E_NOT_FOUND}, text("S-1-5-21-1-2-3-512")},
                   &credmap_lookup_user_sid_reply_t::sid, buffer);
    idkit_group_sid_t groups[2] = {named<idkit_group_sid_t>(1), named<idkit_group_sid_t>(2)};
    check_in_place(
        xdr_credmap_lookup_user_sid_credentials_reply_t,
        {{1, 0}, named<idkit_user_sid_t>(1), named<idkit_group_sid_t>(0), groups, 2},
        [](auto &m) -> auto & { return m.user.name; }, buffer);
    idkit_sid_t sids[2] = {nt_sid(1), nt_sid(2)}, mine[2] = {};
    check_in_place(xdr_idkit_whole_credentials_t, {nt_sid(3), nt_sid(4), 2, sids}, &idkit_whole_credentials_t::groups,
                   mine);

    // A text longer than the buffer is refused before a byte is written.
    const Bytes too_long = Wire{}.u64(3).u32(0).text(std::string(CREDMAP_STRING_MAX + 1, '7')).bytes;
    std::memset(buffer, 0, sizeof buffer);
    credmap_lookup_user_sid_reply_t reply{{}, buffer};
    EXPECT_FALSE(decode(xdr_credmap_lookup_user_sid_reply_t, too_long, too_long.size(), &reply));
    EXPECT_EQ(reply.sid, buffer);
    EXPECT_EQ(buffer[0], '\0');
}

TEST(Xdr, EncodingRefusesWhatTheWireCannotCarry)
{
    const credmap_hdr_req_t h{1, 2};
    std::string longest(CREDMAP_STRING_MAX, 'n'), too_long(CREDMAP_STRING_MAX + 1, 'n');
    // A missing credmap name is refused, not followed.
    for (char *name : {longest.data(), too_long.data(), static_cast<char *>(nullptr)}) {
        EXPECT_EQ(encode(xdr_credmap_svr_get_credentials_req_t, {h, name}).empty(), name != longest.data());
        EXPECT_EQ(encode(xdr_credmap_lookup_user_sid_req_t, {h, name, 0}).empty(), name != longest.data());
    }
    EXPECT_TRUE(encode(xdr_credmap_lookup_user_sid_credentials_req_t, {h, nullptr}).empty());
    EXPECT_TRUE(encode(xdr_credmap_lookup_user_sid_reply_t, {{}, nullptr}).empty());
    // The name-only request carries names of any length.
    check(xdr_credmap_lookup_user_sid_credentials_req_t, {h, too_long.data()});
    // A missing idkit name goes out as the empty one.
    EXPECT_EQ(encode(xdr_idkit_user_sid_t, {nullptr, 7, nt_sid(7)}),
              encode(xdr_idkit_user_sid_t, {text(""), 7, nt_sid(7)}));

    idkit_sid_t one = IDKIT_SID_NOBODY;
    char *name = text("g");
    EXPECT_TRUE(encode(xdr_idkit_sid_t, {IDKIT_SID_BODY_MAX + 1, 1, {}}).empty());
    for (int32_t n : {-1, IDKIT_MAX_GROUPS + 1})
        EXPECT_TRUE(encode(xdr_idkit_credentials_t, {1, 2, n, 0, {}}).empty());
    EXPECT_TRUE(encode(xdr_idkit_string_credentials_t, {name, name, IDKIT_MAX_GROUPS + 1, 0, {}}).empty());
    EXPECT_TRUE(encode(xdr_idkit_string_credentials_t, {too_long.data(), name, 0, 0, {}}).empty());
    EXPECT_TRUE(encode(xdr_idkit_sid_credentials_t, {one, one, IDKIT_MAX_GROUPS + 1, {}}).empty());
    EXPECT_TRUE(encode(xdr_idkit_whole_credentials_t, {one, one, -1, nullptr}).empty());
    EXPECT_TRUE(encode(xdr_idkit_whole_string_credentials_t, {name, name, 2, nullptr}).empty());
    EXPECT_TRUE(encode(xdr_idkit_whole_string_credentials_t, {name, name, IDKIT_WHOLE_MAX_GROUPS + 1, &name}).empty());
}

// Decodes `w` into `out`, which must fail and leave nothing held.
template<typename F>
Record<F> refused(F fn, const Wire &w, Record<F> out = {})
{
    EXPECT_FALSE(decode(fn, w.bytes, w.bytes.size(), &out)) << typeid(out).name();
    EXPECT_FALSE(Show().holds(out)) << typeid(out).name();
    return out;
}

TEST(Xdr, HostileCountsAndLengthsAreRefused)
{
    refused(xdr_idkit_sid_t, Wire{}.u32(2).u32(40));
    refused(xdr_idkit_sid_t, Wire{}.u32(256).u32(0));
    refused(xdr_idkit_credentials_t, Wire{}.u64(1).u64(2).u32(33));
    refused(xdr_idkit_credentials_t, Wire{}.u64(1).u64(2).u32(0xffffffff));
    refused(xdr_idkit_sid_credentials_t, Wire{}.sid().sid().u32(33));
    refused(xdr_idkit_string_credentials_t, Wire{}.text(std::string(1024, 'a')).text("g").u32(0));
    refused(xdr_idkit_string_credentials_t, Wire{}.text("alice").text("g").u32(33));
    refused(xdr_idkit_string_credentials_t, Wire{}.text("alice").text("g").u32(1).u32(0xffffffff));
    refused(xdr_idkit_user_sid_t, Wire{}.text("alice").u64(1).u32(3).u32(33));
    refused(xdr_idkit_passwd_sid_t,
            Wire{}.text("alice").u64(1).sid().text("users").u64(2).sid().text("gecos").text(std::string(1024, 'h')));
    refused(xdr_idkit_whole_credentials_t, Wire{}.sid().sid().u32(0x80000000u));
    refused(xdr_idkit_whole_credentials_t, Wire{}.sid().sid().u32(IDKIT_WHOLE_MAX_GROUPS + 1));
    // A count within bounds that the bytes do not back.
    refused(xdr_idkit_whole_credentials_t, Wire{}.sid().sid().u32(IDKIT_WHOLE_MAX_GROUPS).sid());
    refused(xdr_idkit_whole_string_credentials_t, Wire{}.text("u").text("g").u32(0x80000000u));
    refused(xdr_idkit_whole_string_credentials_t, Wire{}.text("u").text("g").u32(3).text("a").text("b"));

    // A reply's huge group count fails without a huge allocation and leaves the count as it was.
    credmap_lookup_user_sid_credentials_reply_t seven{};
    seven.ngroups = 7;
    Wire huge = Wire{}.u64(1).u32(0).text("CORP\\alice").u64(1).sid().text("CORP\\staff").u64(2).sid();
    huge.u32(0x80000000u).text("g").u64(3).sid();
    EXPECT_EQ(refused(xdr_credmap_lookup_user_sid_credentials_reply_t, huge, seven).ngroups, 7u);
}

TEST(EzArray, RefusesCountsOverTheLimitAndBadArgumentsAndFreeingClearsTheCount)
{
    // Any element is accepted, so that only the array's own checks refuse.
    const auto any = reinterpret_cast<xdrproc_t>(+[](XDR *, void *, u_int) -> bool_t { return TRUE; });
    char three[4] = {0, 0, 0, 3};
    XDR x;
    xdrmem_create(&x, three, sizeof three, XDR_DECODE);
    void *array = nullptr;
    uint32_t count = 0;
    EXPECT_FALSE(xdr_ez_array(&x, &array, &count, 2, 1, any, 0));
    xdrmem_create(&x, three, sizeof three, XDR_ENCODE);
    count = 3;
    EXPECT_FALSE(xdr_ez_array(&x, &array, &count, 16, 1, any, 0));  // a count without an array
    array = std::calloc(3, 1);
    EXPECT_FALSE(xdr_ez_array(&x, &array, &count, 2, 1, any, 0));
    EXPECT_FALSE(xdr_ez_array(&x, &array, &count, 16, 0, any, 0));
    EXPECT_FALSE(xdr_ez_array(&x, nullptr, &count, 16, 1, any, 0));
    x.x_op = XDR_FREE;
    EXPECT_TRUE(xdr_ez_array(&x, &array, &count, 16, 1, any, 0));
    EXPECT_EQ(array, nullptr);
    EXPECT_EQ(count, 0u);
}

}  // namespace
