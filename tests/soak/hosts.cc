// The simulated hosts of the soak and the faults done to them.
#include "hosts.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <thread>

namespace soak {
namespace {

void pause_ms(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Everything is prepared before the fork: between fork and exec a child of
// a threaded process may only make async-signal-safe calls.
pid_t spawn(const std::vector<std::string> &argv, const std::string &log)
{
    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    pid_t pid = fork();
    if (pid == 0) {
        // A daemon ends with the soak, even one that crashed, and holds
        // none of the soak's descriptors (the sockets of calls in flight).
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        dup2(out, STDERR_FILENO);
        close_range(3, ~0U, 0);
        execv(args[0], args.data());
        _exit(127);
    }
    close(out);
    close(null);
    return pid;
}

std::string how_it_ended(const siginfo_t &info)
{
    if (info.si_code == CLD_EXITED)
        return "exit status " + std::to_string(info.si_status);
    return std::string("signal ") + strsignal(info.si_status);
}

std::string how_it_ended(int status)
{
    if (WIFEXITED(status))
        return "exit status " + std::to_string(WEXITSTATUS(status));
    return std::string("signal ") + strsignal(WTERMSIG(status));
}

// The pids that /proc lists as children of any thread of `pid`.
std::vector<pid_t> children(const std::string &pid)
{
    std::vector<pid_t> out;
    std::string tasks = "/proc/" + pid + "/task";
    DIR *dir = opendir(tasks.c_str());
    if (dir == nullptr)
        return out;
    while (dirent *e = readdir(dir)) {
        if (e->d_name[0] == '.')
            continue;
        std::ifstream in(tasks + "/" + e->d_name + "/children");
        for (pid_t child; in >> child;)
            out.push_back(child);
    }
    closedir(dir);
    return out;
}

bool has_children()
{
    siginfo_t info{};
    return !(waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0 && errno == ECHILD);
}

}  // namespace

bool start_hubd(Host &host, const Setup &setup)
{
    std::string base = setup.dir + "/" + host.name;
    unlink((base + ".port").c_str());
    const char *os = host.windows ? "Windows Server 2022" : "Linux";
    std::vector<std::string> argv = {
        setup.hubd,    "--address", host.address, "--port", std::to_string(host.port), "--port-file", base + ".port",
        "--host-name", host.name,   "--os-name",  os};
    // A Windows host's hubd starts its credmap_server when asked for it.
    std::string server = "credmap_server='" + setup.server + "' --accounts '" + setup.accounts + "'";
    if (host.windows)
        argv.insert(argv.end(), {"--start", server});
    pid_t pid = spawn(argv, base + ".log");
    for (int i = 0; i < 500; ++i) {
        std::ifstream in(base + ".port");
        unsigned port = 0;
        if (in >> port && port != 0) {
            host.port = port;
            host.hubd = pid;
            return true;
        }
        int status;
        if (waitpid(pid, &status, WNOHANG) == pid)
            return false;
        pause_ms(10);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return false;
}

int stop_hubd(Host &host)
{
    int status = 0;
    if (host.hubd <= 0)
        return status;
    kill(host.hubd, SIGTERM);
    // A hubd busy starting a server answers the signal once the start ends
    // (10 s at most).
    for (int i = 0; i < 1500; ++i) {
        if (waitpid(host.hubd, &status, WNOHANG) == host.hubd) {
            host.hubd = -1;
            return status;
        }
        pause_ms(10);
    }
    kill(host.hubd, SIGKILL);
    waitpid(host.hubd, &status, 0);
    host.hubd = -1;
    return status;
}

pid_t server_of(const Host &host)
{
    if (host.hubd <= 0)
        return -1;
    for (pid_t pid : children(std::to_string(host.hubd))) {
        // A server being started is a shell for a moment.
        std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
        std::string name;
        if (comm >> name && name == "credmap_server")
            return pid;
    }
    return -1;
}

bool handles(pid_t pid, int signo)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("SigCgt:", 0) == 0)
            return (std::stoull(line.substr(7), nullptr, 16) >> (signo - 1)) & 1;
    }
    return false;
}

void reap(std::vector<Host> &hosts, std::vector<std::string> *problems)
{
    for (;;) {
        siginfo_t info{};
        if (waitid(P_ALL, 0, &info, WEXITED | WNOHANG) != 0 || info.si_pid == 0)
            return;
        bool was_hubd = false;
        for (auto &h : hosts) {
            if (h.hubd == info.si_pid) {
                h.hubd = -1;
                was_hubd = true;
                problems->push_back("the hubd of " + h.name + " ended on its own: " + how_it_ended(info));
            }
        }
        // A server that its hubd stopped ends cleanly, or by SIGTERM when
        // the signal came before its handler was in place.
        bool clean = (info.si_code == CLD_EXITED && info.si_status == 0) ||
                     (info.si_code == CLD_KILLED && info.si_status == SIGTERM);
        if (!was_hubd && !clean)
            problems->push_back("a credmap_server left by a restarted hubd ended with " + how_it_ended(info));
    }
}

int stop_all(std::vector<Host> &hosts, std::vector<std::string> *problems)
{
    for (auto &h : hosts) {
        if (h.hubd <= 0)
            continue;
        int status = stop_hubd(h);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            problems->push_back("the hubd of " + h.name + " stopped with " + how_it_ended(status));
    }
    // The servers had SIGTERM from their hubds; one whose hubd had to be
    // killed had not.  A slow server ends once its reply is out.
    for (pid_t pid : children("self"))
        kill(pid, SIGTERM);
    for (int i = 0; i < 1000 && has_children(); ++i) {
        reap(hosts, problems);
        pause_ms(10);
    }
    int killed = 0;
    for (pid_t pid : children("self")) {
        kill(pid, SIGKILL);
        ++killed;
    }
    while (waitpid(-1, nullptr, 0) > 0) {
    }
    return killed;
}

void write_hosts_file(const std::string &path, const std::vector<Host> &hosts)
{
    // Written whole and renamed into place: the library reads the file at
    // every look-up.
    std::ofstream out(path + ".tmp");
    out << "# the simulated hosts of one soak run\n";
    for (const auto &h : hosts)
        out << h.name << " " << h.address << " " << h.port << "\n";
    out.close();
    rename((path + ".tmp").c_str(), path.c_str());
}

std::vector<std::string> sanitizer_reports(const std::vector<Host> &hosts, const Setup &setup)
{
    std::vector<std::string> lines;
    for (const auto &h : hosts) {
        std::ifstream in(setup.dir + "/" + h.name + ".log");
        for (std::string line; std::getline(in, line);) {
            if (line.find("Sanitizer") != std::string::npos || line.find("runtime error:") != std::string::npos)
                lines.push_back(h.name + ".log: " + line);
        }
    }
    return lines;
}

}  // namespace soak
