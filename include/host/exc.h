/* Exception and exit service.
 *
 * Cleanup frames: a function registers a frame; an exception raised while
 * the frame is the innermost one of the thread returns to the frame's
 * registration point with the exception's code, the frame already removed,
 * so that the function can release what it holds and raise again:
 *
 *     exc_frame_t frame;
 *     int code = exc_cleanup_start(&frame, 0);
 *     if (code != 0) { release(); exc_raise(code); }
 *     ...
 *     exc_cleanup_rls(&frame);
 *
 * The context is saved with sigsetjmp together with the signal mask; when an
 * exception comes back, the signal mask and the exc_inhibit depth are those
 * of the registration.  Code between the registration and the release must
 * keep no objects with destructors alive (the jump skips them), and locals
 * that it changes and the handler reads must be volatile.
 *
 * sigjmp_buf is POSIX: a strict ISO C program defines a feature macro such as
 * _DEFAULT_SOURCE or _POSIX_C_SOURCE before its first include.
 *
 * Asynchronous exceptions (thread cancellation, and exceptions posted with
 * exc_post) are held off between exc_inhibit and exc_enable, which nest. */
#ifndef HOST_EXC_H
#define HOST_EXC_H

#include <setjmp.h>

#include "velmo_export.h"

VELMO_BEGIN_DECLS

/* `code` holds the exc_inhibit depth of the registration while the frame is
 * registered, and the exception's code once one came back to it. */
typedef struct exc_frame {
    sigjmp_buf context;
    struct exc_frame *outer;
    int code;
} exc_frame_t;

/* The steps of exc_cleanup_start: link the frame in (asynchronous exceptions
 * wait until its context is saved), end the registration (returns 0), or
 * take the code of the exception that came back. */
VELMO_API void exc_frame_push(exc_frame_t *frame);
VELMO_API int exc_frame_armed(exc_frame_t *frame);
VELMO_API int exc_frame_caught(exc_frame_t *frame);

/* Registers `frame`; 0 on registration, the exception's code when an
 * exception comes back to it. */
#define exc_cleanup_start(frame, flags)                                                                                \
    (exc_frame_push(frame), sigsetjmp((frame)->context, 1) == 0 ? exc_frame_armed(frame) : exc_frame_caught(frame))

/* Unregisters `frame`, which must be the thread's innermost frame. */
VELMO_API void exc_cleanup_rls(exc_frame_t *frame);
/* Raises an exception with `code` (0 is raised as 1) to the innermost frame
 * of the thread; with no frame, reports it and stops the process. */
VELMO_API __attribute__((noreturn)) void exc_raise(int code);
/* Posts an asynchronous exception to the calling thread (safe from a signal
 * handler, which it then leaves through the frame): raised at once, or at the
 * exc_enable that ends the hold.  While one waits, later ones are dropped. */
VELMO_API void exc_post(int code);
VELMO_API void exc_inhibit(void);
VELMO_API void exc_enable(void);
/* Nesting depth of exc_inhibit on the calling thread. */
VELMO_API int exc_inhibit_depth(void);

/* Report and stop the process. */
VELMO_API __attribute__((noreturn)) void exc_assert_fail(const char *expression, const char *file, int line);
VELMO_API __attribute__((noreturn)) void exc_panic(const char *file, int line);

/* The process's exit routine: called once when the process exits (through
 * exit or a return from main) with the exit status. */
typedef void (*exc_exit_fn)(int status);
/* Installs `routine` (null: none) and returns the one installed before (or
 * null). */
VELMO_API exc_exit_fn exc_set_exit(exc_exit_fn routine);

VELMO_END_DECLS

#endif
