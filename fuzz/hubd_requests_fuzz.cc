// hubd's dispatch on hostile requests.  Input: requests one after another,
// each a procedure number, the length of its arguments (one byte) and the
// arguments, so that registrations, look-ups and removals meet; the
// registry starts empty for every input.  The procedure's byte also
// chooses the caller: root, a user allowed to register whose process has
// gone, a user not allowed (all on the local socket), or a peer on the
// network.  Every reply must encode.
#include <unistd.h>

#include <string>

#include "broker.h"
#include "fuzz_support.h"
#include "hubd_prot.h"

namespace {

constexpr unsigned kProcedures = 6;  // every procedure, and one that is not
constexpr int kMostRequests = 16;
constexpr uid_t kRegistrar = 4242;

// Small bytes, as the seeds have them, come from root on the local socket.
const hubd::Caller &caller(uint8_t byte)
{
    static const hubd::Caller callers[] = {{true, 0, getpid(), "uid 0"},
                                           {true, kRegistrar, 0x7fffffff, "uid 4242"},
                                           {true, 65534, getpid(), "uid 65534"},
                                           {false, 0, 0, "192.0.2.1 port 1"}};
    return callers[byte / kProcedures % 4];
}

void write_seeds(const std::string &dir)
{
    using fuzz::encode;
    char name[] = "credmap_server";
    hubd_register_args registration{name, 390521, 1, 40001, 4242};
    hubd_locate_args locate{name, 390521, 1, 1};
    // One request: procedure, length, arguments.
    auto request = [](uint8_t proc, const fuzz::Bytes &args) {
        fuzz::Bytes out{proc, static_cast<uint8_t>(args.size())};
        out.insert(out.end(), args.begin(), args.end());
        return out;
    };
    fuzz::Bytes reg = request(HUBDPROC_REGISTER, encode((xdrproc_t)xdr_hubd_register_args, &registration));
    fuzz::Bytes unreg = request(HUBDPROC_UNREGISTER, encode((xdrproc_t)xdr_hubd_register_args, &registration));
    fuzz::Bytes loc = request(HUBDPROC_LOCATE, encode((xdrproc_t)xdr_hubd_locate_args, &locate));
    fuzz::write_seed(dir, "null", request(0, {}));
    fuzz::write_seed(dir, "hostinfo", request(HUBDPROC_HOSTINFO, {}));
    fuzz::write_seed(dir, "locate", loc);
    fuzz::write_seed(dir, "register", reg);
    fuzz::Bytes life = reg;
    life.insert(life.end(), loc.begin(), loc.end());
    life.insert(life.end(), unreg.begin(), unreg.end());
    life.insert(life.end(), loc.begin(), loc.end());
    fuzz::write_seed(dir, "register_locate_unregister", life);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::seed_mode(write_seeds);
    hubd::options.host_name = "winhost.example";
    hubd::options.os_name = "Windows Server 2022";
    hubd::options.os_release = "10.0";
    hubd::options.registrars.insert(kRegistrar);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input in{data, size};
    hubd::registry.clear();
    for (int n = 0; n < kMostRequests && in.size > 0; ++n) {
        svc_req request{};
        request.rq_prog = HUBD_PROG;
        request.rq_vers = HUBD_VERS;
        uint8_t proc = fuzz::take_byte(&in);
        request.rq_proc = proc % kProcedures;
        fuzz::Input args = fuzz::take(&in, fuzz::take_byte(&in));
        fuzz::FakeTransport transport;
        fuzz::make_fake_transport(&transport, args);
        request.rq_xprt = &transport.xprt;
        hubd::dispatch_from(caller(proc), &request, &transport.xprt);
        fuzz::check(transport.replies == 1, "one reply to every request");
        fuzz::check(transport.unencodable == 0, "every reply encodes");
    }
    return 0;
}
