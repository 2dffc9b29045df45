// A throw-away OpenLDAP server for the tests (slapd.h).
#include "slapd.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ldap.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <thread>

namespace ldaptest {
namespace {

// A loopback address for this process's directories: tests that run at
// once each have their own, so that while one directory is stopped no
// other can take its address and port and answer in its place.
std::string own_address()
{
    unsigned pid = static_cast<unsigned>(getpid());
    return "127.77." + std::to_string((pid >> 8) & 0xff) + "." + std::to_string(1 + pid % 254);
}

// A port nothing listens on now.
unsigned free_port(const std::string &address)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    socklen_t length = sizeof a;
    unsigned port = 0;
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &length) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

// Whether the server answers a search of the base entry.
bool answers(const std::string &uri)
{
    LDAP *ld = nullptr;
    if (ldap_initialize(&ld, uri.c_str()) != LDAP_SUCCESS)
        return false;
    int version = LDAP_VERSION3;
    ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
    timeval limit{1, 0};
    LDAPMessage *result = nullptr;
    int rc = ldap_search_ext_s(ld, kBase.c_str(), LDAP_SCOPE_BASE, "(objectClass=*)", nullptr, 0, nullptr, nullptr,
                               &limit, 1, &result);
    ldap_msgfree(result);
    ldap_unbind_ext_s(ld, nullptr, nullptr);
    return rc == LDAP_SUCCESS;
}

}  // namespace

std::string example(const std::string &name)
{
    return std::string(VELMO_EXAMPLES_DIR) + "/ldap/" + name;
}

bool slapd_installed()
{
    return access("/usr/sbin/slapd", X_OK) == 0 && access("/usr/sbin/slapadd", X_OK) == 0;
}

Slapd::Slapd(const std::vector<std::string> &ldifs) : ldifs_(ldifs)
{
    char folder[] = "/tmp/velmo-slapd-XXXXXX";
    dir_ = mkdtemp(folder);
    address_ = own_address();
    // Another program may take the port between the choice and the bind.
    for (int attempt = 0; attempt < 5 && !ok(); ++attempt) {
        port_ = free_port(address_);
        start();
    }
}

Slapd::~Slapd()
{
    stop();
    std::string command = "rm -rf '" + dir_ + "'";
    (void)!std::system(command.c_str());
}

std::string Slapd::uri() const
{
    return "ldap://" + address_ + ":" + std::to_string(port_);
}

bool Slapd::start()
{
    pid_ = fork();
    if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        int log = open((dir_ + "/slapd.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        dup2(log, STDOUT_FILENO);
        dup2(log, STDERR_FILENO);
        std::vector<std::string> argv = {example("run-slapd.sh"), dir_, address_, std::to_string(port_), kBase};
        argv.insert(argv.end(), ldifs_.begin(), ldifs_.end());
        std::vector<char *> args;
        for (auto &a : argv)
            args.push_back(a.data());
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    // The one that answers must be ours: slapd writes its pid file once it
    // listens.
    std::string pid_file = dir_ + "/slapd.pid";
    unlink(pid_file.c_str());
    for (int i = 0; i < 300; ++i) {
        pid_t written = 0;
        if ((std::ifstream(pid_file) >> written) && written == pid_ && answers(uri()))
            return true;
        if (waitpid(pid_, nullptr, WNOHANG) == pid_)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    stop();
    return false;
}

void Slapd::stop()
{
    if (pid_ <= 0)
        return;
    kill(pid_, SIGCONT);
    kill(pid_, SIGTERM);
    bool gone = false;
    for (int i = 0; i < 500 && !gone; ++i) {
        gone = waitpid(pid_, nullptr, WNOHANG) == pid_;
        if (!gone)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!gone) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
}

void Slapd::pause()
{
    kill(pid_, SIGSTOP);
}

void Slapd::resume()
{
    kill(pid_, SIGCONT);
}

}  // namespace ldaptest
