// Every reply of a credmap_server that the library decodes (the first byte chooses), and the SID text reply into a
// caller's buffer of the size the protocol allows, as credmap_lookup_user_sid decodes it.
#include <cstring>

#include "fuzz_support.h"
#include "velmo/credmap_prot.h"

static void sid_into_buffer(fuzz::Input in)
{
    std::vector<char> buffer(CREDMAP_STRING_MAX + 1);
    credmap_lookup_user_sid_reply_t reply{.sid = buffer.data()};
    if (fuzz::decode((xdrproc_t)xdr_credmap_lookup_user_sid_reply_t, in, &reply))
        fuzz::check(std::strlen(buffer.data()) <= CREDMAP_STRING_MAX, "the SID text fits");
    fuzz::check(reply.sid == buffer.data(), "the caller's buffer stays in place");
}

#define ROUTINE(type) [](fuzz::Input in) { fuzz::round_trip(xdr_credmap_##type, in); }
static void (*const kDecoders[])(fuzz::Input) = {ROUTINE(hdr_reply_t),
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
                                                 sid_into_buffer};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input in{data, size};
    kDecoders[in.byte() % std::size(kDecoders)](in);
    return 0;
}
