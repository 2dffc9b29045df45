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
#include <thread>

namespace ldaptest {
namespace {

// A port nothing listens on now.
unsigned free_port()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
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
    // Another program may take the port between the choice and the bind.
    for (int attempt = 0; attempt < 5 && !ok(); ++attempt) {
        port_ = free_port();
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
    return "ldap://127.0.0.1:" + std::to_string(port_);
}

bool Slapd::start()
{
    pid_ = fork();
    if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        int log = open((dir_ + "/slapd.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        dup2(log, STDOUT_FILENO);
        dup2(log, STDERR_FILENO);
        std::vector<std::string> argv = {example("run-slapd.sh"), dir_, "127.0.0.1", std::to_string(port_), kBase};
        argv.insert(argv.end(), ldifs_.begin(), ldifs_.end());
        std::vector<char *> args;
        for (auto &a : argv)
            args.push_back(a.data());
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    for (int i = 0; i < 300; ++i) {
        if (answers(uri()))
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
