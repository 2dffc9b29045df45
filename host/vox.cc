// Message service: catalogued and formatted messages, verbosity and trace
// levels.
//
// The settings (verbosity, trace levels, sink) live in an immutable snapshot
// that readers reach with one atomic load, so vox_should_trace costs a load
// and a short scan.  A change copies the snapshot under a mutex and publishes
// the copy.  Old snapshots stay alive, chained from the new one, because a
// reader on another thread may still be looking at them; settings change
// rarely (at start-up and in tests), so the chain stays short.
#include "host/vox.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Longest facility name that goes into a printed line.
constexpr size_t kFacilityMax = 128;

struct vox_trace_level {
    std::string facility;
    int level;
};

struct vox_settings {
    int verbosity = 0;
    // The level of "*": applies to every facility without a level of its own.
    int every_level = 0;
    std::vector<vox_trace_level> levels;
    vox_sink_fn sink = nullptr;
    void *sink_context = nullptr;
    // The snapshot this one replaced, kept for readers that still hold it.
    const vox_settings *previous = nullptr;
};

std::atomic<const vox_settings *> g_settings{nullptr};
std::mutex g_settings_lock;

int clamp_level(long level)
{
    if (level < 0)
        return 0;
    if (level > 9)
        return 9;
    return static_cast<int>(level);
}

// Sets the level of one facility in a snapshot under construction.
void put_level(vox_settings &settings, std::string_view facility, int level)
{
    if (facility == "*") {
        settings.every_level = level;
        return;
    }
    for (vox_trace_level &entry : settings.levels) {
        if (entry.facility == facility) {
            entry.level = level;
            return;
        }
    }
    settings.levels.push_back(vox_trace_level{std::string(facility), level});
}

