// A Sun RPC server for tests that records the credentials of every call:
// one line a call in its log, "unix MACHINE UID GID G1,G2,..." for AUTH_UNIX
// calls, "flavor N" for others.  Every procedure of its program and version
// answers with nothing.
//   auth_recorder --address ADDR --port-file FILE --log FILE --program P --version V
#include <getopt.h>
#include <rpc/rpc.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "daemon.h"
#include "net.h"

namespace {

std::string log_path;

bool_t xdr_nothing(XDR *, void *)
{
    return TRUE;
}

void record(svc_req *request, SVCXPRT *xprt)
{
    std::string line;
    if (request->rq_cred.oa_flavor == AUTH_UNIX) {
        auto *parms = reinterpret_cast<authunix_parms *>(request->rq_clntcred);
        line = "unix " + std::string(parms->aup_machname) + " " + std::to_string(parms->aup_uid) + " " +
               std::to_string(parms->aup_gid) + " ";
        for (u_int i = 0; i < parms->aup_len; ++i)
            line += (i == 0 ? "" : ",") + std::to_string(parms->aup_gids[i]);
    } else {
        line = "flavor " + std::to_string(request->rq_cred.oa_flavor);
    }
    if (FILE *f = std::fopen(log_path.c_str(), "a")) {
        std::fprintf(f, "%s\n", line.c_str());
        std::fclose(f);
    }
    svc_sendreply(xprt, (xdrproc_t)xdr_nothing, nullptr);
}

}  // namespace

int main(int argc, char **argv)
{
    velmo::daemon::set_program("auth_recorder");
    std::string address = "127.0.0.1", port_file;
    unsigned long program = 0, version = 0;
    static const option options[] = {{"address", required_argument, nullptr, 'a'},
                                      {"port-file", required_argument, nullptr, 'p'},
                                      {"log", required_argument, nullptr, 'l'},
                                      {"program", required_argument, nullptr, 'P'},
                                      {"version", required_argument, nullptr, 'V'},
                                      {nullptr, 0, nullptr, 0}};
    for (int c; (c = getopt_long(argc, argv, "", options, nullptr)) != -1;) {
        bool ok = true;
        if (c == 'a')
            address = optarg;
        else if (c == 'p')
            port_file = optarg;
        else if (c == 'l')
            log_path = optarg;
        else if (c == 'P')
            ok = velmo::daemon::parse_unsigned(optarg, 0xffffffffu, &program);
        else if (c == 'V')
            ok = velmo::daemon::parse_unsigned(optarg, 0xffffffffu, &version);
        else
            ok = false;
        if (!ok)
            return velmo::daemon::log("bad options"), 2;
    }
    velmo::net::Address where;
    if (port_file.empty() || log_path.empty() || program == 0 || !velmo::net::parse_address(address, 0, &where) ||
        !velmo::daemon::setup_signals())
        return velmo::daemon::log("needs --port-file, --log, --program and a numeric --address"), 2;
    int fd = velmo::net::listen_tcp(where, 16);
    SVCXPRT *xprt = fd < 0 ? nullptr : svc_vc_create(fd, 0, 0);
    if (xprt == nullptr || !svc_reg(xprt, program, version, record, nullptr) ||
        !velmo::daemon::write_port_file(port_file, velmo::net::local_port(fd)))
        return velmo::daemon::log("cannot serve on %s", address.c_str()), 1;
    velmo::daemon::serve([] {}, {fd}, velmo::daemon::kIdleSeconds);
    svc_destroy(xprt);
    return 0;
}
