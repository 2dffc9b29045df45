// hubd's dispatch on up to 16 requests in a row (procedure, length of the arguments, arguments) to a registry that
// starts empty.  The procedure's byte also chooses the caller: root, an allowed user whose process has gone, a user
// not allowed (all on the local socket), or a peer on the network.
#include <unistd.h>

#include "broker.h"
#include "fuzz_support.h"
#include "hubd_prot.h"

constexpr unsigned kProcedures = 6;  // every procedure, and one that is not
constexpr uid_t kRegistrar = 4242;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const hubd::Caller kCallers[] = {{true, 0, getpid(), "uid 0"},
                                            {true, kRegistrar, 0x7fffffff, "uid 4242"},
                                            {true, 65534, getpid(), "uid 65534"},
                                            {false, 0, 0, "192.0.2.1 port 1"}};
    fuzz::Input in{data, size};
    hubd::options.registrars = {kRegistrar};
    hubd::registry.clear();
    for (int n = 0; n < 16 && in.size > 0; ++n) {
        uint8_t proc = in.byte();
        auto dispatch = [&](svc_req *request, SVCXPRT *xprt) {
            hubd::dispatch_from(kCallers[proc / kProcedures % 4], request, xprt);
        };
        int replies = fuzz::serve(HUBD_PROG, HUBD_VERS, proc % kProcedures, in.take(in.byte()), dispatch);
        fuzz::check(replies == 1, "one reply to every request");
    }
    return 0;
}
