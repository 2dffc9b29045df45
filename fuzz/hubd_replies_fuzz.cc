// The location broker's answers as the hubd client decodes them.  The first
// byte chooses the answer (host information, a located server, the status
// of a registration); the rest is the answer.  A decoded answer must encode
// again to bytes that decode to the same; then it is released.
#include <cstring>

#include "fuzz_support.h"
#include "hubd_prot.h"

namespace {

struct Routine {
    xdrproc_t proc;
    size_t size;
};

const Routine kRoutines[] = {
    {(xdrproc_t)xdr_hubd_hostinfo_res, sizeof(hubd_hostinfo_res)},
    {(xdrproc_t)xdr_hubd_locate_res, sizeof(hubd_locate_res)},
    {(xdrproc_t)xdr_int, sizeof(int)},
};
constexpr size_t kCount = sizeof kRoutines / sizeof kRoutines[0];

bool decode(const Routine &r, const uint8_t *bytes, size_t size, void *record)
{
    std::memset(record, 0, r.size);
    XDR xdrs;
    xdrmem_create(&xdrs, reinterpret_cast<char *>(const_cast<uint8_t *>(bytes)), static_cast<u_int>(size), XDR_DECODE);
    return r.proc(&xdrs, record, 0);
}

void write_seeds(const std::string &dir)
{
    char host[] = "winhost.example", node[] = "winhost", os[] = "Windows Server 2022", release[] = "10.0",
         version[] = "#1 SMP", machine[] = "x86_64", none[] = "";
    hubd_hostinfo_res info{0, host, node, os, release, version, machine, 1700000000, 4242, 1};
    fuzz::write_seed(dir, "hostinfo", fuzz::encode(kRoutines[0].proc, &info, {0}));
    hubd_hostinfo_res bare{0, host, node, none, none, none, none, 0, 1, 0};
    fuzz::write_seed(dir, "hostinfo_no_os", fuzz::encode(kRoutines[0].proc, &bare, {0}));
    hubd_locate_res located{0, 40001};
    fuzz::write_seed(dir, "locate", fuzz::encode(kRoutines[1].proc, &located, {1}));
    int status = 1112;
    fuzz::write_seed(dir, "status", fuzz::encode(kRoutines[2].proc, &status, {2}));
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
    const Routine &r = kRoutines[fuzz::take_byte(&in) % kCount];
    alignas(16) unsigned char record[sizeof(hubd_hostinfo_res)];
    alignas(16) unsigned char again[sizeof(hubd_hostinfo_res)];
    if (!decode(r, in.data, in.size, record)) {
        xdr_free(r.proc, record);
        return 0;
    }
    fuzz::Bytes first = fuzz::encode(r.proc, record);
    xdr_free(r.proc, record);
    fuzz::check(decode(r, first.data(), first.size(), again), "a re-encoded answer decodes");
    fuzz::Bytes second = fuzz::encode(r.proc, again);
    xdr_free(r.proc, again);
    fuzz::check(first == second, "an answer encodes the same after a round trip");
    return 0;
}
