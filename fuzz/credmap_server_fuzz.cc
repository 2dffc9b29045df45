// credmap_server's dispatch on hostile requests, answered from the sample
// domain.  Input: the procedure number, a byte of misbehaviour switches,
// then the request's arguments.  Every reply the server sends must encode.
#include <string>

#include "fuzz_support.h"
#include "server.h"
#include "velmo/credmap_prot.h"

namespace {

using credmap_server::config;

constexpr unsigned kProcedures = 26;  // every procedure, and a few that are not
const uint32_t kAnswerGroups[] = {IDKIT_WHOLE_MAX_GROUPS, 0, 1, IDKIT_MAX_GROUPS};

void configure(uint8_t switches)
{
    config.too_many_groups = (switches & 1) != 0;
    config.nt_attribute = (switches & 2) == 0;
    config.answer_groups = kAnswerGroups[(switches >> 2) & 3];
    config.ignore_contacts = (switches & 16) != 0 ? 1 : 0;
    config.reset_contacts = (switches & 32) != 0 ? 1 : 0;
    config.exit_requested = false;
}

void write_seeds(const std::string &dir)
{
    using fuzz::encode;
    credmap_hdr_req_t hdr{1700000000, 1};
    char alice[] = "alice", staff[] = "Staff", quincy[] = "KORVANTIS\\quincy", ghost[] = "ghost";
    idkit_sid_t user{}, group{};
    idkit_sid_from_str("S-1-5-21-3623811015-3361044348-30300820-1104", &user);
    idkit_sid_from_str("S-1-5-21-3623811015-3361044348-30300820-1201", &group);
    auto seed = [&](uint8_t proc, const char *name, xdrproc_t routine, const void *request, uint8_t switches = 0) {
        fuzz::write_seed(dir, name, encode(routine, request, {proc, switches}));
    };
    seed(0, "null", (xdrproc_t)xdr_credmap_null_req_t, &hdr);
    credmap_contact_req_t contact{hdr, CREDMAP_CONTACT_WORD};
    seed(CREDMAP_PROC_CONTACT, "contact", (xdrproc_t)xdr_credmap_contact_req_t, &contact);
    seed(CREDMAP_PROC_EXIT, "exit", (xdrproc_t)xdr_credmap_null_req_t, &hdr);
    credmap_svr_get_credentials_req_t by_name{hdr, alice};
    seed(CREDMAP_PROC_SVR_GET_CREDENTIALS, "get_credentials", (xdrproc_t)xdr_credmap_svr_get_credentials_req_t,
         &by_name);
    idkit_string_credentials_t names{alice, staff, 2, 0, {staff, ghost}};
    credmap_lookup_string_credentials_req_t string_creds{hdr, names};
    seed(CREDMAP_PROC_LOOKUP_STRING_CREDENTIALS, "string_credentials",
         (xdrproc_t)xdr_credmap_lookup_string_credentials_req_t, &string_creds);
    credmap_lookup_user_sid_req_t user_sid{hdr, quincy, 0};
    seed(CREDMAP_PROC_LOOKUP_USER_SID, "user_sid", (xdrproc_t)xdr_credmap_lookup_user_sid_req_t, &user_sid);
    seed(CREDMAP_PROC_LOOKUP_DOMAIN_SID, "domain_sid", (xdrproc_t)xdr_credmap_lookup_user_sid_req_t, &user_sid);
    credmap_lookup_user_sid_credentials_req_t quincy_req{hdr, quincy};
    seed(CREDMAP_PROC_LOOKUP_USER_SID_CREDENTIALS, "user_sid_credentials",
         (xdrproc_t)xdr_credmap_lookup_user_sid_credentials_req_t, &quincy_req);
    seed(CREDMAP_PROC_SVR_GETPWNAM, "getpwnam", (xdrproc_t)xdr_credmap_lookup_user_sid_credentials_req_t, &quincy_req);
    credmap_svr_getpwuid_req_t uid{hdr, 1104};
    seed(CREDMAP_PROC_SVR_GETPWUID, "getpwuid", (xdrproc_t)xdr_credmap_svr_getpwuid_req_t, &uid);
    credmap_svr_getpwsid_req_t by_sid{hdr, user};
    seed(CREDMAP_PROC_SVR_GETPWSID, "getpwsid", (xdrproc_t)xdr_credmap_svr_getpwsid_req_t, &by_sid);
    credmap_lookup_user_sid_credentials_req_t group_name{hdr, staff};
    seed(CREDMAP_PROC_SVR_GETGRNAM, "getgrnam", (xdrproc_t)xdr_credmap_lookup_user_sid_credentials_req_t, &group_name);
    credmap_svr_getgrgid_req_t gid{hdr, 1201};
    seed(CREDMAP_PROC_SVR_GETGRGID, "getgrgid", (xdrproc_t)xdr_credmap_svr_getgrgid_req_t, &gid);
    credmap_svr_getpwsid_req_t group_sid{hdr, group};
    seed(CREDMAP_PROC_SVR_GETGRSID, "getgrsid", (xdrproc_t)xdr_credmap_svr_getpwsid_req_t, &group_sid);
    credmap_lookup_credentials_req_t ids{hdr, CREDMAP_REQUEST_WORD, {1104, 1201, 2, 0, {1201, 1202}}};
    seed(CREDMAP_PROC_LOOKUP_CREDENTIALS, "lookup_credentials", (xdrproc_t)xdr_credmap_lookup_credentials_req_t, &ids);
    seed(CREDMAP_PROC_LOOKUP_CREDENTIALS, "lookup_credentials_hostile", (xdrproc_t)xdr_credmap_lookup_credentials_req_t,
         &ids, 1);
    credmap_lookup_string_credentials_sid_req_t names_sid{hdr, CREDMAP_REQUEST_WORD, names};
    seed(CREDMAP_PROC_LOOKUP_STRING_CREDENTIALS_SID, "string_credentials_sid",
         (xdrproc_t)xdr_credmap_lookup_string_credentials_sid_req_t, &names_sid);
    credmap_lookup_sid_credentials_req_t sids{hdr, CREDMAP_REQUEST_WORD, {user, group, 1, {group}}};
    seed(CREDMAP_PROC_LOOKUP_SID_CREDENTIALS, "sid_credentials", (xdrproc_t)xdr_credmap_lookup_sid_credentials_req_t,
         &sids);
    char *groups[3] = {staff, ghost, quincy};
    credmap_lookup_whole_string_credentials_req_t whole{hdr, CREDMAP_REQUEST_WORD, {quincy, staff, 3, groups}};
    seed(CREDMAP_PROC_LOOKUP_WHOLE_STRING_CREDENTIALS, "whole_string_credentials",
         (xdrproc_t)xdr_credmap_lookup_whole_string_credentials_req_t, &whole);
    seed(CREDMAP_PROC_LOOKUP_WHOLE_STRING_CREDENTIALS, "whole_string_credentials_hostile",
         (xdrproc_t)xdr_credmap_lookup_whole_string_credentials_req_t, &whole, 1);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::seed_mode(write_seeds);
    std::string error;
    fuzz::check(credmap_server::load_directory(VELMO_ACCOUNTS_PATH, &config.directory, &error),
                "the sample domain loads");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input in{data, size};
    svc_req request{};
    request.rq_prog = CREDMAP_PROG;
    request.rq_vers = CREDMAP_VERS;
    request.rq_proc = fuzz::take_byte(&in) % kProcedures;
    configure(fuzz::take_byte(&in));
    fuzz::FakeTransport transport;
    fuzz::make_fake_transport(&transport, in);
    request.rq_xprt = &transport.xprt;
    credmap_server::dispatch(&request, &transport.xprt);
    fuzz::check(transport.replies <= 1, "one reply at most");
    fuzz::check(transport.unencodable == 0, "every reply encodes");
    return 0;
}
