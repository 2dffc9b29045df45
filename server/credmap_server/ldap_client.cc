// Connections to an LDAP directory server (ldap_client.h).
#include "ldap_client.h"

#include <ldap.h>

#include <cctype>
#include <cstdio>

#include "daemon.h"

namespace credmap_server {
namespace {

// Entries a page asks for: no more than directory servers allow a page
// (Active Directory 1000, slapd its soft size limit, 500 unless set).
constexpr int kPageSize = 100;
constexpr auto kRetryPause = std::chrono::seconds(1);

// The time left until the deadline; false when it is (nearly) over.
bool time_left(Clock::time_point deadline, timeval *out)
{
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
    if (left < 1000)
        return false;
    out->tv_sec = static_cast<time_t>(left / 1000000);
    out->tv_usec = static_cast<suseconds_t>(left % 1000000);
    return true;
}

// Synchronous calls (connect, StartTLS, bind) wait no longer than that.
bool limit_time(LDAP *ld, Clock::time_point deadline)
{
    timeval left;
    if (!time_left(deadline, &left))
        return false;
    ldap_set_option(ld, LDAP_OPT_NETWORK_TIMEOUT, &left);
    ldap_set_option(ld, LDAP_OPT_TIMEOUT, &left);
    return true;
}

// The library's text for a result, and the server's message with it.
std::string describe(LDAP *ld, int rc)
{
    std::string text = ldap_err2string(rc);
    char *message = nullptr;
    if (ld != nullptr && ldap_get_option(ld, LDAP_OPT_DIAGNOSTIC_MESSAGE, &message) == LDAP_OPT_SUCCESS &&
        message != nullptr) {
        if (*message != '\0')
            text += " (" + printable(message) + ")";
        ldap_memfree(message);
    }
    return text;
}

void unbind(LDAP *ld)
{
    ldap_unbind_ext_s(ld, nullptr, nullptr);
}

// A new connection, bound as the options say; null with the reason.
LDAP *connect(const LdapOptions &o, Clock::time_point deadline, std::string *why)
{
    LDAP *ld = nullptr;
    int rc = ldap_initialize(&ld, o.uri.c_str());
    if (rc != LDAP_SUCCESS)
        return *why = describe(nullptr, rc), nullptr;
    int version = LDAP_VERSION3;
    ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
    // Active Directory refers a search at a domain's root to other
    // partitions; following them would bind elsewhere.
    ldap_set_option(ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
    ldap_set_option(ld, LDAP_OPT_RESTART, LDAP_OPT_ON);
    if (!limit_time(ld, deadline)) {
        *why = "no time left to connect";
    } else if (o.starttls && (rc = ldap_start_tls_s(ld, nullptr, nullptr)) != LDAP_SUCCESS) {
        *why = "StartTLS: " + describe(ld, rc);
    } else {
        berval password{static_cast<ber_len_t>(o.password.size()), const_cast<char *>(o.password.data())};
        rc = ldap_sasl_bind_s(ld, o.bind_dn.empty() ? nullptr : o.bind_dn.c_str(), LDAP_SASL_SIMPLE, &password, nullptr,
                              nullptr, nullptr);
        if (rc == LDAP_SUCCESS)
            return ld;
        *why = (o.bind_dn.empty() ? std::string("anonymous bind: ") : "bind as " + printable(o.bind_dn) + ": ") +
               describe(ld, rc);
    }
    unbind(ld);
    return nullptr;
}

// ---- The pool ----

// A connection for one search: an idle one, or a new one unless a
// connection failed a moment ago.
LDAP *take(Pool &pool, Clock::time_point deadline, bool *reused, std::string *why)
{
    {
        std::lock_guard<std::mutex> lock(pool.lock);
        *reused = !pool.idle.empty();
        if (*reused) {
            LDAP *ld = pool.idle.back();
            pool.idle.pop_back();
            return ld;
        }
        if (Clock::now() < pool.retry_after)
            return *why = pool.last_failure, nullptr;
    }
    LDAP *ld = connect(pool.options, deadline, why);
    if (ld == nullptr) {
        std::lock_guard<std::mutex> lock(pool.lock);
        pool.retry_after = Clock::now() + kRetryPause;
    }
    return ld;
}

void give_back(Pool &pool, LDAP *ld)
{
    std::lock_guard<std::mutex> lock(pool.lock);
    pool.idle.push_back(ld);
}

// A connection that failed: the idle ones went through the same server
// and are most likely as dead.  `pause`: no new one for a moment either.
void discard(Pool &pool, LDAP *ld, bool pause)
{
    unbind(ld);
    std::vector<LDAP *> idle;
    {
        std::lock_guard<std::mutex> lock(pool.lock);
        idle.swap(pool.idle);
        if (pause)
            pool.retry_after = Clock::now() + kRetryPause;
    }
    for (LDAP *other : idle)
        unbind(other);
}

void went_down(Pool &pool, const std::string &why)
{
    std::lock_guard<std::mutex> lock(pool.lock);
    if (pool.state != Pool::kDown || pool.last_failure != why)
        velmo::daemon::log("the account directory %s cannot be reached or did not answer: %s; requests are "
                           "answered with status 1104 until it does",
                           printable(pool.options.uri).c_str(), why.c_str());
    pool.state = Pool::kDown;
    pool.last_failure = why;
}

void came_up(Pool &pool)
{
    std::lock_guard<std::mutex> lock(pool.lock);
    if (pool.state != Pool::kUp)
        velmo::daemon::log("the account directory %s answers%s", printable(pool.options.uri).c_str(),
                           pool.state == Pool::kDown ? " again" : "");
    pool.state = Pool::kUp;
}

// ---- One search ----

void read_entry(LDAP *ld, LDAPMessage *message, std::vector<Entry> *out)
{
    Entry entry;
    if (char *dn = ldap_get_dn(ld, message)) {
        entry.dn = dn;
        ldap_memfree(dn);
    }
    BerElement *ber = nullptr;
    for (char *name = ldap_first_attribute(ld, message, &ber); name != nullptr;
         name = ldap_next_attribute(ld, message, ber)) {
        std::string key = name;
        for (char &c : key)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        berval **values = ldap_get_values_len(ld, message, name);
        for (int i = 0; values != nullptr && values[i] != nullptr; ++i)
            entry.values[key].emplace_back(values[i]->bv_val, values[i]->bv_len);
        ldap_value_free_len(values);
        ldap_memfree(name);
    }
    ber_free(ber, 0);
    out->push_back(std::move(entry));
}

// The entries of one page, and the cookie that asks for the next (empty
// after the last page).
int read_page(LDAP *ld, LDAPMessage *result, std::vector<Entry> *out, berval *cookie)
{
    for (LDAPMessage *m = ldap_first_entry(ld, result); m != nullptr; m = ldap_next_entry(ld, m))
        read_entry(ld, m, out);
    int code = LDAP_SUCCESS;
    LDAPControl **controls = nullptr;
    int rc = ldap_parse_result(ld, result, &code, nullptr, nullptr, nullptr, &controls, 0);
    if (rc != LDAP_SUCCESS)
        return rc;
    LDAPControl *page = ldap_control_find(LDAP_CONTROL_PAGEDRESULTS, controls, nullptr);
    ber_int_t estimate = 0;
    if (code == LDAP_SUCCESS && page != nullptr)
        code = ldap_parse_pageresponse_control(ld, page, &estimate, cookie);
    ldap_controls_free(controls);
    return code;
}

int run(LDAP *ld, const Search &s, Clock::time_point deadline, std::vector<Entry> *out, std::string *why)
{
    std::vector<char *> attributes;
    for (const auto &a : s.attributes)
        if (!a.empty())
            attributes.push_back(const_cast<char *>(a.c_str()));
    attributes.push_back(nullptr);
    berval cookie{0, nullptr};
    int rc = LDAP_SUCCESS;
    do {
        timeval left;
        if (!time_left(deadline, &left) || !limit_time(ld, deadline)) {
            rc = LDAP_TIMEOUT;
            break;
        }
        LDAPControl *page = nullptr;
        rc = ldap_create_page_control(ld, kPageSize, cookie.bv_val != nullptr ? &cookie : nullptr, 0, &page);
        ber_memfree(cookie.bv_val);
        cookie = berval{0, nullptr};
        if (rc != LDAP_SUCCESS)
            break;
        LDAPControl *controls[] = {page, nullptr};
        LDAPMessage *result = nullptr;
        rc = ldap_search_ext_s(ld, s.base.c_str(), s.scope, s.filter.c_str(), attributes.data(), 0, controls, nullptr,
                               &left, LDAP_NO_LIMIT, &result);
        ldap_control_free(page);
        if (rc == LDAP_SUCCESS)
            rc = read_page(ld, result, out, &cookie);
        ldap_msgfree(result);
    } while (rc == LDAP_SUCCESS && cookie.bv_len > 0);
    ber_memfree(cookie.bv_val);
    if (rc == LDAP_NO_SUCH_OBJECT) {
        out->clear();
        rc = LDAP_SUCCESS;
    }
    if (rc == LDAP_TIMEOUT || rc == LDAP_TIMELIMIT_EXCEEDED)
        *why = "a search took longer than the time limit";
    else if (rc != LDAP_SUCCESS)
        *why = "search of " + printable(s.base) + ": " + describe(ld, rc);
    return rc;
}

}  // namespace

void close_pool(Pool *pool)
{
    std::lock_guard<std::mutex> lock(pool->lock);
    for (LDAP *ld : pool->idle)
        unbind(ld);
    pool->idle.clear();
}

bool search(Pool &pool, const Search &s, Clock::time_point deadline, std::vector<Entry> *out)
{
    std::string why;
    for (int attempt = 0; attempt < 2; ++attempt) {
        bool reused = false;
        LDAP *ld = take(pool, deadline, &reused, &why);
        if (ld == nullptr)
            break;
        out->clear();
        int rc = run(ld, s, deadline, out, &why);
        if (rc == LDAP_SUCCESS) {
            give_back(pool, ld);
            came_up(pool);
            return true;
        }
        // Negative results are the client's: the connection is lost or
        // stuck.  One kept from before may have died idle (the server
        // restarted): then a new one is tried at once.
        bool again = rc == LDAP_SERVER_DOWN && reused;
        if (rc < 0)
            discard(pool, ld, !again);
        else
            give_back(pool, ld);
        if (!again)
            break;
    }
    went_down(pool, why);
    return false;
}

std::string filter_value(std::string_view value)
{
    std::string out;
    for (unsigned char c : value) {
        if (std::isalnum(c)) {
            out += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "\\%02x", c);
            out += hex;
        }
    }
    return out;
}

}  // namespace credmap_server
