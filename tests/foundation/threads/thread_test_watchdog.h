#pragma once
// Keeps a hung threading test from stalling CI: if the scope is still alive after its
// time limit, the process reports the test and exits with a failure.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace tallow::test {

class Watchdog {
  public:
    explicit Watchdog(int seconds = 120)
        : _thread([this, seconds] {
              std::unique_lock<std::mutex> lock(_mutex);
              if (!_condition.wait_for(lock, std::chrono::seconds(seconds), [this] { return _done; })) {
                  const testing::TestInfo *info = testing::UnitTest::GetInstance()->current_test_info();
                  fprintf(stderr, "watchdog: %s.%s still running after %d s; giving up\n",
                          info ? info->test_suite_name() : "?", info ? info->name() : "?", seconds);
                  fflush(stderr);
                  std::_Exit(3);
              }
          })
    {
    }
    ~Watchdog()
    {
        {
            std::lock_guard<std::mutex> lock(_mutex);
            _done = true;
        }
        _condition.notify_one();
        _thread.join();
    }

  private:
    std::mutex _mutex;
    std::condition_variable _condition;
    bool _done = false;
    std::thread _thread;
};

} // namespace tallow::test
