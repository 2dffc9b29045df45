// Every reply of a credmap_server that the library decodes, from hostile
// bytes.  The first byte chooses the routine; the rest is the reply.  A
// decoded reply must encode again, and what it encodes must decode to the
// same bytes; whatever a decode left behind is released with xdr_free.
#include <cstdlib>
#include <cstring>

#include "fuzz_support.h"
#include "velmo/credmap_prot.h"

namespace {

struct Routine {
    const char *name;
    xdrproc_t proc;
    size_t size;  // of the reply record
};

#define ROUTINE(type)                                                                                                  \
    {                                                                                                                  \
#type, (xdrproc_t)xdr_credmap_##type, sizeof(credmap_##type)                                                   \
    }
const Routine kRoutines[] = {
    ROUTINE(hdr_reply_t),
    ROUTINE(null_reply_t),
    ROUTINE(contact_reply_t),
    ROUTINE(svr_get_credentials_reply_t),
    ROUTINE(lookup_user_sid_reply_t),
    ROUTINE(lookup_user_sid_credentials_reply_t),
    ROUTINE(svr_getpwnam_reply_t),
    ROUTINE(svr_getgrnam_reply_t),
    ROUTINE(lookup_credentials_reply_t),
    ROUTINE(lookup_string_credentials_sid_reply_t),
    ROUTINE(lookup_whole_string_credentials_reply_t),
};
#undef ROUTINE
constexpr size_t kCount = sizeof kRoutines / sizeof kRoutines[0];
// Past the routines: the SID text reply into a caller's buffer, as
// credmap_lookup_user_sid decodes it.
constexpr size_t kSidIntoBuffer = kCount;

// Decodes `bytes` into a fresh record; true when the routine took them.
bool decode(const Routine &r, const fuzz::Bytes &bytes, void *record)
{
    std::memset(record, 0, r.size);
    XDR xdrs;
    xdrmem_create(&xdrs, reinterpret_cast<char *>(const_cast<uint8_t *>(bytes.data())),
                  static_cast<u_int>(bytes.size()), XDR_DECODE);
    return r.proc(&xdrs, record, 0);
}

void round_trip(const Routine &r, fuzz::Input in)
{
    alignas(16) unsigned char record[2048];
    alignas(16) unsigned char again[2048];
    fuzz::check(r.size <= sizeof record, "the record fits");
    fuzz::Bytes bytes(in.data, in.data + in.size);
    if (!decode(r, bytes, record)) {
        xdr_free(r.proc, record);
        return;
    }
    fuzz::Bytes first = fuzz::encode(r.proc, record);
    xdr_free(r.proc, record);
    fuzz::check(decode(r, first, again), "a re-encoded reply decodes");
    fuzz::Bytes second = fuzz::encode(r.proc, again);
    xdr_free(r.proc, again);
    fuzz::check(first == second, "a reply encodes the same after a round trip");
}

// The SID text goes into a buffer of the caller's, of the size the
// protocol allows, whatever the status.
void sid_into_buffer(fuzz::Input in)
{
    char *buffer = static_cast<char *>(std::malloc(CREDMAP_STRING_MAX + 1));
    credmap_lookup_user_sid_reply_t reply{};
    reply.sid = buffer;
    XDR xdrs;
    xdrmem_create(&xdrs, reinterpret_cast<char *>(const_cast<uint8_t *>(in.data)), static_cast<u_int>(in.size),
                  XDR_DECODE);
    if (xdr_credmap_lookup_user_sid_reply_t(&xdrs, &reply))
        fuzz::check(std::strlen(buffer) <= CREDMAP_STRING_MAX, "the SID text fits");
    fuzz::check(reply.sid == buffer, "the caller's buffer stays in place");
    std::free(buffer);
}

void write_seeds(const std::string &dir)
{
    using fuzz::encode;
    credmap_hdr_reply_t ok{7, 0}, failed{8, CORE_E_CREDS_REFUSED};
    char alice[] = "KORVANTIS\\Alice", staff[] = "KORVANTIS\\Staff", gecos[] = "Alice Liddell", home[] = "/home/alice";
    idkit_sid_t user_sid{}, group_sid{};
    idkit_sid_from_str("S-1-5-21-3623811015-3361044348-30300820-1104", &user_sid);
    idkit_sid_from_str("S-1-5-21-3623811015-3361044348-30300820-1201", &group_sid);
    auto seed = [&](size_t index, const char *name, const void *record) {
        fuzz::write_seed(dir, name, encode(kRoutines[index].proc, record, {static_cast<uint8_t>(index)}));
    };
    seed(0, "hdr", &ok);
    credmap_contact_reply_t contact{ok, 1, CREDMAP_ATTR_NT_SID};
    seed(2, "contact", &contact);
    credmap_svr_get_credentials_reply_t creds{ok, {1104, 1201, 2, 0, {1201, 1202}}};
    seed(3, "get_credentials", &creds);
    char sid_text[] = "S-1-5-21-3623811015-3361044348-30300820-1104";
    credmap_lookup_user_sid_reply_t sid{ok, sid_text};
    seed(4, "user_sid", &sid);
    fuzz::write_seed(dir, "user_sid_buffer", encode(kRoutines[4].proc, &sid, {static_cast<uint8_t>(kSidIntoBuffer)}));
    idkit_group_sid_t groups[2] = {{staff, 1201, group_sid}, {staff, 1202, group_sid}};
    credmap_lookup_user_sid_credentials_reply_t usc{ok, {alice, 1104, user_sid}, {staff, 1201, group_sid}, groups, 2};
    seed(5, "user_sid_credentials", &usc);
    credmap_svr_getpwnam_reply_t pw{ok, {{alice, 1104, user_sid}, {staff, 1201, group_sid}, gecos, home}};
    seed(6, "getpwnam", &pw);
    credmap_svr_getpwnam_reply_t pw_refused{failed, {}};
    seed(6, "getpwnam_refused", &pw_refused);
    credmap_svr_getgrnam_reply_t gr{ok, {staff, 1201, group_sid}};
    seed(7, "getgrnam", &gr);
    credmap_lookup_credentials_reply_t names{ok, {alice, staff, 2, 0, {staff, staff}}};
    seed(8, "lookup_credentials", &names);
    credmap_lookup_string_credentials_sid_reply_t sids{ok, {user_sid, group_sid, 2, {group_sid, group_sid}}};
    seed(9, "string_credentials_sid", &sids);
    idkit_sid_t whole_groups[3] = {group_sid, group_sid, IDKIT_SID_NOBODY};
    credmap_lookup_whole_string_credentials_reply_t whole{ok, {user_sid, group_sid, 3, whole_groups}};
    seed(10, "whole_string_credentials", &whole);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::seed_mode(write_seeds);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input in{data, size};
    size_t choice = fuzz::take_byte(&in) % (kCount + 1);
    if (choice == kSidIntoBuffer)
        sid_into_buffer(in);
    else
        round_trip(kRoutines[choice], in);
    return 0;
}
