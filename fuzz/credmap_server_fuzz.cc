// credmap_server's dispatch on hostile requests, answered from the sample
// domain.  Input: the procedure, a byte of misbehaviour switches, the arguments.
#include "fuzz_support.h"
#include "server.h"
#include "velmo/credmap_prot.h"

using credmap_server::config;

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    std::string error;
    fuzz::check(credmap_server::load_directory(VELMO_ACCOUNTS_PATH, &config.directory, &error),
                "the sample domain loads");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const uint32_t kAnswerGroups[] = {IDKIT_WHOLE_MAX_GROUPS, 0, 1, IDKIT_MAX_GROUPS};
    fuzz::Input in{data, size};
    uint32_t proc = in.byte() % 26;  // every procedure, and a few that are not
    uint8_t switches = in.byte();
    config.too_many_groups = (switches & 1) != 0;
    config.nt_attribute = (switches & 2) == 0;
    config.answer_groups = kAnswerGroups[(switches >> 2) & 3];
    config.ignore_contacts = (switches & 16) != 0 ? 1 : 0;
    config.reset_contacts = (switches & 32) != 0 ? 1 : 0;
    config.exit_requested = false;
    int replies = fuzz::serve(CREDMAP_PROG, CREDMAP_VERS, proc, in, credmap_server::dispatch);
    fuzz::check(replies <= 1, "one reply at most");
    return 0;
}
