#pragma once
// Collects the log lines of one category (as "message") or of all ("category: message")
// while alive, for tests that check what was reported. One capture at a time per process
// (the log has one hook).
//
//   LogCapture log("render");
//   ...
//   EXPECT_TRUE(log.contains("dropped"));
//   EXPECT_TRUE(log.lines().empty());

#include "foundation/log.h"

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace tallow::test {

class LogCapture {
  public:
    /// `category` null collects every category; `echo` keeps stderr output on.
    explicit LogCapture(const char *category = nullptr, bool echo = false) : _category(category ? category : "")
    {
        set_log_capture(&capture, this, echo);
    }
    ~LogCapture() { set_log_capture(nullptr, nullptr); }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    std::vector<std::string> lines()
    {
        std::lock_guard<std::mutex> guard(_lock);
        return _lines;
    }
    bool contains(const char *text)
    {
        for (const std::string &line : lines())
            if (line.find(text) != std::string::npos)
                return true;
        return false;
    }
    void clear()
    {
        std::lock_guard<std::mutex> guard(_lock);
        _lines.clear();
    }

  private:
    static void capture(void *user, const char *category, const char *message)
    {
        auto *self = static_cast<LogCapture *>(user);
        if (!self->_category.empty() && self->_category != category)
            return;
        std::lock_guard<std::mutex> guard(self->_lock);
        self->_lines.push_back(self->_category.empty() ? std::string(category) + ": " + message : std::string(message));
    }
    std::string _category;
    std::mutex _lock;
    std::vector<std::string> _lines;
};

} // namespace tallow::test