std::string_view trim(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

// Reads "facility=level,facility,..." into the snapshot.  Items with an empty
// name or a level that is not a number are passed over.
void parse_trace(vox_settings &settings, const char *text)
{
    std::string_view rest(text);
    while (!rest.empty()) {
        size_t comma = rest.find(',');
        std::string_view item = trim(rest.substr(0, comma));
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        size_t equals = item.find('=');
        std::string_view name = trim(item.substr(0, equals));
        if (name.empty())
            continue;
        int level = 1;
        if (equals != std::string_view::npos) {
            std::string digits(trim(item.substr(equals + 1)));
            char *end = nullptr;
            long value = strtol(digits.c_str(), &end, 10);
            if (digits.empty() || *end != '\0')
                continue;
            level = clamp_level(value);
        }
        put_level(settings, name, level);
    }
}

// Builds the first snapshot from the environment.  Called with the lock held.
vox_settings *settings_from_environment()
{
    std::unique_ptr<vox_settings> settings(new vox_settings());
    if (const char *verbosity = getenv("VELMO_VERBOSITY")) {
        char *end = nullptr;
        long value = strtol(verbosity, &end, 10);
        if (end != verbosity && value >= -1000000 && value <= 1000000) {
            settings->verbosity = static_cast<int>(value);
        }
    }
    if (const char *trace = getenv("VELMO_TRACE"))
        parse_trace(*settings, trace);
    return settings.release();
}

// The current snapshot, built from the environment at the first call; null
// only when memory for it could not be had (callers then use the defaults).
const vox_settings *current_settings()
{
    const vox_settings *settings = g_settings.load(std::memory_order_acquire);
    if (settings != nullptr)
        return settings;
    std::lock_guard<std::mutex> guard(g_settings_lock);
    settings = g_settings.load(std::memory_order_acquire);
    if (settings != nullptr)
        return settings;
    try {
        settings = settings_from_environment();
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
    g_settings.store(settings, std::memory_order_release);
    return settings;
}

// Publishes a copy of the current snapshot changed by `change`.  When memory
// runs out the settings stay as they were: the setters have no way to report.
template<typename Change>
void update_settings(Change change)
{
    if (current_settings() == nullptr)
        return;
    std::lock_guard<std::mutex> guard(g_settings_lock);
    const vox_settings *old = g_settings.load(std::memory_order_acquire);
    try {
        std::unique_ptr<vox_settings> next(new vox_settings(*old));
        change(*next);
        next->previous = old;
        g_settings.store(next.release(), std::memory_order_release);
    } catch (const std::bad_alloc &) {
    }
}

const char *severity_word(int severity)
{
    switch (severity) {
    case VOX_WARNING:
        return "warning";
    case VOX_WARNING_NOTE:
        return "note";
    case VOX_ERROR:
        return "error";
    case VOX_ERROR_NOTE:
        return "note";
    case VOX_TRACE:
        return "trace";
    default:
        return "info";
    }
}

// Formats into buffer (VOX_LINE_MAX bytes), cutting longer text; returns the
// length kept.
int format_text(char *buffer, const char *format, va_list args)
{
    int length = vsnprintf(buffer, VOX_LINE_MAX, format, args);
    if (length < 0) {
        buffer[0] = '\0';
        return 0;
    }
    return length < VOX_LINE_MAX ? length : VOX_LINE_MAX - 1;
}

// Formats row `row` of `table` into buffer; a row the table does not have
// becomes a "not found" text instead.
int format_row(char *buffer, const vox_msg_table_t *table, int row, va_list args)
{
    if (row < 0 || row >= table->nrows || table->texts == nullptr || table->texts[row] == nullptr) {
        const char *catalogue = table->catalogue != nullptr ? table->catalogue : "?";
        int length = snprintf(buffer, VOX_LINE_MAX, "%s message %d not found", catalogue, row);
        return length < VOX_LINE_MAX ? length : VOX_LINE_MAX - 1;
    }
    return format_text(buffer, table->texts[row], args);
}

// Appends text to a line under construction, within capacity.
void append(char *line, size_t &used, size_t capacity, const char *text, size_t length)
{
    if (length > capacity - used)
        length = capacity - used;
    memcpy(line + used, text, length);
    used += length;
}

// Writes a whole line to standard error.  One write call carries the line so
// that lines from different threads do not mix; a partial write (a pipe that
// is nearly full, a signal) is finished by further calls.
void write_line(const char *line, size_t length)
{
    while (length > 0) {
        ssize_t written = write(STDERR_FILENO, line, length);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        line += written;
        length -= static_cast<size_t>(written);
    }
}

void emit(int severity, const char *facility, const char *text, int length)
{
    const vox_settings *settings = current_settings();
    if (settings != nullptr && settings->sink != nullptr) {
        settings->sink(severity, facility, text, settings->sink_context);
        return;
    }
    constexpr size_t capacity = kFacilityMax + 16 + VOX_LINE_MAX + 1;
    char line[capacity];
    size_t used = 0;
    if (severity != VOX_PLAIN) {
        append(line, used, capacity, facility, strnlen(facility, kFacilityMax));
        append(line, used, capacity, ": ", 2);
        const char *word = severity_word(severity);
        append(line, used, capacity, word, strlen(word));
        append(line, used, capacity, ": ", 2);
    }
    append(line, used, capacity, text, static_cast<size_t>(length));
    if (length == 0 || text[length - 1] != '\n')
        append(line, used, capacity, "\n", 1);
    write_line(line, used);
}

const char *program_facility()
{
    return program_invocation_short_name != nullptr ? program_invocation_short_name : "?";
}

const char *table_facility(const vox_msg_table_t *table)
{
    return table->facility != nullptr ? table->facility : program_facility();
}

}  // namespace

extern "C" {

VELMO_API int vox_print(int severity, const void *table_or_format, int row, ...)
{
    if (table_or_format == nullptr)
        return 0;
    char text[VOX_LINE_MAX];
    va_list args;
    va_start(args, row);
    int length;
    const char *facility;
    if (row == -1) {
        length = format_text(text, static_cast<const char *>(table_or_format), args);
        facility = program_facility();
    } else {
        const auto *table = static_cast<const vox_msg_table_t *>(table_or_format);
        length = format_row(text, table, row, args);
        facility = table_facility(table);
    }
    va_end(args);
    emit(severity, facility, text, length);
    return length;
}

VELMO_API int vox_print_shared(int severity, const char *facility, const vox_msg_table_t *table, int row, ...)
{
    if (table == nullptr)
        return 0;
    char text[VOX_LINE_MAX];
    va_list args;
    va_start(args, row);
    int length = format_row(text, table, row, args);
    va_end(args);
    emit(severity, facility != nullptr ? facility : table_facility(table), text, length);
    return length;
}

VELMO_API int vox_should_trace(const char *facility, int level)
{
    const vox_settings *settings = current_settings();
    if (settings == nullptr || facility == nullptr)
        return 0;
    if (level < 1)
        level = 1;
    int configured = settings->every_level;
    for (const vox_trace_level &entry : settings->levels) {
        if (entry.facility == facility) {
            configured = entry.level;
            break;
        }
    }
    return configured >= level;
}

VELMO_API int vox_get_desired_verbosity(void)
{
    const vox_settings *settings = current_settings();
    return settings != nullptr ? settings->verbosity : 0;
}

VELMO_API int vox_sprintf(char *buffer, const void *table_or_format, int row, ...)
{
    if (buffer == nullptr)
        return 0;
    if (table_or_format == nullptr) {
        buffer[0] = '\0';
        return 0;
    }
    va_list args;
    va_start(args, row);
    int length;
    if (row == -1) {
        length = format_text(buffer, static_cast<const char *>(table_or_format), args);
    } else {
        length = format_row(buffer, static_cast<const vox_msg_table_t *>(table_or_format), row, args);
    }
    va_end(args);
    return length;
}

VELMO_API void vox_set_verbosity(int verbosity)
{
    update_settings([verbosity](vox_settings &settings) { settings.verbosity = verbosity; });
}

VELMO_API void vox_set_trace(const char *facility, int level)
{
    if (facility == nullptr || facility[0] == '\0')
        return;
    std::string_view name(facility);
    int clamped = clamp_level(level);
    update_settings([name, clamped](vox_settings &settings) { put_level(settings, name, clamped); });
}

VELMO_API void vox_set_sink(vox_sink_fn sink, void *context)
{
    update_settings([sink, context](vox_settings &settings) {
        settings.sink = sink;
        settings.sink_context = sink != nullptr ? context : nullptr;
    });
}

}  // extern "C"
