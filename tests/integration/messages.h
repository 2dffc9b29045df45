// Collects the messages the library prints, for tests to inspect.
#ifndef TESTS_INTEGRATION_MESSAGES_H
#define TESTS_INTEGRATION_MESSAGES_H

#include <mutex>
#include <string>
#include <vector>

#include "host/vox.h"

struct Message {
    int severity;
    std::string facility;
    std::string text;
};

class Messages {
public:
    Messages() { vox_set_sink(&Messages::sink, this); }
    ~Messages() { vox_set_sink(nullptr, nullptr); }
    std::vector<Message> all()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return list_;
    }
    std::vector<std::string> texts()
    {
        std::vector<std::string> out;
        for (const auto &m : all())
            out.push_back(m.text);
        return out;
    }
    void clear()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        list_.clear();
    }

private:
    static void sink(int severity, const char *facility, const char *text, void *context)
    {
        auto *self = static_cast<Messages *>(context);
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->list_.push_back({severity, facility ? facility : "", text ? text : ""});
    }
    std::mutex mutex_;
    std::vector<Message> list_;
};

#endif
