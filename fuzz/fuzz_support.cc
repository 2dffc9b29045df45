// What the fuzz targets share.
#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "host/vox.h"

namespace fuzz {
namespace {

// Large enough for any reply to a request of the size a daemon reads.
constexpr u_int kScratchSize = 4u << 20;
char scratch[kScratchSize];

bool_t run(xdrproc_t routine, XDR *xdrs, void *object)
{
    return routine(xdrs, object, 0);
}

clnt_stat fake_call(CLIENT *client, rpcproc_t, xdrproc_t xargs, void *args, xdrproc_t xres, void *res, timeval)
{
    auto *fake = static_cast<FakeClient *>(client->cl_private);
    XDR out;
    xdrmem_create(&out, scratch, kScratchSize, XDR_ENCODE);
    if (!run(xargs, &out, args))
        return fake->last = RPC_CANTENCODEARGS;
    if (fake->outcome != RPC_SUCCESS)
        return fake->last = fake->outcome;
    XDR in;
    xdrmem_create(&in, reinterpret_cast<char *>(const_cast<uint8_t *>(fake->reply.data)),
                  static_cast<u_int>(fake->reply.size), XDR_DECODE);
    return fake->last = run(xres, &in, res) ? RPC_SUCCESS : RPC_CANTDECODERES;
}

void fake_abort(CLIENT *) {}

void fake_geterr(CLIENT *client, rpc_err *error)
{
    *error = rpc_err{};
    error->re_status = static_cast<FakeClient *>(client->cl_private)->last;
}

bool_t fake_freeres(CLIENT *, xdrproc_t xres, void *res)
{
    xdr_free(xres, res);
    return TRUE;
}

void fake_destroy(CLIENT *) {}

bool_t fake_control(CLIENT *, u_int, void *)
{
    return FALSE;
}

const __rpc_client::clnt_ops kClientOps = {fake_call,    fake_abort,   fake_geterr,
                                           fake_freeres, fake_destroy, fake_control};

FakeTransport *transport_of(SVCXPRT *xprt)
{
    return static_cast<FakeTransport *>(xprt->xp_p1);
}

bool_t fake_recv(SVCXPRT *, rpc_msg *)
{
    return FALSE;
}

xprt_stat fake_stat(SVCXPRT *)
{
    return XPRT_IDLE;
}

bool_t fake_getargs(SVCXPRT *xprt, xdrproc_t xargs, void *args)
{
    Input &in = transport_of(xprt)->request;
    XDR xdrs;
    xdrmem_create(&xdrs, reinterpret_cast<char *>(const_cast<uint8_t *>(in.data)), static_cast<u_int>(in.size),
                  XDR_DECODE);
    return run(xargs, &xdrs, args);
}

bool_t fake_reply(SVCXPRT *xprt, rpc_msg *msg)
{
    FakeTransport *fake = transport_of(xprt);
    XDR xdrs;
    xdrmem_create(&xdrs, scratch, kScratchSize, XDR_ENCODE);
    bool_t ok = xdr_replymsg(&xdrs, msg);
    ++fake->replies;
    fake->unencodable += !ok;
    return ok;
}

bool_t fake_freeargs(SVCXPRT *, xdrproc_t xargs, void *args)
{
    xdr_free(xargs, args);
    return TRUE;
}

void fake_xprt_destroy(SVCXPRT *) {}

const struct __rpc_svcxprt::xp_ops kTransportOps = {fake_recv,  fake_stat,     fake_getargs,
                                                    fake_reply, fake_freeargs, fake_xprt_destroy};

void drop_message(int, const char *, const char *, void *) {}

}  // namespace

uint8_t take_byte(Input *in)
{
    if (in->size == 0)
        return 0;
    --in->size;
    return *in->data++;
}

Input take(Input *in, size_t n)
{
    Input part{in->data, n < in->size ? n : in->size};
    in->data += part.size;
    in->size -= part.size;
    return part;
}

std::string take_line(Input *in)
{
    const void *end = std::memchr(in->data, '\n', in->size);
    size_t length = end == nullptr ? in->size : static_cast<size_t>(static_cast<const uint8_t *>(end) - in->data);
    std::string line(reinterpret_cast<const char *>(in->data), length);
    take(in, end == nullptr ? length : length + 1);
    return line;
}

void check(bool condition, const char *what)
{
    if (condition)
        return;
    std::fprintf(stderr, "property failed: %s\n", what);
    std::abort();
}

void quiet_messages()
{
    vox_set_sink(drop_message, nullptr);
}

void make_fake_client(FakeClient *fake, Input reply, clnt_stat outcome)
{
    *fake = FakeClient{};
    fake->client.cl_ops = const_cast<__rpc_client::clnt_ops *>(&kClientOps);
    fake->client.cl_private = fake;
    fake->reply = reply;
    fake->outcome = outcome;
    fake->last = RPC_SUCCESS;
}

void make_fake_transport(FakeTransport *fake, Input request)
{
    *fake = FakeTransport{};
    fake->xprt.xp_fd = -1;
    fake->xprt.xp_ops = &kTransportOps;
    fake->xprt.xp_p1 = fake;
    fake->request = request;
}

Bytes encode(xdrproc_t routine, const void *object, Bytes prefix)
{
    XDR xdrs;
    xdrmem_create(&xdrs, scratch, kScratchSize, XDR_ENCODE);
    check(run(routine, &xdrs, const_cast<void *>(object)), "a seed encodes");
    prefix.insert(prefix.end(), scratch, scratch + xdr_getpos(&xdrs));
    return prefix;
}

void seed_mode(void (*write)(const std::string &dir))
{
    const char *dir = std::getenv("VELMO_FUZZ_SEEDS");
    if (dir == nullptr || *dir == '\0')
        return;
    write(dir);
    std::exit(0);
}

void write_seed(const std::string &dir, const std::string &name, const Bytes &bytes)
{
    std::ofstream out(dir + "/" + name, std::ios::binary);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    check(out.good(), "a seed is written");
}

}  // namespace fuzz
