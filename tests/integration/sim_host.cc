// Simulated hosts for tests.
#include "sim_host.h"

#include "local_accounts.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace sim {
// Everything is prepared before the fork: the child of a threaded process may only make async-signal-safe calls.
pid_t spawn(std::vector<std::string> argv, const std::string &log)
{
    std::vector<char *> args;
    for (auto &a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);
    int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    pid_t pid = fork();
    if (pid == 0) {
        // A daemon ends with the test that started it, even one that crashed, and holds none of its sockets.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        dup2(out, STDERR_FILENO);
        close_range(3, ~0U, 0);
        execv(args[0], args.data());
        _exit(127);
    }
    close(null);
    close(out);
    return pid;
}

unsigned wait_port(const std::string &file)
{
    for (int i = 0; i < 500; ++i) {
        std::ifstream in(file);
        unsigned port = 0;
        if (in >> port && port != 0)
            return port;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return 0;
}

int stop(pid_t pid)
{
    int status = 0;
    if (pid <= 0)
        return status;
    kill(pid, SIGCONT);
    kill(pid, SIGTERM);
    for (int i = 0; i < 300; ++i) {
        if (waitpid(pid, &status, WNOHANG) != 0)
            return status;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return status;
}

std::string hubd_path()
{
    return VELMO_HUBD_PATH;
}
std::string server_path()
{
    return VELMO_SERVER_PATH;
}
std::string accounts_path()
{
    return VELMO_ACCOUNTS_PATH;
}
std::string recorder_path()
{
    return VELMO_RECORDER_PATH;
}

Network::Network()
{
    char templ[] = "/tmp/velmo-sim-XXXXXX";
    dir_ = mkdtemp(templ);
    // Other users reach the hubds' sockets in it (tests that register as
    // another user), without listing it.
    chmod(dir_.c_str(), 0711);
    const char *old = std::getenv("VELMO_HOSTS");
    had_hosts_ = old != nullptr;
    if (had_hosts_)
        saved_hosts_ = old;
    setenv("VELMO_HOSTS", (dir_ + "/hosts").c_str(), 1);
    write_hosts_file();
}

Network::~Network()
{
    for (auto &h : hosts_) {
        stop(h.server_pid);
        stop(h.hubd_pid);
    }
    stop(recorder_pid_);
    if (had_hosts_)
        setenv("VELMO_HOSTS", saved_hosts_.c_str(), 1);
    else
        unsetenv("VELMO_HOSTS");
    std::string command = "rm -rf '" + dir_ + "'";
    (void)!system(command.c_str());
}

Host &Network::add(const std::string &name, const HostOptions &options)
{
    Host h;
    h.name = name;
    // Each host has a loopback address of its own: 127.0.0.2, .3, ...
    h.address = "127.0.0." + std::to_string(2 + hosts_.size() + unreachable_.size());
    std::string base = dir_ + "/" + name;
    h.request_log = base + ".requests";
    h.socket = base + ".socket";
    h.log = base + ".log";
    std::vector<std::string> server = {server_path(), "--accounts", accounts_path(), "--log-requests", h.request_log};
    server.insert(server.end(), options.server_args.begin(), options.server_args.end());
    std::vector<std::string> hubd = {hubd_path(), "--address", h.address, "--port",   "0",
                                     "--port-file", base + ".hubd-port", "--socket",  h.socket,
                                     "--host-name", name, "--os-name", options.os_name};
    if (!options.hostinfo)
        hubd.push_back("--no-hostinfo");
    hubd.insert(hubd.end(), options.hubd_args.begin(), options.hubd_args.end());
    if (options.server && options.on_demand) {
        std::string command;
        for (const auto &a : server)
            command += "'" + a + "' ";
        hubd.push_back("--start");
        hubd.push_back("credmap_server=" + command);
    }
    h.hubd_pid = spawn(hubd, h.log);
    h.hubd_port = wait_port(base + ".hubd-port");
    EXPECT_NE(h.hubd_port, 0u) << "hubd of " << name << " did not start";
    if (options.server && !options.on_demand && h.hubd_port != 0) {
        server.insert(server.end(),
                      {"--address", h.address, "--port-file", base + ".server-port", "--hubd-socket", h.socket});
        h.server_pid = spawn(server, h.log);
        EXPECT_NE(wait_port(base + ".server-port"), 0u) << "credmap_server of " << name << " did not start";
    }
    hosts_.push_back(h);
    std::erase_if(unreachable_, [&](const auto &u) { return u.first == name; });
    write_hosts_file();
    return hosts_.back();
}

int Network::stop_hubd(const Host &host)
{
    for (auto &h : hosts_) {
        if (&h == &host) {
            int status = stop(h.hubd_pid);
            h.hubd_pid = -1;
            return status;
        }
    }
    return -1;
}

void Network::add_unreachable(const std::string &name)
{
    // An address of its own on which nothing listens.
    std::string address = "127.0.0." + std::to_string(2 + hosts_.size() + unreachable_.size());
    unreachable_.emplace_back(name, address);
    write_hosts_file();
}

void Network::write_hosts_file() const
{
    std::ofstream out(dir_ + "/hosts");
    out << "# simulated hosts of one test\n";
    for (const auto &h : hosts_)
        out << h.name << " " << h.address << " " << h.hubd_port << "\n";
    for (const auto &[name, address] : unreachable_)
        out << name << " " << address << " 9\n";
}

unsigned Network::add_recorder(unsigned long program, unsigned long version)
{
    std::string base = dir_ + "/recorder";
    recorder_pid_ = spawn({recorder_path(), "--port-file", base + ".port", "--log", base + ".calls", "--program",
                           std::to_string(program), "--version", std::to_string(version)},
                          base + ".log");
    unsigned port = wait_port(base + ".port");
    EXPECT_NE(port, 0u) << "the recording server did not start";
    return port;
}

std::vector<std::string> Network::recorded() const
{
    std::vector<std::string> lines;
    std::ifstream in(dir_ + "/recorder.calls");
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

bool mirror_accounts()
{
    static bool done = false;
    if (done)
        return true;
    if (geteuid() != 0)
        return false;
    std::string passwd = "alice:x:41104:100:Alice Liddell:/home/alice:/bin/sh\n", group, error;
    credmap_tool::quincy_accounts(&passwd, &group);
    for (int i = 1; i <= 500; ++i)
        group += "lab" + std::string(i < 10 ? "00" : i < 100 ? "0" : "") + std::to_string(i) + ":x:" +
                 std::to_string(50000 + i) + ":\n";
    done = credmap_tool::add_local_accounts(passwd, group, &error);
    EXPECT_TRUE(done) << error;
    return done;
}

std::vector<std::string> Network::requests(const Host &host) const
{
    std::vector<std::string> lines;
    std::ifstream in(host.request_log);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

pid_t Network::server_pid(const Host &host) const
{
    if (host.server_pid > 0)
        return host.server_pid;
    // Started by the hubd: find the child of the hubd.
    std::ifstream children("/proc/" + std::to_string(host.hubd_pid) + "/task/" + std::to_string(host.hubd_pid) +
                           "/children");
    pid_t pid = -1;
    children >> pid;
    return pid;
}

}  // namespace sim
