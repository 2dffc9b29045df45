// to-posix: the POSIX identity a host gives local credentials; auth: the
// AUTH_UNIX authentication the library builds for a host, decoded as a
// server receives it, and optionally used on a real null call.
#include <netdb.h>
#include <rpc/rpc.h>

#include <cstdio>
#include <cstring>

#include "commands.h"
#include "host/hubd.h"
#include "options.h"
#include "output.h"
#include "velmo/credmap.h"

namespace credmap_tool {
namespace {

std::vector<uint64_t> groups_of(const idkit_credentials_t &c)
{
    int32_t n = c.ngroups < 0 ? 0 : (c.ngroups > IDKIT_MAX_GROUPS ? IDKIT_MAX_GROUPS : c.ngroups);
    return std::vector<uint64_t>(c.groups, c.groups + n);
}

std::string id_list(const std::vector<uint64_t> &ids)
{
    std::string out;
    for (uint64_t id : ids)
        out += (out.empty() ? "" : ",") + std::to_string(id);
    return out.empty() ? "-" : out;
}

Json ids_json(uint64_t uid, uint64_t gid, const std::vector<uint64_t> &groups)
{
    Json list = Json::array();
    for (uint64_t g : groups)
        list.push(Json::number(static_cast<long long>(g)));
    Json j = Json::object();
    j.add("uid", Json::number(static_cast<long long>(uid))).add("gid", Json::number(static_cast<long long>(gid)));
    j.add("groups", list);
    return j;
}

// What a server receives: the AUTH_UNIX body of the authentication.
struct Received {
    std::string machine;
    uint64_t uid = 0, gid = 0;
    std::vector<uint64_t> groups;
};

bool decode(AUTH *auth, Received *out)
{
    if (auth->ah_cred.oa_flavor != AUTH_UNIX)
        return false;
    XDR xdrs;
    xdrmem_create(&xdrs, auth->ah_cred.oa_base, auth->ah_cred.oa_length, XDR_DECODE);
    authunix_parms parms{};
    bool ok = xdr_authunix_parms(&xdrs, &parms) != 0;
    if (ok) {
        out->machine = parms.aup_machname;
        out->uid = parms.aup_uid;
        out->gid = parms.aup_gid;
        out->groups.assign(parms.aup_gids, parms.aup_gids + parms.aup_len);
    }
    xdr_free((xdrproc_t)xdr_authunix_parms, reinterpret_cast<char *>(&parms));
    xdr_destroy(&xdrs);
    return ok;
}

bool_t xdr_nothing(XDR *, void *)
{
    return TRUE;
}

// A client of the program at ADDR:PORT, or through the rpcbind of the
// host's address (as its location broker knows it) when none is given.
CLIENT *client_for(const std::string &host, const std::string &where, unsigned long prog, unsigned long vers,
                   std::string *address, std::string *error)
{
    if (where.empty()) {
        hubd_hostinfo_t info{};
        core_status_t s = hubd_hostinfo(host.c_str(), &info);
        if (s != 0)
            return *error = std::string("no address for ") + host + ": " + core_strerror(s), nullptr;
        *address = info.address != nullptr ? info.address : host;
        hubd_hostinfo_free(info);
        CLIENT *clnt = clnt_create(address->c_str(), prog, vers, "tcp");
        if (clnt == nullptr)
            *error = clnt_spcreateerror(address->c_str());
        return clnt;
    }
    *address = where;
    size_t colon = where.rfind(':');
    addrinfo hints{}, *found = nullptr;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    if (colon == std::string::npos ||
        getaddrinfo(where.substr(0, colon).c_str(), where.substr(colon + 1).c_str(), &hints, &found) != 0)
        return *error = "not an IPv4 ADDR:PORT: " + where, nullptr;
    sockaddr_in address_in{};
    std::memcpy(&address_in, found->ai_addr, sizeof address_in);
    freeaddrinfo(found);
    int sock = RPC_ANYSOCK;
    CLIENT *clnt = clnttcp_create(&address_in, prog, vers, &sock, 0, 0);
    if (clnt == nullptr)
        *error = clnt_spcreateerror(where.c_str());
    return clnt;
}

// Makes a null call with the authentication; "" when it was accepted.
std::string null_call(AUTH *auth, const std::string &host, const std::vector<std::string> &call, std::string *address)
{
    uint32_t prog, vers;
    if (!parse_id(call[0], &prog) || !parse_id(call[1], &vers))
        return "PROG and VERS are decimal numbers";
    std::string error;
    CLIENT *clnt = client_for(host, call.size() > 2 ? call[2] : "", prog, vers, address, &error);
    if (clnt == nullptr)
        return error;
    AUTH *own = clnt->cl_auth;
    clnt->cl_auth = auth;
    timeval timeout{CREDMAP_CALL_TIMEOUT, 0};
    clnt_stat rc = clnt_call(clnt, NULLPROC, (xdrproc_t)xdr_nothing, nullptr, (xdrproc_t)xdr_nothing, nullptr, timeout);
    std::string result = rc == RPC_SUCCESS ? "" : clnt_sperror(clnt, "null call");
    clnt->cl_auth = own;
    clnt_destroy(clnt);
    return result.substr(0, result.find_last_not_of('\n') + 1);
}

// Takes "--call PROG VERS [ADDR:PORT]" (or "--call=PROG VERS ...") out of
// the arguments.
bool take_call(std::vector<std::string> *args, std::vector<std::string> *call, std::string *error)
{
    for (size_t i = 0; i < args->size(); ++i) {
        std::string &arg = (*args)[i];
        if (arg != "--call" && arg.rfind("--call=", 0) != 0)
            continue;
        size_t first = i + 1;
        if (arg != "--call") {
            arg = arg.substr(7);  // the first value, in place of the option
            first = i;
        }
        size_t n = 0;
        while (n < 3 && first + n < args->size() && (*args)[first + n].rfind("--", 0) != 0)
            ++n;
        if (n < 2)
            return *error = "--call needs PROG and VERS", false;
        call->assign(args->begin() + long(first), args->begin() + long(first + n));
        args->erase(args->begin() + long(i), args->begin() + long(first + n));
        return true;
    }
    return true;
}

}  // namespace

int cmd_to_posix(const Context &c)
{
    if (c.args.empty() || c.args[0].rfind("--", 0) == 0)
        return bad_usage("to-posix needs a HOST");
    Options o;
    std::string error;
    if (!parse_options({c.args.begin() + 1, c.args.end()}, {"--uid", "--gid", "--groups"}, {}, &o, &error))
        return bad_usage(error);
    idkit_sid_credentials_t local;
    if (int status = fixed_set(o, &local))
        return status;
    const std::string &host = c.args[0];
    idkit_credentials_t mine{}, theirs{};
    idkit_sid_credentials_to_credentials(&local, &mine);
    core_status_t status = credmap_local_sid_to_remote_posix(&local, host.c_str(), &theirs);
    if (c.json) {
        Json out = Json::object();
        out.add("host", Json::string(host)).add("status", Json::number(status));
        out.add("message", Json::string(core_strerror(status)));
        out.add("local", ids_json(mine.uid, mine.gid, groups_of(mine)));
        if (status == 0)
            out.add("remote", ids_json(theirs.uid, theirs.gid, groups_of(theirs)));
        print_json(out);
    } else if (status == 0) {
        std::string title = "remote (" + host + ")";
        std::printf("%-7s %-24s %s\n", "", "local", title.c_str());
        std::printf("%-7s %-24s %llu\n", "uid", std::to_string(mine.uid).c_str(),
                    static_cast<unsigned long long>(theirs.uid));
        std::printf("%-7s %-24s %llu\n", "gid", std::to_string(mine.gid).c_str(),
                    static_cast<unsigned long long>(theirs.gid));
        std::printf("%-7s %-24s %s\n", "groups", id_list(groups_of(mine)).c_str(), id_list(groups_of(theirs)).c_str());
    }
    return status == 0 ? 0 : fail("to-posix " + host, status, host);
}

int cmd_auth(const Context &c)
{
    if (c.args.empty() || c.args[0].rfind("--", 0) == 0)
        return bad_usage("auth needs a HOST");
    std::vector<std::string> args(c.args.begin() + 1, c.args.end()), call;
    Options o;
    std::string error;
    if (!take_call(&args, &call, &error) || !parse_options(args, {"--uid", "--gid", "--groups"}, {}, &o, &error))
        return bad_usage(error);
    idkit_sid_credentials_t local;
    if (int status = fixed_set(o, &local))
        return status;
    const std::string &host = c.args[0];
    AUTH *auth = credmap_auth_create(host.c_str(), &local);
    Received r;
    if (auth == nullptr || !decode(auth, &r)) {
        if (auth != nullptr)
            auth_destroy(auth);
        if (c.json) {
            Json out = Json::object();
            out.add("host", Json::string(host)).add("status", Json::number(CORE_E_CREDS_REFUSED));
            print_json(out.add("message", Json::string(core_strerror(CORE_E_CREDS_REFUSED))));
        }
        return fail("auth " + host + ": no authentication", CORE_E_CREDS_REFUSED);
    }
    std::string address, call_error = call.empty() ? "" : null_call(auth, host, call, &address);
    auth_destroy(auth);
    if (c.json) {
        Json out = Json::object();
        out.add("host", Json::string(host)).add("status", Json::number(0));
        out.add("message", Json::string(core_strerror(0))).add("machine", Json::string(r.machine));
        Json ids = ids_json(r.uid, r.gid, r.groups);
        out.add("credentials", ids);
        if (!call.empty()) {
            Json j = Json::object();
            j.add("address", Json::string(address)).add("accepted", Json::boolean(call_error.empty()));
            j.add("error", call_error.empty() ? Json::null() : Json::string(call_error));
            out.add("call", j);
        }
        print_json(out);
    } else {
        std::printf("AUTH_UNIX credentials for %s:\n  machine %s\n  uid     %llu\n  gid     %llu\n  groups  %s\n",
                    host.c_str(), r.machine.c_str(), static_cast<unsigned long long>(r.uid),
                    static_cast<unsigned long long>(r.gid), id_list(r.groups).c_str());
        if (!call.empty() && call_error.empty())
            std::printf("null call to program %s version %s at %s: accepted\n", call[0].c_str(), call[1].c_str(),
                        address.c_str());
    }
    if (!call_error.empty()) {
        std::fprintf(stderr, "credmap: auth %s: %s\n", host.c_str(), call_error.c_str());
        return 1;
    }
    return 0;
}

}  // namespace credmap_tool
