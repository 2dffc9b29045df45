// A throw-away OpenLDAP server for the tests of the LDAP account source:
// examples/ldap/run-slapd.sh on a loopback port of its own, with its
// configuration and database in a temporary folder that goes with it.
#ifndef TESTS_LDAP_SLAPD_H
#define TESTS_LDAP_SLAPD_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace ldaptest {

// The sample domain's entry, and the files of examples/ldap.
inline const std::string kBase = "dc=korvantis,dc=example";
std::string example(const std::string &name);
bool slapd_installed();

class Slapd {
public:
    // Loads the LDIF files and starts the server; see ok().
    explicit Slapd(const std::vector<std::string> &ldifs);
    // Stops the server and removes its folder.
    ~Slapd();
    Slapd(const Slapd &) = delete;
    Slapd &operator=(const Slapd &) = delete;

    bool ok() const { return pid_ > 0; }
    std::string uri() const;
    const std::string &dir() const { return dir_; }
    // Stops it (SIGTERM), or starts it again on the same port and
    // database, waiting until it answers.
    void stop();
    bool start();
    // Stops it answering (SIGSTOP) and lets it go on (SIGCONT).
    void pause();
    void resume();

private:
    std::string dir_;
    std::vector<std::string> ldifs_;
    std::string address_;  // a loopback address of this process's own
    unsigned port_ = 0;
    pid_t pid_ = -1;
};

}  // namespace ldaptest

#endif
