// credmap: the library's operations from a shell.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <algorithm>
#include <set>
#include <string>
#include <vector>

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
     "Prints the library's cache statistics of this process: zeros in a fresh one,\n"
     "so run it after mappings in a shell (or use --stats on to-remote and to-local)."},
    {"dump", "dump",
     "Prints the library's caches of this process: empty in a fresh one, so run it\n"
     "after mappings in a shell."},
    {"check", "check HOST [--timeout SECS]",
     "Walks the road to HOST's credmap_server step by step and says where it breaks:\n"
     "name (the hosts-file line or the resolver), broker (HOST's hubd reached),\n"
     "host (its operating system and class), server (where the broker locates\n"
     "credmap_server), contact (the server's attributes and domain) and mapping\n"
     "(this process's own credentials).  Each step with its time and verdict; it\n"
     "stops at the first failure with the reason and what to try (exit status 1).\n"
     "A host in my credentials domain needs no server: those steps are skipped.\n"
     "--timeout SECS gives up on a step after SECS seconds (1 to 3600; without it a\n"
     "step waits as long as the library does, up to minutes for a silent server)."},
    {"shell", "shell",
     "Reads commands, one a line as they follow \"credmap\" (global options\n"
     "included), from standard input and runs them in this one process, so that\n"
     "the caches the library fills stay: dump after a mapping shows its entries,\n"
     "stats shows a repeated mapping answered from the cache.  A prompt is shown\n"
     "when standard input is a terminal; '#' starts a comment; words may be quoted\n"
     "with ' or \".  \"exit\" or the end of the input ends it.  Exit status: the\n"
     "highest of its commands'."},
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
    std::fputs("\n  --json     print results as JSON, for scripts (see below)\n"
               "  --verbose  print every message of the library as it comes (without it, a\n"
               "             message the library repeats is printed once), and say at once\n"
               "             what a command waits for\n"
               "  --version  the tool's version and the library's identification line\n"
               "  --help     this text; COMMAND --help describes a command\n\n"
               "Hosts are found through the hosts file named by VELMO_HOSTS, else the\n"
               "resolver; a failure says which, and what to fix.  A command that waits more\n"
               "than two seconds says on standard error what for, when that is a terminal.\n\n"
               "Every command holds to one contract:\n"
               "  - Global options stand anywhere; a command's options follow its HOST.  An\n"
               "    option with a value is given as --opt VALUE or --opt=VALUE.\n"
               "  - Numbers are decimal digits only, range checked (ids 0 to 4294967295).\n"
               "  - An unknown option, a missing value or an argument too many is bad usage.\n"
               "  - With --json, standard output carries one JSON object ended by a newline,\n"
               "    failures and bad usage included, with at least \"status\" (0, or the\n"
               "    status of the last failure) and \"message\" (its text).\n"
               "Exit status: 0 on success; 1 when an operation failed, also when some of its\n"
               "entries (keys, access-list entries, --repeat runs) succeeded and others did\n"
               "not (the results are printed, each failure is named on standard error); 2 for\n"
               "bad usage.\n",
               out);
}

const Command *find_command(const std::string &name)
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
    if (name == "check")
        return cmd_check(c);
    if (name == "shell")
        return cmd_shell(c);
    return cmd_lookup(name, c);
}

// The host a command works on, for the note of what it waits for.
std::string host_of(const std::string &name, const credmap_tool::Context &c)
{
    static const std::set<std::string> without = {"stats", "dump", "version", "hosts", "demo", "shell"};
    if (without.count(name) != 0 || c.args.empty() || c.args[0].rfind("--", 0) == 0)
        return "";
    return c.args[0];
}

// With --json, standard output carries one document: when a command failed
// before it printed one, the failure is the document.
int finish_json_if(bool json, int status)
{
    if (json && !credmap_tool::json_printed() && status != 0)
        credmap_tool::print_json(credmap_tool::failure_json());
    return status;
}

bool verbose_at_start = false;

}  // namespace

namespace credmap_tool {

int run_words(const std::vector<std::string> &words, bool in_shell)
{
    start_command();
    Context context;
    context.in_shell = in_shell;
    context.verbose = verbose_at_start;
    std::string command;
    bool help = false, version = false;
    for (const auto &arg : words) {
        if (arg == "--json")
            context.json = true;
        else if (arg == "--verbose")
            context.verbose = true;
        else if (arg == "--version")
            version = true;
        else if (arg == "--help" || arg == "-h")
            help = true;
        else if (command.empty() && arg.rfind("-", 0) == 0)
            return finish_json_if(context.json, bad_usage("unknown option " + arg.substr(0, arg.find('='))));
        else if (command.empty())
            command = arg;
        else
            context.args.push_back(arg);
    }
    if (version && !help)
        command = "version";
    if (command.empty()) {
        if (context.json && !help)
            return finish_json_if(true, bad_usage("a COMMAND is needed"));
        usage(help ? stdout : stderr);
        return help ? 0 : 2;
    }
    const Command *c = find_command(command);
    if (c == nullptr) {
        int status = bad_usage("unknown command \"" + command + "\"");
        if (!context.json && !in_shell)
            usage(stderr);
        return finish_json_if(context.json, status);
    }
    if (help) {
        std::printf("usage: credmap [--json] [--verbose] %s\n%s\n", c->usage, c->help);
        return 0;
    }
    if (context.json && command == "demo")
        return finish_json_if(true, bad_usage("demo prints text only; run it without --json"));
    if (in_shell && (command == "shell" || command == "demo"))
        return finish_json_if(context.json, bad_usage(command + " does not run inside the shell"));
    int status;
    {
        WaitNotes notes(host_of(command, context), context.verbose);
        status = run(command, context);
    }
    return finish_json_if(context.json, status);
}

}  // namespace credmap_tool

int main(int argc, char **argv)
{
    std::vector<std::string> words(argv + 1, argv + argc);
    for (const auto &w : words)
        verbose_at_start = verbose_at_start || w == "--verbose";
    if (!verbose_at_start)
        credmap_tool::fold_library_messages();
    int status = credmap_tool::run_words(words, false);
    // Whatever the library prints to standard output after the document
    // (the cache dump at exit that KORVANTIS_CREDMAP_DUMP asks for) goes to
    // standard error, so that standard output stays one JSON document.
    if (std::find(words.begin(), words.end(), "--json") != words.end()) {
        std::fflush(stdout);
        dup2(STDERR_FILENO, STDOUT_FILENO);
    }
    return credmap_tool::end_process(status);
}
