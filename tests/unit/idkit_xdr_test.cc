// Wire form of the credential records: round trips, limits, hostile input
// and truncation.  Run under AddressSanitizer, the truncation cases also
// prove that a failed decode leaks nothing.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/idkit.h"

namespace {

template<typename T>
using xdr_fn = bool_t (*)(XDR *, T *, u_int);

template<typename T>
std::vector<char> encode(xdr_fn<T> fn, T &value, bool expect_ok = true)
{
    std::vector<char> buf(1 << 16);
    XDR x;
    xdrmem_create(&x, buf.data(), u_int(buf.size()), XDR_ENCODE);
    EXPECT_EQ(bool(fn(&x, &value, 0)), expect_ok);
    buf.resize(xdr_getpos(&x));
    xdr_destroy(&x);
    return buf;
}

// Decodes from an exact-size copy of the first `length` bytes, so that a
// read past the input shows.
template<typename T>
bool decode(xdr_fn<T> fn, const std::vector<char> &bytes, size_t length, T *out)
{
    std::unique_ptr<char[]> copy(new char[length + 1]);
    std::memcpy(copy.get(), bytes.data(), length);
    XDR x;
    xdrmem_create(&x, copy.get(), u_int(length), XDR_DECODE);
    bool ok = fn(&x, out, 0);
    xdr_destroy(&x);
    return ok;
}

template<typename T>
void release(xdr_fn<T> fn, T *value)
{
    XDR x{};
    x.x_op = XDR_FREE;
    EXPECT_TRUE(fn(&x, value, 0));
}

// Hand-made wire bytes.
struct wire {
    std::vector<char> bytes;
    wire &u32(uint32_t v)
    {
        for (int shift = 24; shift >= 0; shift -= 8)
            bytes.push_back(char(v >> shift));
        return *this;
    }
    wire &u64(uint64_t v) { return u32(uint32_t(v >> 32)).u32(uint32_t(v)); }
    wire &text(const std::string &s)
    {
        u32(uint32_t(s.size()));
        bytes.insert(bytes.end(), s.begin(), s.end());
        bytes.resize((bytes.size() + 3) & ~size_t(3));
        return *this;
    }
    wire &sid() { return u32(2).text(std::string(16, '\1')); }
};

idkit_sid_t sid_of(const char *text)
{
    idkit_sid_t sid;
    EXPECT_EQ(idkit_sid_from_str(text, &sid), 0) << text;
    return sid;
}

char *lit(const char *s)
{
    return const_cast<char *>(s);
}

bool same_text(const char *a, const char *b)
{
    return a && b && std::strcmp(a, b) == 0;
}

// ---- Comparison and "nothing left allocated" per record ----

// Records without pointers compare byte for byte (they have no padding) and
// hold nothing to release.
template<typename T>
bool same(const T &a, const T &b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}
template<typename T>
bool cleared(const T &)
{
    return true;
}
template<typename N>
bool same_named(const N &a, const N &b)
{
    return same_text(a.name, b.name) && a.id == b.id && same(a.sid, b.sid);
}
bool same(const idkit_user_sid_t &a, const idkit_user_sid_t &b)
{
    return same_named(a, b);
}
bool same(const idkit_group_sid_t &a, const idkit_group_sid_t &b)
{
    return same_named(a, b);
}
bool same(const idkit_passwd_sid_t &a, const idkit_passwd_sid_t &b)
{
    return same(a.user, b.user) && same(a.group, b.group) && same_text(a.gecos, b.gecos) && same_text(a.home, b.home);
}
template<typename C>
bool same_names(const C &a, const C &b)
{
    bool ok = same_text(a.user, b.user) && same_text(a.group, b.group) && a.ngroups == b.ngroups;
    for (uint64_t i = 0; ok && i < a.ngroups; ++i)
        ok = same_text(a.groups[i], b.groups[i]);
    return ok;
}
bool same(const idkit_string_credentials_t &a, const idkit_string_credentials_t &b)
{
    return same_names(a, b);
}
bool same(const idkit_whole_string_credentials_t &a, const idkit_whole_string_credentials_t &b)
{
    return same_names(a, b);
}
bool same(const idkit_whole_credentials_t &a, const idkit_whole_credentials_t &b)
{
    return same(a.user, b.user) && same(a.group, b.group) && a.ngroups == b.ngroups &&
           (a.ngroups == 0 || std::memcmp(a.groups, b.groups, sizeof(idkit_sid_t) * size_t(a.ngroups)) == 0);
}

bool cleared(const idkit_user_sid_t &u)
{
    return u.name == nullptr;
}
bool cleared(const idkit_group_sid_t &g)
{
    return g.name == nullptr;
}
bool cleared(const idkit_passwd_sid_t &p)
{
    return cleared(p.user) && cleared(p.group) && p.gecos == nullptr && p.home == nullptr;
}
bool cleared(const idkit_string_credentials_t &s)
{
    return s.user == nullptr && s.group == nullptr &&
           std::count(s.groups, std::end(s.groups), nullptr) == IDKIT_MAX_GROUPS;
}
bool cleared(const idkit_whole_credentials_t &w)
{
    return w.groups == nullptr;
}
bool cleared(const idkit_whole_string_credentials_t &w)
{
    return w.user == nullptr && w.group == nullptr && w.groups == nullptr;
}

// A value survives the round trip, freeing the copy leaves no pointer, and
// every strict prefix of its encoding is refused with nothing allocated.
template<typename T>
void check_record(xdr_fn<T> fn, T value)
{
    std::vector<char> bytes = encode(fn, value);
    ASSERT_FALSE(bytes.empty());
    T back{};
    ASSERT_TRUE(decode(fn, bytes, bytes.size(), &back));
    EXPECT_TRUE(same(value, back));
    release(fn, &back);
    EXPECT_TRUE(cleared(back));
    release(fn, &back);
    for (size_t length = 0; length < bytes.size(); ++length) {
        T partial{};
        EXPECT_FALSE(decode(fn, bytes, length, &partial)) << length << " of " << bytes.size();
        EXPECT_TRUE(cleared(partial)) << length << " of " << bytes.size();
    }
}

template<typename T>
void expect_refused(xdr_fn<T> fn, const wire &w)
{
    T out{};
    EXPECT_FALSE(decode(fn, w.bytes, w.bytes.size(), &out));
    EXPECT_TRUE(cleared(out));
}

// ---- Realistic values ----

const char *const kGroupNames[] = {"EXAMPLE\\Domain Users", "EXAMPLE\\Developers", "EXAMPLE\\Backup Operators"};

idkit_sid_credentials_t sample_sid_credentials()
{
    idkit_sid_credentials_t sc{};
    sc.user = sid_of("S-1-5-21-1004336348-1177238915-682003330-1104");
    sc.group = sid_of("S-1-5-21-1004336348-1177238915-682003330-513");
    for (; sc.ngroups < IDKIT_MAX_GROUPS; ++sc.ngroups)
        idkit_gid_to_sid(&sc.groups[sc.ngroups], 1000 + sc.ngroups);
    sc.groups[3] = IDKIT_SID_DONTCARE;
    return sc;
}

idkit_string_credentials_t sample_string_credentials(uint32_t ngroups)
{
    idkit_string_credentials_t sc{};
    sc.user = lit("EXAMPLE\\alice");
    sc.group = lit("EXAMPLE\\Domain Users");
    for (; sc.ngroups < ngroups; ++sc.ngroups)
        sc.groups[sc.ngroups] = lit(kGroupNames[sc.ngroups % 3]);
    return sc;
}

TEST(IdkitXdr, EveryRecordRoundTripsAndRefusesEveryTruncation)
{
    check_record(xdr_idkit_sid_t, sid_of("S-1-5-21-1004336348-1177238915-682003330-1104"));
    check_record(xdr_idkit_sid_t, sid_of("S-1-0x123456789abc-1-2-3-4-5-6@7"));
    check_record(xdr_idkit_sid_t, IDKIT_SID_NOBODY);
    check_record(xdr_idkit_uid_t, idkit_uid_t(4294967294u));
    check_record(xdr_idkit_gid_t, idkit_gid_t(100));

    idkit_credentials_t c{};
    c.uid = 0x100000000ull + 1000;  // all 64 bits travel
    c.gid = 100;
    for (; c.ngroups < IDKIT_MAX_GROUPS; ++c.ngroups)
        c.groups[c.ngroups] = 2000 + uint64_t(c.ngroups);
    check_record(xdr_idkit_credentials_t, c);
    c.ngroups = 0;
    std::memset(c.groups, 0, sizeof c.groups);
    check_record(xdr_idkit_credentials_t, c);

    check_record(xdr_idkit_string_credentials_t, sample_string_credentials(IDKIT_MAX_GROUPS));
    check_record(xdr_idkit_string_credentials_t, sample_string_credentials(0));

    idkit_user_sid_t user{lit("EXAMPLE\\alice"), 1104, sid_of("S-1-5-21-1-2-3-1104")};
    idkit_group_sid_t group{lit("EXAMPLE\\Domain Users"), 513, sid_of("S-1-5-21-1-2-3-513")};
    check_record(xdr_idkit_user_sid_t, user);
    check_record(xdr_idkit_group_sid_t, group);
    check_record(xdr_idkit_passwd_sid_t, idkit_passwd_sid_t{user, group, lit("Alice Example"), lit("/home/alice")});

    check_record(xdr_idkit_sid_credentials_t, sample_sid_credentials());
    idkit_sid_credentials_t no_groups{};
    no_groups.user = sid_of("S-1-22-1-0");
    no_groups.group = sid_of("S-1-22-2-0");
    check_record(xdr_idkit_sid_credentials_t, no_groups);

    std::vector<idkit_sid_t> sids(40);
    for (size_t i = 0; i < sids.size(); ++i)
        idkit_gid_to_sid(&sids[i], uint32_t(i));
    idkit_whole_credentials_t whole{sid_of("S-1-22-1-1000"), sid_of("S-1-22-2-100"), 40, sids.data()};
    check_record(xdr_idkit_whole_credentials_t, whole);
    check_record(xdr_idkit_whole_credentials_t, idkit_whole_credentials_t{whole.user, whole.group, 0, nullptr});

    std::vector<char *> names(40);
    for (size_t i = 0; i < names.size(); ++i)
        names[i] = lit(kGroupNames[i % 3]);
    check_record(
        xdr_idkit_whole_string_credentials_t,
        idkit_whole_string_credentials_t{lit("EXAMPLE\\alice"), lit("EXAMPLE\\Domain Users"), 40, names.data()});
    check_record(xdr_idkit_whole_string_credentials_t,
                 idkit_whole_string_credentials_t{lit("alice"), lit("users"), 0, nullptr});
}

TEST(IdkitXdr, NullNamesTravelAsEmptyAndCallerBuffersAreFilled)
{
    idkit_user_sid_t user{nullptr, 7, sid_of("S-1-22-1-7")};
    std::vector<char> bytes = encode(xdr_idkit_user_sid_t, user);
    idkit_user_sid_t back{};
    ASSERT_TRUE(decode(xdr_idkit_user_sid_t, bytes, bytes.size(), &back));
    EXPECT_STREQ(back.name, "");
    release(xdr_idkit_user_sid_t, &back);

    user.name = lit("root");
    bytes = encode(xdr_idkit_user_sid_t, user);
    char buffer[IDKIT_NAME_MAX + 1];
    back.name = buffer;
    ASSERT_TRUE(decode(xdr_idkit_user_sid_t, bytes, bytes.size(), &back));
    EXPECT_EQ(back.name, buffer);
    EXPECT_STREQ(buffer, "root");
    // A caller's buffer is never released by a failed decode.
    ASSERT_FALSE(decode(xdr_idkit_user_sid_t, bytes, bytes.size() - 4, &back));
    EXPECT_EQ(back.name, buffer);
}

TEST(IdkitXdr, EncodingRefusesWhatTheWireCannotCarry)
{
    idkit_sid_t sid = sid_of("S-1-5-21-1");
    sid.length = IDKIT_SID_BODY_MAX + 1;
    encode(xdr_idkit_sid_t, sid, false);

    idkit_credentials_t c{};
    for (int32_t n : {-1, IDKIT_MAX_GROUPS + 1}) {
        c.ngroups = n;
        encode(xdr_idkit_credentials_t, c, false);
    }
    idkit_string_credentials_t sc = sample_string_credentials(3);
    sc.ngroups = IDKIT_MAX_GROUPS + 1;
    encode(xdr_idkit_string_credentials_t, sc, false);
    std::string long_name(IDKIT_NAME_MAX + 1, 'a');
    sc = sample_string_credentials(0);
    sc.user = long_name.data();
    encode(xdr_idkit_string_credentials_t, sc, false);

    idkit_sid_credentials_t sids = sample_sid_credentials();
    sids.ngroups = IDKIT_MAX_GROUPS + 1;
    encode(xdr_idkit_sid_credentials_t, sids, false);

    idkit_whole_credentials_t whole{sid, sid, -1, nullptr};
    whole.user.length = whole.group.length = 8;
    encode(xdr_idkit_whole_credentials_t, whole, false);
    idkit_sid_t one = IDKIT_SID_NOBODY;
    whole = {one, one, IDKIT_WHOLE_MAX_GROUPS + 1, &one};
    encode(xdr_idkit_whole_credentials_t, whole, false);

    char *name = lit("g");
    idkit_whole_string_credentials_t wsc{lit("u"), lit("g"), IDKIT_WHOLE_MAX_GROUPS + 1, &name};
    encode(xdr_idkit_whole_string_credentials_t, wsc, false);
    wsc = {lit("u"), lit("g"), 2, nullptr};
    encode(xdr_idkit_whole_string_credentials_t, wsc, false);
}

TEST(IdkitXdr, HostileCountsAndLengthsAreRefused)
{
    expect_refused(xdr_idkit_sid_t, wire{}.u32(2).u32(40));
    expect_refused(xdr_idkit_sid_t, wire{}.u32(256).u32(0));
    expect_refused(xdr_idkit_credentials_t, wire{}.u64(1).u64(2).u32(33));
    expect_refused(xdr_idkit_credentials_t, wire{}.u64(1).u64(2).u32(0xffffffff));
    expect_refused(xdr_idkit_sid_credentials_t, wire{}.sid().sid().u32(33));
    expect_refused(xdr_idkit_string_credentials_t, wire{}.text(std::string(1024, 'a')).text("g").u32(0));
    expect_refused(xdr_idkit_string_credentials_t, wire{}.text("alice").text("g").u32(33));
    expect_refused(xdr_idkit_string_credentials_t, wire{}.text("alice").text("g").u32(1).u32(0xffffffff));
    expect_refused(xdr_idkit_user_sid_t, wire{}.text("alice").u64(1).u32(3).u32(33));
    expect_refused(
        xdr_idkit_passwd_sid_t,
        wire{}.text("alice").u64(1).sid().text("users").u64(2).sid().text("gecos").text(std::string(1024, 'h')));
    expect_refused(xdr_idkit_whole_credentials_t, wire{}.sid().sid().u32(0x80000000u));
    expect_refused(xdr_idkit_whole_credentials_t, wire{}.sid().sid().u32(IDKIT_WHOLE_MAX_GROUPS + 1));
    // A count within bounds that the bytes do not back.
    expect_refused(xdr_idkit_whole_credentials_t, wire{}.sid().sid().u32(IDKIT_WHOLE_MAX_GROUPS).sid());
    expect_refused(xdr_idkit_whole_string_credentials_t, wire{}.text("u").text("g").u32(0x80000000u));
    expect_refused(xdr_idkit_whole_string_credentials_t, wire{}.text("u").text("g").u32(3).text("a").text("b"));
}

}  // namespace
