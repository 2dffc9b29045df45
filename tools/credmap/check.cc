// check: walks the road from a host name to a mapping of this process's own
// credentials, one step at a time, and says where it breaks and what to try.
//
// The steps are those a mapping takes inside the library (the name, the
// host's location broker, its host information, where its credmap_server
// listens, the contact, the mapping), each made through the same calls, so
// that a step that fails here fails there for the same reason.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>

#include "commands.h"
#include "host/hostq.h"
#include "host/hubd.h"
#include "options.h"
#include "output.h"
#include "velmo/credmap.h"

namespace credmap_tool {
namespace {

struct Step {
    const char *name = "";
    std::string verdict;  // ok, warning, skipped or failed
    long long ms = -1;    // -1: not timed
    std::string detail;
    core_status_t status = 0;
};

Step named(const char *name)
{
    Step s;
    s.name = name;
    return s;
}

struct Walk {
    std::string host;
    unsigned limit = 0;  // seconds a step may take, 0: as long as the library takes
    bool json = false;
    std::vector<Step> steps;
    std::string hint;           // what to try, after a failure
    std::string host_class;     // local, nt or my_domain
    std::string server_at;      // ADDR:PORT of credmap_server
};

// Set when a step was given up while the library still worked on it.
std::atomic<bool> abandoned{false};

// Runs `work` on a thread of its own and waits at most `limit` seconds for
// it (0: as long as it takes).  A step given up on keeps its thread, which
// owns everything it touches; the process ends without joining it.
template<typename T>
bool bounded(unsigned limit, std::function<T()> work, T *out)
{
    if (limit == 0) {
        *out = work();
        return true;
    }
    struct Shared {
        std::mutex lock;
        std::condition_variable done_cv;
        bool done = false;
        T result{};
    };
    auto shared = std::make_shared<Shared>();
    std::thread worker([shared, work] {
        T result = work();
        std::lock_guard<std::mutex> guard(shared->lock);
        shared->result = result;
        shared->done = true;
        shared->done_cv.notify_one();
    });
    std::unique_lock<std::mutex> lock(shared->lock);
    if (!shared->done_cv.wait_for(lock, std::chrono::seconds(limit), [&] { return shared->done; })) {
        worker.detach();
        abandoned = true;
        return false;
    }
    *out = shared->result;
    lock.unlock();
    worker.join();
    return true;
}

long long ms_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

void print_step(const Walk &w, const Step &s)
{
    if (w.json)
        return;
    std::string time = s.ms < 0 ? "" : std::to_string(s.ms) + " ms";
    std::printf("  %-8s %-8s %8s  %s\n", s.name, s.verdict.c_str(), time.c_str(), s.detail.c_str());
    std::fflush(stdout);
}

void add(Walk *w, Step s)
{
    w->steps.push_back(std::move(s));
    print_step(*w, w->steps.back());
}

// Records a failed step with what to try; returns false (the walk stops).
bool failed(Walk *w, Step s, const std::string &hint)
{
    s.verdict = "failed";
    w->hint = hint;
    add(w, std::move(s));
    return false;
}

std::string gave_up(const Walk &w)
{
    return "no answer within " + std::to_string(w.limit) + " s (--timeout)";
}

bool step_name(Walk *w)
{
    Step s = named("name");
    if (hostq_is_localhost(w->host.c_str()) != 0) {
        s.verdict = "ok";
        s.detail = "the local host: no location broker is asked";
        w->host_class = "local";
        add(w, s);
        return true;
    }
    hubd_host_source_t source;
    auto start = std::chrono::steady_clock::now();
    s.status = hubd_explain_host(w->host.c_str(), &source);
    s.ms = ms_since(start);
    if (s.status != 0) {
        s.detail = core_strerror(s.status);
        return failed(w, s, source.text);
    }
    s.verdict = "ok";
    s.detail = source.text;
    add(w, s);
    return true;
}

struct Info {
    core_status_t status = 0;
    std::string address, os, host_name;
    unsigned long long servers = 0;
};

Info host_info(const std::string &host)
{
    Info r;
    hubd_hostinfo_t info{};
    r.status = hubd_hostinfo(host.c_str(), &info);
    if (r.status == 0) {
        r.address = info.address != nullptr ? info.address : "";
        r.os = info.os_name != nullptr ? info.os_name : "";
        r.host_name = info.host_name != nullptr ? info.host_name : "";
        r.servers = info.nservers;
    }
    hubd_hostinfo_free(info);
    return r;
}

// The broker and the host information it gives: one request.
bool step_broker_and_host(Walk *w)
{
    Step s = named("broker");
    Info info;
    auto start = std::chrono::steady_clock::now();
    std::string host = w->host;
    bool answered = bounded<Info>(w->limit, [host] { return host_info(host); }, &info);
    s.ms = ms_since(start);
    if (!answered) {
        s.detail = gave_up(*w);
        s.status = HUBD_E_UNREACHABLE;
        return failed(w, s, explain_failure(w->host, HUBD_E_UNREACHABLE));
    }
    s.status = info.status;
    Step h = named("host");
    if (info.status == HUBD_E_NO_HOSTINFO) {
        s.verdict = "ok";
        s.detail = "the hubd of " + w->host + " answered";
        add(w, s);
        // The library then asks the server, and takes the credentials as
        // they are once it answers.
        h.verdict = "warning";
        h.detail = explain_failure(w->host, info.status) + "; its class is decided by its credmap_server";
        h.status = info.status;
        add(w, h);
        w->host_class = "nt";
        return true;
    }
    if (info.status != 0) {
        s.detail = std::string(core_strerror(info.status)) + " (status " + std::to_string(info.status) + ")";
        return failed(w, s, explain_failure(w->host, info.status));
    }
    s.verdict = "ok";
    s.detail = "the hubd of " + w->host + " at " + info.address + " answered (host name " + info.host_name + ", " +
               std::to_string(info.servers) + " servers registered)";
    add(w, s);
    bool nt = info.os.rfind("Windows", 0) == 0;
    w->host_class = nt ? "nt" : "my_domain";
    h.verdict = "ok";
    h.detail = (info.os.empty() ? std::string("no operating-system name") : info.os) +
               (nt ? ": an NT host, credentials are mapped through its credmap_server"
                   : ": in my credentials domain, credentials are taken as they are");
    add(w, h);
    return true;
}

struct Located {
    core_status_t status = 0;
    std::string at;
    bool remembered = false;
};

// Where the broker locates credmap_server, by the call the library makes.
Located locate(const std::string &host)
{
    const hubd_server_id_t id = {CREDMAP_PROG, CREDMAP_VERS, 1};
    hubd_conn_t conn{};
    conn.sock = -1;
    conn.conn_word_1 = 3;
    Located r;
    r.status = hubd_connect_to_server(host.c_str(), &id, &conn, &CORE_UUID_NULL, 0, "credmap_server");
    if (r.status != 0)
        return r;
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    char text[INET6_ADDRSTRLEN] = "?";
    unsigned port = 0;
    if (getpeername(conn.sock, reinterpret_cast<sockaddr *>(&peer), &length) == 0) {
        bool v4 = peer.ss_family == AF_INET;
        auto *in4 = reinterpret_cast<sockaddr_in *>(&peer);
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(&peer);
        inet_ntop(peer.ss_family, v4 ? static_cast<void *>(&in4->sin_addr) : static_cast<void *>(&in6->sin6_addr),
                  text, sizeof text);
        port = ntohs(v4 ? in4->sin_port : in6->sin6_port);
    }
    r.at = std::string(text) + ":" + std::to_string(port);
    r.remembered = (conn.conn_word_2 & HUBD_CONN_REMEMBERED) != 0;
    clnt_destroy(conn.clnt);
    close(conn.sock);
    return r;
}

bool step_server(Walk *w)
{
    Step s = named("server");
    Located found;
    auto start = std::chrono::steady_clock::now();
    std::string host = w->host;
    bool answered = bounded<Located>(w->limit, [host] { return locate(host); }, &found);
    s.ms = ms_since(start);
    if (!answered) {
        s.detail = gave_up(*w) + " from the hubd of " + w->host + " (starting credmap_server?)";
        s.status = HUBD_E_START_TIMEOUT;
        return failed(w, s, explain_failure(w->host, HUBD_E_START_TIMEOUT));
    }
    s.status = found.status;
    if (found.status != 0) {
        s.detail = std::string(core_strerror(found.status)) + " (status " + std::to_string(found.status) + ")";
        return failed(w, s, explain_failure(w->host, found.status));
    }
    w->server_at = found.at;
    s.verdict = "ok";
    s.detail = "credmap_server at " + found.at +
               (found.remembered ? " (where this process found it before)" : " (located by the hubd)");
    add(w, s);
    return true;
}

struct Contacted {
    core_status_t status = 0;
    unsigned attributes = 0;
    std::string domain_sid;
};

Contacted contact(const std::string &host)
{
    Contacted r;
    credmap_handle_t *handle = nullptr;
    r.status = credmap_get_handle(host.c_str(), &handle);
    if (r.status != 0)
        return r;
    credmap_get_attribute(handle, &r.attributes);
    char sid[CREDMAP_STRING_MAX + 1] = "";
    if (credmap_lookup_domain_sid(handle, "", 0, sid) == 0)
        r.domain_sid = sid;
    credmap_free_handle(handle);
    return r;
}

bool step_contact(Walk *w)
{
    Step s = named("contact");
    Contacted c;
    auto start = std::chrono::steady_clock::now();
    std::string host = w->host;
    bool answered = bounded<Contacted>(w->limit, [host] { return contact(host); }, &c);
    s.ms = ms_since(start);
    std::string silent = "credmap_server of " + w->host + " at " + w->server_at +
                         " takes the connection but does not answer the contact: see its log on " + w->host +
                         " (is it stopped or overloaded?); the library gives up after " +
                         std::to_string(CREDMAP_CONTACT_ATTEMPTS) + " contacts of " +
                         std::to_string(CREDMAP_CALL_TIMEOUT) + " s";
    if (!answered) {
        s.detail = gave_up(*w);
        s.status = CORE_E_FAILURE;
        return failed(w, s, silent);
    }
    s.status = c.status;
    if (c.status != 0) {
        bool timed_out = s.ms >= CREDMAP_CALL_TIMEOUT * 1000;
        s.detail = std::string(core_strerror(c.status)) + " (status " + std::to_string(c.status) + ")";
        std::string hint = explain_failure(w->host, c.status);
        return failed(w, s, timed_out ? silent : hint.empty() ? "see the log of credmap_server on " + w->host : hint);
    }
    bool nt_sids = (c.attributes & CREDMAP_ATTR_NT_SID) != 0;
    s.verdict = nt_sids ? "ok" : "warning";
    s.detail = std::string("accepts NT SIDs: ") + (nt_sids ? "yes" : "NO, mappings of NT-type SIDs fail") +
               "; domain " + (c.domain_sid.empty() ? "unknown" : c.domain_sid) + "; protocol program " +
               std::to_string(CREDMAP_PROG) + " version " + std::to_string(CREDMAP_VERS);
    add(w, s);
    return true;
}

struct Mapped {
    core_status_t status = 0;
    idkit_sid_credentials_t own{}, remote{};
};

Mapped map_own(const std::string &host)
{
    Mapped r;
    r.status = idkit_get_sid_credentials(&r.own);
    if (r.status == 0)
        r.status = credmap_local_to_remote_sid(&r.own, host.c_str(), &r.remote);
    return r;
}

bool step_mapping(Walk *w)
{
    Step s = named("mapping");
    Mapped m;
    auto start = std::chrono::steady_clock::now();
    std::string host = w->host;
    bool answered = bounded<Mapped>(w->limit, [host] { return map_own(host); }, &m);
    s.ms = ms_since(start);
    if (!answered) {
        s.detail = gave_up(*w);
        s.status = CORE_E_FAILURE;
        return failed(w, s, "see the log of credmap_server on " + w->host);
    }
    s.status = m.status;
    if (m.status != 0) {
        s.detail = std::string(core_strerror(m.status)) + " (status " + std::to_string(m.status) + ")";
        std::string hint = explain_failure(w->host, m.status);
        return failed(w, s, hint.empty() ? "see the log of credmap_server on " + w->host : hint);
    }
    std::string name = local_name(m.own.user, false);
    bool nobody = m.remote.user.kind == IDKIT_SID_KIND_NOBODY;
    s.verdict = nobody ? "warning" : "ok";
    s.detail = "this process's user " + sid_text(m.own.user) + (name.empty() ? "" : " (" + name + ")") + " -> " +
               sid_text(m.remote.user) + (nobody ? ": " + w->host + " does not know this user" : "") + ", " +
               std::to_string(m.remote.ngroups) + " groups";
    add(w, s);
    return true;
}

void skip(Walk *w, const char *name, const std::string &why)
{
    Step s = named(name);
    s.verdict = "skipped";
    s.detail = why;
    add(w, s);
}

// Every step in turn, up to the first that fails.
void walk(Walk *w)
{
    if (!step_name(w))
        return;
    if (w->host_class != "local" && !step_broker_and_host(w))
        return;
    if (w->host_class == "nt") {
        if (!step_server(w) || !step_contact(w))
            return;
    } else {
        std::string why = w->host_class == "local" ? "not needed for the local host"
                                                   : "not needed for a host in my credentials domain";
        skip(w, "server", why);
        skip(w, "contact", why);
    }
    step_mapping(w);
}

Json step_json(const Step &s)
{
    Json j = Json::object();
    j.add("step", Json::string(s.name)).add("verdict", Json::string(s.verdict));
    j.add("ms", s.ms < 0 ? Json::null() : Json::number(s.ms)).add("status", Json::number(s.status));
    return j.add("detail", Json::string(s.detail));
}

// The last line: the verdict on the whole road.
int conclude(const Walk &w)
{
    const Step &last = w.steps.back();
    bool ok = last.verdict != "failed";
    std::string verdict = ok ? (w.host_class == "nt" ? "every step passed; credentials are mapped through its "
                                                       "credmap_server"
                                                     : "every step passed; credentials are taken as they are")
                             : std::string("fails at the ") + last.name + " step: " + w.hint;
    core_status_t status = ok ? 0 : (last.status != 0 ? last.status : CORE_E_FAILURE);
    if (w.json) {
        Json steps = Json::array();
        for (const Step &s : w.steps)
            steps.push(step_json(s));
        Json out = Json::object();
        out.add("host", Json::string(w.host)).add("status", Json::number(status));
        out.add("message", Json::string(ok ? core_strerror(0) : last.detail));
        out.add("verdict", Json::string(ok ? "ok" : "failed"));
        out.add("failed_step", ok ? Json::null() : Json::string(last.name));
        out.add("class", w.host_class.empty() ? Json::null() : Json::string(w.host_class));
        out.add("hint", ok ? Json::null() : Json::string(w.hint)).add("steps", steps);
        print_json(out);
    } else {
        std::printf("%s: %s\n", w.host.c_str(), verdict.c_str());
    }
    return ok ? 0 : 1;
}

}  // namespace

int cmd_check(const Context &c)
{
    if (c.args.empty() || c.args[0].rfind("--", 0) == 0)
        return bad_usage("check needs a HOST");
    Options o;
    std::string error;
    if (!parse_options({c.args.begin() + 1, c.args.end()}, {"--timeout"}, {}, &o, &error))
        return bad_usage(error);
    Walk w;
    w.host = c.args[0];
    w.json = c.json;
    if (auto t = o.values.find("--timeout"); t != o.values.end()) {
        uint32_t seconds;
        if (!parse_id(t->second, &seconds) || seconds == 0 || seconds > 3600)
            return bad_usage("bad --timeout (1 to 3600 seconds): " + t->second);
        w.limit = seconds;
    }
    if (!w.json)
        std::printf("checking %s\n", w.host.c_str());
    walk(&w);
    return conclude(w);
}

int end_process(int status)
{
    if (abandoned) {
        std::fflush(stdout);
        std::fflush(stderr);
        _exit(status);
    }
    return status;
}

}  // namespace credmap_tool
