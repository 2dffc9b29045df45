// credmap: the library's operations from a shell.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "commands.h"
#include "output.h"

namespace {

struct Command {
    const char *name;
    const char *usage;
    const char *help;
};

const Command kCommands[] = {
    {"classify", "classify HOST",
     "Asks HOST's location broker what the host is, and says whether credentials are\n"
     "mapped for it (a Windows host) or taken as they are."},
    {"to-remote", "to-remote HOST [--whole] [--uid N [--gid N] [--groups N,N,...]] [--repeat N] [--stats]",
     "Maps local credentials to the SIDs HOST knows and prints the local and the\n"
     "remote SIDs side by side.  Without options: this process's own credentials;\n"
     "--uid, --gid and --groups name another UNIX identity (--uid alone takes the\n"
     "account's primary group).  The credentials hold at most 32 groups; with\n"
     "--whole any number (the process's complete credentials by default).\n"
     "--repeat N maps N times in this process and shows, for each time, the RPC\n"
     "requests it sent (to the host's location broker and credmap_server) and how\n"
     "long it took: the cache answers from the second time on.  --stats prints the\n"
     "library's cache statistics afterwards."},
    {"to-local", "to-local HOST --user SID --group SID [--groups SID,...] [--repeat N] [--stats]",
     "Maps SIDs that HOST gave a caller (S-1-5-21-..., or nobody, dontcare) to\n"
     "local SIDs and prints them beside the local account and group names.  Names\n"
     "without a local account or group map to nobody.  --repeat N and --stats as\n"
     "for to-remote."},
    {"to-posix", "to-posix HOST [--uid N [--gid N] [--groups N,N,...]]",
     "Prints the POSIX ids (uid, gid, groups) HOST gives local credentials beside\n"
     "the local ones: the local ids for a UNIX host, the ids HOST's credmap_server\n"
     "assigns for a Windows host (groups sorted, those without an id left out).\n"
     "Without options: this process's own credentials."},
    {"auth", "auth HOST [--uid N [--gid N] [--groups N,N,...]] [--call PROG VERS [ADDR:PORT]]",
     "Builds the AUTH_UNIX authentication the library gives calls to HOST and\n"
     "prints what a server receives: machine name, uid, gid and at most 16\n"
     "groups.  \"nobody\" when no credentials can be had; none (exit status 1)\n"
     "when HOST refuses them.  --call makes a real null call to program PROG,\n"
     "version VERS with it, at ADDR:PORT or through the rpcbind of HOST's address."},
    {"acl", "acl HOST --to-remote|--to-local [--mode strict|drop|keep] FILE|-",
     "Converts an access list for HOST: --to-remote gives every user and group\n"
     "entry the SID HOST knows for it, --to-local turns HOST's SIDs into local ones.\n"
     "Reads the list's text form (one entry a line: user SID RIGHTS, group SID\n"
     "RIGHTS, owner RIGHTS, owner-group RIGHTS, other RIGHTS, mask RIGHTS, kind N\n"
     "SID RIGHTS; RIGHTS letters of rwxdc or a number; see docs/access-lists.md)\n"
     "and prints the converted list in the same form.  Entries that cannot be\n"
     "converted end the conversion (--mode strict, the only mode --to-remote\n"
     "has), are left out (drop) or kept as they were (keep); they are named on\n"
     "standard error and the exit status is then 1."},
    {"rolemap", "rolemap HOST --to-remote|--to-local [--mode strict|drop|keep] FILE|-",
     "Converts a role map as acl converts an access list.  The text form: a line\n"
     "\"role NAME\" starts each role, the entries bound to it follow.  Roles left\n"
     "without entries are not printed."},
    {"getpwnam", "getpwnam HOST NAME...", "Looks accounts up by name on HOST's credmap_server."},
    {"getpwuid", "getpwuid HOST UID...", "Looks accounts up by the POSIX id HOST gives them."},
    {"getgrnam", "getgrnam HOST NAME...", "Looks groups up by name on HOST's credmap_server."},
    {"getgrgid", "getgrgid HOST GID...", "Looks groups up by the POSIX id HOST gives them."},
    {"stats", "stats",
     "Prints the library's cache statistics of this process (zeros in a fresh one;\n"
     "--stats on to-remote and to-local prints them after the mappings)."},
    {"dump", "dump", "Prints the library's caches of this process (empty in a fresh one)."},
    {"hosts", "hosts",
     "Lists the hosts of the hosts file named by VELMO_HOSTS with each host's class,\n"
     "as the library classifies it: the local host, a Windows (NT) host whose\n"
     "credentials are mapped, a host in my credentials domain (credentials taken as\n"
     "they are), or unreachable (its location broker did not answer; the reason\n"
     "follows)."},
    {"version", "version", "Prints the tool's version and the library's identification line (as --version)."},
    {"demo", "demo [--ldap]",
     "Starts a simulated Windows host and a simulated UNIX host on loopback and\n"
     "shows credentials mapped for them, answered from the cache the second time,\n"
     "and the cache.  With --ldap the Windows host's credmap_server reads its\n"
     "accounts from a throw-away slapd holding the sample domain (slapd must be\n"
     "installed).  Stops its daemons on every way out, Ctrl-C included.  Text\n"
     "only: it has no JSON form."},
};

void usage(FILE *out)
{
    std::fputs("usage: credmap [--json] [--verbose] COMMAND [ARGUMENT]...\n"
               "Maps user and group credentials between this host and remote hosts.\n\n"
               "Commands:\n",
               out);
    for (const auto &c : kCommands)
        std::fprintf(out, "  %s\n", c.usage);
    std::fputs("\n  --json     print results as JSON, for scripts: one document, ended by a\n"
               "             newline, also when the operation fails\n"
               "  --verbose  print every message of the library as it comes (without it, a\n"
               "             message the library repeats is printed once)\n"
               "  --version  the tool's version and the library's identification line\n"
               "  --help     this text; COMMAND --help describes a command\n\n"
               "Hosts are found through the hosts file named by VELMO_HOSTS, else the\n"
               "resolver.  Exit status: 0 on success, 1 when an operation failed (the reason on\n"
               "standard error), 2 for bad usage.\n",
               out);
}

const Command *find(const std::string &name)
{
    for (const auto &c : kCommands)
        if (name == c.name)
            return &c;
    return nullptr;
}

int run(const std::string &name, const credmap_tool::Context &c)
{
    using namespace credmap_tool;
    if (name == "classify")
        return cmd_classify(c);
    if (name == "to-remote")
        return cmd_to_remote(c);
    if (name == "to-local")
        return cmd_to_local(c);
    if (name == "to-posix")
        return cmd_to_posix(c);
    if (name == "auth")
        return cmd_auth(c);
    if (name == "acl")
        return cmd_acl(c);
    if (name == "rolemap")
        return cmd_rolemap(c);
    if (name == "stats")
        return cmd_stats(c);
    if (name == "dump")
        return cmd_dump(c);
    if (name == "version")
        return cmd_version(c);
    if (name == "hosts")
        return cmd_hosts(c);
    if (name == "demo")
        return cmd_demo(c);
    return cmd_lookup(name, c);
}

// With --json, standard output carries one document: when a command failed
// before it printed one, the failure is the document.  Whatever the library
// prints to standard output later (the cache dump at exit that
// KORVANTIS_CREDMAP_DUMP asks for) goes to standard error instead.
int finish_json(int status)
{
    if (!credmap_tool::json_printed() && status == 1)
        credmap_tool::print_json(credmap_tool::failure_json());
    std::fflush(stdout);
    dup2(STDERR_FILENO, STDOUT_FILENO);
    return status;
}

}  // namespace

int main(int argc, char **argv)
{
    credmap_tool::Context context;
    std::string command;
    bool help = false, version = false, verbose = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--json")
            context.json = true;
        else if (arg == "--verbose")
            verbose = true;
        else if (arg == "--version")
            version = true;
        else if (arg == "--help" || arg == "-h")
            help = true;
        else if (command.empty())
            command = arg;
        else
            context.args.push_back(arg);
    }
    if (!verbose)
        credmap_tool::fold_library_messages();
    if (version && !help)
        command = "version";
    if (command.empty()) {
        usage(help ? stdout : stderr);
        return help ? 0 : 2;
    }
    const Command *c = find(command);
    if (c == nullptr) {
        std::fprintf(stderr, "credmap: unknown command \"%s\"\n", command.c_str());
        usage(stderr);
        return 2;
    }
    if (help) {
        std::printf("usage: credmap [--json] [--verbose] %s\n%s\n", c->usage, c->help);
        return 0;
    }
    if (context.json && command == "demo")
        return credmap_tool::bad_usage("demo prints text only; run it without --json");
    int status = run(command, context);
    return context.json ? finish_json(status) : status;
}
