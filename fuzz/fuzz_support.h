// What the fuzz targets share.
#ifndef FUZZ_FUZZ_SUPPORT_H
#define FUZZ_FUZZ_SUPPORT_H

#include <rpc/rpc.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace fuzz {

// The bytes of an input not consumed yet.
struct Input {
    const uint8_t *data;
    size_t size;
    // The next `n` bytes (fewer when fewer are left), or the next byte (0 when none is left).
    Input take(size_t n)
    {
        Input part{data, n < size ? n : size};
        data += part.size;
        size -= part.size;
        return part;
    }
    uint8_t byte() { return size == 0 ? 0 : *take(1).data; }
};

// Ends the run as a crash when a property does not hold.
inline void check(bool condition, const char *what)
{
    if (condition)
        return;
    std::fprintf(stderr, "property failed: %s\n", what);
    std::abort();
}

inline bool_t decode(xdrproc_t proc, Input in, void *record)
{
    XDR xdrs;
    xdrmem_create(&xdrs, reinterpret_cast<char *>(const_cast<uint8_t *>(in.data)), static_cast<u_int>(in.size),
                  XDR_DECODE);
    return proc(&xdrs, record, 0);
}

// Encodes into memory that holds any reply to a request of the size a daemon
// reads; the bytes go into `bytes` when given.
inline bool_t encode(xdrproc_t proc, void *record, std::vector<uint8_t> *bytes = nullptr)
{
    static char scratch[4u << 20];
    XDR xdrs;
    xdrmem_create(&xdrs, scratch, sizeof scratch, XDR_ENCODE);
    bool_t ok = proc(&xdrs, record, 0);
    if (bytes != nullptr)
        bytes->assign(scratch, scratch + (ok ? xdr_getpos(&xdrs) : 0));
    return ok;
}

// A record that decodes from `in` must encode to bytes that decode and encode the same again.
template<typename Record>
void round_trip(bool_t (*routine)(XDR *, Record *), Input in)
{
    auto proc = reinterpret_cast<xdrproc_t>(routine);
    Record record{}, again{};
    std::vector<uint8_t> first, second;
    if (decode(proc, in, &record)) {
        check(encode(proc, &record, &first), "a decoded record encodes");
        check(decode(proc, {first.data(), first.size()}, &again), "a re-encoded record decodes");
        check(encode(proc, &again, &second) && first == second, "a record encodes the same after a round trip");
        xdr_free(proc, &again);
    }
    xdr_free(proc, &record);
}

// Has `dispatch` serve a request whose arguments decode from `args`; every reply must encode.  Returns their number.
template<typename Dispatch>
int serve(rpcprog_t prog, rpcvers_t vers, rpcproc_t proc, Input args, Dispatch dispatch)
{
    static Input arguments;
    static int replies;
    static const struct __rpc_svcxprt::xp_ops ops = {
        .xp_getargs = [](SVCXPRT *, xdrproc_t xargs, void *out) { return decode(xargs, arguments, out); },
        .xp_reply = [](SVCXPRT *, rpc_msg *msg) -> bool_t {
            check(encode(reinterpret_cast<xdrproc_t>(xdr_replymsg), msg), "every reply encodes");
            ++replies;
            return TRUE;
        },
        .xp_freeargs = [](SVCXPRT *, xdrproc_t xargs, void *out) -> bool_t {
            xdr_free(xargs, out);
            return TRUE;
        },
    };
    SVCXPRT xprt{.xp_fd = -1, .xp_ops = &ops};
    svc_req request{.rq_prog = prog, .rq_vers = vers, .rq_proc = proc, .rq_xprt = &xprt};
    arguments = args;
    replies = 0;
    dispatch(&request, &xprt);
    return replies;
}

}  // namespace fuzz

#endif
