// The location broker's answers as the hubd client decodes them; the first
// byte chooses host information, a located server or a registration's status.
#include "fuzz_support.h"
#include "hubd_prot.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input in{data, size};
    uint8_t choice = in.byte() % 3;
    if (choice == 0)
        fuzz::round_trip(xdr_hubd_hostinfo_res, in);
    else if (choice == 1)
        fuzz::round_trip(xdr_hubd_locate_res, in);
    else
        fuzz::round_trip(xdr_int, in);
    return 0;
}
