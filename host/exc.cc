// Exception and exit service: per-thread cleanup frames over sigsetjmp,
// holds on asynchronous exceptions, fatal reports and the exit routine.
#include "host/exc.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {

// The thread's exception state.  A signal handler of the thread may read and
// change it (exc_post), so every member is a lock-free atomic; only the
// thread itself and its signal handlers ever touch it.
constinit thread_local std::atomic<exc_frame_t *> innermost{nullptr};
constinit thread_local std::atomic<int> hold_depth{0};
// Nonzero while a frame is being registered or an exception is on its way to
// a frame: an asynchronous exception then waits, as under a hold, because
// the frame list and the frame's context are not consistent yet.
constinit thread_local std::atomic<int> in_transit{0};
constinit thread_local std::atomic<int> pending{0};
constinit thread_local int saved_cancel_state = PTHREAD_CANCEL_ENABLE;

static_assert(std::atomic<int>::is_always_lock_free, "exc_post must stay async-signal-safe");
static_assert(std::atomic<exc_frame_t *>::is_always_lock_free, "exc_post must stay async-signal-safe");

// Writes the pieces as one line to standard error and stops the process.
// Only write(2) is used, so that a report from a signal handler is safe too.
[[noreturn]] void report_and_abort(const char *const *pieces, size_t count)
{
    char line[1024];
    size_t used = 0;
    for (size_t i = 0; i < count; ++i) {
        const char *piece = pieces[i] != nullptr ? pieces[i] : "(null)";
        size_t length = std::strlen(piece);
        if (length > sizeof line - 1 - used)
            length = sizeof line - 1 - used;
        std::memcpy(line + used, piece, length);
        used += length;
    }
    line[used++] = '\n';
    ssize_t ignored = write(STDERR_FILENO, line, used);
    (void)ignored;
    std::abort();
}

// Decimal text of `value` in `buffer` (at least 12 bytes); returns the text.
const char *decimal(int value, char *buffer, size_t size)
{
    char *end = buffer + size - 1;
    *end = '\0';
    // Work on the magnitude as unsigned, so that INT_MIN has one too.
    unsigned magnitude = value < 0 ? 0u - static_cast<unsigned>(value) : static_cast<unsigned>(value);
    do {
        *--end = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0)
        *--end = '-';
    return end;
}

// Sets the hold depth.  Thread cancellation is disabled while the depth is
// above 0 and given back its earlier state when it returns to 0.  The depth
// is raised before and lowered after the cancellation state changes, so that
// an exception posted in between waits instead of leaving the state behind.
void set_hold_depth(int depth)
{
    int current = hold_depth.load();
    if (current == 0 && depth > 0) {
        hold_depth.store(depth);
        int old = PTHREAD_CANCEL_ENABLE;
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old);
        saved_cancel_state = old;
    } else if (current > 0 && depth == 0) {
        int ignored = 0;
        pthread_setcancelstate(saved_cancel_state, &ignored);
        hold_depth.store(0);
    } else {
        hold_depth.store(depth);
    }
}

// Raises the exception that waits, if any, now that nothing holds it off.
void deliver_pending()
{
    while (hold_depth.load() == 0 && in_transit.load() == 0 && pending.load() != 0) {
        // Mark the transit first: an exception posted from here on waits for
        // the next chance instead of overtaking the one taken out.
        in_transit.store(1);
        int code = pending.exchange(0);
        if (code != 0)
            exc_raise(code);
        in_transit.store(0);
    }
}

// The process's exit routine, and the once-control of the one exit handler
// that calls it.
std::atomic<exc_exit_fn> exit_routine{nullptr};
pthread_once_t exit_handler_once = PTHREAD_ONCE_INIT;

// Takes the routine out before calling it, so that it runs once at most.
void run_exit_routine(int status, void *)
{
    exc_exit_fn routine = exit_routine.exchange(nullptr);
    if (routine != nullptr)
        routine(status);
}

void register_exit_handler()
{
    on_exit(run_exit_routine, nullptr);
}

}  // namespace

extern "C" {

// The frame's code member keeps the hold depth of the registration until an
// exception comes back, so that the handler runs under the same hold.
VELMO_API void exc_frame_push(exc_frame_t *frame)
{
    in_transit.store(1);
    frame->outer = innermost.load();
    frame->code = hold_depth.load();
    innermost.store(frame);
}

VELMO_API int exc_frame_armed(exc_frame_t *)
{
    in_transit.store(0);
    deliver_pending();
    return 0;
}

VELMO_API int exc_frame_caught(exc_frame_t *frame)
{
    in_transit.store(0);
    deliver_pending();
    return frame->code;
}

VELMO_API void exc_cleanup_rls(exc_frame_t *frame)
{
    if (frame == nullptr || frame != innermost.load())
        exc_assert_fail("released cleanup frame is the innermost one", __FILE__, __LINE__);
    innermost.store(frame->outer);
}

// The frame leaves the list before the jump, so that its handler can raise
// again to the frame around it.
VELMO_API void exc_raise(int code)
{
    if (code == 0)
        code = 1;
    in_transit.store(1);
    exc_frame_t *frame = innermost.load();
    if (frame == nullptr) {
        char digits[16];
        const char *pieces[] = {"unhandled exception ", decimal(code, digits, sizeof digits)};
        report_and_abort(pieces, 2);
    }
    innermost.store(frame->outer);
    int registration_depth = frame->code;
    frame->code = code;
    set_hold_depth(registration_depth);
    siglongjmp(frame->context, code);
}

// From a signal handler, the raise leaves the handler through siglongjmp,
// which the frame's saved signal mask makes safe: the mask of the
// registration comes back with it.
VELMO_API void exc_post(int code)
{
    if (code == 0)
        code = 1;
    if (hold_depth.load() == 0 && in_transit.load() == 0)
        exc_raise(code);
    int none = 0;
    pending.compare_exchange_strong(none, code);
}

VELMO_API void exc_inhibit(void)
{
    set_hold_depth(hold_depth.load() + 1);
}

// An enable without a hold is ignored rather than driving the depth below 0.
VELMO_API void exc_enable(void)
{
    int depth = hold_depth.load();
    if (depth == 0)
        return;
    set_hold_depth(depth - 1);
    deliver_pending();
}

VELMO_API int exc_inhibit_depth(void)
{
    return hold_depth.load();
}

VELMO_API void exc_assert_fail(const char *expression, const char *file, int line)
{
    char digits[16];
    const char *pieces[] = {
        "assertion failed: ", expression, ", file ", file, ", line ", decimal(line, digits, sizeof digits)};
    report_and_abort(pieces, 6);
}

VELMO_API void exc_panic(const char *file, int line)
{
    char digits[16];
    const char *pieces[] = {"panic: file ", file, ", line ", decimal(line, digits, sizeof digits)};
    report_and_abort(pieces, 4);
}

// One exit handler is registered with the C library, at the first
// installation; it calls whatever routine is installed when the process
// exits.
VELMO_API exc_exit_fn exc_set_exit(exc_exit_fn routine)
{
    pthread_once(&exit_handler_once, register_exit_handler);
    return exit_routine.exchange(routine);
}
}
