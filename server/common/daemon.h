// Private to the daemons: the parts every daemon of the project shares.
#ifndef SERVER_COMMON_DAEMON_H
#define SERVER_COMMON_DAEMON_H

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace velmo::daemon {

// Logs a line "<program>[pid]: text" to standard error.
void log(const char *format, ...) __attribute__((format(printf, 1, 2)));
void set_program(const char *name);

// Installs handlers: SIGTERM and SIGINT end serve(), SIGCHLD calls the
// child handler from serve(); SIGPIPE is ignored.
bool setup_signals();

// Serves the registered Sun RPC transports until SIGTERM, SIGINT or until
// stop() is called (from a dispatch routine).  Connections are read without
// blocking and records are bounded (call limit_records before making the
// transports), so a client that sends garbage or never finishes a request
// holds up nobody; a connection that stays silent for idle_seconds (0:
// never) is closed, so that such clients cannot use up the daemon's
// descriptors either.  While max_connections are open the `listeners` are
// not polled: further clients wait in the listen queue until one closes.
void serve(const std::function<void()> &on_child, const std::vector<int> &listeners, unsigned idle_seconds,
           unsigned max_connections = 256);
void stop();
bool stop_requested();
// The longest call record the transports made afterwards take; a longer one
// closes its connection.
constexpr int kMaxRecord = 256 * 1024;
void limit_records(int max_record = kMaxRecord);
// For serving loops of their own: the descriptor that becomes readable when
// a signal arrives, and its handling (false when the daemon is to stop).
int signal_fd();
bool handle_signals(const std::function<void()> &on_child);

// Writes the port whole under another name, then renames it, so that a
// reader never sees a partial number.
bool write_port_file(const std::string &path, unsigned port);

// The default of --idle-timeout.
constexpr unsigned kIdleSeconds = 120;

bool parse_unsigned(const char *text, unsigned long max, unsigned long *out);

// The text with every byte outside printable ASCII, and '\', as \xHH: for
// the log, which takes nothing from the network or a directory raw.
std::string printable(std::string_view text);

}  // namespace velmo::daemon

#endif
